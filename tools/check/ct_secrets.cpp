// valgrind client requests for the constant-time check (constant_time.py),
// loaded with ctypes. Marking bytes undefined changes only memcheck's shadow
// state, never the bytes themselves.
#include <cstddef>

#include <valgrind/memcheck.h>

extern "C" {

void ct_secret(const void* bytes, std::size_t size) { (void)VALGRIND_MAKE_MEM_UNDEFINED(bytes, size); }
void ct_public(const void* bytes, std::size_t size) { (void)VALGRIND_MAKE_MEM_DEFINED(bytes, size); }
unsigned ct_error_count() { return VALGRIND_COUNT_ERRORS; }
unsigned ct_on_valgrind() { return RUNNING_ON_VALGRIND; }
void ct_log(const char* text) { VALGRIND_PRINTF("%s\n", text); }

// What the processor offers as the program sees it (valgrind's CPU, not the
// host's), to tell which of the crypto library's AES paths ran.
int ct_cpu_has(const char* feature) {
    __builtin_cpu_init();
    const char* const names[] = {"aes", "avx2", "vaes", "sha", "ssse3"};
    const int present[] = {__builtin_cpu_supports("aes"), __builtin_cpu_supports("avx2"),
                           __builtin_cpu_supports("vaes"), __builtin_cpu_supports("sha"),
                           __builtin_cpu_supports("ssse3")};
    for (std::size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
        if (__builtin_strcmp(names[i], feature) == 0) return present[i] != 0;
    return -1;
}
}
