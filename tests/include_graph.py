#!/usr/bin/env python3
"""The include graph of the module, the engine and the tools, by folder.

Fails if a file of lidar/ includes anything of engine/ or tool/, if engine/
includes tool/, or if the includes between files or between folders form a
cycle. With --dot, prints the folder graph for Graphviz instead.
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LAYERS = ["lidar", "engine", "tool"]  # each may include only what comes before it
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def sources():
    for top in LAYERS:
        for dirpath, _, names in os.walk(os.path.join(ROOT, top)):
            for n in names:
                if n.endswith((".h", ".cpp")):
                    yield os.path.relpath(os.path.join(dirpath, n), ROOT)


def main():
    files = sorted(sources())
    by_name = {}
    for f in files:
        by_name.setdefault(os.path.basename(f), []).append(f)
        parts = f.split(os.sep)
        if len(parts) > 2:  # "laz/arith.h" style names too
            by_name.setdefault("/".join(parts[-2:]), []).append(f)
    edges = {f: set() for f in files}
    problems = []
    for f in files:
        with open(os.path.join(ROOT, f), encoding="utf-8") as src:
            for name in INCLUDE.findall(src.read()):
                found = by_name.get(name, [])
                if len(found) > 1:
                    problems.append(f"{f}: \"{name}\" names {len(found)} files")
                edges[f].update(found[:1])
    layer = lambda f: LAYERS.index(f.split(os.sep)[0])
    folder = lambda f: os.path.dirname(f)
    for f, tos in edges.items():
        for t in tos:
            if layer(t) > layer(f):
                problems.append(f"{f} includes {t}: dependencies run downward only")
    folders = {}
    for f, tos in edges.items():
        for t in tos:
            if folder(t) != folder(f):
                folders.setdefault(folder(f), set()).add(folder(t))
    for graph, what in ((edges, "files"), (folders, "folders")):
        cycle = find_cycle(graph)
        if cycle:
            problems.append(f"a cycle among {what}: " + " -> ".join(cycle))
    if "--dot" in sys.argv:
        print("digraph includes {")
        for a in sorted(folders):
            for b in sorted(folders[a]):
                print(f'  "{a}" -> "{b}";')
        print("}")
    for p in problems:
        print(p, file=sys.stderr)
    return 1 if problems else 0


def find_cycle(graph):
    state = {}
    path = []

    def visit(n):
        state[n] = 1
        path.append(n)
        for m in sorted(graph.get(n, ())):
            if state.get(m) == 1:
                return path[path.index(m):] + [m]
            if m not in state:
                found = visit(m)
                if found:
                    return found
        path.pop()
        state[n] = 2
        return None

    for n in sorted(graph):
        if n not in state:
            found = visit(n)
            if found:
                return found
    return None


if __name__ == "__main__":
    sys.exit(main())
