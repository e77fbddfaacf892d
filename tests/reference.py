"""Independent reference implementations, written from the algorithms' definitions
on top of hashlib and OpenSSL's AES (its libcrypto, through ctypes), to check
the module against.

OpenSSL is reached through ctypes rather than through a compiled Python
package, so that the reference runs on every interpreter the module is built
for, the free-threaded one included. Where the system has no libcrypto (a musl
interpreter built for trying the release wheels), the AES of the `cryptography`
package, which carries its own OpenSSL, stands in.
"""

import ctypes
import ctypes.util
import hashlib
import os


def _load_libcrypto() -> ctypes.CDLL | None:
    for name in (ctypes.util.find_library("crypto"), "libcrypto.so.3", "libcrypto.3.dylib"):
        if name:
            try:
                return ctypes.CDLL(name)
            except OSError:
                continue
    return None


_libcrypto = _load_libcrypto()
if _libcrypto is None:
    try:
        from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
    except ImportError:
        raise ImportError("the test reference needs OpenSSL's libcrypto (version 3) or the cryptography package; "
                          "neither was found") from None
else:
    _libcrypto.EVP_aes_256_ecb.restype = ctypes.c_void_p
    _libcrypto.EVP_aes_256_ecb.argtypes = []
    _libcrypto.EVP_CIPHER_CTX_new.restype = ctypes.c_void_p
    _libcrypto.EVP_CIPHER_CTX_new.argtypes = []
    _libcrypto.EVP_CIPHER_CTX_free.restype = None
    _libcrypto.EVP_CIPHER_CTX_free.argtypes = [ctypes.c_void_p]
    _libcrypto.EVP_CipherInit_ex.restype = ctypes.c_int
    _libcrypto.EVP_CipherInit_ex.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p,
                                             ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]
    _libcrypto.EVP_CIPHER_CTX_set_padding.restype = ctypes.c_int
    _libcrypto.EVP_CIPHER_CTX_set_padding.argtypes = [ctypes.c_void_p, ctypes.c_int]
    _libcrypto.EVP_CipherUpdate.restype = ctypes.c_int
    _libcrypto.EVP_CipherUpdate.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_int),
                                            ctypes.c_char_p, ctypes.c_int]


def _xor(a: bytes, b: bytes) -> bytes:
    return bytes(x ^ y for x, y in zip(a, b))


def aes_ecb(key: bytes, data: bytes, decrypt: bool = False) -> bytes:
    """AES-256 in ECB mode over whole blocks (FIPS 197), by OpenSSL."""
    assert len(key) == 32 and len(data) % 16 == 0
    if _libcrypto is None:
        cipher = Cipher(algorithms.AES256(key), modes.ECB())
        context = cipher.decryptor() if decrypt else cipher.encryptor()
        return context.update(data) + context.finalize()
    context = _libcrypto.EVP_CIPHER_CTX_new()
    if not context:
        raise MemoryError("EVP_CIPHER_CTX_new failed")
    try:
        output, written = ctypes.create_string_buffer(len(data) + 16), ctypes.c_int(0)
        ok = (_libcrypto.EVP_CipherInit_ex(context, _libcrypto.EVP_aes_256_ecb(), None, key, None,
                                           0 if decrypt else 1) == 1
              and _libcrypto.EVP_CIPHER_CTX_set_padding(context, 0) == 1
              and _libcrypto.EVP_CipherUpdate(context, output, ctypes.byref(written), data, len(data)) == 1)
        if not ok or written.value != len(data):
            raise RuntimeError("OpenSSL's AES-256-ECB failed")
        return output.raw[:len(data)]
    finally:
        _libcrypto.EVP_CIPHER_CTX_free(context)


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
    position = offset + len(data)
    blocks = (position + 15) // 16
    counters = b"".join(((counter + i) % (1 << 128)).to_bytes(16, "big") for i in range(blocks))
    keystream = aes_ecb(key, counters)[offset:position]
    output = (int.from_bytes(data, "big") ^ int.from_bytes(keystream, "big")).to_bytes(len(data), "big")
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
