#include "message/sha256.hpp"

#include "message/sha256_x86.hpp"

#include <botan/hash.h>
#include <botan/mem_ops.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace orvane {

namespace {

thread_local std::unique_ptr<Botan::HashFunction> spare_hash;

constexpr std::array<std::uint32_t, 8> initial_state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

#if ORVANECRYPTO_X86_SHA
bool compression_usable() {
    static const bool usable = x86::sha_instructions_usable();
    return usable;
}

void compress(Sha256::Compression& work, const std::uint8_t* blocks, std::size_t count) {
    x86::sha256_compress(work.state.data(), blocks, count);
}
#else
constexpr bool compression_usable() { return false; }
void compress(Sha256::Compression&, const std::uint8_t*, std::size_t) {}
#endif

// Pads the last `buffered` bytes of the message in work.buffer and runs the
// final block (or two), then writes the digest.
Sha256Digest finish(Sha256::Compression& work, std::size_t buffered, std::uint64_t length) {
    auto& block = work.buffer;
    block[buffered++] = 0x80;
    if (buffered > block.size() - 8) {
        std::fill(block.begin() + static_cast<std::ptrdiff_t>(buffered), block.end(), std::uint8_t{0});
        compress(work, block.data(), 1);
        buffered = 0;
    }
    std::fill(block.begin() + static_cast<std::ptrdiff_t>(buffered), block.end() - 8, std::uint8_t{0});
    const std::uint64_t bits = length * 8;
    for (std::size_t i = 0; i < 8; ++i) block[block.size() - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    compress(work, block.data(), 1);
    Sha256Digest digest;
    for (std::size_t i = 0; i < 8; ++i)
        for (std::size_t j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<std::uint8_t>(work.state[i] >> (24 - 8 * j));
    return digest;
}

// The working state holds message bytes (pieces of auth_key among them) and
// words computed from them.
void wipe(Sha256::Compression& work) { Botan::secure_scrub_memory(&work, sizeof work); }

}  // namespace

Sha256Digest sha256(std::initializer_list<std::span<const std::uint8_t>> pieces) {
    std::size_t length = 0;
    for (const auto piece : pieces) length += piece.size();
    if (!compression_usable() || length > 55) {
        Sha256 hash;
        for (const auto piece : pieces) hash.update(piece);
        return hash.digest();
    }
    Sha256::Compression work;
    work.state = initial_state;
    std::size_t at = 0;
    for (const auto piece : pieces) {
        if (!piece.empty()) std::memcpy(work.buffer.data() + at, piece.data(), piece.size());
        at += piece.size();
    }
    const Sha256Digest digest = finish(work, at, length);
    wipe(work);
    return digest;
}

Sha256::Sha256() : compressing_(compression_usable()) {
    if (compressing_) {
        work_.state = initial_state;
        return;
    }
    hash_ = std::exchange(spare_hash, nullptr);
    if (!hash_) hash_ = Botan::HashFunction::create_or_throw("SHA-256");
}

Sha256::~Sha256() {
    if (compressing_) {
        wipe(work_);
        return;
    }
    hash_->clear();
    if (!spare_hash) spare_hash = std::move(hash_);
}

Sha256& Sha256::update(std::span<const std::uint8_t> piece) {
    if (!compressing_) {
        hash_->update(piece.data(), piece.size());
        return *this;
    }
    auto& buffer = work_.buffer;
    length_ += piece.size();
    const std::uint8_t* next = piece.data();
    std::size_t left = piece.size();
    if (buffered_ > 0) {
        const std::size_t taken = std::min(left, buffer.size() - buffered_);
        std::memcpy(buffer.data() + buffered_, next, taken);
        buffered_ += taken, next += taken, left -= taken;
        if (buffered_ < buffer.size()) return *this;
        compress(work_, buffer.data(), 1);
        buffered_ = 0;
    }
    const std::size_t whole = left / buffer.size();
    if (whole > 0) compress(work_, next, whole);
    next += whole * buffer.size(), left -= whole * buffer.size();
    if (left > 0) std::memcpy(buffer.data(), next, left);
    buffered_ = left;
    return *this;
}

Sha256Digest Sha256::digest() {
    Sha256Digest digest;
    if (!compressing_) {
        hash_->final(digest.data());
        return digest;
    }
    return finish(work_, buffered_, length_);
}

}  // namespace orvane
