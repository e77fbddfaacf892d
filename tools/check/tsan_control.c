/* The tsan check's control: a deliberate data race, built with
 * -fsanitize=thread and called through ctypes from two Python threads at
 * once. ThreadSanitizer must report it, or a clean run of the module proves
 * nothing.
 *
 * The two threads wait for each other with relaxed atomics, which do not
 * order anything, so that their plain accesses really overlap: had one thread
 * finished first, any lock the interpreter takes in between would order the
 * accesses and hide the race. They wait again before returning: the report is
 * made at the second thread's access and needs the stack of the first
 * thread's, which ThreadSanitizer recovers from a bounded per-thread history.
 * A thread that went back into the interpreter while the other was still
 * descheduled would soon overwrite that history, and the race would go
 * unreported. The waits poll at long intervals to add little to it. */
#include <stdatomic.h>
#include <time.h>

static atomic_int arrived, finished;
static volatile long shared_counter;

static void wait_for_both(atomic_int* gate) {
    const struct timespec pause = {0, 100000}; /* 0.1 ms */
    atomic_fetch_add_explicit(gate, 1, memory_order_relaxed);
    while (atomic_load_explicit(gate, memory_order_relaxed) < 2) nanosleep(&pause, NULL);
}

long race_on_shared_counter(long rounds) {
    wait_for_both(&arrived);
    for (long i = 0; i < rounds; ++i) shared_counter = shared_counter + 1;
    wait_for_both(&finished);
    return shared_counter;
}
