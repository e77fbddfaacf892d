"""Says in a release wheel what is inside it, after auditwheel has tagged it:
a CycloneDX SBOM (PEP 770, .dist-info/sboms/orvanecrypto.cdx.json) naming
each component built into the module, a License-Expression covering all of
them with their licence files under .dist-info/licenses/, and a RECORD to
match. The wheel is written again as a reproducible zip: entries sorted,
one timestamp (SOURCE_DATE_EPOCH), fixed permissions.

    SOURCE_DATE_EPOCH=N python tools/wheels/wheel_contents.py WHEEL ZIG BOTAN_BUILD_CONFIG

ZIG is the pinned Zig that built the wheel and BOTAN_BUILD_CONFIG Botan's
build_config.json of that build. Runs with the wheel tools (pyelftools, the
CycloneDX validator). tools/wheels/check-wheels.py checks the result with
the same tables.
"""

import base64
import functools
import hashlib
import json
import os
import re
import subprocess
import sys
import time
import uuid
import zipfile
from dataclasses import dataclass
from io import BytesIO
from pathlib import Path, PurePosixPath
from urllib.parse import quote

from elftools.elf.elffile import ELFFile

REPO = Path(__file__).resolve().parent.parent.parent
SBOM_NAME = "sboms/orvanecrypto.cdx.json"
MODULE_LICENCE = "MIT"
LLVM_LICENCE = "Apache-2.0 WITH LLVM-exception"


@dataclass(frozen=True)
class Component:
    ref: str
    name: str
    licence: str
    description: str
    licence_file: str   # under .dist-info/licenses/; the build or this tool puts it there


BOTAN = Component("botan", "Botan", "BSD-2-Clause", "the crypto library, built from source and linked statically",
                  "third_party/botan/license.txt")
# Zig's distribution of LLVM's runtime libraries; the licence files are its own.
LLVM_RUNTIME = {
    "libc++": Component("llvm-libcxx", "libc++", LLVM_LICENCE, "LLVM's C++ standard library, as Zig ships it",
                        "zig/lib/libcxx/LICENSE.TXT"),
    "libc++abi": Component("llvm-libcxxabi", "libc++abi", LLVM_LICENCE, "LLVM's C++ ABI library, as Zig ships it",
                           "zig/lib/libcxxabi/LICENSE.TXT"),
    "libunwind": Component("llvm-libunwind", "libunwind", LLVM_LICENCE, "LLVM's unwinder, as Zig ships it",
                           "zig/lib/libunwind/LICENSE.TXT"),
}
COMPILER_RT = Component("zig-compiler-rt", "compiler-rt", "MIT",
                        "Zig's compiler runtime (its own port of LLVM's), linked statically", "zig/LICENSE")

# What Zig's toolchain links into the module beside Botan, per C library of
# the target (tools/wheels/zig-target.sh): glibc's modules leave unwinding to
# the system's libgcc_s.so.1, musl's carry LLVM's unwinder. A target with
# another C library adds its row here.
RUNTIME_BY_LIBC = {
    "glibc": ("libc++", "libc++abi"),
    "musl": ("libc++", "libc++abi", "libunwind"),
}


def tag_of(wheel: str) -> tuple[str, str]:
    """The C library and the processor of a wheel's platform tag."""
    platform = PurePosixPath(wheel).name[:-len(".whl")].split("-")[-1].split(".")[-1]
    match = re.fullmatch(r"(manylinux|musllinux)_\d+_\d+_(\w+)", platform)
    if not match:
        raise ValueError(f"{wheel}: unknown platform tag {platform}")
    return ("musl" if match[1] == "musllinux" else "glibc"), match[2]


# --- The pinned facts: Botan's from its CMake pin, the toolchain's from Zig.

def botan_pins() -> dict[str, str]:
    text = (REPO / "cmake" / "BundledBotan.cmake").read_text()
    pins = dict(re.findall(r"set\((ORVANECRYPTO_BOTAN_\w+) (\S+?)\)", text))
    version = pins["ORVANECRYPTO_BOTAN_VERSION"]
    return {"version": version, "release_sha256": pins["ORVANECRYPTO_BOTAN_RELEASE_SHA256"],
            "snapshot_sha256": pins["ORVANECRYPTO_BOTAN_SNAPSHOT_SHA256"],
            "commit": re.search(r"\(commit\s+(?:#\s*)?([0-9a-f]{40})\)", text)[1],
            "url": pins["ORVANECRYPTO_BOTAN_URL"].strip('"').replace("${ORVANECRYPTO_BOTAN_VERSION}", version)}


def toolchain_versions(zig: str) -> dict[str, str]:
    """Zig's version and the LLVM version of its clang (and so of the
    libc++, libc++abi and libunwind it ships), as the pinned Zig says."""
    zig_version = subprocess.run([zig, "version"], capture_output=True, text=True, check=True).stdout.strip()
    clang = subprocess.run([zig, "cc", "--version"], capture_output=True, text=True, check=True).stdout
    match = re.search(r"clang version (\d+\.\d+\.\d+)", clang)
    if not match:
        raise ValueError(f"no clang version in `zig cc --version`: {clang!r}")
    return {"zig": zig_version, "llvm": match[1]}


# The C library's routines that Zig's compiler runtime defines too (weakly):
# it comes as one object, so a module that needs any of its helpers (128-bit
# division, quad-precision arithmetic) gets these as well, bound inside the
# module instead of imported. Each module uses them all.
RUNTIME_ALSO_DEFINES = ("memcpy", "memmove", "memset")


def compiler_rt_evidence(module: bytes) -> list[str]:
    """The routines of RUNTIME_ALSO_DEFINES that the module does not import
    from the C library: it holds Zig's compiler runtime if there are any. (The
    shipped module keeps no symbol table of its own to look in.)"""
    elf = ELFFile(BytesIO(module))
    imported = {s.name.split("@")[0] for s in elf.get_section_by_name(".dynsym").iter_symbols()
                if s["st_shndx"] == "SHN_UNDEF"}
    return [name for name in RUNTIME_ALSO_DEFINES if name not in imported]


# --- The description.

def components(libc: str, with_compiler_rt: bool) -> list[Component]:
    found = [BOTAN] + [LLVM_RUNTIME[name] for name in RUNTIME_BY_LIBC[libc]]
    return found + [COMPILER_RT] if with_compiler_rt else found


def licence_expression(parts: list[Component]) -> str:
    """The module's licence and each component's, once each, in order."""
    terms = [MODULE_LICENCE]
    for part in parts:
        if part.licence not in terms:
            terms.append(part.licence)
    return " AND ".join(terms)


def licence_entry(expression: str) -> dict:
    return {"license": {"id": expression}} if " " not in expression else {"expression": expression}


def sbom(wheel_name: str, version: str, libc: str, arch: str, module_sha256: str, epoch: int,
         facts: dict, compiler_rt: list[str]) -> dict:
    parts = components(libc, bool(compiler_rt))
    botan, tools = facts["botan"], facts["toolchain"]
    described = []
    for part in parts:
        entry = {"type": "library", "bom-ref": part.ref, "name": part.name, "description": part.description,
                 "licenses": [licence_entry(part.licence)]}
        if part is BOTAN:
            entry |= {
                "version": botan["version"],
                "hashes": [{"alg": "SHA-256", "content": botan["release_sha256"]}],
                "purl": f"pkg:generic/botan@{botan['version']}?download_url={quote(botan['url'], safe='')}",
                "externalReferences": [
                    {"type": "distribution", "url": botan["url"],
                     "comment": f"Botan's release tarball Botan-{botan['version']}.tar.xz, whose SHA-256 is the "
                                "component's hash",
                     "hashes": [{"alg": "SHA-256", "content": botan["release_sha256"]}]},
                    {"type": "vcs", "url": "https://github.com/randombit/botan",
                     "comment": f"tag {botan['version']}, commit {botan['commit']}: this module's Botan was built "
                                f"from a git archive of it (SHA-256 {botan['snapshot_sha256']}), minimized to the "
                                "modules named in the properties"}],
                "properties": [{"name": "orvanecrypto:botan:modules", "value": ",".join(facts["botan_modules"])}],
            }
        elif part is COMPILER_RT:
            entry |= {"version": tools["zig"], "purl": f"pkg:generic/zig@{tools['zig']}#lib/compiler_rt",
                      "properties": [{"name": "orvanecrypto:evidence",
                                      "value": f"the module defines {', '.join(compiler_rt)} rather than importing "
                                               "them from the C library"}]}
        else:
            entry |= {"version": tools["llvm"], "purl": f"pkg:generic/llvm@{tools['llvm']}#{part.name}",
                      "properties": [{"name": "orvanecrypto:from", "value": f"Zig {tools['zig']}"}]}
        described.append(entry)
    wheel_purl = f"pkg:pypi/orvanecrypto@{version}?file_name={quote(wheel_name, safe='')}"
    return {
        "$schema": "http://cyclonedx.org/schema/bom-1.6.schema.json",
        "bomFormat": "CycloneDX",
        "specVersion": "1.6",
        "serialNumber": uuid.uuid5(uuid.NAMESPACE_URL, f"{wheel_purl}#{module_sha256}").urn,
        "version": 1,
        "metadata": {
            "timestamp": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch)),
            "tools": {"components": [{"type": "application", "name": "wheel_contents.py",
                                      "description": "orvanecrypto's tools/wheels/wheel_contents.py"}]},
            "component": {"type": "library", "bom-ref": "orvanecrypto", "name": "orvanecrypto", "version": version,
                          "purl": wheel_purl, "licenses": [licence_entry(MODULE_LICENCE)],
                          "hashes": [{"alg": "SHA-256", "content": module_sha256}],
                          "properties": [{"name": "orvanecrypto:platform", "value": f"{libc} {arch}"}]},
        },
        "components": described,
        "dependencies": [{"ref": "orvanecrypto", "dependsOn": [part.ref for part in parts]}]
                        + [{"ref": part.ref} for part in parts],
    }


@functools.cache
def validator():
    from cyclonedx.schema import SchemaVersion
    from cyclonedx.validation.json import JsonValidator

    return JsonValidator(SchemaVersion.V1_6)


def validation_errors(document: dict) -> list[str]:
    """What CycloneDX's own validator (its 1.6 JSON schema, SPDX licence ids
    included) finds wrong, and references that lead nowhere."""
    found = [str(error.data.message) for error in validator().validate_str(json.dumps(document), all_errors=True) or ()]
    refs = [c.get("bom-ref") for c in [document.get("metadata", {}).get("component", {})]
            + document.get("components", [])]
    if len(set(refs)) != len(refs):
        found.append(f"bom-refs repeated: {refs}")
    for dependency in document.get("dependencies", []):
        for ref in [dependency.get("ref")] + dependency.get("dependsOn", []):
            if ref not in refs:
                found.append(f"dependency on an unknown bom-ref {ref!r}")
    return found


# --- The wheel as a mapping of member names to bytes, written reproducibly.

def read_wheel(path: str) -> dict[str, tuple[bytes, bool]]:
    members = {}
    with zipfile.ZipFile(path) as archive:
        for info in archive.infolist():
            if not info.is_dir():
                members[info.filename] = (archive.read(info), bool((info.external_attr >> 16) & 0o111))
    return members


def dist_info(members: dict) -> str:
    (name,) = {n.split("/")[0] for n in members if n.split("/")[0].endswith(".dist-info")}
    return name


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def record_for(members: dict) -> bytes:
    record = f"{dist_info(members)}/RECORD"
    lines = [record_line(name, data) for name, (data, _) in sorted(members.items()) if name != record]
    return ("\n".join(lines + [f"{record},,"]) + "\n").encode()


def zip_order(name: str, info: str) -> tuple:
    """The package first, then .dist-info with RECORD last, each sorted."""
    return (name.startswith(info + "/"), name == f"{info}/RECORD", name)


def write_wheel(path: str, members: dict, epoch: int) -> None:
    info = dist_info(members)
    members = dict(members)
    members[f"{info}/RECORD"] = (record_for(members), False)
    stamp = time.gmtime(max(epoch, 315532800))[:6]   # zip dates start in 1980
    buffer = BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name in sorted(members, key=lambda n: zip_order(n, info)):
            data, executable = members[name]
            entry = zipfile.ZipInfo(name, stamp)
            entry.create_system = 3
            entry.external_attr = (0o100755 if executable else 0o100644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, data, compresslevel=9)
    Path(path).write_bytes(buffer.getvalue())


def set_licence_metadata(metadata: str, expression: str, files: list[str]) -> str:
    headers, separator, body = metadata.partition("\n\n")
    lines = headers.split("\n")
    if not any(line == "Metadata-Version: 2.4" for line in lines):
        raise ValueError("the metadata is not version 2.4, which License-Expression needs")
    listed = [line.split(": ", 1)[1] for line in lines if line.startswith("License-File: ")]
    kept = [line for line in lines if not line.startswith(("License-Expression: ", "License-File: "))]
    # Where the build put them: after the author, before the classifiers.
    at = next(i for i, line in enumerate(kept) if line.startswith("Classifier: "))
    added = [f"License-Expression: {expression}"] + [f"License-File: {name}" for name in
                                                      listed + [f for f in files if f not in listed]]
    return "\n".join(kept[:at] + added + kept[at:]) + separator + body


def module_name(members: dict) -> str:
    (name,) = [n for n in members if re.fullmatch(r"orvanecrypto\.[^/]+\.so", n)]
    return name


def declare(wheel: str, zig: str, botan_config: str, epoch: int) -> dict:
    libc, arch = tag_of(wheel)
    members = read_wheel(wheel)
    info = dist_info(members)
    module = members[module_name(members)][0]
    config = json.loads(Path(botan_config).read_text())
    facts = {"botan": botan_pins(), "toolchain": toolchain_versions(zig), "botan_modules": sorted(config["mod_list"])}
    if config["version"] != facts["botan"]["version"]:
        raise ValueError(f"Botan {config['version']} was built, not the pinned {facts['botan']['version']}")
    linked_rt = compiler_rt_evidence(module)
    version = info[len("orvanecrypto-"):-len(".dist-info")]
    document = sbom(Path(wheel).name, version, libc, arch, hashlib.sha256(module).hexdigest(), epoch, facts,
                    linked_rt)
    errors = validation_errors(document)
    if errors:
        raise ValueError(f"the SBOM does not validate: {errors}")
    parts = components(libc, bool(linked_rt))
    zig_home = Path(zig).resolve().parent
    for part in parts:
        name = f"{info}/licenses/{part.licence_file}"
        if part.licence_file.startswith("zig/"):
            members[name] = ((zig_home / part.licence_file.removeprefix("zig/")).read_bytes(), False)
        elif name not in members:
            raise ValueError(f"the build left out {name}, {part.name}'s licence")
    members[f"{info}/{SBOM_NAME}"] = ((json.dumps(document, indent=2) + "\n").encode(), False)
    metadata = members[f"{info}/METADATA"][0].decode()
    files = ["LICENSE"] + [part.licence_file for part in parts]
    members[f"{info}/METADATA"] = (set_licence_metadata(metadata, licence_expression(parts), files).encode(), False)
    write_wheel(wheel, members, epoch)
    return document


def main() -> int:
    wheel, zig, botan_config = sys.argv[1:]
    document = declare(wheel, zig, botan_config, int(os.environ["SOURCE_DATE_EPOCH"]))
    print(f"{Path(wheel).name}: " + ", ".join(f"{c['name']} {c['version']}" for c in document["components"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
