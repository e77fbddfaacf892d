"""A client's round trip: pack a request, then open the server's answer.

The module encrypts and decrypts; everything around it stays with the caller:
the inner message header (message id, sequence number, length), the checks on
what a decrypted message says, and the server's side, which this example plays
itself so that it runs without a network.

    ./dev python examples/client_roundtrip.py
"""

import hashlib
import os
import struct
import time
from dataclasses import dataclass

import orvanecrypto

INNER_HEADER = struct.Struct("<qiI")  # message id, sequence number, body length


@dataclass(frozen=True)
class Session:
    auth_key: bytes  # 256 bytes, agreed in the key exchange
    auth_key_id: bytes  # the low 64 bits of SHA-1(auth_key), as sent on the wire
    session_id: bytes  # 8 random bytes chosen by the client
    salt: int  # the server salt, a signed 64-bit integer


def new_session() -> Session:
    auth_key = os.urandom(256)
    return Session(
        auth_key=auth_key,
        auth_key_id=hashlib.sha1(auth_key).digest()[-8:],
        session_id=os.urandom(8),
        salt=int.from_bytes(os.urandom(8), "little", signed=True),
    )


def client_msg_id() -> int:
    """A client's message id: Unix time times 2**32, divisible by 4."""
    return (time.time_ns() * 2**32 // 10**9) & ~3


def inner_message(msg_id: int, seq_no: int, body: bytes) -> bytes:
    return INNER_HEADER.pack(msg_id, seq_no, len(body)) + body


# --- the server's side, written out for the example -------------------------


def server_reads(packed: bytes, session: Session) -> bytes:
    """Opens a client message the way the server does; returns the inner message."""
    msg_key = packed[8:24]
    aes_key, aes_iv = orvanecrypto.kdf(session.auth_key, msg_key, True)
    plaintext = orvanecrypto.ige256_decrypt(packed[24:], aes_key, aes_iv)
    expected = hashlib.sha256(session.auth_key[88:120] + plaintext).digest()[8:24]
    assert expected == msg_key, "the server would refuse this message"
    return plaintext[16:]


def server_answers(inner: bytes, session: Session) -> bytes:
    """Builds an incoming message as the server does: msg_key over auth_key
    bytes 96..127 and the whole plaintext, key and IV for that direction."""
    plaintext = session.salt.to_bytes(8, "little", signed=True) + session.session_id + inner
    plaintext += os.urandom(12 + (-(len(plaintext) + 12)) % 16)
    msg_key = hashlib.sha256(session.auth_key[96:128] + plaintext).digest()[8:24]
    aes_key, aes_iv = orvanecrypto.kdf(session.auth_key, msg_key, False)
    return session.auth_key_id + msg_key + orvanecrypto.ige256_encrypt(plaintext, aes_key, aes_iv)


# --- the client's side -------------------------------------------------------


@dataclass(frozen=True)
class Reply:
    msg_id: int
    seq_no: int
    body: bytes


def open_reply(packed: bytes, session: Session, seen_ids: set[int]) -> Reply:
    """unpack_message checks the key id, the session and the message key; the
    rest of what a message claims is the client's to check."""
    opened = orvanecrypto.unpack_message(packed, session.session_id, session.auth_key, session.auth_key_id)
    msg_id, seq_no, length = INNER_HEADER.unpack_from(opened)
    padding = len(opened) - INNER_HEADER.size - length
    if length % 4 or not 12 <= padding <= 1024:
        raise ValueError("bad message length or padding")
    if msg_id % 4 not in (1, 3):
        raise ValueError("not a server message id")
    if msg_id in seen_ids:
        raise ValueError("message replayed")
    age = time.time() - (msg_id >> 32)
    if not -30 <= age <= 300:
        raise ValueError("message id too far from the local clock")
    seen_ids.add(msg_id)
    return Reply(msg_id, seq_no, opened[INNER_HEADER.size : INNER_HEADER.size + length])


def main() -> None:
    session = new_session()
    request_body = b"\x01\x02\x03\x04 a serialized request..."
    request_id = client_msg_id()

    packed = orvanecrypto.pack_message(
        inner_message(request_id, 1, request_body),
        session.salt,
        session.session_id,
        session.auth_key,
        session.auth_key_id,
    )
    print(f"request: {len(request_body)}-byte body packed into {len(packed)} bytes")
    print(f"  auth_key_id {packed[:8].hex()}  msg_key {packed[8:24].hex()}")

    inner = server_reads(packed, session)
    assert INNER_HEADER.unpack_from(inner) == (request_id, 1, len(request_body))
    print("server opened it: message id, sequence number and body intact")

    answer_body = b"\x05\x06\x07\x08 the server's result"
    answer = server_answers(inner_message(request_id + 1, 1, answer_body), session)

    seen: set[int] = set()
    reply = open_reply(answer, session, seen)
    assert reply.body == answer_body
    print(f"reply: message id {reply.msg_id:#x}, seq_no {reply.seq_no}, body {reply.body!r}")

    try:
        open_reply(answer, session, seen)
    except ValueError as error:
        print(f"the same reply a second time: refused by the client ({error})")

    tampered = bytearray(answer)
    tampered[-1] ^= 0x01
    try:
        open_reply(bytes(tampered), session, set())
    except ValueError as error:
        print(f"one flipped bit: refused by unpack_message ({error})")


if __name__ == "__main__":
    main()
