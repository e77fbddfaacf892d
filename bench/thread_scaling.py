"""Wall-time scaling of the seven functions over threads.

    ./dev python --python 3.14t bench/thread_scaling.py [--rounds N] [--threads 1,2]

Each thread runs the same fixed amount of work (every function, on inputs of
its own, with its own CTR iv and state); with T threads the run does T times
the work of one. The figure printed for T threads is its wall time over the
wall time of one thread: 1.0 means the threads ran fully in parallel, T means
not at all (as under a GIL). Each figure is the best of several repetitions.
The results are checked against the one-thread run, so a fast wrong answer
does not count. A pure-Python workload is measured the same way as a
control: it shows what the machine allows at that moment.
"""

import argparse
import hashlib
import os
import sys
import threading
import time

import orvanecrypto as oc

REPEATS = 5


def workload(origin: int, rounds: int) -> bytes:
    """Runs all seven functions `rounds` times; returns a digest of the results."""
    rng_bytes = hashlib.sha256(origin.to_bytes(4, "big")).digest()
    key, ige_iv = rng_bytes, rng_bytes[::-1]
    data = bytes(range(256)) * 16  # 4 KiB
    auth_key, session_id, auth_key_id = bytes(range(256)), rng_bytes[:8], rng_bytes[8:16]
    ctr_iv, state = bytearray(rng_bytes[:16]), bytearray(1)
    digest = hashlib.sha256()
    for _ in range(rounds):
        encrypted = oc.ige256_encrypt(data, key, ige_iv)
        digest.update(oc.ige256_decrypt(encrypted, key, ige_iv)[:16])
        digest.update(oc.ctr256_encrypt(data, key, ctr_iv, state)[:16])
        digest.update(oc.ctr256_decrypt(data[:1000], key, ctr_iv, state)[:16])
        digest.update(oc.kdf(auth_key, rng_bytes[:16], True)[0])
        packed = oc.pack_message(data, 7, session_id, auth_key, auth_key_id)
        digest.update(packed[:8] + len(packed).to_bytes(4, "big"))  # the rest is random padding
        try:  # an outgoing message does not open as an incoming one: the check runs in full
            oc.unpack_message(packed, session_id, auth_key, auth_key_id)
        except ValueError:
            pass
    return digest.digest()


def python_only(origin: int, rounds: int) -> bytes:
    """Pure-Python work of about the same length: what the machine and the
    interpreter allow, with no module involved (on a busy machine two threads
    cannot do better than this either)."""
    total = origin
    for i in range(rounds * 300):
        total = (total * 31 + i) % 1000003
    return total.to_bytes(4, "big")


def run(threads: int, rounds: int, work=workload) -> tuple[float, list[bytes]]:
    results: list[bytes] = [b""] * threads
    start = threading.Barrier(threads + 1)

    def body(index: int) -> None:
        start.wait()
        results[index] = work(index, rounds)

    workers = [threading.Thread(target=body, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    start.wait()
    began = time.perf_counter()
    for worker in workers:
        worker.join()
    return time.perf_counter() - began, results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=2000)
    parser.add_argument("--threads", default="1,2")
    args = parser.parse_args()
    counts = [int(n) for n in args.threads.split(",")]

    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"Python {sys.version.split()[0]}{'' if gil else ' free-threading'}, GIL {'on' if gil else 'off'}, "
          f"{os.cpu_count()} CPUs, {args.rounds} rounds of all seven functions per thread")
    for name, work in (("orvanecrypto", workload), ("pure Python (control)", python_only)):
        expected = [work(i, args.rounds) for i in range(max(counts))]
        best: dict[int, float] = {}
        for _ in range(REPEATS):
            for threads in counts:  # alternating, so a slow spell of the machine hits all counts alike
                seconds, results = run(threads, args.rounds, work)
                if results != expected[:threads]:
                    sys.exit(f"{name}: {threads} threads gave results that differ from one thread's")
                best[threads] = min(best.get(threads, seconds), seconds)
        one = best[counts[0]]
        for threads in counts:
            print(f"{name}: {threads} thread(s): {best[threads]:.3f} s wall for {threads}x the work; "
                  f"ratio to {counts[0]} thread(s): {best[threads] / one:.2f}")


if __name__ == "__main__":
    main()
