// Checks that the AES-256 round keys of an operation do not survive it.
//
// The program expands distinctive keys itself (FIPS 197 key expansion), runs
// orvane::Aes256 on them, and then searches its own writable anonymous memory
// (the brk heap, malloc arenas of other threads, the crypto library's locked
// pool) for 16-byte round keys in every form the library may keep them in:
// the standard byte order, 32-bit words loaded big-endian and stored in
// native order, and both again after InvMixColumns (the equivalent inverse
// cipher's decryption schedule). Round keys 0 and 1 are the key itself and
// are not searched for.
//
// Control cases show that the search finds a schedule that is still live and
// one left behind in freed, unwiped heap memory; without them a search that
// sees nothing would prove nothing.
//
// Nothing between an operation and the search below allocates from the heap:
// the maps text, the region list and the needles all live in one mapping made
// with mmap, whose range the search skips. Thread stacks are skipped as well;
// the claim is about the storage of the round keys, not about spilled
// registers. One case looks at the dead part of the main thread's stack on
// its own: an Aes256 made and dropped with no block operation in between (as
// when a call's output cannot be allocated) must not leave the schedule that
// the key expansion worked on there.
#include "primitives/aes256.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

using Key = std::array<std::uint8_t, orvane::aes256_key_size>;
using Chunk = std::array<std::uint8_t, 16>;

// ---------------------------------------------------------------------------
// FIPS 197 key expansion for Nk = 8, Nr = 14, written from the standard.

std::uint8_t xtime(std::uint8_t b) { return static_cast<std::uint8_t>((b << 1) ^ ((b & 0x80) ? 0x1b : 0)); }

std::uint8_t gf_mul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t product = 0;
    for (; b != 0; b >>= 1, a = xtime(a))
        if (b & 1) product ^= a;
    return product;
}

std::uint8_t sbox(std::uint8_t x) {
    // Multiplicative inverse in GF(2^8) (0 maps to 0), then the affine map.
    std::uint8_t inverse = 0;
    for (int c = 1; c < 256 && x != 0; ++c)
        if (gf_mul(x, static_cast<std::uint8_t>(c)) == 1) inverse = static_cast<std::uint8_t>(c);
    auto rotl = [](std::uint8_t v, int n) { return static_cast<std::uint8_t>((v << n) | (v >> (8 - n))); };
    return static_cast<std::uint8_t>(inverse ^ rotl(inverse, 1) ^ rotl(inverse, 2) ^ rotl(inverse, 3) ^
                                     rotl(inverse, 4) ^ 0x63);
}

constexpr int rounds = 14;
using Schedule = std::array<std::uint8_t, 16 * (rounds + 1)>;  // round key r at 16 * r

Schedule expand_key(const Key& key) {
    Schedule w{};
    std::memcpy(w.data(), key.data(), key.size());
    std::uint8_t rcon = 1;
    for (int i = 8; i < 4 * (rounds + 1); ++i) {
        std::uint8_t t[4];
        std::memcpy(t, &w[4 * (i - 1)], 4);
        if (i % 8 == 0) {
            const std::uint8_t first = t[0];
            t[0] = static_cast<std::uint8_t>(sbox(t[1]) ^ rcon);
            t[1] = sbox(t[2]);
            t[2] = sbox(t[3]);
            t[3] = sbox(first);
            rcon = xtime(rcon);
        } else if (i % 8 == 4) {
            for (auto& b : t) b = sbox(b);
        }
        for (int j = 0; j < 4; ++j) w[4 * i + j] = static_cast<std::uint8_t>(w[4 * (i - 8) + j] ^ t[j]);
    }
    return w;
}

Chunk inv_mix_columns(const std::uint8_t* state) {
    Chunk out{};
    for (int c = 0; c < 4; ++c) {
        const std::uint8_t* s = state + 4 * c;
        for (int r = 0; r < 4; ++r)
            out[4 * c + r] = static_cast<std::uint8_t>(gf_mul(s[r], 14) ^ gf_mul(s[(r + 1) % 4], 11) ^
                                                       gf_mul(s[(r + 2) % 4], 13) ^ gf_mul(s[(r + 3) % 4], 9));
    }
    return out;
}

Chunk swap_words(const Chunk& c) {
    Chunk out{};
    for (int i = 0; i < 16; ++i) out[i] = c[(i & ~3) + 3 - (i & 3)];
    return out;
}

// ---------------------------------------------------------------------------
// Workspace outside the heap: needles, region list and the maps text.

constexpr int encryption_round_keys = rounds - 1;  // rounds 2 to 14
constexpr int decryption_round_keys = rounds - 1;  // InvMixColumns of rounds 1 to 13
constexpr int forms = 2;                           // standard bytes, native-order words
constexpr int needles_per_key = (encryption_round_keys + decryption_round_keys) * forms;
constexpr int max_regions = 4096;
constexpr std::size_t maps_capacity = 1 << 20;
constexpr std::size_t page_size = 4096;

struct Region {
    const std::uint8_t* begin;
    const std::uint8_t* end;
};

struct Workspace {
    Chunk needles[needles_per_key];
    Region regions[max_regions];
    int region_count;
    Region skipped[8];  // stacks of threads that ran operations
    int skipped_count;
    char maps[maps_capacity];
    std::uint8_t window[page_size + sizeof(Chunk)];
    std::uint8_t dead_stack[16384];
};

Workspace* workspace;

void fail(const char* what) {
    std::fprintf(stderr, "key_schedule_wipe: %s\n", what);
    std::exit(2);
}

void prepare_needles(const Key& key) {
    // The expansion runs on the stack, which is not searched, and the stack
    // copy is cleared before returning.
    Schedule schedule = expand_key(key);
    int n = 0;
    for (int r = 2; r <= rounds; ++r) {
        Chunk chunk;
        std::memcpy(chunk.data(), &schedule[16 * r], 16);
        workspace->needles[n++] = chunk;
        workspace->needles[n++] = swap_words(chunk);
    }
    for (int r = 1; r < rounds; ++r) {
        const Chunk chunk = inv_mix_columns(&schedule[16 * r]);
        workspace->needles[n++] = chunk;
        workspace->needles[n++] = swap_words(chunk);
    }
    volatile std::uint8_t* wipe = schedule.data();
    for (std::size_t i = 0; i < schedule.size(); ++i) wipe[i] = 0;
}

// The workspace (at index 0) and the stacks of threads that ran operations.
int excluded_count() { return 1 + workspace->skipped_count; }

Region excluded(int index) {
    if (index > 0) return workspace->skipped[index - 1];
    const auto* own = reinterpret_cast<const std::uint8_t*>(workspace);
    return {own, own + sizeof(Workspace)};
}

// Adds [begin, end) to the regions to search, less the excluded ranges from
// index `from` on. The kernel merges neighbouring anonymous mappings into
// one, so the workspace or a stack can share a mapping with heap memory (as
// under QEMU user emulation, where the guest's heap is an anonymous mapping):
// only the excluded range itself is left out, never the whole mapping.
void add_region(const std::uint8_t* begin, const std::uint8_t* end, int from = 0) {
    for (int i = from; i < excluded_count(); ++i) {
        const Region skip = excluded(i);
        if (begin < skip.end && skip.begin < end) {
            if (begin < skip.begin) add_region(begin, skip.begin, i + 1);
            if (skip.end < end) add_region(skip.end, end, i + 1);
            return;
        }
    }
    if (workspace->region_count == max_regions) fail("too many mappings");
    workspace->regions[workspace->region_count++] = {begin, end};
}

// Lists the writable private anonymous mappings and the brk heap, reading
// /proc/self/maps with plain system calls into the workspace.
void collect_regions() {
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("cannot open /proc/self/maps");
    std::size_t length = 0;
    for (ssize_t got; (got = read(fd, workspace->maps + length, maps_capacity - 1 - length)) > 0;)
        length += static_cast<std::size_t>(got);
    close(fd);
    if (length >= maps_capacity - 1) fail("/proc/self/maps does not fit the workspace");
    workspace->maps[length] = '\0';

    workspace->region_count = 0;
    for (char* line = workspace->maps; *line != '\0';) {
        char* next = std::strchr(line, '\n');
        if (next != nullptr) *next = '\0';
        unsigned long begin = 0, end = 0, offset = 0, inode = 0;
        char perms[8] = {}, device[16] = {};
        int consumed = 0;
        if (std::sscanf(line, "%lx-%lx %7s %lx %15s %lu %n", &begin, &end, perms, &offset, device, &inode,
                        &consumed) >= 6) {
            const char* path = line + consumed;
            const bool anonymous = inode == 0 && (*path == '\0' || std::strcmp(path, "[heap]") == 0);
            const auto* first = reinterpret_cast<const std::uint8_t*>(begin);
            const auto* last = reinterpret_cast<const std::uint8_t*>(end);
            // Larger mappings are reservations (a sanitizer's shadow memory, say),
            // not allocator memory; malloc arenas are at most 64 MiB.
            const bool reservation = end - begin > (std::size_t{1} << 30);
            if (perms[0] == 'r' && perms[1] == 'w' && perms[3] == 'p' && anonymous && !reservation)
                add_region(first, last);
        }
        if (next == nullptr) break;
        line = next + 1;
    }
}

int found_as_words = 0;  // of the needles found by the last search, those in native-order words

// How many of the needles of the prepared key occur somewhere in the regions.
// Memory is read through /proc/self/mem rather than by pointer: a mapping may
// hold guard pages (madvise guard regions do not show in the maps), and such
// a page fails the read instead of faulting the program.
int count_needles_found() {
    collect_regions();
    const int fd = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("cannot open /proc/self/mem");
    bool found[needles_per_key] = {};
    constexpr std::size_t overlap = sizeof(Chunk) - 1;  // a needle may straddle two reads
    for (int i = 0; i < workspace->region_count; ++i) {
        const Region& region = workspace->regions[i];
        std::size_t carried = 0;
        for (const std::uint8_t* at = region.begin; at < region.end;) {
            const std::size_t want = std::min<std::size_t>(page_size, static_cast<std::size_t>(region.end - at));
            const ssize_t got = pread(fd, workspace->window + carried, want, reinterpret_cast<off_t>(at));
            at += want;
            if (got != static_cast<ssize_t>(want)) {  // unreadable page: start afresh after it
                carried = 0;
                continue;
            }
            const std::size_t length = carried + want;
            for (int n = 0; n < needles_per_key; ++n)
                if (!found[n] && memmem(workspace->window, length, workspace->needles[n].data(), sizeof(Chunk)))
                    found[n] = true;
            carried = std::min(overlap, length);
            std::memmove(workspace->window, workspace->window + length - carried, carried);
        }
    }
    close(fd);
    found_as_words = 0;
    for (int n = 1; n < needles_per_key; n += 2) found_as_words += found[n] ? 1 : 0;
    return static_cast<int>(std::count(std::begin(found), std::end(found), true));
}

// Each use of Aes256 keeps its round keys in storage of its own (this
// module's for a chain on a processor with AES instructions, the library's
// cipher otherwise), so every case runs once per use, with keys of its own.
orvane::Aes256::Use use_under_test = orvane::Aes256::Use::chain;

Key distinctive_key(std::uint8_t tag) {
    const int round = use_under_test == orvane::Aes256::Use::chain ? 0 : 1;
    Key key;
    for (std::size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<std::uint8_t>(0x5a ^ (tag * 37) ^ (i * 11) ^ (round * 0xc3));
    return key;
}

int failures = 0;

void expect(bool ok, const char* name, int found) {
    std::printf("%-58s %2d of %d round-key needles found: %s\n", name, found, needles_per_key, ok ? "ok" : "FAIL");
    if (!ok) ++failures;
}

void expect_none_left(const char* name) {
    const int found = count_needles_found();
    expect(found == 0, name, found);
}

[[gnu::noinline]] void run_blocks(const orvane::Aes256& cipher) {
    std::uint8_t blocks[8 * orvane::aes_block_size] = {1, 2, 3};
    cipher.encrypt_block(blocks, blocks);
    cipher.decrypt_block(blocks, blocks);
    if (use_under_test == orvane::Aes256::Use::many_blocks) cipher.encrypt_blocks(blocks, blocks, 8);
}

// Control: a schedule that is still in use is found. Then the same schedule
// after the Aes256 is gone is not.
void live_then_destroyed() {
    const Key key = distinctive_key(1);
    prepare_needles(key);
    {
        const orvane::Aes256 cipher(key, use_under_test);
        run_blocks(cipher);
        const int live = count_needles_found();
        // Either the encryption or the decryption schedule, in one of the forms.
        expect(live >= encryption_round_keys, "control: live Aes256 schedule is found", live);
        std::printf("  (%d in standard byte order, %d as native-order 32-bit words)\n", live - found_as_words,
                    found_as_words);
    }
    const int after = count_needles_found();
    expect(after == 0, "schedule after the Aes256 is destroyed", after);
}

// The second of two live ciphers cannot borrow the thread's spare object, so
// it makes its own, and one of the two is freed instead of kept as the spare.
void two_at_once() {
    const Key first = distinctive_key(2), second = distinctive_key(3);
    {
        const orvane::Aes256 a(first, use_under_test);
        const orvane::Aes256 b(second, use_under_test);
        run_blocks(a);
        run_blocks(b);
    }
    prepare_needles(first);
    expect_none_left("first of two simultaneous ciphers, after both");
    prepare_needles(second);
    expect_none_left("second of two simultaneous ciphers, after both");
}

// Many keys through the same spare object, each checked after the last.
void many_keys() {
    constexpr int count = 64;
    for (int i = 0; i < count; ++i) {
        const orvane::Aes256 cipher(distinctive_key(static_cast<std::uint8_t>(16 + i)), use_under_test);
        run_blocks(cipher);
    }
    int found = 0;
    for (int i = 0; i < count; ++i) {
        prepare_needles(distinctive_key(static_cast<std::uint8_t>(16 + i)));
        found += count_needles_found();
    }
    expect(found == 0, "64 keys in turn through the spare cipher (sum)", found);
}

// On another thread: its spare object is destroyed when the thread ends, and
// its allocations come from that thread's own malloc arena.
void on_another_thread() {
    const Key key = distinctive_key(4);
    std::thread worker([&key] {
        pthread_attr_t attributes;
        void* stack = nullptr;
        std::size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            pthread_attr_getstack(&attributes, &stack, &size);
            pthread_attr_destroy(&attributes);
            const auto* begin = static_cast<const std::uint8_t*>(stack);
            workspace->skipped[workspace->skipped_count++] = {begin, begin + size};
        }
        const orvane::Aes256 cipher(key, use_under_test);
        run_blocks(cipher);
    });
    worker.join();
    prepare_needles(key);
    expect_none_left("cipher used on a thread that has ended");
}

// The dead stack: what a function run below the caller's frame leaves there.

using Leaver = void (*)(const Key&);

[[gnu::noinline]] void make_and_drop(const Key& key) {
    const orvane::Aes256 cipher(key, use_under_test);
    asm volatile("" : : "r"(&cipher) : "memory");
}

// Control: the test's own expansion of the key, left in a returned frame.
[[gnu::noinline]] void leave_schedule_in_frame(const Key& key) {
    const Schedule schedule = expand_key(key);
    asm volatile("" : : "r"(schedule.data()) : "memory");
}

// Runs `leave` a kilobyte further down, out of reach of the few bytes that
// the system call wrappers called after it use.
[[gnu::noinline]] void beneath_padding(Leaver leave, const Key& key) {
    std::uint8_t padding[1024];
    asm volatile("" : : "r"(padding) : "memory");
    leave(key);
    asm volatile("" : : "r"(padding) : "memory");
}

// The stack below these frames must be mapped before it is read.
[[gnu::noinline]] void grow_stack() {
    std::uint8_t area[sizeof(Workspace::dead_stack) * 2];
    std::memset(area, 0, sizeof area);
    asm volatile("" : : "r"(area) : "memory");
}

// How many needles of `key` the stack below this frame holds once `leave`
// has run there; copied by one pread before anything else is called.
int found_in_dead_stack(Leaver leave, const Key& key) {
    grow_stack();
    const int fd = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("cannot open /proc/self/mem");
    const auto* here = static_cast<const std::uint8_t*>(__builtin_frame_address(0));
    beneath_padding(leave, key);
    const ssize_t got = pread(fd, workspace->dead_stack, sizeof workspace->dead_stack,
                              reinterpret_cast<off_t>(here - sizeof workspace->dead_stack));
    close(fd);
    if (got != static_cast<ssize_t>(sizeof workspace->dead_stack)) fail("cannot read the dead stack");
    prepare_needles(key);
    int found = 0;
    for (const Chunk& needle : workspace->needles)
        if (memmem(workspace->dead_stack, sizeof workspace->dead_stack, needle.data(), needle.size()) != nullptr)
            ++found;
    return found;
}

void dead_stack_after_expansion() {
    const int control = found_in_dead_stack(leave_schedule_in_frame, distinctive_key(6));
    expect(control >= encryption_round_keys, "control: a schedule left in a returned frame is found", control);
    const int found = found_in_dead_stack(make_and_drop, distinctive_key(7));
    expect(found == 0, "dead stack after an Aes256 made and dropped", found);
}

// Control: a copy of a schedule in native-order words, freed without being
// wiped, is found by the search. Runs last: it leaves that copy behind.
[[gnu::noinline]] void leave_unwiped_copy(const Key& key) {
    const Schedule schedule = expand_key(key);
    auto* copy = static_cast<std::uint8_t*>(std::malloc(schedule.size() + 64));
    if (copy == nullptr) fail("malloc failed");
    for (std::size_t i = 0; i < schedule.size(); ++i) copy[32 + (i & ~std::size_t{3}) + 3 - (i & 3)] = schedule[i];
    asm volatile("" : : "r"(copy) : "memory");  // the stores are not dead
    std::free(copy);
}

void freed_unwiped_copy() {
    const Key key = distinctive_key(5);
    leave_unwiped_copy(key);
    prepare_needles(key);
    const int found = count_needles_found();
    expect(found >= encryption_round_keys - 1, "control: freed unwiped copy of a schedule is found", found);
}

}  // namespace

int main() {
    void* memory = mmap(nullptr, sizeof(Workspace), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) fail("mmap failed");
    workspace = static_cast<Workspace*>(memory);

    // FIPS 197 Appendix A.3: the last word of the expanded 256-bit key
    // 603deb10...0914dff4 is 706c631e.
    const Key fips_key = {0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae, 0xf0, 0x85, 0x7d, 0x77, 0x81,
                          0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61, 0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
    const Schedule fips = expand_key(fips_key);
    const std::uint8_t last_word[4] = {0x70, 0x6c, 0x63, 0x1e};
    if (std::memcmp(&fips[fips.size() - 4], last_word, 4) != 0) fail("key expansion does not match FIPS 197 A.3");

    for (const auto use : {orvane::Aes256::Use::chain, orvane::Aes256::Use::many_blocks}) {
        use_under_test = use;
        std::printf("Aes256 for %s:\n", use == orvane::Aes256::Use::chain ? "a chain" : "many blocks");
        live_then_destroyed();
        two_at_once();
        many_keys();
        on_another_thread();
        dead_stack_after_expansion();
    }
    freed_unwiped_copy();

    std::printf("%s\n", failures == 0 ? "all key schedules wiped" : "round keys survived their operation");
    return failures == 0 ? 0 : 1;
}
