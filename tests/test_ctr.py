"""AES-256-CTR with the keystream position kept by the caller in `iv` (the
128-bit big-endian counter block) and byte 0 of `state` (the offset into it)."""

import ctypes
import itertools
import os
import random

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import orvanecrypto
import reference

FUNCTIONS = [orvanecrypto.ctr256_encrypt, orvanecrypto.ctr256_decrypt]
BOTH = pytest.mark.parametrize("fn", FUNCTIONS, ids=lambda f: f.__name__)
ALL_ONES = 2**128 - 1


class KeyBytes(bytes):
    pass


class Position(bytearray):
    pass


def run(fn, data, key, iv, state):
    """One call on fresh copies of iv and state; returns output, new iv, new state."""
    iv, state = bytearray(iv), bytearray(state)
    out = fn(data, key, iv, state)
    return out, bytes(iv), bytes(state)


def expected(data, key, iv, state):
    """What one call must give, from the reference; offsets of 16 or more read as 0."""
    offset = state[0] if state[0] < 16 else 0
    out, final_iv, final_offset = reference.ctr_crypt(bytes(data), bytes(key), bytes(iv), offset)
    return out, final_iv, bytes([final_offset]) + bytes(state[1:])


def keystream(key, *counters):
    """Keystream blocks for explicit counter values, straight from AES-256 ECB."""
    return reference.aes_ecb(key, b"".join((c % 2**128).to_bytes(16, "big") for c in counters))


def xor(a, b):
    return bytes(x ^ y for x, y in zip(a, b, strict=True))


@pytest.fixture(scope="module")
def panic_exception():
    try:
        orvanecrypto.ctr256_encrypt(b"", bytes(32), bytearray(16), bytearray())
    except BaseException as exc:  # the internal-fault class is only reachable this way
        return type(exc)
    pytest.fail("an empty state raised nothing")


# NIST SP 800-38A, Appendix F.5.5 (CTR-AES256.Encrypt) and F.5.6 (CTR-AES256.Decrypt).
SP800_38A_KEY = bytes.fromhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4")
SP800_38A_COUNTER = bytes.fromhex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff")
SP800_38A_PLAINTEXT = [bytes.fromhex(h) for h in (
    "6bc1bee22e409f96e93d7e117393172a",
    "ae2d8a571e03ac9c9eb76fac45af8e51",
    "30c81c46a35ce411e5fbc1191a0a52ef",
    "f69f2445df4f9b17ad2b417be66c3710",
)]
SP800_38A_CIPHERTEXT = [bytes.fromhex(h) for h in (
    "601ec313775789a5b7a7f504bbf3d228",
    "f443e3ca4d62b59aca84e990cacaf5c5",
    "2b0930daa23de94ce87017ba2d84988d",
    "dfc9c58db67aada613c2dd08457941a6",
)]
SP800_38A_FINAL_COUNTER = bytes.fromhex("f0f1f2f3f4f5f6f7f8f9fafbfcfdff03")  # f0..feff + 4
SP800_38A_CASES = [
    pytest.param(orvanecrypto.ctr256_encrypt, SP800_38A_PLAINTEXT, SP800_38A_CIPHERTEXT, id="F.5.5-encrypt"),
    pytest.param(orvanecrypto.ctr256_decrypt, SP800_38A_CIPHERTEXT, SP800_38A_PLAINTEXT, id="F.5.6-decrypt"),
]


@pytest.mark.parametrize("fn, given_blocks, wanted_blocks", SP800_38A_CASES)
def test_sp800_38a_one_call(fn, given_blocks, wanted_blocks):
    iv, state = bytearray(SP800_38A_COUNTER), bytearray(1)
    assert fn(b"".join(given_blocks), SP800_38A_KEY, iv, state) == b"".join(wanted_blocks)
    assert iv == SP800_38A_FINAL_COUNTER and state == b"\x00"


@pytest.mark.parametrize("fn, given_blocks, wanted_blocks", SP800_38A_CASES)
def test_sp800_38a_block_by_block(fn, given_blocks, wanted_blocks):
    iv, state = bytearray(SP800_38A_COUNTER), bytearray(1)
    for number, (block, wanted) in enumerate(zip(given_blocks, wanted_blocks), start=1):
        assert fn(block, SP800_38A_KEY, iv, state) == wanted, f"block {number}"
        assert int.from_bytes(iv, "big") == int.from_bytes(SP800_38A_COUNTER, "big") + number
        assert state == b"\x00"
    assert iv == SP800_38A_FINAL_COUNTER


# Lengths around the block size, and around the 256-block (4096-byte) batches of whole blocks.
CROSS_CHECK_LENGTHS = [0, 1, 2, 15, 16, 17, 31, 32, 33, 100, 255, 256, 1000,
                       2031, 2047, 2048, 2049, 2063, 2064, 2065, 4095, 4096, 4097, 5000, 8191, 8192, 8193]


@BOTH
@pytest.mark.parametrize("length", CROSS_CHECK_LENGTHS)
def test_matches_reference(fn, length):
    rng = random.Random(length)  # a fixed case per length, several starting offsets each
    for _ in range(4):
        data, key, iv = rng.randbytes(length), rng.randbytes(32), rng.randbytes(16)
        state = bytes([rng.randrange(256)])
        out, new_iv, new_state = run(fn, data, key, iv, state)
        assert type(out) is bytes
        assert (out, new_iv, new_state) == expected(data, key, iv, state), f"offset {state[0]}"


COUNTERS = st.one_of(
    st.integers(0, ALL_ONES),
    st.integers(ALL_ONES - 40, ALL_ONES),                                     # wrap to zero
    st.builds(lambda high, low: high << 64 | (2**64 - low),                   # carry into byte 7
              st.integers(0, 2**64 - 1), st.integers(1, 40)),
).map(lambda c: c.to_bytes(16, "big"))


# Emulated runs draw examples slowly; the time is the emulator's, not a fault.
@settings(max_examples=int(os.environ.get("ORVANECRYPTO_FUZZ_EXAMPLES", "200")), deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(data=st.binary(max_size=700), cuts=st.lists(st.integers(0, 700), max_size=6),
       key=st.binary(min_size=32, max_size=32), iv=COUNTERS, offset=st.integers(0, 255),
       draw=st.data())
def test_any_split_equals_one_call(data, cuts, key, iv, offset, draw):
    bounds = [0, *sorted(min(c, len(data)) for c in cuts), len(data)]
    iv_split, state_split = bytearray(iv), bytearray([offset])
    pieces = []
    for start, end in itertools.pairwise(bounds):
        fn = draw.draw(st.sampled_from(FUNCTIONS))
        pieces.append(fn(data[start:end], key, iv_split, state_split))
    whole = run(orvanecrypto.ctr256_encrypt, data, key, iv, [offset])
    assert (b"".join(pieces), bytes(iv_split), bytes(state_split)) == whole
    assert whole == expected(data, key, iv, [offset])


# (counter before, blocks used up, counter after): the increment is 128-bit big-endian.
CARRIES = [
    ("000000000000000000000000000000ff", 1, "00000000000000000000000000000100"),
    ("0102030405060708090a0b0c0d0e00ff", 1, "0102030405060708090a0b0c0d0e0100"),
    ("000000000000000000000000ffffffff", 1, "00000000000000000000000100000000"),
    ("0000000000000000ffffffffffffffff", 1, "00000000000000010000000000000000"),
    ("00ffffffffffffffffffffffffffffff", 1, "01000000000000000000000000000000"),
    ("ffffffffffffffffffffffffffffffff", 1, "00000000000000000000000000000000"),
    ("fffffffffffffffffffffffffffffffe", 3, "00000000000000000000000000000001"),
    ("fffffffffffffffffffffffffffffff0", 200, "000000000000000000000000000000b8"),
]


@BOTH
@pytest.mark.parametrize("before, blocks, after", CARRIES)
@pytest.mark.parametrize("extra", [0, 7], ids=["on-boundary", "with-tail"])
def test_counter_carry_and_wrap(fn, before, blocks, after, extra):
    key = bytes(range(32))
    data = random.Random(blocks).randbytes(16 * blocks + extra)
    start = int.from_bytes(bytes.fromhex(before), "big")
    out, new_iv, new_state = run(fn, data, key, bytes.fromhex(before), b"\x00")
    assert out == xor(data, keystream(key, *range(start, start + blocks + 1))[:len(data)])
    assert new_iv == bytes.fromhex(after) and new_state == bytes([extra])


@BOTH
def test_last_byte_of_block_advances_counter(fn):
    key, data = bytes(range(1, 33)), b"\x5a"
    out, new_iv, new_state = run(fn, data, key, b"\xff" * 16, b"\x0f")
    assert out == xor(data, keystream(key, ALL_ONES)[15:])
    assert new_iv == bytes(16) and new_state == b"\x00"


@BOTH
@pytest.mark.parametrize("offset, length, blocks", [(0, 16, 1), (0, 48, 3), (5, 11, 1), (5, 43, 3), (15, 1, 1)])
def test_ending_on_block_boundary(fn, offset, length, blocks):
    key, iv, data = bytes(32), bytes.fromhex("00112233445566778899aabbccddeeff"), bytes(range(length))
    out, new_iv, new_state = run(fn, data, key, iv, [offset])
    assert new_state == b"\x00"
    assert int.from_bytes(new_iv, "big") == int.from_bytes(iv, "big") + blocks
    assert out == expected(data, key, iv, [offset])[0]


# A bytes object keeps a NUL after its last byte, which C code reading it relies
# on; a write one past the end of the output, from the head or the tail of a
# call, would change that byte and leave the contents as they should be.
BYTES_DATA_OFFSET = bytes.__basicsize__ - 1


@BOTH
@pytest.mark.parametrize("offset, length", [(0, 5), (5, 3), (5, 11), (0, 37), (9, 30)])
def test_output_ends_at_its_length(fn, offset, length):
    out = run(fn, bytes(range(1, length + 1)), bytes(range(32)), bytes(16), [offset])[0]
    assert ctypes.string_at(id(out) + BYTES_DATA_OFFSET, length + 1)[length] == 0


def test_worked_example_twenty_then_thirty():
    key, iv0 = bytes(range(100, 132)), bytes.fromhex("000102030405060708090a0b0c0d0e0f")
    data = bytes(range(50))
    iv, state = bytearray(iv0), bytearray(1)
    first = orvanecrypto.ctr256_encrypt(data[:20], key, iv, state)
    assert int.from_bytes(iv, "big") == int.from_bytes(iv0, "big") + 1 and state == b"\x04"
    second = orvanecrypto.ctr256_encrypt(data[20:], key, iv, state)
    assert int.from_bytes(iv, "big") == int.from_bytes(iv0, "big") + 3 and state == b"\x02"
    c0 = int.from_bytes(iv0, "big")
    assert first + second == xor(data, keystream(key, c0, c0 + 1, c0 + 2, c0 + 3)[:50])
    assert run(orvanecrypto.ctr256_encrypt, data, key, iv0, b"\x00") == (first + second, bytes(iv), bytes(state))


@BOTH
@pytest.mark.parametrize("offset", [0, 1, 15, 16, 200, 255])
def test_empty_data(fn, offset):
    iv = bytes.fromhex("ffeeddccbbaa99887766554433221100")
    out, new_iv, new_state = run(fn, b"", bytes(32), iv, [offset, 0x77])
    assert type(out) is bytes and out == b""
    assert new_iv == iv
    assert new_state == bytes([offset if offset < 16 else 0, 0x77])


@BOTH
@pytest.mark.parametrize("offset", [16, 17, 128, 255])
def test_large_offset_reads_as_zero(fn, offset):
    key, iv, data = bytes(range(32)), bytes(15) + b"\x01", bytes(40)
    out, new_iv, new_state = run(fn, data, key, iv, [offset])
    assert (out, new_iv, new_state) == run(fn, data, key, iv, [0])
    assert out == keystream(key, 1, 2, 3)[:40]


@BOTH
@pytest.mark.parametrize("state", [[3, 0xaa, 0xbb], [0, 1, 2, 3, 4, 5, 6, 7, 8, 9], [250, 0xff, 0x10]])
def test_only_byte_zero_of_state_is_used(fn, state):
    key, iv, data = bytes(range(32)), bytes(range(16)), bytes(range(37))
    assert run(fn, data, key, iv, state) == expected(data, key, iv, state)


@BOTH
@pytest.mark.parametrize("first_byte", [0x00, 0x05, 0x0f, 0x10, 0x80, 0xff])
def test_iv_and_state_one_object(fn, first_byte):
    key, data = bytes(range(32)), bytes(range(45))
    start = bytes([first_byte]) + bytes(range(1, 16))
    out, final_iv, final_state = expected(data, key, start, start[:1])
    both = bytearray(start)
    assert fn(data, key, both, both) == out
    assert both == final_state + final_iv[1:]  # the counter is written first, then the offset


@BOTH
def test_subclasses_accepted(fn):
    key, iv0, data = bytes(range(32)), bytes(range(16)), bytes(range(33))
    iv, state = Position(iv0), Position([3])
    out = fn(KeyBytes(data), KeyBytes(key), iv, state)
    assert type(out) is bytes and type(iv) is Position and type(state) is Position
    assert (out, bytes(iv), bytes(state)) == expected(data, key, iv0, [3])


@BOTH
def test_encrypt_decrypt_identical_and_inverse(fn):
    rng = random.Random(2024)
    for length in (0, 5, 16, 63, 1500):
        data, key, iv, state = rng.randbytes(length), rng.randbytes(32), rng.randbytes(16), [rng.randrange(16)]
        out = run(fn, data, key, iv, state)
        assert out == run(orvanecrypto.ctr256_encrypt, data, key, iv, state)
        assert run(fn, out[0], key, iv, state)[0] == data
        other = [f for f in FUNCTIONS if f is not fn][0]
        assert run(other, out[0], key, iv, state)[0] == data


# (key length, iv length, state length, exception, message): checked in that order.
BAD_LENGTHS = [
    (31, 16, 1, ValueError, "Key must be 32 bytes"),
    (33, 16, 1, ValueError, "Key must be 32 bytes"),
    (0, 16, 1, ValueError, "Key must be 32 bytes"),
    (31, 15, 1, ValueError, "Key must be 32 bytes"),
    (16, 0, 0, ValueError, "Key must be 32 bytes"),
    (32, 15, 1, ValueError, "IV must be 16 bytes"),
    (32, 17, 1, ValueError, "IV must be 16 bytes"),
    (32, 0, 1, ValueError, "IV must be 16 bytes"),
    (32, 32, 0, ValueError, "IV must be 16 bytes"),
    (32, 16, 0, "panic", "index out of bounds: the len is 0 but the index is 0"),
]


@BOTH
@pytest.mark.parametrize("key_len, iv_len, state_len, kind, message", BAD_LENGTHS)
@pytest.mark.parametrize("data", [b"", bytes(40)], ids=["empty", "40-bytes"])
def test_bad_lengths_leave_position_alone(fn, key_len, iv_len, state_len, kind, message, data,
                                          panic_exception, capfd):
    kind = panic_exception if kind == "panic" else kind
    iv0, state0 = bytes(range(1, iv_len + 1)), bytes(range(9, 9 + state_len))
    iv, state = bytearray(iv0), bytearray(state0)
    with pytest.raises(BaseException) as caught:
        fn(data, bytes(key_len), iv, state)
    assert type(caught.value) is kind and str(caught.value) == message
    assert not hasattr(caught.value, "__notes__")
    assert bytes(iv) == iv0 and bytes(state) == state0
    if kind is panic_exception:
        report = capfd.readouterr().err
        assert "orvanecrypto: internal fault at src/" in report and message in report


def test_panic_exception_is_not_an_exception(panic_exception):
    assert panic_exception.__name__ == "PanicException"
    assert panic_exception.__module__ == "pyo3_runtime"
    assert BaseException in panic_exception.__bases__ and not issubclass(panic_exception, Exception)


KEY, IV, STATE = bytes(32), object(), object()  # IV and STATE stand for fresh, valid bytearrays
BAD_TYPES = [
    ((bytearray(8), KEY, IV, STATE), "'bytearray' object is not an instance of 'bytes'", "data"),
    ((memoryview(b"ab"), KEY, IV, STATE), "'memoryview' object is not an instance of 'bytes'", "data"),
    ((None, KEY, IV, STATE), "'None' is not an instance of 'bytes'", "data"),
    ((bytearray(8), bytes(31), IV, STATE), "'bytearray' object is not an instance of 'bytes'", "data"),
    ((b"", bytearray(32), IV, STATE), "'bytearray' object is not an instance of 'bytes'", "key"),
    ((b"", "k" * 32, IV, STATE), "'str' object is not an instance of 'bytes'", "key"),
    ((b"", None, IV, STATE), "'None' is not an instance of 'bytes'", "key"),
    ((b"", bytearray(32), bytes(16), bytes(1)), "'bytearray' object is not an instance of 'bytes'", "key"),
    ((b"", KEY, bytes(16), STATE), "'bytes' object is not an instance of 'bytearray'", "iv"),
    ((b"", KEY, KeyBytes(16), STATE), "'KeyBytes' object is not an instance of 'bytearray'", "iv"),
    ((b"", KEY, None, STATE), "'None' is not an instance of 'bytearray'", "iv"),
    ((b"", bytes(31), bytes(16), STATE), "'bytes' object is not an instance of 'bytearray'", "iv"),
    ((b"", KEY, IV, bytes(1)), "'bytes' object is not an instance of 'bytearray'", "state"),
    ((b"", KEY, IV, 0), "'int' object is not an instance of 'bytearray'", "state"),
    ((b"", KEY, IV, None), "'None' is not an instance of 'bytearray'", "state"),
    ((b"", KEY, IV, memoryview(bytearray(1))), "'memoryview' object is not an instance of 'bytearray'", "state"),
]


@BOTH
@pytest.mark.parametrize("args, message, name", BAD_TYPES)
def test_bad_types_carry_note_and_touch_nothing(fn, args, message, name):
    args = [bytearray(b"\x11" * 16) if a is IV else bytearray(b"\x07\x08") if a is STATE else a for a in args]
    before = [bytes(a) for a in args if type(a) is bytearray]
    with pytest.raises(TypeError) as caught:
        fn(*args)
    assert str(caught.value) == message
    assert caught.value.__notes__ == [f"while processing '{name}'"]
    assert [bytes(a) for a in args if type(a) is bytearray] == before


def test_bytes_for_iv_example():
    with pytest.raises(TypeError) as caught:
        orvanecrypto.ctr256_encrypt(b"", bytes(32), bytes(16), bytearray(1))
    assert str(caught.value) == "'bytes' object is not an instance of 'bytearray'"
    assert caught.value.__notes__ == ["while processing 'iv'"]


# (positional arguments, keyword arguments, message after "{name}()"); iv and state are valid.
BAD_CALLS = [
    ((b"",), {"key": b""}, " missing 2 required positional arguments: 'iv' and 'state'"),
    ((), {}, " missing 4 required positional arguments: 'data', 'key', 'iv', and 'state'"),
    ((b"", KEY, IV), {}, " missing 1 required positional argument: 'state'"),
    ((b"", KEY, IV, STATE, b""), {}, " takes 4 positional arguments but 5 were given"),
    ((b"", KEY, IV, STATE, b""), {"nonce": b""}, " takes 4 positional arguments but 5 were given"),
    ((b"", KEY, IV, STATE), {"data": b""}, " got multiple values for argument 'data'"),
    ((b"", KEY, IV), {"State": STATE}, " got an unexpected keyword argument 'State'"),
    ((b"", KEY), {"state": STATE, "iv": IV, "key": KEY}, " got multiple values for argument 'key'"),
]


@BOTH
@pytest.mark.parametrize("args, kwargs, message", BAD_CALLS)
def test_argument_matching_errors(fn, args, kwargs, message):
    iv, state = bytearray(b"\x22" * 16), bytearray(b"\x03")
    pick = {id(IV): iv, id(STATE): state}
    args = [pick.get(id(a), a) for a in args]
    kwargs = {k: pick.get(id(v), v) for k, v in kwargs.items()}
    with pytest.raises(TypeError) as caught:
        fn(*args, **kwargs)
    assert str(caught.value) == fn.__name__ + "()" + message
    assert not hasattr(caught.value, "__notes__")
    assert iv == b"\x22" * 16 and state == b"\x03"


@BOTH
@pytest.mark.parametrize("order", list(itertools.permutations(["data", "key", "iv", "state"])),
                         ids=lambda order: ",".join(order))
def test_keywords_in_any_order(fn, order):
    data, key, iv0 = bytes(range(21)), bytes(range(32)), bytes(range(16))
    values = {"data": data, "key": key, "iv": bytearray(iv0), "state": bytearray([9])}
    out = fn(**{name: values[name] for name in order})
    assert (out, bytes(values["iv"]), bytes(values["state"])) == expected(data, key, iv0, [9])


@BOTH
def test_positional_then_keywords(fn):
    data, key, iv0 = bytes(range(21)), bytes(range(32)), bytes(range(16))
    iv, state = bytearray(iv0), bytearray([9])
    out = fn(data, key, state=state, iv=iv)
    assert (out, bytes(iv), bytes(state)) == expected(data, key, iv0, [9])
