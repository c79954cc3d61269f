"""Prints where, relative to an installation prefix, this interpreter looks
for packages: the folder `cmake --install` puts kzrfx into.

The first of site.getsitepackages([prefix]) that the interpreter searches
(/usr: lib/python3/dist-packages on Debian, /usr/local:
lib/python3.X/dist-packages); for a prefix the interpreter does not search,
the standard lib/python3.X/site-packages, to be named in PYTHONPATH.
"""
import os
import site
import sys
import sysconfig

prefix = os.path.normpath(os.path.abspath(sys.argv[1]))
searched = {os.path.normpath(p) for p in sys.path if p}
for candidate in site.getsitepackages([prefix]):
    candidate = os.path.normpath(candidate)
    rel = os.path.relpath(candidate, prefix)
    if rel.split(os.sep)[0] not in ("local", "..") and candidate in searched:
        print(rel)
        break
else:
    platlib = sysconfig.get_path("platlib", "posix_prefix", {"base": prefix, "platbase": prefix})
    print(os.path.relpath(platlib, prefix))
