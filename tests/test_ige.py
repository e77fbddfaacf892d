"""AES-256 in IGE mode: y(i) = E(x(i) ^ y(i-1)) ^ x(i-1), iv = y(0) || x(0)."""

import random

import pytest

import reference
from orvanecrypto import ige256_decrypt, ige256_encrypt

ZERO_IV = bytes(32)

# Single AES-256 blocks (key, plaintext, ciphertext). With an all-zero IV a
# one-block IGE encryption is exactly the block cipher.
AES256_BLOCKS = [
    # FIPS 197, Appendix C.3 (AES-256).
    ("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"),
    # NIST SP 800-38A, F.1.5 ECB-AES256.Encrypt, blocks 1 to 4.
    ("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "6bc1bee22e409f96e93d7e117393172a", "f3eed1bdb5d2a03c064b5a7e3db181f8"),
    ("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "ae2d8a571e03ac9c9eb76fac45af8e51", "591ccb10d410ed26dc5ba74a31362870"),
    ("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "30c81c46a35ce411e5fbc1191a0a52ef", "b6ed21b99ca6f4f9f153e7b1beafed1d"),
    ("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "f69f2445df4f9b17ad2b417be66c3710", "23304b7a39f9f3ff067d8d8f9e24ecc7"),
]
AES256_IDS = ["FIPS-197-C.3", "SP800-38A-F.1.5-1", "SP800-38A-F.1.5-2", "SP800-38A-F.1.5-3", "SP800-38A-F.1.5-4"]


def xor(a, b):
    return bytes(x ^ y for x, y in zip(a, b, strict=True))


def material(origin, length):
    rng = random.Random(origin)
    return rng.randbytes(length), rng.randbytes(32), rng.randbytes(32)


@pytest.mark.parametrize("key, plaintext, ciphertext", AES256_BLOCKS, ids=AES256_IDS)
def test_single_block_under_a_zero_iv_is_the_block_cipher(key, plaintext, ciphertext):
    key, plaintext, ciphertext = bytes.fromhex(key), bytes.fromhex(plaintext), bytes.fromhex(ciphertext)
    assert ige256_encrypt(plaintext, key, ZERO_IV) == ciphertext
    assert ige256_decrypt(ciphertext, key, ZERO_IV) == plaintext


@pytest.mark.parametrize("key, plaintext, ciphertext", AES256_BLOCKS, ids=AES256_IDS)
def test_reference_block_cipher_gives_the_published_blocks(key, plaintext, ciphertext):
    # The reference's AES comes from OpenSSL through ctypes; these pin it down
    # independently of the module it checks.
    key, plaintext, ciphertext = bytes.fromhex(key), bytes.fromhex(plaintext), bytes.fromhex(ciphertext)
    assert reference.aes_ecb(key, plaintext) == ciphertext
    assert reference.aes_ecb(key, ciphertext, decrypt=True) == plaintext
    assert reference.aes_ecb(key, plaintext * 3) == ciphertext * 3


@pytest.mark.parametrize("key, plaintext, ciphertext", AES256_BLOCKS, ids=AES256_IDS)
def test_single_block_uses_the_iv_halves_in_their_places(key, plaintext, ciphertext):
    # One block: y(1) = E(x(1) ^ y(0)) ^ x(0). Feeding x(1) = P ^ y(0) makes
    # the block cipher see the known plaintext P, so y(1) = C ^ x(0).
    key, plaintext, ciphertext = bytes.fromhex(key), bytes.fromhex(plaintext), bytes.fromhex(ciphertext)
    y0, x0 = bytes(range(100, 116)), bytes(range(200, 216))
    block = xor(plaintext, y0)
    assert ige256_encrypt(block, key, y0 + x0) == xor(ciphertext, x0)
    assert ige256_decrypt(xor(ciphertext, x0), key, y0 + x0) == block


def test_second_block_chains_on_the_first_under_a_zero_iv():
    # FIPS 197 C.3 as block 1; block 2 = E(x(2) ^ y(1)) ^ x(1).
    key = bytes(range(32))
    x1 = bytes.fromhex("00112233445566778899aabbccddeeff")
    y1 = bytes.fromhex("8ea2b7ca516745bfeafc49904b496089")
    x2 = bytes(range(16, 32))
    y2 = xor(reference.aes_ecb(key, xor(x2, y1)), x1)
    assert ige256_encrypt(x1 + x2, key, ZERO_IV) == y1 + y2
    assert ige256_decrypt(y1 + y2, key, ZERO_IV) == x1 + x2


LENGTHS = list(range(81)) + [1024, 4096 + 7, 65536, 100_003]


@pytest.mark.parametrize("length", LENGTHS)
def test_agrees_with_the_reference(length):
    data, key, iv = material(length, length)
    ciphertext = ige256_encrypt(data, key, iv)
    assert ciphertext == reference.ige_encrypt(data, key, iv)
    assert ige256_decrypt(data, key, iv) == reference.ige_decrypt(data, key, iv)
    assert ige256_decrypt(ciphertext, key, iv) == data


def test_empty_data_gives_empty_bytes():
    assert ige256_encrypt(b"", bytes(32), bytes(32)) == b""
    assert ige256_decrypt(b"", bytes(32), bytes(32)) == b""


@pytest.mark.parametrize("function", [ige256_encrypt, ige256_decrypt])
def test_short_data_comes_back_unchanged(function):
    for length in range(1, 16):
        data, key, iv = material(length, length)
        assert function(data, key, iv) == data


@pytest.mark.parametrize("function", [ige256_encrypt, ige256_decrypt])
@pytest.mark.parametrize("tail", [1, 7, 15])
def test_tail_after_whole_blocks_is_unchanged(function, tail):
    data, key, iv = material(tail, 32 + tail)
    result = function(data, key, iv)
    assert len(result) == len(data)
    assert result[32:] == data[32:]
    assert result[:16] != data[:16] and result[16:32] != data[16:32]
    assert result[:32] == function(data[:32], key, iv)


@pytest.mark.parametrize("length_a", [16, 48])
@pytest.mark.parametrize("length_b", [0, 5, 16, 37])
def test_a_message_splits_at_a_block_boundary(length_a, length_b):
    # Continuing after A needs the last ciphertext and plaintext blocks of A.
    data, key, iv = material(length_a * 100 + length_b, length_a + length_b)
    a, b = data[:length_a], data[length_a:]

    encrypted_a = ige256_encrypt(a, key, iv)
    encrypted_b = ige256_encrypt(b, key, encrypted_a[-16:] + a[-16:])
    assert ige256_encrypt(data, key, iv) == encrypted_a + encrypted_b

    decrypted_a = ige256_decrypt(a, key, iv)
    decrypted_b = ige256_decrypt(b, key, a[-16:] + decrypted_a[-16:])
    assert ige256_decrypt(data, key, iv) == decrypted_a + decrypted_b


@pytest.mark.parametrize("changed", range(5))
def test_a_changed_ciphertext_block_garbles_it_and_every_later_block(changed):
    plaintext, key, iv = material(changed, 80)
    ciphertext = bytearray(ige256_encrypt(plaintext, key, iv))
    ciphertext[16 * changed + 3] ^= 0x01
    decrypted = ige256_decrypt(bytes(ciphertext), key, iv)
    for block in range(5):
        same = decrypted[16 * block:16 * block + 16] == plaintext[16 * block:16 * block + 16]
        assert same == (block < changed), block


@pytest.mark.parametrize(
    "function, model",
    [(ige256_encrypt, reference.ige_encrypt), (ige256_decrypt, reference.ige_decrypt)],
    ids=["encrypt", "decrypt"],
)
def test_swapped_iv_halves_change_the_result(function, model):
    data, key, iv = material(9, 64)
    swapped = iv[16:] + iv[:16]
    assert function(data, key, swapped) != function(data, key, iv)
    assert function(data, key, swapped) == model(data, key, swapped)


@pytest.mark.parametrize("function", [ige256_encrypt, ige256_decrypt])
@pytest.mark.parametrize(
    "data, key_length, iv_length, message",
    [
        (bytes(16), 16, 32, "Key must be 32 bytes"),
        (bytes(16), 0, 32, "Key must be 32 bytes"),
        (bytes(16), 24, 32, "Key must be 32 bytes"),
        (bytes(16), 31, 32, "Key must be 32 bytes"),
        (bytes(16), 33, 32, "Key must be 32 bytes"),
        (bytes(16), 64, 32, "Key must be 32 bytes"),
        (b"", 31, 32, "Key must be 32 bytes"),
        (bytes(16), 32, 16, "IV must be 32 bytes"),
        (bytes(16), 32, 0, "IV must be 32 bytes"),
        (bytes(16), 32, 31, "IV must be 32 bytes"),
        (bytes(16), 32, 33, "IV must be 32 bytes"),
        (bytes(16), 32, 48, "IV must be 32 bytes"),
        (b"", 32, 16, "IV must be 32 bytes"),
        (bytes(16), 16, 16, "Key must be 32 bytes"),
        (b"", 0, 0, "Key must be 32 bytes"),
    ],
)
def test_key_and_iv_lengths(function, data, key_length, iv_length, message):
    with pytest.raises(ValueError) as caught:
        function(data, bytes(key_length), bytes(iv_length))
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)


@pytest.mark.parametrize("function", [ige256_encrypt, ige256_decrypt])
def test_a_wrongly_typed_iv_is_reported_before_a_bad_key(function):
    with pytest.raises(TypeError) as caught:
        function(bytes(16), bytes(5), bytearray(32))
    assert caught.value.args == ("'bytearray' object is not an instance of 'bytes'",)
    assert caught.value.__notes__ == ["while processing 'iv'"]


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize("function", [ige256_encrypt, ige256_decrypt])
@pytest.mark.parametrize("length", [0, 15, 16, 33, 4096])
def test_result_is_a_new_bytes_object_and_inputs_are_untouched(function, length):
    data, key, iv = material(length + 1, length)
    data, key, iv = BytesSubclass(data), BytesSubclass(key), BytesSubclass(iv)
    copies = bytes(data), bytes(key), bytes(iv)
    result = function(data, key, iv)
    assert type(result) is bytes
    assert result is not data
    assert result == function(*copies)
    assert (bytes(data), bytes(key), bytes(iv)) == copies


@pytest.mark.parametrize("function", [ige256_encrypt, ige256_decrypt])
def test_each_call_returns_its_own_object(function):
    data, key, iv = material(3, 15)
    first, second = function(data, key, iv), function(data, key, iv)
    assert first == second == data
    assert first is not second and first is not data
