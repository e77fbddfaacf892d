#include "core/errors.hpp"
#include "core/secrets.hpp"
#include "message/kdf.hpp"
#include "message/messages.hpp"
#include "modes/ige.hpp"

#include <botan/mem_ops.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace orvane {

namespace {

bool equal_bytes(ByteView a, ByteView b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace

void unpack_message(ByteView packed, ByteView session_id, ByteView auth_key, ByteView auth_key_id, Output& output) {
    if (packed.size() < packed_header_size) fail("packed data too short");
    if (!equal_bytes(auth_key_id, packed.first(auth_key_id_size))) fail("auth_key_id mismatch");
    const ByteView msg_key = packed.subspan(auth_key_id_size, msg_key_size);
    const KeyIv derived = derive_key_iv(auth_key, msg_key, /*outgoing=*/false);
    const Aes256 cipher(derived.aes_key);

    const ByteView encrypted = packed.subspan(packed_header_size);
    if (encrypted.size() < plaintext_header_size) fail("decrypted data too short");

    // The first plaintext block (salt and session_id) is decrypted aside and
    // everything after it straight into the result, so the payload is written
    // once and never moved. The chain continues from the first block's
    // ciphertext and plaintext.
    const MutableBytes payload = output.allocate(encrypted.size() - plaintext_header_size);
    std::array<std::uint8_t, plaintext_header_size> header;
    ige256_decrypt_blocks(cipher, derived.aes_iv, encrypted.data(), header.data(), header.size());
    std::array<std::uint8_t, ige_iv_size> chained_iv;
    std::copy_n(encrypted.begin(), aes_block_size, chained_iv.begin());
    std::copy(header.begin(), header.end(), chained_iv.begin() + aes_block_size);
    const ByteView rest = encrypted.subspan(plaintext_header_size);
    ige256_decrypt_blocks(cipher, chained_iv, rest.data(), payload.data(), rest.size());
    const std::size_t whole = rest.size() - rest.size() % aes_block_size;
    std::copy(rest.begin() + static_cast<std::ptrdiff_t>(whole), rest.end(),
              payload.begin() + static_cast<std::ptrdiff_t>(whole));  // an undecrypted tail stays as sent

    // The message key authenticates the whole plaintext, and it is checked
    // before any decrypted field is looked at: a forged or altered message is
    // refused with the same error after the same work, whatever its blocks
    // decrypt to, so the refusal tells nothing about the plaintext. Only
    // whether the keys match is public, never where they differ.
    const MsgKey expected = compute_msg_key(auth_key, {header, payload}, /*outgoing=*/false);
    bool msg_key_matches = Botan::constant_time_compare(expected.data(), msg_key.data(), msg_key_size);
    declassify(&msg_key_matches, sizeof msg_key_matches);
    if (!msg_key_matches) fail("msg_key mismatch");

    // An authenticated message for another session has an error of its own,
    // so the decrypted session_id may decide it.
    const ByteView decrypted_session_id = ByteView(header).subspan(8, session_id_size);
    declassify(decrypted_session_id.data(), decrypted_session_id.size());
    if (!equal_bytes(session_id, decrypted_session_id)) fail("session_id mismatch");
}

}  // namespace orvane
