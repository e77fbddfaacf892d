"""Known answers of an installed orvanecrypto, for the roots where the suite
cannot run (no OpenSSL for its reference): run with the interpreter under test.

AES-256 is checked against FIPS 197's example (appendix C.3) through both
modes: IGE with an all-zero vector encrypts the first block as plain AES, and
CTR's first keystream block is the AES of its counter block. A long
CTR run is checked against the same run in pieces, and the key derivation
against MTProto 2.0's definition computed with hashlib. Then a thread that
exits (pthread_exit) in the middle of a call, in a child interpreter: the
child must go on and make the next call. That needs the module to unwind with
the system's unwinder, which is what the glibc wheels are linked for; the
roots that cannot run the suite get the check here. Prints the platform's
interpreter and what passed; any difference fails with exit status 1.
"""

import hashlib
import importlib.machinery
import subprocess
import sys

import orvanecrypto

FIPS197_KEY = bytes(range(32))
FIPS197_PLAINTEXT = bytes.fromhex("00112233445566778899aabbccddeeff")
FIPS197_CIPHERTEXT = bytes.fromhex("8ea2b7ca516745bfeafc49904b496089")


def derive_key_iv(auth_key: bytes, msg_key: bytes, outgoing: bool) -> tuple[bytes, bytes]:
    x = 0 if outgoing else 8
    sha256_a = hashlib.sha256(msg_key + auth_key[x:x + 36]).digest()
    sha256_b = hashlib.sha256(auth_key[x + 40:x + 76] + msg_key).digest()
    return (sha256_a[:8] + sha256_b[8:24] + sha256_a[24:32],
            sha256_b[:8] + sha256_a[8:24] + sha256_b[24:32])


THREAD_EXIT_CHILD = r"""
import ctypes, os, threading, time
import orvanecrypto

libc = ctypes.CDLL(None)
libc.pthread_exit.argtypes = [ctypes.c_void_p]

class Salt:
    def __index__(self):
        libc.pthread_exit(None)

def client():
    orvanecrypto.pack_message(b"payload", Salt(), bytes(8), bytes(256), bytes(8))
    print("the call returned", flush=True)

threading.Thread(target=client, daemon=True).start()
time.sleep(1)  # the exited thread never reports itself finished
print(len(orvanecrypto.pack_message(b"payload", 1, bytes(8), bytes(256), bytes(8))), flush=True)
os._exit(0)
"""


def main() -> int:
    failures = []

    def check(name: str, got: object, want: object) -> None:
        if got != want:
            failures.append(f"{name}: got {got!r}, want {want!r}")

    check("IGE, first block", orvanecrypto.ige256_encrypt(FIPS197_PLAINTEXT, FIPS197_KEY, bytes(32)),
          FIPS197_CIPHERTEXT)
    check("IGE, decryption", orvanecrypto.ige256_decrypt(FIPS197_CIPHERTEXT, FIPS197_KEY, bytes(32)),
          FIPS197_PLAINTEXT)
    iv, state = bytearray(FIPS197_PLAINTEXT), bytearray(1)
    check("CTR, first block", orvanecrypto.ctr256_encrypt(bytes(16), FIPS197_KEY, iv, state), FIPS197_CIPHERTEXT)
    check("CTR, counter after one block", bytes(iv), bytes.fromhex("00112233445566778899aabbccddef00"))
    # A long run goes through the batched path (and its vector XOR).
    data = bytes(range(256)) * 64
    iv_a, iv_b = bytearray(16), bytearray(16)
    once = orvanecrypto.ctr256_encrypt(data, FIPS197_KEY, iv_a, bytearray(1))
    state_b = bytearray(1)
    pieces = b"".join(orvanecrypto.ctr256_encrypt(data[i:i + 1000], FIPS197_KEY, iv_b, state_b)
                      for i in range(0, len(data), 1000))
    check("CTR, whole run against pieces", once, pieces)
    check("CTR, round trip", orvanecrypto.ctr256_decrypt(once, FIPS197_KEY, bytearray(16), bytearray(1)), data)

    auth_key = hashlib.sha512(b"auth key").digest() * 4
    msg_key = hashlib.sha256(b"msg key").digest()[:16]
    for outgoing in (True, False):
        check(f"kdf, outgoing={outgoing}", orvanecrypto.kdf(auth_key, msg_key, outgoing),
              derive_key_iv(auth_key, msg_key, outgoing))

    child = subprocess.run([sys.executable, "-c", THREAD_EXIT_CHILD], capture_output=True, text=True, timeout=300)
    check(f"thread exit in a call (stderr {child.stderr[-2000:]!r})", (child.returncode, child.stdout), (0, "72\n"))

    if failures:
        print("\n".join(failures))
        return 1
    suffixes = importlib.machinery.EXTENSION_SUFFIXES
    print(f"known answers and thread exit passed: {orvanecrypto.__file__} on {sys.version.split()[0]}"
          f"{' free-threaded' if not getattr(sys, '_is_gil_enabled', lambda: True)() else ''}, suffixes {suffixes[0]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
