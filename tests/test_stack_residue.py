"""What a call leaves in the dead part of the C stack once it has returned.

The CTR functions make the keystream of a block used only in part in a
buffer on the stack, and scrub it before they return. The test makes such a
block deep in the stack (under a pile of C-level calls, so that the shallow
calls that follow do not overwrite the frame), copies the main thread's
stack, and only then works out the keystream block to look for in the copy.

The IGE functions on a processor with AES instructions load the round keys
of the call into a stack object and overwrite it with zeros when they return;
through the crypto library's cipher (the portable path, arm64's ARMv8 AES)
its frames are overwritten once the chain is done. The test looks for each
expanded round key (written here from FIPS 197) in the dead stack after a
call.

The kdf hashes lay out 36-byte runs of auth_key in a working block on the
stack and wipe it once hashed, or hand them to the crypto library, whose
message words stay in its frames until the module wipes the stack below it;
the test looks for both runs, in either byte order, after a call.

The control leaves known bytes in a returned call's frame the same way:
arguments that the calling convention passes on the stack, of a call through
ctypes to a Python callback. The file is left out of the valgrind check, as
memcheck rightly reports every read below the stack pointer.
"""

import collections
import ctypes
import functools
import operator
import os
import signal
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
    # the stack (not always side by side: i386's libffi leaves 32 bytes
    # between them).
    words = [int.from_bytes(os.urandom(8), "little") for _ in range(12)]
    callback = ctypes.CFUNCTYPE(None, *[ctypes.c_uint64] * 12)(lambda *args: None)
    copy = stack_after(lambda: callback(*words))
    assert words[-2].to_bytes(8, sys.byteorder) in copy and words[-1].to_bytes(8, sys.byteorder) in copy


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


def aes256_round_keys(key):
    """FIPS 197 key expansion (Nk = 8): the 15 round keys of `key`."""
    sbox, p, q = [0x63] * 256, 1, 1
    while True:  # p runs through GF(2^8)* by steps of 3, q through the inverses
        p ^= ((p << 1) ^ (0x1B if p & 0x80 else 0)) & 0xFF
        q ^= q << 1
        q ^= q << 2
        q ^= q << 4
        q &= 0xFF
        if q & 0x80:
            q ^= 0x09
        sbox[p] = 0x63 ^ q
        for n in range(1, 5):
            sbox[p] ^= (q << n | q >> (8 - n)) & 0xFF
        if p == 1:
            break
    words, rcon = [key[i:i + 4] for i in range(0, 32, 4)], 1
    for i in range(8, 60):
        t = words[-1]
        if i % 8 == 0:
            t = bytes([sbox[t[1]] ^ rcon, sbox[t[2]], sbox[t[3]], sbox[t[0]]])
            rcon = (rcon << 1) ^ (0x11B if rcon & 0x80 else 0)
        elif i % 8 == 4:
            t = bytes(sbox[b] for b in t)
        words.append(bytes(a ^ b for a, b in zip(words[i - 8], t)))
    return [b"".join(words[4 * r:4 * r + 4]) for r in range(15)]


def gf_mul(a, b):
    product = 0
    for bit in range(8):
        if b >> bit & 1:
            product ^= a
        a = (a << 1) ^ (0x11B if a & 0x80 else 0)
    return product


def inv_mix_columns(block):
    return bytes(gf_mul(block[c + r], 14) ^ gf_mul(block[c + (r + 1) % 4], 11) ^ gf_mul(block[c + (r + 2) % 4], 13)
                 ^ gf_mul(block[c + (r + 3) % 4], 9) for c in range(0, 16, 4) for r in range(4))


@pytest.mark.parametrize("fn", [orvanecrypto.ige256_encrypt, orvanecrypto.ige256_decrypt],
                         ids=lambda f: f.__name__)
def test_ige_round_keys_are_scrubbed_from_the_stack(fn):
    # Controls: the third and the last round key of FIPS 197's AES-256 example
    # (appendix A.3), and InvMixColumns (which makes the decryption schedule
    # of the equivalent inverse cipher, as AESIMC does) undoing MixColumns on
    # four known columns.
    example = aes256_round_keys(bytes.fromhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4"))
    assert (example[2].hex(), example[14].hex()) == ("9ba354118e6925afa51a8b5f2067fcde",
                                                     "fe4890d1e6188d0b046df344706c631e")
    assert inv_mix_columns(bytes.fromhex("8e4da1bc9fdc589d4d7ebdf8d5d5d7d6")).hex() == "db135345f20a225c2d26314cd4d4d4d5"
    key = os.urandom(32)
    copy = stack_after(lambda: fn(bytes(256), key, bytes(32)))
    # The encryption schedule without round keys 0 and 1, the key itself,
    # which the caller holds anyway; the decryption schedule without the key's
    # first half, its last round key.
    schedule = aes256_round_keys(key)
    searched = schedule[2:] + [inv_mix_columns(round_key) for round_key in schedule[1:14]]
    assert [r for r, round_key in enumerate(searched) if round_key in copy] == []


@pytest.mark.parametrize("outgoing", [True, False])
def test_kdf_leaves_no_auth_key_on_the_stack(outgoing):
    # Both hashes of the derivation take 36 bytes of auth_key, at a word
    # boundary of their block: in its own order in the module's working block
    # and in a big-endian machine's message words, word by word reversed in a
    # little-endian machine's (the crypto library's portable SHA-256).
    auth_key, msg_key = os.urandom(256), os.urandom(16)
    copy = stack_after(lambda: orvanecrypto.kdf(auth_key, msg_key, outgoing))
    x = 0 if outgoing else 8
    runs = [auth_key[start:start + 36] for start in (x, 40 + x)]
    as_words = [b"".join(run[i:i + 4][::-1] for i in range(0, 36, 4)) for run in runs]
    assert [n for n, run in enumerate(runs + as_words) if run in copy] == []


# Saved register state: the vector registers that AES and SHA-256 code leaves
# behind are written to the stack by whatever saves the register state next.
# Two such savers, each right after a call: a signal (the kernel's signal frame
# holds every register) delivered deep in the main thread's stack, and a
# fresh thread, whose first use of the module's thread-local storage goes
# through the dynamic loader, searched in that thread's own stack. The dead
# stack must hold no round key of the call's key (both schedules) and no
# 16-byte window of the auth_key bytes it hashed, in their own byte order,
# word by word reversed, or reversed whole (a little-endian POWER processor's
# AES instructions take their operands in big-endian order). Control: `./dev check registers` runs these against a
# build that leaves the registers as they are, where they must be found.

def word_swapped(value):
    return b"".join(value[i:i + 4][::-1] for i in range(0, len(value), 4))


def round_keys_of(key):
    schedule = aes256_round_keys(key)
    return schedule[2:] + [inv_mix_columns(round_key) for round_key in schedule[1:14]]


def auth_key_windows(auth_key, *ranges):
    return [auth_key[start:start + 16] for first, end in ranges for start in range(first, end - 15, 4)]


def call_with_secrets(name):
    """A call of `name` with fresh secrets, and a function giving the 16-byte
    values that must not be left behind (some depend on the call's result)."""
    key, auth_key, data = os.urandom(32), os.urandom(256), os.urandom(256)
    fn, result = getattr(orvanecrypto, name), []
    if name.startswith("ige"):
        return lambda: fn(data, key, bytes(32)), lambda: round_keys_of(key)
    if name.startswith("ctr"):
        position, offset = bytearray(16), bytearray(1)
        return lambda: fn(data, key, position, offset), lambda: round_keys_of(key)
    if name == "kdf":
        msg_key = os.urandom(16)
        return lambda: fn(auth_key, msg_key, True), lambda: auth_key_windows(auth_key, (0, 36), (40, 76))
    auth_key_id, session_id = os.urandom(8), os.urandom(8)
    if name == "pack_message":
        def secrets():
            aes_key = orvanecrypto.kdf(auth_key, result[0][8:24], True)[0]
            return round_keys_of(aes_key) + auth_key_windows(auth_key, (0, 36), (40, 76), (88, 120))
        return lambda: result.append(fn(data, 1, session_id, auth_key, auth_key_id)), secrets
    packed = auth_key_id + os.urandom(16 + 256)  # refused after all the work: msg_key mismatch

    def unpack():
        with pytest.raises(ValueError, match="msg_key mismatch"):
            fn(packed, session_id, auth_key, auth_key_id)

    def secrets():
        aes_key = orvanecrypto.kdf(auth_key, packed[8:24], False)[0]
        return round_keys_of(aes_key) + auth_key_windows(auth_key, (8, 44), (48, 84), (96, 128))
    return unpack, secrets


def fresh_thread_stack_after(call):
    """Runs `call` deep in a new thread's stack, then returns a copy of that stack."""
    libc = ctypes.CDLL(None)
    if not hasattr(libc, "pthread_getattr_np"):
        pytest.skip("needs pthread_getattr_np")
    libc.pthread_self.restype = ctypes.c_void_p
    copies = []

    def run():
        called_deep(call)
        attributes = ctypes.create_string_buffer(256)  # larger than any pthread_attr_t
        base, size = ctypes.c_void_p(), ctypes.c_size_t()
        assert libc.pthread_getattr_np(ctypes.c_void_p(libc.pthread_self()), attributes) == 0
        assert libc.pthread_attr_getstack(attributes, ctypes.byref(base), ctypes.byref(size)) == 0
        libc.pthread_attr_destroy(attributes)
        copies.append(ctypes.string_at(base.value, size.value))

    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
    return copies[0]


class SignalStack(ctypes.Structure):
    _fields_ = [("ss_sp", ctypes.c_void_p), ("ss_flags", ctypes.c_int), ("ss_size", ctypes.c_size_t)]


def signalled_stack_after(call):
    """Runs `call` deep in the main thread's stack and then signals the process
    from there; returns a copy of the stack, and of the alternate signal stack
    if one is set (faulthandler sets one, and the interpreter's handlers run
    on it), where the kernel then writes the signal frame."""
    # Both from C, with no bytecode between the return and the signal.
    signal_self = functools.partial(os.kill, os.getpid(), signal.SIGUSR1)
    call_then_signal = functools.partial(collections.deque, map(operator.call, [call, signal_self]), 0)
    previous = signal.signal(signal.SIGUSR1, lambda *_: None)
    try:
        copy = stack_after(call_then_signal)
    finally:
        signal.signal(signal.SIGUSR1, previous)
    alternate = SignalStack()
    assert ctypes.CDLL(None).sigaltstack(None, ctypes.byref(alternate)) == 0
    if alternate.ss_sp and not alternate.ss_flags & 2:  # SS_DISABLE
        copy += ctypes.string_at(alternate.ss_sp, alternate.ss_size)
    return copy


@pytest.mark.parametrize("saver", [signalled_stack_after, fresh_thread_stack_after], ids=["signal", "new-thread"])
@pytest.mark.parametrize("name", ["ige256_encrypt", "ige256_decrypt", "ctr256_encrypt", "ctr256_decrypt", "kdf",
                                  "pack_message", "unpack_message"])
def test_no_secret_in_saved_registers(name, saver):
    call, secrets = call_with_secrets(name)
    copy = saver(call)
    searched = secrets()
    assert [n for n, value in enumerate(searched)
            if value in copy or word_swapped(value) in copy or value[::-1] in copy] == []
