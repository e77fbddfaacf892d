"""Writes the minimized Botan source that the sdist carries: configure.py,
the licence, the build data (without its module policies) and only the library modules that the module's
two processor families need (those asked for and their dependencies, as
Botan's own configure resolves them), with the few that those name for other
processors, whose existence configure checks.

    python3 tools/wheels/botan-source.py TARBALL SHA256 OUTDIR MODULES...

TARBALL is Botan's source and must have the SHA-256 given; OUTDIR must not
exist yet. Botan's configure runs once per processor family on the whole
source to learn what the listed modules bring in; then the same runs on the
copy must load exactly the same modules, or nothing is written.
"""

import hashlib
import json
import shutil
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

from targets import PROCESSORS

# Every processor family of the release wheels (tools/wheels/targets.py).
CPUS = tuple(processor.botan_cpu for processor in PROCESSORS.values())


def loaded_modules(source: Path, cpu: str, modules: list[str], scratch: Path) -> list[str]:
    build = scratch / f"probe-{cpu}-{len(list(scratch.iterdir()))}"
    build.mkdir()
    # configure writes the amalgamation into its working directory.
    result = subprocess.run(
        [sys.executable, str(source / "configure.py"), f"--with-build-dir={build}", "--minimized-build",
         f"--enable-modules={','.join(modules)}", f"--cpu={cpu}", "--os=linux", "--cc=gcc", "--amalgamation",
         "--build-targets=static", "--without-documentation", "--disable-cc-tests"],
        capture_output=True, text=True, cwd=build)
    if result.returncode != 0:
        sys.exit(f"Botan's configure failed on {source} for {cpu}:\n{result.stdout}{result.stderr}")
    return sorted(json.loads((build / "build" / "build_config.json").read_text())["mod_list"])


def module_directories(source: Path) -> dict[str, Path]:
    return {info.parent.name: info.parent for info in (source / "src" / "lib").rglob("info.txt")}


def required_modules(directory: Path) -> set[str]:
    """The modules a module's info.txt requires, for any processor
    ("arm64?cpuid_aarch64" counts too): configure checks that each exists."""
    text = (directory / "info.txt").read_text()
    names = set()
    inside = False
    for line in text.splitlines():
        line = line.strip()
        if line == "<requires>":
            inside = True
        elif line == "</requires>":
            inside = False
        elif inside and line:
            names.add(line.split("?")[-1])
    return names


def main() -> None:
    tarball, sha256, outdir, *modules = sys.argv[1:]
    digest = hashlib.sha256(Path(tarball).read_bytes()).hexdigest()
    if digest != sha256:
        sys.exit(f"{tarball} has SHA-256 {digest}, not the pinned {sha256}")
    out = Path(outdir)
    if out.exists():
        sys.exit(f"{out} exists already")
    with tempfile.TemporaryDirectory() as temp:
        scratch = Path(temp)
        with tarfile.open(tarball) as archive:
            archive.extractall(scratch / "full", filter="data")
        (source,) = (scratch / "full").iterdir()
        wanted = {cpu: loaded_modules(source, cpu, modules, scratch) for cpu in CPUS}

        copy = scratch / "minimized"
        copy.mkdir()
        for name in ("configure.py", "license.txt"):
            shutil.copy2(source / name, copy / name)
        # The module policies name modules of the whole library, which the
        # copy lacks, and configure checks them all; no build here uses one.
        shutil.copytree(source / "src" / "build-data", copy / "src" / "build-data",
                        ignore=lambda directory, names: names if Path(directory).name == "policy" else [])
        directories = module_directories(source)
        chosen = set().union(*wanted.values())
        pending = list(chosen)
        while pending:
            for name in required_modules(directories[pending.pop()]) - chosen:
                chosen.add(name)
                pending.append(name)
        for name in sorted(chosen):
            directory = directories[name]
            target = copy / directory.relative_to(source)
            target.mkdir(parents=True, exist_ok=True)
            for file in directory.iterdir():
                if file.is_file():
                    shutil.copy2(file, target / file.name)

        for cpu in CPUS:
            again = loaded_modules(copy, cpu, modules, scratch)
            if again != wanted[cpu]:
                sys.exit(f"the minimized source loads {again} for {cpu}, the full one {wanted[cpu]}")
        (copy / "ORIGIN.txt").write_text(
            f"Minimized from {Path(tarball).name} (SHA-256 {digest}) for the modules\n"
            f"{', '.join(modules)} on {' and '.join(CPUS)}.\n")
        out.parent.mkdir(parents=True, exist_ok=True)
        shutil.copytree(copy, out)


if __name__ == "__main__":
    main()
