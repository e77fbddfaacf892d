"""Property-based fuzzing of all seven functions.

Part one checks results on random inputs against the independent reference
(hashlib and OpenSSL's AES). Part two throws random argument
lists at every function and compares the outcome with a small model of the
calling contract, written here from the rules themselves: match arguments
(too many positional, then keywords in order, then missing), convert them in
parameter order, then run the function's own checks.

The number of examples per property is ORVANECRYPTO_FUZZ_EXAMPLES (100 by
default, so that the ordinary suite stays quick).
"""

import operator
import os
from dataclasses import dataclass
from typing import Any, Callable

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import orvanecrypto
import reference
from optional_numpy import numpy_strategy, numpy_values
from panic import PanicException

EXAMPLES = int(os.environ.get("ORVANECRYPTO_FUZZ_EXAMPLES", "100"))
settings.register_profile(
    "orvanecrypto-fuzz",
    max_examples=EXAMPLES,
    deadline=None,
    derandomize=False,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
fuzz = settings.get_profile("orvanecrypto-fuzz")


INT64_MIN, INT64_MAX = -(1 << 63), (1 << 63) - 1


def range_fault(length: int, ranges) -> str | None:
    """The message of the first byte range [start, end) that a key of `length` bytes cannot supply."""
    for start, end in ranges:
        if length < start:
            return f"range start index {start} out of range for slice of length {length}"
        if length < end:
            return f"range end index {end} out of range for slice of length {length}"
    return None


def copy_fault(length: int) -> str:
    return f"copy_from_slice: source slice length ({length}) does not match destination slice length (8)"


def kdf_ranges(outgoing: bool):
    x = 0 if outgoing else 8
    return [(x, x + 36), (x + 40, x + 76)]


UNPACK_DERIVE_RANGES = kdf_ranges(False)
UNPACK_MSG_KEY_RANGE = [(96, 128)]
PACK_MSG_KEY_RANGE = [(88, 120)]


def check_packed(packed, data, salt, session_id, auth_key, auth_key_id):
    """A pack_message result, opened by the reference the way the server opens it."""
    plaintext_length = (len(data) + 43) & ~15
    assert type(packed) is bytes and len(packed) == 24 + plaintext_length
    assert packed[:8] == auth_key_id
    plaintext = reference.open_client_message(packed, auth_key)
    assert plaintext[:8] == salt.to_bytes(8, "little", signed=True)
    assert plaintext[8:16] == session_id
    assert plaintext[16:16 + len(data)] == data
    assert len(plaintext) - 16 - len(data) == reference.padding_length(len(data))
    assert packed[8:24] == reference.msg_key_of(auth_key, plaintext, outgoing=True)


# ---------------------------------------------------------------------------
# Part one: results against the reference.

keys = st.binary(min_size=32, max_size=32)
payloads = st.binary(max_size=200)


@fuzz
@given(data=payloads, key=keys, iv=st.binary(min_size=32, max_size=32))
def test_ige_against_reference(data, key, iv):
    encrypted = orvanecrypto.ige256_encrypt(data, key, iv)
    assert encrypted == reference.ige_encrypt(data, key, iv)
    assert orvanecrypto.ige256_decrypt(data, key, iv) == reference.ige_decrypt(data, key, iv)
    assert orvanecrypto.ige256_decrypt(encrypted, key, iv) == data


@fuzz
@given(data=st.data(), payload=payloads, key=keys, iv=st.binary(min_size=16, max_size=16),
       stored_offset=st.integers(0, 255), state_tail=st.binary(max_size=3))
def test_ctr_split_stream_against_reference(data, payload, key, iv, stored_offset, state_tail):
    cuts = sorted(data.draw(st.lists(st.integers(0, len(payload)), max_size=6)))
    pieces = [payload[a:b] for a, b in zip([0, *cuts], [*cuts, len(payload)])]
    iv_array, state = bytearray(iv), bytearray([stored_offset]) + state_tail
    output = b""
    for i, piece in enumerate(pieces):
        function = orvanecrypto.ctr256_encrypt if i % 2 == 0 else orvanecrypto.ctr256_decrypt
        output += function(piece, key, iv_array, state)
    start = stored_offset if stored_offset < 16 else 0
    expected, final_iv, final_offset = reference.ctr_crypt(payload, key, iv, start)
    assert output == expected
    assert iv_array == final_iv
    assert state[0] == final_offset and state[1:] == state_tail


@fuzz
@given(auth_key=st.one_of(st.binary(max_size=100), st.binary(min_size=76, max_size=300)),
       msg_key=st.binary(max_size=40), outgoing=st.booleans())
def test_kdf_against_reference_or_range_fault(auth_key, msg_key, outgoing):
    fault = range_fault(len(auth_key), kdf_ranges(outgoing))
    if fault is not None:
        with pytest.raises(PanicException) as raised:
            orvanecrypto.kdf(auth_key, msg_key, outgoing)
        assert type(raised.value) is PanicException and str(raised.value) == fault
    else:
        assert orvanecrypto.kdf(auth_key, msg_key, outgoing) == reference.derive_key_iv(auth_key, msg_key, outgoing)


@fuzz
@given(data=payloads, salt=st.integers(INT64_MIN, INT64_MAX), session_id=st.binary(min_size=8, max_size=8),
       auth_key=st.binary(min_size=120, max_size=300), auth_key_id=st.binary(min_size=8, max_size=8))
def test_pack_message_opens_with_reference(data, salt, session_id, auth_key, auth_key_id):
    packed = orvanecrypto.pack_message(data, salt, session_id, auth_key, auth_key_id)
    check_packed(packed, data, salt, session_id, auth_key, auth_key_id)


@fuzz
@given(data=payloads, session_id=st.binary(max_size=12), auth_key=st.binary(max_size=160),
       auth_key_id=st.binary(max_size=12))
def test_pack_message_length_faults_in_order(data, session_id, auth_key, auth_key_id):
    fault = (copy_fault(len(session_id)) if len(session_id) != 8 else
             range_fault(len(auth_key), PACK_MSG_KEY_RANGE) or
             (copy_fault(len(auth_key_id)) if len(auth_key_id) != 8 else None))
    if fault is None:
        check_packed(orvanecrypto.pack_message(data, 7, session_id, auth_key, auth_key_id),
                     data, 7, session_id, auth_key, auth_key_id)
    else:
        with pytest.raises(PanicException) as raised:
            orvanecrypto.pack_message(data, 7, session_id, auth_key, auth_key_id)
        assert str(raised.value) == fault


@fuzz
@given(data=st.data(), payload=payloads, session_id=st.binary(min_size=8, max_size=8),
       auth_key=st.one_of(st.binary(min_size=128, max_size=300), st.binary(max_size=127)),
       auth_key_id=st.binary(min_size=8, max_size=8), salt=st.binary(min_size=8, max_size=8))
def test_unpack_message_of_server_built_messages(data, payload, session_id, auth_key, auth_key_id, salt):
    padding = data.draw(st.binary(min_size=reference.padding_length(len(payload)),
                                  max_size=reference.padding_length(len(payload))))
    packed = reference.build_server_message(payload, session_id, auth_key, auth_key_id, salt, padding)
    fault = range_fault(len(auth_key), UNPACK_DERIVE_RANGES + UNPACK_MSG_KEY_RANGE)
    if fault is None:
        assert orvanecrypto.unpack_message(packed, session_id, auth_key, auth_key_id) == payload + padding
    else:
        with pytest.raises(PanicException) as raised:
            orvanecrypto.unpack_message(packed, session_id, auth_key, auth_key_id)
        assert str(raised.value) == fault


# ---------------------------------------------------------------------------
# Part two: random argument lists against a model of the calling contract.

BYTES, BYTEARRAY, INT64, FLAG = "bytes", "bytearray", "int64", "flag"

SIGNATURES = {
    "ige256_encrypt": (("data", BYTES), ("key", BYTES), ("iv", BYTES)),
    "ige256_decrypt": (("data", BYTES), ("key", BYTES), ("iv", BYTES)),
    "ctr256_encrypt": (("data", BYTES), ("key", BYTES), ("iv", BYTEARRAY), ("state", BYTEARRAY)),
    "ctr256_decrypt": (("data", BYTES), ("key", BYTES), ("iv", BYTEARRAY), ("state", BYTEARRAY)),
    "kdf": (("auth_key", BYTES), ("msg_key", BYTES), ("outgoing", FLAG)),
    "pack_message": (("data", BYTES), ("salt", INT64), ("session_id", BYTES), ("auth_key", BYTES),
                     ("auth_key_id", BYTES)),
    "unpack_message": (("packed", BYTES), ("session_id", BYTES), ("auth_key", BYTES), ("auth_key_id", BYTES)),
}


class BytesSubclass(bytes):
    pass


class BytearraySubclass(bytearray):
    pass


@dataclass
class Indexable:
    """An integer-like object whose __index__ returns `value`."""
    value: Any

    def __index__(self):
        return self.value


class NoIndex:
    """An object whose __index__ raises (a new exception on every call)."""

    def __index__(self):
        raise ValueError("no integer here")


@dataclass
class Expected:
    """What a call must end in: an exception (type, message, notes) or a result check."""
    error: type[BaseException] | None = None
    message: str = ""
    notes: list[str] | None = None
    check: Callable[[Any], None] | None = None


class Reject(Exception):
    def __init__(self, error, message, notes=None):
        super().__init__()
        self.expected = Expected(error, message, notes)


# A spread of lengths that reaches every length check of every function.
_lengths = st.one_of(st.integers(0, 140), st.sampled_from([8, 16, 32, 84, 96, 120, 128]))
_blobs = _lengths.flatmap(lambda n: st.binary(min_size=n, max_size=n))

_foreign = st.one_of(
    st.none(), st.integers(-5, 5), st.booleans(), st.text(max_size=3), st.floats(allow_nan=False),
    st.builds(memoryview, st.binary(max_size=4)), st.just([1, 2]),
    numpy_strategy(lambda np: st.sampled_from(
        [np.True_, np.False_, np.int64(3), np.float64(2.5), np.bytes_(b"ab")])),
)

VALUES = {
    BYTES: st.one_of(_blobs, _blobs.map(BytesSubclass), numpy_strategy(lambda np: _blobs.map(np.bytes_)),
                     _blobs.map(bytearray), _foreign),
    BYTEARRAY: st.one_of(
        st.binary(min_size=16, max_size=16).map(bytearray), _blobs.map(bytearray),
        _blobs.map(BytearraySubclass), st.binary(max_size=3).map(bytearray), _blobs, _foreign),
    INT64: st.one_of(
        st.integers(INT64_MIN, INT64_MAX), st.integers(-(1 << 70), 1 << 70),
        st.sampled_from([INT64_MIN, INT64_MAX, INT64_MIN - 1, INT64_MAX + 1, -1, 0]),
        st.integers(-(1 << 65), 1 << 65).map(Indexable),
        st.builds(NoIndex), st.just(Indexable("not an int")),
        numpy_strategy(lambda np: st.integers(INT64_MIN, INT64_MAX).map(np.int64)), _foreign),
    FLAG: st.one_of(st.booleans(),
                    st.sampled_from([*numpy_values(lambda np: [np.True_, np.False_]), 0, 1,
                                     *numpy_values(lambda np: [np.int64(1)]), None, "True"]),
                    _foreign),
}


def _type_mismatch(value, target: str, name: str):
    if value is None:
        raise Reject(TypeError, f"'None' is not an instance of '{target}'", [f"while processing '{name}'"])
    raise Reject(TypeError, f"'{type(value).__qualname__}' object is not an instance of '{target}'",
                 [f"while processing '{name}'"])


def _convert(kind: str, value, name: str):
    if kind == BYTES:
        if not isinstance(value, bytes):
            _type_mismatch(value, "bytes", name)
        return bytes(value)
    if kind == BYTEARRAY:
        if not isinstance(value, bytearray):
            _type_mismatch(value, "bytearray", name)
        return value
    if kind == FLAG:
        if type(value) is bool:
            return value
        if type(value).__module__ == "numpy" and type(value).__name__ in ("bool_", "bool"):
            return bool(value)
        _type_mismatch(value, "bool", name)
    # INT64: the interpreter's own integer conversion, then the 64-bit range.
    try:
        number = operator.index(value)
        number.to_bytes(8, "little", signed=True)
    except Exception as error:  # noqa: BLE001 - whatever the interpreter raises is the expectation
        raise Reject(type(error), str(error), [f"while processing '{name}'"]) from None
    return number


def _ige_body(encrypt):
    def body(data, key, iv):
        if len(key) != 32:
            raise Reject(ValueError, "Key must be 32 bytes")
        if len(iv) != 32:
            raise Reject(ValueError, "IV must be 32 bytes")
        expected = (reference.ige_encrypt if encrypt else reference.ige_decrypt)(data, key, iv)
        return lambda result: _same_bytes(result, expected)
    return body


def _ctr_body(data, key, iv, state):
    if len(key) != 32:
        raise Reject(ValueError, "Key must be 32 bytes")
    if len(iv) != 16:
        raise Reject(ValueError, "IV must be 16 bytes")
    if len(state) == 0:
        raise Reject(PanicException, "index out of bounds: the len is 0 but the index is 0")
    start = state[0] if state[0] < 16 else 0
    expected, final_iv, final_offset = reference.ctr_crypt(data, key, bytes(iv), start)
    state_tail = bytes(state[1:])

    def check(result):
        _same_bytes(result, expected)
        assert iv == final_iv and state[0] == final_offset and state[1:] == state_tail
    return check


def _kdf_body(auth_key, msg_key, outgoing):
    fault = range_fault(len(auth_key), kdf_ranges(outgoing))
    if fault:
        raise Reject(PanicException, fault)
    expected = reference.derive_key_iv(auth_key, msg_key, outgoing)

    def check(result):
        assert type(result) is tuple and len(result) == 2
        _same_bytes(result[0], expected[0])
        _same_bytes(result[1], expected[1])
    return check


def _pack_body(data, salt, session_id, auth_key, auth_key_id):
    if len(session_id) != 8:
        raise Reject(PanicException, copy_fault(len(session_id)))
    if fault := range_fault(len(auth_key), PACK_MSG_KEY_RANGE):
        raise Reject(PanicException, fault)
    if len(auth_key_id) != 8:
        raise Reject(PanicException, copy_fault(len(auth_key_id)))
    return lambda result: check_packed(result, data, salt, session_id, auth_key, auth_key_id)


def _unpack_body(packed, session_id, auth_key, auth_key_id):
    if len(packed) < 24:
        raise Reject(ValueError, "packed data too short")
    if auth_key_id != packed[:8]:
        raise Reject(ValueError, "auth_key_id mismatch")
    if fault := range_fault(len(auth_key), UNPACK_DERIVE_RANGES):
        raise Reject(PanicException, fault)
    if len(packed) < 40:
        raise Reject(ValueError, "decrypted data too short")
    aes_key, aes_iv = reference.derive_key_iv(auth_key, packed[8:24], outgoing=False)
    plaintext = reference.ige_decrypt(packed[24:], aes_key, aes_iv)
    if fault := range_fault(len(auth_key), UNPACK_MSG_KEY_RANGE):
        raise Reject(PanicException, fault)
    if reference.msg_key_of(auth_key, plaintext, outgoing=False) != packed[8:24]:
        raise Reject(ValueError, "msg_key mismatch")
    if plaintext[8:16] != session_id:
        raise Reject(ValueError, "session_id mismatch")
    return lambda result: _same_bytes(result, plaintext[16:])


BODIES = {
    "ige256_encrypt": _ige_body(True), "ige256_decrypt": _ige_body(False),
    "ctr256_encrypt": _ctr_body, "ctr256_decrypt": _ctr_body,
    "kdf": _kdf_body, "pack_message": _pack_body, "unpack_message": _unpack_body,
}


def _same_bytes(result, expected):
    assert type(result) is bytes and result == expected


def expected_outcome(function: str, positional: list, keywords: dict) -> Expected:
    """The model: matching, then conversion in parameter order, then the body's checks."""
    parameters = SIGNATURES[function]
    names = [name for name, _ in parameters]
    try:
        if len(positional) > len(parameters):
            raise Reject(TypeError, f"{function}() takes {len(parameters)} positional arguments "
                                    f"but {len(positional)} were given")
        slots = dict(zip(names, positional))
        for keyword, value in keywords.items():
            if keyword not in names:
                raise Reject(TypeError, f"{function}() got an unexpected keyword argument '{keyword}'")
            if keyword in slots:
                raise Reject(TypeError, f"{function}() got multiple values for argument '{keyword}'")
            slots[keyword] = value
        missing = [f"'{name}'" for name in names if name not in slots]
        if missing:
            listed = (missing[0] if len(missing) == 1 else " and ".join(missing) if len(missing) == 2
                      else ", ".join(missing[:-1]) + ", and " + missing[-1])
            plural = "" if len(missing) == 1 else "s"
            raise Reject(TypeError, f"{function}() missing {len(missing)} required positional "
                                    f"argument{plural}: {listed}")
        converted = [_convert(kind, slots[name], name) for name, kind in parameters]
        return Expected(check=BODIES[function](*converted))
    except Reject as reject:
        return reject.expected


def _sized(*lengths):
    """Bytes mostly of the given lengths, sometimes of any length."""
    given = st.sampled_from(lengths)
    return st.one_of(given, given, given, st.integers(0, 140)).flatmap(
        lambda n: st.binary(min_size=n, max_size=n))


def _bytes_like(blobs):
    return st.one_of(blobs, blobs.map(BytesSubclass), numpy_strategy(lambda np: blobs.map(np.bytes_)))


def _bytearray_like(blobs):
    return st.one_of(blobs.map(bytearray), blobs.map(BytearraySubclass))


# Values of the right kind for each parameter, spread around its length checks.
WELL_TYPED = {
    "data": _bytes_like(st.binary(max_size=100)),
    "key": _bytes_like(_sized(32)),
    "iv": _bytes_like(_sized(32)),
    "ctr iv": _bytearray_like(_sized(16)),
    "state": _bytearray_like(st.binary(max_size=3)),
    "auth_key": _bytes_like(st.one_of(st.binary(min_size=120, max_size=300), _sized(76, 84, 96, 128))),
    "msg_key": _bytes_like(st.binary(max_size=40)),
    "outgoing": st.sampled_from([True, False, *numpy_values(lambda np: [np.True_, np.False_])]),
    "salt": st.one_of(st.integers(INT64_MIN, INT64_MAX),
                      numpy_strategy(lambda np: st.integers(INT64_MIN, INT64_MAX).map(np.int64)),
                      st.integers(INT64_MIN, INT64_MAX).map(Indexable), st.booleans()),
    "session_id": _bytes_like(_sized(8)),
    "auth_key_id": _bytes_like(_sized(8)),
    "packed": _bytes_like(_sized(0, 24, 40, 56)),
}

UNKNOWN_KEYWORDS = ["Key", "datas", "salt_", "", "é", "\udc80", "self", "args"]


def _draw_value(draw, function, name, kind):
    if draw(st.integers(0, 9), label=f"{name} well typed") < 8:
        return draw(WELL_TYPED["ctr iv" if name == "iv" and kind == BYTEARRAY else name], label=name)
    return draw(VALUES[kind], label=name)


def _server_message(draw, values):
    """A message that the peer built for these arguments, so that unpacking gets past its early checks."""
    as_bytes = {name: bytes(value) for name, value in values.items() if isinstance(value, bytes)}
    session_id = (as_bytes.get("session_id", b"") + bytes(8))[:8]
    auth_key_id = (as_bytes.get("auth_key_id", b"") + bytes(8))[:8]
    payload = draw(st.binary(max_size=60))
    padding = draw(st.binary(min_size=reference.padding_length(len(payload)),
                             max_size=reference.padding_length(len(payload))))
    return reference.build_server_message(payload, session_id, as_bytes.get("auth_key", b""), auth_key_id,
                                          bytes(8), padding)


@st.composite
def calls(draw, function: str):
    parameters = SIGNATURES[function]
    values = {name: _draw_value(draw, function, name, kind) for name, kind in parameters}
    if function == "unpack_message" and draw(st.booleans(), label="peer-built packed"):
        values["packed"] = _server_message(draw, values)
    names = list(values)
    if draw(st.integers(0, 9), label="well formed") < 7:
        # Every parameter once: a prefix by position, the rest by keyword in any order.
        count = draw(st.integers(0, len(names)))
        keyword_names = draw(st.permutations(names[count:]))
        return [values[name] for name in names[:count]], {name: values[name] for name in keyword_names}
    count = draw(st.integers(0, len(parameters) + 2))
    positional = [values[names[i]] if i < len(names) else draw(_foreign) for i in range(count)]
    keyword_names = draw(st.lists(st.sampled_from(names + UNKNOWN_KEYWORDS), unique=True, max_size=6))
    keywords = {name: values[name] if name in values else draw(_foreign) for name in keyword_names}
    return positional, keywords


def _bytearray_snapshot(positional, keywords):
    return [(value, bytes(value)) for value in [*positional, *keywords.values()] if isinstance(value, bytearray)]


@pytest.mark.parametrize("function", list(SIGNATURES))
@fuzz
@given(data=st.data())
def test_random_argument_lists_follow_the_calling_contract(function, data):
    positional, keywords = data.draw(calls(function), label="call")
    before = _bytearray_snapshot(positional, keywords)
    expected = expected_outcome(function, positional, keywords)
    event("result" if expected.error is None else f"{expected.error.__name__}: {expected.message[:24]}")
    try:
        result = getattr(orvanecrypto, function)(*positional, **keywords)
    except BaseException as raised:  # noqa: BLE001 - PanicException is a BaseException
        assert expected.error is not None, f"expected a result, got {raised!r}"
        assert type(raised) is expected.error, f"{raised!r} instead of {expected.error.__name__}"
        assert str(raised) == expected.message
        assert getattr(raised, "__notes__", None) == expected.notes
        for array, contents in before:
            assert array == contents, "a failed call changed a bytearray argument"
    else:
        assert expected.error is None, f"expected {expected.error.__name__} {expected.message!r}, got a result"
        expected.check(result)
