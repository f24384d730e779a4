#!/usr/bin/env python3
"""No source includes a layer above its own. The layers, lowest first:
keymap, platform, input, app. Prints each include that climbs, and exits 1
if there is one.

    tests/layers_test.py [ROOT]
"""
import os
import re
import sys

LAYERS = ["keymap", "platform", "input", "app"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def climbs(root):
    """(file, line, included) for each include of a layer above the file's."""
    found = []
    for level, layer in enumerate(LAYERS):
        for folder, _, names in os.walk(os.path.join(root, layer)):
            for name in sorted(names):
                if not name.endswith((".cc", ".h")):
                    continue
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8") as file:
                    text = file.read()
                for match in INCLUDE.finditer(text):
                    top = match.group(1).split("/")[0]
                    if top in LAYERS and LAYERS.index(top) > level:
                        line = text.count("\n", 0, match.start()) + 1
                        found.append((os.path.relpath(path, root), line, match.group(1)))
    return found


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(
        os.path.dirname(os.path.abspath(__file__)))
    found = climbs(root)
    for path, line, included in found:
        print(f"{path}:{line}: includes {included}, a layer above its own")
    print(f"{len(found)} includes climb a layer")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
