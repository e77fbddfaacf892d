"""Every allocation the interpreter makes for a call may fail.

_testcapi.set_nomemory(start, stop) makes the interpreter's allocators (raw,
mem and object domains) fail from allocation number `start` on (until `stop`,
0 for ever); remove_mem_hooks() restores them. Each case is swept with
allocation i failing, alone and from i on, for i = 0, 1, 2, ... until the call
completes untouched. At every i the call ends with its correct result,
MemoryError, or the case's own error (an argument note may be lost with the
memory for it); never a SystemError or another exception, never a wrong
result, never a written iv or state after a failure, and the sweeps leak
nothing.

The objects made once per process (interned names, "add_note", the
PanicException class) allocate only on first use, and so does the module's
execution step: those are swept in a child interpreter per i.

The harness arms the failure only after the arguments exist and removes the
hooks before it looks at the outcome; a control shows that the failures land
inside the module's calls and that a call of plain Python through the same
harness is never touched.
"""

import gc
import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

import emulation
import orvanecrypto as m
import reference
from panic import PanicException as PANIC

_testcapi = pytest.importorskip("_testcapi")

SWEEP_LIMIT = 400  # no call of the module makes nearly this many allocations


def own(length, origin):
    return bytes((origin + 13 * i) % 256 for i in range(length))


DATA, KEY, IGE_IV, CTR_IV = own(80, 1), own(32, 2), own(32, 3), own(16, 4)
AUTH_KEY, MSG_KEY = own(256, 5), own(16, 6)
SESSION_ID, AUTH_KEY_ID = own(8, 7), own(8, 8)
PAYLOAD = own(40, 9)
PACKED = reference.build_server_message(PAYLOAD, SESSION_ID, AUTH_KEY, AUTH_KEY_ID, salt=own(8, 10),
                                        padding=own(24, 11))
FORGED = PACKED[:-1] + bytes([PACKED[-1] ^ 1])
OTHER_SESSION = reference.build_server_message(PAYLOAD, own(8, 12), AUTH_KEY, AUTH_KEY_ID)


NumpyBoolWithoutTruth = type("bool_", (), {"__module__": "numpy"})
NumpyBoolTrue = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})


class Salt:
    """An integer-like salt whose __index__ raises a new exception each time."""

    def __init__(self, kind, text):
        self.kind, self.text = kind, text

    def __index__(self):
        raise self.kind(self.text)


class Expected:
    """A case's own outcome: an exception of exactly `kind` whose str()
    contains `text`, with `notes` when there was memory for them. A type
    mismatch names the type as "<failed to extract type name>" when there was
    no memory for its name."""

    def __init__(self, kind, text="", notes=()):
        self.kind, self.text, self.notes = kind, text, list(notes)

    def own_error(self, error):
        unnamed = re.sub(r"^'\w+' object", "'<failed to extract type name>' object", self.text)
        return type(error) is self.kind and (self.text in str(error) or unnamed in str(error))

    def untouched(self, error):
        return self.own_error(error) and getattr(error, "__notes__", []) == self.notes


def _ige_cases(f):
    n = f.__name__
    ok = reference.ige_encrypt(DATA, KEY, IGE_IV) if n.endswith("encrypt") else reference.ige_decrypt(DATA, KEY, IGE_IV)
    return [
        (f"{n}-ok", f, (DATA, KEY, IGE_IV), {}, ok),
        (f"{n}-keywords", f, (), {"iv": IGE_IV, "key": KEY, "data": DATA}, ok),
        (f"{n}-too-many", f, (DATA, KEY, IGE_IV, DATA), {}, Expected(TypeError, "takes 3 positional arguments")),
        (f"{n}-unexpected-keyword", f, (DATA, KEY), {"IV": IGE_IV}, Expected(TypeError, "unexpected keyword")),
        (f"{n}-multiple-values", f, (DATA, KEY, IGE_IV), {"key": KEY}, Expected(TypeError, "multiple values")),
        (f"{n}-missing", f, (DATA,), {}, Expected(TypeError, "missing 2 required positional arguments")),
        (f"{n}-mismatch", f, (DATA, None, IGE_IV), {},
         Expected(TypeError, "'None' is not an instance of 'bytes'", ["while processing 'key'"])),
        (f"{n}-key-length", f, (DATA, KEY[:31], IGE_IV), {}, Expected(ValueError, "Key must be 32 bytes")),
        (f"{n}-iv-length", f, (DATA, KEY, IGE_IV[:16]), {}, Expected(ValueError, "IV must be 32 bytes")),
    ]


def _ctr_cases(f):
    n = f.__name__
    ok = reference.ctr_crypt(DATA, KEY, CTR_IV, 5)
    return [
        (f"{n}-ok", f, (DATA, KEY, "iv", "state"), {}, ok),
        (f"{n}-mismatch", f, (DATA, KEY, CTR_IV, "state"), {},
         Expected(TypeError, "'bytes' object is not an instance of 'bytearray'", ["while processing 'iv'"])),
        (f"{n}-key-length", f, (DATA, KEY[:16], "iv", "state"), {}, Expected(ValueError, "Key must be 32 bytes")),
        (f"{n}-iv-length", f, (DATA, KEY, bytearray(15), "state"), {}, Expected(ValueError, "IV must be 16 bytes")),
        (f"{n}-empty-state", f, (DATA, KEY, "iv", bytearray()), {},
         Expected(PANIC, "index out of bounds: the len is 0 but the index is 0")),
    ]


CASES = [
    *_ige_cases(m.ige256_encrypt),
    *_ige_cases(m.ige256_decrypt),
    *_ctr_cases(m.ctr256_encrypt),
    *_ctr_cases(m.ctr256_decrypt),
    ("kdf-ok", m.kdf, (AUTH_KEY, MSG_KEY, True), {}, reference.derive_key_iv(AUTH_KEY, MSG_KEY, True)),
    ("kdf-numpy-flag", m.kdf, (AUTH_KEY, MSG_KEY, NumpyBoolTrue()), {},
     reference.derive_key_iv(AUTH_KEY, MSG_KEY, True)),
    ("kdf-flag-mismatch", m.kdf, (AUTH_KEY, MSG_KEY, 1), {},
     Expected(TypeError, "'int' object is not an instance of 'bool'", ["while processing 'outgoing'"])),
    ("kdf-flag-without-truth", m.kdf, (AUTH_KEY, MSG_KEY, NumpyBoolWithoutTruth()), {},
     Expected(TypeError, "does not define a '__bool__' conversion", ["while processing 'outgoing'"])),
    ("kdf-short-auth-key", m.kdf, (AUTH_KEY[:60], MSG_KEY, False), {},
     Expected(PANIC, "range end index 84 out of range for slice of length 60")),
    ("pack_message-ok", m.pack_message, (DATA, -5, SESSION_ID, AUTH_KEY, AUTH_KEY_ID), {}, "packed"),
    ("pack_message-salt-raises", m.pack_message, (DATA, Salt(LookupError, "no salt"), SESSION_ID, AUTH_KEY,
                                                  AUTH_KEY_ID), {},
     Expected(LookupError, "no salt", ["while processing 'salt'"])),
    ("pack_message-salt-overflow", m.pack_message, (DATA, 2**63, SESSION_ID, AUTH_KEY, AUTH_KEY_ID), {},
     Expected(OverflowError, "", ["while processing 'salt'"])),
    ("pack_message-session-id-length", m.pack_message, (DATA, 0, SESSION_ID[:7], AUTH_KEY, AUTH_KEY_ID), {},
     Expected(PANIC, "copy_from_slice: source slice length (7) does not match destination slice length (8)")),
    ("pack_message-short-auth-key", m.pack_message, (DATA, 0, SESSION_ID, AUTH_KEY[:100], AUTH_KEY_ID), {},
     Expected(PANIC, "range end index 120 out of range for slice of length 100")),
    ("unpack_message-ok", m.unpack_message, (PACKED, SESSION_ID, AUTH_KEY, AUTH_KEY_ID), {},
     PAYLOAD + own(24, 11)),
    ("unpack_message-too-short", m.unpack_message, (PACKED[:23], SESSION_ID, AUTH_KEY, AUTH_KEY_ID), {},
     Expected(ValueError, "packed data too short")),
    ("unpack_message-auth-key-id", m.unpack_message, (PACKED, SESSION_ID, AUTH_KEY, SESSION_ID), {},
     Expected(ValueError, "auth_key_id mismatch")),
    ("unpack_message-decrypted-too-short", m.unpack_message, (PACKED[:32], SESSION_ID, AUTH_KEY, AUTH_KEY_ID), {},
     Expected(ValueError, "decrypted data too short")),
    ("unpack_message-msg-key", m.unpack_message, (FORGED, SESSION_ID, AUTH_KEY, AUTH_KEY_ID), {},
     Expected(ValueError, "msg_key mismatch")),
    ("unpack_message-session-id", m.unpack_message, (OTHER_SESSION, SESSION_ID, AUTH_KEY, AUTH_KEY_ID), {},
     Expected(ValueError, "session_id mismatch")),
    ("unpack_message-short-auth-key", m.unpack_message, (PACKED, SESSION_ID, AUTH_KEY[:100], AUTH_KEY_ID), {},
     Expected(PANIC, "range end index 128 out of range for slice of length 100")),
]


def attempt(function, args, kwargs, start, stop):
    """One call with allocations failing from `start` (to `stop`); the hooks
    are gone again before anything looks at the outcome. The call goes
    through the vectorcall protocol with its argument vector and keyword
    names made beforehand, so that the interpreter allocates nothing for the
    call itself while the failure is armed; the cyclic garbage collector is
    off meanwhile, so that a collection cannot take a failure meant for the
    call either."""
    vector, keywords = (*args, *kwargs.values()), tuple(kwargs) or None
    collecting = gc.isenabled()
    gc.disable()
    try:
        _testcapi.set_nomemory(start, stop)
        try:
            return _testcapi.pyobject_vectorcall(function, vector, keywords), None
        finally:
            _testcapi.remove_mem_hooks()
    except BaseException as error:  # noqa: BLE001 - every outcome is judged below
        return None, error
    finally:
        if collecting:
            gc.enable()


def _fresh_arguments(args):
    """The call's arguments, with new iv and state bytearrays for the CTR cases."""
    iv, state = bytearray(CTR_IV), bytearray([5])
    args = tuple(iv if a == "iv" else state if a == "state" else a for a in args)
    return args, iv, state


def _correct(expected, result):
    if isinstance(expected, str):  # pack_message: random padding, so opened and compared in parts
        plaintext = reference.open_client_message(result, AUTH_KEY)
        return result[:8] == AUTH_KEY_ID and plaintext[:16] == (-5).to_bytes(8, "little", signed=True) + SESSION_ID \
            and plaintext[16:16 + len(DATA)] == DATA
    if isinstance(expected, tuple) and len(expected) == 3:  # CTR: (output, counter block, used)
        return result == expected[0]
    return result == expected


def sweep(name, function, args, kwargs, expected):
    """Outcomes by i of both sweeps; fails on the first outcome not allowed."""
    seen = {"MemoryError": 0, "own error": 0, "untouched": 0}
    untouched_in_a_row = 0
    for i in range(SWEEP_LIMIT):
        for stop in (i + 1, 0):  # allocation i alone, then every allocation from i on
            call_args, iv, state = _fresh_arguments(args)
            result, error = attempt(function, call_args, kwargs, i, stop)
            where = f"{name}: allocation {i} failing{' and on' if stop == 0 else ''}"
            if isinstance(expected, Expected):
                assert error is not None, f"{where}: returned {result!r} instead of failing"
                untouched = expected.untouched(error)
                assert untouched or expected.own_error(error) or type(error) is MemoryError, \
                    f"{where}: {type(error).__name__}: {error}"
            elif error is None:
                assert _correct(expected, result), f"{where}: wrong result"
                untouched = True
            else:
                assert type(error) is MemoryError, f"{where}: {type(error).__name__}: {error}"
                untouched = False
            if isinstance(expected, tuple) and len(expected) == 3:  # the CTR position
                position = (bytes(iv), state[0])
                if error is None:
                    assert position == expected[1:], f"{where}: wrong position written back"
                else:
                    assert position == (CTR_IV, 5), f"{where}: position written by a failed call"
            seen["untouched" if untouched else "MemoryError" if type(error) is MemoryError else "own error"] += 1
            if stop == 0:
                untouched_in_a_row = untouched_in_a_row + 1 if untouched else 0
        if untouched_in_a_row == 3:
            return i - 2, seen
    raise AssertionError(f"{name}: still failing after {SWEEP_LIMIT} allocations")


@pytest.mark.parametrize("name, function, args, kwargs, expected", CASES, ids=[case[0] for case in CASES])
def test_every_allocation_of_a_call_may_fail(name, function, args, kwargs, expected):
    sweep(name, function, args, kwargs, expected)  # the once-made objects exist after this
    gc.collect()
    blocks = sys.getallocatedblocks()
    total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    allocations, seen = sweep(name, function, args, kwargs, expected)
    gc.collect()
    # A leaked object or reference per failed attempt would show as dozens.
    assert sys.getallocatedblocks() - blocks < 8, "memory blocks kept by the sweep"
    if total:
        assert sys.gettotalrefcount() - total < 8, "references kept by the sweep"
    if expected is not None and not isinstance(expected, Expected):
        assert allocations >= 1 and seen["MemoryError"] >= 1, "no failure landed in the call"


def test_control_failures_land_inside_the_call_and_spare_plain_python():
    # A Python function through the same harness is never touched: the
    # harness itself allocates nothing while armed. The module's first
    # allocation for an IGE call is its result, so i = 0 fails there.
    def plain(data, key, iv):
        return data

    for i in range(20):
        assert attempt(plain, (DATA, KEY, IGE_IV), {}, i, 0) == (DATA, None)
    result, error = attempt(m.ige256_encrypt, (DATA, KEY, IGE_IV), {}, 0, 1)
    assert result is None and type(error) is MemoryError
    assert attempt(m.ige256_encrypt, (DATA, KEY, IGE_IV), {}, 1, 0) == (reference.ige_encrypt(DATA, KEY, IGE_IV),
                                                                      None)


# First use in a fresh process: one child per i, each arming the failure just
# before the first call that creates the once-made objects (or before the
# module's execution step), and printing the outcome as one JSON line.
FIRST_USE_CHILD = r"""
import importlib.util, json, sys
import _testcapi

scenario, start, stop = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
if scenario == "exec":
    module_spec = importlib.util.find_spec("orvanecrypto")
    module = importlib.util.module_from_spec(module_spec)
    action = lambda: module_spec.loader.exec_module(module)
else:
    import orvanecrypto as module

    class Salt:
        def __index__(self):
            raise LookupError("no salt")

    data, session_id, auth_key = b"x" * 40, bytes(8), bytes(256)
    note = lambda: module.pack_message(data, Salt(), session_id, auth_key, bytes(8))
    if scenario == "note-after-panic":
        try:  # the PanicException class exists before the failure is armed
            module.kdf(b"", b"", True)
        except BaseException:
            pass
    action = {
        "note": note,
        "note-after-panic": note,
        "panic": lambda: module.kdf(auth_key[:60], bytes(16), False),
    }[scenario]
try:
    _testcapi.set_nomemory(start, stop)
    try:
        action()
        error = None
    finally:
        _testcapi.remove_mem_hooks()
except BaseException as caught:
    error = caught
outcome = {"error": None if error is None else type(error).__name__,
           "text": None if error is None else str(error),
           "notes": getattr(error, "__notes__", [])}
if scenario == "exec" and error is None:
    outcome["all"] = list(module.__all__)
    outcome["works"] = module.kdf(bytes(256), bytes(16), True) == module.kdf(bytes(256), bytes(16), True)
print(json.dumps(outcome))
"""

NOTE_LOST = {"error": "LookupError", "text": "no salt", "notes": []}
FIRST_USE = {
    # scenario: (the untouched outcome, the outcomes a failure may give besides MemoryError)
    "note": ({"error": "LookupError", "text": "no salt", "notes": ["while processing 'salt'"]}, [NOTE_LOST]),
    "note-after-panic": ({"error": "LookupError", "text": "no salt", "notes": ["while processing 'salt'"]},
                         [NOTE_LOST]),
    "panic": ({"error": "PanicException", "text": "range end index 84 out of range for slice of length 60",
               "notes": []}, []),
    "exec": ({"error": None, "text": None, "notes": [], "all": ["ige256_encrypt", "ige256_decrypt",
                                                                "ctr256_encrypt", "ctr256_decrypt", "kdf",
                                                                "pack_message", "unpack_message"],
              "works": True}, []),
}


def run_first_use(scenario, start, stop):
    # The tests' folder first, then whatever path found the module under test.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [os.path.dirname(os.path.abspath(__file__)),
                                                                      os.environ.get("PYTHONPATH")])))
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(FIRST_USE_CHILD), scenario, str(start), str(stop)],
                           capture_output=True, text=True, env=env, timeout=120)
    assert child.returncode == 0, f"{scenario} {start}..{stop}: child died ({child.returncode}): {child.stderr[-2000:]}"
    return json.loads(child.stdout.splitlines()[-1])


EXEC_STEP_FAULTS = {"could not intern __name__", "could not intern __all__",
                    "could not append __name__ to __all__: MemoryError: "}
# The stand-in for the description of the pending error, when even that has
# no memory: only while every later allocation fails too.
UNDESCRIBED_FAULT = "could not append __name__ to __all__: <unprintable error>"


def _exec_step_fault(outcome, failing_on):
    # The execution step's own internal faults when it has no memory
    # (interning a name, appending to __all__) are PanicException.
    return outcome["error"] == "PanicException" and (
        outcome["text"] in EXEC_STEP_FAULTS or failing_on and outcome["text"] == UNDESCRIBED_FAULT)


def first_use_sweep(scenario):
    """The outcomes of the sweep with one allocation failing, by i."""
    untouched, others = FIRST_USE[scenario]
    memory_errors, in_a_row, alone = 0, 0, []
    for i in range(SWEEP_LIMIT):
        for stop in (i + 1, 0):
            outcome = run_first_use(scenario, i, stop)
            if stop:
                alone.append(outcome)
            allowed = outcome == untouched or outcome in others or outcome["error"] == "MemoryError" \
                or (scenario == "exec" and _exec_step_fault(outcome, failing_on=stop == 0))
            assert allowed, f"{scenario}: allocation {i} failing{' and on' if stop == 0 else ''}: {outcome}"
            memory_errors += outcome["error"] == "MemoryError"
            if stop == 0:
                in_a_row = in_a_row + 1 if outcome == untouched else 0
        if in_a_row == 3:
            break
    else:
        raise AssertionError(f"{scenario}: still failing after {SWEEP_LIMIT} allocations")
    assert memory_errors >= 1, f"{scenario}: no failure landed in the first use"
    return alone


slow_under_emulation = pytest.mark.skipif(emulation.emulator_name() is not None,
                                          reason="a child per allocation is too slow emulated")


@slow_under_emulation
@pytest.mark.parametrize("scenario", ["exec", "panic"])
def test_first_use_in_a_fresh_process_may_fail_at_every_allocation(scenario):
    first_use_sweep(scenario)


@slow_under_emulation
def test_first_conversion_failure_loses_its_note_only_for_want_of_the_note():
    # A conversion failure first creates the PanicException class, to compare
    # with; that creation failing must not cost the failure its note. So the
    # note is lost at exactly as many single failing allocations as when the
    # class already exists: those of the note itself.
    # Now and then a child keeps the note although the same failing
    # allocation loses it in every other child (2 of 150 at one index on
    # CPython 3.14.10, whatever PYTHONHASHSEED says), and the count of lost
    # notes comes out one short; so up to three tries, of which one must
    # agree. A note lost to the class's creation shows in every try.
    counts = []
    for _ in range(3):
        counts.append((first_use_sweep("note").count(NOTE_LOST),
                       first_use_sweep("note-after-panic").count(NOTE_LOST)))
        fresh, class_ready = counts[-1]
        if fresh == class_ready >= 1:
            return
    pytest.fail(f"notes lost (fresh process, class made first) in each try: {counts}")
