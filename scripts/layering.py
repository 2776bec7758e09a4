#!/usr/bin/env python3
"""Checks that the source folders include one another one way only, from the bottom up.

    scripts/layering.py [ROOT]

Each folder may include its own files and those of the folders below it; an include that
reaches up (or sideways to a folder of the same rank) is printed as FILE:LINE and fails the
check. Includes that name no folder of the tree (Qt's, the generated ones) are not judged."""
import os
import re
import sys

# From the bottom up; folders on one line share a rank and may not include one another.
LAYERS = [
    ["system"],
    ["link"],
    ["crypto"],
    ["config"],
    ["model/protocol"],
    ["model/installation"],
    ["model/report"],
    ["model"],
    ["station"],
    ["ui"],
    ["app", "tools"],
]
RANK = {folder: rank for rank, folders in enumerate(LAYERS) for folder in folders}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def folder_of(path):
    """The deepest folder of LAYERS that holds `path` (a path from the root), or None."""
    parts = path.split("/")[:-1]
    while parts:
        candidate = "/".join(parts)
        if candidate in RANK:
            return candidate
        parts.pop()
    return None


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    root = os.path.abspath(root)
    faults = 0
    checked = 0
    for layer in (f for folders in LAYERS for f in folders):
        base = os.path.join(root, layer)
        for directory, subdirs, names in os.walk(base):
            # A nested folder of its own rank is judged as itself.
            subdirs[:] = [d for d in subdirs
                          if os.path.relpath(os.path.join(directory, d), root) not in RANK]
            for name in sorted(names):
                if not name.endswith((".h", ".cpp", ".h.in")):
                    continue
                path = os.path.join(directory, name)
                here = folder_of(os.path.relpath(path, root))
                with open(path, encoding="utf-8") as source:
                    for number, line in enumerate(source, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        included = match.group(1)
                        if "/" not in included:
                            continue  # beside the file
                        there = folder_of(included)
                        if there is None or there == here:
                            continue
                        checked += 1
                        if RANK[there] >= RANK[here]:
                            print(f"{os.path.relpath(path, root)}:{number}: {here}/ includes "
                                  f"{included}, which is not below it")
                            faults += 1
    if faults:
        print(f"layering: {faults} include(s) against the folders' order")
        return 1
    print(f"layering: {checked} includes across folders, all from the bottom up")
    return 0


if __name__ == "__main__":
    sys.exit(main())
