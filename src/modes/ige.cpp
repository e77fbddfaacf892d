#include "modes/ige.hpp"

#include "core/errors.hpp"
#include "core/dead_stack.hpp"
#include "modes/block.hpp"
#include "primitives/vector_registers.hpp"

#include <algorithm>

namespace orvane {

namespace {

// Both directions are one chain: out(i) = F(in(i) ^ out(i-1)) ^ in(i-1).
// Encryption starts from out(0) = y(0), in(0) = x(0); decryption from
// out(0) = x(0), in(0) = y(0).
template <bool encrypt>
void ige_blocks(const Aes256& cipher, IgeIv iv, const std::uint8_t* in, std::uint8_t* out, std::size_t length) {
#if ORVANECRYPTO_X86
    if (const AesRoundKeys* keys = cipher.round_keys()) {
        const std::size_t whole_length = length - length % aes_block_size;
        if constexpr (encrypt)
            x86::ige256_encrypt(*keys, iv.data(), in, out, whole_length);
        else
            x86::ige256_decrypt(*keys, iv.data(), in, out, whole_length);
        return;
    }
#endif
    Block previous_output = Block::load(iv.data() + (encrypt ? 0 : aes_block_size));
    Block previous_input = Block::load(iv.data() + (encrypt ? aes_block_size : 0));
    const std::size_t whole = length - length % aes_block_size;
    for (std::size_t offset = 0; offset < whole; offset += aes_block_size) {
        const Block input = Block::load(in + offset);
        std::uint8_t scratch[aes_block_size];
        (input ^ previous_output).store(scratch);
        if constexpr (encrypt)
            cipher.encrypt_block(scratch, scratch);
        else
            cipher.decrypt_block(scratch, scratch);
        previous_output = Block::load(scratch) ^ previous_input;
        previous_output.store(out + offset);
        previous_input = input;
    }
    // The library's round keys, in its frames and registers, once the chain is done.
    wipe_returned_frames();
    wipe_vector_registers();
}

}  // namespace

void ige256_encrypt_blocks(const Aes256& cipher, IgeIv iv, const std::uint8_t* in, std::uint8_t* out,
                           std::size_t length) {
    ige_blocks<true>(cipher, iv, in, out, length);
}

void ige256_decrypt_blocks(const Aes256& cipher, IgeIv iv, const std::uint8_t* in, std::uint8_t* out,
                           std::size_t length) {
    ige_blocks<false>(cipher, iv, in, out, length);
}

namespace {

using BlockLoop = void (*)(const Aes256&, IgeIv, const std::uint8_t*, std::uint8_t*, std::size_t);

void run_ige(BlockLoop loop, ByteView data, ByteView key, ByteView iv, Output& output) {
    if (key.size() != aes256_key_size) fail("Key must be 32 bytes");
    if (iv.size() != ige_iv_size) fail("IV must be 32 bytes");
    const Aes256 cipher(key.first<aes256_key_size>());
    const MutableBytes out = output.allocate(data.size());
    loop(cipher, iv.first<ige_iv_size>(), data.data(), out.data(), data.size());
    const std::size_t whole = data.size() - data.size() % aes_block_size;
    std::copy(data.begin() + static_cast<std::ptrdiff_t>(whole), data.end(), out.begin() + static_cast<std::ptrdiff_t>(whole));
}

}  // namespace

void ige256_encrypt(ByteView data, ByteView key, ByteView iv, Output& output) {
    run_ige(ige256_encrypt_blocks, data, key, iv, output);
}

void ige256_decrypt(ByteView data, ByteView key, ByteView iv, Output& output) {
    run_ige(ige256_decrypt_blocks, data, key, iv, output);
}

}  // namespace orvane
