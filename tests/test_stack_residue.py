"""What a call leaves in the dead part of the C stack once it has returned.

The CTR functions make the keystream of a block used only in part in a
buffer on the stack, and scrub it before they return. The test makes such a
block deep in the stack (under a pile of C-level calls, so that the shallow
calls that follow do not overwrite the frame), copies the main thread's
stack, and only then works out the keystream block to look for in the copy.

The control leaves known bytes in a returned call's frame the same way:
arguments that the calling convention passes on the stack, of a call through
ctypes to a Python callback. The file is left out of the valgrind check, as
memcheck rightly reports every read below the stack pointer.
"""

import ctypes
import os
import sys
import threading

import pytest

import orvanecrypto


def main_thread_stack():
    with open("/proc/self/maps") as maps:
        for line in maps:
            if line.rstrip().endswith("[stack]"):
                start, end = (int(bound, 16) for bound in line.split()[0].split("-"))
                return start, end
    return None


def called_deep(call, levels=64):
    """`call()` under `levels` C-level calls back into Python."""
    if levels == 0:
        return call()
    return next(map(lambda _: called_deep(call, levels - 1), [None]))


def stack_after(call):
    """Runs `call` deep in the stack, then returns a copy of the stack."""
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("needs the main thread's stack")
    if hasattr(ctypes.CDLL(None), "__asan_init"):
        pytest.skip("AddressSanitizer's runtime keeps dead stack memory its own way (the control fails there)")
    called_deep(call)
    stack = main_thread_stack()  # read after the call, which may have grown it
    if stack is None:
        pytest.skip("needs the main thread's stack in /proc/self/maps")
    start, end = stack
    return ctypes.string_at(start, end - start)


def test_control_bytes_left_in_a_returned_frame_are_found():
    # Twelve word arguments: every calling convention passes the last ones on
    # the stack, and the last two are adjacent there.
    words = [int.from_bytes(os.urandom(8), "little") for _ in range(12)]
    callback = ctypes.CFUNCTYPE(None, *[ctypes.c_uint64] * 12)(lambda *args: None)
    copy = stack_after(lambda: callback(*words))
    assert words[-2].to_bytes(8, sys.byteorder) + words[-1].to_bytes(8, sys.byteorder) in copy


@pytest.mark.parametrize("fn", [orvanecrypto.ctr256_encrypt, orvanecrypto.ctr256_decrypt],
                         ids=lambda f: f.__name__)
def test_partial_block_keystream_is_scrubbed(fn):
    key, iv = os.urandom(32), os.urandom(16)
    # One byte of a fresh block: the other 15 keystream bytes stay unused.
    # The arguments outlive the call, so nothing is freed down there after it.
    position, offset = bytearray(iv), bytearray(1)
    copy = stack_after(lambda: fn(b"\0", key, position, offset))
    keystream = orvanecrypto.ctr256_encrypt(bytes(16), key, bytearray(iv), bytearray(1))
    assert keystream[1:] not in copy
