// Runs the random source's path for a glibc older than 2.25 (a weak reference
// to getrandom, the system call where the running C library has none) on this
// newer one. CMake builds it twice with ORVANECRYPTO_WEAK_GETRANDOM: as it is,
// so that the weak reference binds to the C library's function, and with
// getrandom renamed to a symbol that nothing defines, so that the reference
// stays null and the system call runs.
//
//     random_fallback library|system-call
//
// The argument names the path the build must take; the program first checks
// that the weak reference is in the state that path needs, so that a build
// that quietly took the other one cannot pass.
#include "core/errors.hpp"
#include "primitives/random_source.hpp"

#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

// The name random_source.cpp refers to; in the system-call build the same
// renaming applies here.
extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int flags) __attribute__((weak));

namespace {

using Block = std::array<std::uint8_t, 64>;

int failed(const char* what) {
    std::fprintf(stderr, "random_fallback: %s\n", what);
    return 1;
}

bool all_zero(const std::uint8_t* bytes, std::size_t length) {
    return std::all_of(bytes, bytes + length, [](std::uint8_t b) { return b == 0; });
}

// Two fills from a working source: neither all zeros nor equal (each by
// chance with probability 2^-512).
bool look_random(const Block& a, const Block& b) {
    return !all_zero(a.data(), a.size()) && !all_zero(b.data(), b.size()) && a != b;
}

}  // namespace

int main(int argc, char** argv) {
#if !defined(__GLIBC__)
    (void)argc, (void)argv;
    std::puts("random_fallback: not a glibc system; the path is built for glibc only");
    return 77;
#else
    if (argc != 2 || (std::strcmp(argv[1], "library") != 0 && std::strcmp(argv[1], "system-call") != 0))
        return failed("usage: random_fallback library|system-call");
    const bool through_library = std::strcmp(argv[1], "library") == 0;
    if ((getrandom != nullptr) != through_library)
        return failed(through_library ? "the weak reference to getrandom is null"
                                      : "the weak reference is bound: the system call would not run");

    // Control: the check below refuses a region that was not filled, and two
    // equal fills.
    Block a{}, b{};
    if (look_random(a, b)) return failed("control: an unfilled region passes as random");
    a[0] = 1;
    if (look_random(a, a)) return failed("control: two equal fills pass as random");

    try {
        orvane::fill_random(a);
        orvane::fill_random(b);
        // A region larger than one getrandom call may fill: filled to its end.
        std::vector<std::uint8_t> large(1 << 20);
        orvane::fill_random(large);
        if (!look_random(a, b)) return failed("two fills of 64 bytes are zero or equal");
        if (all_zero(large.data() + large.size() - 64, 64)) return failed("the end of a 1 MiB region is zero");
    } catch (const orvane::OsError& error) {
        std::fprintf(stderr, "random_fallback: the random source failed: %s\n", std::strerror(error.code));
        return 1;
    }
    std::printf("random_fallback: %s path fills regions\n", argv[1]);
    return 0;
#endif
}
