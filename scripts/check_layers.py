#!/usr/bin/env python3
"""Checks that the product code's include lines point down its layers only.

usage: check_layers.py [SOURCE_ROOT]

Every folder of product code may include headers of its own folder and of the
folders listed for it below; a header of any other folder of the project is a
layer violation. Headers outside these folders (the generated configuration,
system headers) are not layers. Exit code 0 when nothing points up, 1 with one
line per violation otherwise.
"""
import os
import re
import sys

# Folder of the including file -> folders it may include besides its own.
# The longest folder that contains a file is the one it belongs to.
MAY_INCLUDE = {
    "utils/": [],
    "resources/": [],
    "app/ops/": ["utils/", "resources/"],
    "app/profile/": ["utils/", "resources/"],
    "funnel/": ["utils/", "app/profile/"],
    "engine/": ["utils/", "resources/", "app/ops/", "app/profile/", "funnel/"],
    "uninstall/": ["utils/", "resources/", "app/ops/", "app/profile/", "engine/"],
    "app/": ["utils/", "resources/", "app/ops/", "app/profile/", "funnel/", "engine/", "uninstall/"],
    "decoder/": ["utils/"],
    "patcher/": ["utils/", "decoder/"],
    "sampleclient/": ["utils/"],
    "tools/": ["utils/", "resources/", "app/", "app/ops/", "app/profile/"],
}
# Folders no product code may include.
NOT_PRODUCT = ["tests/", "bench/"]

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
SOURCES = (".h", ".hpp", ".cpp", ".c")


def folder_of(path, folders):
    """The longest of the folders that contains path, or None."""
    found = [f for f in folders if path.startswith(f)]
    return max(found, key=len) if found else None


def violations(root):
    known = list(MAY_INCLUDE) + NOT_PRODUCT
    for top in sorted({f.split("/")[0] for f in MAY_INCLUDE}):
        for base, _, files in os.walk(os.path.join(root, top)):
            for name in sorted(files):
                if not name.endswith(SOURCES):
                    continue
                path = os.path.relpath(os.path.join(base, name), root).replace(os.sep, "/")
                own = folder_of(path, MAY_INCLUDE)
                with open(os.path.join(root, path), encoding="utf-8", errors="replace") as source:
                    for number, line in enumerate(source, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        target = match.group(1)
                        layer = folder_of(target, known)
                        if layer is None or layer == own or layer in MAY_INCLUDE[own]:
                            continue
                        yield "%s:%d: includes %s (%s may not include %s)" % (path, number, target, own, layer)


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    found = list(violations(root))
    for line in found:
        print(line)
    if found:
        print("layer check: %d include(s) point up a layer" % len(found))
        return 1
    print("layer check: every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
