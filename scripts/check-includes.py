#!/usr/bin/env python3
"""Fails when a folder includes a folder that is not below it.

The folders stand in layers, from the records shared with the host at the
bottom to the tests at the top.  Every quoted include ("folder/file.h") is an
arrow from the including file's folder to the included file's folder; it must
point into a lower layer (or stay in its own folder).  A folder that has no
layer yet is refused too, so a new folder is placed on purpose.  Prints the
layers, or each include that points sideways or up.
"""
import fnmatch
import os
import re
import subprocess
import sys

# Bottom first.  Folders of one layer may not include each other.
LAYERS = [
    ["abi"],                    # records, status codes, exported functions
    ["imaging", "lang"],        # samplers and remaps; the texts and their lookup
    ["host"],                   # parameter readers, the shared callback sequences
    ["effects"],
    ["module"],                 # entry points, descriptor tables
    ["refhost"],                # the reference host
    ["adapters/*", "apps/*"],   # hosts built on the reference host
    ["tools/*", "bench", "fuzz", "python"],
    ["tests"],
]

SOURCE_ENDINGS = (".h", ".hpp", ".cpp", ".cc", ".c", ".inc")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(path):
    # adapters/, apps/ and tools/ hold folders of their own; everything else
    # is named by its top-level folder.
    parts = path.split("/")
    if len(parts) < 2:
        return None
    if parts[0] in ("apps", "adapters", "tools") and len(parts) > 2:
        return parts[0] + "/" + parts[1]
    return parts[0]


def layer_of(folder):
    for rank, patterns in enumerate(LAYERS):
        if any(fnmatch.fnmatchcase(folder, p) for p in patterns):
            return rank
    return None


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    os.chdir(root)
    files = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard"],
                           capture_output=True, text=True, check=True).stdout.split()
    files = [f for f in files if f.endswith(SOURCE_ENDINGS) and os.path.isfile(f)]
    problems = []
    unplaced = set()
    for f in files:
        src = folder_of(f)
        if src is None:
            continue
        with open(f, encoding="utf-8", errors="replace") as fh:
            includes = INCLUDE.findall(fh.read())
        for inc in includes:
            dst = folder_of(inc)
            if dst is None or dst == src or not os.path.isdir(dst.split("/")[0]):
                continue  # a file of its own folder, or a system header
            rs, rd = layer_of(src), layer_of(dst)
            for folder, rank in ((src, rs), (dst, rd)):
                if rank is None:
                    unplaced.add(folder)
            if rs is not None and rd is not None and rd >= rs:
                way = "sideways" if rd == rs else "up"
                problems.append(f"{f}: #include \"{inc}\" points {way} ({src} -> {dst})")
    for folder in sorted(unplaced):
        print(f"folder {folder} has no layer: add it to LAYERS in {sys.argv[0]}")
    for p in sorted(problems):
        print(p)
    if problems or unplaced:
        return 1
    print("layers from the ground up: " + " < ".join(" ".join(l) for l in LAYERS))
    return 0


if __name__ == "__main__":
    sys.exit(main())
