"""Calls from several threads at once.

Eight threads run all seven functions over and over, each on inputs of its
own (and each with its own CTR iv and state), and check every result against
values computed beforehand with the independent reference. A second test, in
a fresh interpreter, has the threads race for the values that the module
creates once per process (the PanicException class, the note of a failed
conversion).
"""

import os
import random
import subprocess
import sys
import textwrap
import threading

import orvanecrypto
import reference

THREADS = 8
ROUNDS = max(50, int(os.environ.get("ORVANECRYPTO_FUZZ_EXAMPLES", "100")))
CTR_PIECES = [0, 1, 15, 16, 17, 3, 40, 5]


class Workload:
    """One thread's inputs and the reference's answers for them."""

    def __init__(self, origin: int):
        rng = random.Random(origin)
        self.key, self.ige_iv = rng.randbytes(32), rng.randbytes(32)
        self.data = rng.randbytes(rng.randrange(1, 80))
        self.ige_encrypted = reference.ige_encrypt(self.data, self.key, self.ige_iv)
        self.ige_decrypted = reference.ige_decrypt(self.data, self.key, self.ige_iv)

        self.ctr_iv = rng.randbytes(16)
        self.stream_length = ROUNDS * sum(CTR_PIECES)
        self.stream_input = rng.randbytes(self.stream_length)
        self.stream_output, self.final_iv, self.final_offset = reference.ctr_crypt(
            self.stream_input, self.key, self.ctr_iv, 0)

        self.auth_key, self.msg_key = rng.randbytes(256), rng.randbytes(16)
        self.outgoing = origin % 2 == 0
        self.derived = reference.derive_key_iv(self.auth_key, self.msg_key, self.outgoing)

        self.auth_key_id, self.session_id = rng.randbytes(8), rng.randbytes(8)
        self.salt = rng.randrange(-(1 << 63), 1 << 63)
        padding = rng.randbytes(reference.padding_length(len(self.data)))
        self.incoming = reference.build_server_message(self.data, self.session_id, self.auth_key,
                                                       self.auth_key_id, None, padding)
        self.opened = self.data + padding

    def run(self, start: threading.Barrier):
        iv, state = bytearray(self.ctr_iv), bytearray(1)
        position = 0
        start.wait()
        for _ in range(ROUNDS):
            assert orvanecrypto.ige256_encrypt(self.data, self.key, self.ige_iv) == self.ige_encrypted
            assert orvanecrypto.ige256_decrypt(self.data, self.key, self.ige_iv) == self.ige_decrypted
            for i, piece in enumerate(CTR_PIECES):
                function = orvanecrypto.ctr256_encrypt if i % 2 else orvanecrypto.ctr256_decrypt
                chunk = self.stream_input[position:position + piece]
                assert function(chunk, self.key, iv, state) == self.stream_output[position:position + piece]
                position += piece
            assert orvanecrypto.kdf(self.auth_key, self.msg_key, self.outgoing) == self.derived
            packed = orvanecrypto.pack_message(self.data, self.salt, self.session_id, self.auth_key,
                                               self.auth_key_id)
            plaintext = reference.open_client_message(packed, self.auth_key)
            assert packed[:8] == self.auth_key_id
            assert plaintext[:16] == self.salt.to_bytes(8, "little", signed=True) + self.session_id
            assert plaintext[16:16 + len(self.data)] == self.data
            assert packed[8:24] == reference.msg_key_of(self.auth_key, plaintext, outgoing=True)
            assert orvanecrypto.unpack_message(self.incoming, self.session_id, self.auth_key,
                                               self.auth_key_id) == self.opened
        assert position == self.stream_length
        assert (bytes(iv), state[0]) == (self.final_iv, self.final_offset)


def run_threads(targets):
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as error:  # noqa: BLE001 - reported to the main thread
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(target,)) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return errors


def test_all_functions_from_eight_threads_match_the_reference():
    workloads = [Workload(origin) for origin in range(THREADS)]
    start = threading.Barrier(THREADS)
    errors = run_threads([lambda w=w: w.run(start) for w in workloads])
    assert errors == []


RACE_CHILD = r"""
import threading
import orvanecrypto

THREADS = 8
start = threading.Barrier(THREADS)
seen = [None] * THREADS

def first_faults(i):
    start.wait()
    outcome = []
    try:
        orvanecrypto.kdf(b"", b"", True)
    except BaseException as fault:
        outcome.append((type(fault), str(fault)))
    try:
        orvanecrypto.ige256_encrypt(bytearray(16), bytes(32), bytes(32))
    except TypeError as error:
        outcome.append((str(error), error.__notes__))
    seen[i] = outcome

threads = [threading.Thread(target=first_faults, args=(i,)) for i in range(THREADS)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()

panic_types = {outcome[0][0] for outcome in seen}
assert len(panic_types) == 1, panic_types
panic_type = panic_types.pop()
assert panic_type.__module__ == "pyo3_runtime" and panic_type.__name__ == "PanicException"
assert issubclass(panic_type, BaseException) and not issubclass(panic_type, Exception)
for outcome in seen:
    assert outcome[0][1] == "range end index 36 out of range for slice of length 0", outcome
    assert outcome[1] == ("'bytearray' object is not an instance of 'bytes'", ["while processing 'data'"]), outcome
print("ok")
"""


def test_threads_racing_for_the_values_made_once_per_process():
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(RACE_CHILD)], capture_output=True, text=True,
                           timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "ok"
