"""Throughput of the module against what a client would otherwise use, and
against the hardware limit, measured side by side in one run.

    ./dev bench [--quick] [--no-plot] [--wheel FILE]

Prints one table per function family, writes the figures to bench/results.json
and plots them to bench/results.png. Every figure is the best of several
repetitions; the repetitions of the implementations being compared alternate,
so that a slow spell of a shared machine hits them alike. Peak memory is
measured in a fresh subprocess per function.
"""

import argparse
import gc
import json
import os
import platform
import resource
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
LIMIT_SOURCE = BENCH / "aes_limit.cpp"
LIMIT_BINARY = REPO / "build" / "bench" / "aes_limit"
MESSAGE_LIMIT_SOURCE = BENCH / "message_limit.cpp"
MESSAGE_LIMIT_BINARY = REPO / "build" / "bench" / "message_limit"

KiB, MiB = 1 << 10, 1 << 20
SIZES = [16, 256, 4 * KiB, 64 * KiB, 1 * MiB, 16 * MiB]
MESSAGE_SIZES = [16, 64, 256, 1 * KiB, 4 * KiB, 64 * KiB, 512 * KiB, 1 * MiB, 16 * MiB]
LIMIT_MESSAGE_SIZES = [64, 256, 1 * KiB]  # payloads timed against bench/message_limit.cpp
MEMORY_SIZE = 64 * MiB
FLAGS = ("aes", "vaes", "avx2", "avx512f", "sha_ni")

oc = None  # the module timed, imported by import_module
MODULE_DIR: Path | None = None

KEY, IGE_IV, CTR_IV = os.urandom(32), os.urandom(32), os.urandom(16)
AUTH_KEY = os.urandom(256)
AUTH_KEY_ID = os.urandom(8)
SESSION_ID = os.urandom(8)
SALT = int.from_bytes(os.urandom(8), "little", signed=True)


def size_label(size: int) -> str:
    if size >= MiB:
        return f"{size // MiB} MiB"
    if size >= KiB:
        return f"{size // KiB} KiB"
    return f"{size} B"


# ---------------------------------------------------------------------------
# The machine


def machine() -> dict:
    cpu, flags = platform.processor() or "unknown", set()
    with open("/proc/cpuinfo") as info:
        for line in info:
            key, _, value = line.partition(":")
            if key.strip() == "model name":
                cpu = value.strip()
            elif key.strip() == "flags":
                flags = set(value.split())
                break
    import cryptography

    import pyclient
    return {
        "processor": cpu,
        "logical_cpus": os.cpu_count(),
        "flags": {flag: flag in flags for flag in FLAGS},
        "python": platform.python_version(),
        "libcrypto": pyclient.LIBCRYPTO_VERSION,
        "cryptography": cryptography.__version__,
    }


# ---------------------------------------------------------------------------
# The hardware limit: bench/aes_limit.cpp, built on demand


def build_program(source: Path, binary: Path, libraries: list[str]) -> None:
    if binary.exists() and binary.stat().st_mtime >= source.stat().st_mtime:
        return
    binary.parent.mkdir(parents=True, exist_ok=True)
    command = ["g++", "-std=c++20", "-O2", "-maes", "-msse4.1", "-Wall", "-Wextra",
               "-o", str(binary), str(source), *libraries]
    print(f"building {binary.name}:", " ".join(command[:-3 - len(libraries)]), file=sys.stderr)
    subprocess.run(command, check=True)


def build_limit() -> None:
    build_program(LIMIT_SOURCE, LIMIT_BINARY, [])


class LimitProgram:
    """A limit program kept running to time one mode on request, so that its
    repetitions interleave with those of the module."""

    process: subprocess.Popen

    def timer(self, mode: str, size: int):
        """Times `calls` calls of `mode` on `size` bytes; returns nanoseconds
        and minor page faults."""
        def time_calls(calls: int) -> tuple[int, int]:
            self.process.stdin.write(f"{mode} {size} {calls}\n")
            ns, faults = self.process.stdout.readline().split()
            return int(ns), int(faults)
        return time_calls

    def close(self) -> None:
        self.process.stdin.close()
        self.process.wait()


class Limit(LimitProgram):
    """The hardware limit of the block modes: bench/aes_limit.cpp."""

    def __init__(self) -> None:
        build_limit()
        check = json.loads(subprocess.run([str(LIMIT_BINARY), "--check"], check=True, capture_output=True,
                                          text=True).stdout)
        self.variant = check["ctr_variant"]
        self.check(check)
        self.process = subprocess.Popen([str(LIMIT_BINARY), "--serve"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, bufsize=1)

    @staticmethod
    def check(check: dict) -> None:
        """The program must compute the same modes as the module, or its
        figures mean nothing: compare them on its fixed input."""
        size = check["size"]
        key, ige_iv, ctr_iv = bytes(range(32)), bytes(range(32, 64)), bytes(range(0x10, 0x20))
        data = bytes((31 * i + 7) & 0xFF for i in range(size))
        ours = {
            "ige_encrypt": oc.ige256_encrypt(data, key, ige_iv),
            "ige_decrypt": oc.ige256_decrypt(data, key, ige_iv),
            "ctr": oc.ctr256_encrypt(data, key, bytearray(ctr_iv), bytearray(1)),
        }
        for name, result in ours.items():
            if (result[:32] + result[-32:]).hex() != check[name]:
                raise SystemExit(f"bench: the hardware-limit program disagrees with the module on {name}")


class MessageLimit(LimitProgram):
    """bench/message_limit.cpp: pack, unpack and the two hashes of the key
    derivation with no interpreter, kept running like Limit."""

    # Its fixed input (see the program).
    AUTH_KEY = bytes((7 * i + 3) & 0xFF for i in range(256))
    AUTH_KEY_ID = bytes(range(0xA0, 0xA8))
    SESSION_ID = bytes(range(0xB0, 0xB8))
    SALT = -0x123456789ABCDEF
    DATA = bytes((31 * i + 7) & 0xFF for i in range(100))

    def __init__(self) -> None:
        build_program(MESSAGE_LIMIT_SOURCE, MESSAGE_LIMIT_BINARY, ["-lcrypto"])
        self.check()
        self.process = subprocess.Popen([str(MESSAGE_LIMIT_BINARY), "--serve"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, bufsize=1)

    def check(self) -> None:
        """The program must do the module's work: with zero padding it packs
        the fixed input into the bytes the module's kdf and IGE make of it, and
        it opens both a message the module packed and one the module opens."""
        import hashlib
        auth_key, session_id = self.AUTH_KEY, self.SESSION_ID
        header = self.SALT.to_bytes(8, "little", signed=True) + session_id
        plaintext = header + self.DATA + bytes(((len(self.DATA) + 43) & ~15) - 16 - len(self.DATA))
        msg_key = hashlib.sha256(auth_key[88:120] + plaintext).digest()[8:24]
        zero_padded = self.AUTH_KEY_ID + msg_key + oc.ige256_encrypt(plaintext, *oc.kdf(auth_key, msg_key, True))

        packed = bytes(oc.pack_message(self.DATA, self.SALT, session_id, auth_key, self.AUTH_KEY_ID))
        sent = oc.ige256_decrypt(packed[24:], *oc.kdf(auth_key, packed[8:24], True))
        padding = os.urandom(len(plaintext) - 16 - len(self.DATA))
        incoming_plaintext = header + self.DATA + padding
        incoming_key = hashlib.sha256(auth_key[96:128] + incoming_plaintext).digest()[8:24]
        incoming = self.AUTH_KEY_ID + incoming_key + oc.ige256_encrypt(
            incoming_plaintext, *oc.kdf(auth_key, incoming_key, False))
        opened = oc.unpack_message(incoming, session_id, auth_key, self.AUTH_KEY_ID)

        answer = json.loads(subprocess.run([str(MESSAGE_LIMIT_BINARY), "--check"], input=f"{packed.hex()}\n{incoming.hex()}\n",
                                           check=True, capture_output=True, text=True).stdout)
        for name, ours in (("packed_zero_padding", zero_padded), ("opened_outgoing", sent[16:]),
                           ("opened_incoming", opened)):
            if answer[name] != bytes(ours).hex():
                raise SystemExit(f"bench: the message limit program disagrees with the module on {name}")


def check_client() -> None:
    """The Python client must compute what the module computes, or the
    comparison is not honest."""
    import pyclient
    data = os.urandom(1000)
    for outgoing in (True, False):
        assert pyclient.kdf(AUTH_KEY, data[:16], outgoing) == oc.kdf(AUTH_KEY, data[:16], outgoing)
    for size in (0, 15, 16, 33, 4096):
        assert pyclient.ige256_encrypt(data[:size], KEY, IGE_IV) == oc.ige256_encrypt(data[:size], KEY, IGE_IV)
        assert pyclient.ige256_decrypt(data[:size], KEY, IGE_IV) == oc.ige256_decrypt(data[:size], KEY, IGE_IV)
    stream = pyclient.ctr256_encryptor(KEY, CTR_IV)
    iv, state = bytearray(CTR_IV), bytearray(1)
    for size in (5, 16, 300, 4096):
        assert stream.update(data[:size]) == oc.ctr256_encrypt(data[:size], KEY, iv, state)

    # Both packers' output opens the same way: the outgoing key and IV of its
    # msg_key, a plaintext of salt, session and payload whose hash is msg_key.
    for pack in (pyclient.pack_message, oc.pack_message):
        for size in (0, 5, 1000):
            packed = bytes(pack(data[:size], SALT, SESSION_ID, AUTH_KEY, AUTH_KEY_ID))
            msg_key = packed[8:24]
            plaintext = oc.ige256_decrypt(packed[24:], *oc.kdf(AUTH_KEY, msg_key, True))
            assert packed[:8] == AUTH_KEY_ID and len(plaintext) == (size + 43) & ~15
            assert plaintext[:16 + size] == SALT.to_bytes(8, "little", signed=True) + SESSION_ID + data[:size]
            assert pyclient.hashlib.sha256(AUTH_KEY[88:120] + plaintext).digest()[8:24] == msg_key
    for size in (0, 5, 1000):
        packed = server_message(data[:size])
        assert pyclient.unpack_message(packed, SESSION_ID, AUTH_KEY, AUTH_KEY_ID) == \
            oc.unpack_message(packed, SESSION_ID, AUTH_KEY, AUTH_KEY_ID)


def server_message(data: bytes) -> bytes:
    """An incoming message as the server builds it, made with the module."""
    import hashlib
    padding = os.urandom(((len(data) + 43) & ~15) - 16 - len(data))
    plaintext = SALT.to_bytes(8, "little", signed=True) + SESSION_ID + data + padding
    digest = hashlib.sha256(AUTH_KEY[96:128])
    digest.update(plaintext)
    msg_key = digest.digest()[8:24]
    return AUTH_KEY_ID + msg_key + oc.ige256_encrypt(plaintext, *oc.kdf(AUTH_KEY, msg_key, False))


# ---------------------------------------------------------------------------
# Timing


class Remote:
    """A contender timed elsewhere: called with a number of calls, it returns
    the nanoseconds they took and the minor page faults they caused."""

    def __init__(self, time_calls) -> None:
        self.time_calls = time_calls


def minor_faults() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def time_calls(call, calls: int) -> tuple[int, int]:
    """Nanoseconds and minor page faults of `calls` calls."""
    if isinstance(call, Remote):
        return call.time_calls(calls)
    faults = minor_faults()
    start = time.perf_counter_ns()
    for _ in range(calls):
        call()
    elapsed = time.perf_counter_ns() - start
    return elapsed, minor_faults() - faults


def calls_for(call, min_seconds: float) -> int:
    """How many calls make one repetition of at least `min_seconds`."""
    calls = 1
    while True:
        elapsed = time_calls(call, calls)[0] / 1e9
        if elapsed >= min_seconds:
            return calls
        calls = max(calls * 2, int(calls * min_seconds / max(elapsed, 1e-7) * 1.2))


def race(contenders: dict, min_seconds: float, reps: int) -> tuple[dict, dict]:
    """Best nanoseconds per call of each contender (a no-argument callable or
    a Remote), the repetitions of all contenders interleaved, and the minor
    page faults per call of that best repetition.

    One untimed call opens every repetition. How the C library reuses freed
    memory depends on what was allocated and freed just before, so without it
    one contender's allocations could make the next one's first call fault;
    with it each is timed in its own steady state."""
    counts = {name: calls_for(call, min_seconds) for name, call in contenders.items()}
    best = dict.fromkeys(contenders, float("inf"))
    faults = dict.fromkeys(contenders, 0.0)
    gc.disable()
    try:
        for _ in range(reps):
            for name, call in contenders.items():
                time_calls(call, 1)
                ns, faulted = time_calls(call, counts[name])
                if ns / counts[name] < best[name]:
                    best[name], faults[name] = ns / counts[name], faulted / counts[name]
    finally:
        gc.enable()
    return best, faults


# Minor page faults per call of the best repetition: family -> who -> size.
FAULTS: dict = {}


def enter(figures: dict, family: str, size: int, outcome: tuple[dict, dict]) -> None:
    best, faults = outcome
    for who, ns in best.items():
        figures.setdefault(family, {}).setdefault(who, {})[size] = ns
        FAULTS.setdefault(family, {}).setdefault(who, {})[size] = faults[who]


def measure_ige(figures: dict, limit: Limit, sizes: list[int], min_seconds: float, reps: int) -> None:
    import pyclient
    for name, mode, ours, openssl in (
            ("ige256_encrypt", "ige_encrypt", oc.ige256_encrypt, pyclient.ige256_encrypt),
            ("ige256_decrypt", "ige_decrypt", oc.ige256_decrypt, pyclient.ige256_decrypt)):
        for size in sizes:
            data = os.urandom(size)
            enter(figures, name, size, race({"ours": lambda: ours(data, KEY, IGE_IV),
                                             "openssl": lambda: openssl(data, KEY, IGE_IV),
                                             "limit": Remote(limit.timer(mode, size))}, min_seconds, reps))


def measure_ctr(figures: dict, limit: Limit, sizes: list[int], min_seconds: float, reps: int) -> None:
    import pyclient
    for size in sizes:
        data = os.urandom(size)
        iv, state = bytearray(CTR_IV), bytearray(1)
        stream = pyclient.ctr256_encryptor(KEY, CTR_IV)
        enter(figures, "ctr256_encrypt", size, race({"ours": lambda: oc.ctr256_encrypt(data, KEY, iv, state),
                                                     "cryptography": lambda: stream.update(data),
                                                     "limit": Remote(limit.timer("ctr", size))}, min_seconds, reps))


def measure_messages(figures: dict, limit: MessageLimit, sizes: list[int], min_seconds: float, reps: int) -> None:
    import pyclient
    msg_key = os.urandom(16)
    enter(figures, "kdf", 16, race({"ours": lambda: oc.kdf(AUTH_KEY, msg_key, True),
                                    "python": lambda: pyclient.kdf(AUTH_KEY, msg_key, True),
                                    "hashes": Remote(limit.timer("hashes", 0))}, min_seconds, reps))
    for size in sizes:
        data = os.urandom(size)
        with_limit = size in LIMIT_MESSAGE_SIZES
        contenders = {"ours": lambda: oc.pack_message(data, SALT, SESSION_ID, AUTH_KEY, AUTH_KEY_ID),
                      "python": lambda: pyclient.pack_message(data, SALT, SESSION_ID, AUTH_KEY, AUTH_KEY_ID)}
        if with_limit:
            contenders["limit"] = Remote(limit.timer("pack", size))
        enter(figures, "pack_message", size, race(contenders, min_seconds, reps))
        packed = server_message(data)
        contenders = {"ours": lambda: oc.unpack_message(packed, SESSION_ID, AUTH_KEY, AUTH_KEY_ID),
                      "python": lambda: pyclient.unpack_message(packed, SESSION_ID, AUTH_KEY, AUTH_KEY_ID)}
        if with_limit:
            contenders["limit"] = Remote(limit.timer("unpack", size))
        enter(figures, "unpack_message", size, race(contenders, min_seconds, reps))


# ---------------------------------------------------------------------------
# Peak memory, each function in a fresh interpreter


def status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def memory_child(function: str) -> None:
    size = MEMORY_SIZE
    if function == "ige256_encrypt":
        data = os.urandom(size)
        call = lambda: oc.ige256_encrypt(data, KEY, IGE_IV)  # noqa: E731
    elif function == "ctr256_encrypt":
        data = os.urandom(size)
        call = lambda: oc.ctr256_encrypt(data, KEY, bytearray(CTR_IV), bytearray(1))  # noqa: E731
    elif function == "pack_message":
        data = os.urandom(size)
        call = lambda: oc.pack_message(data, SALT, SESSION_ID, AUTH_KEY, AUTH_KEY_ID)  # noqa: E731
    elif function == "unpack_message":
        data = server_message(os.urandom(size - 40))
        call = lambda: oc.unpack_message(data, SESSION_ID, AUTH_KEY, AUTH_KEY_ID)  # noqa: E731
    else:
        raise SystemExit(f"unknown function {function}")
    gc.collect()
    # Writing 5 to clear_refs resets the peak (VmHWM) to the present size, so
    # the building of the input above does not count.
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
    before = status_kib("VmRSS")
    result = call()
    peak = status_kib("VmHWM")
    print(json.dumps({"input": len(data), "output": len(result), "growth": (peak - before) * 1024}))


def measure_memory() -> dict:
    figures = {}
    for function in ("ige256_encrypt", "ctr256_encrypt", "pack_message", "unpack_message"):
        module_dir = ["--module-dir", str(MODULE_DIR)] if MODULE_DIR is not None else []
        output = subprocess.run([sys.executable, __file__, "--memory-child", function, *module_dir],
                                check=True, capture_output=True, text=True).stdout
        figure = json.loads(output)
        figure["ratio"] = figure["growth"] / figure["output"]
        figures[function] = figure
    return figures


# ---------------------------------------------------------------------------
# Report


def table(title: str, columns: list[str], rows: list[list[str]]) -> None:
    widths = [max(len(columns[i]), *(len(row[i]) for row in rows)) for i in range(len(columns))]
    print(f"\n{title}")
    print("  ".join(c.rjust(w) for c, w in zip(columns, widths)))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print("  ".join(c.rjust(w) for c, w in zip(row, widths)))


def ns_per_byte(ns: float, size: int) -> str:
    return f"{ns / size:.3f}"


def gbps(ns: float, size: int) -> float:
    return size / ns  # bytes per nanosecond = GB/s


def report(results: dict, quick: bool) -> list[dict]:
    figures, faults, targets = results["ns_per_call"], results["minor_faults_per_call"], []

    def faults_of(name: str, size: int, order: list[str]) -> str:
        return "/".join(f"{faults[name][who][size]:.0f}" for who in order)

    def target(name: str, value: float, bound: float, at_most: bool) -> None:
        met = value <= bound if at_most else value >= bound
        targets.append({"target": name, "value": round(value, 3), "bound": bound,
                        "kind": "at most" if at_most else "at least", "met": met})

    for name in ("ige256_encrypt", "ige256_decrypt"):
        f = figures[name]
        rows = []
        for size in SIZES:
            ours, openssl, limit = f["ours"][size], f["openssl"][size], f["limit"][size]
            rows.append([size_label(size), ns_per_byte(ours, size), ns_per_byte(openssl, size),
                         ns_per_byte(limit, size), f"{ours / limit:.2f}", f"{openssl / ours:.2f}",
                         faults_of(name, size, ["ours", "openssl", "limit"])])
            if size >= 1 * MiB:
                target(f"{name} {size_label(size)}: ours / limit", ours / limit, 1.45, True)
                target(f"{name} {size_label(size)}: speed-up over AES_ige_encrypt", openssl / ours, 5.0, False)
        table(f"{name} (ns per byte)", ["size", "ours", "AES_ige_encrypt", "limit", "ours/limit", "speed-up", "faults/call"],
              rows)

    f = figures["ctr256_encrypt"]
    rows = []
    for size in SIZES:
        ours, crypto, limit = f["ours"][size], f["cryptography"][size], f["limit"][size]
        rows.append([size_label(size), ns_per_byte(ours, size), ns_per_byte(crypto, size),
                     ns_per_byte(limit, size), f"{crypto / ours:.2f}", f"{ours / limit:.2f}",
                     faults_of("ctr256_encrypt", size, ["ours", "cryptography", "limit"])])
        if size >= 64 * KiB:
            target(f"ctr256_encrypt {size_label(size)}: speed vs cryptography", crypto / ours, 1.0, False)
            target(f"ctr256_encrypt {size_label(size)}: ours / limit", ours / limit, 1.6, True)
    table(f"ctr256_encrypt (ns per byte; limit: {results['ctr_limit_variant']})",
          ["size", "ours", "cryptography", "limit", "speed vs cryptography", "ours/limit", "faults/call"], rows)

    f = figures["kdf"]
    ours, python, hashes = f["ours"][16], f["python"][16], f["hashes"][16]
    table("kdf (ns per call; two hashes: the two one-block SHA-256 of the derivation in C++)",
          ["", "ours", "hashlib", "two hashes", "speed-up", "ours/two hashes"],
          [["", f"{ours:.0f}", f"{python:.0f}", f"{hashes:.0f}", f"{python / ours:.2f}", f"{ours / hashes:.2f}"]])
    target("kdf: speed-up over hashlib", python / ours, 5.0, False)
    target("kdf: ours / two bare hashes", ours / hashes, 1.5, True)

    for name in ("pack_message", "unpack_message"):
        f = figures[name]
        rows = []
        for size in MESSAGE_SIZES:
            ours, python, limit = f["ours"][size], f["python"][size], f.get("limit", {}).get(size)
            rows.append([size_label(size), f"{ours / 1000:.3f}", f"{python / 1000:.2f}",
                         f"{limit / 1000:.3f}" if limit else "", f"{python / ours:.2f}",
                         f"{ours / limit:.2f}" if limit else ""])
            if limit and size == 256:
                target(f"{name} {size_label(size)}: ours / limit", ours / limit, 1.2, True)
        table(f"{name} (microseconds per call; limit: bench/message_limit.cpp)",
              ["payload", "ours", "Python client", "limit", "speed-up", "ours/limit"], rows)
    pack, unpack = figures["pack_message"], figures["unpack_message"]
    both = (pack["python"][256] + unpack["python"][256]) / (pack["ours"][256] + unpack["ours"][256])
    target("pack_message + unpack_message 256 B: speed-up over Python", both, 8.0, False)

    memory = results["memory"]
    table(f"peak memory on a {MEMORY_SIZE // MiB} MiB input (growth of peak RSS / output size)",
          ["function", "growth MiB", "output MiB", "ratio"],
          [[name, f"{m['growth'] / MiB:.1f}", f"{m['output'] / MiB:.1f}", f"{m['ratio']:.3f}"]
           for name, m in memory.items()])
    for name, m in memory.items():
        target(f"{name}: peak memory / output", m["ratio"], 1.1, True)

    print("\ntargets" + (" (--quick run: indicative only)" if quick else ""))
    for t in targets:
        print(f"  {'met   ' if t['met'] else 'MISSED'}  {t['target']}: {t['value']:.2f} ({t['kind']} {t['bound']})")
    return targets


def plot(results: dict, path: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figures = results["ns_per_call"]
    panels = [("ige256_encrypt", SIZES), ("ige256_decrypt", SIZES), ("ctr256_encrypt", SIZES),
              ("pack_message", MESSAGE_SIZES), ("unpack_message", MESSAGE_SIZES)]
    labels = {"ours": "orvanecrypto", "openssl": "AES_ige_encrypt (ctypes)", "limit": "limit (C++)",
              "cryptography": "cryptography AES-CTR", "python": "Python client (hashlib + ctypes)"}
    styles = {"ours": ("C0", "o"), "openssl": ("C3", "s"), "limit": ("k", "^"), "cryptography": ("C2", "D"),
              "python": ("C1", "v")}
    fig, axes = plt.subplots(2, 3, figsize=(15, 8.5))
    for ax, (name, sizes) in zip(axes.flat, panels):
        for who, series in figures[name].items():
            colour, marker = styles[who]
            shown = [s for s in sizes if s in series]
            ax.plot(shown, [gbps(series[s], s) for s in shown], marker=marker, color=colour, label=labels[who],
                    linestyle="--" if who == "limit" else "-")
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.set_xticks(sizes, [size_label(s) for s in sizes], rotation=45, fontsize=8)
        ax.set_title(name)
        ax.set_xlabel("data size")
        ax.set_ylabel("GB/s")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    ax = axes.flat[5]
    memory = results["memory"]
    ax.bar(list(memory), [m["ratio"] for m in memory.values()], color="C0")
    ax.axhline(1.1, color="C3", linestyle="--", label="target 1.1")
    ax.set_title(f"peak memory growth / output size ({MEMORY_SIZE // MiB} MiB)")
    ax.tick_params(axis="x", labelrotation=20)
    ax.legend(fontsize=8)
    m = results["machine"]
    fig.suptitle(f"orvanecrypto throughput on {m['processor']} (Python {m['python']}, {m['libcrypto']})")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a short run with fewer, shorter repetitions")
    parser.add_argument("--no-plot", action="store_true", help="skip bench/results.png")
    parser.add_argument("--output", type=Path, help="default: bench/results.json, or results-wheel.json with --wheel")
    parser.add_argument("--wheel", type=Path, help="time the module of this wheel instead of the installed one")
    parser.add_argument("--module-dir", type=Path, help=argparse.SUPPRESS)
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        import_module(args.module_dir)
        memory_child(args.memory_child)
        return
    if args.output is None:
        args.output = BENCH / ("results-wheel.json" if args.wheel else "results.json")
    with tempfile.TemporaryDirectory(prefix="orvanecrypto-bench-") as unpacked:
        if args.wheel:
            with zipfile.ZipFile(args.wheel) as wheel:
                wheel.extractall(unpacked)
            args.module_dir = Path(unpacked)
        import_module(args.module_dir)
        run(args)


def import_module(module_dir: Path | None) -> None:
    """Imports orvanecrypto as `oc`, from `module_dir` if given (and then from
    there only)."""
    global MODULE_DIR, oc
    MODULE_DIR = module_dir
    if module_dir is not None:
        sys.path.insert(0, str(module_dir))
    import orvanecrypto
    oc = orvanecrypto
    if module_dir is not None and not Path(oc.__file__).resolve().is_relative_to(module_dir.resolve()):
        raise SystemExit(f"bench: imported {oc.__file__}, not the module in {module_dir}")


def run(args: argparse.Namespace) -> None:

    # Many short repetitions rather than a few long ones: on a shared machine
    # the best of them is the one least disturbed by other work.
    min_seconds, reps = (0.005, 3) if args.quick else (0.02, 9)
    info = machine()
    print(f"module: {oc.__file__}" + (f" (from {args.wheel.name})" if args.wheel else ""))
    flags = " ".join(f"{flag}={'yes' if present else 'no'}" for flag, present in info["flags"].items())
    print(f"processor: {info['processor']} ({info['logical_cpus']} logical CPUs); {flags}")
    print(f"Python {info['python']}; {info['libcrypto']}; cryptography {info['cryptography']}")
    print(f"best of {reps} repetitions of at least {min_seconds * 1000:.0f} ms each; "
          "faults/call: minor page faults per call in the best repetition (ours/other/limit)")

    limit, message_limit = Limit(), MessageLimit()
    check_client()
    figures: dict = {}
    try:
        measure_ige(figures, limit, SIZES, min_seconds, reps)
        measure_ctr(figures, limit, SIZES, min_seconds, reps)
        measure_messages(figures, message_limit, MESSAGE_SIZES, min_seconds, reps)
    finally:
        limit.close()
        message_limit.close()

    results = {"machine": info, "settings": {"quick": args.quick, "repetitions": reps,
                                             "min_seconds_per_repetition": min_seconds},
               "ctr_limit_variant": limit.variant, "ns_per_call": figures,
               "minor_faults_per_call": FAULTS, "memory": measure_memory()}
    results["targets"] = report(results, args.quick)
    args.output.write_text(json.dumps(results, indent=1) + "\n")
    print(f"\nwrote {args.output.relative_to(REPO) if args.output.is_relative_to(REPO) else args.output}")
    if not args.no_plot:
        png = args.output.with_suffix(".png")
        plot(results, png)
        print(f"wrote {png.relative_to(REPO) if png.is_relative_to(REPO) else png}")


if __name__ == "__main__":
    sys.path.insert(0, str(BENCH))
    main()
