"""python3 -m kzrfx render EFFECT INPUT -o OUTPUT [...] [--scheduler tcp://HOST:8786]
python3 -m kzrfx batch JOBS.json -o FOLDER [...]

The effects on a Dask cluster (kzrfx.cluster): a video is split into ranges
of frames rendered by the workers and joined; several inputs (or a glob) and
a batch file render one file per task into a folder.  Without --scheduler a
local cluster of one process per core runs on this machine.
"""

import argparse
import glob
import json
import os
import signal
import sys

from . import cluster


def _common(p: argparse.ArgumentParser) -> None:
    p.add_argument("-o", "--output", required=True,
                   help="output file (.png/.jpg, or a video such as .mp4, .mkv); a folder for "
                        "several inputs")
    p.add_argument("--force", action="store_true", help="overwrite existing outputs")
    p.add_argument("--scheduler", default="",
                   help="address of a Dask scheduler (tcp://HOST:8786); default: a local "
                        "cluster of one process per core")
    p.add_argument("--timeout", type=float, default=10,
                   help="seconds to wait for the scheduler to answer (default 10)")
    p.add_argument("--workers", type=int, default=0,
                   help="worker processes of the local cluster (default: one per core)")
    p.add_argument("--send-files", action="store_true",
                   help="send inputs to the workers and outputs back through the cluster, for "
                        "workers that do not share the client's file system")
    p.add_argument("--cpu-level", type=int, default=None,
                   help="processor level given to the effects: 8 or more uses AVX2, 3 or more "
                        "SSE2, less plain code (default: what each worker supports)")
    p.add_argument("--tasks", type=int, default=1,
                   help="bands of rows an effect renders in parallel on a worker (default 1)")
    p.add_argument("--ref", default="",
                   help="reference frame size WxH for effects that keep display proportions")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar")


def _parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="python3 -m kzrfx", description=__doc__.split("\n\n")[1],
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = top.add_subparsers(dest="command", required=True)
    r = sub.add_parser("render", help="one effect on a video, a picture, or several files",
                       description="Render one effect as `fxhost render` does, on a Dask "
                                   "cluster.  Several inputs or a glob pattern ('clips/*.mp4') "
                                   "render into the folder given by -o.")
    r.add_argument("effect", help="effect short name (hstretch, drain, laser, ...)")
    r.add_argument("inputs", nargs="+", metavar="INPUT", help="picture or video; or several")
    r.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                   help="a parameter by key (P1) or display name (Degree); positions as x,y; "
                        "switches as 0/1 (repeatable)")
    r.add_argument("--animate", action="append", default=[], metavar="KEY=FROM:TO",
                   help="ramp a number or position linearly from the first to the last frame "
                        "(repeatable)")
    r.add_argument("--codec", default="",
                   help="ffmpeg video encoder, such as libx264, libvpx-vp9 or ffv1 (default: "
                        "by container)")
    r.add_argument("--range-frames", type=int, default=0,
                   help="frames of a video rendered by one task (default: up to four tasks a "
                        "worker, 100 to 1500 frames each)")
    _common(r)
    b = sub.add_parser("batch", help="a list of files, each with its effect and parameters",
                       description="Render the files of a JSON list into the folder given by "
                                   "-o; files already there are skipped.  Each entry: "
                                   '{"input": "a.mp4", "effect": "drain", "set": ["Degree=20"], '
                                   '"animate": ["Size=0.5:1"], "codec": "", "output": "a.mp4"} '
                                   "(only input and effect are needed).")
    b.add_argument("jobs", help="JSON file with the list of entries")
    _common(b)
    return top


def _items(path: str):
    try:
        with open(path, encoding="utf-8") as f:
            entries = json.load(f)
    except OSError as e:
        raise cluster.RenderError(f"cannot read {path}: {e.strerror}") from None
    except ValueError as e:
        raise cluster.RenderError(f"{path} is not JSON: {e}") from None
    base = os.path.dirname(os.path.abspath(path))
    items = []
    for n, e in enumerate(entries if isinstance(entries, list) else [None]):
        texts = lambda v: isinstance(v, list) and all(isinstance(t, str) for t in v)  # noqa: E731
        if not isinstance(e, dict) or not isinstance(e.get("input"), str) or \
                not isinstance(e.get("effect"), str) or \
                not texts(e.get("set", [])) or not texts(e.get("animate", [])) or \
                not isinstance(e.get("codec", ""), str) or \
                not isinstance(e.get("output", ""), str) or \
                set(e) - {"input", "effect", "set", "animate", "codec", "output"}:
            raise cluster.RenderError(
                f"{path}: entry {n + 1} must be an object with \"input\" and \"effect\" and "
                "optionally \"set\", \"animate\" (lists of strings), \"codec\" and \"output\"")
        items.append(cluster.Item(os.path.join(base, e["input"]), e["effect"],
                                  tuple(e.get("set", ())), tuple(e.get("animate", ())),
                                  e.get("codec", ""), e.get("output", "")))
    return items


def _interrupt(signum, frame):
    raise KeyboardInterrupt


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    # Stopped from outside as by Ctrl-C: the temporary files are removed.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, _interrupt)
    try:
        if args.command == "render" and len(args.inputs) == 1 and \
                not glob.has_magic(args.inputs[0]) and not os.path.isdir(args.output):
            # Refusals before any cluster is started or reached.
            settings = cluster.Settings(args.effect, tuple(args.set), tuple(args.animate),
                                        args.codec, args.cpu_level, args.tasks, args.ref)
            cluster.check(settings, args.inputs[0], args.output, args.force)
        with cluster.connect(args.scheduler, args.workers, args.timeout) as client:
            link = cluster.dashboard(client)
            if link and not args.quiet:
                print(f"Dask dashboard: {link}", file=sys.stderr)
            common = dict(client=client, force=args.force, send_files=args.send_files,
                          progress=not args.quiet, cpu_level=args.cpu_level, tasks=args.tasks,
                          ref=args.ref)
            if args.command == "batch":
                items = _items(args.jobs)
            else:
                inputs = cluster.expand_inputs(args.inputs)
                if len(inputs) == 1 and inputs == args.inputs and not os.path.isdir(args.output):
                    cluster.render(args.effect, inputs[0], args.output, sets=args.set,
                                   animates=args.animate, codec=args.codec,
                                   range_frames=args.range_frames, **common)
                    return 0
                items = [cluster.Item(i, args.effect, tuple(args.set), tuple(args.animate),
                                      args.codec) for i in inputs]
            done, skipped = cluster.render_batch(items, args.output, **common)
            if not args.quiet:
                print(f"{done} rendered, {skipped} already there", file=sys.stderr)
    except KeyboardInterrupt:
        print("\nkzrfx: interrupted; nothing was written under the output names",
              file=sys.stderr)
        return 130
    except cluster.RenderError as e:
        print(f"kzrfx: {e}", file=sys.stderr)
        return 1
    except OSError as e:  # such as an output folder that cannot be written
        print(f"kzrfx: cannot write {e.filename or 'a file'}: {e.strerror or e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
