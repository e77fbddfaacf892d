// SHA-256 (FIPS 180-4) over pieces fed in order, with no joined copy.
// Like Aes256, it borrows a per-thread spare library object, since creating
// one costs more than hashing a 52-byte input.
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

private:
    std::unique_ptr<Botan::HashFunction> hash_;
};

inline Sha256Digest sha256(std::initializer_list<std::span<const std::uint8_t>> pieces) {
    Sha256 hash;
    for (const auto piece : pieces) hash.update(piece);
    return hash.digest();
}

}  // namespace orvane
