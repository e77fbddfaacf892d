// Wiping what returned calls left on the stack.
//
// Code the module does not control keeps secrets in its frames and leaves
// them there when it returns: round keys spilled by the compiler from the
// AES-NI loops, the crypto library's SHA-256 message words (the bytes of
// auth_key, on a big-endian machine even in their own order). Called right
// after such a call, from the same frame, wipe_returned_frames() starts where
// the returned call's frame started and overwrites its frame and those below
// it.
#pragma once

#include <cstdint>
#include <cstring>

namespace orvane {

// A plain memset kept by a compiler barrier: the library's scrub falls back to
// a byte-wise volatile loop where the C library has no explicit_bzero (the
// release wheels' floor), which would cost more than a small call's work.
[[gnu::noinline]] inline void wipe_returned_frames() {
    std::uint8_t frames[2048];
    std::memset(frames, 0, sizeof frames);
    asm volatile("" : : "r"(frames) : "memory");
}

}  // namespace orvane
