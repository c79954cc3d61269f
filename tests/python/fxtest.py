"""Helpers of the Python tests: fxhost run as a program, pictures and videos
read back as RGBA arrays."""

import os
import subprocess

import cv2
import numpy as np

FXHOST = os.environ.get("KZR_FXHOST", "")
LOCALE = ("LANG", "LC_ALL", "LC_MESSAGES", "LANGUAGE")


def fxhost(*args, env=None, check=True, timeout=120, **kw):
    """Runs fxhost without this process's locale variables, plus `env`."""
    assert FXHOST, "KZR_FXHOST names the fxhost program"
    environment = {k: v for k, v in os.environ.items() if k not in LOCALE}
    return subprocess.run([FXHOST, *map(str, args)], env={**environment, **(env or {})},
                          capture_output=True, text=True, check=check, timeout=timeout, **kw)


def text(value):
    """A parameter value as fxhost's --set takes it (text as it is)."""
    if isinstance(value, str):
        return value
    if isinstance(value, tuple):
        return ",".join(repr(float(v)) for v in value)
    return str(int(value)) if isinstance(value, bool) else repr(float(value))


def sets(params):
    return [a for key, value in params.items() for a in ("--set", f"{key}={text(value)}")]


def decode(png):
    img = cv2.imdecode(np.frombuffer(png, np.uint8), cv2.IMREAD_UNCHANGED)
    assert img is not None and img.ndim == 3 and img.shape[2] == 4
    return cv2.cvtColor(img, cv2.COLOR_BGRA2RGBA)


def read(path):
    with open(path, "rb") as f:
        return decode(f.read())


def png(pixels):
    """RGBA (or grey) pixels, 8 or 16 bits, as PNG bytes."""
    if pixels.ndim == 3:
        pixels = cv2.cvtColor(pixels, cv2.COLOR_RGBA2BGRA)
    return cv2.imencode(".png", pixels)[1].tobytes()


def vm_rss_kib(pid):
    """(resident KiB, peak resident KiB) of a running process."""
    fields = dict(line.split(":", 1) for line in open(f"/proc/{pid}/status"))
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])


def write(path, rgba):
    assert cv2.imwrite(str(path), cv2.cvtColor(rgba, cv2.COLOR_RGBA2BGRA))


def render(tmp_path, name, params=None, *options, src=None, size=None):
    """fxhost render of `src` (written as PNG) or of the test card of `size`."""
    out = tmp_path / f"{name}.png"
    if src is not None:
        write(tmp_path / "in.png", src)
        options = (tmp_path / "in.png", *options)
    else:
        options = ("--size", f"{size[0]}x{size[1]}", *options)
    fxhost("render", name, *options, "-o", out, "--force", "-q", *sets(params or {}))
    return read(out)


def frames(video, w, h):
    """Every frame of a video as RGBA arrays, decoded by ffmpeg."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(video), "-f", "rawvideo", "-pix_fmt",
                          "rgba", "-"], capture_output=True, check=True, timeout=120).stdout
    return np.frombuffer(raw, np.uint8).reshape(-1, h, w, 4)


def probe(video, stream):
    """ffprobe's "codec_name codec_type width height rate" of a stream."""
    return subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", str(stream), "-show_entries",
         "stream=codec_type,codec_name,width,height,avg_frame_rate", "-of",
         "default=noprint_wrappers=1:nokey=1", str(video)],
        capture_output=True, text=True, check=True).stdout.split()
