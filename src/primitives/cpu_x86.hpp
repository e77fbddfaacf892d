// The x86-64 instruction-set extensions that the module's own AES, SHA-256
// and XOR code needs, read once with CPUID (and XGETBV for whether the
// operating system saves the 256-bit registers).
//
// ORVANECRYPTO_X86 is the one build condition of all that code: x86-64 with
// GCC or Clang (their target attributes and intrinsics). Elsewhere the
// crypto library's code runs.
//
// __builtin_cpu_supports is not used: it reads a table that the compiler's
// runtime library is expected to fill in when the program starts, and the
// runtime that Zig links into the release wheels never does, so every
// extension read as absent there and the module ran its slower fallbacks.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ORVANECRYPTO_X86 1  // NOLINT(cppcoreguidelines-macro-usage): tested by #if
#else
#define ORVANECRYPTO_X86 0  // NOLINT(cppcoreguidelines-macro-usage): tested by #if
#endif

#if ORVANECRYPTO_X86

#include <cpuid.h>

#include <cstdint>

namespace orvane::x86 {

struct CpuFeatures {
    bool aes = false;     // AESENC and the rest: CPUID 1, ECX bit 25
    bool ssse3 = false;   // PSHUFB, PALIGNR: CPUID 1, ECX bit 9
    bool sse4_1 = false;  // PBLENDW: CPUID 1, ECX bit 19
    bool sha = false;     // SHA256RNDS2 and the rest: CPUID 7.0, EBX bit 29
    bool avx = false;     // CPUID 1, ECX bit 28, with the YMM state saved by the system
    bool avx2 = false;    // CPUID 7.0, EBX bit 5, likewise
    bool avx512 = false;  // AVX512F: CPUID 7.0, EBX bit 16, with the ZMM state saved by the system
};

inline CpuFeatures read_cpu_features() {
    constexpr unsigned leaf1_ecx_ssse3 = 1U << 9, leaf1_ecx_sse4_1 = 1U << 19, leaf1_ecx_aes = 1U << 25,
                       leaf1_ecx_osxsave = 1U << 27, leaf1_ecx_avx = 1U << 28, leaf7_ebx_avx2 = 1U << 5,
                       leaf7_ebx_avx512f = 1U << 16, leaf7_ebx_sha = 1U << 29;
    CpuFeatures features;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return features;
    features.aes = (ecx & leaf1_ecx_aes) != 0;
    features.ssse3 = (ecx & leaf1_ecx_ssse3) != 0;
    features.sse4_1 = (ecx & leaf1_ecx_sse4_1) != 0;
    bool ymm_saved = false, zmm_saved = false;
    if ((ecx & leaf1_ecx_osxsave) != 0 && (ecx & leaf1_ecx_avx) != 0) {
        std::uint32_t xcr0_low = 0, xcr0_high = 0;
        // XGETBV with ECX = 0 reads XCR0; bits 1 and 2 are the XMM and YMM
        // state, bits 5 to 7 the AVX-512 mask and ZMM state.
        __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
        ymm_saved = (xcr0_low & 0x6U) == 0x6U;
        zmm_saved = ymm_saved && (xcr0_low & 0xE0U) == 0xE0U;
    }
    features.avx = ymm_saved;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return features;
    features.sha = (ebx & leaf7_ebx_sha) != 0;
    features.avx2 = ymm_saved && (ebx & leaf7_ebx_avx2) != 0;
    features.avx512 = zmm_saved && (ebx & leaf7_ebx_avx512f) != 0;
    return features;
}

inline const CpuFeatures& cpu_features() {
    static const CpuFeatures features = read_cpu_features();
    return features;
}

}  // namespace orvane::x86

#endif
