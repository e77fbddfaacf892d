"""Every error a caller of orvanecrypto should expect, and the `except` for it.

    TypeError       an argument of the wrong type, or missing, or given twice
    ValueError      a wrong key or IV length; a message that does not open
    OverflowError   a salt outside the signed 64-bit range
    OSError         the operating system's random source failed (pack_message)
    MemoryError     no memory for the result
    PanicException  a length the module does not check up front: a bug in the
                    caller, derived from BaseException so that it is not
                    swallowed by `except Exception`

Lines marked `type: ignore` are calls that a type checker refuses as well.

    ./dev python examples/error_handling.py
"""

import hashlib
import os

import orvanecrypto

AUTH_KEY = os.urandom(256)
AUTH_KEY_ID = hashlib.sha1(AUTH_KEY).digest()[-8:]
SESSION_ID = os.urandom(8)


def show(title: str, error: BaseException) -> None:
    notes = getattr(error, "__notes__", [])
    print(f"{title}\n    {type(error).__name__}: {error}" + "".join(f"\n    note: {note}" for note in notes))


def is_internal_fault(error: BaseException) -> bool:
    """PanicException is not a module attribute; it is known by its name and
    by deriving directly from BaseException."""
    return type(error).__name__ == "PanicException" and type(error).__bases__ == (BaseException,)


def server_message(data: bytes, session_id: bytes = SESSION_ID) -> bytes:
    """An incoming message, built the way the server builds it."""
    plaintext = os.urandom(8) + session_id + data
    plaintext += os.urandom(12 + (-(len(plaintext) + 12)) % 16)
    msg_key = hashlib.sha256(AUTH_KEY[96:128] + plaintext).digest()[8:24]
    aes_key, aes_iv = orvanecrypto.kdf(AUTH_KEY, msg_key, False)
    return AUTH_KEY_ID + msg_key + orvanecrypto.ige256_encrypt(plaintext, aes_key, aes_iv)


def type_errors() -> None:
    try:
        orvanecrypto.ige256_encrypt(bytearray(16), bytes(32), bytes(32))  # type: ignore[arg-type]
    except TypeError as error:
        show("a bytearray where bytes are wanted (the note names the argument):", error)
    try:
        orvanecrypto.ctr256_encrypt(b"data", bytes(32), bytes(16), bytearray(1))  # type: ignore[arg-type]
    except TypeError as error:
        show("bytes for the CTR position, which must be a bytearray to be updated:", error)
    try:
        orvanecrypto.kdf(AUTH_KEY, bytes(16), 1)  # type: ignore[arg-type]
    except TypeError as error:
        show("1 for `outgoing`, which takes only True or False:", error)
    try:
        orvanecrypto.kdf(AUTH_KEY, bytes(16))  # type: ignore[call-arg]
    except TypeError as error:
        show("a missing argument:", error)


def value_errors() -> None:
    try:
        orvanecrypto.ige256_encrypt(b"sixteen bytes!!!", bytes(16), bytes(32))
    except ValueError as error:
        show("an AES-128 key given to AES-256:", error)
    try:
        orvanecrypto.ctr256_encrypt(b"data", bytes(32), bytearray(32), bytearray(1))
    except ValueError as error:
        show("a 32-byte IGE vector given to CTR:", error)

    # A message from the network is untrusted: any ValueError means "drop it".
    good = server_message(b"a reply")
    flipped = bytearray(good)
    flipped[-1] ^= 1
    received = {
        "a truncated message": good[:20],
        "a message under another key": os.urandom(8) + good[8:],
        "a message with no room for the session": good[:32],
        "a message of another session": server_message(b"a reply", session_id=os.urandom(8)),
        "a message altered on the way": bytes(flipped),
    }
    for what, packed in received.items():
        try:
            orvanecrypto.unpack_message(packed, SESSION_ID, AUTH_KEY, AUTH_KEY_ID)
        except ValueError as error:
            show(f"{what}, dropped:", error)
    payload = orvanecrypto.unpack_message(good, SESSION_ID, AUTH_KEY, AUTH_KEY_ID)
    assert payload.startswith(b"a reply")


def overflow_error() -> None:
    # OverflowError is an ArithmeticError, not a ValueError: name it.
    try:
        orvanecrypto.pack_message(b"", 2**63, SESSION_ID, AUTH_KEY, AUTH_KEY_ID)
    except OverflowError as error:
        show("a salt above 2**63 - 1 (salts are signed 64-bit integers):", error)


def send(data: bytes, salt: int) -> bytes | None:
    """Where pack_message runs, OSError and MemoryError are conditions of the
    machine, not of the arguments: report them rather than retry blindly."""
    try:
        return orvanecrypto.pack_message(data, salt, SESSION_ID, AUTH_KEY, AUTH_KEY_ID)
    except OSError as error:
        print(f"the random source for the padding failed: {error}")
    except MemoryError:
        print("out of memory for the message")
    return None


def internal_fault() -> None:
    # An auth_key cut to 100 bytes: pack_message reads bytes 88 to 119 of it
    # for the message key. The module reports the fault on standard error and
    # raises PanicException.
    short_key = AUTH_KEY[:100]
    try:
        try:
            orvanecrypto.pack_message(b"", 0, SESSION_ID, short_key, AUTH_KEY_ID)
        except Exception:
            print("not reached: `except Exception` does not catch PanicException")
    except BaseException as error:
        if not is_internal_fault(error):
            raise
        show("a 100-byte auth_key (a bug of the caller; only `except BaseException` sees it):", error)
    # The cure is to check lengths where keys and identifiers enter the program.
    assert len(AUTH_KEY) == 256 and len(AUTH_KEY_ID) == 8 and len(SESSION_ID) == 8


def main() -> None:
    type_errors()
    value_errors()
    overflow_error()
    assert send(b"a request", -1) is not None
    internal_fault()


if __name__ == "__main__":
    main()
