#!/usr/bin/env python3
"""Times two reads with Python work on their arrays, one after the other against on two threads
at once: on a free-threaded CPython, where tolvane keeps the GIL off, the Python work runs in
parallel too, not only the reads.

    build/free-threaded/python3.13t/bin/python3.13t -m venv /tmp/ft
    /tmp/ft/bin/python -m pip install . && /tmp/ft/bin/python bench/bench_free_threaded.py

Each of the two jobs reads a file of its own (bench/gen_plot.py's, 100 MB, 11 parameters, width
12, cached in bench/.cache/) with ``tolvane.read(path, threads=1)``, then sums every array in a
Python loop, in one of two ways:

- slices: a loop over every value, a slice of 4096 values at a time (``a[i:i + 4096].tolist()``):
  the interpreter's work, on float objects that are freed slice by slice, in the cache;
- whole: the same loop over the whole array at once (``a.tolist()``): 7 million float objects a
  file, over 200 MB, made and then freed, so that the two threads share the memory's bandwidth
  and gain less.

The rows take turns for --rounds rounds after an untimed one that brings the files into the
page cache; each speed-up is the serial median over the threaded median of the same work.
The load average is printed before and after: another process's work makes the ratio smaller.
tolvane must be importable (installed, or PYTHONPATH=DIR for a cmake build tree); quorel is not
imported, since importing it would turn the GIL on.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import sysconfig
import threading
import time
from typing import Callable, Dict, List, Tuple

import numpy as np  # noqa: F401 - the arrays' type, named in annotations
import tolvane

BENCH = pathlib.Path(__file__).resolve().parent
CACHE = BENCH / ".cache"


def log(*parts: object) -> None:
    print(*parts, file=sys.stderr, flush=True)


def plot_file(seed: int, size_mb: int) -> str:
    path = CACHE / f"free_threaded_{size_mb}mb_seed{seed}.plt"
    if not path.exists():
        CACHE.mkdir(exist_ok=True)
        log(f"writing {path}")
        partial = path.with_suffix(".partial")
        subprocess.run([sys.executable, str(BENCH / "gen_plot.py"), str(partial), "--params", "11",
                        "--width", "12", "--size-mb", str(size_mb), "--seed", str(seed)], check=True)
        partial.rename(path)
    return str(path)


def by_slices(array: "np.ndarray") -> float:
    total = 0.0
    for start in range(0, len(array), 4096):
        for value in array[start:start + 4096].tolist():
            total += value
    return total


def whole(array: "np.ndarray") -> float:
    total = 0.0
    for value in array.tolist():
        total += value
    return total


WORK: Dict[str, Callable[["np.ndarray"], float]] = {"slices": by_slices, "whole": whole}


def job(path: str, work: Callable[["np.ndarray"], float]) -> List[float]:
    """The read, then Python work over it: each array's sum in a Python loop."""
    plot = tolvane.read(path, threads=1)
    return [work(plot[name]) for name in plot]


def serial(paths: List[str], work: Callable[["np.ndarray"], float]) -> List[List[float]]:
    return [job(path, work) for path in paths]


def threaded(paths: List[str], work: Callable[["np.ndarray"], float]) -> List[List[float]]:
    results: List[List[float]] = [[] for _ in paths]

    def run(i: int) -> None:
        results[i] = job(paths[i], work)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(paths))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


def main(argv: List[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5, help="timed rounds (default 5)")
    parser.add_argument("--size-mb", type=int, default=100, help="each file's size in MB (default 100)")
    args = parser.parse_args(argv)
    paths = [plot_file(seed, args.size_mb) for seed in (1, 2)]

    gil_free = sysconfig.get_config_var("Py_GIL_DISABLED") == 1
    gil_on = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    log(f"load average before: {os.getloadavg()[0]:.2f}")
    rows = [(work, way) for work in WORK for way in ("serial", "2 threads")]
    times: Dict[Tuple[str, str], List[float]] = {row: [] for row in rows}
    expected = {work: serial(paths, WORK[work]) for work in WORK}
    order = list(rows)
    for round_ in range(args.rounds + 1):
        for work, way in order:
            run = serial if way == "serial" else threaded
            start = time.perf_counter()
            result = run(paths, WORK[work])
            elapsed = time.perf_counter() - start
            if result != expected[work]:
                raise AssertionError(f"{work}, {way}: sums differ from the first serial run")
            if round_:  # the first round warms the page cache
                times[(work, way)].append(elapsed)
        order = order[1:] + order[:1]
    log(f"load average after: {os.getloadavg()[0]:.2f}")

    size = sum(os.path.getsize(path) for path in paths)
    print(f"2 files of bench/gen_plot.py ({size / 1e6:.0f} MB, page cache), {args.rounds} rounds "
          f"taking turns, {len(os.sched_getaffinity(0))} cores, Python {sys.version.split()[0]}"
          f"{' free-threaded' if gil_free else ''}, GIL {'on' if gil_on else 'off'}")
    print()
    print("| two jobs: read, then Python sums by | run | median s | best s | speed-up (median) |")
    print("|---|---|---:|---:|---:|")
    for work, way in rows:
        measured = times[(work, way)]
        ratio = statistics.median(times[(work, "serial")]) / statistics.median(measured)
        print(f"| {work} | {way} | {statistics.median(measured):.3f} | {min(measured):.3f} | {ratio:.2f} |")
    print()
    for work in WORK:
        ratio = statistics.median(times[(work, "serial")]) / statistics.median(times[(work, "2 threads")])
        best = min(times[(work, "serial")]) / min(times[(work, "2 threads")])
        print(f"{work}: 2 threads over serial {ratio:.2f}x (medians), {best:.2f}x (bests)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
