// AES-256 in counter mode with a keystream position kept by the caller: `iv`
// holds the 128-bit big-endian counter block of the current keystream block,
// byte 0 of `state` how many of its bytes are used up (16 to 255 read as 0).
#pragma once

#include "core/bytes.hpp"
#include "core/output.hpp"

namespace orvane {

inline constexpr std::size_t ctr_iv_size = 16;

// The shared body of ctr256_encrypt and ctr256_decrypt. `iv` and `state` are
// the caller's position storage (possibly the same bytes), checked in that
// order after the key, and rewritten only after the whole output exists.
void ctr256_crypt(ByteView data, ByteView key, MutableBytes iv, MutableBytes state, Output& output);

}  // namespace orvane
