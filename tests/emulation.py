"""What the process environment can do, found by trying it rather than by the
machine's name: a real arm64 or s390x machine runs everything, while QEMU user
emulation (which runs the suite for other architectures) cannot enforce an
address-space limit and runs the interpreter many times slower.
"""

import functools
import os
import subprocess
import sys

LIMIT_PROBE = r"""
import resource, sys
allocation = int(sys.argv[1])
with open("/proc/self/status") as lines:
    size = next(int(line.split()[1]) << 10 for line in lines if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    block = bytearray(allocation)
except MemoryError:
    print("refused")
else:
    print("granted")
"""


def allocation_under_limit(allocation: int) -> str:
    """Allocates `allocation` bytes in a child whose address space is limited
    to its current size plus 64 MiB; returns "granted" or "refused"."""
    # The free-threaded build's allocator would otherwise serve the block from
    # the gigabyte it reserves up front, inside the limit (as in the fault tests).
    env = dict(os.environ, MIMALLOC_ARENA_RESERVE="0")
    child = subprocess.run([sys.executable, "-c", LIMIT_PROBE, str(allocation)],
                           capture_output=True, text=True, timeout=120, env=env)
    assert child.returncode == 0, child.stderr
    return child.stdout.strip()


@functools.cache
def address_space_limit_holds() -> bool:
    """Whether RLIMIT_AS really stops an allocation. QEMU user mode accepts
    setrlimit(RLIMIT_AS) but never applies it to the program it runs."""
    return allocation_under_limit(512 << 20) == "refused"


@functools.cache
def emulator_name() -> str | None:
    """The user-mode emulator the interpreter runs under, or None. The emulator
    hides itself from the process it runs (/proc/self/exe is rewritten), not
    from another process: a child's executable, seen from here, is the
    emulator's binary."""
    child = subprocess.Popen([sys.executable, "-c", "import sys; sys.stdin.read()"],
                             stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    try:
        executable = os.path.basename(os.readlink(f"/proc/{child.pid}/exe"))
    except OSError:  # no /proc, or another process's links hidden: nothing tells of an emulator
        executable = ""
    finally:
        child.communicate(timeout=120)
    return executable if executable.startswith("qemu-") else None
