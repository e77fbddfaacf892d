// Hooks for the constant-time check (`./dev check constant-time`).
//
// That check builds the module with ORVANECRYPTO_CT_CHECK and runs it under
// valgrind memcheck with every secret byte (keys, the authorisation key, the
// plaintext of an outgoing message) marked undefined, so that memcheck reports
// each branch and each memory address computed from one. In every other build
// these functions compile to nothing and the module has no valgrind dependency.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#if defined(ORVANECRYPTO_CT_CHECK)
#include <cstdlib>
#include <valgrind/memcheck.h>
#endif

namespace orvane {

// Bytes computed from secrets whose value the protocol itself makes public at
// this point, so that a branch on them leaks nothing more.
inline void declassify([[maybe_unused]] const void* bytes, [[maybe_unused]] std::size_t size) {
#if defined(ORVANECRYPTO_CT_CHECK)
    (void)VALGRIND_MAKE_MEM_DEFINED(bytes, size);
#endif
}

// The check's control case: with ORVANECRYPTO_CT_CONTROL set in the
// environment of a check build, a branch on the first secret byte, which the
// check must report.
inline void control_branch_on_secret([[maybe_unused]] std::span<const std::uint8_t> secret) {
#if defined(ORVANECRYPTO_CT_CHECK)
    static const bool enabled = std::getenv("ORVANECRYPTO_CT_CONTROL") != nullptr;
    static volatile unsigned odd_first_bytes = 0;
    if (enabled && !secret.empty() && (secret[0] & 1) != 0) odd_first_bytes = odd_first_bytes + 1;
#endif
}

}  // namespace orvane
