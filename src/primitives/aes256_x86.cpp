#include "primitives/aes256_x86.hpp"

#if ORVANECRYPTO_X86

#include "primitives/cpu_x86.hpp"
#include "core/dead_stack.hpp"
#include "primitives/vector_registers.hpp"

#include <botan/block_cipher.h>
#include <botan/mem_ops.h>

#include <immintrin.h>

#include <string>

#define ORVANECRYPTO_AES_TARGET __attribute__((target("aes,sse4.1")))

namespace orvane::x86 {

namespace {

ORVANECRYPTO_AES_TARGET __m128i load(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

ORVANECRYPTO_AES_TARGET void store(std::uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// The round keys of one direction, loaded once. The compiler keeps some of
// them on the stack, in this array and in spill slots of its own choosing;
// each function that loads them runs in a frame of its own, which
// wipe_returned_frames() overwrites once it has returned.
struct Rounds {
    __m128i k[15];

    ORVANECRYPTO_AES_TARGET explicit Rounds(const std::uint8_t (&keys)[15][16]) {
        for (int r = 0; r < 15; ++r) k[r] = load(keys[r]);
    }
    Rounds(const Rounds&) = delete;
    Rounds& operator=(const Rounds&) = delete;
    Rounds(Rounds&&) = delete;
    Rounds& operator=(Rounds&&) = delete;
    ~Rounds() = default;
};

// Key expansion words 8i..8i+3 (even round keys) and 8i+4..8i+7 (odd ones):
// each word is the XOR of all earlier words of the previous key of the same
// parity, plus the SubWord (and RotWord and Rcon) of the last word before it.
ORVANECRYPTO_AES_TARGET __m128i spread(__m128i key) {
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    return _mm_xor_si128(key, _mm_slli_si128(key, 4));
}

template <int Rcon>
ORVANECRYPTO_AES_TARGET __m128i next_even(__m128i previous_even, __m128i previous_odd) {
    return _mm_xor_si128(spread(previous_even), _mm_shuffle_epi32(_mm_aeskeygenassist_si128(previous_odd, Rcon), 0xff));
}

ORVANECRYPTO_AES_TARGET __m128i next_odd(__m128i previous_odd, __m128i even) {
    return _mm_xor_si128(spread(previous_odd), _mm_shuffle_epi32(_mm_aeskeygenassist_si128(even, 0), 0xaa));
}

ORVANECRYPTO_AES_TARGET __m128i encrypt(const Rounds& keys, __m128i s) {
    s = _mm_xor_si128(s, keys.k[0]);
    for (int r = 1; r < 14; ++r) s = _mm_aesenc_si128(s, keys.k[r]);
    return _mm_aesenclast_si128(s, keys.k[14]);
}

ORVANECRYPTO_AES_TARGET __m128i decrypt(const Rounds& keys, __m128i s) {
    s = _mm_xor_si128(s, keys.k[0]);
    for (int r = 1; r < 14; ++r) s = _mm_aesdec_si128(s, keys.k[r]);
    return _mm_aesdeclast_si128(s, keys.k[14]);
}

bool library_uses_aes_instructions() {
    const std::string provider = Botan::BlockCipher::create_or_throw("AES-256")->provider();
    return provider == "aesni" || provider == "avx2_aes" || provider == "avx512_aes";
}

}  // namespace

bool aes_instructions_usable() {
    static const bool usable = cpu_features().aes && cpu_features().sse4_1 && library_uses_aes_instructions();
    return usable;
}

// cppcheck-suppress constParameterReference ; written through store()
ORVANECRYPTO_AES_TARGET void expand_aes256_key(const std::uint8_t* key, AesRoundKeys& keys) {
    __m128i k[15];
    k[0] = load(key);
    k[1] = load(key + 16);
    k[2] = next_even<0x01>(k[0], k[1]);
    k[3] = next_odd(k[1], k[2]);
    k[4] = next_even<0x02>(k[2], k[3]);
    k[5] = next_odd(k[3], k[4]);
    k[6] = next_even<0x04>(k[4], k[5]);
    k[7] = next_odd(k[5], k[6]);
    k[8] = next_even<0x08>(k[6], k[7]);
    k[9] = next_odd(k[7], k[8]);
    k[10] = next_even<0x10>(k[8], k[9]);
    k[11] = next_odd(k[9], k[10]);
    k[12] = next_even<0x20>(k[10], k[11]);
    k[13] = next_odd(k[11], k[12]);
    k[14] = next_even<0x40>(k[12], k[13]);
    for (int r = 0; r < 15; ++r) store(keys.encryption[r], k[r]);
    store(keys.decryption[0], k[14]);
    for (int r = 1; r < 14; ++r) store(keys.decryption[r], _mm_aesimc_si128(k[14 - r]));
    store(keys.decryption[14], k[0]);
    Botan::secure_scrub_memory(k, sizeof k);
    wipe_vector_registers();
}

namespace {

[[gnu::noinline]] ORVANECRYPTO_AES_TARGET void aes256_encrypt_block_frame(const AesRoundKeys& keys,
                                                                          const std::uint8_t* in, std::uint8_t* out) {
    store(out, encrypt(Rounds(keys.encryption), load(in)));
}

[[gnu::noinline]] ORVANECRYPTO_AES_TARGET void aes256_decrypt_block_frame(const AesRoundKeys& keys,
                                                                          const std::uint8_t* in, std::uint8_t* out) {
    store(out, decrypt(Rounds(keys.decryption), load(in)));
}

// y(i) = E(x(i) ^ y(i-1)) ^ x(i-1). The first round key and x(i-1) are
// folded into values computed off the chain, so each block adds one XOR to
// the fourteen rounds. x(i) is read before y(i) is stored, so the buffer may
// be encrypted in place.
[[gnu::noinline]] ORVANECRYPTO_AES_TARGET void ige256_encrypt_frame(const AesRoundKeys& keys, const std::uint8_t* iv,
                                                                    const std::uint8_t* in, std::uint8_t* out,
                                                                    std::size_t length) {
    const Rounds rounds(keys.encryption);
    __m128i y = load(iv), x_previous = load(iv + 16);
    for (std::size_t offset = 0; offset < length; offset += 16) {
        const __m128i x = load(in + offset);
        __m128i s = _mm_xor_si128(y, _mm_xor_si128(x, rounds.k[0]));
        for (int r = 1; r < 14; ++r) s = _mm_aesenc_si128(s, rounds.k[r]);
        y = _mm_aesenclast_si128(s, _mm_xor_si128(rounds.k[14], x_previous));
        store(out + offset, y);
        x_previous = x;
    }
}

// x(i) = D(y(i) ^ x(i-1)) ^ y(i-1), chained through x the same way.
[[gnu::noinline]] ORVANECRYPTO_AES_TARGET void ige256_decrypt_frame(const AesRoundKeys& keys, const std::uint8_t* iv,
                                                                    const std::uint8_t* in, std::uint8_t* out,
                                                                    std::size_t length) {
    const Rounds rounds(keys.decryption);
    __m128i y_previous = load(iv), x = load(iv + 16);
    for (std::size_t offset = 0; offset < length; offset += 16) {
        const __m128i y = load(in + offset);
        __m128i s = _mm_xor_si128(x, _mm_xor_si128(y, rounds.k[0]));
        for (int r = 1; r < 14; ++r) s = _mm_aesdec_si128(s, rounds.k[r]);
        x = _mm_aesdeclast_si128(s, _mm_xor_si128(rounds.k[14], y_previous));
        store(out + offset, x);
        y_previous = y;
    }
}

}  // namespace

void aes256_encrypt_block(const AesRoundKeys& keys, const std::uint8_t* in, std::uint8_t* out) {
    aes256_encrypt_block_frame(keys, in, out);
    wipe_returned_frames();
    wipe_vector_registers();
}

void aes256_decrypt_block(const AesRoundKeys& keys, const std::uint8_t* in, std::uint8_t* out) {
    aes256_decrypt_block_frame(keys, in, out);
    wipe_returned_frames();
    wipe_vector_registers();
}

void ige256_encrypt(const AesRoundKeys& keys, const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                    std::size_t length) {
    ige256_encrypt_frame(keys, iv, in, out, length);
    wipe_returned_frames();
    wipe_vector_registers();
}

void ige256_decrypt(const AesRoundKeys& keys, const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                    std::size_t length) {
    ige256_decrypt_frame(keys, iv, in, out, length);
    wipe_returned_frames();
    wipe_vector_registers();
}

}  // namespace orvane::x86

#endif
