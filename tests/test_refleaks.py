"""The interpreter's total reference count over thousands of calls of each
function, on success and on every way it can fail.

sys.gettotalrefcount() exists only in a debug build of the interpreter
(python3.14-dbg); there the count must not grow once the once-created objects
exist. Elsewhere only the check that each case ends the way it is meant to
runs, which keeps the table honest and gives memory checkers every path.
"""

import gc
import sys

import pytest

import orvanecrypto as m
import reference

ITERATIONS = 2000
FAULT_ITERATIONS = 500  # every internal fault also writes a report to stderr
# A call that keeps one reference shows as thousands; the measuring itself
# moves the count by a few.
TOLERANCE = 40


def own(length, origin):
    """A bytes object of its own, never a cached one of the interpreter."""
    return bytes((origin + 13 * i) % 256 for i in range(length))


DATA, KEY, IGE_IV, CTR_IV = own(80, 1), own(32, 2), own(32, 3), own(16, 4)
AUTH_KEY, MSG_KEY = own(256, 5), own(16, 6)
SESSION_ID, AUTH_KEY_ID = own(8, 7), own(8, 8)
PACKED = reference.build_server_message(own(40, 9), SESSION_ID, AUTH_KEY, AUTH_KEY_ID)
SHORT_PACKED = AUTH_KEY_ID + own(24, 10)  # 32 bytes: less than one block to decrypt


def _panic_type():
    try:
        m.ctr256_encrypt(b"", KEY, bytearray(16), bytearray())
    except BaseException as error:  # noqa: BLE001 - the fault class is not importable
        return type(error)
    raise AssertionError("an empty state did not fault")


PANIC = _panic_type()

# Stand-ins for NumPy booleans: the module recognises them by module and type name.
NumpyBoolWithoutTruth = type("bool_", (), {"__module__": "numpy"})


class _RaisingTruth:
    def __bool__(self):
        raise ArithmeticError("truth of a broken flag")


NumpyBoolRaising = type("bool_", (_RaisingTruth,), {"__module__": "numpy"})


class Salt:
    """An integer-like salt whose __index__ raises the given exception."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


def _ige(f):
    n = f.__name__
    return [
        (f"{n}-ok", lambda: f(DATA, KEY, IGE_IV), None, None),
        (f"{n}-keywords", lambda: f(iv=IGE_IV, key=KEY, data=DATA), None, None),
        (f"{n}-too-many", lambda: f(DATA, KEY, IGE_IV, DATA), TypeError, "takes 3 positional arguments but 4"),
        (f"{n}-unexpected-keyword", lambda: f(DATA, KEY, IV=IGE_IV), TypeError, "unexpected keyword argument 'IV'"),
        (f"{n}-multiple-values", lambda: f(DATA, KEY, IGE_IV, key=KEY), TypeError, "multiple values for argument 'key'"),
        (f"{n}-missing", lambda: f(DATA), TypeError, "missing 2 required positional arguments: 'key' and 'iv'"),
        (f"{n}-bytearray-data", lambda: f(bytearray(DATA), KEY, IGE_IV), TypeError, "'bytearray' object is not"),
        (f"{n}-none-key", lambda: f(DATA, None, IGE_IV), TypeError, "'None' is not an instance of 'bytes'"),
        (f"{n}-key-length", lambda: f(DATA, KEY[:31], IGE_IV), ValueError, "Key must be 32 bytes"),
        (f"{n}-iv-length", lambda: f(DATA, KEY, IGE_IV[:16]), ValueError, "IV must be 32 bytes"),
    ]


def _ctr(f):
    n = f.__name__
    iv, state = bytearray(CTR_IV), bytearray(1)
    return [
        (f"{n}-ok", lambda: f(DATA, KEY, iv, state), None, None),
        (f"{n}-bytes-iv", lambda: f(DATA, KEY, CTR_IV, state), TypeError, "'bytes' object is not an instance of 'bytearray'"),
        (f"{n}-none-state", lambda: f(DATA, KEY, iv, None), TypeError, "'None' is not an instance of 'bytearray'"),
        (f"{n}-missing", lambda: f(DATA, key=KEY), TypeError, "missing 2 required positional arguments"),
        (f"{n}-key-length", lambda: f(DATA, KEY[:16], iv, state), ValueError, "Key must be 32 bytes"),
        (f"{n}-iv-length", lambda: f(DATA, KEY, bytearray(15), state), ValueError, "IV must be 16 bytes"),
        (f"{n}-empty-state", lambda: f(DATA, KEY, iv, bytearray()), PANIC, "index out of bounds: the len is 0"),
    ]


CASES = [
    *_ige(m.ige256_encrypt),
    *_ige(m.ige256_decrypt),
    *_ctr(m.ctr256_encrypt),
    *_ctr(m.ctr256_decrypt),
    ("kdf-outgoing", lambda: m.kdf(AUTH_KEY, MSG_KEY, True), None, None),
    ("kdf-incoming", lambda: m.kdf(AUTH_KEY, MSG_KEY, False), None, None),
    ("kdf-int-flag", lambda: m.kdf(AUTH_KEY, MSG_KEY, 1), TypeError, "'int' object is not an instance of 'bool'"),
    ("kdf-none-flag", lambda: m.kdf(AUTH_KEY, MSG_KEY, None), TypeError, "'None' is not an instance of 'bool'"),
    ("kdf-flag-without-truth", lambda: m.kdf(AUTH_KEY, MSG_KEY, NumpyBoolWithoutTruth()), TypeError,
     "does not define a '__bool__' conversion"),
    ("kdf-flag-truth-raises", lambda: m.kdf(AUTH_KEY, MSG_KEY, NumpyBoolRaising()), ArithmeticError,
     "truth of a broken flag"),
    ("kdf-auth-key-start", lambda: m.kdf(AUTH_KEY[:7], MSG_KEY, False), PANIC, "range start index"),
    ("kdf-auth-key-end", lambda: m.kdf(AUTH_KEY[:60], MSG_KEY, False), PANIC, "range end index"),
    ("pack_message-ok", lambda: m.pack_message(DATA, -5, SESSION_ID, AUTH_KEY, AUTH_KEY_ID), None, None),
    ("pack_message-salt-overflow", lambda: m.pack_message(DATA, 2**63, SESSION_ID, AUTH_KEY, AUTH_KEY_ID),
     OverflowError, None),
    ("pack_message-salt-type", lambda: m.pack_message(DATA, "1", SESSION_ID, AUTH_KEY, AUTH_KEY_ID),
     TypeError, None),
    ("pack_message-salt-index-raises", lambda: m.pack_message(DATA, Salt(LookupError("no salt")), SESSION_ID,
                                                              AUTH_KEY, AUTH_KEY_ID), LookupError, "no salt"),
    ("pack_message-salt-index-faults", lambda: m.pack_message(DATA, Salt(PANIC("from __index__")), SESSION_ID,
                                                              AUTH_KEY, AUTH_KEY_ID), PANIC, "from __index__"),
    ("pack_message-bytearray-data", lambda: m.pack_message(bytearray(DATA), 0, SESSION_ID, AUTH_KEY, AUTH_KEY_ID),
     TypeError, "'bytearray' object is not an instance of 'bytes'"),
    ("pack_message-session-id-length", lambda: m.pack_message(DATA, 0, SESSION_ID[:7], AUTH_KEY, AUTH_KEY_ID),
     PANIC, "copy_from_slice: source slice length (7)"),
    ("pack_message-auth-key-start", lambda: m.pack_message(DATA, 0, SESSION_ID, AUTH_KEY[:50], AUTH_KEY_ID),
     PANIC, "range start index 88"),
    ("pack_message-auth-key-end", lambda: m.pack_message(DATA, 0, SESSION_ID, AUTH_KEY[:100], AUTH_KEY_ID),
     PANIC, "range end index 120"),
    ("pack_message-auth-key-id-length", lambda: m.pack_message(DATA, 0, SESSION_ID, AUTH_KEY, AUTH_KEY_ID * 2),
     PANIC, "copy_from_slice: source slice length (16)"),
    ("unpack_message-ok", lambda: m.unpack_message(PACKED, SESSION_ID, AUTH_KEY, AUTH_KEY_ID), None, None),
    ("unpack_message-none-packed", lambda: m.unpack_message(None, SESSION_ID, AUTH_KEY, AUTH_KEY_ID),
     TypeError, "'None' is not an instance of 'bytes'"),
    ("unpack_message-too-short", lambda: m.unpack_message(PACKED[:23], SESSION_ID, AUTH_KEY, AUTH_KEY_ID),
     ValueError, "packed data too short"),
    ("unpack_message-auth-key-id", lambda: m.unpack_message(PACKED, SESSION_ID, AUTH_KEY, SESSION_ID),
     ValueError, "auth_key_id mismatch"),
    ("unpack_message-auth-key-start", lambda: m.unpack_message(PACKED, SESSION_ID, AUTH_KEY[:5], AUTH_KEY_ID),
     PANIC, "range start index 8"),
    ("unpack_message-auth-key-end", lambda: m.unpack_message(PACKED, SESSION_ID, AUTH_KEY[:60], AUTH_KEY_ID),
     PANIC, "range end index 84"),
    ("unpack_message-decrypted-too-short", lambda: m.unpack_message(SHORT_PACKED, SESSION_ID, AUTH_KEY,
                                                                    AUTH_KEY_ID), ValueError, "decrypted data too short"),
    ("unpack_message-session-id", lambda: m.unpack_message(PACKED, AUTH_KEY_ID, AUTH_KEY, AUTH_KEY_ID),
     ValueError, "session_id mismatch"),
]
PARAMS = [pytest.param(call, expected, text, id=name) for name, call, expected, text in CASES]


def _run(call, expected, times):
    for _ in range(times):
        if expected is None:
            call()
        else:
            try:
                call()
            except expected:
                pass


@pytest.mark.parametrize("call, expected, text", PARAMS)
def test_each_case_ends_as_intended(call, expected, text):
    if expected is None:
        assert isinstance(call(), (bytes, tuple))
        return
    with pytest.raises(expected) as caught:
        call()
    assert type(caught.value) is expected
    if text is not None:
        assert text in str(caught.value)


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of the interpreter")
@pytest.mark.parametrize("call, expected, text", PARAMS)
def test_total_reference_count_does_not_grow(call, expected, text):
    times = FAULT_ITERATIONS if expected is PANIC else ITERATIONS
    _run(call, expected, 100)  # once-created objects, free lists, caches
    gc.collect()
    before = sys.gettotalrefcount()
    _run(call, expected, times)
    gc.collect()
    growth = sys.gettotalrefcount() - before
    assert growth < TOLERANCE, f"{growth} references kept over {times} calls"
