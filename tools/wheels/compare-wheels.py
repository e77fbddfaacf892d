"""Compares two builds of the same wheels byte for byte and, where they
differ, says where: members only one has, members whose date, permissions or
bytes differ (the first differing offset, and the strings found only on one
side, such as a build path). Exit status 1 if any pair differs.

    python3 tools/wheels/compare-wheels.py DIR_A DIR_B NAME...

Each NAME (a wheel or the sdist) is compared between DIR_A and DIR_B. Before
that a control shows that a difference is seen: the first wheel against a
copy of itself whose members carry another date (what another
SOURCE_DATE_EPOCH gives) and whose stub file has one byte more.
"""

import re
import sys
import zipfile
from io import BytesIO
from pathlib import Path


def strings(data: bytes) -> set[bytes]:
    return set(re.findall(rb"[\x20-\x7e]{8,}", data))


def member_differences(a: bytes, b: bytes) -> list[str]:
    found = []
    with zipfile.ZipFile(BytesIO(a)) as first, zipfile.ZipFile(BytesIO(b)) as second:
        names_a, names_b = first.namelist(), second.namelist()
        if names_a != names_b:
            found.append(f"members: only in the first {sorted(set(names_a) - set(names_b))}, only in the second "
                         f"{sorted(set(names_b) - set(names_a))}, or another order")
        for name in [n for n in names_a if n in set(names_b)]:
            info_a, info_b = first.getinfo(name), second.getinfo(name)
            if info_a.date_time != info_b.date_time:
                found.append(f"{name}: dated {info_a.date_time} against {info_b.date_time}")
            if info_a.external_attr != info_b.external_attr:
                found.append(f"{name}: permissions {info_a.external_attr >> 16:o} against {info_b.external_attr >> 16:o}")
            data_a, data_b = first.read(name), second.read(name)
            if data_a != data_b:
                offset = next((i for i, (x, y) in enumerate(zip(data_a, data_b)) if x != y), min(len(data_a), len(data_b)))
                only = sorted(strings(data_a) ^ strings(data_b))[:6]
                found.append(f"{name}: {len(data_a)} against {len(data_b)} bytes, first difference at offset {offset}"
                             + (f"; strings on one side only: {[s.decode() for s in only]}" if only else ""))
    return found


def differences(a: bytes, b: bytes, name: str) -> list[str]:
    if a == b:
        return []
    if name.endswith(".whl"):
        return member_differences(a, b) or ["the zip archives differ outside their members (headers or order)"]
    offset = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
    return [f"{len(a)} against {len(b)} bytes, first difference at offset {offset}"]


def redated(wheel: bytes) -> bytes:
    """The wheel with every member a day later, and its stub one byte longer."""
    out = BytesIO()
    with zipfile.ZipFile(BytesIO(wheel)) as source, zipfile.ZipFile(out, "w") as target:
        for info in source.infolist():
            data = source.read(info)
            year, month, day, *rest = info.date_time
            info.date_time = (year, month, day % 28 + 1, *rest)
            target.writestr(info, data + b"#" if info.filename.endswith(".pyi") else data)
    return out.getvalue()


def main() -> int:
    first, second, *names = sys.argv[1:]
    wheels = [name for name in names if name.endswith(".whl")]
    if not wheels:
        sys.exit("compare-wheels.py: no wheel named")
    control = differences((Path(first) / wheels[0]).read_bytes(), redated((Path(first) / wheels[0]).read_bytes()),
                          wheels[0])
    if not any("dated" in line for line in control) or not any(".pyi:" in line and "bytes" in line for line in control):
        print(f"CONTROL FAILED: a redated copy of {wheels[0]} is not told apart: {control}")
        return 1
    differing = 0
    for name in names:
        found = differences((Path(first) / name).read_bytes(), (Path(second) / name).read_bytes(), name)
        print(f"{'DIFFERS  ' if found else 'identical'} {name}")
        for line in found:
            print(f"    {line}")
        differing += bool(found)
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
