"""Calls from several threads at once.

Eight threads run all seven functions over and over, each on inputs of its
own (and each with its own CTR iv and state), and check every result against
values computed beforehand with the independent reference. A second test, in
a fresh interpreter, has the threads race for the values that the module
creates once per process (the PanicException class, the note of a failed
conversion, the interned names its execution step uses). A third has one
thread run CTR on an iv and state that another thread keeps resizing.

They mean most on the free-threaded interpreter, where the calls really run
at the same time; on the others they check the same results under the GIL.
"""

import json
import os
import random
import subprocess
import sys
import textwrap
import threading
import time

import orvanecrypto
import reference
from panic import PanicException

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
import importlib.util, pathlib, shutil, tempfile, threading
import orvanecrypto

THREADS = 8
COPIES = 8
NAMES = ["ige256_encrypt", "ige256_decrypt", "ctr256_encrypt", "ctr256_decrypt", "kdf", "pack_message",
         "unpack_message"]
PANIC_TEXT = "range end index 36 out of range for slice of length 0"
MISMATCH = ("'bytearray' object is not an instance of 'bytes'", ["while processing 'data'"])

def faults_of(module):
    outcome = []
    try:
        module.kdf(b"", b"", True)
    except BaseException as fault:
        outcome.append((type(fault), str(fault)))
    try:
        module.ige256_encrypt(bytearray(16), bytes(32), bytes(32))
    except TypeError as error:
        outcome.append((str(error), error.__notes__))
    return outcome

# Checks the faults all threads met; returns the one PanicException class they share.
def check_faults(outcomes):
    panic_types = {outcome[0][0] for outcome in outcomes}
    assert len(panic_types) == 1, panic_types
    for outcome in outcomes:
        assert outcome[0][1] == PANIC_TEXT and outcome[1] == MISMATCH, outcome
    return panic_types.pop()

# Whether two threads that meet an empty value both create it is a matter of
# timing, so one process holds several races. A copy of the library under
# another directory is loaded afresh, with process-once values of its own
# that nothing has touched yet; the threads each make a module from it and
# execute it at the same moment. The module imported above is raced for
# only once, by the first threads' first calls.
directory = pathlib.Path(tempfile.mkdtemp())
start = threading.Barrier(THREADS)
create_lock = threading.Lock()
first_seen = [None] * THREADS
panic_type = None
copy_types = set()
for copy_index in range(COPIES):
    copy = directory / str(copy_index) / pathlib.Path(orvanecrypto.__file__).name
    copy.parent.mkdir()
    shutil.copyfile(orvanecrypto.__file__, copy)
    module_spec = importlib.util.spec_from_file_location("orvanecrypto", copy)
    seen = [None] * THREADS
    copies = [None] * THREADS

    def race(i):
        if copy_index == 0:
            start.wait()
            first_seen[i] = faults_of(orvanecrypto)
        # Creating the module runs the library's init function, which the
        # interpreter's import lock would serialise; only the execution step,
        # the module's own code, runs in all threads at once.
        with create_lock:
            module = importlib.util.module_from_spec(module_spec)
        start.wait()
        module_spec.loader.exec_module(module)
        copies[i] = module
        # The execution steps end at different moments; the first calls
        # start together again.
        start.wait()
        seen[i] = faults_of(module)

    threads = [threading.Thread(target=race, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    if copy_index == 0:
        panic_type = check_faults(first_seen)
        assert panic_type.__module__ == "pyo3_runtime" and panic_type.__name__ == "PanicException"
        assert issubclass(panic_type, BaseException) and not issubclass(panic_type, Exception)
    # Each copy made one class of its own, once, for all its threads.
    copy_type = check_faults(seen)
    assert copy_type.__name__ == "PanicException" and copy_type not in copy_types | {panic_type}, copy_type
    copy_types.add(copy_type)
    for module in copies:
        assert module.__all__ == NAMES, module.__all__
        assert all(getattr(module, name).__module__ == "orvanecrypto" for name in NAMES)
        assert module.kdf(bytes(256), bytes(16), True) == orvanecrypto.kdf(bytes(256), bytes(16), True)
    assert len({id(module) for module in copies}) == THREADS
shutil.rmtree(directory)
print("ok")
"""


def test_threads_racing_for_the_values_made_once_per_process():
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(RACE_CHILD)], capture_output=True, text=True,
                           timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "ok"


# CTR on an iv and state that another thread resizes, clears and refills. The
# iv only ever holds one of two counters far apart (or a wrong length), so a
# call that read a torn mix of them, or an iv changed halfway through, gives
# blocks that belong to neither.
RESIZE_ROUNDS = 3000
FIRST_COUNTER, SECOND_COUNTER = bytes(16), bytes([0xAA]) * 16
RESIZE_BLOCKS = 64


def _counter_used(output: bytes, key: bytes) -> int:
    """The counter of a call's first block, from its keystream (the data is zeros)."""
    return int.from_bytes(reference.aes_ecb(key, output[:16], decrypt=True), "big")


def resize_race() -> dict:
    """Runs the race; returns how many calls succeeded and how many failed which way."""
    key = bytes(range(32))
    data = bytes(16 * RESIZE_BLOCKS)
    iv, state = bytearray(FIRST_COUNTER), bytearray(1)
    done = threading.Event()
    outcomes = {"ok": 0, "iv": 0, "state": 0}

    def resize():
        rng = random.Random(15)
        changes = [
            lambda: iv.__setitem__(slice(None), FIRST_COUNTER),
            lambda: iv.__setitem__(slice(None), SECOND_COUNTER),
            iv.clear,
            lambda: iv.extend(bytes(24)),
            state.clear,
            lambda: state.__setitem__(slice(None), b"\0"),
            lambda: state.__setitem__(slice(None), b"\0\0\0"),
        ]
        while not done.is_set():
            # Each sleep lets the other thread in where a GIL would keep it
            # out for a whole switch interval: once to meet whatever the
            # changes left, once to meet a usable pair.
            for _ in range(rng.randrange(1, 8)):
                rng.choice(changes)()
            time.sleep(0)
            iv[:] = rng.choice([FIRST_COUNTER, SECOND_COUNTER])
            state[:] = b"\0"
            time.sleep(0)

    def crypt():
        try:
            for round_ in range(RESIZE_ROUNDS):
                time.sleep(0)
                function = orvanecrypto.ctr256_encrypt if round_ % 2 else orvanecrypto.ctr256_decrypt
                try:
                    output = function(data, key, iv, state)
                except ValueError as error:
                    assert error.args == ("IV must be 16 bytes",)
                    outcomes["iv"] += 1
                    continue
                except PanicException as fault:
                    assert str(fault) == "index out of bounds: the len is 0 but the index is 0"
                    outcomes["state"] += 1
                    continue
                # Every call starts on a whole block (the state byte is only
                # ever zero), so the output is the keystream of RESIZE_BLOCKS
                # consecutive counters from one a whole number of calls after
                # one of the two starting values.
                counter = _counter_used(output, key)
                starts = [int.from_bytes(c, "big") for c in (FIRST_COUNTER, SECOND_COUNTER)]
                steps = [(counter - start) % (1 << 128) for start in starts]
                assert any(step % RESIZE_BLOCKS == 0 and step // RESIZE_BLOCKS <= round_ for step in steps), \
                    hex(counter)
                expected, _, _ = reference.ctr_crypt(data, key, counter.to_bytes(16, "big"), 0)
                assert output == expected
                outcomes["ok"] += 1
        finally:
            done.set()

    errors = run_threads([resize, crypt])
    assert errors == [], errors
    return outcomes


def test_ctr_while_another_thread_resizes_its_iv_and_state():
    # In a child interpreter: a write outside the bytearrays shows as a crash
    # of the child, reported here, rather than ending the whole run.
    child = subprocess.run(
        [sys.executable, "-c", "import json, test_threads; print(json.dumps(test_threads.resize_race()))"],
        capture_output=True, text=True, timeout=300,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(__file__), *sys.path])),
    )
    assert child.returncode == 0, child.stderr[-3000:]
    outcomes = json.loads(child.stdout.splitlines()[-1])
    assert sum(outcomes.values()) == RESIZE_ROUNDS
    # Calls both succeeded and failed, or there was no race.
    assert outcomes["ok"] > 0 and outcomes["iv"] + outcomes["state"] > 0, outcomes
