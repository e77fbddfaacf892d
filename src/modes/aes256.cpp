#include "modes/aes256.hpp"

#include "core/secrets.hpp"

#include <botan/block_cipher.h>

#include <utility>

namespace orvane {

namespace {

thread_local std::unique_ptr<Botan::BlockCipher> spare_cipher;

}  // namespace

Aes256::Aes256(std::span<const std::uint8_t, aes256_key_size> key) : cipher_(std::exchange(spare_cipher, nullptr)) {
    control_branch_on_secret(key);
    if (!cipher_) cipher_ = Botan::BlockCipher::create_or_throw("AES-256");
    cipher_->set_key(key.data(), key.size());
}

Aes256::~Aes256() {
    cipher_->clear();  // zeroes and frees the round keys
    if (!spare_cipher) spare_cipher = std::move(cipher_);
}

void Aes256::encrypt_block(const std::uint8_t* in, std::uint8_t* out) const { cipher_->encrypt_n(in, out, 1); }

void Aes256::decrypt_block(const std::uint8_t* in, std::uint8_t* out) const { cipher_->decrypt_n(in, out, 1); }

void Aes256::encrypt_blocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) const {
    cipher_->encrypt_n(in, out, blocks);
}

}  // namespace orvane
