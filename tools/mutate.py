"""Mutation testing of src/: makes one-line faults in the C++ sources and
checks that the test suite notices each of them.

    ./dev mutate [--jobs N] [--fresh] [--list] [PATH ...]

PATH limits the run to some source files or folders (a shard); results are
kept in build/mutate/results.json for the same sources and tests, so a run
that was stopped goes on where it stopped, and a run without PATH after
sharded runs only reports. Mutants listed in tools/mutate-equivalent.txt are
not run and do not count.

Every mutant is built in a copy of the sources (build/mutate/wN/tree) with
its own CMake/Ninja build, so only the touched translation unit is compiled
and linked again; the working tree is never written. The tests import the
copy's module through PYTHONPATH: first the test files that cover the mutated
file, then the rest, each with `pytest -x`. A build error makes a mutant
"not built" (it does not count); a test run past its time limit kills it.
"""
from __future__ import annotations

import argparse
import difflib
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
WORK = REPO / "build" / "mutate"
EQUIVALENT_FILE = REPO / "tools" / "mutate-equivalent.txt"

# Test files that build a wheel from the working tree or type-check the
# stubs: they cannot see a mutant of the module.
NOT_RUN = {"test_wheel.py", "test_typing.py"}

# The tests most likely to kill a mutant of each source file, run first.
FIRST_TESTS = {
    "src/modes/ige": ["test_ige.py"],
    "src/modes/block": ["test_ige.py"],
    "src/modes/ctr": ["test_ctr.py", "test_stack_residue.py", "test_cpu_models.py"],
    "src/primitives/aes256": ["test_ige.py", "test_ctr.py", "test_native.py", "test_cpu_models.py"],
    "src/primitives/aes256_x86": ["test_ige.py", "test_native.py", "test_cpu_models.py"],
    "src/message/kdf": ["test_kdf.py", "test_pack_message.py", "test_unpack_message.py"],
    "src/primitives/sha256": ["test_kdf.py", "test_cpu_models.py"],
    "src/primitives/sha256_x86": ["test_kdf.py", "test_cpu_models.py"],
    "src/message/pack": ["test_pack_message.py"],
    "src/message/unpack": ["test_unpack_message.py", "test_forgery.py"],
    "src/message/messages": ["test_pack_message.py", "test_unpack_message.py"],
    "src/primitives/library_cpu_x86": ["test_cpu_models.py", "test_kdf.py", "test_ige.py"],
    "src/primitives/vector_registers": ["test_stack_residue.py"],
    "src/primitives/random_source": ["test_random_failure.py", "test_pack_message.py", "test_native.py"],
    "src/core/checked": ["test_fault_injection.py", "test_call_frame.py"],
    "src/core/errors": ["test_call_frame.py", "test_fault_injection.py"],
    "src/surface/arguments": ["test_call_frame.py"],
    "src/surface/conversions": ["test_call_frame.py"],
    "src/surface/guard": ["test_call_frame.py", "test_fault_injection.py"],
    "src/surface/raise": ["test_call_frame.py", "test_fault_injection.py", "test_random_failure.py"],
    "src/surface/results": ["test_fault_injection.py", "test_kdf.py", "test_call_frame.py"],
    "src/surface/entries": ["test_call_frame.py", "test_module_surface.py"],
    "src/surface/module": ["test_module_surface.py"],
    "src/surface/panic": ["test_call_frame.py", "test_fault_injection.py"],
    "src/surface/once": ["test_module_surface.py", "test_threads.py"],
    "src/surface/py_ref": ["test_refcounts.py", "test_call_frame.py"],
}

# Calls that are hooks of the constant-time check build and do nothing in
# this one: deleting them is not a fault any test could see.
CHECK_BUILD_HOOKS = {"declassify", "control_branch_on_secret"}

# Macros as the mutants are built (GCC on x86-64 Linux); code under other
# branches of the preprocessor is not compiled and gets no mutants.
DEFINED_MACROS = {"__GNUC__", "__x86_64__", "__linux__"}
UNDEFINED_MACROS = {"_WIN32", "__clang__", "_MSC_VER", "ORVANECRYPTO_CT_CHECK", "Py_GIL_DISABLED",
                    "ORVANECRYPTO_KEEP_VECTOR_REGISTERS"}

# The types behind the subclass flags of a type, for the exact-type mutants of
# a flag test.
SUBCLASS_FLAG_TYPES = {"BYTES": "PyBytes_Type", "UNICODE": "PyUnicode_Type", "LIST": "PyList_Type",
                       "TUPLE": "PyTuple_Type", "DICT": "PyDict_Type", "LONG": "PyLong_Type", "TYPE": "PyType_Type"}

STATEMENT_KEYWORDS = {"return", "throw", "if", "for", "while", "switch", "sizeof", "static_assert", "delete",
                      "new", "case", "else", "do", "co_return", "using", "typedef", "template"}


@dataclass
class Mutant:
    path: str  # relative to the repository
    operator: str
    line: int  # 1-based, for the report only
    start: int  # offset of the replaced text in the file
    end: int
    replacement: str
    identity: str = ""

    def apply(self, text: str) -> str:
        return text[:self.start] + self.replacement + text[self.end:]

    def diff(self, text: str) -> str:
        before = text.splitlines(keepends=True)
        after = self.apply(text).splitlines(keepends=True)
        return "".join(difflib.unified_diff(before, after, f"a/{self.path}", f"b/{self.path}", n=1))


# ---------------------------------------------------------------------------
# Finding mutants


def mask_comments_and_literals(text: str) -> str:
    """The text with comments, string and character literals and preprocessor
    lines blanked out (same length, newlines kept), so that no mutant ever
    touches a contract text or an #include."""
    out = list(text)
    i, n = 0, len(text)

    def blank(a: int, b: int) -> None:
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    at_line_start = True
    while i < n:
        c = text[i]
        if at_line_start and c == "#":
            j = i
            while j < n and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            blank(i, min(j, n))
            i = j
            continue
        if c == "\n":
            at_line_start = True
            i += 1
            continue
        if not c.isspace():
            at_line_start = False
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            blank(i, j)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            blank(i, j)
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            blank(i, j + 1)
            i = j + 1
        else:
            i += 1
    return "".join(out)


def inactive_lines(text: str) -> set[int]:
    """0-based numbers of the lines that the preprocessor leaves out of this build."""
    def evaluate(expression: str) -> bool | None:
        expression = re.sub(r"defined\s*\(\s*(\w+)\s*\)|defined\s+(\w+)",
                            lambda m: " 1 " if (m[1] or m[2]) in DEFINED_MACROS else
                            (" 0 " if (m[1] or m[2]) in UNDEFINED_MACROS else " U "), expression)
        if "U" in expression or re.search(r"[A-Za-z_]", expression.replace("U", "")):
            return None
        return bool(eval(expression.replace("&&", " and ").replace("||", " or ").replace("!", " not ")))

    skipped: set[int] = set()
    stack: list[tuple[bool, bool]] = []  # (this branch active, some branch taken)
    for number, line in enumerate(text.splitlines()):
        stripped = line.strip()
        directive = re.match(r"#\s*(if|ifdef|ifndef|elif|else|endif)\b(.*)", stripped)
        outer_active = all(active for active, _ in stack)
        if directive:
            kind, rest = directive[1], directive[2].split("//")[0].strip()
            if kind in ("if", "ifdef", "ifndef"):
                if kind == "ifdef":
                    rest = f"defined({rest})"
                elif kind == "ifndef":
                    rest = f"!defined({rest})"
                value = evaluate(rest)
                active = True if value is None else value
                stack.append((active, active))
            elif kind == "elif" and stack:
                _, taken = stack[-1]
                value = evaluate(rest)
                active = not taken and (True if value is None else value)
                stack[-1] = (active, taken or active)
            elif kind == "else" and stack:
                _, taken = stack[-1]
                stack[-1] = (not taken, True)
            elif kind == "endif" and stack:
                stack.pop()
            continue
        if not outer_active:
            skipped.add(number)
    return skipped


def matching_paren(code: str, open_at: int) -> int:
    depth = 0
    for k in range(open_at, len(code)):
        if code[k] == "(":
            depth += 1
        elif code[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


def top_level_arguments(code: str, open_at: int, close_at: int) -> list[tuple[int, int]]:
    """Spans of the arguments of a call whose parentheses are at open_at and close_at."""
    spans, depth, start = [], 0, open_at + 1
    for k in range(open_at + 1, close_at):
        c = code[k]
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif c == "<" and re.match(r"[\w:]", code[k - 1]) and not code[k + 1].isspace():
            depth += 1  # a template argument list
        elif c == ">" and depth > 0 and not code[k - 1].isspace() and code[k - 1] != "-":
            depth -= 1
        elif c == "," and depth == 0:
            spans.append((start, k))
            start = k + 1
    spans.append((start, close_at))
    return [(a + len(code[a:b]) - len(code[a:b].lstrip()), b - (len(code[a:b]) - len(code[a:b].rstrip())))
            for a, b in spans if code[a:b].strip()]


DECLARATION = re.compile(r"(?:const\s+)?[A-Za-z_][\w:]*(?:<[^()]*>)?(?:\s*const)?[\s*&]+(?:const\s+)?[A-Za-z_]\w*"
                         r"(?:\s*=.*)?|[A-Za-z_][\w:]*(?:<[^()]*>)?\s*[*&]+(?:\s*const)?", re.S)


def argument_kind(expression: str) -> str | None:
    """A rough type of an argument, so that only arguments likely to have the
    same type trade places: a name, a count or offset, or a pointer; None for
    anything else."""
    expression = expression.strip()
    if re.fullmatch(r"[A-Za-z_]\w*", expression):
        return "name"
    if re.search(r"\.(data|begin|end)\(\)|^&|reinterpret_cast|\.get\(\)", expression):
        return "pointer"
    if re.fullmatch(r"[\w.:+\-*/% ()]+", expression) and re.search(r"\d|\.size\(\)|_size\b", expression):
        return "count"
    return None


def in_template_arguments(code: str, start: int, end: int) -> bool:
    line_start = code.rfind("\n", 0, start) + 1
    line_end = code.find("\n", end)
    return bool(re.search(r"\w<[^<>()]*$", code[line_start:start]) and re.match(r"[^<>()]*>", code[end:line_end]))


def find_mutants(path: str, text: str) -> list[Mutant]:
    code = mask_comments_and_literals(text)
    skipped_lines = inactive_lines(text)
    line_starts = [0] + [m.end() for m in re.finditer("\n", text)]
    mutants: list[Mutant] = []

    def line_of(offset: int) -> int:
        lo, hi = 0, len(line_starts) - 1
        while lo < hi:
            mid = (lo + hi + 1) // 2
            if line_starts[mid] <= offset:
                lo = mid
            else:
                hi = mid - 1
        return lo

    def add(operator: str, start: int, end: int, replacement: str) -> None:
        line = line_of(start)
        if line in skipped_lines or "static_assert" in code[line_starts[line]:code.find("\n", start)]:
            return
        mutants.append(Mutant(path, operator, line + 1, start, end, replacement))

    # Relational and equality operators, written with spaces on both sides
    # (which template brackets and shifts never are).
    swaps = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
    for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", code):
        add("relational", m.start(), m.end(), swaps[m[1]])
    for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", code):
        add("logical", m.start(), m.end(), "||" if m[1] == "&&" else "&&")
    # Integer constants: sizes, offsets, bounds, the direction offset.
    for m in re.finditer(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.])", code):
        if in_template_arguments(code, m.start(), m.end()):
            continue  # a template argument: another value does not build
        value = int(m[1], 0)
        spelled = (lambda v: hex(v) if m[1].lower().startswith("0x") else str(v))
        add("constant+1", m.start(1), m.end(1), spelled(value + 1))
        if value > 0:
            add("constant-1", m.start(1), m.end(1), spelled(value - 1))
    for m in re.finditer(r"\b(true|false)\b", code):
        add("boolean", m.start(), m.end(), "false" if m[1] == "true" else "true")
    # Negated conditions of if, while and the conditional operator.
    for m in re.finditer(r"\b(if(?:\s+constexpr)?|while)\s*\(", code):
        open_at = m.end() - 1
        close_at = matching_paren(code, open_at)
        if close_at > 0:
            add("negated", open_at + 1, close_at, f"!({text[open_at + 1:close_at]})")
    for m in re.finditer(r"([\w.]+(?:\(\))?) \? ", code):
        add("negated", m.start(1), m.end(1), f"!{m[1]}")
    # Deleted calls whose value is not used: a statement that is one call.
    statement_start = re.compile(r"(?:(?<=[;{}])|(?<=\belse)|^)\s*", re.M)
    call_head = re.compile(r"([A-Za-z_][\w:]*(?:<[\w:, ]*>)?(?:(?:\.|->)[A-Za-z_]\w*)*)\s*\(")
    starts = {m.end() for m in statement_start.finditer(code)}
    for m in re.finditer(r"\b(?:if(?:\s+constexpr)?|for|while)\s*\(", code):
        close_at = matching_paren(code, m.end() - 1)
        if close_at > 0:
            k = close_at + 1
            while k < len(code) and code[k].isspace():
                k += 1
            starts.add(k)
    for start in sorted(starts):
        head = call_head.match(code, start)
        if not head:
            continue
        name = head[1].split("::")[-1].split(".")[-1].split("->")[-1].split("<")[0]
        first = head[1].split("::")[0].split("<")[0]
        if first in STATEMENT_KEYWORDS or name in CHECK_BUILD_HOOKS:
            continue
        close_at = matching_paren(code, head.end() - 1)
        if close_at < 0:
            continue
        after = close_at + 1
        while after < len(code) and code[after].isspace():
            after += 1
        if after < len(code) and code[after] == ";":
            add("deleted-call", start, after, "(void)0")
    # Subclass handling: where the code accepts subclasses, an exact-type test
    # instead, and the other way round.
    for m in re.finditer(r"\bPy(\w+?)_Check(Exact)?\(", code):
        add("check-exact", m.start(), m.end() - 1, f"Py{m[1]}_Check" if m[2] else f"Py{m[1]}_CheckExact")
    for m in re.finditer(r"\b(PyObject_TypeCheck|Py_IS_TYPE)\(", code):
        add("type-check", m.start(1), m.end(1), "Py_IS_TYPE" if m[1] == "PyObject_TypeCheck" else "PyObject_TypeCheck")
    for m in re.finditer(r"\bPyType_HasFeature\(Py_TYPE\(([\w.()]+?)\), Py_TPFLAGS_(\w+)_SUBCLASS\)", code):
        if m[2] in SUBCLASS_FLAG_TYPES:
            add("check-exact", m.start(), m.end(), f"Py_IS_TYPE({text[m.start(1):m.end(1)]}, &{SUBCLASS_FLAG_TYPES[m[2]]})")
    for m in re.finditer(r"\bPyErr_(Given)?ExceptionMatches\(", code):
        close_at = matching_paren(code, m.end() - 1)
        if close_at < 0:
            continue
        arguments = [text[a:b].strip() for a, b in top_level_arguments(code, m.end() - 1, close_at)]
        if m[1] and len(arguments) == 2:
            exact = f"(reinterpret_cast<PyObject*>(Py_TYPE({arguments[0]})) == ({arguments[1]}))"
        elif not m[1] and len(arguments) == 1:
            exact = f"(PyErr_Occurred() == ({arguments[0]}))"
        else:
            continue
        add("exact-match", m.start(), close_at + 1, exact)
    # Swapped arguments: neighbouring arguments of a call trade places; a swap
    # of arguments of different types does not build and does not count.
    for m in re.finditer(r"[\w>]\s*\(", code):
        open_at = m.end() - 1
        before = code[:open_at].rstrip()
        word = re.search(r"(\w+)$", before)
        if word and word[1] in STATEMENT_KEYWORDS | {"defined", "decltype", "noexcept", "alignof"}:
            continue
        close_at = matching_paren(code, open_at)
        if close_at < 0 or "\n" in code[open_at:close_at] and close_at - open_at > 400:
            continue
        arguments = top_level_arguments(code, open_at, close_at)
        if any(DECLARATION.fullmatch(code[a:b]) for a, b in arguments):
            continue  # a parameter list
        for (a0, a1), (b0, b1) in zip(arguments, arguments[1:]):
            first, second = text[a0:a1], text[b0:b1]
            if first == second or "\n" in first + second:
                continue
            kind = argument_kind(code[a0:a1])
            if kind is None or kind != argument_kind(code[b0:b1]):
                continue
            add("swapped-arguments", a0, b1, second + text[a1:b0] + first)

    mutants.sort(key=lambda mu: (mu.start, mu.end, mu.operator, mu.replacement))
    # Identity: the file, the operator, the line's text and the mutant's place
    # among the same operator's mutants of that text, so that edits elsewhere
    # in the file do not rename it.
    seen: dict[tuple[str, str], int] = {}
    unique: list[Mutant] = []
    done: set[tuple[int, int, str]] = set()
    for mutant in mutants:
        if (mutant.start, mutant.end, mutant.replacement) in done:
            continue
        done.add((mutant.start, mutant.end, mutant.replacement))
        line_text = text.splitlines()[mutant.line - 1].strip()
        key = (mutant.operator, line_text)
        index = seen.get(key, 0)
        seen[key] = index + 1
        digest = hashlib.sha256(f"{mutant.operator}\0{line_text}".encode()).hexdigest()[:10]
        mutant.identity = f"{path}:{mutant.operator}:{digest}:{index}"
        unique.append(mutant)
    return unique


def source_files(selection: list[str]) -> list[str]:
    files = sorted(str(p.relative_to(REPO)) for p in (REPO / "src").rglob("*") if p.suffix in (".cpp", ".hpp"))
    if not selection:
        return files
    wanted = [str(Path(s).resolve().relative_to(REPO)) if Path(s).exists() else s.rstrip("/") for s in selection]
    return [f for f in files if any(f == w or f.startswith(w + "/") for w in wanted)]


def read_equivalents() -> dict[str, str]:
    equivalents = {}
    if EQUIVALENT_FILE.exists():
        for line in EQUIVALENT_FILE.read_text().splitlines():
            line = line.strip()
            if line and not line.startswith("#"):
                identity, _, why = line.partition(" ")
                equivalents[identity] = why.strip()
    return equivalents


# ---------------------------------------------------------------------------
# Building and testing


def digest_of(snapshot: dict[str, bytes], prefixes: tuple[str, ...]) -> str:
    digest = hashlib.sha256()
    for relative in sorted(snapshot):
        if relative.startswith(prefixes):
            digest.update(relative.encode() + b"\0" + hashlib.sha256(snapshot[relative]).digest())
    return digest.hexdigest()[:16]


def run_killable(command: list[str], timeout: float, **kwargs) -> tuple[int | None, str]:
    """Runs a command in a process group of its own; None on a timeout, after
    the whole group has been killed."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               start_new_session=True, **kwargs)
    try:
        output, _ = process.communicate(timeout=timeout)
        return process.returncode, output
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return None, output
    except BaseException:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        raise


class Worker:
    """A copy of the sources with its own build directory."""

    def __init__(self, number: int):
        self.root = WORK / f"w{number}"
        self.tree = self.root / "tree"
        self.build = self.root / "build"

    def sync(self, snapshot: dict[str, bytes]) -> None:
        """Makes the copy equal to the snapshot of the working tree, rewriting
        only files that differ so that Ninja rebuilds no more than it must."""
        for relative, content in snapshot.items():
            copy = self.tree / relative
            if not copy.exists() or copy.read_bytes() != content:
                copy.parent.mkdir(parents=True, exist_ok=True)
                copy.write_bytes(content)

    def configure(self, snapshot: dict[str, bytes]) -> None:
        self.sync(snapshot)
        if (self.build / "build.ninja").exists():
            return
        subprocess.run(["cmake", "-S", str(self.tree), "-B", str(self.build), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={sys.executable}"],
                       check=True, stdout=subprocess.DEVNULL)

    def compile(self) -> tuple[bool, str]:
        status, output = run_killable(["ninja", "-C", str(self.build), "-j", "1"], 600)
        return status == 0, output

    def module_file(self) -> Path:
        return next(self.build.glob("orvanecrypto*.so"))


# What a worker's copy holds: the sources, and the tests with what they read,
# so that the working tree may change while a run goes on.
COPIED = ("CMakeLists.txt", "cmake", "pyproject.toml", "src", "stubs", "tests", "examples")


def take_snapshot() -> dict[str, bytes]:
    snapshot = {}
    for name in COPIED:
        path = REPO / name
        for p in ([path] if path.is_file() else sorted(path.rglob("*"))):
            if p.is_file() and "__pycache__" not in p.parts:
                snapshot[str(p.relative_to(REPO))] = p.read_bytes()
    return snapshot


def pytest_command(worker: Worker, files: list[str], junit: Path | None = None) -> list[str]:
    command = [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "--hypothesis-seed=0",
               "--tb=line", "-o", "addopts=--strict-markers --strict-config"]
    if junit:
        command += [f"--junitxml={junit}", "-o", "junit_family=legacy"]
    return command + [str(worker.tree / "tests" / f) for f in files]


def test_environment(worker: Worker, storage: str) -> dict[str, str]:
    environment = dict(os.environ)
    environment["PYTHONPATH"] = str(worker.build)
    environment["HYPOTHESIS_STORAGE_DIRECTORY"] = storage  # no examples replayed from other mutants
    environment["ORVANECRYPTO_MUTANT_BUILD"] = str(worker.build)
    environment.pop("ORVANECRYPTO_FUZZ_EXAMPLES", None)
    return environment


def all_test_files() -> list[str]:
    return sorted(p.name for p in (REPO / "tests").glob("test_*.py") if p.name not in NOT_RUN)


def test_order(path: str, durations: dict[str, float]) -> tuple[list[str], list[str]]:
    key = path.rsplit(".", 1)[0]
    first = [f for f in FIRST_TESTS.get(key, []) if f in durations]
    rest = sorted((f for f in durations if f not in first), key=lambda f: (durations[f], f))
    return first, rest


def baseline(worker: Worker) -> dict[str, float]:
    """Builds the unmutated copy and runs every test file against it; returns
    each file's run time. The suite must pass, or no mutant result means anything."""
    ok, output = worker.compile()
    if not ok:
        sys.exit(f"the unmutated sources do not build:\n{output}")
    files = all_test_files()
    with tempfile.TemporaryDirectory() as storage:
        junit = worker.root / "baseline.xml"
        started = time.monotonic()
        status, output = run_killable(pytest_command(worker, files, junit), 1800, cwd=worker.tree,
                                      env=test_environment(worker, storage))
        elapsed = time.monotonic() - started
    if status != 0:
        sys.exit(f"the test suite fails without any mutant:\n{output[-3000:]}")
    if "orvanecrypto" not in output and not worker.module_file().exists():
        sys.exit("no module was built")
    durations = dict.fromkeys(files, 0.0)
    for case in ElementTree.parse(junit).getroot().iter("testcase"):
        name = case.get("classname", "").split(".")[-1] + ".py"
        if name in durations:
            durations[name] += float(case.get("time", 0))
    print(f"baseline: {len(files)} test files pass in {elapsed:.1f} s", flush=True)
    return durations


def check_import(worker: Worker) -> None:
    """Makes sure the tests import the copy's module, not an installed one."""
    probe = subprocess.run([sys.executable, "-c", "import orvanecrypto; print(orvanecrypto.__file__)"],
                           capture_output=True, text=True, env=test_environment(worker, "/nonexistent"))
    if Path(probe.stdout.strip()).resolve() != worker.module_file().resolve():
        sys.exit(f"the tests would import {probe.stdout.strip() or probe.stderr}, not {worker.module_file()}")


# pytest's exit statuses for a run that ran no test: a usage error (a named
# file or test not found) and nothing collected. Such a run kills nothing.
PYTEST_RAN_NOTHING = {4: "usage error", 5: "no tests collected"}


class NothingRan(Exception):
    """A test run ran no test: what it names is not there."""


def killed_by(status: int, output: str) -> str | None:
    """What failed in a finished test run, None if it passed."""
    if status == 0:
        return None
    if status in PYTEST_RAN_NOTHING:
        raise NothingRan(f"pytest exit status {status} ({PYTEST_RAN_NOTHING[status]}):\n{output[-2000:]}")
    failed = re.findall(r"^(?:FAILED|ERROR) (\S+)", output, re.M) or \
        [line for line in output.splitlines() if "Error" in line or "Fatal" in line][:1] or \
        [f"exit status {status}"]
    return failed[0][:200]


def check_missing_tests_refused(worker: Worker) -> None:
    """Control: a run of a test file that is not there must not count as a kill."""
    status, output = run_killable(pytest_command(worker, ["test_renamed_probe.py"]), 120, cwd=worker.tree,
                                  env=test_environment(worker, "/nonexistent"))
    try:
        killed_by(status, output)
    except NothingRan:
        return
    sys.exit(f"control: a run of a missing test file (exit status {status}) would have killed a mutant")


def run_mutant(worker: Worker, mutant: Mutant, original: str, durations: dict[str, float]) -> dict:
    target = worker.tree / mutant.path
    started = time.monotonic()
    target.write_text(mutant.apply(original))
    try:
        built, output = worker.compile()
        if not built:
            return {"status": "not built", "seconds": time.monotonic() - started}
        first, rest = test_order(mutant.path, durations)
        for phase in (first, rest):
            if not phase:
                continue
            # A generous limit over the unmutated run time: only a hang reaches it.
            limit = 20 + 3 * sum(durations[f] for f in phase) + 1.5 * len(phase)
            with tempfile.TemporaryDirectory() as storage:
                status, output = run_killable(pytest_command(worker, phase), limit, cwd=worker.tree,
                                              env=test_environment(worker, storage))
            if status is None:
                return {"status": "timed out", "by": " ".join(phase), "seconds": time.monotonic() - started}
            killer = killed_by(status, output)
            if killer:
                return {"status": "killed", "by": killer, "seconds": time.monotonic() - started}
        return {"status": "survived", "seconds": time.monotonic() - started}
    finally:
        target.write_text(original)


# ---------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("paths", nargs="*", help="source files or folders to mutate (default: all of src/)")
    parser.add_argument("--jobs", type=int, default=1, help="mutants built and tested at once (default 1)")
    parser.add_argument("--fresh", action="store_true", help="forget the kept results")
    parser.add_argument("--list", action="store_true", help="only list the mutants")
    parser.add_argument("--reuse-killed", action="store_true",
                        help="keep earlier kills of mutants whose file is unchanged, though the tests changed")
    options = parser.parse_args()

    files = source_files(options.paths)
    if not files:
        sys.exit(f"no source files match {options.paths}")
    equivalents = read_equivalents()
    snapshot = take_snapshot()
    texts = {f: snapshot[f].decode() for f in files}
    mutants = [m for f in files for m in find_mutants(f, texts[f])]
    if options.list:
        for m in mutants:
            mark = "  (equivalent)" if m.identity in equivalents else ""
            print(f"{m.identity}  line {m.line}{mark}\n{m.diff(texts[m.path])}")
        print(f"{len(mutants)} mutants")
        return 0

    WORK.mkdir(parents=True, exist_ok=True)
    results_file = WORK / "results.json"
    # A result holds for the sources and tests it was found with. With
    # --reuse-killed, a mutant killed before is not run again while the file
    # it mutates is unchanged: for adding tests that kill the survivors.
    tree = digest_of(snapshot, ("CMakeLists.txt", "cmake/", "src/"))
    tests = digest_of(snapshot, ("tests/", "examples/", "pyproject.toml"))
    saved = json.loads(results_file.read_text()) if results_file.exists() and not options.fresh else {}
    durations: dict[str, float] = saved.get("durations", {}) if saved.get("baseline") == [tree, tests] else {}
    results: dict[str, dict] = {}
    reused = 0
    file_hashes = {f: hashlib.sha256(snapshot[f]).hexdigest()[:16] for f in files}
    for m in mutants:
        outcome = saved.get("results", {}).get(m.identity)
        if not outcome:
            continue
        if outcome.get("tree") == tree and outcome.get("tests") == tests:
            results[m.identity] = outcome
        elif options.reuse_killed and outcome["status"] != "survived" and outcome.get("file") == file_hashes[m.path]:
            results[m.identity] = outcome
            reused += 1
    lock = threading.Lock()

    def save() -> None:
        everything = {**saved.get("results", {}), **results}
        temporary = results_file.with_suffix(".tmp")
        temporary.write_text(json.dumps({"baseline": [tree, tests], "durations": durations, "results": everything},
                                        indent=1, sort_keys=True))
        temporary.replace(results_file)

    pending = [m for m in mutants if m.identity not in equivalents and m.identity not in results]
    started = time.monotonic()
    if pending:
        workers = [Worker(n) for n in range(max(1, min(options.jobs, len(pending))))]
        for worker in workers:
            worker.configure(snapshot)
        if durations:  # the unmutated suite passed on these sources before
            if not workers[0].compile()[0]:
                sys.exit("the unmutated sources do not build")
        else:
            durations.update(baseline(workers[0]))
            save()
        for worker in workers[1:]:
            if not worker.compile()[0]:
                sys.exit("the unmutated sources do not build")
        for worker in workers:
            check_import(worker)
        check_missing_tests_refused(workers[0])
        print(f"{len(pending)} mutants to run ({len(mutants) - len(pending)} equivalent or kept from an earlier run)",
              flush=True)
        queue = list(pending)
        finished: list[Mutant] = []
        failure: list[BaseException] = []

        def work(worker: Worker) -> None:
            while True:
                with lock:
                    if not queue or failure:
                        return
                    mutant = queue.pop(0)
                try:
                    outcome = run_mutant(worker, mutant, texts[mutant.path], durations)
                except BaseException as error:  # noqa: BLE001 - handed to the main thread
                    failure.append(error)
                    return
                outcome.update(tree=tree, tests=tests, file=file_hashes[mutant.path])
                with lock:
                    results[mutant.identity] = outcome
                    save()
                    finished.append(mutant)
                    print(f"[{len(finished)}/{len(pending)}] {outcome['status']:9} {outcome['seconds']:5.1f} s  "
                          f"{mutant.path}:{mutant.line} {mutant.operator}", flush=True)

        threads = [threading.Thread(target=work, args=(w,), daemon=True) for w in workers]
        for thread in threads:
            thread.start()
        try:
            for thread in threads:
                while thread.is_alive():
                    thread.join(0.5)
        except KeyboardInterrupt:
            with lock:
                failure.append(KeyboardInterrupt())
                queue.clear()
            print("\nstopping: results so far are kept in build/mutate/results.json; the working tree was "
                  "never changed", file=sys.stderr)
            for thread in threads:
                thread.join()
            return 130
        if failure:
            raise failure[0]
        print(f"ran {len(pending)} mutants in {time.monotonic() - started:.0f} s", flush=True)

    if reused:
        print(f"{reused} mutants killed in an earlier run against other tests or sources were not run again "
              "(--reuse-killed)")
    return report(files, mutants, texts, equivalents, results)


def report(files, mutants, texts, equivalents, results) -> int:
    rows = []
    totals = dict.fromkeys(("mutants", "equivalent", "not built", "killed", "timed out", "survived", "not run"), 0)
    survivors = []
    for f in files:
        counts = dict.fromkeys(totals, 0)
        for m in (m for m in mutants if m.path == f):
            counts["mutants"] += 1
            if m.identity in equivalents:
                counts["equivalent"] += 1
                continue
            outcome = results.get(m.identity)
            status = outcome["status"] if outcome else "not run"
            counts[status] += 1
            if status == "survived":
                survivors.append(m)
        rows.append((f, counts))
        for k in totals:
            totals[k] += counts[k]
    header = ("file", "mutants", "equivalent", "not built", "killed", "timed out", "survived", "not run")
    widths = [max(len(header[0]), *(len(f) for f in files))] + [len(h) for h in header[1:]]
    print()
    print("  ".join(h.ljust(w) if i == 0 else h.rjust(w) for i, (h, w) in enumerate(zip(header, widths))))
    for f, counts in rows + [("total", totals)]:
        print("  ".join([f.ljust(widths[0])] + [str(counts[h]).rjust(w) for h, w in zip(header[1:], widths[1:])]))
    counted = totals["killed"] + totals["timed out"] + totals["survived"]
    if counted:
        score = 100 * (totals["killed"] + totals["timed out"]) / counted
        print(f"\nmutation score: {score:.1f}% ({totals['killed'] + totals['timed out']} of {counted} built, "
              f"non-equivalent mutants killed)")
    stale = sorted(set(equivalents) - {m.identity for m in mutants} - {""})
    if stale and len(files) == len(source_files([])):
        print(f"\n{len(stale)} entries of {EQUIVALENT_FILE.name} match no mutant any more:")
        for identity in stale:
            print(f"  {identity}")
    if survivors:
        print(f"\n{len(survivors)} survivors:")
        for m in survivors:
            print(f"\n{m.identity}  (line {m.line})\n{m.diff(texts[m.path])}", end="")
    if totals["not run"]:
        print(f"\n{totals['not run']} mutants not run yet")
    return 1 if survivors or totals["not run"] else 0


if __name__ == "__main__":
    sys.exit(main())
