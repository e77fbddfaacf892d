"""MTProto 2.0 client cryptography: AES-256-IGE, resumable AES-256-CTR, the
message key derivation, and packing and opening of encrypted messages. For
CPython 3.14 and 3.15, and the free-threaded 3.14t.

Every function keeps no state, takes ``bytes`` (or a subclass) wherever it only
reads, and returns new objects. Argument errors are ``TypeError`` (a failed
conversion carries the note "while processing '<parameter>'"); the functions'
own checks raise ``ValueError`` with a fixed message. Lengths that the module
does not check up front (a short ``auth_key``, a ``session_id`` or
``auth_key_id`` that is not 8 bytes long in ``pack_message``, an empty CTR
``state``) end the call with ``PanicException``, a class derived directly from
``BaseException`` and not exported by the module: ``except Exception`` does not
catch it.
"""

from typing import SupportsIndex

__all__ = [
    "ige256_encrypt",
    "ige256_decrypt",
    "ctr256_encrypt",
    "ctr256_decrypt",
    "kdf",
    "pack_message",
    "unpack_message",
]

def ige256_encrypt(data: bytes, key: bytes, iv: bytes) -> bytes:
    """Encrypt ``data`` with AES-256 in IGE mode and return the ciphertext.

    ``key`` is 32 bytes; ``iv`` is 32 bytes, the previous ciphertext block
    followed by the previous plaintext block. Whole 16-byte blocks are
    encrypted; a tail shorter than a block comes back unchanged.

    Raises ``ValueError`` "Key must be 32 bytes" or "IV must be 32 bytes", and
    ``TypeError`` for an argument that is not ``bytes``.
    """

def ige256_decrypt(data: bytes, key: bytes, iv: bytes) -> bytes:
    """Decrypt ``data`` with AES-256 in IGE mode and return the plaintext.

    Takes the same ``key`` and ``iv`` as :func:`ige256_encrypt`; a tail
    shorter than a block comes back unchanged.

    Raises ``ValueError`` "Key must be 32 bytes" or "IV must be 32 bytes", and
    ``TypeError`` for an argument that is not ``bytes``.
    """

def ctr256_encrypt(data: bytes, key: bytes, iv: bytearray, state: bytearray) -> bytes:
    """Encrypt ``data`` with AES-256 in CTR mode, continuing a keystream.

    ``iv`` is the 16-byte big-endian counter block and ``state[0]`` the number
    of bytes (0 to 15) of its keystream block already used. On success both are
    updated in place, so a stream may be passed through in pieces of any size.

    Raises ``ValueError`` "Key must be 32 bytes" or "IV must be 16 bytes",
    ``TypeError`` when ``iv`` or ``state`` is not a ``bytearray`` or ``data``
    or ``key`` not ``bytes``, and ``PanicException`` for an empty ``state``.
    ``iv`` and ``state`` are left as they were on every failure.
    """

def ctr256_decrypt(data: bytes, key: bytes, iv: bytearray, state: bytearray) -> bytes:
    """Decrypt ``data`` with AES-256 in CTR mode, continuing a keystream.

    The same operation as :func:`ctr256_encrypt`, with the same arguments,
    updates and errors.
    """

def kdf(auth_key: bytes, msg_key: bytes, outgoing: bool) -> tuple[bytes, bytes]:
    """Derive the AES-256 key and IGE vector of one message.

    Returns ``(aes_key, aes_iv)``, 32 bytes each, for the client-to-server
    direction when ``outgoing`` is true and for server-to-client otherwise.
    ``msg_key`` may be of any length. ``outgoing`` must be a ``bool`` (or a
    NumPy boolean); ``0`` and ``1`` are refused.

    Raises ``TypeError`` for a wrongly typed argument and ``PanicException``
    when ``auth_key`` is shorter than 76 bytes (outgoing) or 84 bytes
    (incoming).
    """

def pack_message(
    data: bytes,
    salt: SupportsIndex,
    session_id: bytes,
    auth_key: bytes,
    auth_key_id: bytes,
) -> bytes:
    """Build one encrypted client-to-server message.

    Lays out ``salt`` (signed 64-bit, little-endian), ``session_id``, ``data``
    and 12 to 27 bytes of random padding, and returns ``auth_key_id``, the
    16-byte ``msg_key`` and the AES-256-IGE ciphertext: ``len(data)`` + 52 to
    67 bytes in all.

    Raises ``TypeError`` for a wrongly typed argument, ``OverflowError`` for a
    ``salt`` outside the signed 64-bit range, ``OSError`` when the operating
    system's random source fails, and ``PanicException`` when ``session_id``
    or ``auth_key_id`` is not 8 bytes or ``auth_key`` is shorter than 120
    bytes.
    """

def unpack_message(packed: bytes, session_id: bytes, auth_key: bytes, auth_key_id: bytes) -> bytes:
    """Check and decrypt one server-to-client message.

    Returns the payload followed by its padding (``len(packed)`` - 40 bytes);
    separating the two is the caller's task, as are the message id, sequence
    number and padding checks.

    Raises ``ValueError`` "packed data too short", "auth_key_id mismatch",
    "decrypted data too short", "session_id mismatch" or "msg_key mismatch"
    (in that order of checking), ``TypeError`` for a wrongly typed argument,
    and ``PanicException`` when ``auth_key`` is shorter than 128 bytes.
    """
