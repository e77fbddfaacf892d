// AES-256 (FIPS 197), prepared from one key for the length of one operation.
//
// For a chain (IGE, one block after another) on a processor with AES
// instructions, the schedule is expanded into this module's own storage and
// the chain runs with the round keys in registers (aes256_x86.hpp). Otherwise
// the crypto library's cipher holds it: for many independent blocks per call
// (CTR) its multi-block code is the faster one, and without AES instructions
// it is the portable one.
//
// Both kinds of storage are expensive to make afresh on every call (the
// library allocates its round keys from its locked pool when it takes a key,
// and frees them when it clears), so each thread keeps one spare of each.
// Aes256 borrows the spare (or makes a new one if it is in use), expands the
// key into it, and on destruction overwrites the encryption and decryption
// round keys with zeros before handing it back. No round key outlives the
// Aes256 that expanded it.
#pragma once

#include "primitives/aes256_x86.hpp"

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
    // What the caller does with the cipher: one block at a time, each
    // needing the previous one, or many independent blocks per call.
    enum class Use { chain, many_blocks };

    explicit Aes256(std::span<const std::uint8_t, aes256_key_size> key, Use use = Use::chain);
    ~Aes256();
    Aes256(const Aes256&) = delete;
    Aes256& operator=(const Aes256&) = delete;

    // `in` and `out` may be the same block. Through the library's cipher the
    // round keys stay in vector registers and its frames: a chain of blocks
    // calls wipe_returned_frames() and wipe_vector_registers() once it is done.
    void encrypt_block(const std::uint8_t* in, std::uint8_t* out) const;
    void decrypt_block(const std::uint8_t* in, std::uint8_t* out) const;
    // Many independent blocks in one call, through the library's multi-block
    // code (with VAES, eight blocks per instruction pair); for Use::many_blocks
    // only, which always holds the library's cipher. That code leaves round
    // keys in registers and spills them to its frame: the caller wipes both
    // once its last batch is done.
    void encrypt_blocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) const;

    // The round keys in this module's storage, for the x86 chain loops; null
    // when the library's cipher holds the schedule.
    const AesRoundKeys* round_keys() const { return round_keys_.get(); }

private:
    std::unique_ptr<AesRoundKeys> round_keys_;
    std::unique_ptr<Botan::BlockCipher> cipher_;
};

}  // namespace orvane
