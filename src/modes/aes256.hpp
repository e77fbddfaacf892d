// AES-256 (FIPS 197) from the crypto library, prepared from one key for the
// length of one operation.
//
// Creating a library cipher object costs several times the key expansion, so
// each thread keeps one spare object. Aes256 borrows it (or makes a new one if
// it is in use), expands the key into it, and on destruction clears it, which
// overwrites the encryption and decryption round keys with zeros before it is
// handed back. No round key outlives the Aes256 that expanded it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace Botan {
class BlockCipher;
}

namespace orvane {

inline constexpr std::size_t aes_block_size = 16;
inline constexpr std::size_t aes256_key_size = 32;

class Aes256 {
public:
    explicit Aes256(std::span<const std::uint8_t, aes256_key_size> key);
    ~Aes256();
    Aes256(const Aes256&) = delete;
    Aes256& operator=(const Aes256&) = delete;

    // `in` and `out` may be the same block.
    void encrypt_block(const std::uint8_t* in, std::uint8_t* out) const;
    void decrypt_block(const std::uint8_t* in, std::uint8_t* out) const;
    // Many independent blocks in one library call, for its multi-block paths.
    void encrypt_blocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) const;

private:
    std::unique_ptr<Botan::BlockCipher> cipher_;
};

}  // namespace orvane
