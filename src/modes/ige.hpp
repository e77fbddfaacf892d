// AES-256 in Infinite Garble Extension mode over whole 16-byte blocks.
//
// The IV is 32 bytes: y(0), the previous ciphertext block, then x(0), the
// previous plaintext block, in both directions.
//   encryption: y(i) = E(x(i) ^ y(i-1)) ^ x(i-1)
//   decryption: x(i) = D(y(i) ^ x(i-1)) ^ y(i-1)
// Only the whole-block part of a buffer is transformed; a tail of length mod
// 16 bytes is left alone. Each block needs the previous one, so the loops run
// one block at a time.
#pragma once

#include "core/bytes.hpp"
#include "core/output.hpp"
#include "primitives/aes256.hpp"

namespace orvane {

inline constexpr std::size_t ige_iv_size = 32;
using IgeIv = std::span<const std::uint8_t, ige_iv_size>;

// From `in` to `out` (which may be the same storage), `length` rounded down to
// whole blocks. Bytes of `out` beyond the whole blocks are not written.
void ige256_encrypt_blocks(const Aes256& cipher, IgeIv iv, const std::uint8_t* in, std::uint8_t* out,
                           std::size_t length);
void ige256_decrypt_blocks(const Aes256& cipher, IgeIv iv, const std::uint8_t* in, std::uint8_t* out,
                           std::size_t length);

inline void ige256_encrypt_in_place(MutableBytes buffer, const Aes256& cipher, IgeIv iv) {
    ige256_encrypt_blocks(cipher, iv, buffer.data(), buffer.data(), buffer.size());
}

// The bodies of ige256_encrypt(data, key, iv) and ige256_decrypt: the key and
// IV are checked, then `output` gets the transformed whole blocks followed by
// the tail as it was.
void ige256_encrypt(ByteView data, ByteView key, ByteView iv, Output& output);
void ige256_decrypt(ByteView data, ByteView key, ByteView iv, Output& output);

}  // namespace orvane
