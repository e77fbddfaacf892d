// The crypto library's choice of processor code, made to agree with the
// module's reading of the processor (cpu_x86.hpp).
//
// The library reads CPUID itself and trusts it further than the module does:
// it runs its SHA-256 instruction code wherever the SHA extensions and SSSE3
// are reported, though that code uses SSE4.1 too (PBLENDW), and its VAES code
// wherever VAES and AVX2 are, with or without AES-NI. No such processor is
// known, but an emulator or hypervisor may report one, and the process would
// die of SIGILL. So before the module's first use of the library's AES or
// SHA-256, the library's feature bits for code the processor cannot run are
// cleared, and the library's choice is read back.
#pragma once

#include "core/errors.hpp"
#include "primitives/cpu_x86.hpp"

namespace orvane {

#if ORVANECRYPTO_X86
namespace x86 {

// True when the library's AES and SHA-256 run only instructions this
// processor has: at once if it reports a consistent state, else after its
// bits were cleared. Decided once per process, before its first AES or
// SHA-256 (the library reads CPUID when first asked, and only then).
bool library_code_runs_here();

}  // namespace x86
#endif

// Called before every use of the library's AES or SHA-256. Where the library
// still names code the processor lacks (its feature word not as expected),
// the call is refused rather than the process ended.
inline void require_library_code_runs_here() {
#if ORVANECRYPTO_X86
    if (!x86::library_code_runs_here())
        internal_fault("the crypto library chose AES or SHA-256 code that this processor cannot run");
#endif
}

}  // namespace orvane
