"""pack_message when the operating system's random source misbehaves.

A small shared library preloaded into a child interpreter replaces libc's
getrandom: it passes calls through until the child switches it to failing,
returning 0, or answering with EINTR and short reads.
"""

import errno
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import reference

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="getrandom shim is Linux only")

SHIM_SOURCE = r"""
#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

/* 0: pass through; 1: fail with shim_errno; 2: return 0;
   3: shim_eintr calls fail with EINTR, then each call fills at most
      shim_chunk bytes with the number of the call. */
int shim_mode = 0;
int shim_errno = 0;
int shim_eintr = 0;
size_t shim_chunk = 1;
int shim_calls = 0;

ssize_t getrandom(void *buf, size_t len, unsigned int flags) {
    if (shim_mode == 0) return syscall(SYS_getrandom, buf, len, flags);
    ++shim_calls;
    switch (shim_mode) {
    case 1:
        errno = shim_errno;
        return -1;
    case 2:
        return 0;
    default:
        if (shim_calls <= shim_eintr) {
            errno = EINTR;
            return -1;
        }
        size_t n = len < shim_chunk ? len : shim_chunk;
        memset(buf, shim_calls & 0xff, n);
        return (ssize_t)n;
    }
}
"""

CHILD_SOURCE = textwrap.dedent(
    r"""
    import ctypes, json, sys
    import orvanecrypto

    config = json.loads(sys.argv[1])
    shim = ctypes.CDLL(config["shim"])
    setting = lambda kind, name: kind.in_dll(shim, name)
    arguments = [bytes.fromhex(a) if isinstance(a, str) else a for a in config["arguments"]]

    setting(ctypes.c_int, "shim_errno").value = config.get("errno", 0)
    setting(ctypes.c_int, "shim_eintr").value = config.get("eintr", 0)
    setting(ctypes.c_size_t, "shim_chunk").value = config.get("chunk", 1)
    setting(ctypes.c_int, "shim_mode").value = config["mode"]
    report = {"result": None}
    try:
        report["result"] = orvanecrypto.pack_message(*arguments).hex()
    except BaseException as error:
        report["error"] = type(error).__name__
        report["message"] = str(error)
        report["errno"] = getattr(error, "errno", None)
        report["strerror"] = getattr(error, "strerror", None)
    report["calls"] = setting(ctypes.c_int, "shim_calls").value

    # Once the source works again, so does packing.
    setting(ctypes.c_int, "shim_mode").value = 0
    try:
        report["after"] = orvanecrypto.pack_message(*arguments).hex()
    except BaseException as error:
        report["after_error"] = type(error).__name__
    print(json.dumps(report))
    """
)

AUTH_KEY = bytes(range(256))
AUTH_KEY_ID = bytes.fromhex("0102030405060708")
SESSION_ID = bytes.fromhex("a1a2a3a4a5a6a7a8")
SALT = -0x1122334455667788


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        pytest.skip("no C compiler to build the getrandom shim")
    directory = tmp_path_factory.mktemp("shim")
    source = directory / "getrandom_shim.c"
    source.write_text(SHIM_SOURCE)
    library = directory / "getrandom_shim.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(library), str(source)], check=True)
    # An interpreter run under emulation next to the host's compiler (the
    # release wheels' arm64 musl try) cannot preload what that compiler makes.
    if _elf_machine(library) != _elf_machine(os.path.realpath(sys.executable)):
        pytest.skip("the C compiler here builds for another architecture than the interpreter's")
    return library


def _elf_machine(path):
    with open(path, "rb") as file:
        header = file.read(20)
    return header[18:20]


def _run_child(shim, mode, data=b"payload", session_id=SESSION_ID, auth_key=AUTH_KEY, auth_key_id=AUTH_KEY_ID,
               salt=SALT, **settings):
    config = {
        "shim": str(shim),
        "mode": mode,
        "arguments": [data.hex(), salt, session_id.hex(), auth_key.hex(), auth_key_id.hex()],
        **settings,
    }
    environment = dict(os.environ, LD_PRELOAD=str(shim))
    done = subprocess.run(
        [sys.executable, "-c", CHILD_SOURCE, json.dumps(config)],
        env=environment, capture_output=True, text=True, timeout=60,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def _open(packed_hex, data):
    """Checks an outgoing message independently; returns its padding."""
    packed = bytes.fromhex(packed_hex)
    assert packed[:8] == AUTH_KEY_ID
    assert len(packed) == 24 + 16 + len(data) + reference.padding_length(len(data))
    plaintext = reference.open_client_message(packed, AUTH_KEY)
    assert plaintext[:8] == SALT.to_bytes(8, "little", signed=True)
    assert plaintext[8:16] == SESSION_ID
    assert plaintext[16:16 + len(data)] == data
    assert packed[8:24] == reference.msg_key_of(AUTH_KEY, plaintext, True)
    return plaintext[16 + len(data):]


@pytest.mark.parametrize("code", [errno.EIO, errno.ENOSYS, errno.EPERM, errno.EAGAIN, errno.EFAULT])
def test_failing_source_raises_its_os_error(shim, code):
    report = _run_child(shim, 1, errno=code)
    assert report["result"] is None
    assert report["error"] == type(OSError(code, "")).__name__
    assert report["errno"] == code
    assert report["strerror"] == os.strerror(code)
    assert report["calls"] == 1  # no retry on a real failure
    _open(report["after"], b"payload")


# A zero after an interrupted call finds errno still EINTR from that call: the
# zero must not be taken for another interruption and retried forever.
@pytest.mark.parametrize("mode, settings, calls", [(2, {}, 1), (3, {"eintr": 1, "chunk": 0}, 2)],
                         ids=["at once", "after an interruption"])
def test_source_giving_nothing_is_an_io_error(shim, mode, settings, calls):
    report = _run_child(shim, mode, **settings)
    assert report["result"] is None
    assert report["error"] == "OSError"
    assert report["errno"] == errno.EIO
    assert report["calls"] == calls  # no spinning on a source that makes no progress
    _open(report["after"], b"payload")


@pytest.mark.parametrize(
    "arguments, error, calls",
    [
        # session_id is copied before the padding is drawn
        ({"session_id": SESSION_ID[:7]}, "PanicException", 0),
        # the padding is drawn before auth_key and auth_key_id are looked at
        ({"auth_key": AUTH_KEY[:87]}, "OSError", 1),
        ({"auth_key_id": AUTH_KEY_ID[:7]}, "OSError", 1),
    ],
    ids=["session_id", "auth_key", "auth_key_id"],
)
def test_failing_source_in_fault_order(shim, arguments, error, calls):
    report = _run_child(shim, 1, errno=errno.EIO, **arguments)
    assert report["result"] is None
    assert report["error"] == error
    assert report["calls"] == calls
    assert report["after_error"] == "PanicException"  # the arguments stay wrong


@pytest.mark.parametrize(
    "length, eintr, chunk",
    [(0, 3, 5), (4, 0, 1), (5, 2, 7), (20, 1, 100), (1000, 4, 3)],
)
def test_interrupted_and_short_reads_still_fill_padding(shim, length, eintr, chunk):
    data = bytes(range(256)) * (length // 256) + bytes(range(length % 256))
    report = _run_child(shim, 3, data=data, eintr=eintr, chunk=chunk)
    assert "error" not in report, report
    padding = _open(report["result"], data)
    # Each successful call fills the next piece, none is lost or overwritten.
    expected = bytearray()
    call = eintr
    while len(expected) < len(padding):
        call += 1
        expected += bytes([call & 0xFF]) * min(chunk, len(padding) - len(expected))
    assert padding == bytes(expected)
    assert report["calls"] == call
