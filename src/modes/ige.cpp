#include "modes/ige.hpp"

#include "modes/block.hpp"
#include "surface/frame.hpp"

namespace orvane {

void ige256_encrypt_blocks(const Aes256& cipher, IgeIv iv, const std::uint8_t* in, std::uint8_t* out,
                           std::size_t length) {
    Block previous_ciphertext = Block::load(iv.data());
    Block previous_plaintext = Block::load(iv.data() + aes_block_size);
    const std::size_t whole = length - length % aes_block_size;
    for (std::size_t offset = 0; offset < whole; offset += aes_block_size) {
        const Block plaintext = Block::load(in + offset);
        std::uint8_t scratch[aes_block_size];
        (plaintext ^ previous_ciphertext).store(scratch);
        cipher.encrypt_block(scratch, scratch);
        previous_ciphertext = Block::load(scratch) ^ previous_plaintext;
        previous_ciphertext.store(out + offset);
        previous_plaintext = plaintext;
    }
}

void ige256_decrypt_blocks(const Aes256& cipher, IgeIv iv, const std::uint8_t* in, std::uint8_t* out,
                           std::size_t length) {
    Block previous_ciphertext = Block::load(iv.data());
    Block previous_plaintext = Block::load(iv.data() + aes_block_size);
    const std::size_t whole = length - length % aes_block_size;
    for (std::size_t offset = 0; offset < whole; offset += aes_block_size) {
        const Block ciphertext = Block::load(in + offset);
        std::uint8_t scratch[aes_block_size];
        (ciphertext ^ previous_plaintext).store(scratch);
        cipher.decrypt_block(scratch, scratch);
        previous_plaintext = Block::load(scratch) ^ previous_ciphertext;
        previous_plaintext.store(out + offset);
        previous_ciphertext = ciphertext;
    }
}

namespace {

using BlockLoop = void (*)(const Aes256&, IgeIv, const std::uint8_t*, std::uint8_t*, std::size_t);

PyRef run_ige(BlockLoop loop, ByteView data, ByteView key, ByteView iv) {
    if (key.size() != aes256_key_size) fail("Key must be 32 bytes");
    if (iv.size() != ige_iv_size) fail("IV must be 32 bytes");
    const Aes256 cipher(key.first<aes256_key_size>());
    ResultBytes result(data.size());
    const MutableBytes out = result.bytes();
    loop(cipher, iv.first<ige_iv_size>(), data.data(), out.data(), data.size());
    const std::size_t whole = data.size() - data.size() % aes_block_size;
    std::copy(data.begin() + static_cast<std::ptrdiff_t>(whole), data.end(), out.begin() + static_cast<std::ptrdiff_t>(whole));
    return result.take();
}

}  // namespace

PyRef ige256_encrypt(ByteView data, ByteView key, ByteView iv) {
    return run_ige(ige256_encrypt_blocks, data, key, iv);
}

PyRef ige256_decrypt(ByteView data, ByteView key, ByteView iv) {
    return run_ige(ige256_decrypt_blocks, data, key, iv);
}

}  // namespace orvane
