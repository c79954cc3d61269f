#!/usr/bin/env python3
"""Times a video render by fxhost against kzrfx.cluster with 1 and 2 local
workers, and the cost of a range (the same job in many ranges against one).

    PYTHONPATH=build/python /usr/bin/python3 bench/cluster_speed.py \\
        --fxhost build/bin/fxhost [--size 1920x1080] [--frames 300] [--rounds 3]

Prints one line per run, seconds of wall time and of processor time (user and
system, of every process taking part: fxhost or the client, the workers and
their ffmpeg processes), and the median of each kind.  On a machine that
others share, the processor time varies less than the wall time.
The input is made once with ffmpeg (testsrc2, H.264, a keyframe every 50
frames); every output is .mp4 with fxhost's default encoder settings.
"""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import tempfile
import time

from kzrfx import cluster


def cpu_seconds():
    """User and system time of this process and of its children waited for."""
    return sum(r.ru_utime + r.ru_stime for r in (resource.getrusage(resource.RUSAGE_SELF),
                                                 resource.getrusage(resource.RUSAGE_CHILDREN)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--fxhost", required=True)
    ap.add_argument("--size", default="1920x1080")
    ap.add_argument("--frames", type=int, default=300)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--effect", default="drain")
    ap.add_argument("--codec", default="", help="as --codec; default: H.264 as fxhost picks")
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="kzrfx-speed-")
    src, out = os.path.join(work, "in.mp4"), os.path.join(work, "out.mp4")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    f"testsrc2=size={args.size}:rate=30", "-frames:v", str(args.frames),
                    "-c:v", "libx264", "-g", "50", "-pix_fmt", "yuv420p", src], check=True)
    codec = ["--codec", args.codec] if args.codec else []
    times = {}

    cpus = {}

    def note(kind, seconds, cpu=None):
        times.setdefault(kind, []).append(seconds)
        line = f"{kind:34s} {seconds:7.2f} s"
        if cpu is not None:
            cpus.setdefault(kind, []).append(cpu)
            line += f"   processor {cpu:7.2f} s"
        print(line + f"   (load average {os.getloadavg()[0]:.1f})", flush=True)

    def everyone(client):
        return cpu_seconds() + (sum(client.run(cpu_seconds).values()) if client else 0)

    clients = {}
    for workers in (1, 2):
        t = time.monotonic()
        clients[workers] = cluster.connect(workers=workers)
        client = clients[workers].__enter__()
        client.run(lambda: __import__("kzrfx").load() and None)
        note(f"local cluster of {workers} started", time.monotonic() - t)
    many = 12
    runs = [("cluster, 1 worker, 1 range", 1, args.frames),
            ("cluster, 2 workers, planned ranges", 2, 0),
            (f"cluster, 1 worker, {many} ranges", 1, -(-args.frames // many))]
    try:
        for _ in range(args.rounds):
            t, c = time.monotonic(), cpu_seconds()
            subprocess.run([args.fxhost, "render", args.effect, src, "-o", out, "--force", "-q",
                            *codec], check=True)
            note("fxhost render", time.monotonic() - t, cpu_seconds() - c)
            for kind, workers, ranges in runs:
                client = clients[workers].client
                t, c = time.monotonic(), everyone(client)
                cluster.render(args.effect, src, out, force=True, client=client,
                               codec=args.codec, range_frames=ranges)
                note(kind, time.monotonic() - t, everyone(client) - c)
    finally:
        for c in clients.values():
            c.__exit__(None, None, None)
        shutil.rmtree(work, ignore_errors=True)
    print("\nmedians:")
    for kind, values in times.items():
        line = f"{kind:34s} {statistics.median(values):7.2f} s wall (runs: " + ", ".join(
            f"{v:.2f}" for v in values) + ")"
        if kind in cpus:
            line += f", {statistics.median(cpus[kind]):7.2f} s processor (runs: " + ", ".join(
                f"{v:.2f}" for v in cpus[kind]) + ")"
        print(line)
    for what, table in (("wall", times), ("processor", cpus)):
        one, split = (statistics.median(table[runs[i][0]]) for i in (0, 2))
        print(f"cost of a range in {what} time (1 worker, {many} ranges against 1): "
              f"{(split - one) / (many - 1):.3f} s")


if __name__ == "__main__":
    main()
