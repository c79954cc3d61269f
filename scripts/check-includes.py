#!/usr/bin/env python3
"""Fails when the project's folders include each other in a circle.

Every quoted include ("folder/file.h") is an arrow from the including file's
folder to the included file's folder.  The arrows must form no cycle, directly
(a includes b, b includes a) or through other folders (a -> b -> c -> a), so
the folders stack from the host records at the bottom to the tools at the top.
Prints the folder order it found, or each cycle with one include per arrow.
"""
import os
import re
import subprocess
import sys

SOURCE_ENDINGS = (".h", ".hpp", ".cpp", ".cc", ".c", ".inc")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(path, top_folders):
    # apps/fxhost and adapters/frei0r are folders of their own; everything
    # else is named by its top-level folder.
    parts = path.split("/")
    if len(parts) > 2 and parts[0] in ("apps", "adapters"):
        return parts[0] + "/" + parts[1]
    return parts[0] if len(parts) > 1 and parts[0] in top_folders else None


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    os.chdir(root)
    files = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard"],
                           capture_output=True, text=True, check=True).stdout.split()
    files = [f for f in files if f.endswith(SOURCE_ENDINGS) and os.path.isfile(f)]
    top_folders = {f.split("/")[0] for f in files if "/" in f}
    edges = {}  # (from, to) -> an example "file: include"
    for f in files:
        src = folder_of(f, top_folders)
        if src is None:
            continue
        with open(f, encoding="utf-8", errors="replace") as fh:
            for inc in INCLUDE.findall(fh.read()):
                dst = folder_of(inc, top_folders)
                if dst is not None and dst != src:
                    edges.setdefault((src, dst), f"{f}: #include \"{inc}\"")

    nodes = sorted({n for e in edges for n in e})
    succ = {n: sorted(d for (s, d) in edges if s == n) for n in nodes}

    # Tarjan's strongly connected components: a component of more than one
    # folder is a cycle.
    index, low, stack, on_stack, comps = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in succ[v]:
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            comp = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                comp.append(w)
                if w == v:
                    break
            comps.append(sorted(comp))

    for n in nodes:
        if n not in index:
            visit(n)

    cycles = [c for c in comps if len(c) > 1]
    if cycles:
        for c in cycles:
            print("include cycle between folders: " + ", ".join(c))
            for (s, d), example in sorted(edges.items()):
                if s in c and d in c:
                    print(f"  {s} -> {d}   ({example})")
        return 1
    # Tarjan emits components callees first: that is the order from the ground up.
    print("folders from the ground up: " + " < ".join(c[0] for c in comps))
    return 0


if __name__ == "__main__":
    sys.exit(main())
