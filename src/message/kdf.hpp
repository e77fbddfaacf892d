// The MTProto 2.0 message key and the derivation of a message's AES-256 key
// and IGE vector from the authorisation key and the message key.
//
// Direction offset x: 0 for client-to-server (outgoing) messages, 8 for
// server-to-client (incoming) ones, added to every auth_key offset read.
#pragma once

#include "core/bytes.hpp"

#include <array>
#include <initializer_list>

namespace orvane {

inline constexpr std::size_t msg_key_size = 16;
using MsgKey = std::array<std::uint8_t, msg_key_size>;

struct KeyIv {
    std::array<std::uint8_t, 32> aes_key;
    std::array<std::uint8_t, 32> aes_iv;
};

constexpr std::size_t direction_offset(bool outgoing) { return outgoing ? 0 : 8; }

// The body of kdf(auth_key, msg_key, outgoing):
// sha256_a = SHA-256(msg_key + auth_key[x .. x+36])
// sha256_b = SHA-256(auth_key[x+40 .. x+76] + msg_key)
// Each auth_key range is checked just before it is read.
KeyIv derive_key_iv(ByteView auth_key, ByteView msg_key, bool outgoing);

// Bytes 8..24 of SHA-256(auth_key[88+x .. 120+x] + plaintext), the plaintext
// given as pieces in order.
MsgKey compute_msg_key(ByteView auth_key, std::initializer_list<ByteView> plaintext, bool outgoing = true);

}  // namespace orvane
