"""The shipped type stubs: they agree with the installed module, they refuse the
calls the module refuses, and the examples type-check under mypy --strict."""

import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed (Debian package: mypy)")
try:
    import mypy.build  # noqa: F401 - Debian's mypy is compiled for the interpreter with the GIL only
except ImportError as error:
    pytest.skip(f"mypy does not run on this interpreter: {error}", allow_module_level=True)

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def run_mypy(args: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    # Run from a scratch directory so that no configuration file or cache of the
    # working tree takes part; the stubs come from the environment's site-packages.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(cwd / ".mypy_cache"), *args],
        cwd=cwd, capture_output=True, text=True, timeout=300,
    )


def test_stubtest_finds_the_stubs_in_agreement_with_the_module(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "orvanecrypto"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 1 module" in result.stdout


def test_examples_type_check_under_strict_mode(tmp_path):
    # --strict includes --warn-unused-ignores, so every `type: ignore` in the
    # examples must mark a call that the stubs really refuse.
    examples = sorted(str(path) for path in EXAMPLES.glob("*.py"))
    assert examples, f"no examples in {EXAMPLES}"
    result = run_mypy(["--strict", *examples], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


# Each line marked `# E` must be reported by mypy and no other line may be.
MISUSE = '''
    import numpy as np
    import orvanecrypto as oc

    k = bytes(32)
    class Salt:
        def __index__(self) -> int:
            return 7

    oc.ige256_encrypt(bytearray(16), k, k)  # E a bytearray is not bytes
    oc.ige256_decrypt(memoryview(k), k, k)  # E nor is a memoryview
    oc.ige256_encrypt(b"", k, "iv")  # E
    oc.ctr256_encrypt(b"", k, bytes(16), bytearray(1))  # E the position must be mutable
    oc.ctr256_decrypt(b"", k, bytearray(16), b"\\x00")  # E
    oc.ctr256_encrypt(bytearray(1), k, bytearray(16), bytearray(1))  # E
    oc.kdf(k, k, 1)  # E outgoing takes only a bool
    oc.kdf(k, k, None)  # E
    oc.kdf(k, k)  # E missing argument
    oc.kdf(k, k, True, False)  # E too many
    oc.kdf(k, msg_key=k, outgoing=True, direction=True)  # E unknown keyword
    oc.pack_message(b"", "1", k, k, k)  # E a str salt
    oc.pack_message(b"", 1.5, k, k, k)  # E a float salt
    oc.unpack_message(b"", k, k)  # E
    oc.PanicException  # E not a module attribute
    text: str = oc.unpack_message(k, k, k, k)  # E the result is bytes

    oc.pack_message(b"", True, k, k, k)
    oc.pack_message(b"", Salt(), k, k, k)
    oc.pack_message(b"", np.int64(-1), k, k, k)
    oc.pack_message(data=b"", salt=1, session_id=k, auth_key=k, auth_key_id=k)
    oc.ctr256_encrypt(b"", k, iv=bytearray(16), state=bytearray(1))
    key, iv = oc.kdf(k, k, outgoing=False)
    reveal_type(oc.kdf(k, k, True))
    reveal_type(oc.ctr256_decrypt(b"", k, bytearray(16), bytearray(1)))
    reveal_type(oc.__all__)
'''


def test_stubs_refuse_what_the_module_refuses(tmp_path):
    source = textwrap.dedent(MISUSE).lstrip()
    (tmp_path / "misuse.py").write_text(source)
    expected = {number for number, line in enumerate(source.splitlines(), 1) if "# E" in line}

    result = run_mypy(["--strict", "--strict-bytes", "--allow-untyped-defs", "misuse.py"], tmp_path)
    reported = {int(match[1]) for match in re.finditer(r"^misuse\.py:(\d+): error:", result.stdout, re.M)}
    assert reported == expected, result.stdout
    # Older mypy releases qualify builtin names ("builtins.bytes"); newer ones do not.
    revealed = [kind.replace("builtins.", "") for kind in re.findall(r'Revealed type is "([^"]+)"', result.stdout)]
    assert revealed == ["tuple[bytes, bytes]", "bytes", "list[str]"], result.stdout
