// The hardware limit for the block modes on this processor: AES-256-IGE in
// both directions with the round keys held in registers (one block after
// another, so bound by the latency of the AES rounds), and AES-256-CTR with
// many blocks in flight (bound by their throughput; VAES where the processor
// has it).
//
// Like the module, every run writes into a freshly allocated output buffer, so
// that page faults on first touch count on both sides.
//
//   aes_limit --check        a few output blocks of a fixed input, as JSON,
//                            for the caller to compare with the module
//   aes_limit --serve        reads lines "MODE SIZE CALLS" from stdin (MODE is
//                            ige_encrypt, ige_decrypt or ctr) and answers each
//                            with the nanoseconds that CALLS calls took and the
//                            minor page faults they caused
//
// Serving lets the caller interleave these timings with its own, so that a
// busy spell of a shared machine falls on both alike.
#include <immintrin.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using u8 = std::uint8_t;

struct RoundKeys {
    __m128i enc[15];
    __m128i dec[15];  // for aesdec: reversed order, inner keys through aesimc
};

template <int Rcon>
__m128i expand_even(__m128i previous_even, __m128i previous_odd) {
    __m128i assist = _mm_shuffle_epi32(_mm_aeskeygenassist_si128(previous_odd, Rcon), 0xff);
    __m128i key = previous_even;
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    return _mm_xor_si128(key, assist);
}

__m128i expand_odd(__m128i previous_odd, __m128i even) {
    __m128i assist = _mm_shuffle_epi32(_mm_aeskeygenassist_si128(even, 0), 0xaa);
    __m128i key = previous_odd;
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    return _mm_xor_si128(key, assist);
}

RoundKeys expand_key(const u8* key) {
    RoundKeys keys;
    __m128i* k = keys.enc;
    k[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
    k[1] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 16));
    k[2] = expand_even<0x01>(k[0], k[1]);
    k[3] = expand_odd(k[1], k[2]);
    k[4] = expand_even<0x02>(k[2], k[3]);
    k[5] = expand_odd(k[3], k[4]);
    k[6] = expand_even<0x04>(k[4], k[5]);
    k[7] = expand_odd(k[5], k[6]);
    k[8] = expand_even<0x08>(k[6], k[7]);
    k[9] = expand_odd(k[7], k[8]);
    k[10] = expand_even<0x10>(k[8], k[9]);
    k[11] = expand_odd(k[9], k[10]);
    k[12] = expand_even<0x20>(k[10], k[11]);
    k[13] = expand_odd(k[11], k[12]);
    k[14] = expand_even<0x40>(k[12], k[13]);
    keys.dec[0] = k[14];
    for (int i = 1; i < 14; ++i) keys.dec[i] = _mm_aesimc_si128(k[14 - i]);
    keys.dec[14] = k[0];
    return keys;
}

__m128i load(const u8* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
void store(u8* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// y(i) = E(x(i) ^ y(i-1)) ^ x(i-1). The first key and x(i-1) are folded into
// values computed off the chain, so the chain per block is one XOR and the
// fourteen rounds.
void ige_encrypt(const RoundKeys& keys, const u8* iv, const u8* in, u8* out, std::size_t length) {
    const __m128i k0 = keys.enc[0], k1 = keys.enc[1], k2 = keys.enc[2], k3 = keys.enc[3], k4 = keys.enc[4],
                  k5 = keys.enc[5], k6 = keys.enc[6], k7 = keys.enc[7], k8 = keys.enc[8], k9 = keys.enc[9],
                  k10 = keys.enc[10], k11 = keys.enc[11], k12 = keys.enc[12], k13 = keys.enc[13],
                  k14 = keys.enc[14];
    __m128i y = load(iv), x_previous = load(iv + 16);
    for (std::size_t offset = 0; offset + 16 <= length; offset += 16) {
        const __m128i x = load(in + offset);
        __m128i s = _mm_xor_si128(y, _mm_xor_si128(x, k0));
        s = _mm_aesenc_si128(s, k1);
        s = _mm_aesenc_si128(s, k2);
        s = _mm_aesenc_si128(s, k3);
        s = _mm_aesenc_si128(s, k4);
        s = _mm_aesenc_si128(s, k5);
        s = _mm_aesenc_si128(s, k6);
        s = _mm_aesenc_si128(s, k7);
        s = _mm_aesenc_si128(s, k8);
        s = _mm_aesenc_si128(s, k9);
        s = _mm_aesenc_si128(s, k10);
        s = _mm_aesenc_si128(s, k11);
        s = _mm_aesenc_si128(s, k12);
        s = _mm_aesenc_si128(s, k13);
        y = _mm_aesenclast_si128(s, _mm_xor_si128(k14, x_previous));
        store(out + offset, y);
        x_previous = x;
    }
}

// x(i) = D(y(i) ^ x(i-1)) ^ y(i-1), chained through x the same way.
void ige_decrypt(const RoundKeys& keys, const u8* iv, const u8* in, u8* out, std::size_t length) {
    const __m128i k0 = keys.dec[0], k1 = keys.dec[1], k2 = keys.dec[2], k3 = keys.dec[3], k4 = keys.dec[4],
                  k5 = keys.dec[5], k6 = keys.dec[6], k7 = keys.dec[7], k8 = keys.dec[8], k9 = keys.dec[9],
                  k10 = keys.dec[10], k11 = keys.dec[11], k12 = keys.dec[12], k13 = keys.dec[13],
                  k14 = keys.dec[14];
    __m128i y_previous = load(iv), x = load(iv + 16);
    for (std::size_t offset = 0; offset + 16 <= length; offset += 16) {
        const __m128i y = load(in + offset);
        __m128i s = _mm_xor_si128(x, _mm_xor_si128(y, k0));
        s = _mm_aesdec_si128(s, k1);
        s = _mm_aesdec_si128(s, k2);
        s = _mm_aesdec_si128(s, k3);
        s = _mm_aesdec_si128(s, k4);
        s = _mm_aesdec_si128(s, k5);
        s = _mm_aesdec_si128(s, k6);
        s = _mm_aesdec_si128(s, k7);
        s = _mm_aesdec_si128(s, k8);
        s = _mm_aesdec_si128(s, k9);
        s = _mm_aesdec_si128(s, k10);
        s = _mm_aesdec_si128(s, k11);
        s = _mm_aesdec_si128(s, k12);
        s = _mm_aesdec_si128(s, k13);
        x = _mm_aesdeclast_si128(s, _mm_xor_si128(k14, y_previous));
        store(out + offset, x);
        y_previous = y;
    }
}

// CTR over whole blocks. The loops over the blocks in flight are unrolled, so
// that the blocks live in registers rather than in a stack array. The counter is kept byte-reversed so that a vector
// add steps it, and turned big-endian before encryption; the carry between
// the two 64-bit halves is left out, which the measured runs never reach.
const __m128i byte_reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);

void ctr_aesni8(const RoundKeys& keys, const u8* iv, const u8* in, u8* out, std::size_t length) {
    constexpr int lanes = 8;
    __m128i counter = _mm_shuffle_epi8(load(iv), byte_reverse);
    const __m128i one = _mm_set_epi64x(0, 1);
    std::size_t offset = 0;
    for (; offset + 16 * lanes <= length; offset += 16 * lanes) {
        __m128i s[lanes];
        _Pragma("GCC unroll 8") for (int j = 0; j < lanes; ++j) {
            s[j] = _mm_xor_si128(_mm_shuffle_epi8(counter, byte_reverse), keys.enc[0]);
            counter = _mm_add_epi64(counter, one);
        }
        _Pragma("GCC unroll 13") for (int r = 1; r < 14; ++r)
            _Pragma("GCC unroll 8") for (int j = 0; j < lanes; ++j) s[j] = _mm_aesenc_si128(s[j], keys.enc[r]);
        _Pragma("GCC unroll 8") for (int j = 0; j < lanes; ++j) {
            s[j] = _mm_aesenclast_si128(s[j], keys.enc[14]);
            store(out + offset + 16 * j, _mm_xor_si128(s[j], load(in + offset + 16 * j)));
        }
    }
    for (; offset + 16 <= length; offset += 16) {
        __m128i s = _mm_xor_si128(_mm_shuffle_epi8(counter, byte_reverse), keys.enc[0]);
        counter = _mm_add_epi64(counter, one);
        for (int r = 1; r < 14; ++r) s = _mm_aesenc_si128(s, keys.enc[r]);
        s = _mm_aesenclast_si128(s, keys.enc[14]);
        store(out + offset, _mm_xor_si128(s, load(in + offset)));
    }
}

// Two blocks per 256-bit register, eight registers in flight.
__attribute__((target("avx2,vaes"))) void ctr_vaes256(const RoundKeys& keys, const u8* iv, const u8* in, u8* out,
                                                      std::size_t length) {
    constexpr int lanes = 8, per = 2;
    __m256i k[15];
    for (int r = 0; r < 15; ++r) k[r] = _mm256_broadcastsi128_si256(keys.enc[r]);
    const __m256i reverse = _mm256_broadcastsi128_si256(byte_reverse);
    __m128i start = _mm_shuffle_epi8(load(iv), byte_reverse);
    __m256i counter = _mm256_add_epi64(_mm256_broadcastsi128_si256(start), _mm256_set_epi64x(0, 1, 0, 0));
    const __m256i step = _mm256_set_epi64x(0, per, 0, per);
    std::size_t offset = 0;
    for (; offset + 16 * per * lanes <= length; offset += 16 * per * lanes) {
        __m256i s[lanes];
        _Pragma("GCC unroll 8") for (int j = 0; j < lanes; ++j) {
            s[j] = _mm256_xor_si256(_mm256_shuffle_epi8(counter, reverse), k[0]);
            counter = _mm256_add_epi64(counter, step);
        }
        _Pragma("GCC unroll 13") for (int r = 1; r < 14; ++r)
            _Pragma("GCC unroll 8") for (int j = 0; j < lanes; ++j) s[j] = _mm256_aesenc_epi128(s[j], k[r]);
        _Pragma("GCC unroll 8") for (int j = 0; j < lanes; ++j) {
            s[j] = _mm256_aesenclast_epi128(s[j], k[14]);
            const auto* src = reinterpret_cast<const __m256i*>(in + offset + 32 * j);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + offset + 32 * j),
                                _mm256_xor_si256(s[j], _mm256_loadu_si256(src)));
        }
    }
    alignas(16) u8 next[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(next), _mm_shuffle_epi8(_mm256_castsi256_si128(counter), byte_reverse));
    _mm256_zeroupper();
    ctr_aesni8(keys, next, in + offset, out + offset, length - offset);
}

// Four blocks per 512-bit register, eight registers in flight.
__attribute__((target("avx512f,avx512bw,vaes"))) void ctr_vaes512(const RoundKeys& keys, const u8* iv, const u8* in,
                                                                  u8* out, std::size_t length) {
    constexpr int lanes = 8, per = 4;
    __m512i k[15];
    for (int r = 0; r < 15; ++r) k[r] = _mm512_broadcast_i32x4(keys.enc[r]);
    const __m512i reverse = _mm512_broadcast_i32x4(byte_reverse);
    __m128i start = _mm_shuffle_epi8(load(iv), byte_reverse);
    __m512i counter = _mm512_add_epi64(_mm512_broadcast_i32x4(start), _mm512_set_epi64(0, 3, 0, 2, 0, 1, 0, 0));
    const __m512i step = _mm512_set_epi64(0, per, 0, per, 0, per, 0, per);
    std::size_t offset = 0;
    for (; offset + 16 * per * lanes <= length; offset += 16 * per * lanes) {
        __m512i s[lanes];
        _Pragma("GCC unroll 8") for (int j = 0; j < lanes; ++j) {
            s[j] = _mm512_xor_si512(_mm512_shuffle_epi8(counter, reverse), k[0]);
            counter = _mm512_add_epi64(counter, step);
        }
        _Pragma("GCC unroll 13") for (int r = 1; r < 14; ++r)
            _Pragma("GCC unroll 8") for (int j = 0; j < lanes; ++j) s[j] = _mm512_aesenc_epi128(s[j], k[r]);
        _Pragma("GCC unroll 8") for (int j = 0; j < lanes; ++j) {
            s[j] = _mm512_aesenclast_epi128(s[j], k[14]);
            _mm512_storeu_si512(out + offset + 64 * j,
                                _mm512_xor_si512(s[j], _mm512_loadu_si512(in + offset + 64 * j)));
        }
    }
    alignas(16) u8 next[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(next), _mm_shuffle_epi8(_mm512_castsi512_si128(counter), byte_reverse));
    _mm256_zeroupper();
    ctr_aesni8(keys, next, in + offset, out + offset, length - offset);
}

using Mode = void (*)(const RoundKeys&, const u8*, const u8*, u8*, std::size_t);

struct CtrChoice {
    Mode run;
    const char* name;
};

CtrChoice choose_ctr() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("vaes") && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"))
        return {ctr_vaes512, "VAES 512-bit, 32 blocks in flight"};
    if (__builtin_cpu_supports("vaes") && __builtin_cpu_supports("avx2"))
        return {ctr_vaes256, "VAES 256-bit, 16 blocks in flight"};
    return {ctr_aesni8, "AES-NI, 8 blocks in flight"};
}

long minor_faults() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

std::uint64_t time_calls(Mode mode, const RoundKeys& keys, const u8* iv, const u8* in, std::size_t size,
                         std::uint64_t calls) {
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    for (std::uint64_t i = 0; i < calls; ++i) {
        u8* out = static_cast<u8*>(std::malloc(size ? size : 1));
        if (!out) std::abort();
        mode(keys, iv, in, out, size);
        asm volatile("" : : "r"(out) : "memory");  // the stores are the work: keep them
        std::free(out);
    }
    return static_cast<std::uint64_t>(std::chrono::duration<double, std::nano>(clock::now() - start).count());
}

std::string hex(const u8* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += digits[p[i] >> 4], s += digits[p[i] & 15];
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc == 2 ? argv[1] : "";
    if (command != "--check" && command != "--serve") {
        std::fprintf(stderr, "usage: aes_limit --check | --serve\n");
        return 2;
    }
    const CtrChoice ctr = choose_ctr();

    // Fixed input: key byte i = i, IGE IV byte i = 32 + i, CTR IV byte i =
    // 0x10 + i, data byte i = 31 i + 7.
    u8 key[32], ige_iv[32], ctr_iv[16];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<u8>(i), ige_iv[i] = static_cast<u8>(32 + i);
    for (int i = 0; i < 16; ++i) ctr_iv[i] = static_cast<u8>(0x10 + i);
    const RoundKeys keys = expand_key(key);
    std::vector<u8> input(4096);
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<u8>(31 * i + 7);

    const std::pair<std::string, Mode> modes[] = {
        {"ige_encrypt", ige_encrypt}, {"ige_decrypt", ige_decrypt}, {"ctr", ctr.run}};
    if (command == "--check") {
        std::vector<u8> out(input.size());
        std::printf("{\"ctr_variant\": \"%s\", \"size\": %zu", ctr.name, input.size());
        for (const auto& [name, mode] : modes) {
            mode(keys, name == "ctr" ? ctr_iv : ige_iv, input.data(), out.data(), out.size());
            std::printf(", \"%s\": \"%s\"", name.c_str(), (hex(out.data(), 32) + hex(out.data() + 4064, 32)).c_str());
        }
        std::printf("}\n");
        return 0;
    }

    char name[32];
    std::size_t size;
    unsigned long long calls;
    while (std::scanf("%31s %zu %llu", name, &size, &calls) == 3) {
        Mode mode = nullptr;
        for (const auto& [known, run] : modes)
            if (known == name) mode = run;
        if (!mode) {
            std::fprintf(stderr, "aes_limit: unknown mode %s\n", name);
            return 2;
        }
        if (input.size() < size) {
            input.resize(size);
            for (std::size_t i = 0; i < size; ++i) input[i] = static_cast<u8>(31 * i + 7);
        }
        const long faults = minor_faults();
        const std::uint64_t ns = time_calls(mode, keys, mode == ctr.run ? ctr_iv : ige_iv, input.data(), size, calls);
        std::printf("%llu %ld\n", static_cast<unsigned long long>(ns), minor_faults() - faults);
        std::fflush(stdout);
    }
    return 0;
}
