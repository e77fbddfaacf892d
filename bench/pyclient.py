"""The client side of MTProto 2.0 messages as a Python program without a native
module writes it: SHA-256 from hashlib, AES-256-IGE from the system libcrypto's
AES_ige_encrypt through ctypes, AES-256-CTR from the `cryptography` package.
The benchmark compares the module with these, so they are written the way a
careful client would: no needless copies, the output written in place.
"""

import ctypes
import ctypes.util
import hashlib
import os

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes


def _load_libcrypto() -> ctypes.CDLL:
    name = ctypes.util.find_library("crypto")
    if name is None:
        raise OSError("the system libcrypto was not found")
    lib = ctypes.CDLL(name)
    lib.AES_set_encrypt_key.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p]
    lib.AES_set_decrypt_key.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p]
    lib.AES_ige_encrypt.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p,
                                    ctypes.c_void_p, ctypes.c_int]
    lib.AES_ige_encrypt.restype = None
    lib.OpenSSL_version.argtypes = [ctypes.c_int]
    lib.OpenSSL_version.restype = ctypes.c_char_p
    return lib


libcrypto = _load_libcrypto()
LIBCRYPTO_VERSION = libcrypto.OpenSSL_version(0).decode()

# struct aes_key_st { u32 rd_key[4 * (AES_MAXNR + 1)]; int rounds; }
_AesKey = ctypes.c_uint32 * (4 * 15 + 1)


def _address(data: bytes, offset: int = 0) -> int:
    """The address of a bytes object's storage, for handing it to C unchanged."""
    return ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value + offset


def _ige_into(out: bytearray, out_offset: int, source: int, length: int, key: bytes, iv: bytes,
              encrypt: bool) -> None:
    """IGE over `length` bytes (a multiple of 16) at address `source`, written into `out`."""
    if not length:
        return
    schedule = _AesKey()
    (libcrypto.AES_set_encrypt_key if encrypt else libcrypto.AES_set_decrypt_key)(key, 256, schedule)
    ivec = ctypes.create_string_buffer(iv, 32)  # AES_ige_encrypt advances it
    target = (ctypes.c_char * length).from_buffer(out, out_offset)
    libcrypto.AES_ige_encrypt(source, target, length, schedule, ivec, 1 if encrypt else 0)
    del target


def _ige(data: bytes, key: bytes, iv: bytes, encrypt: bool) -> bytearray:
    """IGE over the whole blocks of `data`; a tail is left as is, as the module does."""
    out = bytearray(len(data))
    whole = len(data) & ~15
    _ige_into(out, 0, _address(data), whole, key, iv, encrypt)
    out[whole:] = data[whole:]
    return out


def ige256_encrypt(data: bytes, key: bytes, iv: bytes) -> bytes:
    return _ige(data, key, iv, True)


def ige256_decrypt(data: bytes, key: bytes, iv: bytes) -> bytes:
    return _ige(data, key, iv, False)


def ctr256_encryptor(key: bytes, iv: bytes):
    """A stream that keeps its own position, as a client holds one per connection."""
    return Cipher(algorithms.AES(key), modes.CTR(iv)).encryptor()


def kdf(auth_key: bytes, msg_key: bytes, outgoing: bool) -> tuple[bytes, bytes]:
    x = 0 if outgoing else 8
    a = hashlib.sha256(msg_key + auth_key[x:x + 36]).digest()
    b = hashlib.sha256(auth_key[x + 40:x + 76] + msg_key).digest()
    return a[:8] + b[8:24] + a[24:32], b[:8] + a[8:24] + b[24:32]


def pack_message(data: bytes, salt: int, session_id: bytes, auth_key: bytes, auth_key_id: bytes) -> bytearray:
    length = (len(data) + 43) & ~15
    message = bytearray(24 + length)
    message[24:32] = salt.to_bytes(8, "little", signed=True)
    message[32:40] = session_id
    message[40:40 + len(data)] = data
    message[40 + len(data):] = os.urandom(length - 16 - len(data))
    plaintext = memoryview(message)[24:]
    digest = hashlib.sha256(auth_key[88:120])
    digest.update(plaintext)
    msg_key = digest.digest()[8:24]
    aes_key, aes_iv = kdf(auth_key, msg_key, True)
    # Encrypted in place: the plaintext is read block by block before its
    # block is written.
    _ige_into(message, 24, ctypes.addressof(ctypes.c_char.from_buffer(message, 24)), length, aes_key, aes_iv,
              True)
    del plaintext
    message[:8] = auth_key_id
    message[8:24] = msg_key
    return message


def unpack_message(packed: bytes, session_id: bytes, auth_key: bytes, auth_key_id: bytes) -> bytearray:
    if len(packed) < 24:
        raise ValueError("packed data too short")
    if packed[:8] != auth_key_id:
        raise ValueError("auth_key_id mismatch")
    msg_key = packed[8:24]
    aes_key, aes_iv = kdf(auth_key, msg_key, False)
    length = len(packed) - 24
    if length < 16:
        raise ValueError("decrypted data too short")
    plaintext = bytearray(length)
    whole = length & ~15
    _ige_into(plaintext, 0, _address(packed, 24), whole, aes_key, aes_iv, False)
    plaintext[whole:] = packed[24 + whole:]
    if plaintext[8:16] != session_id:
        raise ValueError("session_id mismatch")
    digest = hashlib.sha256(auth_key[96:128])
    digest.update(plaintext)
    if digest.digest()[8:24] != msg_key:
        raise ValueError("msg_key mismatch")
    del plaintext[:16]  # drops the head without moving the payload
    return plaintext
