#include "primitives/sha256.hpp"

#include "core/dead_stack.hpp"
#include "primitives/library_cpu_x86.hpp"
#include "primitives/sha256_x86.hpp"
#include "primitives/vector_registers.hpp"

#include <botan/hash.h>
#include <botan/mem_ops.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <utility>

namespace orvane {

namespace {

thread_local std::unique_ptr<Botan::HashFunction> spare_hash;

constexpr std::array<std::uint32_t, 8> initial_state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

using Pieces = std::initializer_list<std::span<const std::uint8_t>>;

#if ORVANECRYPTO_X86
bool compression_usable() {
    static const bool usable = x86::sha_instructions_usable();
    return usable;
}

void compress(Sha256::Compression& work, const std::uint8_t* blocks, std::size_t count) {
    x86::sha256_compress(work.state.data(), blocks, count);
    wipe_vector_registers();
}

void compress_pair(Sha256::Compression& a, Sha256::Compression& b) {
    x86::sha256_compress_pair(a.state.data(), a.buffer.data(), b.state.data(), b.buffer.data());
    wipe_vector_registers();
}
#else
constexpr bool compression_usable() { return false; }
void compress(Sha256::Compression&, const std::uint8_t*, std::size_t) {}
void compress_pair(Sha256::Compression&, Sha256::Compression&) {}
#endif

constexpr std::size_t block_size = 64;
constexpr std::size_t one_block_limit = block_size - 9;  // room for 0x80 and the 64-bit length

// The end of the padding of a message of `length` bytes: zeros from `from`,
// then the length in bits as a big-endian 64-bit number ending the block.
void end_padding(std::array<std::uint8_t, block_size>& block, std::size_t from, std::uint64_t length) {
    std::fill(block.begin() + static_cast<std::ptrdiff_t>(from), block.end() - 8, std::uint8_t{0});
    const std::uint64_t bits = length * 8;
    for (std::size_t i = 0; i < 8; ++i) block[block.size() - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

Sha256Digest digest_of(const Sha256::Compression& work) {
    Sha256Digest digest;
    for (std::size_t i = 0; i < 8; ++i)
        for (std::size_t j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<std::uint8_t>(work.state[i] >> (24 - 8 * j));
    return digest;
}

// Pads the `buffered` last bytes of the message and runs the final block (or
// two), then gives the digest.
Sha256Digest finish(Sha256::Compression& work, std::size_t buffered, std::uint64_t length) {
    work.buffer[buffered++] = 0x80;
    if (buffered > block_size - 8) {  // no room left for the length
        std::fill(work.buffer.begin() + static_cast<std::ptrdiff_t>(buffered), work.buffer.end(), std::uint8_t{0});
        compress(work, work.buffer.data(), 1);
        buffered = 0;
    }
    end_padding(work.buffer, buffered, length);
    compress(work, work.buffer.data(), 1);
    return digest_of(work);
}

std::size_t length_of(Pieces pieces) {
    return std::accumulate(pieces.begin(), pieces.end(), std::size_t{0},
                           [](std::size_t length, std::span<const std::uint8_t> piece) { return length + piece.size(); });
}

// Lays out a message of at most one_block_limit bytes, padded, in the buffer.
void lay_out_one_block(Sha256::Compression& work, Pieces pieces, std::size_t length) {
    work.state = initial_state;
    std::size_t at = 0;
    for (const auto piece : pieces) {
        if (!piece.empty()) std::memcpy(work.buffer.data() + at, piece.data(), piece.size());
        at += piece.size();
    }
    work.buffer[at] = 0x80;
    end_padding(work.buffer, at + 1, length);
}

Sha256Digest sha256_through_object(Pieces pieces) {
    Sha256 hash;
    for (const auto piece : pieces) hash.update(piece);
    return hash.digest();
}

// The working state holds message bytes (pieces of auth_key among them) and
// words computed from them.
void wipe(Sha256::Compression& work) { Botan::secure_scrub_memory(&work, sizeof work); }

}  // namespace

std::array<Sha256Digest, 2> sha256_pair(Pieces first, Pieces second) {
    require_library_code_runs_here();
    const std::size_t first_length = length_of(first), second_length = length_of(second);
    if (!compression_usable() || first_length > one_block_limit || second_length > one_block_limit)
        return {sha256_through_object(first), sha256_through_object(second)};
    Sha256::Compression a, b;
    lay_out_one_block(a, first, first_length);
    lay_out_one_block(b, second, second_length);
    compress_pair(a, b);
    const std::array<Sha256Digest, 2> digests = {digest_of(a), digest_of(b)};
    wipe(a);
    wipe(b);
    return digests;
}

Sha256::Sha256() : compressing_((require_library_code_runs_here(), compression_usable())) {
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
        // The library's compression leaves the message words of its last
        // block (auth_key's among them) in its frame.
        hash_->update(piece.data(), piece.size());
        wipe_returned_frames();
        wipe_vector_registers();
        return *this;
    }
    if (piece.empty()) return *this;  // an empty span may have no storage to copy from
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
        wipe_returned_frames();
        wipe_vector_registers();
        return digest;
    }
    return finish(work_, buffered_, length_);
}

}  // namespace orvane
