"""The module on x86-64 processors older than this one, emulated by QEMU.

The module and the crypto library choose their code by the processor's
features: AES-NI for the AES key schedule and IGE chains, SHA-NI for SHA-256,
AVX2 for CTR's XOR. A machine has only one set of features, so the choices it
does not make are run here under qemu-x86_64 with processor models that lack
some of them. Each must give the bytes that this machine gives, and none may
execute an instruction its model lacks (QEMU stops the process with SIGILL).

Controls: each model is first shown to stop a process that executes one of
the instructions it lacks, so that a choice of the wrong code cannot pass.

Skipped where qemu-x86_64 is not installed, the machine is not x86-64 or the
interpreter is started by a script.
"""

import platform
import shutil
import signal
import subprocess
import sys

import pytest

QEMU = shutil.which("qemu-x86_64")


def interpreter_is_a_binary():
    # QEMU runs ELF programs only, not a wrapper script such as the address
    # sanitizer check's, which preloads the sanitizer's runtime.
    with open(sys.executable, "rb") as interpreter:
        return interpreter.read(4) == b"\x7fELF"


# Executed through ctypes: one instruction and a return.
INSTRUCTIONS = {
    "aes": "660f38dcc0",  # aesenc xmm0, xmm0
    "avx2": "c5fdefc0",  # vpxor ymm0, ymm0, ymm0
    "sha": "0f38cbc0",  # sha256rnds2 xmm0, xmm0
    "sse4.1": "660f3a0ec0f0",  # pblendw xmm0, xmm0, 0xf0
    "vaes": "c4e27ddcc0",  # vaesenc ymm0, ymm0, ymm0
}
# Processor models and the instructions each lacks.
MODELS = {
    "Nehalem": ("aes", "avx2", "sha"),  # the library's portable AES; baseline XOR
    "Westmere": ("avx2", "sha"),  # AES-NI without AVX: the module's own IGE, baseline XOR
    "Haswell": ("sha",),  # AVX2 XOR, the library's portable SHA-256
    # States no processor is known to report, which the crypto library would
    # take for enough for its SHA-NI code (which uses SSE4.1) and its VAES code
    # (which the module does not run without AES-NI): the module clears those
    # choices of the library's.
    "Denverton,-sse4.1": ("sse4.1", "avx2"),  # SHA and AES-NI, no SSE4.1
    "qemu64,+sha-ni,+ssse3": ("sse4.1", "aes", "avx2"),  # SHA with SSSE3 alone
    "max,-aes": ("aes", "vaes"),  # AVX2 and the VAES flag without AES-NI
}

RUN_INSTRUCTION = """
import ctypes, mmap, sys
code = bytes.fromhex(sys.argv[1]) + b"\\xc3"
page = mmap.mmap(-1, mmap.PAGESIZE, prot=mmap.PROT_READ | mmap.PROT_WRITE | mmap.PROT_EXEC)
page.write(code)
ctypes.CFUNCTYPE(None)(ctypes.addressof(ctypes.c_char.from_buffer(page)))()
"""

# Every function over sizes that take each path: CTR's head, whole batches
# and tail, IGE chains, the key derivation, and a message packed (its padding
# is random, so only its length is compared).
KNOWN_ANSWERS = """
import hashlib, orvanecrypto as m
out = hashlib.sha256()
key, iv32 = bytes(range(32)), bytes(range(32, 64))
for size in (0, 16, 100, 4096, 65536 + 40):
    data = bytes(i * 7 % 251 for i in range(size))
    iv, state = bytearray(iv32[:16]), bytearray([5])
    out.update(m.ctr256_encrypt(data, key, iv, state) + iv + state)
    if size % 16 == 0:
        encrypted = m.ige256_encrypt(data, key, iv32)
        out.update(encrypted + m.ige256_decrypt(encrypted, key, iv32))
auth_key = bytes(range(256))
for outgoing in (True, False):
    out.update(b"".join(m.kdf(auth_key, bytes(range(16)), outgoing)))
payload = bytes(range(200))
packed = m.pack_message(payload, 7, bytes(8), auth_key, bytes(8))
out.update(len(packed).to_bytes(4, "little"))
print(out.hexdigest())
"""


def under(model, *arguments):
    return subprocess.run([QEMU, "-cpu", model, sys.executable, *arguments], capture_output=True, text=True,
                          timeout=300)


@pytest.fixture(scope="module")
def native_answer():
    return subprocess.run([sys.executable, "-c", KNOWN_ANSWERS], capture_output=True, text=True,
                          check=True).stdout


@pytest.mark.skipif(QEMU is None or platform.machine() != "x86_64", reason="needs qemu-x86_64 on an x86-64 machine")
@pytest.mark.skipif(not interpreter_is_a_binary(), reason="the interpreter is started by a script, which QEMU cannot run")
@pytest.mark.parametrize("model", MODELS)
def test_older_processor_gives_the_same_bytes(model, native_answer):
    for name in MODELS[model]:
        control = under(model, "-c", RUN_INSTRUCTION, INSTRUCTIONS[name])
        assert control.returncode == -signal.SIGILL, f"control: {model} executed {name}: {control.stderr}"
    emulated = under(model, "-c", KNOWN_ANSWERS)
    assert emulated.returncode == 0, f"{model}: exit {emulated.returncode}: {emulated.stderr[-2000:]}"
    assert emulated.stdout == native_answer, model
