"""Helpers of the pictures, preview-load and long-run tests."""

import os
import subprocess

import cv2
import numpy as np

FXHOST = os.environ["KZR_FXHOST"]


def fxhost(*args, **kw):
    return subprocess.run([FXHOST, *map(str, args)], capture_output=True, text=True,
                          timeout=kw.pop("timeout", 120), **kw)


def rgba(data):
    """A picture file's bytes (or a path) as an H x W x 4 RGBA array."""
    if isinstance(data, (str, os.PathLike)):
        data = open(data, "rb").read()
    img = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED)
    assert img is not None and img.shape[2] == 4
    return cv2.cvtColor(img, cv2.COLOR_BGRA2RGBA)


def png(pixels):
    """RGBA (or grey) pixels, 8 or 16 bits, as PNG bytes."""
    if pixels.ndim == 3:
        pixels = cv2.cvtColor(pixels, cv2.COLOR_RGBA2BGRA)
    return cv2.imencode(".png", pixels)[1].tobytes()


def vm_rss_kib(pid):
    """(resident KiB, peak resident KiB) of a running process."""
    fields = dict(line.split(":", 1) for line in open(f"/proc/{pid}/status"))
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])
