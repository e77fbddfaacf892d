#include "modes/ctr.hpp"

#include "modes/aes256.hpp"
#include "surface/frame.hpp"

#include <botan/mem_ops.h>

#include <algorithm>
#include <array>

namespace orvane {

namespace {

// The counter block as one unsigned 128-bit big-endian integer; the carry out
// of the top is dropped, so all-ones is followed by all-zeros.
struct Counter128 {
    std::uint64_t high;
    std::uint64_t low;

    static std::uint64_t load_be64(const std::uint8_t* bytes) {
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) value = value << 8 | bytes[i];
        return value;
    }
    static void store_be64(std::uint64_t value, std::uint8_t* bytes) {
        for (int i = 7; i >= 0; --i, value >>= 8) bytes[i] = static_cast<std::uint8_t>(value);
    }
    static Counter128 load(const std::uint8_t* bytes) { return {load_be64(bytes), load_be64(bytes + 8)}; }
    void store(std::uint8_t* bytes) const {
        store_be64(high, bytes);
        store_be64(low, bytes + 8);
    }
    void increment() {
        if (++low == 0) ++high;
    }
};

void xor_into(std::uint8_t* out, const std::uint8_t* in, const std::uint8_t* keystream, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<std::uint8_t>(in[i] ^ keystream[i]);
}

// Keystream blocks made per library call: enough for its multi-block AES
// paths to run at full width, small enough to stay in the L1 cache.
constexpr std::size_t batch_blocks = 128;

}  // namespace

PyRef ctr256_crypt(ByteView data, ByteView key, PyObject* iv, PyObject* state) {
    if (key.size() != aes256_key_size) fail("Key must be 32 bytes");
    if (PyByteArray_GET_SIZE(iv) != static_cast<Py_ssize_t>(ctr_iv_size)) fail("IV must be 16 bytes");
    Counter128 counter = Counter128::load(reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(iv)));
    check_index(static_cast<std::size_t>(PyByteArray_GET_SIZE(state)), 0);
    std::size_t used = static_cast<std::uint8_t>(PyByteArray_AS_STRING(state)[0]);
    if (used >= aes_block_size) used = 0;

    const Aes256 cipher(key.first<aes256_key_size>());
    ResultBytes result(data.size());
    const std::uint8_t* in = data.data();
    std::uint8_t* out = result.bytes().data();
    std::size_t remaining = data.size();
    std::array<std::uint8_t, batch_blocks * aes_block_size> keystream;
    std::size_t keystream_touched = 0;

    auto keystream_block = [&] {
        counter.store(keystream.data());
        cipher.encrypt_block(keystream.data(), keystream.data());
        keystream_touched = std::max(keystream_touched, aes_block_size);
    };

    if (remaining > 0 && used != 0) {  // head of a block that an earlier call started
        keystream_block();
        const std::size_t take = std::min(remaining, aes_block_size - used);
        xor_into(out, in, keystream.data() + used, take);
        in += take, out += take, remaining -= take;
        used += take;
        if (used == aes_block_size) {
            counter.increment();
            used = 0;
        }
    }
    while (remaining >= aes_block_size) {  // whole blocks, many per library call
        const std::size_t blocks = std::min(remaining / aes_block_size, batch_blocks);
        for (std::size_t b = 0; b < blocks; ++b) {
            counter.store(keystream.data() + b * aes_block_size);
            counter.increment();
        }
        const std::size_t bytes = blocks * aes_block_size;
        cipher.encrypt_blocks(keystream.data(), keystream.data(), blocks);
        keystream_touched = std::max(keystream_touched, bytes);
        xor_into(out, in, keystream.data(), bytes);
        in += bytes, out += bytes, remaining -= bytes;
    }
    if (remaining > 0) {  // tail: the block is not used up, so the counter stays
        keystream_block();
        xor_into(out, in, keystream.data(), remaining);
        used = remaining;
    }
    Botan::secure_scrub_memory(keystream.data(), keystream_touched);

    counter.store(reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(iv)));
    PyByteArray_AS_STRING(state)[0] = static_cast<char>(used);
    return result.take();
}

}  // namespace orvane
