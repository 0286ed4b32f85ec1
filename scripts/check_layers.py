#!/usr/bin/env python3
"""Fails when a product folder includes a folder it may not, or when the
folders include each other in a circle. Prints each folder's includes.

The layers, from the bottom up: platform/ < log/ < view/, config/ < ipc/
(whose details record carries the view's connection record) < server/ < admin/ < app/ (the program, whose loop picks the window), with
service/ and tools/ on the platform, log and config layers. Tests and
benchmarks may include anything. A folder not in the table below still
takes part in the search for circles."""
import pathlib
import re
import sys

MAY_INCLUDE = {
    "platform": set(),
    "log": {"platform"},
    "view": {"platform", "log"},
    "config": {"platform", "log"},
    "ipc": {"platform", "log", "view"},
    "server": {"platform", "log", "view", "config", "ipc"},
    "admin": {"platform", "log", "view", "config", "ipc"},
    "app": {"platform", "log", "view", "config", "ipc", "server", "admin"},
    "service": {"platform", "log", "config"},
    "tools": {"platform", "log", "config", "ipc"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/', re.M)


NOT_PRODUCT = {"tests", "bench", "docs", "dist", "man", "scripts"}


def product_folders(root):
    found = [p.name for p in sorted(root.iterdir()) if p.is_dir() and not p.name.startswith(".")
             and p.name not in NOT_PRODUCT and not p.name.startswith("build")
             and any(p.glob("*.h")) | any(p.glob("*.cpp"))]
    return list(MAY_INCLUDE) + [f for f in found if f not in MAY_INCLUDE]


def folder_includes(root):
    """{folder: {included folder: [files that include it]}}"""
    graph = {}
    for folder in product_folders(root):
        edges = graph.setdefault(folder, {})
        for path in sorted((root / folder).glob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            for target in INCLUDE.findall(path.read_text(errors="replace")):
                if target != folder:
                    edges.setdefault(target, []).append(path.name)
    return graph


def circles(graph):
    """Every folder that reaches itself through includes, with the path."""
    found = []
    for start in graph:
        stack = [(start, [start])]
        seen = set()
        while stack:
            node, path = stack.pop()
            for nxt in graph.get(node, {}):
                if nxt == start:
                    found.append(path + [start])
                elif nxt not in seen:
                    seen.add(nxt)
                    stack.append((nxt, path + [nxt]))
    return found


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    graph = folder_includes(root)
    faults = []
    for folder, edges in graph.items():
        print(f"{folder}/: " + (", ".join(f"{t}/" for t in sorted(edges)) or "nothing"))
        for target, files in sorted(edges.items()):
            if folder in MAY_INCLUDE and target not in MAY_INCLUDE[folder]:
                faults.append(f"{folder}/ includes {target}/ ({', '.join(sorted(set(files)))})")
    for circle in circles(graph):
        faults.append("include circle: " + " -> ".join(f"{f}/" for f in circle))
    for fault in faults:
        print(fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
