#include "primitives/vector_registers.hpp"

#include "primitives/cpu_x86.hpp"

namespace orvane {

#if ORVANECRYPTO_X86 && !defined(ORVANECRYPTO_KEEP_VECTOR_REGISTERS)
namespace {

[[gnu::target("avx")]] void zero_ymm0_to_15() {
    asm volatile("vzeroall" ::: "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
                 "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
}

[[gnu::target("avx512f")]] void zero_zmm16_to_31() {
    asm volatile(
        "vpxord %%zmm16, %%zmm16, %%zmm16\n\tvpxord %%zmm17, %%zmm17, %%zmm17\n\t"
        "vpxord %%zmm18, %%zmm18, %%zmm18\n\tvpxord %%zmm19, %%zmm19, %%zmm19\n\t"
        "vpxord %%zmm20, %%zmm20, %%zmm20\n\tvpxord %%zmm21, %%zmm21, %%zmm21\n\t"
        "vpxord %%zmm22, %%zmm22, %%zmm22\n\tvpxord %%zmm23, %%zmm23, %%zmm23\n\t"
        "vpxord %%zmm24, %%zmm24, %%zmm24\n\tvpxord %%zmm25, %%zmm25, %%zmm25\n\t"
        "vpxord %%zmm26, %%zmm26, %%zmm26\n\tvpxord %%zmm27, %%zmm27, %%zmm27\n\t"
        "vpxord %%zmm28, %%zmm28, %%zmm28\n\tvpxord %%zmm29, %%zmm29, %%zmm29\n\t"
        "vpxord %%zmm30, %%zmm30, %%zmm30\n\tvpxord %%zmm31, %%zmm31, %%zmm31" ::
            : "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24", "xmm25", "xmm26",
              "xmm27", "xmm28", "xmm29", "xmm30", "xmm31");
}

void zero_xmm0_to_15() {
    asm volatile(
        "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\tpxor %%xmm3, %%xmm3\n\t"
        "pxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\tpxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\t"
        "pxor %%xmm8, %%xmm8\n\tpxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
        "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\tpxor %%xmm15, %%xmm15" ::
            : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",
              "xmm12", "xmm13", "xmm14", "xmm15");
}

}  // namespace
#endif

// A function of its own, not inline: on arm64 the call itself tells the
// compiler that the upper halves of v8-v15 are not preserved.
[[gnu::noinline]] void wipe_vector_registers() {
#if defined(ORVANECRYPTO_KEEP_VECTOR_REGISTERS)
    // The control build of the residue check: registers left as they are.
#elif ORVANECRYPTO_X86
    const x86::CpuFeatures& cpu = x86::cpu_features();
    if (!cpu.avx) return zero_xmm0_to_15();
    zero_ymm0_to_15();
    if (cpu.avx512) zero_zmm16_to_31();
#elif defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__))
    asm volatile(
        "movi v0.16b, #0\n\tmovi v1.16b, #0\n\tmovi v2.16b, #0\n\tmovi v3.16b, #0\n\t"
        "movi v4.16b, #0\n\tmovi v5.16b, #0\n\tmovi v6.16b, #0\n\tmovi v7.16b, #0\n\t"
        "mov v8.d[1], xzr\n\tmov v9.d[1], xzr\n\tmov v10.d[1], xzr\n\tmov v11.d[1], xzr\n\t"
        "mov v12.d[1], xzr\n\tmov v13.d[1], xzr\n\tmov v14.d[1], xzr\n\tmov v15.d[1], xzr\n\t"
        "movi v16.16b, #0\n\tmovi v17.16b, #0\n\tmovi v18.16b, #0\n\tmovi v19.16b, #0\n\t"
        "movi v20.16b, #0\n\tmovi v21.16b, #0\n\tmovi v22.16b, #0\n\tmovi v23.16b, #0\n\t"
        "movi v24.16b, #0\n\tmovi v25.16b, #0\n\tmovi v26.16b, #0\n\tmovi v27.16b, #0\n\t"
        "movi v28.16b, #0\n\tmovi v29.16b, #0\n\tmovi v30.16b, #0\n\tmovi v31.16b, #0" ::
            : "v0", "v1", "v2", "v3", "v4", "v5", "v6", "v7", "v16", "v17", "v18", "v19", "v20", "v21", "v22", "v23",
              "v24", "v25", "v26", "v27", "v28", "v29", "v30", "v31");
#elif defined(__powerpc64__) && defined(__VSX__) && (defined(__GNUC__) || defined(__clang__))
    // vs0-vs13 and vs32-vs51 (v0-v19) whole; of vs14-vs31 the second
    // doubleword, the first being the callers' f14-f31.
    asm volatile(
        "xxlxor 0, 0, 0\n\txxlxor 1, 1, 1\n\txxlxor 2, 2, 2\n\txxlxor 3, 3, 3\n\txxlxor 4, 4, 4\n\t"
        "xxlxor 5, 5, 5\n\txxlxor 6, 6, 6\n\txxlxor 7, 7, 7\n\txxlxor 8, 8, 8\n\txxlxor 9, 9, 9\n\t"
        "xxlxor 10, 10, 10\n\txxlxor 11, 11, 11\n\txxlxor 12, 12, 12\n\txxlxor 13, 13, 13\n\t"
        "xxpermdi 14, 14, 0, 0\n\txxpermdi 15, 15, 0, 0\n\txxpermdi 16, 16, 0, 0\n\txxpermdi 17, 17, 0, 0\n\t"
        "xxpermdi 18, 18, 0, 0\n\txxpermdi 19, 19, 0, 0\n\txxpermdi 20, 20, 0, 0\n\txxpermdi 21, 21, 0, 0\n\t"
        "xxpermdi 22, 22, 0, 0\n\txxpermdi 23, 23, 0, 0\n\txxpermdi 24, 24, 0, 0\n\txxpermdi 25, 25, 0, 0\n\t"
        "xxpermdi 26, 26, 0, 0\n\txxpermdi 27, 27, 0, 0\n\txxpermdi 28, 28, 0, 0\n\txxpermdi 29, 29, 0, 0\n\t"
        "xxpermdi 30, 30, 0, 0\n\txxpermdi 31, 31, 0, 0\n\t"
        "xxlxor 32, 32, 32\n\txxlxor 33, 33, 33\n\txxlxor 34, 34, 34\n\txxlxor 35, 35, 35\n\txxlxor 36, 36, 36\n\t"
        "xxlxor 37, 37, 37\n\txxlxor 38, 38, 38\n\txxlxor 39, 39, 39\n\txxlxor 40, 40, 40\n\txxlxor 41, 41, 41\n\t"
        "xxlxor 42, 42, 42\n\txxlxor 43, 43, 43\n\txxlxor 44, 44, 44\n\txxlxor 45, 45, 45\n\txxlxor 46, 46, 46\n\t"
        "xxlxor 47, 47, 47\n\txxlxor 48, 48, 48\n\txxlxor 49, 49, 49\n\txxlxor 50, 50, 50\n\txxlxor 51, 51, 51" ::
            : "f0", "f1", "f2", "f3", "f4", "f5", "f6", "f7", "f8", "f9", "f10", "f11", "f12", "f13", "v0", "v1", "v2",
              "v3", "v4", "v5", "v6", "v7", "v8", "v9", "v10", "v11", "v12", "v13", "v14", "v15", "v16", "v17", "v18",
              "v19");
#elif defined(__i386__) && defined(__SSE2__) && (defined(__GNUC__) || defined(__clang__))
    // The compiler's SSE2 code (copies, vectorised loops of the portable
    // AES) leaves key material in xmm0-7, all of them the caller's to lose.
    asm volatile(
        "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\tpxor %%xmm3, %%xmm3\n\t"
        "pxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\tpxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7" ::
            : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7");
#endif
}

}  // namespace orvane
