"""Every program in examples/ runs to the end, from outside the working tree,
and shows what it sets out to show."""

import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

# Lines that each example must print; an example not listed here must still run
# cleanly. The examples check their own results with assert, so a wrong result
# ends them with a non-zero status.
EXPECTED_OUTPUT = {
    "client_roundtrip.py": [
        "server opened it: message id, sequence number and body intact",
        "refused by the client (message replayed)",
        "refused by unpack_message (msg_key mismatch)",
    ],
    "obfuscated_stream.py": ["every payload arrived intact and every answer came back"],
    "error_handling.py": [
        "TypeError: 'bytearray' object is not an instance of 'bytes'",
        "note: while processing 'data'",
        "TypeError: 'bytes' object is not an instance of 'bytearray'",
        "TypeError: 'int' object is not an instance of 'bool'",
        "TypeError: kdf() missing 1 required positional argument: 'outgoing'",
        "ValueError: Key must be 32 bytes",
        "ValueError: IV must be 16 bytes",
        "ValueError: packed data too short",
        "ValueError: auth_key_id mismatch",
        "ValueError: decrypted data too short",
        "ValueError: session_id mismatch",
        "ValueError: msg_key mismatch",
        "note: while processing 'salt'",
        "PanicException: range end index 120 out of range for slice of length 100",
    ],
}
# Examples that provoke an internal fault, whose report goes to standard error.
WRITES_FAULT_REPORTS = {"error_handling.py"}


def example_names():
    return sorted(path.name for path in EXAMPLES.glob("*.py"))


def test_the_documented_examples_exist():
    assert set(EXPECTED_OUTPUT) <= set(example_names())


@pytest.mark.parametrize("name", example_names())
def test_example_runs(name, tmp_path):
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / name)],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    for line in EXPECTED_OUTPUT.get(name, []):
        assert line in result.stdout, f"{name} did not print {line!r}:\n{result.stdout}"
    assert "not reached" not in result.stdout
    if name in WRITES_FAULT_REPORTS:
        assert "range end index 120 out of range for slice of length 100" in result.stderr
    else:
        assert result.stderr == ""
