#!/usr/bin/env python3
"""Checks that the folders of setup/ include one another in one direction only.

    shell -> display, net, install -> base    (and install -> net)

Reads every `#include "folder/..."` line below setup/ and fails, naming the
file and line, on an include that goes against that order (a folder may
always include its own headers). With --graph it prints the folder edges
that the sources hold today, with how many includes make each.
"""

import argparse
import re
import sys
from collections import Counter
from pathlib import Path

# The folders each folder may include, besides itself.
ALLOWED = {
    "shell": {"display", "net", "install", "base"},
    "display": {"base"},
    "net": {"base"},
    "install": {"net", "base"},
    "base": set(),
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"')


def include_edges(setup_dir):
    """(file, line number, from folder, to folder) for each quoted include."""
    for path in sorted(setup_dir.rglob("*")):
        if path.suffix not in (".h", ".cpp", ".c", ".rc") or not path.is_file():
            continue
        source_folder = path.relative_to(setup_dir).parts[0]
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            match = INCLUDE.match(line)
            if match:
                yield path, number, source_folder, match.group(1)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--setup", type=Path, default=Path(__file__).resolve().parent.parent / "setup")
    parser.add_argument("--graph", action="store_true", help="print the folder edges and exit 0")
    args = parser.parse_args(argv)

    edges = list(include_edges(args.setup))
    if args.graph:
        counts = Counter((source, target) for _, _, source, target in edges if source != target)
        for (source, target), count in sorted(counts.items()):
            print(f"{source} -> {target} ({count})")
        return 0

    problems = []
    for path, number, source, target in edges:
        if source == target:
            continue
        if source not in ALLOWED:
            problems.append(f"{path}:{number}: folder '{source}' has no place in the include order")
        elif target not in ALLOWED[source]:
            problems.append(f"{path}:{number}: '{source}' must not include '{target}'")
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
