#include "primitives/random_source.hpp"

#include "core/errors.hpp"

#include <algorithm>
#include <cerrno>

#if defined(__GLIBC__) && (__GLIBC__ < 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ < 25))
#define ORVANECRYPTO_WEAK_GETRANDOM
#endif

#if defined(_WIN32)
// <windows.h> would otherwise define min and max as macros and break std::min.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <bcrypt.h>
#define SystemFunction036 NTAPI SystemFunction036
#include <ntsecapi.h>
#undef SystemFunction036
#elif defined(__linux__) && defined(__GLIBC__) && defined(ORVANECRYPTO_WEAK_GETRANDOM)
// A build for a glibc older than 2.25 (the floor of the release wheels) has
// no getrandom() to link against: it calls the C library's where the running
// one has it (a weak reference, bound at load time), and the system call
// otherwise. The native tests build this path against a newer glibc too.
#include <sys/syscall.h>
#include <unistd.h>
extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int flags) __attribute__((weak));
#define ORVANE_GETRANDOM_MAY_BE_MISSING
#elif defined(__linux__)
#include <sys/random.h>
#else
#include <unistd.h>
#endif

namespace orvane {

#if defined(_WIN32)

namespace {

// BCryptGenRandom with the system's preferred generator first; RtlGenRandom
// (SystemFunction036) after a failure. Each call takes at most 2^32 - 1 bytes.
bool fill_windows_piece(std::uint8_t* piece, ULONG length) {
    const NTSTATUS status = BCryptGenRandom(nullptr, piece, length, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if ((static_cast<ULONG>(status) & 0xC0000000u) != 0xC0000000u) return true;
    return RtlGenRandom(piece, length) != FALSE;
}

}  // namespace

void fill_random(MutableBytes region) {
    constexpr std::size_t max_piece = 0xFFFFFFFFu;
    for (std::size_t done = 0; done < region.size();) {
        const auto piece = static_cast<ULONG>(std::min(region.size() - done, max_piece));
        if (!fill_windows_piece(region.data() + done, piece)) {
            const DWORD error = GetLastError();
            throw OsError{error != 0 ? static_cast<int>(error) : static_cast<int>(ERROR_GEN_FAILURE)};
        }
        done += piece;
    }
}

#else

namespace {

[[noreturn]] void throw_os_error() { throw OsError{errno}; }

#if defined(__linux__)
ssize_t system_random(std::uint8_t* buffer, std::size_t length) {
#if defined(ORVANE_GETRANDOM_MAY_BE_MISSING)
    if (getrandom == nullptr) return syscall(SYS_getrandom, buffer, length, 0);
#endif
    return getrandom(buffer, length, 0);
}
#endif

}  // namespace

void fill_random(MutableBytes region) {
    std::size_t done = 0;
    while (done < region.size()) {
#if defined(__linux__)
        // getrandom may return fewer bytes than asked, or be interrupted.
        const ssize_t got = system_random(region.data() + done, region.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got == 0) errno = EIO;  // no progress: never spin
            throw_os_error();
        }
        done += static_cast<std::size_t>(got);
#else
        // getentropy takes at most 256 bytes per call.
        const std::size_t piece = std::min<std::size_t>(region.size() - done, 256);
        if (getentropy(region.data() + done, piece) != 0) throw_os_error();
        done += piece;
#endif
    }
}

#endif

}  // namespace orvane
