#include "primitives/aes256.hpp"

#include "core/dead_stack.hpp"
#include "core/secrets.hpp"
#include "primitives/library_cpu_x86.hpp"
#include "primitives/vector_registers.hpp"

#include <botan/block_cipher.h>
#include <botan/mem_ops.h>

#include <utility>

namespace orvane {

namespace {

thread_local std::unique_ptr<Botan::BlockCipher> spare_cipher;
thread_local std::unique_ptr<AesRoundKeys> spare_round_keys;

}  // namespace

Aes256::Aes256(std::span<const std::uint8_t, aes256_key_size> key, Use use) {
    control_branch_on_secret(key);
    require_library_code_runs_here();
#if ORVANECRYPTO_X86
    if (use == Use::chain && x86::aes_instructions_usable()) {
        round_keys_ = std::exchange(spare_round_keys, nullptr);
        if (!round_keys_) round_keys_ = std::make_unique<AesRoundKeys>();
        x86::expand_aes256_key(key.data(), *round_keys_);
        return;
    }
#else
    (void)use;
#endif
    cipher_ = std::exchange(spare_cipher, nullptr);
    if (!cipher_) cipher_ = Botan::BlockCipher::create_or_throw("AES-256");
    cipher_->set_key(key.data(), key.size());
    wipe_returned_frames();  // the key schedule's spills
    wipe_vector_registers();
}

Aes256::~Aes256() {
    if (round_keys_) {
        Botan::secure_scrub_memory(round_keys_.get(), sizeof(AesRoundKeys));
        if (!spare_round_keys) spare_round_keys = std::move(round_keys_);
        return;
    }
    cipher_->clear();  // zeroes and frees the round keys
    if (!spare_cipher) spare_cipher = std::move(cipher_);
}

void Aes256::encrypt_block(const std::uint8_t* in, std::uint8_t* out) const {
#if ORVANECRYPTO_X86
    if (round_keys_) return x86::aes256_encrypt_block(*round_keys_, in, out);
#endif
    cipher_->encrypt_n(in, out, 1);
}

void Aes256::decrypt_block(const std::uint8_t* in, std::uint8_t* out) const {
#if ORVANECRYPTO_X86
    if (round_keys_) return x86::aes256_decrypt_block(*round_keys_, in, out);
#endif
    cipher_->decrypt_n(in, out, 1);
}

void Aes256::encrypt_blocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) const {
    cipher_->encrypt_n(in, out, blocks);
}

}  // namespace orvane
