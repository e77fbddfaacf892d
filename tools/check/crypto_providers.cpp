// Prints, as one JSON line, the implementations the crypto library picks for
// AES-256 and SHA-256 in this process, created the way the module creates
// them. The names show which code the module's calls run, with or without
// BOTAN_CLEAR_CPUID: "base" is the portable C++ code, anything else names the
// CPU feature of a faster path. They tell the paths apart where timing
// cannot, as under emulation.
#include <botan/block_cipher.h>
#include <botan/hash.h>

#include <cstdio>
#include <exception>

int main() {
    try {
        const auto aes = Botan::BlockCipher::create_or_throw("AES-256");
        const auto sha256 = Botan::HashFunction::create_or_throw("SHA-256");
        std::printf("{\"aes\": \"%s\", \"sha256\": \"%s\"}\n", aes->provider().c_str(),
                    sha256->provider().c_str());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "crypto_providers: %s\n", error.what());
        return 1;
    }
}
