"""kdf: the MTProto 2.0 derivation of the per-message AES-256 key and IGE vector,
checked against an independent derivation on hashlib (reference.derive_key_iv)."""

import itertools
import random

import pytest

import orvanecrypto
import reference
from optional_numpy import numpy_case
from panic import PanicException


_rng = random.Random(0x6B6466)
AUTH_KEY = _rng.randbytes(256)
MSG_KEY = _rng.randbytes(16)


def _flipped(auth_key: bytes, positions, value: int = 0x5A) -> bytes:
    changed = bytearray(auth_key)
    for i in positions:
        changed[i] ^= value
    return bytes(changed)


@pytest.mark.parametrize("outgoing", [True, False], ids=["outgoing", "incoming"])
@pytest.mark.parametrize("msg_key_length", [0, 16, 17, 1000])
def test_matches_independent_derivation(outgoing, msg_key_length):
    msg_key = _rng.randbytes(msg_key_length)
    result = orvanecrypto.kdf(AUTH_KEY, msg_key, outgoing)
    assert type(result) is tuple and len(result) == 2
    assert all(type(part) is bytes and len(part) == 32 for part in result)
    assert result == reference.derive_key_iv(AUTH_KEY, msg_key, outgoing)


def _range_fault(n: int, outgoing: bool) -> str | None:
    """What a short auth_key of n bytes reports, row by row of the range table."""
    if outgoing:
        rows = [
            (0, 35, "range end index 36"),
            (36, 39, "range start index 40"),
            (40, 75, "range end index 76"),
        ]
    else:
        rows = [
            (0, 7, "range start index 8"),
            (8, 43, "range end index 44"),
            (44, 47, "range start index 48"),
            (48, 83, "range end index 84"),
        ]
    for first, last, text in rows:
        if first <= n <= last:
            return f"{text} out of range for slice of length {n}"
    return None


@pytest.mark.parametrize("outgoing", [True, False], ids=["outgoing", "incoming"])
@pytest.mark.parametrize("length", range(0, 91))
def test_auth_key_range_rule(length, outgoing):
    auth_key = AUTH_KEY[:length]
    expected = _range_fault(length, outgoing)
    if expected is None:
        assert orvanecrypto.kdf(auth_key, MSG_KEY, outgoing) == reference.derive_key_iv(auth_key, MSG_KEY, outgoing)
        return
    with pytest.raises(BaseException) as caught:
        orvanecrypto.kdf(auth_key, MSG_KEY, outgoing)
    assert caught.type is PanicException
    assert not isinstance(caught.value, Exception)
    assert caught.value.args == (expected,)


@pytest.mark.parametrize(
    "outgoing, positions",
    [
        (True, range(36, 40)),        # between the two windows
        (True, range(76, 256)),       # after the last window
        (False, range(0, 8)),         # before the first incoming window
        (False, range(44, 48)),       # between the two windows
        (False, range(84, 256)),      # after the last window
    ],
    ids=["out-36..39", "out-76..", "in-0..7", "in-44..47", "in-84.."],
)
def test_unread_auth_key_bytes_do_not_matter(outgoing, positions):
    changed = _flipped(AUTH_KEY, positions)
    assert orvanecrypto.kdf(changed, MSG_KEY, outgoing) == orvanecrypto.kdf(AUTH_KEY, MSG_KEY, outgoing)


@pytest.mark.parametrize(
    "flag, same_as",
    [numpy_case(lambda np: np.True_, True, id="True_"), numpy_case(lambda np: np.False_, False, id="False_"),
     numpy_case(lambda np: np.bool_(7), True, id="bool_(7)"), numpy_case(lambda np: np.bool_(0), False, id="bool_(0)")],
)
def test_numpy_booleans(flag, same_as):
    assert orvanecrypto.kdf(AUTH_KEY, MSG_KEY, flag) == orvanecrypto.kdf(AUTH_KEY, MSG_KEY, same_as)


@pytest.mark.parametrize(
    "flag, message",
    [
        pytest.param(1, "'int' object is not an instance of 'bool'", id="1"),
        pytest.param(0, "'int' object is not an instance of 'bool'", id="0"),
        pytest.param(None, "'None' is not an instance of 'bool'", id="None"),
        pytest.param("x", "'str' object is not an instance of 'bool'", id="str"),
        pytest.param(1.0, "'float' object is not an instance of 'bool'", id="float"),
        numpy_case(lambda np: np.int64(1), "'int64' object is not an instance of 'bool'", id="int64"),
        numpy_case(lambda np: np.array([True]), "'ndarray' object is not an instance of 'bool'", id="ndarray"),
    ],
)
def test_flag_type_errors(flag, message):
    with pytest.raises(TypeError) as caught:
        orvanecrypto.kdf(AUTH_KEY, MSG_KEY, flag)
    assert str(caught.value) == message
    assert caught.value.__notes__ == ["while processing 'outgoing'"]


@pytest.mark.parametrize(
    "args, name, message",
    [
        ((bytearray(AUTH_KEY), MSG_KEY, 1), "auth_key", "'bytearray' object is not an instance of 'bytes'"),
        ((None, None, None), "auth_key", "'None' is not an instance of 'bytes'"),
        ((AUTH_KEY, "m", None), "msg_key", "'str' object is not an instance of 'bytes'"),
        ((AUTH_KEY, memoryview(MSG_KEY), True), "msg_key", "'memoryview' object is not an instance of 'bytes'"),
    ],
    ids=["auth_key-bytearray", "all-None", "msg_key-str", "msg_key-memoryview"],
)
def test_conversion_in_parameter_order(args, name, message):
    with pytest.raises(TypeError) as caught:
        orvanecrypto.kdf(*args)
    assert str(caught.value) == message
    assert caught.value.__notes__ == [f"while processing '{name}'"]


def test_conversion_comes_before_range_rule():
    with pytest.raises(TypeError) as caught:
        orvanecrypto.kdf(b"", MSG_KEY, 0)
    assert caught.value.__notes__ == ["while processing 'outgoing'"]


@pytest.mark.parametrize("order", list(itertools.permutations(["auth_key", "msg_key", "outgoing"])))
def test_keyword_calls(order):
    values = {"auth_key": AUTH_KEY, "msg_key": MSG_KEY, "outgoing": False}
    keywords = {name: values[name] for name in order}
    assert orvanecrypto.kdf(**keywords) == orvanecrypto.kdf(AUTH_KEY, MSG_KEY, False)
    assert orvanecrypto.kdf(AUTH_KEY, outgoing=False, msg_key=MSG_KEY) == reference.derive_key_iv(
        AUTH_KEY, MSG_KEY, False
    )

