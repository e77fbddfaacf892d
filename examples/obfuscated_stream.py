"""An obfuscated transport: both directions of a connection go through
AES-256-CTR, in pieces of whatever size the program or the socket hands over.

The client opens the connection with 64 random bytes. Bytes 8 to 55 give the
two keys and counter blocks: read forwards for client-to-server, backwards for
server-to-client. Bytes 56 to 59 name the framing used inside (0xeeeeeeee: a
4-byte little-endian length, then the payload) and only arrive encrypted, since
the first 56 bytes go out in the clear and the last 8 through the stream.

Each direction is one long keystream. Its position (the counter block and the
offset into that block) lives in two bytearrays that the caller keeps and passes
on every call; the module updates them, so pieces of any size join up.

    ./dev python examples/obfuscated_stream.py
"""

import os
import random
import socket
import struct
import threading

import orvanecrypto

FRAMING_TAG = b"\xee\xee\xee\xee"
LENGTH = struct.Struct("<I")
# First words that would make the opening look like another protocol.
RESERVED_STARTS = (b"HEAD", b"POST", b"GET ", b"OPTI", b"\x16\x03\x01\x02", b"\xdd\xdd\xdd\xdd", b"\xee\xee\xee\xee")


class CtrStream:
    """One direction of the connection: a key and a keystream position."""

    def __init__(self, key: bytes, counter_block: bytes) -> None:
        self.key = key
        self.iv = bytearray(counter_block)  # rewritten by every call
        self.state = bytearray(1)  # state[0]: bytes used of the current keystream block

    def apply(self, data: bytes) -> bytes:
        # Encryption and decryption are the same operation in CTR mode.
        return orvanecrypto.ctr256_encrypt(data, self.key, self.iv, self.state)


def opening_bytes() -> bytes:
    while True:
        init = bytearray(os.urandom(64))
        init[56:60] = FRAMING_TAG
        if init[0] != 0xEF and bytes(init[:4]) not in RESERVED_STARTS and any(init[4:8]):
            return bytes(init)


def streams(init: bytes, is_client: bool) -> tuple[CtrStream, CtrStream]:
    """(sending stream, receiving stream) for one end of the connection."""
    forward = init[8:56]
    backward = forward[::-1]
    to_server = CtrStream(forward[:32], forward[32:48])
    to_client = CtrStream(backward[:32], backward[32:48])
    return (to_server, to_client) if is_client else (to_client, to_server)


def send_in_pieces(sock: socket.socket, stream: CtrStream, data: bytes, rng: random.Random) -> None:
    offset = 0
    while offset < len(data):
        size = rng.randint(1, 37)
        sock.sendall(stream.apply(data[offset : offset + size]))
        offset += size


class FrameReader:
    """Decrypts whatever the socket delivers and cuts it into frames."""

    def __init__(self, sock: socket.socket, stream: CtrStream, rng: random.Random) -> None:
        self.sock, self.stream, self.rng = sock, stream, rng
        self.buffer = b""

    def _fill(self, wanted: int) -> bool:
        while len(self.buffer) < wanted:
            chunk = self.sock.recv(self.rng.randint(1, 29))
            if not chunk:
                return False
            self.buffer += self.stream.apply(chunk)
        return True

    def frame(self) -> bytes | None:
        if not self._fill(LENGTH.size):
            return None
        (length,) = LENGTH.unpack_from(self.buffer)
        if not self._fill(LENGTH.size + length):
            raise ConnectionError("connection closed inside a frame")
        payload = self.buffer[LENGTH.size : LENGTH.size + length]
        self.buffer = self.buffer[LENGTH.size + length :]
        return payload


def server(sock: socket.socket, received: list[bytes]) -> None:
    rng = random.Random(2)
    init = b""
    while len(init) < 64:
        chunk = sock.recv(64 - len(init))
        if not chunk:
            raise ConnectionError("connection closed during the opening")
        init += chunk
    sending, receiving = streams(init, is_client=False)
    # The whole opening went through the client's stream, so decrypting it here
    # brings this end's position to byte 64 too, and reveals the framing tag.
    if receiving.apply(init)[56:60] != FRAMING_TAG:
        raise ConnectionError("unknown framing")
    reader = FrameReader(sock, receiving, rng)
    while (payload := reader.frame()) is not None:
        received.append(payload)
        answer = payload[::-1]
        send_in_pieces(sock, sending, LENGTH.pack(len(answer)) + answer, rng)
    sock.close()


def main() -> None:
    client_sock, server_sock = socket.socketpair()
    received: list[bytes] = []
    server_thread = threading.Thread(target=server, args=(server_sock, received))
    server_thread.start()

    rng = random.Random(1)
    init = opening_bytes()
    sending, receiving = streams(init, is_client=True)
    encrypted_init = sending.apply(init)
    client_sock.sendall(init[:56] + encrypted_init[56:])

    payloads = [os.urandom(size) for size in (0, 1, 15, 16, 17, 100, 1000, 4096)]
    for payload in payloads:
        send_in_pieces(client_sock, sending, LENGTH.pack(len(payload)) + payload, rng)
    client_sock.shutdown(socket.SHUT_WR)

    reader = FrameReader(client_sock, receiving, rng)
    answers = []
    while (answer := reader.frame()) is not None:
        answers.append(answer)
    server_thread.join()
    client_sock.close()

    assert received == payloads, "the server read other payloads than were sent"
    assert answers == [payload[::-1] for payload in payloads], "the answers do not match"
    sent = 64 + sum(LENGTH.size + len(payload) for payload in payloads)
    print(f"{len(payloads)} frames: {sent} bytes to the server and {sent - 64} back, in pieces of 1 to 37 bytes")
    print(f"client-to-server position: counter block ...{sending.iv[-4:].hex()}, offset {sending.state[0]}")
    print(f"server-to-client position: counter block ...{receiving.iv[-4:].hex()}, offset {receiving.state[0]}")
    print("every payload arrived intact and every answer came back")


if __name__ == "__main__":
    main()
