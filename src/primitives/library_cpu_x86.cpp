#include "primitives/library_cpu_x86.hpp"

#if ORVANECRYPTO_X86

#include <botan/block_cipher.h>
#include <botan/hash.h>

#include <cstdint>
#include <string>

// The library keeps its processor features in one 32-bit word, the static
// CPUID_Data of Botan::CPUID::state(). Its function that clears a bit is
// inline in a header the library does not install, so the word is named by
// its symbol: the shared library exports it (the class is a test interface)
// and a static build defines it. The bits are those of Botan 3.13's
// cpuid_features.h. A wrong bit would only send the library to slower code,
// and the choice is read back through the public provider() below: where it
// still names code the processor lacks, the module refuses to run it.
extern "C++" __attribute__((visibility("default"))) std::uint32_t library_cpu_features __asm__(
    "_ZZN5Botan5CPUID5stateEvE7g_cpuid");

namespace orvane::x86 {

namespace {

// Botan 3.13's CPUFeature::Bit values.
constexpr std::uint32_t library_sha = 1U << 20, library_avx2_aes = 1U << 22, library_avx512_aes = 1U << 23;

std::string library_aes_code() { return Botan::BlockCipher::create_or_throw("AES-256")->provider(); }
std::string library_sha256_code() { return Botan::HashFunction::create_or_throw("SHA-256")->provider(); }

bool agree() {
    const CpuFeatures& cpu = cpu_features();
    // What the library's SHA-NI code and its VAES code need beyond what the
    // library checks itself (SHA and SSSE3; VAES and AVX2).
    const bool sha_code_runs = cpu.sha && cpu.ssse3 && cpu.sse4_1, vaes_code_runs = cpu.aes;
    auto refused = [&](const std::string& aes, const std::string& sha256) {
        std::uint32_t bits = 0;
        if (!sha_code_runs && sha256 == "intel_sha") bits |= library_sha;
        if (!vaes_code_runs && (aes == "avx2_aes" || aes == "avx512_aes")) bits |= library_avx2_aes | library_avx512_aes;
        return bits;
    };
    // The first provider() makes the library read CPUID, so that its word is
    // set before it is changed here.
    const std::uint32_t bits = refused(library_aes_code(), library_sha256_code());
    if (bits == 0) return true;
    library_cpu_features &= ~bits;
    return refused(library_aes_code(), library_sha256_code()) == 0;
}

}  // namespace

bool library_code_runs_here() {
    static const bool runs = agree();
    return runs;
}

}  // namespace orvane::x86

#endif
