// The SHA-256 compression function with the x86-64 SHA instructions.
//
// Compiled on x86-64 with GCC or Clang only; elsewhere Sha256 always uses the
// crypto library's hash.
#pragma once

#include "primitives/cpu_x86.hpp"

#include <cstddef>
#include <cstdint>

#if ORVANECRYPTO_X86
namespace orvane::x86 {

// True when the processor has the SHA instructions and the crypto library
// uses them too, so that its CPU feature switches (BOTAN_CLEAR_CPUID) also
// send this module to the library's portable code. Decided once per process.
bool sha_instructions_usable();

// Runs `blocks` 64-byte blocks of `data` through the compression function,
// updating the eight state words a..h.
void sha256_compress(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks);

// One block into each of two independent states, their rounds interleaved:
// about the time of one block, since the rounds are bound by latency.
void sha256_compress_pair(std::uint32_t state_a[8], const std::uint8_t* block_a, std::uint32_t state_b[8],
                          const std::uint8_t* block_b);

}  // namespace orvane::x86
#endif
