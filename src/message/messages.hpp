// Packing and opening of MTProto 2.0 encrypted messages.
//
// Plaintext (P bytes, P a multiple of 16):
//   0  salt (8, little-endian)   8  session_id (8)   16  data (L)   16+L  padding (12..27)
// Packed message (24 + P bytes):
//   0  auth_key_id (8)   8  msg_key (16)   24  plaintext encrypted with AES-256-IGE
#pragma once

#include "core/bytes.hpp"
#include "core/output.hpp"

#include <cstdint>

namespace orvane {

inline constexpr std::size_t auth_key_id_size = 8;
inline constexpr std::size_t session_id_size = 8;
inline constexpr std::size_t packed_header_size = 24;  // auth_key_id + msg_key
inline constexpr std::size_t plaintext_header_size = 16;  // salt + session_id

// Packs an outgoing (client-to-server) message with random padding into `output`.
void pack_message(ByteView data, std::int64_t salt, ByteView session_id, ByteView auth_key, ByteView auth_key_id,
                  Output& output);

// Checks and decrypts an incoming (server-to-client) message; `output` gets
// data and padding.
void unpack_message(ByteView packed, ByteView session_id, ByteView auth_key, ByteView auth_key_id, Output& output);

}  // namespace orvane
