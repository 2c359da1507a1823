"""tolvane.compare's benchmark: its goals on the 100 MB files (11 parameters, width 15).

    python bench/bench_compare.py [--build-dir build/dev] [--turns 7]

The reference is gen_plot's 100 MB file; the actual the same blocks with every value moved by
a part in 10^5 (same grid), written once beside it by tolvane.write, and the same again with the
times moved by a third of a step (another grid). These rows take turns, each a median over the
turns of its ratio to `read` within the turn (so that a burst of load from elsewhere hits both):

    read        tolvane.read of both files (the two Plots)
    same        tolvane.compare(reference path, actual path): the reads and every signal, same grid
    grid        the same with the actual on another grid (the band interpolated, common range)
    tube        the same grid with a time tolerance of three steps (the envelopes of the tube)

then, by themselves: `pyfunnel` (pyfunnel.compareAndReport on one signal, the tube of `tube`'s
tolerances) against tolvane.compare of that one signal of the Plots already read (`one`);
`memory`, the peak resident memory of `same` in a child process of its own, against the two
Plots' bytes; and `sweep-t1` / `sweep-t2`, compare_many over a sweep of 8 pairs of 10 MB files
on one thread and on two. Goals: same <= 1.5 x read, grid <= 2.5, tube <= 4, pyfunnel >= 100 x
one, memory <= Plots + 64 MiB, sweep-t1 >= 1.6 x sweep-t2.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import gen_plot  # noqa: E402

GOALS = {"same": 1.5, "grid": 2.5, "tube": 4.0}


def actual_files(reference: str, tolvane, np) -> tuple[str, str]:
    """The actual on the reference's grid, and on another; made once beside the reference."""
    same = reference + ".actual-same.plt"
    grid = reference + ".actual-grid.plt"
    if not (os.path.exists(same) and os.path.exists(grid)):
        plot = tolvane.read(reference)
        columns = {name: np.asarray(plot[i], dtype=np.float64) * (1 + 1e-5) if i else np.asarray(plot[i], np.float64)
                   for i, name in enumerate(plot.names)}
        tolvane.write(same, columns, 15)
        time_name = plot.names[0]
        step = float(np.median(np.diff(columns[time_name])))
        columns[time_name] = columns[time_name] + step / 3
        tolvane.write(grid, columns, 15)
    return same, grid


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build-dir", default=None)
    ap.add_argument("--turns", type=int, default=7)
    ap.add_argument("--size-mb", type=float, default=100)
    args = ap.parse_args()
    if args.build_dir:
        sys.path.insert(0, os.path.abspath(args.build_dir))
    import numpy as np
    import tolvane

    reference = gen_plot.cached_plot(11, 15, args.size_mb, cache_dir=gen_plot.default_cache_dir())
    same, grid = actual_files(reference, tolvane, np)
    plot = tolvane.read(reference)
    step = float(np.median(np.diff(np.float64(plot.time))))
    tube = dict(time_atol=3 * step)
    runs = {
        "read": lambda: (tolvane.read(reference), tolvane.read(same)),
        "same": lambda: tolvane.compare(reference, same),
        "grid": lambda: tolvane.compare(reference, grid, time_range="common"),
        "tube": lambda: tolvane.compare(reference, same, **tube),
    }
    times: dict[str, list[float]] = {name: [] for name in runs}
    for turn in range(args.turns):
        order = list(runs)[turn % 4:] + list(runs)[:turn % 4]
        for name in order:
            start = time.perf_counter()
            result = runs[name]()
            times[name].append(time.perf_counter() - start)
            del result
        print(f"turn {turn + 1}/{args.turns}", file=sys.stderr)
    print(f"# tolvane.compare, {os.path.basename(reference)} ({os.path.getsize(reference) / 1e6:.0f} MB, "
          f"{len(plot)} blocks, 11 parameters), medians over {args.turns} turns\n")
    print("| row | median s | x read (median of the turns' ratios) | goal | verdict |\n|---|---|---|---|---|")
    for name in runs:
        ratio = statistics.median(t / r for t, r in zip(times[name], times["read"]))
        goal = GOALS.get(name)
        verdict = "" if goal is None else ("PASS" if ratio <= goal else "FAIL")
        print(f"| {name} | {statistics.median(times[name]):.3f} | {ratio:.2f} | "
              f"{'' if goal is None else f'<= {goal}'} | {verdict} |")

    # pyfunnel against one signal of the Plots already read.
    actual = tolvane.read(same)
    name = plot.names[1]
    one = []
    for _ in range(5):
        start = time.perf_counter()
        tolvane.compare(plot, actual, signals=[name], **tube)
        one.append(time.perf_counter() - start)
    try:
        import pyfunnel
    except ImportError:
        print("\npyfunnel: not installed, its row skipped")
    else:
        x, y = np.float64(plot.time).tolist(), np.float64(plot[name]).tolist()
        ay = np.float64(actual[name]).tolist()
        with tempfile.TemporaryDirectory() as out, contextlib.redirect_stdout(io.StringIO()):
            start = time.perf_counter()
            pyfunnel.compareAndReport(x, y, x, ay, outputDirectory=out, atolx=tube["time_atol"], atoly=0.0,
                                      ltoly=1e-3, rtoly=1e-3)
            funnel = time.perf_counter() - start
        ratio = funnel / statistics.median(one)
        print(f"\n| pyfunnel (1 signal) | {funnel:.3f} s | tolvane.compare of it {statistics.median(one) * 1e3:.1f} ms | "
              f"{ratio:.0f} x | goal >= 100 x | {'PASS' if ratio >= 100 else 'FAIL'} |")

    # Peak memory of `same`, in a child of its own.
    # Linux keeps ru_maxrss across exec (the parent's peak): the child resets its high-water
    # mark instead, and reads it from /proc.
    code = ("import tolvane, numpy\n"
            "def status(key):\n"
            "    line = next(l for l in open('/proc/self/status') if l.startswith(key + ':'))\n"
            "    return int(line.split()[1]) * 1024\n"
            "open('/proc/self/clear_refs', 'w').write('5')\n"
            "base = status('VmRSS')\n"
            f"c = tolvane.compare({reference!r}, {same!r})\n"
            "plots = c.reference.to_numpy().nbytes + c.actual.to_numpy().nbytes\n"
            "print(base, status('VmHWM'), plots)\n")
    env = dict(os.environ)
    if args.build_dir:
        env["PYTHONPATH"] = os.path.abspath(args.build_dir)
    base, peak, plots = map(int, subprocess.run([sys.executable, "-c", code], env=env, check=True,
                                                capture_output=True, text=True).stdout.split())
    over = (peak - base - plots) / 2**20
    print(f"| memory | peak over the imports {(peak - base) / 2**20:.0f} MiB | the two Plots {plots / 2**20:.0f} MiB | "
          f"+{over:.0f} MiB | goal <= +64 MiB | {'PASS' if over <= 64 else 'FAIL'} |")

    # A sweep of 8 pairs of 10 MB files, on one thread and on two.
    folder = os.path.join(gen_plot.default_cache_dir(), "compare-sweep")
    small = gen_plot.cached_plot(11, 15, 10, cache_dir=gen_plot.default_cache_dir())
    for side in ("ref", "act"):
        os.makedirs(os.path.join(folder, side), exist_ok=True)
        for i in range(8):
            link = os.path.join(folder, side, f"run{i}.plt")
            if not os.path.exists(link):
                os.symlink(small, link)
    sweep: dict[int, list[float]] = {1: [], 2: []}
    for turn in range(args.turns):
        for threads in ((1, 2) if turn % 2 else (2, 1)):
            start = time.perf_counter()
            tolvane.compare_many(os.path.join(folder, "ref"), os.path.join(folder, "act"), threads=threads)
            sweep[threads].append(time.perf_counter() - start)
    speedup = statistics.median(a / b for a, b in zip(sweep[1], sweep[2]))
    print(f"| sweep-t1 / sweep-t2 | {statistics.median(sweep[1]):.3f} s / {statistics.median(sweep[2]):.3f} s | "
          f"{speedup:.2f} x | goal >= 1.6 x | {'PASS' if speedup >= 1.6 else 'FAIL'} |")


if __name__ == "__main__":
    main()
