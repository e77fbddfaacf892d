"""Checks the release wheels' modules beyond what auditwheel looks at: each
exports PyInit_orvanecrypto and nothing else, needs only the libraries its
tag's libc allows (musllinux: musl's C library alone, no libgcc_s), is built
for the architecture of its tag (machine, word size and byte order, as
tools/wheels/targets.py has them), carries the extension suffix of its libc,
has no packed relative relocations (DT_RELR, which glibc loads from 2.36 and
musl from 1.2.4 on: a module with them crashes or is refused on the older
systems its tag admits), and on x86-64 glibc takes memcpy and memset from the
C library, which picks the processor's fastest code for them, rather than
carrying copies of its own (the arm64 modules still carry Zig's: their link
needs compiler-rt's quad-precision helpers as well). And what each wheel says
it carries (tools/wheels/wheel_contents.py): its CycloneDX SBOM valid by
CycloneDX's validator, naming Botan with the pinned version and release
tarball hash, the LLVM runtime libraries of its libc at the pinned Zig's LLVM
version, Zig's compiler runtime exactly when the module holds it (it then
defines memcpy and the like instead of importing them), and the shipped
module by its hash; a License-Expression made of
the module's and those components' licences; every licence file it names
present and every one present named; a RECORD true to every member. Runs
with the wheel tools (auditwheel's pyelftools, the CycloneDX validator).

    python tools/wheels/check-wheels.py WHEEL...

Before the real checks, controls show that the rules can fail: each module
must be refused under the other libc's rules, and with one of its dynamic
tags turned into DT_RELR, and under another processor's rules; and an x86-64 glibc module whose memcpy were its
own must be refused. Each wheel's contents must be refused under the other
libc's runtime, and when its SBOM is missing, lacks a required field, names
a licence SPDX does not know, another Botan tarball hash or the compiler
runtime's presence turned, when its
License-Expression leaves a licence out, a licence file it names is missing
or a member no longer matches RECORD.
"""

import email.parser
import hashlib
import json
import re
import struct
import sys
import zipfile
from io import BytesIO
from pathlib import PurePosixPath

import wheel_contents as contents
from targets import PROCESSORS, multiarch

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

def allowed(libc: str, arch: str) -> set[str]:
    if libc == "musl":
        return {f"libc.musl-{PROCESSORS[arch].musl_name}.so.1"}
    return {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "libgcc_s.so.1",
            PROCESSORS[arch].glibc_loader}


def module_of(wheel: str) -> tuple[str, bytes]:
    with zipfile.ZipFile(wheel) as archive:
        (name,) = [n for n in archive.namelist() if re.fullmatch(r"orvanecrypto\.[^/]+\.so", n)]
        return name, archive.read(name)


DT_RELR = 36


def with_relr_tag(data: bytes) -> bytes:
    """The module with its last dynamic tag before DT_NULL turned into DT_RELR
    (the control of the relocation rule), in the module's word size and byte order."""
    elf = ELFFile(BytesIO(data))
    dynamic = next(s for s in elf.iter_sections() if isinstance(s, DynamicSection))
    count = sum(1 for tag in dynamic.iter_tags() if tag.entry.d_tag != "DT_NULL")
    changed = bytearray(data)
    word = "q" if elf.elfclass == 64 else "i"
    order = "<" if elf.little_endian else ">"
    struct.pack_into(order + word, changed, dynamic["sh_offset"] + 2 * (elf.elfclass // 8) * (count - 1), DT_RELR)
    return bytes(changed)


def problems(wheel: str, libc: str, arch: str, data: bytes | None = None) -> list[str]:
    name, module = module_of(wheel)
    data = module if data is None else data
    elf = ELFFile(BytesIO(data))
    found = []
    processor = PROCESSORS[arch]
    if elf["e_machine"] != processor.elf_machine:
        found.append(f"machine {elf['e_machine']}, not {processor.elf_machine}")
    if (elf.elfclass, elf.little_endian) != (processor.elf_class, processor.little_endian):
        found.append(f"{elf.elfclass}-bit {'little' if elf.little_endian else 'big'}-endian ELF, "
                     f"not {processor.elf_class}-bit {'little' if processor.little_endian else 'big'}-endian")
    suffix = f"-{multiarch(processor, libc)}.so"
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


tag_of = contents.tag_of


def content_problems(members: dict, libc: str, facts: dict) -> list[str]:
    """What is wrong with what the wheel says it carries."""
    info = contents.dist_info(members)
    found = []
    sboms = sorted(n for n in members if n.startswith(f"{info}/sboms/"))
    if sboms != [f"{info}/{contents.SBOM_NAME}"]:
        return [f"SBOMs {sboms}, not {contents.SBOM_NAME} alone (auditwheel writes one only for a grafted library)"]
    document = json.loads(members[sboms[0]][0])
    found += [f"SBOM: {error}" for error in contents.validation_errors(document)]
    described = {str(c.get("name")): c for c in document.get("components", [])}
    expected = contents.components(libc, bool(contents.compiler_rt_evidence(members[contents.module_name(members)][0])))
    if sorted(described) != sorted(part.name for part in expected):
        found.append(f"SBOM names {sorted(described)}, not {sorted(part.name for part in expected)}")
    botan = described.get("Botan", {})
    if botan.get("version") != facts["botan"]["version"] or \
            botan.get("hashes") != [{"alg": "SHA-256", "content": facts["botan"]["release_sha256"]}]:
        found.append(f"SBOM's Botan {botan.get('version')} {botan.get('hashes')} is not the pinned release")
    for name in contents.RUNTIME_BY_LIBC[libc]:
        if described.get(name, {}).get("version") != facts["toolchain"]["llvm"]:
            found.append(f"SBOM's {name} is not LLVM {facts['toolchain']['llvm']}, the pinned Zig's")
    module = hashlib.sha256(members[contents.module_name(members)][0]).hexdigest()
    if document.get("metadata", {}).get("component", {}).get("hashes") != [{"alg": "SHA-256", "content": module}]:
        found.append("SBOM's module hash is not the shipped module's")
    metadata = email.parser.Parser().parsestr(members[f"{info}/METADATA"][0].decode())
    if metadata["License-Expression"] != contents.licence_expression(expected):
        found.append(f"License-Expression {metadata['License-Expression']!r}, "
                     f"not {contents.licence_expression(expected)!r}")
    listed = set(metadata.get_all("License-File") or [])
    present = {n.removeprefix(f"{info}/licenses/") for n in members if n.startswith(f"{info}/licenses/")}
    wanted = {"LICENSE"} | {part.licence_file for part in expected}
    if listed != present or not wanted <= listed:
        found.append(f"licence files: named {sorted(listed)}, present {sorted(present)}, needed {sorted(wanted)}")
    record = members.get(f"{info}/RECORD", (b"", False))[0].decode().splitlines()
    if sorted(record) != sorted(contents.record_for(members).decode().splitlines()):
        found.append("RECORD does not match the members' hashes and sizes")
    return found


def content_controls(members: dict, libc: str, facts: dict) -> list[str]:
    """Broken copies of a wheel's contents that content_problems must refuse."""
    info = contents.dist_info(members)
    sbom_name = f"{info}/{contents.SBOM_NAME}"

    def with_sbom(change) -> dict:
        document = json.loads(members[sbom_name][0])
        change(document)
        changed = dict(members)
        changed[sbom_name] = (json.dumps(document).encode(), False)
        changed[f"{info}/RECORD"] = (contents.record_for(changed), False)
        return changed

    def with_metadata(old: str, new: str) -> dict:
        changed = dict(members)
        changed[f"{info}/METADATA"] = (members[f"{info}/METADATA"][0].replace(old.encode(), new.encode(), 1), False)
        changed[f"{info}/RECORD"] = (contents.record_for(changed), False)
        return changed

    def turn_compiler_rt(document: dict) -> None:
        kept = [c for c in document["components"] if c["name"] != contents.COMPILER_RT.name]
        if len(kept) == len(document["components"]):
            kept.append({"type": "library", "bom-ref": contents.COMPILER_RT.ref, "name": contents.COMPILER_RT.name})
        document["components"] = kept

    licence_file = contents.BOTAN.licence_file
    without_licence = {n: v for n, v in members.items() if n != f"{info}/licenses/{licence_file}"}
    without_licence[f"{info}/RECORD"] = (contents.record_for(without_licence), False)
    stub = "orvanecrypto-stubs/__init__.pyi"
    # Each broken copy, and the words of the rule that must refuse it.
    broken = {
        "without its SBOM": ({n: v for n, v in members.items() if n != sbom_name}, "SBOMs"),
        "with a component without a name": (with_sbom(lambda d: d["components"][0].pop("name")), "SBOM: "),
        "with the licence id BSD-2": (
            with_sbom(lambda d: d["components"][0].update(licenses=[{"license": {"id": "BSD-2"}}])), "SBOM: "),
        "with a dependency on an unknown bom-ref": (
            with_sbom(lambda d: d["dependencies"][0]["dependsOn"].append("zlib")), "unknown bom-ref"),
        "with another Botan tarball hash": (with_sbom(
            lambda d: d["components"][0]["hashes"][0].update(content=facts["botan"]["snapshot_sha256"])),
            "not the pinned release"),
        "with a License-Expression without LLVM's licence": (
            with_metadata(f" AND {contents.LLVM_LICENCE}", ""), "License-Expression"),
        f"without {licence_file}": (without_licence, "licence files"),
        "with the compiler runtime's presence turned": (with_sbom(turn_compiler_rt), "SBOM names"),
        "with a stub file that RECORD does not describe": (
            {**members, stub: (members[stub][0] + b"#", False)}, "RECORD"),
    }
    failed = [f"passes {what}" for what, (copy_, rule) in broken.items()
              if not any(rule in problem for problem in content_problems(copy_, libc, facts))]
    other = "glibc" if libc == "musl" else "musl"
    if not any("SBOM names" in problem for problem in content_problems(members, other, facts)):
        failed.append(f"passes the {other} rules too")
    return failed


def main() -> int:
    wheels = sys.argv[1:]
    failed = False
    import ziglang
    zig = str(PurePosixPath(ziglang.__file__).parent / "zig")
    facts = {"botan": contents.botan_pins(), "toolchain": contents.toolchain_versions(zig)}
    if not own_c_routines({"memset", "strcmp"}):
        print("CONTROL FAILED: a module without the C library's memcpy passes")
        failed = True
    for wheel in wheels:
        libc, arch = tag_of(wheel)
        other = "glibc" if libc == "musl" else "musl"
        if not problems(wheel, other, arch):
            print(f"CONTROL FAILED: {wheel} passes the {other} rules too")
            failed = True
        elsewhere = next(name for name in PROCESSORS if name != arch)
        if not any(problem.startswith("machine") for problem in problems(wheel, libc, elsewhere)):
            print(f"CONTROL FAILED: {wheel} passes the rules of {elsewhere}")
            failed = True
        if "packed relative relocations (DT_RELR)" not in problems(wheel, libc, arch, with_relr_tag(module_of(wheel)[1])):
            print(f"CONTROL FAILED: {wheel} with a DT_RELR tag passes")
            failed = True
        members = contents.read_wheel(wheel)
        for failure in content_controls(members, libc, facts):
            print(f"CONTROL FAILED: {wheel}'s contents {failure}")
            failed = True
        found = problems(wheel, libc, arch) + content_problems(members, libc, facts)
        print(f"{'FAIL' if found else 'ok  '} {PurePosixPath(wheel).name}: {'; '.join(found) or f'{libc} {arch}'}")
        failed |= bool(found)
    return 1 if failed or not wheels else 0


if __name__ == "__main__":
    sys.exit(main())
