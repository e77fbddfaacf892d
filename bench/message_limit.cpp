// The limit for small MTProto 2.0 messages on this processor: the same work
// as pack_message and unpack_message with no interpreter in between. SHA-256
// is libcrypto's (SHA-NI where the processor has it), AES-256 is AES-NI with
// the round keys held in registers, the padding comes from getrandom, and the
// round keys and the derived key and IV are wiped after every message. Like
// the module, every call writes into a freshly allocated output buffer.
//
//   message_limit --check   reads two lines of hex from stdin: a message the
//                           module packed (outgoing) and one made for it to
//                           open (incoming), both over the fixed keys below;
//                           prints as JSON its own packing of the fixed input
//                           with zero padding and the plaintexts it opened
//   message_limit --serve   reads lines "MODE SIZE CALLS" (MODE is pack,
//                           unpack or hashes, the two one-block hashes of the
//                           key derivation) and answers each with the
//                           nanoseconds that CALLS calls took and the minor
//                           page faults they caused
#include <immintrin.h>
#include <openssl/sha.h>
#include <sys/random.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

using u8 = std::uint8_t;

// ---------------------------------------------------------------------------
// SHA-256 over pieces, through libcrypto's low-level interface.

struct Piece {
    const u8* data;
    std::size_t size;
};

void sha256(std::initializer_list<Piece> pieces, u8 digest[32]) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    SHA256_CTX context;
    SHA256_Init(&context);
    for (const Piece& piece : pieces) SHA256_Update(&context, piece.data, piece.size);
    SHA256_Final(digest, &context);
#pragma GCC diagnostic pop
    explicit_bzero(&context, sizeof context);
}

// ---------------------------------------------------------------------------
// AES-256 with AES-NI, the round keys in registers.

struct RoundKeys {
    __m128i k[15];
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

void expand_encryption_key(const u8* key, RoundKeys& keys) {
    __m128i* k = keys.k;
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
}

// The equivalent inverse cipher's schedule, for aesdec.
void expand_decryption_key(const u8* key, RoundKeys& keys) {
    RoundKeys encryption;
    expand_encryption_key(key, encryption);
    keys.k[0] = encryption.k[14];
    for (int i = 1; i < 14; ++i) keys.k[i] = _mm_aesimc_si128(encryption.k[14 - i]);
    keys.k[14] = encryption.k[0];
    explicit_bzero(&encryption, sizeof encryption);
}

__m128i load(const u8* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
void store(u8* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// y(i) = E(x(i) ^ y(i-1)) ^ x(i-1), in place.
void ige_encrypt(const RoundKeys& keys, const u8* iv, u8* data, std::size_t length) {
    const __m128i k0 = keys.k[0], k1 = keys.k[1], k2 = keys.k[2], k3 = keys.k[3], k4 = keys.k[4], k5 = keys.k[5],
                  k6 = keys.k[6], k7 = keys.k[7], k8 = keys.k[8], k9 = keys.k[9], k10 = keys.k[10],
                  k11 = keys.k[11], k12 = keys.k[12], k13 = keys.k[13], k14 = keys.k[14];
    __m128i y = load(iv), x_previous = load(iv + 16);
    for (std::size_t offset = 0; offset < length; offset += 16) {
        const __m128i x = load(data + offset);
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
        store(data + offset, y);
        x_previous = x;
    }
}

// x(i) = D(y(i) ^ x(i-1)) ^ y(i-1), from `in` to `out`.
void ige_decrypt(const RoundKeys& keys, const u8* iv, const u8* in, u8* out, std::size_t length) {
    const __m128i k0 = keys.k[0], k1 = keys.k[1], k2 = keys.k[2], k3 = keys.k[3], k4 = keys.k[4], k5 = keys.k[5],
                  k6 = keys.k[6], k7 = keys.k[7], k8 = keys.k[8], k9 = keys.k[9], k10 = keys.k[10],
                  k11 = keys.k[11], k12 = keys.k[12], k13 = keys.k[13], k14 = keys.k[14];
    __m128i y_previous = load(iv), x = load(iv + 16);
    for (std::size_t offset = 0; offset < length; offset += 16) {
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

// ---------------------------------------------------------------------------
// The protocol. x is 0 for a client's message, 8 for a server's.

struct KeyIv {
    u8 key[32];
    u8 iv[32];
};

void derive_key_iv(const u8* auth_key, const u8* msg_key, std::size_t x, KeyIv& out) {
    u8 a[32], b[32];
    sha256({{msg_key, 16}, {auth_key + x, 36}}, a);
    sha256({{auth_key + x + 40, 36}, {msg_key, 16}}, b);
    std::memcpy(out.key, a, 8);
    std::memcpy(out.key + 8, b + 8, 16);
    std::memcpy(out.key + 24, a + 24, 8);
    std::memcpy(out.iv, b, 8);
    std::memcpy(out.iv + 8, a + 8, 16);
    std::memcpy(out.iv + 24, b + 24, 8);
    explicit_bzero(a, sizeof a);
    explicit_bzero(b, sizeof b);
}

void fill_random(u8* p, std::size_t n) {
    for (std::size_t done = 0; done < n;) {
        const ssize_t got = getrandom(p + done, n - done, 0);
        if (got <= 0) std::abort();
        done += static_cast<std::size_t>(got);
    }
}

std::size_t packed_size(std::size_t data_size) { return 24 + ((data_size + 16 + 27) & ~std::size_t{15}); }

struct Keys {
    u8 auth_key[256];
    u8 auth_key_id[8];
    u8 session_id[8];
    std::int64_t salt;
};

// Writes the packed message to `out` (packed_size bytes); with `zero_padding`
// the padding is zeros instead of random bytes, for the check.
void pack(const Keys& keys, const u8* data, std::size_t size, u8* out, bool zero_padding = false) {
    u8* plaintext = out + 24;
    const std::size_t length = packed_size(size) - 24;
    auto salt = static_cast<std::uint64_t>(keys.salt);
    for (int i = 0; i < 8; ++i, salt >>= 8) plaintext[i] = static_cast<u8>(salt);
    std::memcpy(plaintext + 8, keys.session_id, 8);
    std::memcpy(plaintext + 16, data, size);
    if (zero_padding)
        std::memset(plaintext + 16 + size, 0, length - 16 - size);
    else
        fill_random(plaintext + 16 + size, length - 16 - size);
    u8 large[32];
    sha256({{keys.auth_key + 88, 32}, {plaintext, length}}, large);
    u8* msg_key = out + 8;
    std::memcpy(msg_key, large + 8, 16);
    KeyIv derived;
    derive_key_iv(keys.auth_key, msg_key, 0, derived);
    RoundKeys round_keys;
    expand_encryption_key(derived.key, round_keys);
    ige_encrypt(round_keys, derived.iv, plaintext, length);
    explicit_bzero(&round_keys, sizeof round_keys);
    explicit_bzero(&derived, sizeof derived);
    std::memcpy(out, keys.auth_key_id, 8);
}

// Opens `packed` into `out` (the plaintext less its first 16 bytes); false if
// any check fails. x is the direction of the message.
bool unpack(const Keys& keys, const u8* packed, std::size_t size, u8* out, std::size_t x) {
    if (size < 24 + 16 || (size - 24) % 16 != 0) return false;
    if (std::memcmp(packed, keys.auth_key_id, 8) != 0) return false;
    const u8* msg_key = packed + 8;
    KeyIv derived;
    derive_key_iv(keys.auth_key, msg_key, x, derived);
    RoundKeys round_keys;
    expand_decryption_key(derived.key, round_keys);
    u8 header[16];
    ige_decrypt(round_keys, derived.iv, packed + 24, header, 16);
    u8 chained[32];
    std::memcpy(chained, packed + 24, 16);
    std::memcpy(chained + 16, header, 16);
    ige_decrypt(round_keys, chained, packed + 40, out, size - 40);
    explicit_bzero(&round_keys, sizeof round_keys);
    explicit_bzero(&derived, sizeof derived);
    if (std::memcmp(header + 8, keys.session_id, 8) != 0) return false;
    u8 large[32];
    sha256({{keys.auth_key + 88 + x, 32}, {header, 16}, {out, size - 40}}, large);
    u8 difference = 0;
    for (int i = 0; i < 16; ++i) difference |= static_cast<u8>(large[8 + i] ^ msg_key[i]);
    return difference == 0;
}

// ---------------------------------------------------------------------------
// Timing

long minor_faults() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

template <class Call>
std::uint64_t time_calls(std::uint64_t calls, Call call) {
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    for (std::uint64_t i = 0; i < calls; ++i) call();
    return static_cast<std::uint64_t>(std::chrono::duration<double, std::nano>(clock::now() - start).count());
}

std::string hex(const u8* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += digits[p[i] >> 4], s += digits[p[i] & 15];
    return s;
}

std::vector<u8> unhex(const std::string& text) {
    std::vector<u8> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) bytes.push_back(static_cast<u8>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Fixed input: auth_key byte i = 7 i + 3, auth_key_id bytes 0xa0.., session_id
// bytes 0xb0.., salt -0x123456789abcdef, payload of 100 bytes 31 i + 7.
Keys fixed_keys() {
    Keys keys;
    for (int i = 0; i < 256; ++i) keys.auth_key[i] = static_cast<u8>(7 * i + 3);
    for (int i = 0; i < 8; ++i) keys.auth_key_id[i] = static_cast<u8>(0xa0 + i), keys.session_id[i] = static_cast<u8>(0xb0 + i);
    keys.salt = -0x123456789abcdef;
    return keys;
}

std::vector<u8> payload(std::size_t size) {
    std::vector<u8> data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<u8>(31 * i + 7);
    return data;
}

int check() {
    const Keys keys = fixed_keys();
    const std::vector<u8> data = payload(100);
    std::vector<u8> packed(packed_size(data.size()));
    pack(keys, data.data(), data.size(), packed.data(), /*zero_padding=*/true);
    std::string lines[2];
    if (!std::getline(std::cin, lines[0]) || !std::getline(std::cin, lines[1])) return 2;
    std::printf("{\"packed_zero_padding\": \"%s\"", hex(packed.data(), packed.size()).c_str());
    const char* names[2] = {"opened_outgoing", "opened_incoming"};
    for (int i = 0; i < 2; ++i) {
        const std::vector<u8> message = unhex(lines[i]);
        std::vector<u8> out(message.size() < 40 ? 0 : message.size() - 40);
        const bool opened = unpack(keys, message.data(), message.size(), out.data(), i == 0 ? 0 : 8);
        std::printf(", \"%s\": \"%s\"", names[i], opened ? hex(out.data(), out.size()).c_str() : "refused");
    }
    std::printf("}\n");
    return 0;
}

int serve() {
    const Keys keys = fixed_keys();
    char mode[32];
    std::size_t size;
    unsigned long long calls;
    while (std::scanf("%31s %zu %llu", mode, &size, &calls) == 3) {
        const std::vector<u8> data = payload(size);
        std::uint64_t ns = 0;
        const long faults = minor_faults();
        if (std::strcmp(mode, "pack") == 0) {
            ns = time_calls(calls, [&] {
                u8* out = static_cast<u8*>(std::malloc(packed_size(size)));
                if (!out) std::abort();
                pack(keys, data.data(), size, out);
                asm volatile("" : : "r"(out) : "memory");
                std::free(out);
            });
        } else if (std::strcmp(mode, "unpack") == 0) {
            // A server's message: the incoming direction's msg_key and keys.
            std::vector<u8> message(packed_size(size));
            Keys server = keys;
            std::memmove(server.auth_key, keys.auth_key + 8, 248);  // x = 8 for every offset read
            pack(server, data.data(), size, message.data());
            ns = time_calls(calls, [&] {
                u8* out = static_cast<u8*>(std::malloc(message.size() - 40));
                if (!out) std::abort();
                if (!unpack(keys, message.data(), message.size(), out, 8)) std::abort();
                asm volatile("" : : "r"(out) : "memory");
                std::free(out);
            });
        } else if (std::strcmp(mode, "hashes") == 0) {
            u8 msg_key[16] = {1, 2, 3}, a[32], b[32];
            ns = time_calls(calls, [&] {
                sha256({{msg_key, 16}, {keys.auth_key, 36}}, a);
                sha256({{keys.auth_key + 40, 36}, {msg_key, 16}}, b);
                asm volatile("" : : "r"(a), "r"(b) : "memory");
            });
        } else {
            std::fprintf(stderr, "message_limit: unknown mode %s\n", mode);
            return 2;
        }
        std::printf("%llu %ld\n", static_cast<unsigned long long>(ns), minor_faults() - faults);
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc == 2 ? argv[1] : "";
    if (command == "--check") return check();
    if (command == "--serve") return serve();
    std::fprintf(stderr, "usage: message_limit --check | --serve\n");
    return 2;
}
