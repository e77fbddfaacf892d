"""unpack_message: incoming MTProto 2.0 messages built here the way a server
builds them (reference.build_server_message, on hashlib and OpenSSL's AES)."""

import hashlib
import random

import pytest

import orvanecrypto
import reference
from panic import PanicException


_rng = random.Random(0x756E7061636B)
AUTH_KEY = _rng.randbytes(256)
AUTH_KEY_ID = hashlib.sha1(AUTH_KEY).digest()[-8:]
SESSION_ID = _rng.randbytes(8)


def _server_message(data=b"", padding=None, session_id=SESSION_ID, auth_key=AUTH_KEY):
    return reference.build_server_message(data, session_id, auth_key, AUTH_KEY_ID, padding=padding)


def _unpack(packed, session_id=SESSION_ID, auth_key=AUTH_KEY, auth_key_id=AUTH_KEY_ID):
    return orvanecrypto.unpack_message(packed, session_id, auth_key, auth_key_id)


def _value_error(message, packed, **arguments):
    with pytest.raises(ValueError) as caught:
        _unpack(packed, **arguments)
    assert caught.type is ValueError
    assert caught.value.args == (message,)
    assert not hasattr(caught.value, "__notes__")


def _panic(message, packed, **arguments):
    with pytest.raises(BaseException) as caught:
        _unpack(packed, **arguments)
    assert caught.type is PanicException
    assert caught.value.args == (message,)


def _paddings(length):
    """Every server padding of 12 to 1024 bytes that ends the plaintext on a block boundary."""
    return [p for p in range(12, 1025) if (16 + length + p) % 16 == 0]


OPENING_CASES = [(length, padding) for length in range(0, 48) for padding in (_paddings(length)[0],)]
OPENING_CASES += [(length, padding) for length in (0, 5, 33) for padding in _paddings(length)[1:]]


@pytest.mark.parametrize("length, padding_length", OPENING_CASES)
def test_server_messages_open(length, padding_length):
    data, padding = _rng.randbytes(length), _rng.randbytes(padding_length)
    result = _unpack(_server_message(data, padding))
    assert type(result) is bytes
    assert result == data + padding


@pytest.mark.parametrize("length", [1000, 65536, 1 << 20])
def test_large_server_messages_open(length):
    data, padding = _rng.randbytes(length), _rng.randbytes(_paddings(length)[0])
    assert _unpack(_server_message(data, padding)) == data + padding


def test_keyword_call_and_bytes_subclasses():
    class Blob(bytes):
        pass

    packed = _server_message(b"keywords", b"p" * 24)
    result = orvanecrypto.unpack_message(
        auth_key_id=Blob(AUTH_KEY_ID), auth_key=Blob(AUTH_KEY), session_id=Blob(SESSION_ID), packed=Blob(packed)
    )
    assert result == b"keywords" + b"p" * 24


def test_bare_header_opens_to_nothing():
    packed = _server_message(b"", b"")
    assert len(packed) == 40
    assert _unpack(packed) == b""


def test_own_outgoing_message_does_not_open():
    packed = orvanecrypto.pack_message(b"to the server", 1, SESSION_ID, AUTH_KEY, AUTH_KEY_ID)
    _value_error("msg_key mismatch", packed)


@pytest.mark.parametrize("length", [0, 1, 8, 23])
@pytest.mark.parametrize(
    "auth_key_id, auth_key",
    [(AUTH_KEY_ID, AUTH_KEY), (AUTH_KEY_ID[:7], AUTH_KEY), (b"\0" * 8, b""), (AUTH_KEY_ID + b"\0", b"")],
    ids=["matching", "id-7", "id-wrong-key-empty", "id-9-key-empty"],
)
def test_packed_too_short_comes_first(length, auth_key_id, auth_key):
    packed = _server_message(b"x" * 20)[:length]
    _value_error("packed data too short", packed, auth_key_id=auth_key_id, auth_key=auth_key)


@pytest.mark.parametrize(
    "auth_key_id",
    [
        b"",
        AUTH_KEY_ID[:7],
        AUTH_KEY_ID + AUTH_KEY_ID[:1],  # first 8 bytes match
        AUTH_KEY_ID + bytes(8),
        *(AUTH_KEY_ID[:i] + bytes([AUTH_KEY_ID[i] ^ 0x80]) + AUTH_KEY_ID[i + 1:] for i in range(8)),
    ],
    ids=["0", "7", "9", "16", *(f"byte{i}" for i in range(8))],
)
@pytest.mark.parametrize("auth_key_length", [256, 83, 0])
def test_auth_key_id_mismatch_before_any_hashing(auth_key_id, auth_key_length):
    for packed in (_server_message(b"payload"), _server_message(b"")[:24]):
        _value_error("auth_key_id mismatch", packed, auth_key_id=auth_key_id, auth_key=AUTH_KEY[:auth_key_length])


def _derivation_fault(n):
    if n < 8:
        return f"range start index 8 out of range for slice of length {n}"
    if n < 44:
        return f"range end index 44 out of range for slice of length {n}"
    if n < 48:
        return f"range start index 48 out of range for slice of length {n}"
    return f"range end index 84 out of range for slice of length {n}"


@pytest.mark.parametrize("auth_key_length", range(0, 84))
def test_short_auth_key_faults_after_id_check(auth_key_length):
    message = _derivation_fault(auth_key_length)
    short_key = AUTH_KEY[:auth_key_length]
    _panic(message, _server_message(b"payload"), auth_key=short_key)
    # The derivation comes before the length of the encrypted part is looked at,
    # and before the session.
    _panic(message, _server_message(b"payload")[:30], auth_key=short_key)
    _panic(message, _server_message(b"payload"), auth_key=short_key, session_id=b"other")


@pytest.mark.parametrize("length", range(24, 40))
@pytest.mark.parametrize("session_id", [SESSION_ID, b"", b"wrong-id"], ids=["right", "empty", "wrong"])
@pytest.mark.parametrize("auth_key_length", [256, 84, 100])
def test_decrypted_data_too_short(length, session_id, auth_key_length):
    packed = _server_message(b"payload")[:length]
    _value_error("decrypted data too short", packed, session_id=session_id, auth_key=AUTH_KEY[:auth_key_length])


@pytest.mark.parametrize(
    "session_id",
    [b"", SESSION_ID[:7], SESSION_ID + b"\0", SESSION_ID * 2, bytes(8), SESSION_ID[:7] + bytes([SESSION_ID[7] ^ 1])],
    ids=["0", "7", "9", "16", "zeros", "last-bit"],
)
@pytest.mark.parametrize("auth_key_length", [256, 128])
def test_session_id_mismatch(session_id, auth_key_length):
    auth_key = AUTH_KEY[:auth_key_length]
    for packed in (_server_message(b"", b"", auth_key=auth_key), _server_message(b"payload", auth_key=auth_key)):
        _value_error("session_id mismatch", packed, session_id=session_id, auth_key=auth_key)


@pytest.mark.parametrize("auth_key_length", [84, 100, 127])
def test_session_is_compared_only_after_the_message_key(auth_key_length):
    # The message key reads auth_key[96:128]; a key too short for it fails
    # there, before a wrong session_id could be noticed.
    auth_key = AUTH_KEY[:auth_key_length]
    packed = _server_message(b"payload", auth_key=auth_key)
    start_or_end = "start index 96" if auth_key_length < 96 else "end index 128"
    _panic(f"range {start_or_end} out of range for slice of length {auth_key_length}", packed,
           session_id=bytes(8), auth_key=auth_key)


@pytest.mark.parametrize("auth_key_length", range(84, 129))
def test_msg_key_check_reads_auth_key_96_to_127(auth_key_length):
    auth_key = AUTH_KEY[:auth_key_length]
    packed = _server_message(b"payload", auth_key=auth_key)
    if auth_key_length < 96:
        _panic(f"range start index 96 out of range for slice of length {auth_key_length}", packed, auth_key=auth_key)
    elif auth_key_length < 128:
        _panic(f"range end index 128 out of range for slice of length {auth_key_length}", packed, auth_key=auth_key)
    else:
        assert _unpack(packed, auth_key=auth_key)[:7] == b"payload"


def _flipped(data, positions, mask=0x5A):
    changed = bytearray(data)
    for i in positions:
        changed[i] ^= mask
    return bytes(changed)


@pytest.mark.parametrize(
    "positions",
    [range(0, 8), range(44, 48), range(84, 96), range(128, 256)],
    ids=["0..7", "44..47", "84..95", "128.."],
)
def test_unread_auth_key_bytes_do_not_matter(positions):
    data, padding = b"unread", _rng.randbytes(26)
    packed = _server_message(data, padding)
    assert _unpack(packed, auth_key=_flipped(AUTH_KEY, positions)) == data + padding


@pytest.mark.parametrize("position", [96, 111, 127])
def test_msg_key_auth_key_bytes_matter(position):
    _value_error("msg_key mismatch", _server_message(b"read"), auth_key=_flipped(AUTH_KEY, [position]))


# A 120-byte message: 8 bytes auth_key_id, 16 bytes msg_key, then six
# ciphertext blocks. IGE garbles the plaintext block of a changed ciphertext
# block and every block after it, but never an earlier one; a changed msg_key
# garbles them all. Whatever the change does to the decrypted salt and
# session_id, the message key refuses it first.
FLIP_DATA = bytes(range(64))
FLIP_PADDING = bytes(range(100, 116))
FLIP_MESSAGE = _server_message(FLIP_DATA, FLIP_PADDING)


def _flip_outcome(position):
    return "auth_key_id mismatch" if position < 8 else "msg_key mismatch"


@pytest.mark.parametrize("position", range(len(FLIP_MESSAGE)))
def test_single_bit_flip(position):
    assert len(FLIP_MESSAGE) == 120
    packed = _flipped(FLIP_MESSAGE, [position], mask=1 << (position % 8))
    _value_error(_flip_outcome(position), packed)


def test_unflipped_flip_message_opens():
    assert _unpack(FLIP_MESSAGE) == FLIP_DATA + FLIP_PADDING


def test_forged_msg_key_on_real_ciphertext():
    packed = FLIP_MESSAGE[:8] + _rng.randbytes(16) + FLIP_MESSAGE[24:]
    _value_error("msg_key mismatch", packed)


def _encrypt_for_client(plaintext, msg_key, auth_key=AUTH_KEY):
    aes_key, aes_iv = reference.derive_key_iv(auth_key, msg_key, outgoing=False)
    return AUTH_KEY_ID + msg_key + reference.ige_encrypt(plaintext, aes_key, aes_iv)


def test_forged_msg_key_with_right_session():
    # Encrypted consistently under a msg_key that is not the plaintext's hash.
    plaintext = _rng.randbytes(8) + SESSION_ID + b"forged payload" + bytes(14)
    _value_error("msg_key mismatch", _encrypt_for_client(plaintext, _rng.randbytes(16)))


def test_msg_key_of_the_outgoing_direction_is_refused():
    plaintext = _rng.randbytes(8) + SESSION_ID + b"wrong direction" + bytes(13)
    msg_key = reference.msg_key_of(AUTH_KEY, plaintext, outgoing=True)
    _value_error("msg_key mismatch", _encrypt_for_client(plaintext, msg_key))
    right = reference.msg_key_of(AUTH_KEY, plaintext, outgoing=False)
    assert _unpack(_encrypt_for_client(plaintext, right)) == plaintext[16:]


def _message_with_tail(blocks, tail_length, hash_tail=True):
    """An encrypted part of 16 * blocks + tail_length bytes; the tail is sent as is."""
    body = _rng.randbytes(8) + SESSION_ID + _rng.randbytes(16 * (blocks - 1))
    tail = _rng.randbytes(tail_length)
    msg_key = reference.msg_key_of(AUTH_KEY, body + tail if hash_tail else body, outgoing=False)
    aes_key, aes_iv = reference.derive_key_iv(AUTH_KEY, msg_key, outgoing=False)
    packed = AUTH_KEY_ID + msg_key + reference.ige_encrypt(body, aes_key, aes_iv) + tail
    return packed, body + tail


@pytest.mark.parametrize("tail_length", [1, 8, 15])
@pytest.mark.parametrize("blocks", [1, 2, 5])
def test_tail_is_returned_as_sent(blocks, tail_length):
    packed, plaintext = _message_with_tail(blocks, tail_length)
    result = _unpack(packed)
    assert result == plaintext[16:]
    assert len(result) == len(packed) - 40
    assert result[-tail_length:] == packed[-tail_length:]


@pytest.mark.parametrize("tail_length", [1, 15])
def test_tail_is_covered_by_msg_key(tail_length):
    packed, _ = _message_with_tail(3, tail_length, hash_tail=False)
    _value_error("msg_key mismatch", packed)
    good, _ = _message_with_tail(3, tail_length)
    _value_error("msg_key mismatch", good[:-1] + bytes([good[-1] ^ 1]))


@pytest.mark.parametrize(
    "arguments, name",
    [
        ((bytearray(40), b"", b"", b""), "packed"),
        ((None, None, None, None), "packed"),
        ((b"", bytearray(8), b"", b""), "session_id"),
        ((b"", b"", "key", b""), "auth_key"),
        ((FLIP_MESSAGE, SESSION_ID, AUTH_KEY, memoryview(AUTH_KEY_ID)), "auth_key_id"),
    ],
    ids=["packed", "all-None", "session_id", "auth_key", "auth_key_id"],
)
def test_conversion_errors_come_first(arguments, name):
    with pytest.raises(TypeError) as caught:
        orvanecrypto.unpack_message(*arguments)
    assert caught.value.__notes__ == [f"while processing '{name}'"]
