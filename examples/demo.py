"""A short tour of orvanecrypto: IGE, resumable CTR, and MTProto 2.0 messages."""

import hashlib
import os

import orvanecrypto as oc


def show(label: str, value: bytes, limit: int = 32) -> None:
    text = value[:limit].hex()
    more = f"... ({len(value)} bytes)" if len(value) > limit else f" ({len(value)} bytes)"
    print(f"  {label:<22} {text}{more}")


def demo_ige() -> None:
    print("AES-256-IGE")
    key, iv = os.urandom(32), os.urandom(32)
    plaintext = b"IGE works on whole 16-byte blocks; a tail is left as is."
    ciphertext = oc.ige256_encrypt(plaintext, key, iv)
    show("plaintext", plaintext)
    show("ciphertext", ciphertext)
    assert oc.ige256_decrypt(ciphertext, key, iv) == plaintext
    print(f"  decrypts back: yes; last {len(plaintext) % 16} bytes (the tail) unchanged:",
          ciphertext[-(len(plaintext) % 16):] == plaintext[-(len(plaintext) % 16):])


def demo_ctr() -> None:
    print("AES-256-CTR with a resumable position")
    key = os.urandom(32)
    stream = os.urandom(1000)
    iv, state = bytearray(os.urandom(16)), bytearray(1)
    start = bytes(iv)
    pieces, offset = [], 0
    for size in (1, 15, 16, 17, 100, 851):
        pieces.append(oc.ctr256_encrypt(stream[offset:offset + size], key, iv, state))
        offset += size
        print(f"  piece of {size:>3} bytes -> iv ends {iv[-2:].hex()}, state[0] = {state[0]:>2}")
    one_iv, one_state = bytearray(start), bytearray(1)
    whole = oc.ctr256_encrypt(stream, key, one_iv, one_state)
    print("  pieces join up to the one-call output:", b"".join(pieces) == whole,
          "| same final iv and state:", (one_iv, one_state) == (iv, state))
    back_iv, back_state = bytearray(start), bytearray(1)
    assert oc.ctr256_decrypt(whole, key, back_iv, back_state) == stream


def demo_messages() -> None:
    print("MTProto 2.0 messages")
    auth_key = os.urandom(256)
    auth_key_id = hashlib.sha1(auth_key).digest()[-8:]
    session_id, salt = os.urandom(8), -0x1122334455667788
    payload = b"a TL-serialised request would go here"
    packed = oc.pack_message(payload, salt, session_id, auth_key, auth_key_id)
    print(f"  pack_message of {len(payload)} bytes -> {len(packed)} bytes:")
    show("0..8    auth_key_id", packed[:8])
    show("8..24   msg_key", packed[8:24])
    show("24..    encrypted", packed[24:])
    key, iv = oc.kdf(auth_key, packed[8:24], True)
    plaintext = oc.ige256_decrypt(packed[24:], key, iv)
    print("  decrypted with kdf(outgoing=True): salt little-endian:",
          plaintext[:8] == salt.to_bytes(8, "little", signed=True),
          "| session:", plaintext[8:16] == session_id,
          "| payload:", plaintext[16:16 + len(payload)] == payload,
          f"| padding: {len(plaintext) - 16 - len(payload)} bytes")

    # A message as the server builds it: incoming direction, msg_key over
    # auth_key bytes 96..128 and the whole plaintext.
    reply = b"the server's answer"
    body = os.urandom(8) + session_id + reply
    body += os.urandom(12 + (-(len(body) + 12)) % 16)
    msg_key = hashlib.sha256(auth_key[96:128] + body).digest()[8:24]
    key, iv = oc.kdf(auth_key, msg_key, False)
    incoming = auth_key_id + msg_key + oc.ige256_encrypt(body, key, iv)
    opened = oc.unpack_message(incoming, session_id, auth_key, auth_key_id)
    print(f"  unpack_message of a server message ({len(incoming)} bytes) ->",
          opened[:len(reply)], f"+ {len(opened) - len(reply)} bytes of padding")
    forged = bytearray(incoming)
    forged[-1] ^= 1
    try:
        oc.unpack_message(bytes(forged), session_id, auth_key, auth_key_id)
    except ValueError as error:
        print(f"  the same message with one bit flipped is rejected: ValueError({str(error)!r})")


if __name__ == "__main__":
    print("orvanecrypto exports:", ", ".join(oc.__all__))
    demo_ige()
    demo_ctr()
    demo_messages()
