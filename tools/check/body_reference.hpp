// An independent model of the bodies for the native fuzz target: AES-256 and
// SHA-256 from OpenSSL's libcrypto, the modes and the message layout written
// out again from their definitions, with none of the module's code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace reference {

using Bytes = std::vector<std::uint8_t>;
using View = std::span<const std::uint8_t>;

Bytes sha256(std::initializer_list<View> pieces);

// Whole blocks transformed, a tail of length mod 16 copied as it is.
Bytes ige256(View data, View key, View iv, bool encrypt);

// `length` keystream bytes XORed into `data`, from the counter block `iv`
// with its first `used` bytes already consumed.
Bytes ctr256(View data, View key, View iv, std::size_t used);
// The counter block `blocks` blocks after `iv` (128-bit big-endian, wrapping).
Bytes counter_after(View iv, std::size_t blocks);

struct KeyIv {
    Bytes key, iv;
};
KeyIv derive_key_iv(View auth_key, View msg_key, bool outgoing);
Bytes msg_key(View auth_key, View plaintext, bool outgoing);

// A packed message as the other side would send it: auth_key_id + msg_key +
// the IGE encryption of salt + session_id + data + padding, for the direction
// `outgoing` says.
Bytes pack(View data, View salt, View session_id, View padding, View auth_key, View auth_key_id, bool outgoing);

// The plaintext of a packed message, decrypted for the direction `outgoing`
// says, with no check at all.
Bytes open(View packed, View auth_key, bool outgoing);

}  // namespace reference
