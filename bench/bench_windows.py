"""The rows of windows of one large file, for run_bench.py --windows: the index of
tolvane.open, windows of it by blocks and by time, and xarray's open_dataset with the engine
tolvane, each against a whole read of the file on one thread (tolvane.read(path, threads=1)).

Every row runs once a turn, the rows in a shuffled order each turn, so that load from elsewhere
on a shared machine falls on them alike; each goal is judged on the median over the turns of
its row's time over the whole read's in the same turn.
"""

from __future__ import annotations

import gc
import random
import statistics
import time

READ_T1 = "read-t1"
INDEX = "index"
INDEX_T1 = "index-t1"
LAST = "last-1%"
TIME = "time-1%"
XARRAY = "xarray"
ROWS = (READ_T1, INDEX, INDEX_T1, LAST, TIME, XARRAY)
WHAT = {
    READ_T1: "tolvane.read(path, threads=1)",
    INDEX: "len(tolvane.open(path)): the head and the index, on the cores (the default)",
    INDEX_T1: "the same on one thread (for reference)",
    LAST: "f.read(blocks=slice(-n // 100, None)), the last 1 %, f open and indexed",
    TIME: "f.read(time=(t0, t1)), 1 % of the blocks in the middle, f open and indexed",
    XARRAY: 'xarray.open_dataset(path, engine="tolvane")',
}
# Each row's time over READ_T1's at most this.
GOALS = {INDEX: 0.3, LAST: 0.03, TIME: 0.05, XARRAY: 0.35}


def make_rows(path):
    """The functions to time, and what they need made once (the handle the windows read)."""
    import tolvane
    from tolvane import _native

    handle = tolvane.open(path)
    n = len(handle)
    times = handle._times()
    t0, t1 = float(times[int(n * 0.495)]), float(times[int(n * 0.505)])

    def index():
        with tolvane.open(path) as f:
            return len(f)

    def index_one_thread():
        head = _native.open_plot(path.encode())
        try:
            return head.extend_index(handle.n_digits, 1)
        finally:
            head.close()

    def xarray_open():
        import xarray

        try:
            return xarray.open_dataset(path, engine="tolvane")
        except ValueError:  # the entry point is not installed (a build tree on sys.path)
            from tolvane._xarray_backend import TolvaneBackendEntrypoint

            return xarray.open_dataset(path, engine=TolvaneBackendEntrypoint)

    fns = {
        READ_T1: lambda: tolvane.read(path, threads=1),
        INDEX: index,
        INDEX_T1: index_one_thread,
        LAST: lambda: handle.read(blocks=slice(-n // 100, None)),
        TIME: lambda: handle.read(time=(t0, t1)),
    }
    try:
        import xarray  # noqa: F401
        fns[XARRAY] = xarray_open
    except ImportError:
        pass
    window = len(handle.read(time=(t0, t1)))
    return fns, handle, {"blocks": n, "time window": (t0, t1, window)}


def run(path, turns, log):
    """Each row's times over `turns` turns."""
    fns, handle, facts = make_rows(path)
    try:
        times = {name: [] for name in fns}
        for turn in range(turns):
            order = list(fns)
            random.Random(turn).shuffle(order)
            for name in order:
                gc.collect()
                start = time.perf_counter()
                result = fns[name]()
                times[name].append(time.perf_counter() - start)
                del result
        for name, ts in times.items():
            log("  %-9s runs %2d  min %.4f s  median %.4f s" % (name, len(ts), min(ts), statistics.median(ts)))
    finally:
        handle.close()
    return times, facts


def table(times, facts, size, fmt_s, fmt_x):
    """The rows' figures, then the goals with their verdicts."""
    out = ["%d blocks, %.1f MB; the time window %.6g .. %.6g holds %d blocks." % (
        facts["blocks"], size / 1e6, *facts["time window"]), "",
           "| row | what | median s | best s | median of per-turn / read-t1 | goal | verdict |",
           "|---|---|---:|---:|---:|---:|---|"]
    base = times[READ_T1]
    verdicts = []
    for name in ROWS:
        ts = times.get(name)
        if not ts:
            out.append("| %s | %s | not measured | | | %s | n/a |" % (name, WHAT[name], GOALS.get(name, "")))
            continue
        ratio = statistics.median(t / b for t, b in zip(ts, base))
        goal = GOALS.get(name)
        verdict = "" if goal is None else ("PASS" if ratio <= goal else "FAIL")
        if goal is not None:
            verdicts.append(verdict)
        out.append("| %s | %s | %s | %s | %s | %s | %s |" % (
            name, WHAT[name], fmt_s(statistics.median(ts)), fmt_s(min(ts)), fmt_x(ratio) if name != READ_T1 else "1",
            "" if goal is None else "<= %g" % goal, verdict))
    out += ["", "%d of %d goals PASS, %d FAIL." % (verdicts.count("PASS"), len(verdicts), verdicts.count("FAIL"))]
    return "\n".join(out)
