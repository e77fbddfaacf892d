"""Forgery resistance of unpack_message.

Valid incoming messages are built with the independent reference, then
altered: single-bit flips anywhere in the packed message, truncations, bytes
appended, and random message keys. Every altered message must be rejected
with one of the documented ValueErrors; which one depends on where the
change is. The counts per kind are printed (visible with -s) and recorded as
test properties.

The number of alterations scales with ORVANECRYPTO_FUZZ_EXAMPLES (100 by
default gives a few hundred per test).
"""

import collections
import os
import random

import pytest

import orvanecrypto
import reference

EXAMPLES = int(os.environ.get("ORVANECRYPTO_FUZZ_EXAMPLES", "100"))
FLIPS = 4 * EXAMPLES
RANDOM_KEYS = 2 * EXAMPLES

REJECTIONS = {"packed data too short", "auth_key_id mismatch", "decrypted data too short",
              "session_id mismatch", "msg_key mismatch"}

_rng = random.Random(0x666F7267)
AUTH_KEY = _rng.randbytes(256)
AUTH_KEY_ID = _rng.randbytes(8)
SESSION_ID = _rng.randbytes(8)


def server_messages(count: int):
    """Valid incoming messages with payloads of assorted lengths, with their payload and padding."""
    messages = []
    for i in range(count):
        payload = _rng.randbytes(_rng.choice([0, 1, 4, 5, 15, 16, 17, 40, 100, 300]))
        padding = _rng.randbytes(reference.padding_length(len(payload)))
        packed = reference.build_server_message(payload, SESSION_ID, AUTH_KEY, AUTH_KEY_ID,
                                                _rng.randbytes(8), padding)
        assert orvanecrypto.unpack_message(packed, SESSION_ID, AUTH_KEY, AUTH_KEY_ID) == payload + padding
        messages.append(packed)
    return messages


MESSAGES = server_messages(12)


def rejection(packed: bytes) -> str:
    """The ValueError message with which unpack_message rejects `packed`; fails the test if it opens."""
    with pytest.raises(ValueError) as raised:
        orvanecrypto.unpack_message(packed, SESSION_ID, AUTH_KEY, AUTH_KEY_ID)
    assert type(raised.value) is ValueError
    message = str(raised.value)
    assert message in REJECTIONS
    return message


def report(record_property, name: str, counts: collections.Counter):
    total = sum(counts.values())
    print(f"\n{name}: {total} altered messages, all rejected: {dict(sorted(counts.items()))}")
    record_property(f"{name}_rejected", total)
    for kind, count in counts.items():
        record_property(f"{name}_{kind.replace(' ', '_')}", count)


def region_of(bit: int) -> str:
    byte = bit // 8
    return "auth_key_id" if byte < 8 else "msg_key" if byte < 24 else "encrypted"


def test_single_bit_flips_are_rejected(record_property):
    counts = collections.Counter()
    by_region = collections.Counter()
    for i in range(FLIPS):
        # Every bit of the first message in turn, then random bits of any of them.
        if i < 8 * len(MESSAGES[0]):
            packed, bit = MESSAGES[0], i
        else:
            packed = _rng.choice(MESSAGES)
            bit = _rng.randrange(8 * len(packed))
        altered = bytearray(packed)
        altered[bit // 8] ^= 1 << (bit % 8)
        message = rejection(bytes(altered))
        region = region_of(bit)
        if region == "auth_key_id":
            assert message == "auth_key_id mismatch"
        else:
            # The message key is checked before any decrypted field, so a
            # garbled first block (salt, session_id) is refused the same way.
            assert message == "msg_key mismatch"
        counts[message] += 1
        by_region[region] += 1
    assert sum(counts.values()) == FLIPS
    assert all(by_region[region] > 0 for region in ("auth_key_id", "msg_key", "encrypted"))
    report(record_property, "bit_flips", counts)


def test_truncations_and_extensions_are_rejected(record_property):
    counts = collections.Counter()
    for packed in MESSAGES:
        for length in range(len(packed)):
            message = rejection(packed[:length])
            expected = ("packed data too short" if length < 24 else
                        "decrypted data too short" if length < 40 else "msg_key mismatch")
            assert message == expected
            counts[message] += 1
        for extra in (1, 15, 16, 17, 32):
            assert rejection(packed + _rng.randbytes(extra)) == "msg_key mismatch"
            counts["msg_key mismatch"] += 1
    report(record_property, "truncations", counts)


def test_random_message_keys_are_rejected(record_property):
    counts = collections.Counter()
    for i in range(RANDOM_KEYS):
        packed = MESSAGES[i % len(MESSAGES)]
        forged = packed[:8] + _rng.randbytes(16) + packed[24:]
        message = rejection(forged)
        assert message == "msg_key mismatch"
        counts[message] += 1
    report(record_property, "random_msg_keys", counts)


def test_right_session_wrong_message_key_is_rejected(record_property):
    """A forger who knows the session (but not the key) and keeps the first block intact."""
    counts = collections.Counter()
    for i in range(RANDOM_KEYS):
        packed = MESSAGES[i % len(MESSAGES)]
        if len(packed) <= 40:
            continue
        # Replace everything after the first encrypted block with random blocks.
        forged = packed[:40] + _rng.randbytes(len(packed) - 40)
        assert rejection(forged) == "msg_key mismatch"
        counts["msg_key mismatch"] += 1
    assert counts
    report(record_property, "tail_replaced", counts)


def test_message_keys_one_byte_off_are_rejected():
    """A forger holding the key encrypts under a message key that differs from the
    plaintext's true one in a single byte: it decrypts cleanly and passes the
    session check, so only a full 16-byte comparison of the message key stops it."""
    plaintext = (_rng.randbytes(8) + SESSION_ID + _rng.randbytes(40)
                 + _rng.randbytes(reference.padding_length(40)))
    true_key = reference.msg_key_of(AUTH_KEY, plaintext, outgoing=False)
    for position in range(16):
        carried = bytearray(true_key)
        carried[position] ^= 0x01
        aes_key, aes_iv = reference.derive_key_iv(AUTH_KEY, bytes(carried), outgoing=False)
        forged = AUTH_KEY_ID + bytes(carried) + reference.ige_encrypt(plaintext, aes_key, aes_iv)
        assert rejection(forged) == "msg_key mismatch", position
    # Control: the same construction with the true key opens.
    aes_key, aes_iv = reference.derive_key_iv(AUTH_KEY, true_key, outgoing=False)
    honest = AUTH_KEY_ID + true_key + reference.ige_encrypt(plaintext, aes_key, aes_iv)
    assert orvanecrypto.unpack_message(honest, SESSION_ID, AUTH_KEY, AUTH_KEY_ID) == plaintext[16:]
