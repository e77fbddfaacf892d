#include "core/checked.hpp"
#include "message/kdf.hpp"
#include "message/messages.hpp"
#include "primitives/random_source.hpp"
#include "modes/ige.hpp"

#include <new>

namespace orvane {

namespace {

// The least multiple of 16 that holds header and data with at least 12 bytes
// of padding.
std::size_t plaintext_size(std::size_t data_size) {
    constexpr std::size_t overhead = plaintext_header_size + 27;
    if (data_size > max_buffer_size - packed_header_size - overhead) throw std::bad_alloc();
    return (data_size + overhead) & ~std::size_t{15};
}

}  // namespace

void pack_message(ByteView data, std::int64_t salt, ByteView session_id, ByteView auth_key, ByteView auth_key_id,
                  Output& output) {
    const std::size_t plaintext_length = plaintext_size(data.size());
    const MutableBytes message = output.allocate(packed_header_size + plaintext_length);
    const MutableBytes plaintext = message.subspan(packed_header_size);

    auto salt_bits = static_cast<std::uint64_t>(salt);
    for (std::size_t i = 0; i < 8; ++i, salt_bits >>= 8) plaintext[i] = static_cast<std::uint8_t>(salt_bits);
    copy_from_slice(plaintext.subspan(8, session_id_size), session_id);
    copy_from_slice(plaintext.subspan(plaintext_header_size, data.size()), data);
    fill_random(plaintext.subspan(plaintext_header_size + data.size()));

    const MsgKey msg_key = compute_msg_key(auth_key, {plaintext});
    const KeyIv derived = derive_key_iv(auth_key, msg_key, /*outgoing=*/true);
    const Aes256 cipher(derived.aes_key);
    ige256_encrypt_in_place(plaintext, cipher, derived.aes_iv);

    copy_from_slice(message.first(auth_key_id_size), auth_key_id);
    copy_from_slice(message.subspan(auth_key_id_size, msg_key_size), msg_key);
}

}  // namespace orvane
