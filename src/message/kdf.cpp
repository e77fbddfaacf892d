#include "message/kdf.hpp"

#include "core/checked.hpp"
#include "core/secrets.hpp"
#include "primitives/sha256.hpp"

#include <algorithm>

namespace orvane {

namespace {

// Copies `width` bytes of `digest` from `from` to `to` of `target`.
void take(std::array<std::uint8_t, 32>& target, std::size_t to, const Sha256Digest& digest, std::size_t from,
          std::size_t width) {
    std::copy_n(digest.begin() + static_cast<std::ptrdiff_t>(from), width,
                target.begin() + static_cast<std::ptrdiff_t>(to));
}

}  // namespace

KeyIv derive_key_iv(ByteView auth_key, ByteView msg_key, bool outgoing) {
    control_branch_on_secret(auth_key);
    const std::size_t x = direction_offset(outgoing);
    const ByteView first_range = checked_range(auth_key, x, x + 36);
    const ByteView second_range = checked_range(auth_key, x + 40, x + 76);
    const auto [sha256_a, sha256_b] = sha256_pair({msg_key, first_range}, {second_range, msg_key});
    KeyIv result;
    take(result.aes_key, 0, sha256_a, 0, 8);
    take(result.aes_key, 8, sha256_b, 8, 16);
    take(result.aes_key, 24, sha256_a, 24, 8);
    take(result.aes_iv, 0, sha256_b, 0, 8);
    take(result.aes_iv, 8, sha256_a, 8, 16);
    take(result.aes_iv, 24, sha256_b, 24, 8);
    return result;
}

MsgKey compute_msg_key(ByteView auth_key, std::initializer_list<ByteView> plaintext, bool outgoing) {
    const std::size_t x = direction_offset(outgoing);
    Sha256 hash;
    hash.update(checked_range(auth_key, 88 + x, 120 + x));
    for (const ByteView piece : plaintext) hash.update(piece);
    const Sha256Digest msg_key_large = hash.digest();
    MsgKey msg_key;
    std::copy_n(msg_key_large.begin() + 8, msg_key_size, msg_key.begin());
    return msg_key;
}

}  // namespace orvane
