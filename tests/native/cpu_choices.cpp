// Checks the x86-64 code's choices by processor feature against what
// /proc/cpuinfo lists. The module's own AES-NI and SHA-NI code runs exactly
// when the processor has the instructions (with SSE4.1) and the crypto library
// uses them too, so that the library's CPU feature switches send both to its
// portable code; the run named "portable" sets those switches. An Aes256 for
// a chain keeps its schedule in this module's storage when the AES-NI code
// runs; one for many blocks always in the library's cipher, whose multi-block
// code is the faster one.
//
// On a processor with both instructions the two runs expect opposite answers,
// so neither a choice that is always made nor one never made passes both.
#include "primitives/sha256_x86.hpp"
#include "primitives/aes256.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <span>

#if ORVANECRYPTO_X86
namespace {

int failures = 0;

void expect(const char* what, bool chosen, bool expected) {
    std::printf("%-48s %-3s (expected %s): %s\n", what, chosen ? "yes" : "no", expected ? "yes" : "no",
                chosen == expected ? "ok" : "FAIL");
    if (chosen != expected) ++failures;
}

bool cpuinfo_lists(const char* flag) {
    std::FILE* cpuinfo = std::fopen("/proc/cpuinfo", "r");
    if (cpuinfo == nullptr) {
        std::perror("cpu_choices: /proc/cpuinfo");
        return false;
    }
    static char line[1 << 14];
    bool listed = false;
    const std::size_t length = std::strlen(flag);
    while (std::fgets(line, sizeof line, cpuinfo) != nullptr) {
        if (std::strncmp(line, "flags", 5) != 0) continue;
        for (const char* at = std::strstr(line, flag); at != nullptr; at = std::strstr(at + 1, flag))
            listed = listed || (at > line && at[-1] == ' ' && (at[length] == ' ' || at[length] == '\n'));
        break;
    }
    std::fclose(cpuinfo);
    return listed;
}

// Both kinds of storage give the same blocks through every operation: eight
// blocks at once (the library's), each block alone, and back. Single blocks are done in place,
// one after another in one buffer as the IGE chain does, so a call that
// touched more than its one block would change the next. (Control: the blocks
// differ from what went in.)
void encrypt_alike(std::span<const std::uint8_t, orvane::aes256_key_size> key) {
    constexpr std::size_t size = 8 * orvane::aes_block_size;
    std::array<std::uint8_t, size> plain{}, results[2][3]{};
    for (std::size_t i = 0; i < size; ++i) plain[i] = static_cast<std::uint8_t>(i * 29 + 7);
    const orvane::Aes256::Use uses[2] = {orvane::Aes256::Use::many_blocks, orvane::Aes256::Use::chain};
    for (int u = 0; u < 2; ++u) {
        const orvane::Aes256 cipher(key, uses[u]);
        auto& [blocks, one_by_one, decrypted] = results[u];
        if (uses[u] == orvane::Aes256::Use::many_blocks)
            cipher.encrypt_blocks(plain.data(), blocks.data(), 8);
        else  // many blocks at once is for the library's storage only
            blocks = results[0][0];
        one_by_one = plain;
        for (std::size_t b = 0; b < size; b += orvane::aes_block_size)
            cipher.encrypt_block(one_by_one.data() + b, one_by_one.data() + b);
        decrypted = one_by_one;
        for (std::size_t b = 0; b < size; b += orvane::aes_block_size)
            cipher.decrypt_block(decrypted.data() + b, decrypted.data() + b);
    }
    const bool alike = results[0][0] != plain && results[0][0] == results[0][1] && results[0][0] == results[1][0] &&
                       results[1][0] == results[1][1] && results[0][2] == plain && results[1][2] == plain;
    std::printf("%-48s %s\n", "both kinds of storage encrypt and decrypt alike", alike ? "ok" : "FAIL");
    if (!alike) ++failures;
}

}  // namespace
#endif

// With the argument "portable" the library's CPU feature switches are set.
int main(int argc, char** argv) {
#if ORVANECRYPTO_X86
    const bool portable = argc > 1 && std::strcmp(argv[1], "portable") == 0;
    const bool sse41 = cpuinfo_lists("sse4_1");
    const bool aes = !portable && sse41 && cpuinfo_lists("aes");
    const bool sha = !portable && sse41 && cpuinfo_lists("sha_ni");
    expect("the module's AES-NI code", orvane::x86::aes_instructions_usable(), aes);
    expect("the module's SHA-NI code", orvane::x86::sha_instructions_usable(), sha);
    const std::array<std::uint8_t, orvane::aes256_key_size> key{1, 2, 3};
    expect("an Aes256 for a chain in this module's storage",
           orvane::Aes256(key, orvane::Aes256::Use::chain).round_keys() != nullptr, aes);
    expect("an Aes256 for many blocks in this module's storage",
           orvane::Aes256(key, orvane::Aes256::Use::many_blocks).round_keys() != nullptr, false);
    encrypt_alike(key);
    return failures == 0 ? 0 : 1;
#else
    (void)argc, (void)argv;
    std::puts("cpu_choices: no x86-64 feature choices in this build");
    return 77;
#endif
}
