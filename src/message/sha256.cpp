#include "message/sha256.hpp"

#include <botan/hash.h>

#include <utility>

namespace orvane {

namespace {

thread_local std::unique_ptr<Botan::HashFunction> spare_hash;

}  // namespace

Sha256::Sha256() : hash_(std::exchange(spare_hash, nullptr)) {
    if (!hash_) hash_ = Botan::HashFunction::create_or_throw("SHA-256");
}

Sha256::~Sha256() {
    hash_->clear();
    if (!spare_hash) spare_hash = std::move(hash_);
}

Sha256& Sha256::update(std::span<const std::uint8_t> piece) {
    hash_->update(piece.data(), piece.size());
    return *this;
}

Sha256Digest Sha256::digest() {
    Sha256Digest digest;
    hash_->final(digest.data());
    return digest;
}

}  // namespace orvane
