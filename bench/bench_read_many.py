#!/usr/bin/env python3
"""Times tolvane.read_many over a sweep of plot files, one file at a time against two at once,
and against the process pool of the former examples/read_many.py, side by side in one run.

    python3 bench/bench_read_many.py /tmp/sweep                  # writes the sweep if missing
    python3 bench/bench_read_many.py /tmp/sweep --old-examples /tmp/old/examples

The sweep is examples/make_sweep.py's (--runs 100 --steps 10000: 100 files, 152 MB), written
into DIR when DIR holds no *.plt file. The rounds take turns (each round runs every row once,
in a rotated order) after one untimed round that brings the files into the page cache; the
table gives each row's median and best wall time and the speed-up of its median over the
first row's.

--old-examples: a folder holding the examples/ of an earlier commit, whose read_many.py read
each file with quorel in a pool of worker processes and reduced it to a summary; for
instance `git archive 0302ba5 examples | tar -x -C /tmp/old`. Its rows run its main() in this
process with -j 1 and -j 2, writing the CSV to /dev/null.

tolvane must be importable (installed, or PYTHONPATH=build/dev for a cmake build tree).
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import importlib
import io
import os
import pathlib
import statistics
import subprocess
import sys
import time
from typing import Callable, Dict, List

import tolvane

ROOT = pathlib.Path(__file__).resolve().parent.parent


def log(*parts: object) -> None:
    print(*parts, file=sys.stderr, flush=True)


def sweep(folder: pathlib.Path, runs: int, steps: int) -> List[str]:
    paths = sorted(folder.glob("*.plt"))
    if not paths:
        log(f"writing {runs} files of {steps} steps into {folder}")
        subprocess.run([sys.executable, str(ROOT / "examples" / "make_sweep.py"), str(folder),
                        "--runs", str(runs), "--steps", str(steps)], check=True,
                       stdout=subprocess.DEVNULL)
        paths = sorted(folder.glob("*.plt"))
    return [str(path) for path in paths]


def old_example(folder: pathlib.Path, examples: pathlib.Path, jobs: int) -> Callable[[], None]:
    sys.path.insert(0, str(examples))
    script = importlib.import_module("read_many")
    argv = [str(folder), "12", "-j", str(jobs), "-o", os.devnull]

    def run() -> None:
        with contextlib.redirect_stderr(io.StringIO()):  # its count of files read
            status = script.main(argv)
        if status != 0:
            raise RuntimeError(f"examples/read_many.py exited {status}")

    return run


def main(argv: List[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=pathlib.Path, help="the sweep's folder (written if it holds no *.plt)")
    parser.add_argument("--runs", type=int, default=100, help="files of a sweep written here (default 100)")
    parser.add_argument("--steps", type=int, default=10000, help="time steps of each file written here (default 10000)")
    parser.add_argument("--rounds", type=int, default=7, help="timed rounds (default 7)")
    parser.add_argument("--old-examples", type=pathlib.Path,
                        help="an earlier commit's examples/ folder, to time its read_many.py too")
    args = parser.parse_args(argv)
    args.folder.mkdir(parents=True, exist_ok=True)
    paths = sweep(args.folder, args.runs, args.steps)
    size = sum(os.path.getsize(path) for path in paths)

    rows: Dict[str, Callable[[], object]] = {
        "`tolvane.read_many(paths, threads=1)`": lambda: tolvane.read_many(paths, threads=1),
        "`tolvane.read_many(paths, threads=2)`": lambda: tolvane.read_many(paths, threads=2),
    }
    if args.old_examples:
        rows["former `examples/read_many.py -j 1`: one process"] = old_example(args.folder, args.old_examples, 1)
        rows["former `examples/read_many.py -j 2`: two worker processes"] = old_example(args.folder, args.old_examples, 2)

    frame = tolvane.read_many(paths, threads=1)
    log(f"{len(paths)} files, {size / 1e6:.0f} MB, {len(frame)} rows x {frame.shape[1]} columns; "
        f"load average before: {os.getloadavg()[0]:.2f}")
    del frame
    times: Dict[str, List[float]] = {name: [] for name in rows}
    order = list(rows)
    for round_ in range(args.rounds + 1):
        for name in order:
            gc.collect()
            start = time.perf_counter()
            result = rows[name]()
            elapsed = time.perf_counter() - start
            del result
            if round_:  # the first round warms the page cache and the imports
                times[name].append(elapsed)
        order = order[1:] + order[:1]
    log(f"load average after: {os.getloadavg()[0]:.2f}")

    base = statistics.median(times[next(iter(rows))])
    print(f"{len(paths)} files of examples/make_sweep.py ({size / 1e6:.0f} MB, page cache), "
          f"{args.rounds} rounds taking turns, {len(os.sched_getaffinity(0))} cores, "
          f"Python {sys.version.split()[0]}")
    print()
    print("| command | median s | best s | speed-up (median) |")
    print("|---|---:|---:|---:|")
    for name, measured in times.items():
        median = statistics.median(measured)
        print(f"| {name} | {median:.3f} | {min(measured):.3f} | {base / median:.2f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
