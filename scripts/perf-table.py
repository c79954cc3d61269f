#!/usr/bin/python3
"""Turns kzr_bench's JSON output into the markdown tables of docs/performance.md.

    scripts/perf-table.py [--cpu-time] BENCH.json[,MORE.json...] [BEFORE.json[,MORE.json...]]
    scripts/perf-table.py --tasks COLD.json[,MORE...] WARM.json[,MORE...]

BENCH.json is what `kzr_bench --benchmark_out=BENCH.json --benchmark_out_format=json`
wrote (or --benchmark_format=json on standard output).  With repetitions the
median of each case is used, otherwise the single run; given several files
(rounds of the same build, comma-separated), the smallest of their medians,
and the machine of the first.  Given BEFORE.json as well, every time column
shows "before → after" and a column with the speed-up of Process at CPU
level 8 is added.  The tables go to standard output.

--tasks takes a run with --caches=cold and one without, and prints per frame
size the one- and two-task times at CPU levels 8 (AVX2) and 9 (AVX-512), cold
with the warm ones in brackets.

Times are wall-clock by default.  --cpu-time uses the CPU time of the
benchmark's thread instead, which varies less on a machine shared with other
work but leaves out what other threads do (the TaskCount 2 column).
"""
import json
import re
import signal
import statistics
import subprocess
import sys

# Per-pixel 32-bit map entries that each effect's Process reads: the floor it
# is compared with.  The laser reads a pair of integers per pixel.
MAPS_READ = {
    "hmirror": 0, "hsqueeze": 2, "hstretch": 1, "vstretch": 1, "tristretch": 1,
    "doublefisheye": 2, "drain": 2, "laser": 2, "square": 2, "sshape": 1,
}
EFFECT_ORDER = list(MAPS_READ)
SIZES = ["1920x1080", "3840x2160"]
UNITS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}


def fail(message):
    sys.exit("perf-table.py: " + message)


TIME_FIELD = "real_time"


def load(path):
    """Median real time in ms of every case, keyed by its name without suffix."""
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except OSError as e:
        fail(f"cannot read {path}: {e.strerror}")
    except json.JSONDecodeError as e:
        fail(f"{path} is not JSON ({e}); expected the output of "
             "kzr_bench --benchmark_out=FILE --benchmark_out_format=json")
    if "benchmarks" not in data or "context" not in data:
        fail(f"{path} has no 'benchmarks' and 'context'; expected kzr_bench's JSON output")
    medians, runs, spread, agree = {}, {}, {}, {}
    for b in data["benchmarks"]:
        name = b.get("run_name", b["name"]).removesuffix("/real_time")
        name = re.sub(r"/iterations:\d+", "", name)
        if b.get("error_occurred"):
            continue
        ms = b[TIME_FIELD] * UNITS.get(b.get("time_unit", "ns"), 1e-6)
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                medians[name] = ms
                if "agree" in b:
                    agree[name] = b["agree"]
            elif b.get("aggregate_name") == "cv":
                spread[name] = b["real_time"]  # a ratio, not a time
        else:
            runs.setdefault(name, []).append(ms)
            if "agree" in b:
                agree[name] = b["agree"]
    for name, values in runs.items():
        medians.setdefault(name, statistics.median(values))
    if not medians:
        fail(f"{path} holds no successful benchmark runs")
    return data["context"], medians, spread, agree


def load_rounds(paths):
    """load() of every comma-separated file, keeping each case's smallest
    median; the context of the first file."""
    rounds = [load(p) for p in paths.split(",")]
    context, medians, spread, agree = rounds[0]
    medians, spread, agree = dict(medians), dict(spread), dict(agree)
    for _, m, s, a in rounds[1:]:
        for name, ms in m.items():
            if name not in medians or ms < medians[name]:
                medians[name] = ms
                if name in s:
                    spread[name] = s[name]
                if name in a:
                    agree[name] = a[name]
    return context, medians, spread, agree


def fmt(ms):
    if ms is None:
        return "-"
    if ms >= 100:
        return f"{ms:.0f}"
    if ms >= 10:
        return f"{ms:.1f}"
    if ms >= 0.1:
        return f"{ms:.2f}"
    return f"{ms:.3f}"


def ratio(a, b):
    if a is None or b is None or b == 0:
        return "-"
    return f"{a / b:.1f}×" if a / b >= 10 else f"{a / b:.2f}×"


def lscpu_model():
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return ""
    for line in out.splitlines():
        if line.startswith("Model name:"):
            return line.split(":", 1)[1].strip()
    return ""


def machine(context, label):
    caches = ", ".join(
        f"L{c['level']} {c['type'].lower()} {c['size'] // 1024} KiB"
        + (f" per {c['num_sharing']} CPUs" if c.get("num_sharing", 1) > 1 else "")
        for c in context.get("caches", []))
    model = context.get("cpu_model") or lscpu_model() or "unknown"
    load_avg = ", ".join(f"{x:.2f}" for x in context.get("load_avg", []))
    return (f"{label}: {model}, {context.get('num_cpus', '?')} CPUs at "
            f"{context.get('mhz_per_cpu', '?')} MHz; caches {caches or 'unknown'}; "
            f"CPU level {context.get('cpu_level', '?')}; load average at start {load_avg or '?'}; "
            f"run {context.get('date', '?')}.")


def tasks_table(cold, warm):
    """Per size, the effects at one and two tasks, AVX2 (level 8) and AVX-512
    (level 9), with cold caches and warm: Process and its multiple of the
    floor, the keyframe (rebuild and draw), Prepare of a fresh instance and
    the rebuild."""
    (cctx, c, _, _), (_, w, _, _) = cold, warm
    print(machine(cctx, "Machine"))
    print()
    levels = [lv for lv in (8, 9) if any(f"/cpu{lv}/" in k for k in c)]
    for size in SIZES:
        print(f"#### {size}, median ms, cold caches (warm in brackets)")
        print()
        heads = ["Effect"]
        for lv in levels:
            isa = "AVX2" if lv == 8 else "AVX-512"
            heads += [f"Process {isa} 1 task", "2 tasks", "x floor"]
        heads += ["Keyframe 1 task", "2 tasks", "Prepare 1 task", "2 tasks", "Rebuild 1 task",
                  "2 tasks"]
        print("| " + " | ".join(heads) + " |")
        print("|---|" + "---:|" * (len(heads) - 1))
        for fx in EFFECT_ORDER:
            if f"process/{fx}/{size}/cpu8/tasks1" not in c:
                continue

            def both(name):
                return f"{fmt(c.get(name))} ({fmt(w.get(name))})" if name in c else "-"

            def speedup(one, two):
                a, b = c.get(one), c.get(two)
                return f"{fmt(b)} ({a / b:.2f}x)" if a and b else "-"

            row = [fx]
            floor = c.get(f"floor/{MAPS_READ.get(fx, 2)}maps/{size}")
            for lv in levels:
                p = f"process/{fx}/{size}/cpu{lv}"
                row += [both(p + "/tasks1"), speedup(p + "/tasks1", p + "/tasks2"),
                        ratio(c.get(p + "/tasks1"), floor)]
            for kind in ("keyframe", "prepare", "rebuild"):
                one = f"{kind}/{fx}/{size}"
                row += [both(one), speedup(one, one + "/tasks2")]
            print("| " + " | ".join(row) + " |")
        floors = " / ".join(f"{n} maps {fmt(c.get(f'floor/{n}maps/{size}'))} "
                            f"({fmt(w.get(f'floor/{n}maps/{size}'))})" for n in (0, 1, 2))
        print()
        print(f"Floors, cold (warm): {floors} ms.  Two-task cells: the time and, in "
              "brackets, how many times faster than one task.")
        print()


def main(argv):
    global TIME_FIELD
    if len(argv) == 4 and argv[1] == "--tasks":
        tasks_table(load_rounds(argv[2]), load_rounds(argv[3]))
        return
    if "--cpu-time" in argv:
        TIME_FIELD = "cpu_time"
        argv = [a for a in argv if a != "--cpu-time"]
    if len(argv) not in (2, 3) or any(a.startswith("-") for a in argv[1:]):
        fail("usage: scripts/perf-table.py [--cpu-time] BENCH.json[,MORE.json...] "
             "[BEFORE.json[,MORE.json...]]")
    context, now, spread, agree = load_rounds(argv[1])
    before = load_rounds(argv[2])[1] if len(argv) == 3 else None

    def cell(name):
        t = now.get(name)
        if before is None:
            return fmt(t)
        b = before.get(name)
        if b is None and t is None:
            return "-"
        return f"{fmt(b)} → {fmt(t)}"

    print(machine(context, "Machine"))
    print()
    kind = "wall-clock" if TIME_FIELD == "real_time" else "CPU (benchmark thread)"
    print(f"Median {kind} time per call in ms. Process runs at one task unless "
          "the column says otherwise; ours/floor and ours/cv::remap compare Process at "
          "CPU level 8 with the memory floor for the maps the effect reads and with "
          "cv::remap on the same maps.")
    print()
    heads = ["Effect", "Size", "Prepare", "Rebuild", "Rebuild, 2 tasks", "Rebuild, 2nd number",
             "Keyframe",
             "Process@0", "Process@3",
             "Process@8", "TaskCount 2", "ours/floor", "ours/cv::remap"]
    if before is not None:
        heads.append("speed-up @8")
    print("| " + " | ".join(heads) + " |")
    print("|" + "|".join(["---"] * 2 + ["---:"] * (len(heads) - 2)) + "|")
    effects = [e for e in EFFECT_ORDER if any(k.split("/")[1:2] == [e] for k in now)]
    effects += sorted({k.split("/")[1] for k in now if k.startswith("process/")} - set(effects))
    for fx in effects:
        for size in SIZES:
            p = f"process/{fx}/{size}"
            if p + "/cpu8" not in now and p + "/cpu0" not in now:
                continue
            ours = now.get(p + "/cpu8")
            floor = now.get(f"floor/{MAPS_READ.get(fx, 2)}maps/{size}")
            cv = now.get(f"cvremap/{fx}/{size}")
            row = [fx, size, cell(f"prepare/{fx}/{size}"), cell(f"rebuild/{fx}/{size}"),
                   cell(f"rebuild/{fx}/{size}/tasks2"), cell(f"rebuild2/{fx}/{size}"),
                   cell(f"keyframe/{fx}/{size}"), cell(p + "/cpu0"), cell(p + "/cpu3"),
                   cell(p + "/cpu8"), cell(p + "/cpu8/tasks2"), ratio(ours, floor),
                   ratio(ours, cv)]
            if before is not None:
                row.append(ratio(before.get(p + "/cpu8"), ours))
            print("| " + " | ".join(row) + " |")
    print()
    print("Memory floor (one pass reading the source and the maps, writing the "
          "destination) and cv::remap, median ms:")
    print()
    print("| Case | " + " | ".join(SIZES) + " | pixels as ours |")
    print("|---|" + "---:|" * (len(SIZES) + 1))
    for maps in (0, 1, 2):
        label = {0: "floor, copy (0 maps)", 1: "floor, 1 map", 2: "floor, 2 maps"}[maps]
        print(f"| {label} | " + " | ".join(cell(f"floor/{maps}maps/{s}") for s in SIZES) +
              " | |")
    for fx in effects:
        if any(f"cvremap/{fx}/{s}" in now for s in SIZES):
            print(f"| cv::remap, {fx} maps | "
                  + " | ".join(cell(f"cvremap/{fx}/{s}") for s in SIZES) + " | "
                  + " / ".join(f"{100 * agree[f'cvremap/{fx}/{s}']:.1f} %"
                               for s in SIZES if f"cvremap/{fx}/{s}" in agree) + " |")
    if spread:
        worst = max(spread, key=spread.get)
        print()
        print(f"Spread over the repetitions: median coefficient of variation "
              f"{100 * statistics.median(spread.values()):.1f} %, largest "
              f"{100 * spread[worst]:.1f} % ({worst}).")


if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # quiet when piped into head
    main(sys.argv)
