#include "primitives/sha256_x86.hpp"

#if ORVANECRYPTO_X86

#include "primitives/cpu_x86.hpp"

#include <botan/hash.h>

#include <immintrin.h>

#include <string>

namespace orvane::x86 {

namespace {

alignas(16) constexpr std::uint32_t round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

bool library_uses_sha_instructions() {
    return Botan::HashFunction::create_or_throw("SHA-256")->provider() == "intel_sha";
}

}  // namespace

bool sha_instructions_usable() {
    // Every instruction set the code below uses: SHA, SSSE3 (PSHUFB, PALIGNR)
    // and SSE4.1 (PBLENDW).
    const CpuFeatures& cpu = cpu_features();
    static const bool usable = cpu.sha && cpu.ssse3 && cpu.sse4_1 && library_uses_sha_instructions();
    return usable;
}

namespace {

// The state is kept as the instructions want it: (a, b, e, f) and (c, d, g, h).
// Each group of four rounds adds four message words to their constants and
// runs two sha256rnds2; from the fifth group on, the four words are made from
// the previous sixteen with sha256msg1 and sha256msg2.
struct Lane {
    __m128i abef, cdgh, abef_before, cdgh_before;
    __m128i words[4];

    __attribute__((target("sha,ssse3,sse4.1"))) explicit Lane(const std::uint32_t* state) {
        const __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
        const __m128i hgfe = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
        abef = _mm_alignr_epi8(dcba, hgfe, 8);
        cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);
    }

    __attribute__((target("sha,ssse3,sse4.1"))) void begin_block() { abef_before = abef, cdgh_before = cdgh; }

    // Rounds 4 group to 4 group + 3.
    __attribute__((target("sha,ssse3,sse4.1"))) void four_rounds(std::size_t group, const std::uint8_t* block) {
        __m128i& w = words[group % 4];
        if (group < 4) {
            const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
            w = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * group)), byte_swap);
        } else {
            const __m128i& previous = words[(group + 3) % 4];
            w = _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(w, words[(group + 1) % 4]),
                                                   _mm_alignr_epi8(previous, words[(group + 2) % 4], 4)),
                                     previous);
        }
        __m128i scheduled =
            _mm_add_epi32(w, _mm_load_si128(reinterpret_cast<const __m128i*>(round_constants + 4 * group)));
        cdgh = _mm_sha256rnds2_epu32(cdgh, abef, scheduled);
        scheduled = _mm_shuffle_epi32(scheduled, 0x0E);
        abef = _mm_sha256rnds2_epu32(abef, cdgh, scheduled);
    }

    __attribute__((target("sha,ssse3,sse4.1"))) void end_block() {
        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }

    __attribute__((target("sha,ssse3,sse4.1"))) void store(std::uint32_t* state) const {
        const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
        const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
    }
};

}  // namespace

__attribute__((target("sha,ssse3,sse4.1"))) void sha256_compress(std::uint32_t state[8], const std::uint8_t* data,
                                                           std::size_t blocks) {
    Lane lane(state);
    for (; blocks > 0; --blocks, data += 64) {
        lane.begin_block();
#pragma GCC unroll 16
        for (std::size_t group = 0; group < 16; ++group) lane.four_rounds(group, data);
        lane.end_block();
    }
    lane.store(state);
}

// The rounds of the two blocks alternate, so that each chain of dependent
// sha256rnds2 runs while the other waits for its result.
__attribute__((target("sha,ssse3,sse4.1"))) void sha256_compress_pair(std::uint32_t state_a[8], const std::uint8_t* block_a,
                                                                std::uint32_t state_b[8], const std::uint8_t* block_b) {
    Lane a(state_a), b(state_b);
    a.begin_block(), b.begin_block();
#pragma GCC unroll 16
    for (std::size_t group = 0; group < 16; ++group) a.four_rounds(group, block_a), b.four_rounds(group, block_b);
    a.end_block(), b.end_block();
    a.store(state_a), b.store(state_b);
}

}  // namespace orvane::x86

#endif
