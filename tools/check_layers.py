#!/usr/bin/env python3
"""Fails when a file of src/core includes a header of a layer its folder may not see.

The table is the one CMakeLists.txt links by: each folder of src/core lists the folders it
builds on directly, and may include its own headers and those of every layer below. The build
already rejects a wrong include (a library sees only the headers of the layers it links);
this check says so in one line per include, in well under a second, before anything compiles.
"""

import pathlib
import re
import sys

# folder -> the folders it builds on directly
LAYERS = {
    "common": [],
    "ir": ["common"],
    "store": ["ir"],
    "serialize": ["store"],
    "engine": ["common"],
    "egraph": ["engine"],
    "optimizer": ["store", "engine"],
    "egraph_engine": ["egraph"],
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def visible(folder):
    """The folder itself and every layer below it."""
    seen, todo = set(), [folder]
    while todo:
        f = todo.pop()
        if f not in seen:
            seen.add(f)
            todo.extend(LAYERS[f])
    return seen


def main():
    root = pathlib.Path(__file__).resolve().parent.parent / "src" / "core"
    faults = []
    for folder in sorted(p.name for p in root.iterdir() if p.is_dir()):
        if folder not in LAYERS:
            faults.append(f"src/core/{folder}/: a folder the layer table in tools/check_layers.py does not know")
            continue
        allowed = visible(folder)
        for path in sorted((root / folder).iterdir()):
            if path.suffix not in (".hpp", ".cpp", ".inc"):
                continue
            text = path.read_text(encoding="utf-8")
            for m in INCLUDE.finditer(text):
                target = m.group(1)
                if "/" not in target:
                    continue  # a file beside the includer
                layer = target.split("/", 1)[0]
                if layer not in LAYERS:
                    faults.append(f'src/core/{folder}/{path.name}: includes "{target}", outside src/core')
                elif layer not in allowed:
                    line = text.count("\n", 0, m.start()) + 1
                    faults.append(
                        f'src/core/{folder}/{path.name}:{line}: includes "{target}", but {folder} builds only on '
                        f"{', '.join(sorted(allowed - {folder})) or 'nothing'}"
                    )
    for fault in faults:
        print(fault, file=sys.stderr)
    if faults:
        print("layer check: an include points up or sideways; see the table in tools/check_layers.py", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
