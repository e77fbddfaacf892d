"""Faults injected from outside, each in a child interpreter of its own.

- Memory exhaustion: under an address-space limit (RLIMIT_AS) a call whose
  result cannot be allocated raises MemoryError, leaves its arguments alone
  and leaks nothing; the interpreter lives on and the same function works
  again afterwards.
- A PanicException raised by Python code during an argument conversion (a
  salt whose __index__ raises it) ends the call as that PanicException, with
  a notice on standard error.
- A thread that exits (pthread_exit) in the middle of a call unwinds through
  the module to its start instead of being caught as an error of the call.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

TESTS = os.path.dirname(os.path.abspath(__file__))


def run_child(code: str) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=TESTS + os.pathsep + os.environ.get("PYTHONPATH", ""))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, timeout=300)


MEMORY_CHILD = r"""
import json, resource, sys
import orvanecrypto
import reference

FUNCTION = {function!r}
BIG = 256 << 20

def status(field):
    with open("/proc/self/status") as lines:
        for line in lines:
            if line.startswith(field + ":"):
                return int(line.split()[1]) << 10
    raise LookupError(field)

key, ige_iv, auth_key = bytes(range(32)), bytes(range(32, 64)), bytes(range(256))
auth_key_id, session_id = auth_key[:8], bytes(8)

def server_message(payload):
    # An incoming message; the key material comes from the reference, the bulk
    # encryption from the module (the reference is too slow for megabytes).
    plaintext = bytes(8) + session_id + payload + bytes(reference.padding_length(len(payload)))
    msg_key = reference.msg_key_of(auth_key, plaintext, outgoing=False)
    aes_key, aes_iv = reference.derive_key_iv(auth_key, msg_key, outgoing=False)
    return auth_key_id + msg_key + orvanecrypto.ige256_encrypt(plaintext, aes_key, aes_iv)

def call(data, huge=False):
    # FUNCTION on `data` (for unpack_message, a huge input is the packed
    # message itself); returns the result and the bytearrays it may write to.
    if FUNCTION == "ige256_encrypt":
        return orvanecrypto.ige256_encrypt(data, key, ige_iv), ()
    if FUNCTION == "ige256_decrypt":
        return orvanecrypto.ige256_decrypt(data, key, ige_iv), ()
    if FUNCTION == "ctr256_encrypt":
        iv, state = bytearray(range(16)), bytearray([5, 7])
        try:
            return orvanecrypto.ctr256_encrypt(data, key, iv, state), (iv, state)
        except MemoryError:
            assert iv == bytearray(range(16)) and state == bytearray([5, 7]), "arguments written on failure"
            raise
    if FUNCTION == "pack_message":
        return orvanecrypto.pack_message(data, -1, session_id, auth_key, auth_key_id), ()
    if FUNCTION == "unpack_message":
        # The huge one fails for want of memory before anything is compared.
        packed = data if huge else server_message(data)
        return orvanecrypto.unpack_message(packed, session_id, auth_key, auth_key_id), ()
    raise LookupError(FUNCTION)

def expected_small(size):
    data = bytes(range(256)) * (size // 256)
    if FUNCTION == "ige256_encrypt":
        assert orvanecrypto.ige256_encrypt(data, key, ige_iv) == reference.ige_encrypt(data, key, ige_iv)
    elif FUNCTION == "ige256_decrypt":
        assert orvanecrypto.ige256_decrypt(data, key, ige_iv) == reference.ige_decrypt(data, key, ige_iv)
    elif FUNCTION == "ctr256_encrypt":
        out = orvanecrypto.ctr256_encrypt(data, key, bytearray(16), bytearray(1))
        assert out == reference.ctr_crypt(data, key, bytes(16), 0)[0]
    elif FUNCTION == "pack_message":
        packed = orvanecrypto.pack_message(data, -1, session_id, auth_key, auth_key_id)
        assert reference.open_client_message(packed, auth_key)[16:16 + size] == data
    else:
        packed = reference.build_server_message(data, session_id, auth_key, auth_key_id)
        assert orvanecrypto.unpack_message(packed, session_id, auth_key, auth_key_id)[:size] == data

call(bytes(1 << 20))  # warm up: library objects, allocator pools
# The huge input exists before the limit is set: only the call itself allocates.
huge = auth_key_id + bytes(16 + BIG) if FUNCTION == "unpack_message" else bytes(BIG)
baseline = {{"size": status("VmSize"), "rss": status("VmRSS"), "peak": status("VmHWM")}}
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (baseline["size"] + BIG // 2, hard))

failures = 0
for attempt in range(20):
    try:
        call(huge, huge=True)
    except MemoryError:
        failures += 1
after = {{"size": status("VmSize"), "rss": status("VmRSS"), "peak": status("VmHWM")}}
# Still alive and working, under the same limit: a mid-sized input, and a
# small one checked against the reference.
result, _ = call(bytes(BIG // 16))
assert len(result) >= BIG // 16 - 64
del result
expected_small(4096)
print(json.dumps({{"failures": failures, "baseline": baseline, "after": after,
                  "limit": baseline["size"] + BIG // 2}}))
"""

MEMORY_FUNCTIONS = ["ige256_encrypt", "ige256_decrypt", "ctr256_encrypt", "pack_message", "unpack_message"]


@pytest.mark.parametrize("function", MEMORY_FUNCTIONS)
def test_memory_exhaustion_raises_memory_error_and_recovers(function):
    child = run_child(MEMORY_CHILD.format(function=function))
    assert child.returncode == 0, child.stderr
    figures = json.loads(child.stdout.strip().splitlines()[-1])
    assert figures["failures"] == 20
    # Twenty failed 256 MiB calls leave the address space, the resident set and
    # its peak where they were.
    slack = 8 << 20
    assert figures["after"]["size"] <= figures["baseline"]["size"] + slack, figures
    assert figures["after"]["rss"] <= figures["baseline"]["rss"] + slack, figures
    assert figures["after"]["peak"] <= figures["baseline"]["peak"] + slack, figures


PANIC_CHILD = r"""
import sys
import orvanecrypto

try:
    orvanecrypto.kdf(b"", b"", True)
except BaseException as fault:
    PanicException = type(fault)

class PanicSubclass(PanicException):
    pass

class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")

class Salt:
    def __init__(self, exception):
        self.exception = exception
    def __index__(self):
        raise self.exception

def outcome(exception):
    sys.stderr.write("--- call ---\n")
    sys.stderr.flush()
    try:
        orvanecrypto.pack_message(b"payload", Salt(exception), bytes(8), bytes(120), bytes(8))
    except BaseException as raised:
        return [type(raised).__name__, type(raised) is PanicException, str(raised),
                getattr(raised, "__notes__", None)]
    return None

print(outcome(PanicException("salt conversion went wrong")))
print(outcome(PanicException(Unprintable())))
print(outcome(PanicSubclass("only a subclass")))
print(len(orvanecrypto.pack_message(b"payload", 1, bytes(8), bytes(120), bytes(8))))
"""


def test_panic_from_salt_index_ends_the_call_as_that_panic():
    child = run_child(PANIC_CHILD)
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    assert lines[0] == "['PanicException', True, 'salt conversion went wrong', None]"
    assert lines[1] == "['PanicException', True, 'Unwrapped panic from Python code', None]"
    # Only the exact class is passed through; a subclass is an ordinary conversion failure.
    assert lines[2] == "['PanicSubclass', False, 'only a subclass', [\"while processing 'salt'\"]]"
    assert lines[3] == str(24 + 48)  # the interpreter goes on, and so does the module

    notices = child.stderr.split("--- call ---\n")
    first, second, third = notices[1:]
    assert "salt" in first and "salt conversion went wrong" in first and "PanicException" in first
    assert "Traceback" in first
    assert "PanicException" in second
    assert third == ""  # a conversion failure is raised, not reported


THREAD_EXIT_CHILD = r"""
import ctypes, sys, threading, time
import orvanecrypto

libc = ctypes.CDLL(None)  # a ctypes call detaches from the interpreter meanwhile
libc.pthread_exit.argtypes = [ctypes.c_void_p]

class Salt:
    def __index__(self):
        libc.pthread_exit(None)

def client():
    orvanecrypto.pack_message(b"payload", Salt(), bytes(8), bytes(256), bytes(8))
    print("the call returned", flush=True)

thread = threading.Thread(target=client, daemon=True)
thread.start()
time.sleep(1)  # the exited thread never reports itself finished
print(len(orvanecrypto.pack_message(b"payload", 1, bytes(8), bytes(256), bytes(8))), flush=True)
sys.stdout.flush()
import os; os._exit(0)
"""


def test_thread_exit_during_a_call_unwinds_through_the_module():
    child = run_child(THREAD_EXIT_CHILD)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [str(24 + 48)], child.stdout
