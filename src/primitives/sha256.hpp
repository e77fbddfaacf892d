// SHA-256 (FIPS 180-4) over pieces fed in order, with no joined copy.
//
// On a processor with the SHA instructions the message schedule and padding
// are done here around the instructions' compression function
// (sha256_x86.hpp): an object is then a few words on the stack, and a one-block
// hash of the key derivation costs one compression and no library call.
// Otherwise, like Aes256, it borrows a per-thread spare library object, since
// creating one costs more than hashing a 52-byte input.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>

namespace Botan {
class HashFunction;
}

namespace orvane {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    Sha256& update(std::span<const std::uint8_t> piece);
    Sha256Digest digest();

    // The compression path's working state: the eight words and a partial
    // block. Both are functions of the message and are wiped after use.
    struct Compression {
        std::array<std::uint32_t, 8> state;
        std::array<std::uint8_t, 64> buffer;
    };

private:
    bool compressing_;
    Compression work_;
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;
    // The library's hash otherwise.
    std::unique_ptr<Botan::HashFunction> hash_;
};

// The hashes of two messages. Messages that fit one block with their padding
// (as the key derivation's two 52-byte inputs do) are laid out in their
// blocks directly and compressed together, their rounds interleaved.
std::array<Sha256Digest, 2> sha256_pair(std::initializer_list<std::span<const std::uint8_t>> first,
                                        std::initializer_list<std::span<const std::uint8_t>> second);

}  // namespace orvane
