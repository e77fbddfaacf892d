"""The release wheels' platforms, as data: each processor family with what
its build and its checks need, and each wheel target (a processor, a C
library, the interpreters it is built for). `./dev wheel`, check-wheels.py,
zig-target.sh, cmake/BundledBotan.cmake and the sdist's Botan source all read
it here, so that adding a platform is adding a row.

    python3 targets.py wheel-targets           Zig's names of the targets built
    python3 targets.py shell ZIG_TARGET        the target's fields as shell assignments
    python3 targets.py botan PROCESSOR         Botan's cpu and modules, for CMake
    python3 targets.py sdist-botan-modules     every processor's Botan modules
    python3 targets.py emulated                the targets tried under QEMU, with their Debian names
    python3 targets.py built-interpreters      the interpreters built here for tries, with their fields
"""

from __future__ import annotations

import re
import sys
from dataclasses import dataclass

# Botan's modules on every processor: os_utils reads BOTAN_CLEAR_CPUID,
# which is otherwise ignored without a word.
BOTAN_COMMON = ("aes", "sha2_32", "os_utils")


@dataclass(frozen=True)
class Processor:
    name: str                 # as wheel tags and `uname -m` spell it
    cmake_names: tuple[str, ...]  # CMAKE_SYSTEM_PROCESSOR's spellings
    botan_cpu: str            # configure.py --cpu
    botan_arch: str           # what Botan's build_config.json records
    # The processor-specific modules, each of which Botan runs only where the
    # processor reports its instructions. A minimized build leaves out the
    # ones not named, silently: a family missing here would get portable code.
    botan_modules: tuple[str, ...]
    triplet: str              # CPython's multiarch name on glibc (the module's suffix)
    zig_arch: str             # Zig's name of the architecture
    zig_cpu: str | None       # Zig's -mcpu: the baseline the wheel may assume
    elf_machine: str          # pyelftools' e_machine
    elf_class: int
    little_endian: bool
    glibc_loader: str
    # musl's names for the processor: in the C library's installed name
    # (libc.musl-<name>.so.1, as musllinux modules need it) and in its
    # loader's (/lib/ld-musl-<name>.so.1).
    musl_name: str
    musl_loader: str
    debian: str               # Debian's architecture
    qemu: str | None          # QEMU's user emulator; None: runs on this machine's x86-64
    # Processor models the known answers also run on (QEMU's -cpu): the
    # baseline, and models without the instructions the library may choose
    # (QEMU's default model has them all).
    cpu_models: tuple[str, ...] = ()


PROCESSORS = {p.name: p for p in (
    Processor("x86_64", ("x86_64", "AMD64", "amd64"), "x86_64", "x86_64",
              ("aes_ni", "aes_vaes", "aes_vperm", "sha2_32_x86", "sha2_32_avx2", "sha2_32_simd"),
              "x86_64-linux-gnu", "x86_64", None, "EM_X86_64", 64, True, "ld-linux-x86-64.so.2", "x86_64", "ld-musl-x86_64.so.1", "amd64", None),
    Processor("aarch64", ("aarch64", "arm64", "ARM64"), "aarch64", "arm64",
              ("aes_armv8", "aes_vperm", "sha2_32_armv8", "sha2_32_simd"),
              "aarch64-linux-gnu", "aarch64", None, "EM_AARCH64", 64, True, "ld-linux-aarch64.so.1", "aarch64", "ld-musl-aarch64.so.1", "arm64",
              "aarch64"),
    # Debian armhf's baseline: ARMv7-A, VFPv3-D16, Thumb-2, no NEON. Zig's
    # default for the target has NEON and 32 double registers, so both are
    # taken away by name (a module built without that died on QEMU's
    # Cortex-A7 without NEON). Botan's NEON code for AES and SHA-256 is left
    # out: in the amalgamated build it needs NEON in the baseline (clang has
    # no per-function NEON target on 32-bit ARM), so its portable,
    # constant-time code runs. Botan has no 32-bit code for the ARMv8 AES and
    # SHA-2 instructions.
    Processor("armv7l", ("armv7l", "armv7", "armv7-a", "arm"), "armv7", "arm32",
              (),
              "arm-linux-gnueabihf", "arm", "generic+v7a+vfp3d16+thumb2-neon-d32", "EM_ARM", 32, True,
              "ld-linux-armhf.so.3", "armv7", "ld-musl-armhf.so.1", "armhf", "arm", ("cortex-a7,vfp-d32=off,neon=off", "cortex-a7", "cortex-a15")),
    # POWER8 is the little-endian ABI's baseline (AltiVec and VSX always
    # there); its AES instructions are run where the kernel reports them.
    Processor("ppc64le", ("ppc64le", "powerpc64le"), "ppc64le", "ppc64",
              ("aes_power8", "aes_vperm"),
              "powerpc64le-linux-gnu", "powerpc64le", "pwr8", "EM_PPC64", 64, True, "ld64.so.2", "ppc64le", "ld-musl-powerpc64le.so.1", "ppc64el",
              "ppc64le", ("power8",)),
    # Big-endian; Botan has no processor-specific AES or SHA-256 code here.
    Processor("s390x", ("s390x",), "s390x", "s390x", (),
              "s390x-linux-gnu", "s390x", None, "EM_S390", 64, False, "ld64.so.1", "s390x", "ld-musl-s390x.so.1", "s390x", "s390x"),
    # SSE2 is the baseline. The library's AES-NI, SHA-NI and SSSE3 code is
    # not built in: the module's own processor checks, which keep the library
    # from instructions a processor lacks, are written for x86-64.
    Processor("i686", ("i686", "i386", "x86"), "x86_32", "x86_32", (),
              "i386-linux-gnu", "x86", "pentium4", "EM_386", 32, True, "ld-linux.so.2", "x86", "ld-musl-i386.so.1", "i386", "i386",
              ("kvm32", "coreduo")),
    # RV64GC; Botan has no processor-specific AES or SHA-256 code here.
    Processor("riscv64", ("riscv64",), "riscv64", "riscv64", (),
              "riscv64-linux-gnu", "riscv64", None, "EM_RISCV", 64, True, "ld-linux-riscv64-lp64d.so.1",
              "riscv64", "ld-musl-riscv64.so.1", "riscv64", "riscv64"),
)}


def multiarch(processor: Processor, libc: str) -> str:
    """CPython's multiarch name for the processor and C library (musl's:
    arm-linux-musleabihf, i386-linux-musl, ...)."""
    return processor.triplet.replace("-gnu", "-musl") if libc == "musl" else processor.triplet


@dataclass(frozen=True)
class Target:
    zig: str                  # Zig's target, with the glibc floor for glibc
    processor: Processor
    libc: str                 # "glibc" or "musl"
    pythons: tuple[str, ...]  # the interpreters a wheel is built for
    # Tried under QEMU in a Debian root of the processor's architecture, by
    # CI: "suite" (Debian's python3.14 runs the whole suite, python3.15 the
    # known answers) or "known-answers" (both the known answers only). Outside
    # CI, `./dev wheels-test emulated` runs the suite on every such target.
    emulated_try: str | None = None

    @property
    def triplet(self) -> str:
        """CPython's multiarch name, which the module's file name carries."""
        return multiarch(self.processor, self.libc)

    @property
    def glibc_floor(self) -> str | None:
        match = re.search(r"\.(\d+\.\d+)$", self.zig)
        return match[1] if match else None


def _target(zig: str, processor: str, libc: str, pythons: tuple[str, ...], **extra) -> Target:
    return Target(zig, PROCESSORS[processor], libc, pythons, **extra)


ALL_PYTHONS = ("3.14", "3.15", "3.14t")
# Free-threaded 3.14t and musl 3.15 are built where an interpreter to try
# them with is built here too (x86-64 and arm64); the glibc ones elsewhere are
# tried with Debian's.
TARGETS = (
    _target("x86_64-linux-gnu.2.17", "x86_64", "glibc", ALL_PYTHONS),
    _target("aarch64-linux-gnu.2.17", "aarch64", "glibc", ALL_PYTHONS, emulated_try="suite"),
    _target("x86_64-linux-musl", "x86_64", "musl", ALL_PYTHONS),
    _target("aarch64-linux-musl", "aarch64", "musl", ALL_PYTHONS),
    _target("arm-linux-gnueabihf.2.17", "armv7l", "glibc", ("3.14", "3.15"), emulated_try="known-answers"),
    # Zig's libc++ for ppc64le prints IEEE quad-precision long doubles
    # through glibc's __*printfieee128, which glibc has from 2.32 on: no
    # older floor links.
    _target("powerpc64le-linux-gnu.2.32", "ppc64le", "glibc", ("3.14", "3.15"), emulated_try="known-answers"),
    # Big-endian: the whole suite in CI, where a byte-order fault would show.
    _target("s390x-linux-gnu.2.17", "s390x", "glibc", ("3.14", "3.15"), emulated_try="suite"),
    _target("x86-linux-gnu.2.17", "i686", "glibc", ("3.14", "3.15"), emulated_try="known-answers"),
    # auditwheel's floor for riscv64: no older glibc was released for it.
    _target("riscv64-linux-gnu.2.31", "riscv64", "glibc", ("3.14", "3.15"), emulated_try="known-answers"),
    # musl on the same five: CPython 3.14 only, the interpreter that is
    # built here to try them (BUILT_INTERPRETERS).
    _target("arm-linux-musleabihf", "armv7l", "musl", ("3.14",)),
    _target("powerpc64le-linux-musl", "ppc64le", "musl", ("3.14",)),
    _target("s390x-linux-musl", "s390x", "musl", ("3.14",)),
    _target("x86-linux-musl", "i686", "musl", ("3.14",)),
    _target("riscv64-linux-musl", "riscv64", "musl", ("3.14",)),
)


def target(zig: str) -> Target:
    for candidate in TARGETS:
        if candidate.zig == zig:
            return candidate
    raise KeyError(f"no release target {zig}; the targets are {', '.join(t.zig for t in TARGETS)}")


@dataclass(frozen=True)
class BuiltInterpreter:
    """A CPython built here (tools/wheels/other-python.sh) to try the wheels
    of a platform that no Debian root has an interpreter for: musl, and the
    free-threaded build off x86-64 glibc. x86-64 musl is built natively, the
    others cross-compiled by Zig and run under QEMU with the C library of
    Debian's package of that architecture."""
    target: Target
    version: str              # "3.14" or "3.14t"
    mode: str                 # what runs: "suite" or "known-answers"

    @property
    def zig(self) -> str:
        """Zig's target for the interpreter: the wheel's, without a glibc floor."""
        floor = self.target.glibc_floor
        return self.target.zig.removesuffix(f".{floor}") if floor else self.target.zig

    @property
    def native(self) -> bool:
        return self.target.processor.name == "x86_64" and self.target.libc == "musl"

    @property
    def loader(self) -> str:
        p = self.target.processor
        return "/lib/" + (p.musl_loader if self.target.libc == "musl" else p.glibc_loader)


def _built(zig: str, version: str, mode: str) -> BuiltInterpreter:
    return BuiltInterpreter(target(zig), version, mode)


# In the order they are built: the native x86-64 musl 3.14 first, whose
# build runs the Python steps of the cross builds.
BUILT_INTERPRETERS = (
    _built("x86_64-linux-musl", "3.14", "suite"),
    _built("aarch64-linux-musl", "3.14", "suite"),
    _built("x86_64-linux-musl", "3.14t", "known-answers"),
    _built("aarch64-linux-musl", "3.14t", "known-answers"),
    _built("aarch64-linux-gnu.2.17", "3.14t", "known-answers"),
    _built("arm-linux-musleabihf", "3.14", "known-answers"),
    _built("powerpc64le-linux-musl", "3.14", "known-answers"),
    _built("s390x-linux-musl", "3.14", "known-answers"),
    _built("x86-linux-musl", "3.14", "known-answers"),
    _built("riscv64-linux-musl", "3.14", "known-answers"),
)


def processor_for_cmake(name: str) -> Processor | None:
    for processor in PROCESSORS.values():
        if name in processor.cmake_names:
            return processor
    return None


def sdist_botan_modules() -> list[str]:
    """What the sdist's Botan source must hold: every processor's modules."""
    found = list(BOTAN_COMMON)
    for processor in PROCESSORS.values():
        found += [m for m in processor.botan_modules if m not in found]
    return found


def _shell(zig: str) -> str:
    chosen = target(zig)
    p = chosen.processor
    fields = {"processor": p.name, "zig_cpu": p.zig_cpu or "", "triplet": chosen.triplet, "libc": chosen.libc,
              "debian_arch": p.debian, "qemu": p.qemu or "", "pythons": " ".join(chosen.pythons),
              "host_triplet": p.triplet, "musl_name": p.musl_name, "word": f"{p.elf_class}{'le' if p.little_endian else 'be'}"}
    return "\n".join(f"{key}='{value}'" for key, value in fields.items())


def main(argv: list[str]) -> int:
    command, *rest = argv or ["help"]
    if command == "wheel-targets" and not rest:
        print(" ".join(t.zig for t in TARGETS))
    elif command == "shell" and len(rest) == 1:
        try:
            print(_shell(rest[0]))
        except KeyError as error:
            print(f"targets.py: {error.args[0]}", file=sys.stderr)
            return 1
    elif command == "botan" and len(rest) == 1:
        processor = processor_for_cmake(rest[0])
        if processor is None:
            print(f"targets.py: no processor family is known as {rest[0]}", file=sys.stderr)
            return 1
        print(f"{processor.botan_cpu};{processor.botan_arch};{','.join(BOTAN_COMMON + processor.botan_modules)}")
    elif command == "sdist-botan-modules" and not rest:
        print(" ".join(sdist_botan_modules()))
    elif command == "built-interpreters" and not rest:
        # (sorted out by the shell's read: one row per interpreter)
        for built in BUILT_INTERPRETERS:
            p = built.target.processor
            print(built.target.triplet, built.version, built.mode, "native" if built.native else built.zig,
                  p.name, built.target.libc, p.debian, p.qemu or "-", built.loader)
    elif command == "emulated" and not rest:
        for t in TARGETS:
            if t.emulated_try:
                print(t.zig, t.processor.name, t.processor.debian, t.processor.qemu or "-",
                      ";".join(t.processor.cpu_models) or "-", t.emulated_try)
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
