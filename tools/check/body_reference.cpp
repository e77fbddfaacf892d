#include "body_reference.hpp"

#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace reference {

namespace {

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

void require(int status) {
    if (status != 1) throw std::runtime_error("libcrypto call failed");
}

// `data` through AES-256 in the mode `cipher` names, without padding.
Bytes run_cipher(const EVP_CIPHER* cipher, View key, const std::uint8_t* iv, View data, bool encrypt) {
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context) throw std::bad_alloc();
    require(EVP_CipherInit_ex(context.get(), cipher, nullptr, key.data(), iv, encrypt ? 1 : 0));
    require(EVP_CIPHER_CTX_set_padding(context.get(), 0));
    Bytes out(data.size() + 16);
    int written = 0, final_written = 0;
    require(EVP_CipherUpdate(context.get(), out.data(), &written, data.data(), static_cast<int>(data.size())));
    require(EVP_CipherFinal_ex(context.get(), out.data() + written, &final_written));
    out.resize(static_cast<std::size_t>(written + final_written));
    return out;
}

void xor_into(std::uint8_t* target, const std::uint8_t* other, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) target[i] ^= other[i];
}

Bytes join(std::initializer_list<View> pieces) {
    Bytes joined;
    for (const View piece : pieces) joined.insert(joined.end(), piece.begin(), piece.end());
    return joined;
}

}  // namespace

Bytes sha256(std::initializer_list<View> pieces) {
    const Bytes joined = join(pieces);
    Bytes digest(32);
    unsigned int length = 0;
    require(EVP_Digest(joined.data(), joined.size(), digest.data(), &length, EVP_sha256(), nullptr));
    return digest;
}

// y(i) = E(x(i) ^ y(i-1)) ^ x(i-1) one way, x(i) = D(y(i) ^ x(i-1)) ^ y(i-1)
// the other; the IV is y(0) then x(0) in both directions.
Bytes ige256(View data, View key, View iv, bool encrypt) {
    Bytes out(data.begin(), data.end());
    std::uint8_t previous_out[16], previous_in[16];
    std::memcpy(encrypt ? previous_out : previous_in, iv.data(), 16);
    std::memcpy(encrypt ? previous_in : previous_out, iv.data() + 16, 16);
    for (std::size_t offset = 0; offset + 16 <= data.size(); offset += 16) {
        std::uint8_t block[16];
        std::memcpy(block, data.data() + offset, 16);
        xor_into(block, previous_out, 16);
        Bytes transformed = run_cipher(EVP_aes_256_ecb(), key, nullptr, View(block, 16), encrypt);
        xor_into(transformed.data(), previous_in, 16);
        std::memcpy(previous_in, data.data() + offset, 16);
        std::memcpy(previous_out, transformed.data(), 16);
        std::memcpy(out.data() + offset, transformed.data(), 16);
    }
    return out;
}

Bytes ctr256(View data, View key, View iv, std::size_t used) {
    const Bytes skipped(used + data.size(), 0);
    const Bytes keystream = run_cipher(EVP_aes_256_ctr(), key, iv.data(), skipped, true);
    Bytes out(data.begin(), data.end());
    xor_into(out.data(), keystream.data() + used, data.size());
    return out;
}

Bytes counter_after(View iv, std::size_t blocks) {
    Bytes counter(iv.begin(), iv.end());
    unsigned carry_in = 0;
    std::uint64_t add = blocks;
    for (std::size_t i = 16; i-- > 0;) {
        const unsigned sum = counter[i] + static_cast<unsigned>(add & 0xFF) + carry_in;
        counter[i] = static_cast<std::uint8_t>(sum);
        carry_in = sum >> 8;
        add >>= 8;
    }
    return counter;
}

KeyIv derive_key_iv(View auth_key, View msg_key, bool outgoing) {
    const std::size_t x = outgoing ? 0 : 8;
    const Bytes a = sha256({msg_key, auth_key.subspan(x, 36)});
    const Bytes b = sha256({auth_key.subspan(x + 40, 36), msg_key});
    KeyIv result;
    result.key = join({View(a).first(8), View(b).subspan(8, 16), View(a).subspan(24, 8)});
    result.iv = join({View(b).first(8), View(a).subspan(8, 16), View(b).subspan(24, 8)});
    return result;
}

Bytes msg_key(View auth_key, View plaintext, bool outgoing) {
#if defined(BODY_FUZZER_CONTROL)
    // The check's control: a model that reads the wrong auth_key bytes, which
    // the fuzzer must catch within its budget.
    const std::size_t x = outgoing ? 1 : 8;
#else
    const std::size_t x = outgoing ? 0 : 8;
#endif
    const Bytes large = sha256({auth_key.subspan(88 + x, 32), plaintext});
    return Bytes(large.begin() + 8, large.begin() + 24);
}

Bytes pack(View data, View salt, View session_id, View padding, View auth_key, View auth_key_id, bool outgoing) {
    const Bytes plaintext = join({salt, session_id, data, padding});
    const Bytes key = msg_key(auth_key, plaintext, outgoing);
    const KeyIv derived = derive_key_iv(auth_key, key, outgoing);
    const Bytes encrypted = ige256(plaintext, derived.key, derived.iv, true);
    return join({auth_key_id, key, encrypted});
}

Bytes open(View packed, View auth_key, bool outgoing) {
    const KeyIv derived = derive_key_iv(auth_key, packed.subspan(8, 16), outgoing);
    return ige256(packed.subspan(24), derived.key, derived.iv, false);
}

}  // namespace reference
