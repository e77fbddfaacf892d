/* The tsan check's control: a deliberate data race, built with
 * -fsanitize=thread and called through ctypes from two Python threads at
 * once. ThreadSanitizer must report it, or a clean run of the module proves
 * nothing. */
static long shared_counter;

long race_on_shared_counter(long rounds) {
    for (long i = 0; i < rounds; ++i) shared_counter = shared_counter + 1;
    return shared_counter;
}
