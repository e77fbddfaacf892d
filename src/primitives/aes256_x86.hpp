// AES-256 with the x86-64 AES instructions, for the chained modes: the key
// schedule expanded into storage that Aes256 owns (and wipes), and IGE chains
// that keep all fifteen round keys in registers for the whole buffer.
//
// Compiled on x86-64 with GCC or Clang only; elsewhere Aes256 always uses the
// crypto library's cipher.
#pragma once

#include "primitives/cpu_x86.hpp"

#include <cstddef>
#include <cstdint>

namespace orvane {

// Round keys 0 to 14 for aesenc, and for aesdec those of the equivalent
// inverse cipher (reversed, the inner ones through InvMixColumns).
struct alignas(16) AesRoundKeys {
    std::uint8_t encryption[15][16];
    std::uint8_t decryption[15][16];
};

#if ORVANECRYPTO_X86
namespace x86 {

// True when the processor has the AES instructions and the crypto library
// uses them too, so that its CPU feature switches (BOTAN_CLEAR_CPUID) also
// send this module to the library's portable code. Decided once per process.
bool aes_instructions_usable();

void expand_aes256_key(const std::uint8_t* key, AesRoundKeys& keys);
void aes256_encrypt_block(const AesRoundKeys& keys, const std::uint8_t* in, std::uint8_t* out);
void aes256_decrypt_block(const AesRoundKeys& keys, const std::uint8_t* in, std::uint8_t* out);

// IGE over `length` bytes, a multiple of 16; `in` and `out` may be the same.
// The IV is y(0) then x(0), as in ige.hpp.
void ige256_encrypt(const AesRoundKeys& keys, const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                    std::size_t length);
void ige256_decrypt(const AesRoundKeys& keys, const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                    std::size_t length);

}  // namespace x86
#endif

}  // namespace orvane
