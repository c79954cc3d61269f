"""kzrfx.cluster on a LocalCluster of two worker processes against fxhost
render: a video in frame ranges, a batch of mixed files, a worker killed
mid-range, and failures that must leave nothing under the output's name."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("distributed", reason="python3-distributed is not installed")
from kzrfx import cluster  # noqa: E402

FXHOST = os.environ.get("KZR_FXHOST", "")
RAMPS = {"hmirror": "P2=0.2:0.8", "hsqueeze": "P1=0.01:0.09", "hstretch": "P2=0.3:0.9",
         "vstretch": "P4=0.3:0.7", "tristretch": "P1=0.01:0.09", "doublefisheye": "P3=1:3",
         "drain": "P1=1:30", "laser": "P1=0.2:0.9", "square": "P1=0.01:0.09",
         "sshape": "P1=0.01:0.09"}  # one animated parameter of each effect


def run(*argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, timeout=180, **kwargs)


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-v", "error", "-y", *args], check=True, timeout=60)


def frames(path):
    """The decoded frames as stored, without any rate conversion."""
    return subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-map", "0:v",
                           "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "rgba", "-"],
                          capture_output=True, check=True, timeout=60).stdout


def packets(path, stream):
    return run("ffprobe", "-v", "error", "-select_streams", stream, "-show_entries",
               "packet=pts,dts,duration", "-of", "csv", str(path)).stdout.split()


def kzrfx(*args, scheduler):
    return run(sys.executable, "-m", "kzrfx", *args, "--scheduler", scheduler, "-q")


def fxhost(effect, source, output, *options):
    run(FXHOST, "render", effect, str(source), "-o", str(output), "--force", "-q", *options,
        check=True)
    return output


@pytest.fixture(scope="module")
def drain_ref(clip):
    return fxhost(DRAIN[0], clip, clip.parent / "drain.mkv", *DRAIN[1:])


@pytest.fixture(scope="module")
def client():
    with cluster.connect(workers=2) as c:
        yield c


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    # 300 frames with a keyframe every 70 and B-frames: ranges start between keyframes.
    path = tmp_path_factory.mktemp("clip") / "in.mp4"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30", "-f", "lavfi", "-i",
           "sine=frequency=440", "-frames:v", "300", "-t", "10", "-c:v", "libx264", "-g", "70",
           "-bf", "2", "-pix_fmt", "yuv420p", "-c:a", "aac", str(path))
    return path


DRAIN = ("drain", "--set", "Position=0.4,0.5", "--animate", "Degree=1:40", "--codec", "ffv1")
CASES = [  # effect and options, frames per range (0: planned), output
    (DRAIN, 64, "out.mkv"),
    (("laser", "--animate", "Position=0.2,0.3:0.8,0.6", "--codec", "ffv1"), 0, "out.mkv"),
    (("square", "--animate", "Degree=0.01:0.1"), 64, "out.mp4"),
]


@pytest.mark.parametrize("options,per,name", CASES)
def test_video_in_ranges_equals_fxhost_render(options, per, name, clip, client, tmp_path,
                                              drain_ref):
    out = tmp_path / name
    ref = drain_ref if options == DRAIN else fxhost(options[0], clip, tmp_path / ("ref" + name),
                                                    *options[1:])
    done = kzrfx("render", options[0], str(clip), "-o", str(out), *options[1:], "--range-frames",
                 str(per), scheduler=client.scheduler.address)
    assert done.returncode == 0, done.stderr
    assert set(os.listdir(tmp_path)) <= {ref.name, out.name}  # no leftovers
    assert packets(out, "a") == packets(ref, "a")  # the audio copied as fxhost copies it
    if "ffv1" in options:
        assert frames(out) == frames(ref) and packets(out, "v") == packets(ref, "v")
    else:  # H.264: the join keeps the rate (one frame every 512 ticks) and the frame count
        dts = [int(p.split(",")[2]) for p in packets(out, "v")]
        assert len(dts) == 300 and all(b - a == 512 for a, b in zip(dts, dts[1:]))


def test_batch_of_mixed_files_equals_fxhost_and_reruns_skip_done(client, tmp_path):
    (tmp_path / "src").mkdir()
    (tmp_path / "out").mkdir()
    jobs = []
    for i in range(20):  # 12 pictures in each format read, of several sizes; 8 videos
        effect, ext = list(RAMPS)[i % 10], ["png", "jpg", "bmp", "tga", "mp4", "mkv"][
            i % 4 if i < 12 else 4 + i % 2]
        size = f"{90 + 7 * i}x{60 + 5 * i}" if i < 12 else "96x64"
        ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={size}:rate=25", "-frames:v",
               "1" if i < 12 else "12", str(tmp_path / "src" / f"f{i}.{ext}"))
        jobs.append({"input": f"src/f{i}.{ext}", "effect": effect,
                     "output": f"f{i}.{'jpg' if i % 3 == 0 else 'png'}"} if i < 12 else
                    {"input": f"src/f{i}.{ext}", "effect": effect, "codec": "ffv1",
                     "animate": [RAMPS[effect]], "output": f"f{i}.mkv"})
        if i < 12:
            jobs[-1]["set"] = [RAMPS[effect].split(":")[0]]  # the ramp's start, off default
    (tmp_path / "jobs.json").write_text(json.dumps(jobs))
    batch = ("batch", str(tmp_path / "jobs.json"), "-o", str(tmp_path / "out"))
    done = kzrfx(*batch, scheduler=client.scheduler.address)
    assert done.returncode == 0, done.stderr
    for job in jobs:
        out, ref = tmp_path / "out" / job["output"], tmp_path / ("ref-" + job["output"])
        fxhost(job["effect"], tmp_path / job["input"], ref,
               *[o for a in job.get("animate", []) for o in ("--animate", a)],
               *[o for a in job.get("set", []) for o in ("--set", a)],
               *(["--codec", "ffv1"] if "codec" in job else []))
        if ref.suffix == ".mkv":
            assert frames(out) == frames(ref), out
        else:  # the same picture encoder: the same file
            assert out.read_bytes() == ref.read_bytes(), out
    stamps = {p: p.stat().st_mtime_ns for p in (tmp_path / "out").iterdir()}
    again = kzrfx(*batch, scheduler=client.scheduler.address)
    assert again.returncode == 0, again.stderr
    assert {p: p.stat().st_mtime_ns for p in (tmp_path / "out").iterdir()} == stamps


def test_worker_killed_mid_range_and_the_output_is_still_identical(clip, client, tmp_path,
                                                                   drain_ref):
    out = tmp_path / "out.mkv"
    job = subprocess.Popen([sys.executable, "-m", "kzrfx", "render", DRAIN[0], str(clip), "-o",
                            str(out), *DRAIN[1:], "--range-frames", "100", "-q", "--scheduler",
                            client.scheduler.address], stderr=subprocess.PIPE, text=True)
    pids, deadline = client.run(os.getpid), time.monotonic() + 60
    victim = None
    while victim is None and time.monotonic() < deadline and job.poll() is None:
        parts = [p for d in tmp_path.glob(".out.mkv.kzrfx-*") for p in d.glob("*.part.*")]
        busy = [w for w, keys in client.processing().items() if keys]
        if busy and any(p.stat().st_size > 0 for p in parts if p.exists()):
            victim = pids[busy[0]]
        time.sleep(0.02)
    assert victim is not None, "no range was seen in progress"
    os.kill(victim, signal.SIGKILL)
    assert job.wait(timeout=180) == 0, job.stderr.read()
    started = [t[0] for t in client.cluster.scheduler.transition_log
               if t[0].startswith("kzrfx-range-") and t[2] == "processing"]
    assert len(started) > len(set(started)), "Dask ran no range again"
    assert frames(out) == frames(drain_ref)
    client.wait_for_workers(2, timeout=60)


def full_disk(tmp_path):
    if run("mount", "-t", "tmpfs", "-o", "size=3m", "tmpfs", str(tmp_path)).returncode != 0:
        pytest.skip("a small tmpfs for a full disk needs root")
    return tmp_path


@pytest.mark.parametrize("scheduler,folder,message", [
    ("tcp://127.0.0.1:9", None, "cannot reach the Dask scheduler at tcp://127.0.0.1:9"),
    ("", full_disk, "No space left on device"),
])
def test_failures_say_one_line_and_leave_nothing(scheduler, folder, message, clip, client,
                                                 tmp_path):
    where = folder(tmp_path) if folder else tmp_path
    try:
        done = run(sys.executable, "-m", "kzrfx", "render", DRAIN[0], str(clip), *DRAIN[1:], "-o",
                   str(where / "out.mkv"), "--scheduler", scheduler or client.scheduler.address,
                   "--timeout", "2")
        assert done.returncode == 1 and message in done.stderr, done.stderr
        assert done.stderr.startswith("kzrfx: ") and done.stderr.count("\n") == 1, done.stderr
        assert os.listdir(where) == []
    finally:
        if folder:
            run("umount", "-l", str(where))  # a worker may still be finishing a range there


def test_an_input_missing_on_a_worker_is_named(client, clip):
    info = cluster.probe(str(clip))
    future = client.submit(cluster.render_range, cluster.Settings("drain"), "/nowhere/in.mp4",
                           info, 0, 10, ".mkv", "/nowhere/segment.mov")
    with pytest.raises(cluster.RenderError, match="input /nowhere/in.mp4 is not there on worker"):
        future.result()
