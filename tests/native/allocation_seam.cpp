// The allocation seam of a test-only build (ORVANECRYPTO_ALLOCATION_SEAM):
// every allocation made outside the interpreter's allocators, by the module
// and by the crypto library and C++ runtime built into it (operator new, and
// malloc, calloc and realloc, which the linker routes here with --wrap), can
// be made to fail on request, and the seam counts what is still allocated.
// tests/test_allocation_seam.py drives it through ctypes.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);
void __real_free(void* block);
}

namespace {

// Allocations still to let through before one fails; negative: none fails.
std::atomic<long> countdown{-1};
std::atomic<long> outstanding{0};
std::atomic<long> failed{0};

bool fail_this_one() {
    long left = countdown.load();
    while (left >= 0)
        if (countdown.compare_exchange_weak(left, left - 1)) {
            if (left != 0) return false;
            failed.fetch_add(1);
            return true;
        }
    return false;
}

void* counted(void* block) {
    if (block != nullptr) outstanding.fetch_add(1);
    return block;
}

void* allocate(std::size_t size) {
    if (fail_this_one()) return nullptr;
    return counted(__real_malloc(size == 0 ? 1 : size));
}

}  // namespace

extern "C" {

// Allocation number `n` from now (0 is the next) fails, once; -1: none.
__attribute__((visibility("default"))) void orvanecrypto_seam_fail_at(long n) { countdown.store(n); }
// Blocks allocated through the seam and not yet freed.
__attribute__((visibility("default"))) long orvanecrypto_seam_outstanding() { return outstanding.load(); }
// Allocations the seam has made fail.
__attribute__((visibility("default"))) long orvanecrypto_seam_failures() { return failed.load(); }

void* __wrap_malloc(std::size_t size) { return allocate(size); }

void* __wrap_calloc(std::size_t count, std::size_t size) {
    if (fail_this_one()) return nullptr;
    return counted(__real_calloc(count, size));
}

void* __wrap_realloc(void* block, std::size_t size) {
    if (block == nullptr) return allocate(size);
    if (fail_this_one()) return nullptr;
    return __real_realloc(block, size);
}

void __wrap_free(void* block) {
    if (block != nullptr) outstanding.fetch_sub(1);
    __real_free(block);
}

}  // extern "C"

void* operator new(std::size_t size) {
    if (void* block = allocate(size)) return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* block) noexcept { __wrap_free(block); }
void operator delete[](void* block) noexcept { __wrap_free(block); }
void operator delete(void* block, std::size_t) noexcept { __wrap_free(block); }
void operator delete[](void* block, std::size_t) noexcept { __wrap_free(block); }
