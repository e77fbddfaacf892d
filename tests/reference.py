"""Independent reference implementations, written from the algorithms' definitions
on top of hashlib and the `cryptography` package, to check the module against.
"""

import hashlib
import os

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes


def _xor(a: bytes, b: bytes) -> bytes:
    return bytes(x ^ y for x, y in zip(a, b))


def aes_ecb(key: bytes, data: bytes, decrypt: bool = False) -> bytes:
    cipher = Cipher(algorithms.AES(key), modes.ECB())
    ctx = cipher.decryptor() if decrypt else cipher.encryptor()
    return ctx.update(data) + ctx.finalize()


def ige_encrypt(data: bytes, key: bytes, iv: bytes) -> bytes:
    """y(i) = E(x(i) ^ y(i-1)) ^ x(i-1); iv = y(0) || x(0); a tail is left as is."""
    y_prev, x_prev = iv[:16], iv[16:32]
    whole = len(data) - len(data) % 16
    out = bytearray()
    for i in range(0, whole, 16):
        x = data[i:i + 16]
        y = _xor(aes_ecb(key, _xor(x, y_prev)), x_prev)
        out += y
        y_prev, x_prev = y, x
    return bytes(out) + data[whole:]


def ige_decrypt(data: bytes, key: bytes, iv: bytes) -> bytes:
    """x(i) = D(y(i) ^ x(i-1)) ^ y(i-1); iv = y(0) || x(0); a tail is left as is."""
    y_prev, x_prev = iv[:16], iv[16:32]
    whole = len(data) - len(data) % 16
    out = bytearray()
    for i in range(0, whole, 16):
        y = data[i:i + 16]
        x = _xor(aes_ecb(key, _xor(y, x_prev), decrypt=True), y_prev)
        out += x
        y_prev, x_prev = y, x
    return bytes(out) + data[whole:]


def ctr_crypt(data: bytes, key: bytes, iv: bytes, offset: int) -> tuple[bytes, bytes, int]:
    """CTR over a 128-bit big-endian counter, starting `offset` bytes into the
    block of counter `iv`. Returns (output, final counter block, final offset)."""
    counter = int.from_bytes(iv, "big")
    # The cryptography package counts over all 16 bytes too; skip into the block.
    encryptor = Cipher(algorithms.AES(key), modes.CTR(counter.to_bytes(16, "big"))).encryptor()
    output = encryptor.update(bytes(offset) + data)[offset:]
    position = offset + len(data)
    final_counter = (counter + position // 16) % (1 << 128)
    return output, final_counter.to_bytes(16, "big"), position % 16


def derive_key_iv(auth_key: bytes, msg_key: bytes, outgoing: bool) -> tuple[bytes, bytes]:
    """MTProto 2.0: x = 0 for client-to-server, 8 for server-to-client."""
    x = 0 if outgoing else 8
    sha256_a = hashlib.sha256(msg_key + auth_key[x:x + 36]).digest()
    sha256_b = hashlib.sha256(auth_key[x + 40:x + 76] + msg_key).digest()
    aes_key = sha256_a[:8] + sha256_b[8:24] + sha256_a[24:32]
    aes_iv = sha256_b[:8] + sha256_a[8:24] + sha256_b[24:32]
    return aes_key, aes_iv


def msg_key_of(auth_key: bytes, plaintext: bytes, outgoing: bool) -> bytes:
    x = 0 if outgoing else 8
    return hashlib.sha256(auth_key[88 + x:120 + x] + plaintext).digest()[8:24]


def padding_length(data_length: int) -> int:
    """The least padding of at least 12 bytes that makes 16 + L + padding a multiple of 16."""
    return ((data_length + 43) & ~15) - 16 - data_length


def build_server_message(data: bytes, session_id: bytes, auth_key: bytes, auth_key_id: bytes,
                         salt: bytes | None = None, padding: bytes | None = None) -> bytes:
    """An incoming (server-to-client) message as the server builds it."""
    salt = os.urandom(8) if salt is None else salt
    if padding is None:
        padding = os.urandom(12 + (-(16 + len(data) + 12)) % 16)
    plaintext = salt + session_id + data + padding
    msg_key = msg_key_of(auth_key, plaintext, outgoing=False)
    aes_key, aes_iv = derive_key_iv(auth_key, msg_key, outgoing=False)
    return auth_key_id + msg_key + ige_encrypt(plaintext, aes_key, aes_iv)


def open_client_message(packed: bytes, auth_key: bytes) -> bytes:
    """Decrypts an outgoing (client-to-server) message the way the server does;
    returns the whole plaintext."""
    msg_key = packed[8:24]
    aes_key, aes_iv = derive_key_iv(auth_key, msg_key, outgoing=True)
    return ige_decrypt(packed[24:], aes_key, aes_iv)
