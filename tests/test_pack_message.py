"""pack_message: outgoing MTProto 2.0 messages, opened here with an independent
implementation (reference.open_client_message, on hashlib and OpenSSL's AES)."""

import hashlib
import random

import pytest

import orvanecrypto
import reference
from panic import PanicException


_rng = random.Random(0x7061636B)
AUTH_KEY = _rng.randbytes(256)
AUTH_KEY_ID = hashlib.sha1(AUTH_KEY).digest()[-8:]
SESSION_ID = _rng.randbytes(8)
SALT = 0x0123456789ABCDEF


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def _pack(data=b"payload", salt=SALT, session_id=SESSION_ID, auth_key=AUTH_KEY, auth_key_id=AUTH_KEY_ID):
    return orvanecrypto.pack_message(data, salt, session_id, auth_key, auth_key_id)


def _check_layout(packed, data, salt_bytes, session_id=SESSION_ID, auth_key=AUTH_KEY, auth_key_id=AUTH_KEY_ID):
    """Opens `packed` independently and checks every field; returns the padding."""
    assert type(packed) is bytes
    padding_length = reference.padding_length(len(data))
    assert 12 <= padding_length <= 27
    assert len(packed) == 24 + 16 + len(data) + padding_length
    assert (len(packed) - 24) % 16 == 0
    assert packed[:8] == auth_key_id
    plaintext = reference.open_client_message(packed, auth_key)
    assert plaintext[:8] == salt_bytes
    assert plaintext[8:16] == session_id
    assert plaintext[16:16 + len(data)] == data
    assert packed[8:24] == reference.msg_key_of(auth_key, plaintext, True)
    return plaintext[16 + len(data):]


@pytest.mark.parametrize("length", [*range(0, 41), 1000, 65536, 1 << 20])
def test_layout_opens_independently(length):
    data = _rng.randbytes(length)
    padding = _check_layout(_pack(data), data, SALT.to_bytes(8, "little"))
    assert len(padding) == reference.padding_length(length)


# Padding bytes by L mod 16, and whole message sizes for a few payload lengths.
PADDING_BY_REMAINDER = [16, 15, 14, 13, 12, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17]


@pytest.mark.parametrize(
    "length, padding, packed_length",
    [(0, 16, 56), (4, 12, 56), (5, 27, 72), (20, 12, 72), (15, 17, 72), (16, 16, 72), (100, 12, 152)],
)
def test_padding_table(length, padding, packed_length):
    assert reference.padding_length(length) == padding == PADDING_BY_REMAINDER[length % 16]
    assert len(_pack(bytes(length))) == packed_length


@pytest.mark.parametrize(
    "salt, salt_bytes",
    [
        (0, bytes(8)),
        (1, b"\x01" + bytes(7)),
        (-1, b"\xff" * 8),
        (2**63 - 1, b"\xff" * 7 + b"\x7f"),
        (-(2**63), bytes(7) + b"\x80"),
        (True, b"\x01" + bytes(7)),
        (False, bytes(8)),
        (Index(-2), b"\xfe" + b"\xff" * 7),
        (0x0102030405060708, bytes([8, 7, 6, 5, 4, 3, 2, 1])),
    ],
    ids=["0", "1", "-1", "max", "min", "True", "False", "__index__", "byte-order"],
)
def test_salt_little_endian_signed(salt, salt_bytes):
    _check_layout(_pack(b"salted", salt=salt), b"salted", salt_bytes)


@pytest.mark.parametrize(
    "salt, error",
    [
        (2**63, OverflowError),
        (-(2**63) - 1, OverflowError),
        (Index(2**64), OverflowError),
        (1.5, TypeError),
        ("1", TypeError),
        (None, TypeError),
        (b"\x01", TypeError),
    ],
    ids=["2**63", "-2**63-1", "__index__-too-big", "float", "str", "None", "bytes"],
)
def test_salt_conversion_errors(salt, error):
    with pytest.raises(error) as caught:
        _pack(salt=salt)
    assert caught.type is error
    assert caught.value.__notes__ == ["while processing 'salt'"]


def test_salt_index_raising_keeps_its_exception():
    class Broken:
        def __index__(self):
            raise LookupError("no salt today")

    with pytest.raises(LookupError) as caught:
        _pack(salt=Broken())
    assert str(caught.value) == "no salt today"
    assert caught.value.__notes__ == ["while processing 'salt'"]


def test_padding_is_fresh_each_call():
    data = b"same arguments"
    first, second = _pack(data), _pack(data)
    assert len(first) == len(second)
    assert first[:8] == second[:8]
    assert first[8:24] != second[8:24]
    assert first[24:] != second[24:]
    padding_first = _check_layout(first, data, SALT.to_bytes(8, "little"))
    padding_second = _check_layout(second, data, SALT.to_bytes(8, "little"))
    assert padding_first != padding_second


def test_padding_is_not_constant():
    # 64 messages of 16 padding bytes each: a stuck or zero source would show.
    paddings = [_check_layout(_pack(b""), b"", SALT.to_bytes(8, "little")) for _ in range(64)]
    assert len(set(paddings)) == 64
    assert len(set(b"".join(paddings))) > 200


def test_keyword_call():
    data = b"by keyword"
    packed = orvanecrypto.pack_message(
        auth_key_id=AUTH_KEY_ID, auth_key=AUTH_KEY, session_id=SESSION_ID, salt=-5, data=data
    )
    _check_layout(packed, data, (-5).to_bytes(8, "little", signed=True))


def test_auth_key_of_120_bytes_is_enough():
    short_key = AUTH_KEY[:120]
    longer_key = short_key + _rng.randbytes(136)
    data = b"key length"
    packed = _pack(data, auth_key=short_key)
    _check_layout(packed, data, SALT.to_bytes(8, "little"), auth_key=short_key)
    # Made under the longer key, the message opens and verifies under its first
    # 120 bytes alone: nothing after byte 119 enters key, IV or msg_key.
    packed_longer = _pack(data, auth_key=longer_key)
    _check_layout(packed_longer, data, SALT.to_bytes(8, "little"), auth_key=short_key)
    msg_key = packed_longer[8:24]
    assert orvanecrypto.kdf(longer_key, msg_key, True) == orvanecrypto.kdf(short_key, msg_key, True)
    assert orvanecrypto.kdf(short_key, msg_key, True) == reference.derive_key_iv(short_key, msg_key, True)


def _copy_fault(n):
    return f"copy_from_slice: source slice length ({n}) does not match destination slice length (8)"


@pytest.mark.parametrize(
    "session_length, auth_key_length, auth_key_id_length, message",
    [
        (7, 256, 8, _copy_fault(7)),
        (0, 256, 8, _copy_fault(0)),
        (9, 256, 8, _copy_fault(9)),
        (8, 0, 8, "range start index 88 out of range for slice of length 0"),
        (8, 76, 8, "range start index 88 out of range for slice of length 76"),
        (8, 87, 8, "range start index 88 out of range for slice of length 87"),
        (8, 88, 8, "range end index 120 out of range for slice of length 88"),
        (8, 119, 8, "range end index 120 out of range for slice of length 119"),
        (8, 256, 0, _copy_fault(0)),
        (8, 256, 7, _copy_fault(7)),
        (8, 256, 9, _copy_fault(9)),
        (8, 120, 16, _copy_fault(16)),
        # several wrong: session_id, then auth_key, then auth_key_id
        (7, 87, 9, _copy_fault(7)),
        (9, 0, 0, _copy_fault(9)),
        (8, 119, 9, "range end index 120 out of range for slice of length 119"),
        (8, 87, 0, "range start index 88 out of range for slice of length 87"),
    ],
)
def test_fault_order(session_length, auth_key_length, auth_key_id_length, message):
    with pytest.raises(BaseException) as caught:
        _pack(
            session_id=SESSION_ID[:session_length] + bytes(max(0, session_length - 8)),
            auth_key=AUTH_KEY[:auth_key_length],
            auth_key_id=AUTH_KEY_ID[:auth_key_id_length] + bytes(max(0, auth_key_id_length - 8)),
        )
    assert caught.type is PanicException
    assert caught.value.args == (message,)


@pytest.mark.parametrize(
    "arguments, name, error",
    [
        ((bytearray(b"d"), SALT, b"short", b"", b""), "data", TypeError),
        ((b"d", 2**63, b"short", b"", b""), "salt", OverflowError),
        ((b"d", SALT, bytearray(8), b"", b""), "session_id", TypeError),
        ((b"d", SALT, b"short", None, b""), "auth_key", TypeError),
        ((b"d", SALT, b"short", b"", "id"), "auth_key_id", TypeError),
        ((b"d", SALT, SESSION_ID, AUTH_KEY, memoryview(AUTH_KEY_ID)), "auth_key_id", TypeError),
    ],
    ids=["data", "salt", "session_id", "auth_key", "auth_key_id", "auth_key_id-memoryview"],
)
def test_conversion_errors_come_first(arguments, name, error):
    with pytest.raises(error) as caught:
        orvanecrypto.pack_message(*arguments)
    assert caught.type is error
    assert caught.value.__notes__ == [f"while processing '{name}'"]
