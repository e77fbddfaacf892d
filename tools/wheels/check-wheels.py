"""Checks the release wheels' modules beyond what auditwheel looks at: each
exports PyInit_orvanecrypto and nothing else, needs only the libraries its
tag's libc allows (musllinux: musl's C library alone, no libgcc_s), is built
for the architecture of its tag, carries the extension suffix of its libc,
has no packed relative relocations (DT_RELR, which glibc loads from 2.36 and
musl from 1.2.4 on: a module with them crashes or is refused on the older
systems its tag admits), and on x86-64 glibc takes memcpy and memset from the
C library, which picks the processor's fastest code for them, rather than
carrying copies of its own (the arm64 modules still carry Zig's: their link
needs compiler-rt's quad-precision helpers as well). Runs with auditwheel's
pyelftools.

    python tools/wheels/check-wheels.py WHEEL...

Before the real checks, controls show that the rules can fail: each module
must be refused under the other libc's rules, and with one of its dynamic
tags turned into DT_RELR; and an x86-64 glibc module whose memcpy were its
own must be refused.
"""

import re
import struct
import sys
import zipfile
from io import BytesIO
from pathlib import PurePosixPath

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
LOADERS = {"x86_64": "ld-linux-x86-64.so.2", "aarch64": "ld-linux-aarch64.so.1"}


def allowed(libc: str, arch: str) -> set[str]:
    if libc == "musl":
        return {f"libc.musl-{arch}.so.1"}
    return {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "libgcc_s.so.1",
            LOADERS[arch]}


def module_of(wheel: str) -> tuple[str, bytes]:
    with zipfile.ZipFile(wheel) as archive:
        (name,) = [n for n in archive.namelist() if re.fullmatch(r"orvanecrypto\.[^/]+\.so", n)]
        return name, archive.read(name)


DT_RELR = 36


def with_relr_tag(data: bytes) -> bytes:
    """The module with its last dynamic tag before DT_NULL turned into DT_RELR
    (the control of the relocation rule); 64-bit little-endian ELF."""
    elf = ELFFile(BytesIO(data))
    dynamic = next(s for s in elf.iter_sections() if isinstance(s, DynamicSection))
    count = sum(1 for tag in dynamic.iter_tags() if tag.entry.d_tag != "DT_NULL")
    changed = bytearray(data)
    struct.pack_into("<q", changed, dynamic["sh_offset"] + 16 * (count - 1), DT_RELR)
    return bytes(changed)


def problems(wheel: str, libc: str, arch: str, data: bytes | None = None) -> list[str]:
    name, module = module_of(wheel)
    data = module if data is None else data
    elf = ELFFile(BytesIO(data))
    found = []
    if elf["e_machine"] != MACHINES[arch]:
        found.append(f"machine {elf['e_machine']}, not {MACHINES[arch]}")
    suffix = f"-{arch}-linux-{'musl' if libc == 'musl' else 'gnu'}.so"
    if not name.endswith(suffix):
        found.append(f"{name} does not end in {suffix}")
    dynamic = next(s for s in elf.iter_sections() if isinstance(s, DynamicSection))
    needed = {tag.needed for tag in dynamic.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}
    if not needed or not needed <= allowed(libc, arch):
        found.append(f"needs {sorted(needed)}; allowed: {sorted(allowed(libc, arch))}")
    if any(tag.entry.d_tag in ("DT_RELR", DT_RELR) for tag in dynamic.iter_tags()):
        found.append("packed relative relocations (DT_RELR)")
    symbols = elf.get_section_by_name(".dynsym")
    exported = sorted(s.name for s in symbols.iter_symbols()
                      if s.name and s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK"))
    if exported != ["PyInit_orvanecrypto"]:
        found.append(f"exports {exported[:10]}{' ...' if len(exported) > 10 else ''}")
    if libc == "glibc" and arch == "x86_64":
        found += own_c_routines({s.name for s in symbols.iter_symbols() if s["st_shndx"] == "SHN_UNDEF"})
    return found


def own_c_routines(imported: set[str]) -> list[str]:
    """The C library routines a glibc module should import but does not."""
    missing = sorted({"memcpy", "memset"} - imported)
    return [f"carries its own {', '.join(missing)} instead of the C library's"] if missing else []


def tag_of(wheel: str) -> tuple[str, str]:
    platform = PurePosixPath(wheel).name[:-len(".whl")].split("-")[-1]
    arch = "aarch64" if platform.endswith("aarch64") else "x86_64"
    return ("musl" if platform.startswith("musllinux") else "glibc"), arch


def main() -> int:
    wheels = sys.argv[1:]
    failed = False
    if not own_c_routines({"memset", "strcmp"}):
        print("CONTROL FAILED: a module without the C library's memcpy passes")
        failed = True
    for wheel in wheels:
        libc, arch = tag_of(wheel)
        other = "glibc" if libc == "musl" else "musl"
        if not problems(wheel, other, arch):
            print(f"CONTROL FAILED: {wheel} passes the {other} rules too")
            failed = True
        if "packed relative relocations (DT_RELR)" not in problems(wheel, libc, arch, with_relr_tag(module_of(wheel)[1])):
            print(f"CONTROL FAILED: {wheel} with a DT_RELR tag passes")
            failed = True
        found = problems(wheel, libc, arch)
        print(f"{'FAIL' if found else 'ok  '} {PurePosixPath(wheel).name}: {'; '.join(found) or f'{libc} {arch}'}")
        failed |= bool(found)
    return 1 if failed or not wheels else 0


if __name__ == "__main__":
    sys.exit(main())
