// Zeroing the vector registers after code that kept secrets in them.
//
// AES and SHA-256 code leaves round keys and message words (auth_key's among
// them) in the vector registers when it returns, and so do the copies that
// feed it. Nothing in the code that follows need overwrite them, and the next
// thing that saves the register state writes them to memory that outlives the
// call: the kernel's signal frame on the user stack, the dynamic loader's
// trampolines for lazy binding and a thread's first use of thread-local
// storage (XSAVE), any later code's spills. So each of the module's own AES
// and SHA-256 functions, and each call into the crypto library with key
// material, is followed by wipe_vector_registers() before control can reach
// such code.
#pragma once

namespace orvane {

// x86-64: VZEROALL (ymm0-15, and zmm0-15 whole) where the system saves the
// AVX state, then zmm16-31 where it saves AVX-512's; the sixteen xmm
// registers one by one otherwise. arm64: v0-v7 and v16-v31, and the upper
// halves of v8-v15, whose lower halves (d8-d15) belong to the callers, which
// the library restored on its return: nothing is spilled to save them.
// ppc64le: the registers the ABI gives callees to lose (vs0-vs13, v0-v19,
// the second doubleword of vs14-vs31), where the library's POWER8 AES keeps
// its round keys. i686 with SSE2: xmm0-7. Elsewhere (s390x, riscv64, 32-bit
// ARM without NEON) neither the library's portable AES and SHA-256 nor the
// compiler's code for them has vector registers to use. A control build for the checks (ORVANECRYPTO_KEEP_VECTOR_REGISTERS)
// leaves them as they are.
void wipe_vector_registers();

}  // namespace orvane
