"""The native test programs (tests/native), built with CMake and run with ctest.

They check what Python cannot see: that no AES round key survives the
operation that expanded it, on the hardware and on the portable AES path;
that the module's own AES-NI and SHA-NI code runs exactly where the
processor and the crypto library allow it; on x86-64, that the module reads
the processor's extensions as the kernel lists them (the choice of its AES,
SHA-256 and XOR code rests on it); and that the random source of a build for
an older glibc (the release wheels') fills its regions, through the C
library's getrandom and through the system call that replaces it where the C
library has none.
They need the source tree, CMake, a C++ compiler and the crypto library's
development files; where any is missing (an installed wheel tested on its
own) the test is skipped with the reason.
"""

import os
import pathlib
import platform
import shutil
import subprocess
import sys

import pytest

SOURCE = pathlib.Path(__file__).resolve().parent.parent
# One build tree per architecture and interpreter: the roots of other
# architectures (run under emulation) share the source tree, and CMake keeps
# the Python it found in its cache.
BUILD = SOURCE / "build" / f"native-suite-{platform.machine()}-{sys.implementation.cache_tag}{sys.abiflags}"


PROGRAMS = ["key_schedule_wipe", "cpu_choices", "random_fallback_library", "random_fallback_system-call"]


def missing_tool():
    if not (SOURCE / "CMakeLists.txt").is_file() or not (SOURCE / "tests" / "native").is_dir():
        return "not run from the source tree"
    for tool in ("cmake", "ctest", "c++", "ninja", "pkg-config"):
        if shutil.which(tool) is None:
            return f"{tool} is not installed"
    if subprocess.run(["pkg-config", "--exists", "botan-3"]).returncode != 0:
        return "the crypto library's development files are not installed"
    return None


def test_native_programs_pass():
    reason = missing_tool()
    if reason:
        pytest.skip(reason)
    configure = ["cmake", "-S", str(SOURCE), "-B", str(BUILD), "-G", "Ninja",
                 "-DCMAKE_BUILD_TYPE=RelWithDebInfo", f"-DPython_EXECUTABLE={sys.executable}",
                 "-DORVANECRYPTO_NATIVE_TESTS=ON", "-DORVANECRYPTO_WERROR=ON"]
    programs = PROGRAMS + (["cpu_features"] if platform.machine() == "x86_64" else [])
    for step in (configure, ["cmake", "--build", str(BUILD), "--target", *programs]):
        built = subprocess.run(step, capture_output=True, text=True)
        assert built.returncode == 0, built.stdout + built.stderr
    env = {k: v for k, v in os.environ.items() if k != "BOTAN_CLEAR_CPUID"}
    run = subprocess.run(["ctest", "--test-dir", str(BUILD), "--output-on-failure"],
                         capture_output=True, text=True, env=env, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "100% tests passed" in run.stdout, run.stdout
