"""Long renders: fxhost render of a video with an animated parameter, melt
with a keyframed frei0r filter on frame threads, and FFmpeg's frei0r filter.
After the first 100 frames the host's resident memory may grow by at most
2 MiB and its open files stay the same; every output frame must equal that
frame rendered alone (a new kzrfx instance for each).  And a render killed
with SIGKILL leaves only its temporary file, which the next run removes.

The short form runs in CI: KZR_SOAK_FRAMES=300 at KZR_SOAK_SIZE=320x180; the
long form is KZR_SOAK_FRAMES=3000 KZR_SOAK_SIZE=1920x1080 (see
docs/reliability.md).  Run with -s to see the figures."""

import itertools
import os
import re
import shutil
import signal
import subprocess
import threading
import time

import cv2
import kzrfx
import numpy as np
import pytest
from fxtest import FXHOST, fxhost, read, vm_rss_kib

N = int(os.environ.get("KZR_SOAK_FRAMES", "300"))
W, H = map(int, os.environ.get("KZR_SOAK_SIZE", "320x180").split("x"))
PLUGINS = os.path.dirname(FXHOST)
F32 = lambda v: float(np.float32(v))  # noqa: E731


class Sampler(threading.Thread):
    """Every 20 ms: frames the process has written (bytes written / frame
    size), its resident KiB and its open files, until it ends."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.samples = pid, []
        self.start()

    def run(self):
        try:
            while True:
                io = dict(line.split(": ") for line in open(f"/proc/{self.pid}/io"))
                self.samples.append((int(io["wchar"]) // (W * H * 4), vm_rss_kib(self.pid)[0],
                                     len(os.listdir(f"/proc/{self.pid}/fd"))))
                time.sleep(0.02)
        except (OSError, ValueError, KeyError):
            pass  # ended


def frames_of(stream):
    """The RGBA frames in a stream of raw pixels."""
    with stream:
        while len(b := stream.read(W * H * 4)) == W * H * 4:
            yield np.frombuffer(b, np.uint8).reshape(H, W, 4)


def ffmpeg_frames(*args):
    cmd = ["ffmpeg", "-nostdin", "-v", "error", *args, "-f", "rawvideo", "-pix_fmt", "rgba",
           "pipe:1"]
    return frames_of(subprocess.Popen(cmd, stdout=subprocess.PIPE).stdout)


def decoded(path):
    """A video's frames as fxhost's reader decodes them."""
    return ffmpeg_frames("-i", path, "-map", "0:v:0", "-an", "-sn", "-dn", "-fps_mode", "cfr",
                         "-r", "25")


def fxhost_host(tmp):
    src, out = tmp / "in.mp4", tmp / "out.mkv"
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                    f"testsrc2=size={W}x{H}:rate=25", "-frames:v", str(N), "-c:v", "libx264",
                    "-preset", "ultrafast", "-pix_fmt", "yuv420p", src], check=True)
    a, b = F32(0.001), F32(0.1)
    return dict(
        cmd=[FXHOST, "render", "hstretch", src, "-o", out, "--codec", "ffv1", "--animate",
             "Degree=0.001:0.1", "-q"],
        output=lambda proc: decoded(out), sources=lambda: decoded(src), effect="hstretch",
        params=lambda k: {"degree": F32(a + (b - a) * (k / (N - 1)))})


def ffmpeg_host(tmp):
    lavfi = ["-f", "lavfi", "-i", f"testsrc2=size={W}x{H}:rate=25", "-frames:v", str(N)]
    return dict(
        cmd=["ffmpeg", "-nostdin", "-v", "error", *lavfi, "-vf",
             "format=rgba,frei0r=kzr_drain:0.265|0.75|y|0.375|0.625", "-f", "rawvideo", "-pix_fmt",
             "rgba", "pipe:1"],
        output=lambda proc: frames_of(proc.stdout), sources=lambda: ffmpeg_frames(*lavfi),
        effect="drain",
        params=lambda k: {"degree": F32(0.265 * 50), "size": 0.75, "inverse": True,
                          "position": (0.375, 0.625)})


def melt_host(tmp):
    # One still picture for every frame; the filter's Degree keyframed from
    # 0.01 to 0.09 over the clip, as MLT interpolates it.
    src, profile = tmp / "src.png", tmp / "profile"
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                    f"testsrc2=size={W}x{H}", "-frames:v", "1", "-pix_fmt", "rgba", src],
                   check=True)
    # (melt 7.12 crashes on a profile without a description.)
    profile.write_text(f"description=soak\nwidth={W}\nheight={H}\nprogressive=1\n"
                       "frame_rate_num=25\nframe_rate_den=1\nsample_aspect_num=1\n"
                       f"sample_aspect_den=1\ndisplay_aspect_num={W}\ndisplay_aspect_den={H}\n"
                       "colorspace=709\n")
    lo, hi = F32(0.001), F32(0.1)
    unit = lambda k: 0.09 if k == N - 1 else 0.01 + (0.09 - 0.01) * (k / (N - 1))  # noqa: E731
    picture = read(src)
    return dict(
        cmd=["melt", "-quiet", "-profile", profile, src, f"out={N - 1}", "-filter",
             "frei0r.kzr_hstretch", f"Degree=0=0.01;{N - 1}=0.09", "-consumer", "avformat:pipe:1",
             "f=rawvideo", "vcodec=rawvideo", "pix_fmt=rgba", "an=1", "real_time=-2"],
        output=lambda proc: frames_of(proc.stdout), sources=lambda: itertools.repeat(picture),
        effect="hstretch",
        params=lambda k: {"degree": min(max(F32(unit(k)), lo), hi)})


HOSTS = {"fxhost": ("ffmpeg", fxhost_host), "melt": ("melt", melt_host),
         "ffmpeg": ("ffmpeg", ffmpeg_host)}


@pytest.mark.parametrize("name", HOSTS)
def test_hours_of_video_keep_memory_and_files_flat_and_every_frame_right(tmp_path, name):
    tool, make = HOSTS[name]
    if shutil.which(tool) is None:
        pytest.skip(f"{tool} is not installed (scripts/install-deps.sh installs it)")
    host = make(tmp_path)
    env = {**os.environ, "FREI0R_PATH": PLUGINS, "MLT_FREI0R_PLUGIN_PATH": PLUGINS}
    err = open(tmp_path / "stderr", "w+")
    proc = subprocess.Popen(list(map(str, host["cmd"])), env=env, stdout=subprocess.PIPE,
                            stderr=err)
    sampler = Sampler(proc.pid)
    if name == "fxhost":  # its output is a file, read once written
        proc.wait(timeout=3600)
    count = 0
    for k, (out, src) in enumerate(zip(host["output"](proc), host["sources"]())):
        alone = kzrfx.Effect(host["effect"], W, H, **host["params"](k))
        assert np.array_equal(out, alone(np.ascontiguousarray(src))), f"{name} frame {k}"
        count += 1
    proc.wait(timeout=600)
    sampler.join()
    err.seek(0)
    assert proc.returncode == 0, err.read()
    assert count == N
    # From frame 100 to the last one, before the pipes are closed at the end.
    late = [s for s in sampler.samples if 100 <= s[0] < N]
    assert late, "sampled no frame after the 100th"
    at100, end = late[0][1], sampler.samples[-1][1]
    most = max(s[1] for s in sampler.samples if s[0] >= 100)
    files = sorted({s[2] for s in late})
    print(f"\n{name} {W}x{H}, {N} frames: resident {at100} KiB at frame 100, {end} KiB at the "
          f"end (most {most - at100:+d} KiB), open files {files}")
    assert most - at100 <= 2048 and len(files) == 1


def test_kill_9_mid_render_leaves_only_the_temporary_file_which_the_next_run_removes(tmp_path):
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg is not installed (scripts/install-deps.sh installs it)")
    out = tmp_path / "out.mkv"
    temp = re.compile(r"\.out\.mkv\.fxhost-\w{6}\.mkv")
    render = [FXHOST, "render", "drain", "-o", out, "--size", "320x180", "--codec", "ffv1", "-q"]
    proc = subprocess.Popen(render + ["--duration", "60"])
    left = []
    while not any((tmp_path / f).stat().st_size for f in left) and proc.poll() is None:
        time.sleep(0.05)
        left = [f for f in os.listdir(tmp_path) if temp.fullmatch(f)]
    # Another run meanwhile keeps the temporary file the first one holds.
    fxhost(*render[1:], "--duration", "0.2")
    assert (tmp_path / left[0]).exists()
    out.unlink()
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    assert os.listdir(tmp_path) == left
    r = fxhost(*render[1:], "--duration", "0.2")
    assert r.returncode == 0 and r.stderr == f"fxhost: removed {tmp_path / left[0]}, left by a " \
                                             "run that was killed\n", r.stderr
    assert os.listdir(tmp_path) == ["out.mkv"]
