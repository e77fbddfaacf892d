"""Checks that every include in src/ points down the layers, never up:
core, then primitives, then modes, then message, then surface; and that no
layer below the surface includes Python.h. Prints each offending include.

    python layers.py SRC        # the tree's own check
    python layers.py --control  # a made-up tree with one upward include must fail
"""

import re
import sys
import tempfile
from pathlib import Path

LAYERS = ["core", "primitives", "modes", "message", "surface"]


def offences(src: Path) -> list[str]:
    found = []
    for path in sorted(src.rglob("*.[ch]pp")):
        layer = path.relative_to(src).parts[0]
        for target in re.findall(r'#include [<"]([^>"]+)[>"]', path.read_text()):
            top = target.split("/")[0]
            if target == "Python.h" and layer != "surface":
                found.append(f"{path.relative_to(src)}: includes Python.h below the surface")
            elif top in LAYERS and LAYERS.index(top) > LAYERS.index(layer):
                found.append(f"{path.relative_to(src)}: includes {target}, a layer above {layer}/")
    return found


def main() -> int:
    if sys.argv[1:] == ["--control"]:
        with tempfile.TemporaryDirectory() as tree:
            (Path(tree) / "modes").mkdir()
            (Path(tree) / "modes" / "ctr.cpp").write_text('#include "surface/frame.hpp"\n')
            return 0 if offences(Path(tree)) else 1
    found = offences(Path(sys.argv[1]))
    print("\n".join(found) or f"every include in {sys.argv[1]} points down the layers {' < '.join(LAYERS)}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
