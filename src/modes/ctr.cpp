#include "modes/ctr.hpp"

#include "core/checked.hpp"
#include "core/dead_stack.hpp"
#include "primitives/cpu_x86.hpp"
#include "core/errors.hpp"
#include "primitives/aes256.hpp"
#include "primitives/vector_registers.hpp"

#include <botan/mem_ops.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace orvane {

namespace {

std::uint64_t big_endian(std::uint64_t value) {
    if constexpr (std::endian::native == std::endian::big) return value;
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_bswap64(value);
#else
    std::uint64_t swapped = 0;
    for (int i = 0; i < 8; ++i, value >>= 8) swapped = swapped << 8 | (value & 0xFF);
    return swapped;
#endif
}

// The counter block as one unsigned 128-bit big-endian integer; the carry out
// of the top is dropped, so all-ones is followed by all-zeros.
struct Counter128 {
    std::uint64_t high;
    std::uint64_t low;

    static Counter128 load(const std::uint8_t* bytes) {
        std::uint64_t high_be = 0, low_be = 0;
        std::memcpy(&high_be, bytes, 8);
        std::memcpy(&low_be, bytes + 8, 8);
        return {big_endian(high_be), big_endian(low_be)};
    }
    void store(std::uint8_t* bytes) const {
        const std::uint64_t high_be = big_endian(high), low_be = big_endian(low);
        std::memcpy(bytes, &high_be, 8);
        std::memcpy(bytes + 8, &low_be, 8);
    }
    void increment() {
        // The low half does wrap to 0 after all-ones (fill() steps through
        // that case one block at a time); cppcheck's value flow misses the wrap.
        // cppcheck-suppress knownConditionTrueFalse
        if (++low == 0) ++high;
    }

    // Writes `blocks` consecutive counter blocks and steps past them.
    void fill(std::uint8_t* out, std::size_t blocks) {
        if (low > UINT64_MAX - blocks) {  // the low half wraps inside this batch
            for (std::size_t b = 0; b < blocks; ++b, increment()) store(out + b * aes_block_size);
            return;
        }
        for (std::size_t b = 0; b < blocks; ++b) Counter128{high, low + b}.store(out + b * aes_block_size);
        low += blocks;
    }
};

// The XOR of whole batches runs with 32-byte vectors where the processor has
// them: the one loop below, plain C++, is vectorised once for AVX2 (inlined
// into a function compiled for it) and once for the baseline, and the
// processor's features pick one. The choice is made in the code, not by an
// indirect function, which only glibc's loader resolves; so it holds with
// musl and with GCC and clang alike.
#if ORVANECRYPTO_X86
#define ORVANE_XOR_AVX2
#endif

#if defined(ORVANE_XOR_AVX2)
__attribute__((always_inline))
#endif
inline void xor_loop(std::uint8_t* out, const std::uint8_t* in, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) out[i] ^= in[i];
}

#if defined(ORVANE_XOR_AVX2)
__attribute__((target("avx2"))) void xor_into_avx2(std::uint8_t* out, const std::uint8_t* in, std::size_t length) {
    xor_loop(out, in, length);
}
#endif

void xor_into(std::uint8_t* out, const std::uint8_t* in, std::size_t length) {
#if defined(ORVANE_XOR_AVX2)
    if (x86::cpu_features().avx2) {
        xor_into_avx2(out, in, length);
        return;
    }
#endif
    xor_loop(out, in, length);
}

// Keystream blocks made per library call: enough for its multi-block AES
// paths to run at full width, small enough to stay in the L1 cache.
constexpr std::size_t batch_blocks = 256;

}  // namespace

void ctr256_crypt(ByteView data, ByteView key, MutableBytes iv, MutableBytes state, Output& output) {
    if (key.size() != aes256_key_size) fail("Key must be 32 bytes");
    if (iv.size() != ctr_iv_size) fail("IV must be 16 bytes");
    Counter128 counter = Counter128::load(iv.data());
    check_index(state.size(), 0);
    std::size_t used = state[0];
    if (used >= aes_block_size) used = 0;

    const Aes256 cipher(key.first<aes256_key_size>(), Aes256::Use::many_blocks);
    const std::uint8_t* in = data.data();
    std::uint8_t* out = output.allocate(data.size()).data();
    std::size_t remaining = data.size();
    std::array<std::uint8_t, aes_block_size> keystream;  // of a block used only in part

    auto start_partial_block = [&] {
        counter.store(keystream.data());
        cipher.encrypt_block(keystream.data(), keystream.data());
    };
    auto apply = [&](const std::uint8_t* key_bytes, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<std::uint8_t>(in[i] ^ key_bytes[i]);
        in += length, out += length, remaining -= length;
    };

    if (remaining > 0 && used != 0) {  // head of a block that an earlier call started
        start_partial_block();
        const std::size_t take = std::min(remaining, aes_block_size - used);
        apply(keystream.data() + used, take);
        used += take;
        if (used == aes_block_size) {
            counter.increment();
            used = 0;
        }
    }
    // Whole blocks: the counter blocks are written into the output itself and
    // encrypted there, many per library call, then the data is XORed in.
    while (remaining >= aes_block_size) {
        const std::size_t blocks = std::min(remaining / aes_block_size, batch_blocks);
        const std::size_t bytes = blocks * aes_block_size;
        counter.fill(out, blocks);
        cipher.encrypt_blocks(out, out, blocks);
        xor_into(out, in, bytes);
        in += bytes, out += bytes, remaining -= bytes;
    }
    if (remaining > 0) {  // tail: the block is not used up, so the counter stays
        start_partial_block();
        used = remaining;
        apply(keystream.data(), remaining);
    }
    // The round keys that the library's AES left in its frames and in registers.
    wipe_returned_frames();
    wipe_vector_registers();
    Botan::secure_scrub_memory(keystream.data(), keystream.size());

    counter.store(iv.data());
    state[0] = static_cast<std::uint8_t>(used);
}

}  // namespace orvane
