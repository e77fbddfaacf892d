/* The tsan check's control: a deliberate data race, built with
 * -fsanitize=thread and called through ctypes from two Python threads at
 * once. ThreadSanitizer must report it, or a clean run of the module proves
 * nothing.
 *
 * The two threads first wait for each other with relaxed atomics, which do
 * not order anything, so that their plain accesses really overlap: had one
 * thread finished first, any lock the interpreter takes in between would
 * order the accesses and hide the race. */
#include <stdatomic.h>

static atomic_int arrived;
static volatile long shared_counter;

long race_on_shared_counter(long rounds) {
    atomic_fetch_add_explicit(&arrived, 1, memory_order_relaxed);
    while (atomic_load_explicit(&arrived, memory_order_relaxed) < 2) {
    }
    for (long i = 0; i < rounds; ++i) shared_counter = shared_counter + 1;
    return shared_counter;
}
