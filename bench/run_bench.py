#!/usr/bin/env python3
"""Benchmark quorel.rust_read_tolvane and tolvane.read against alternative readers.

    python bench/run_bench.py              # full run: 1, 20, 100 MB x 11/500 params x width 12/15
    python bench/run_bench.py --quick      # smoke run: 1 MB files, 1 repetition
    python bench/run_bench.py --sizes 1,20 # smaller sizes only
    python bench/run_bench.py --sizes 100 --readers quorel,tolvane,numpy  # tolvane's goals only
    python bench/run_bench.py --sizes 100 --big   # ... and a 1 GB file: its time and memory
    python bench/run_bench.py --sizes 100 --write-only  # tolvane.write's rows and goals only
    python bench/run_bench.py --windows    # tolvane.open's index and windows, xarray's engine, 1 GB

Steps: (1) check on small files that every reader returns the same values as
quorel, bit for bit; (2) time every reader on every file and print a markdown
table, then tolvane.read's ratios to quorel, numpy, the reader core on its own
and the time to read the file's bytes, and its reads on one thread, on two and on every
core; (3) measure the peak memory of one read
of the largest file, each reader in a fresh subprocess, and tolvane.read's on
every file of the largest size; (4) print tolvane's goals, PASS or FAIL, on the
100 MB files (or the largest run), judged on medians over the runs; (5) with --big, time and measure a 1 GB file (11
parameters, width 12) beside the 100 MB one of its kind; (6) with --write (or --write-only,
which skips steps 1 to 5), time tolvane.write of each file's Plot against tolvane.read of the
file it writes and numpy.savetxt of the same text (bench/bench_write.py), with its goals. With
tolvane, the rows of compressed copies of every file (bench/compressed.py: tolvane.read of a .gz
and a .zst copy beside the decompressor alone) take their turns too, unless --no-compressed, and
have goals of their own. With --windows alone: the goals of
windows of a 1 GB file (11 parameters, width 12; bench_windows.py), nothing else.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import statistics
import struct
import subprocess
import sys
import time
from fractions import Fraction

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import bench_windows  # noqa: E402
import bench_write  # noqa: E402
import compressed  # noqa: E402
import core_bench  # noqa: E402
import gen_plot  # noqa: E402
import readers  # noqa: E402
import xarray_chunks  # noqa: E402

ALL_READERS = ("quorel", "tolvane", "python", "numpy", "pandas")
FLOOR = "FLOOR"
# Rows beside the readers: tolvane.read asked for three columns (the time, the parameter in the
# middle, the last one), the reader core on its own (bench/core_bench.cpp) for every field and
# for those three, and reading the file's bytes: whole into one new bytes object, and piece by
# piece into a reused 64 KiB buffer (as the reader reads them).
TOLVANE3 = "tolvane-3"
# tolvane.read with threads=1 (the calling thread only), threads=2, and threads=the cores this
# process may run on, where that is more than two; the row "tolvane" is the default (threads=None).
TOLVANE_T1 = "tolvane-t1"
TOLVANE_T2 = "tolvane-t2"
CORES = len(os.sched_getaffinity(0))
TOLVANE_TN = "tolvane-t%d" % CORES
THREAD_ROWS = (TOLVANE_T1, TOLVANE_T2) + ((TOLVANE_TN,) if CORES > 2 else ())
THREAD_COUNTS = {TOLVANE_T1: 1, TOLVANE_T2: 2, TOLVANE_TN: CORES}
# tolvane.read(threads=1, time_dtype=numpy.float32): the time as binary32, beside tolvane-t1's
# float64 time (the default), on the same thread.
TOLVANE_T1_F32 = "tolvane-t1-f32"
CORE = "core"
CORE3 = "core-3"
BYTES = "bytes"
STREAM = "bytes-64k"
ROW_ORDER = (("quorel", "tolvane") + THREAD_ROWS + (TOLVANE_T1_F32, TOLVANE3, CORE, CORE3, "python", "numpy", "pandas", BYTES, STREAM,
                                                  FLOOR) + compressed.ROWS + xarray_chunks.ROWS)
# Fast rows, timed taking turns run by run so that a burst of load from elsewhere on a shared
# machine hits them alike; the slower peers run on their own afterwards.
TURN_ROWS = (("quorel", "tolvane") + THREAD_ROWS + (TOLVANE_T1_F32, TOLVANE3, CORE, CORE3, BYTES, STREAM, FLOOR) + compressed.ROWS
             + xarray_chunks.ROWS)
# Rows that give no values of the whole file: bytes read, or decompressed; one column (the
# xarray engine's chunks, beside tolvane.read of that column), checked by the tests.
BYTE_ROWS = ((BYTES, STREAM) + tuple(row for row in compressed.ROWS if row not in compressed.VALUE_ROWS)
             + xarray_chunks.ROWS)
# Rows whose result holds only the three columns' values.
THREE_ROWS = (TOLVANE3, CORE3)

# tolvane's goals, checked on the 100 MB files.
GOAL_SIZE_MB = 100.0
GOAL_VS_QUOREL = 4.0       # tolvane.read at least this many times faster than quorel
GOAL_VS_NUMPY = 40.0       # ... and than the numpy reader
GOAL_VS_CORE = 1.25        # tolvane.read's time at most this many times the core's own
GOAL_MEMORY_FACTOR = 1.1   # peak above the imports at most this many times the result's bytes
GOAL_MEMORY_SLACK = 16 * 2**20  # ... plus this many bytes
# 3 columns of a 500-parameter file: at most this many times the time to read the file's bytes,
# the least that costs (STREAM; against BYTES, which faults in a bytes object as large as the
# file, it is printed too).
GOAL_THREE_VS_BYTES = 2.0
GOAL_THREE_PARAMS = 500
# Splitting a file across threads: two threads at least this many times faster than one, and
# the default read at most this many times the time to read the file's bytes (bytes-64k).
GOAL_TWO_THREADS = 1.8
GOAL_VS_BYTES = 3.5
# The float64 time: a read on one thread at most this many times the float32 time's.
GOAL_TIME64 = 1.05
# The --big file: 1 GB, 11 parameters, width 12; its peak memory above the imports at most the
# result's bytes plus this, and its time over the bytes' no worse than the 100 MB file's.
BIG_KEY = (1000.0, 11, 12)
BIG_MEMORY_SLACK = 64 * 2**20
BIG_ROWS = ("tolvane",) + THREAD_ROWS + ("core", BYTES, STREAM)


# --------------------------------------------------------------------------
# helpers
# --------------------------------------------------------------------------

def log(*a):
    print(*a, file=sys.stderr, flush=True)


def f32_bits(values):
    return struct.pack("<%df" % len(values), *values)


def correct_binary32(text):
    """Correctly rounded binary32 of a decimal text (exact arithmetic, for
    diagnosing mismatches only)."""
    s = text.strip()
    neg = s.startswith("-")
    q = Fraction(s.lstrip("+-"))
    if q == 0:
        return -0.0 if neg else 0.0
    k = q.numerator.bit_length() - q.denominator.bit_length()
    if q < Fraction(2) ** k:
        k -= 1                      # now 2^k <= q < 2^(k+1)
    e = max(k - 23, -149)           # spacing of binary32 values near q
    scaled = q / Fraction(2) ** e
    n = scaled.numerator // scaled.denominator
    rest = scaled - n
    if rest > Fraction(1, 2) or (rest == Fraction(1, 2) and n % 2 == 1):
        n += 1
    v = float(Fraction(n) * Fraction(2) ** e)
    if v > 3.4028234663852886e38:
        v = float("inf")
    return -v if neg else v


def field_texts(path, width):
    """Field texts of a plot file in block order, column by column (for
    diagnostics only)."""
    with open(path, "r", encoding="utf-8") as fh:
        lines = fh.read().split("\n")
    n_params = int(lines[0].split()[-1])
    n_lines = -(-n_params // 10)
    body = lines[n_params + 1:]
    if body and body[-1] == "":
        body.pop()
    per = n_lines + 1
    cols = [[] for _ in range(n_params)]
    for b in range(len(body) // per):
        i = 0
        for ln in body[b * per + 1: b * per + per]:
            for k in range(min(10, n_params - i)):
                cols[i].append(ln[k * width:(k + 1) * width])
                i += 1
    return cols


def compare(ref, got):
    """List of (column, index) whose bits differ, or a shape problem string."""
    rt, rc = ref
    gt, gc_ = got
    if len(rc) != len(gc_):
        return "column count %d vs %d" % (len(gc_), len(rc))
    bad = []
    for ci, (a, b) in enumerate(zip([rt] + list(rc), [gt] + list(gc_))):
        if len(a) != len(b):
            return "column %d length %d vs %d" % (ci, len(b), len(a))
        if any(type(x) is not float for x in b):
            return "column %d holds non-float objects" % ci
        if f32_bits(a) != f32_bits(b):
            for k, (x, y) in enumerate(zip(a, b)):
                if struct.pack("<f", x) != struct.pack("<f", y):
                    bad.append((ci, k))
    return bad


# --------------------------------------------------------------------------
# verification
# --------------------------------------------------------------------------

EDGE_VALUES = (
    "0", "-0", "1", "-1", "0.1", "1.40130E-45", "7.00649E-46", "1.17549E-38", "1.17549E-40",
    "3.40282E+38", "3.40283E+38", "-3.40283E+38", "9.99999E+99", "1.00000E-99", "-1.00000E-99",
    "1.67772E+07", "1.6777217E+07", "3.40282357E+38", "3.40282356E+38", "1.23456789E-30",
    "9.99999999E+99", "-7.00649232E-46", "1.00000001E+00", "2.50000000E-03",
)


def write_edge_file(path, width):
    """A small plot file whose fields reach the ends of the binary32 range
    (subnormals, underflow to zero, overflow to infinity, signed zeros)."""
    n_params = 7
    vals = [v for v in EDGE_VALUES if len(v) < width]
    lines = [" EDGE CASES %d" % n_params] + ["%3d P%d" % (i + 1, i) for i in range(n_params)]
    for b in range(len(vals)):
        row = [vals[(b + i) % len(vals)] for i in range(n_params)]
        lines.append(" STEP %d" % (b + 1))
        lines.append("".join(v.rjust(width) for v in row))
    with open(path, "w") as fh:
        fh.write("\n".join(lines) + "\n")


def present_rows(names, core, with_compressed=True):
    """The rows of a run, in table order: the readers asked for, tolvane's three columns with
    tolvane, the core's rows where its library loaded, the bytes' read and the FLOOR, and the
    compressed copies' rows whose libraries import, and the xarray engine's chunks where xarray
    and Dask import."""
    have = set(names) | {BYTES, STREAM, FLOOR}
    if "tolvane" in names:
        have.add(TOLVANE3)
        have.update(THREAD_ROWS)
        have.add(TOLVANE_T1_F32)
        if with_compressed:
            have.update(compressed.available_rows())
        have.update(xarray_chunks.available_rows())
    if core is not None:
        have.update((CORE, CORE3))
    return [r for r in ROW_ORDER if r in have]


def make_fns(path, width, n_params, rows, core, arrays):
    """One call per row that reads the file once and returns the row's result."""
    cols3 = readers.three_columns(n_params)
    fields3 = readers.three_fields(n_params)
    fns = {}
    for r in rows:
        if r == FLOOR:
            fns[r] = lambda: readers.read_floor(path, width, arrays)  # noqa: E731
        elif r == BYTES:
            fns[r] = lambda: readers.read_bytes(path)  # noqa: E731
        elif r == STREAM:
            fns[r] = lambda: readers.read_bytes_streamed(path)  # noqa: E731
        elif r == TOLVANE3:
            fns[r] = lambda: readers.read_tolvane(path, width, cols3)  # noqa: E731
        elif r in THREAD_ROWS:
            fns[r] = lambda r=r: readers.read_tolvane(path, width, threads=THREAD_COUNTS[r])  # noqa: E731
        elif r == TOLVANE_T1_F32:
            fns[r] = lambda: readers.read_tolvane(path, width, threads=1, time_dtype="float32")  # noqa: E731
        elif r == CORE:
            fns[r] = lambda: core.read(path, width)  # noqa: E731
        elif r == CORE3:
            fns[r] = lambda: core.read(path, width, fields3)  # noqa: E731
        elif r in compressed.ROWS:
            fns[r] = compressed.row_fn(r, path, width)
        elif r in xarray_chunks.ROWS:
            fns[r] = xarray_chunks.row_fn(r, path, width)
        else:
            fns[r] = lambda r=r: readers.READERS[r](path, width)  # noqa: E731
    return fns


def as_lists(row, res, n_params):
    """A row's result as (time, columns) lists of floats, as quorel gives it."""
    if row in ("tolvane", TOLVANE_T1_F32) or row in THREAD_ROWS or row in compressed.VALUE_ROWS:
        return readers.plot_lists(res, range(n_params))
    if row == TOLVANE3:
        return readers.plot_lists(res, readers.three_fields(n_params))
    if row in (CORE, CORE3):
        return res.lists()
    return res


def three_of(ref, n_params):
    """The three columns of a full result."""
    time, columns = ref
    return time, [columns[f - 1] for f in readers.three_fields(n_params)[1:]]


def has_float64_time(result):
    """Whether a reader's result is a Plot with the float64 time."""
    return getattr(getattr(result, "time", None), "dtype", None) == "float64"


def verify(names, rows, core, cache_dir):
    """Bit-for-bit check of every row that gives values against the reference reader on small
    files.  Returns (reference, {row: 'ok' | problem})."""
    ref_name = "quorel" if "quorel" in names else names[0]
    checked = [r for r in rows if r != ref_name and r not in BYTE_ROWS]
    status = {n: "ok" for n in checked}
    cases = [(11, 12), (37, 15), (500, 12), (500, 15), ("edge", 12), ("edge", 15)]
    for n_params, width in cases:
        if n_params == "edge":
            path = os.path.join(cache_dir, "edge_w%d.txt" % width)
            write_edge_file(path, width)
        else:
            path = gen_plot.cached_plot(n_params, width, 0.3, cache_dir=cache_dir)
        count = readers.parameter_count(path)
        ref_result = readers.READERS[ref_name](path, width)
        ref = as_lists(ref_name, ref_result, count)
        if has_float64_time(ref_result):
            # A reference with the float64 time (tolvane's, where quorel is not measured): the
            # rows are checked against its float32 time, which they give, or against float().
            import numpy
            import tolvane

            ref = (tolvane.read(path, width, time_dtype=numpy.float32).time.tolist(), ref[1])
        fns = make_fns(path, width, count, checked, core, readers.floor_prepare(*ref))
        texts = None
        for n in checked:
            result = fns[n]()
            res = as_lists(n, result, count)
            expected = three_of(ref, count) if n in THREE_ROWS else ref
            if has_float64_time(result):
                # The float64 time against float() of its texts (correctly rounded); the
                # parameters against the reference.
                texts = texts or field_texts(path, width)
                if res[0] != [float(t) for t in texts[0]]:
                    msg = "float64 time differs from float() (%s params, width %d)" % (n_params, width)
                    status[n] = msg if status[n] == "ok" else status[n]
                    log("VERIFY %s: %s" % (n, msg))
                res = (expected[0], res[1])
            bad = compare(expected, res)
            if not bad:
                continue
            if isinstance(bad, str):
                msg = "%s (%s params, width %d)" % (bad, n_params, width)
            else:
                texts = texts or field_texts(path, width)
                ci, k = bad[0]
                fi = readers.three_fields(count)[ci] if n in THREE_ROWS else ci
                t = texts[fi][k]
                r = ([expected[0]] + list(expected[1]))[ci][k]
                g = ([res[0]] + list(res[1]))[ci][k]
                msg = ("%d values differ (%s params, width %d); first: field %r: %s %r, %s %r, "
                       "correctly rounded %r" % (len(bad), n_params, width, t, ref_name, r, n, g,
                                                 correct_binary32(t)))
            if status[n] == "ok":
                status[n] = msg
            log("VERIFY %s: %s" % (n, msg))
    return ref_name, status


# --------------------------------------------------------------------------
# timing
# --------------------------------------------------------------------------

def floor_file(path):
    return path + ".f32"


def ensure_floor_arrays(path, width, ref_name):
    """Binary32 columns of a plot file, built once by the reference reader and
    cached beside it."""
    fpath = floor_file(path)
    if os.path.exists(fpath) and os.path.getmtime(fpath) >= os.path.getmtime(path):
        return readers.floor_load(fpath)
    ref = as_lists(ref_name, readers.READERS[ref_name](path, width), readers.parameter_count(path))
    arrays = readers.floor_prepare(*ref)
    del ref
    readers.floor_save(arrays, fpath + ".tmp")
    os.replace(fpath + ".tmp", fpath)
    return arrays


def time_reader(fn, reps, slow_limit):
    """Wall time of `reps` calls (fewer once one takes longer than `slow_limit`); a result that
    timed itself (the core's, around its own steps) gives its own time. Results are dropped
    outside the timing."""
    times = []
    for _ in range(reps):
        gc.collect()
        t0 = time.perf_counter()
        res = fn()
        dt = time.perf_counter() - t0
        own = getattr(res, "seconds", None)
        if isinstance(own, float):
            dt = own
        del res
        times.append(dt)
        if dt > slow_limit:
            break
    return times


def in_turn(rows, turn):
    """The rows in the order of one turn, shuffled turn by turn (the same in every run), so that
    no row always follows the same one. A read that follows one which freed a large result can
    take twice as long here (a virtual machine whose host takes freed memory back), so a fixed
    order, or one only rotated, would charge that to the same row every turn."""
    order = list(rows)
    random.Random(turn).shuffle(order)
    return order


def take_turns(fns, rows, turns, slow_limit):
    """Each row's times: one run of each row a turn, `turns` turns."""
    times = {n: [] for n in rows}
    for turn in range(turns):
        for n in in_turn(rows, turn):
            times[n] += time_reader(fns[n], 1, slow_limit)
    return times


def bench_file(path, width, n_params, rows, ref_name, reps, turns, slow_limit, core):
    size = os.path.getsize(path)
    arrays = ensure_floor_arrays(path, width, ref_name)
    n_values = sum(len(a) for a in arrays)
    n_blocks = len(arrays[0])
    fns = make_fns(path, width, n_params, rows, core, arrays)
    paired = [n for n in rows if n in TURN_ROWS]
    times = take_turns(fns, paired, turns, slow_limit)
    for n in rows:
        if n not in paired:
            times[n] = time_reader(fns[n], reps, slow_limit)
    for n in rows:
        ts = times[n]
        log("  %-9s runs %2d  min %.4f s  median %.4f s" % (n, len(ts), min(ts), statistics.median(ts)))
    del arrays, fns
    values = {n: (n_blocks * len(readers.three_fields(n_params)) if n in THREE_ROWS else n_values)
              for n in rows}
    for n in BYTE_ROWS:
        values[n] = None
    copies = {suffix: os.path.getsize(path + suffix) for suffix in (".gz", ".zst") if os.path.exists(path + suffix)}
    return {"size": size, "n_values": n_values, "values": values, "times": times, "copies": copies,
            "chunks": -(-n_blocks // xarray_chunks.CHUNK_BLOCKS)}


def bench_big_file(path, width, n_params, rows, turns, core):
    """The --big rows on one file, taking turns; no FLOOR and no peers (quorel's lists of a 1 GB
    file would take gigabytes), and the values counted from tolvane's result."""
    fns = make_fns(path, width, n_params, rows, core, None)
    plot = readers.read_tolvane(path, width)
    n_values = len(plot) * len(plot.names)
    del plot
    times = take_turns(fns, rows, turns, float("inf"))
    for n in rows:
        log("  %-10s runs %2d  min %.4f s  median %.4f s" % (n, len(times[n]), min(times[n]),
                                                              statistics.median(times[n])))
    return {"size": os.path.getsize(path), "n_values": n_values, "times": times}


def big_tables(big, memory):
    """The 1 GB file beside the 100 MB one of its kind: times, ratios to the bytes' read, memory,
    and the goals."""
    rows = [n for n in BIG_ROWS if n in big[0][1]["times"]]
    out = ["| file | %s | default / bytes-64k | per turn | t1 / t2 |" % " | ".join("%s s" % n for n in rows),
           "|---|" + "---:|" * (len(rows) + 3)]
    for key, r in big:
        out.append("| %s | %s | %s | %s | %s |" % (
            file_label(key), " | ".join(fmt_s(best(r, n)) for n in rows),
            ratio_text(best(r, "tolvane"), best(r, STREAM)), ratio_text(paired_ratio(r, "tolvane", STREAM), 1.0),
            ratio_text(best(r, TOLVANE_T1), best(r, TOLVANE_T2))))
    out += ["", "| file | peak delta MB | result MB | limit MB (result + %d MiB) | delta / limit |"
            % (BIG_MEMORY_SLACK // 2**20), "|---|---:|---:|---:|---:|"]
    for key, _ in big:
        d = memory.get(key)
        if d is None:
            out.append("| %s | not measured | | | |" % file_label(key))
            continue
        delta, res = peak_delta(d), d["result_bytes"]
        out.append("| %s | %.1f | %.1f | %.1f | %.2f |" % (
            file_label(key), delta / 1e6, res / 1e6, (res + BIG_MEMORY_SLACK) / 1e6,
            delta / (res + BIG_MEMORY_SLACK)))
    (small_key, small), (big_key, large) = big
    ratio_small = paired_ratio(small, "tolvane", STREAM)
    ratio_large = paired_ratio(large, "tolvane", STREAM)
    d = memory.get(big_key)
    goals = [
        (file_label(big_key), "default / bytes-64k, per turn", fmt_x(ratio_large),
         "<= %s (%s)" % (fmt_x(ratio_small), file_label(small_key)),
         "PASS" if ratio_large <= ratio_small else "FAIL"),
        (file_label(big_key), "peak delta / (result + %d MiB)" % (BIG_MEMORY_SLACK // 2**20),
         "not measured" if d is None else fmt_x(peak_delta(d) / (d["result_bytes"] + BIG_MEMORY_SLACK)), "<= 1",
         "n/a" if d is None else ("PASS" if peak_delta(d) <= d["result_bytes"] + BIG_MEMORY_SLACK else "FAIL")),
    ]
    out += ["", "| file | goal | measured | limit | verdict |", "|---|---|---:|---:|---|"]
    out += ["| %s | %s | %s | %s | %s |" % g for g in goals]
    return "\n".join(out)


def fmt_s(x):
    if x < 0.1:
        return "%.4f" % x
    return "%.3f" % x if x < 10 else "%.1f" % x


def fmt_x(x):
    return "%.2f" % x if x < 10 else "%.1f" % x


def file_label(key):
    size_mb, n_params, width = key
    return "%g MB, %d par, w%d" % (size_mb, n_params, width)


def timing_table(results, rows, status):
    out = []
    out.append("| file | values | reader | runs | min s | median s | MB/s | Mvalues/s | x FLOOR | quorel speed-up |")
    out.append("|---|---:|---|---:|---:|---:|---:|---:|---:|---:|")
    for key, r in results:
        times = r["times"]
        floor_min = min(times[FLOOR])
        q_min = min(times["quorel"]) if "quorel" in times else None
        for n in rows:
            ts = times[n]
            tmin, tmed = min(ts), statistics.median(ts)
            flag = "" if status.get(n, "ok") == "ok" else " (MISMATCH)"
            if n == "quorel" or q_min is None:
                speed = "-"
            elif n in ("python", "numpy", "pandas"):
                speed = fmt_x(tmin / q_min)
            else:
                speed = "(%s)" % fmt_x(tmin / q_min)
            nv = r["values"][n]
            out.append("| %s | %s | %s%s | %d | %s | %s | %.1f | %s | %s | %s |" % (
                file_label(key), "-" if nv is None else nv, n, flag, len(ts), fmt_s(tmin), fmt_s(tmed),
                r["size"] / 1e6 / tmin, "-" if nv is None else "%.2f" % (nv / 1e6 / tmin),
                fmt_x(tmin / floor_min), speed))
    return "\n".join(out)


def best(r, n):
    ts = r["times"].get(n)
    return min(ts) if ts else None


def ratio_text(a, b):
    return "-" if a is None or b is None else fmt_x(a / b)


def paired_ratio(r, a, b):
    """Median over the turns of row a's time over row b's in the same turn, for two rows that
    take turns: steadier than a ratio of mins while the load from elsewhere comes and goes."""
    ta, tb = r["times"].get(a), r["times"].get(b)
    if not ta or not tb or len(ta) != len(tb) or a not in TURN_ROWS or b not in TURN_ROWS:
        return None
    return statistics.median(x / y for x, y in zip(ta, tb))


def tolvane_tables(results):
    """tolvane.read's ratios, file by file: all columns, then three."""
    out = ["All columns: tolvane.read against quorel, numpy, the reader core on its own and the "
           "time to read the file's bytes, piece by piece (bytes-64k) and whole (bytes); mins of the runs.", "",
           "| file | tolvane s | quorel / tolvane (goal >= %g) | numpy / tolvane (goal >= %g) | core s "
           "| tolvane / core (goal <= %g) | bytes-64k s | tolvane / bytes-64k | bytes s | tolvane / bytes |"
           % (GOAL_VS_QUOREL, GOAL_VS_NUMPY, GOAL_VS_CORE),
           "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for key, r in results:
        t = best(r, "tolvane")
        if t is None:
            continue
        core_t, bytes_t, stream_t = best(r, CORE), best(r, BYTES), best(r, STREAM)
        out.append("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            file_label(key), fmt_s(t), ratio_text(best(r, "quorel"), t), ratio_text(best(r, "numpy"), t),
            "-" if core_t is None else fmt_s(core_t), ratio_text(t, core_t), fmt_s(stream_t),
            ratio_text(t, stream_t), fmt_s(bytes_t), ratio_text(t, bytes_t)))
    out += ["", "Three columns (the time, the parameter in the middle, the last one): "
            "`tolvane.read(path, width, columns=[n // 2, n - 1])`.", "",
            "| file | tolvane-3 s | tolvane-3 / bytes-64k (goal <= %g, 500 par) | tolvane-3 / bytes | core-3 s "
            "| tolvane-3 / core-3 | tolvane-3 / tolvane | core-3 / core |" % GOAL_THREE_VS_BYTES,
            "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for key, r in results:
        t3 = best(r, TOLVANE3)
        if t3 is None:
            continue
        c3 = best(r, CORE3)
        out.append("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
            file_label(key), fmt_s(t3), ratio_text(t3, best(r, STREAM)), ratio_text(t3, best(r, BYTES)),
            "-" if c3 is None else fmt_s(c3), ratio_text(t3, c3), ratio_text(t3, best(r, "tolvane")),
            ratio_text(c3, best(r, CORE))))
    return "\n".join(out)


def time_dtype_table(results):
    """tolvane.read on one thread with the float64 time (the default) beside time_dtype=float32."""
    out = ["tolvane.read(path, width, threads=1) with the float64 time (the default) and with "
           "time_dtype=numpy.float32, taking turns: medians and mins of the runs, and the median over "
           "the turns of the ratio in the same turn.", "",
           "| file | float64 median s | float32 median s | float64 min s | float32 min s "
           "| float64 / float32 per turn (goal <= %g) | ratio of mins |" % GOAL_TIME64,
           "|---|---:|---:|---:|---:|---:|---:|"]
    for key, r in results:
        t64, t32 = r["times"].get(TOLVANE_T1), r["times"].get(TOLVANE_T1_F32)
        if not t64 or not t32:
            continue
        out.append("| %s | %s | %s | %s | %s | %s | %s |" % (
            file_label(key), fmt_s(statistics.median(t64)), fmt_s(statistics.median(t32)), fmt_s(min(t64)),
            fmt_s(min(t32)), ratio_text(paired_ratio(r, TOLVANE_T1, TOLVANE_T1_F32), 1.0),
            ratio_text(min(t64), min(t32))))
    return "\n".join(out)


def threads_table(results):
    """tolvane.read on one thread, two and every core, beside the default and the bytes' read."""
    heads = [THREAD_COUNTS[n] for n in THREAD_ROWS]
    out = ["tolvane.read(path, width, threads=N) for N = %s, and the default (threads=None: "
           "every core this process may run on, for a file large enough to gain); mins of the runs, "
           "and the medians over the turns of the ratios in the same turn." % ", ".join(map(str, heads)), "",
           "| file | %s | default s | t1 / t2 (goal >= %g) | per turn | default / bytes-64k (goal <= %g) "
           "| per turn | default / bytes |" % (" | ".join("threads=%d s" % h for h in heads),
                                              GOAL_TWO_THREADS, GOAL_VS_BYTES),
           "|---|" + "---:|" * (len(heads) + 7)]
    for key, r in results:
        t = best(r, "tolvane")
        if t is None or best(r, TOLVANE_T1) is None:
            continue
        out.append("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
            file_label(key), " | ".join(fmt_s(best(r, n)) for n in THREAD_ROWS), fmt_s(t),
            ratio_text(best(r, TOLVANE_T1), best(r, TOLVANE_T2)),
            ratio_text(paired_ratio(r, TOLVANE_T1, TOLVANE_T2), 1.0),
            ratio_text(t, best(r, STREAM)), ratio_text(paired_ratio(r, "tolvane", STREAM), 1.0),
            ratio_text(t, best(r, BYTES))))
    return "\n".join(out)


# --------------------------------------------------------------------------
# memory (fresh subprocess per reader)
# --------------------------------------------------------------------------

def _status_kb(key):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise RuntimeError("no %s in /proc/self/status" % key)


def mem_child(reader, path, width):
    """Runs in the fresh subprocess: imports, baseline, one read, peak."""
    arrays = None
    cols3 = None
    if reader == FLOOR:
        arrays = readers.floor_load(floor_file(path))
    elif reader in compressed.VALUE_ROWS:
        read_compressed = compressed.row_fn(reader, path, width)  # the copy made, tolvane imported
    else:
        import importlib
        for mod in readers._REQUIRES["tolvane" if reader == TOLVANE3 else reader]:
            importlib.import_module(mod)
        cols3 = readers.three_columns(readers.parameter_count(path))
    gc.collect()
    reset = False
    try:  # make the high-water mark start from the current RSS
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        reset = True
    except OSError:
        pass
    base = _status_kb("VmHWM")
    if reader == FLOOR:
        res = readers.read_floor(path, width, arrays)
    elif reader == TOLVANE3:
        res = readers.read_tolvane(path, width, cols3)
    elif reader in compressed.VALUE_ROWS:
        res = read_compressed()
    else:
        res = readers.READERS[reader](path, width)
    peak = _status_kb("VmHWM")
    rss = _status_kb("VmRSS")
    if reader in ("tolvane", TOLVANE3) + compressed.VALUE_ROWS:
        size, n_values = readers.plot_size(res)
    else:
        size, n_values = readers.result_size(res)
    print(json.dumps({"base_kb": base, "peak_kb": peak, "rss_kb": rss, "result_bytes": size,
                      "n_values": n_values, "hwm_reset": reset}))


def measure_memory(path, width, names, ref_name, extra_path):
    if FLOOR in names:
        ensure_floor_arrays(path, width, ref_name)
    env = dict(os.environ)
    if extra_path:
        env["PYTHONPATH"] = os.pathsep.join([extra_path] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    rows = {}
    for n in names:
        cmd = [sys.executable, os.path.abspath(__file__), "--mem-child", n, path, str(width)]
        p = subprocess.run(cmd, env=env, capture_output=True, text=True)
        if p.returncode != 0:
            log("memory %s failed: %s" % (n, p.stderr.strip()[-500:]))
            continue
        rows[n] = json.loads(p.stdout.strip().splitlines()[-1])
        d = rows[n]
        log("  %-9s peak delta %.1f MB" % (n, (d["peak_kb"] - d["base_kb"]) / 1024))
    return rows


def peak_delta(d):
    return (d["peak_kb"] - d["base_kb"]) * 1024


def memory_limit(result_bytes):
    return GOAL_MEMORY_FACTOR * result_bytes + GOAL_MEMORY_SLACK


def memory_table(rows, names):
    out = []
    out.append("| reader | peak delta MB | result MB | delta / result | delta B/value | result B/value |")
    out.append("|---|---:|---:|---:|---:|---:|")
    for n in names:
        if n not in rows:
            out.append("| %s | failed | | | | |" % n)
            continue
        d = rows[n]
        delta = peak_delta(d)
        res = d["result_bytes"]
        nv = max(1, d["n_values"])
        out.append("| %s | %.1f | %.1f | %.2f | %.1f | %.1f |" % (
            n, delta / 1e6, res / 1e6, delta / res, delta / nv, res / nv))
    return "\n".join(out)


def tolvane_memory_table(per_file):
    out = ["| file | reader | peak delta MB | result MB | limit MB (%g x result + %d MiB; compressed: result + %d MiB) "
           "| delta / limit |" % (GOAL_MEMORY_FACTOR, GOAL_MEMORY_SLACK // 2**20, compressed.GOAL_MEMORY_SLACK // 2**20),
           "|---|---|---:|---:|---:|---:|"]
    for key, rows in per_file:
        for n in ("tolvane", TOLVANE3) + compressed.VALUE_ROWS:
            if n not in rows:
                continue
            d = rows[n]
            delta, res = peak_delta(d), d["result_bytes"]
            # A compressed copy's read: at most the result and the buffers' 64 MiB.
            limit = res + compressed.GOAL_MEMORY_SLACK if n in compressed.VALUE_ROWS else memory_limit(res)
            out.append("| %s | %s | %.1f | %.1f | %.1f | %.2f |" % (
                file_label(key), n, delta / 1e6, res / 1e6, limit / 1e6, delta / limit))
    return "\n".join(out)


# --------------------------------------------------------------------------
# goals
# --------------------------------------------------------------------------

def goal_rows(results, memory, goal_size):
    """(file, goal, median, best, limit, verdict) for every goal on every file of `goal_size`
    MB. The verdict is the median's: for two rows that take turns, the median over the turns of
    their ratio within one turn; for a row that does not (numpy's runs), the ratio of the two
    rows' medians. The best (the ratio of the mins) is shown beside it, not judged."""
    out = []

    def add(key, goal, median, best_value, limit, ok):
        shown = "-" if best_value is None else fmt_x(best_value)
        if median is None:
            out.append((file_label(key), goal, "not measured", shown, limit, "n/a"))
        else:
            out.append((file_label(key), goal, fmt_x(median), shown, limit, "PASS" if ok(median) else "FAIL"))

    def ratio(r, a, b):
        """(median, best) of row a's time over row b's."""
        ta, tb = r["times"].get(a), r["times"].get(b)
        if not ta or not tb:
            return None, None
        median = paired_ratio(r, a, b)
        if median is None:
            median = statistics.median(ta) / statistics.median(tb)
        return median, min(ta) / min(tb)

    for key, r in results:
        if key[0] != goal_size or best(r, "tolvane") is None:
            continue
        add(key, "quorel / tolvane.read", *ratio(r, "quorel", "tolvane"), ">= %g" % GOAL_VS_QUOREL,
            lambda v: v >= GOAL_VS_QUOREL)
        add(key, "numpy / tolvane.read", *ratio(r, "numpy", "tolvane"), ">= %g" % GOAL_VS_NUMPY,
            lambda v: v >= GOAL_VS_NUMPY)
        add(key, "tolvane.read / core", *ratio(r, "tolvane", CORE), "<= %g" % GOAL_VS_CORE,
            lambda v: v <= GOAL_VS_CORE)
        d = memory.get(key, {}).get("tolvane")
        add(key, "peak delta / (%g x result + %d MiB)" % (GOAL_MEMORY_FACTOR, GOAL_MEMORY_SLACK // 2**20),
            None if d is None else peak_delta(d) / memory_limit(d["result_bytes"]), None, "<= 1",
            lambda v: v <= 1.0)
        add(key, "tolvane.read threads=1 / threads=2", *ratio(r, TOLVANE_T1, TOLVANE_T2),
            ">= %g" % GOAL_TWO_THREADS, lambda v: v >= GOAL_TWO_THREADS)
        add(key, "tolvane.read / bytes-64k", *ratio(r, "tolvane", STREAM), "<= %g" % GOAL_VS_BYTES,
            lambda v: v <= GOAL_VS_BYTES)
        add(key, "tolvane.read threads=1: float64 time / float32 time", *ratio(r, TOLVANE_T1, TOLVANE_T1_F32),
            "<= %g" % GOAL_TIME64, lambda v: v <= GOAL_TIME64)
        if key[1] == GOAL_THREE_PARAMS:
            add(key, "tolvane-3 / bytes-64k", *ratio(r, TOLVANE3, STREAM),
                "<= %g" % GOAL_THREE_VS_BYTES, lambda v: v <= GOAL_THREE_VS_BYTES)
    compressed.goals(results, memory, goal_size, add, ratio, peak_delta)
    xarray_chunks.goals(results, goal_size, add, ratio)
    return out


def goals_table(rows):
    out = ["Verdicts on the medians: the median over the turns of the two rows' ratio within one turn "
           "(the ratio of the medians for numpy, whose runs do not take turns); the ratio of the mins "
           "is for reference.", "",
           "| file | goal | median | ratio of mins | limit | verdict |", "|---|---|---:|---:|---:|---|"]
    out += ["| %s | %s | %s | %s | %s | %s |" % row for row in rows]
    verdicts = [row[5] for row in rows]
    out += ["", "%d of %d goals PASS, %d FAIL, %d not measured." % (
        verdicts.count("PASS"), len(verdicts), verdicts.count("FAIL"), verdicts.count("n/a"))]
    return "\n".join(out)


# --------------------------------------------------------------------------
# main
# --------------------------------------------------------------------------

def main(argv=None):
    ap = argparse.ArgumentParser(description="quorel and tolvane benchmark")
    ap.add_argument("--quick", action="store_true", help="1 MB files, 1 repetition")
    ap.add_argument("--sizes", default="1,20,100", help="file sizes in MB, comma separated")
    ap.add_argument("--params", default="11,500", help="parameter counts, comma separated")
    ap.add_argument("--widths", default="12,15", help="field widths, comma separated")
    ap.add_argument("--readers", default=",".join(ALL_READERS),
                    help="readers to run (quorel, tolvane, python, numpy, pandas); the bytes' reads "
                         "and the FLOOR always run, tolvane-3 with tolvane")
    ap.add_argument("--reps", type=int, default=None,
                    help="runs of the slow peers (python, numpy, pandas) per file "
                         "(default 5, 3 for files of 50 MB or more)")
    ap.add_argument("--turns", type=int, default=None,
                    help="runs of the fast rows (quorel, tolvane, the core, the bytes' reads, FLOOR), taking turns "
                         "(default 25, 15 for files of 50 MB or more)")
    ap.add_argument("--slow-limit", type=float, default=60.0,
                    help="stop repeating a reader on a file once one run took longer (s)")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory tables")
    ap.add_argument("--no-compressed", action="store_true",
                    help="no rows of compressed copies (bench/compressed.py), and no copies made")
    ap.add_argument("--big", action="store_true",
                    help="also time a 1 GB file (11 parameters, width 12) beside the 100 MB one, "
                         "tolvane's rows and the bytes' reads only, and measure its peak memory")
    ap.add_argument("--big-turns", type=int, default=5, help="turns of the --big rows (default 5)")
    ap.add_argument("--windows", action="store_true",
                    help="only the windows of a 1 GB file (11 parameters, width 12): tolvane.open's "
                         "index, windows by blocks and by time, xarray's open_dataset, against "
                         "tolvane.read(threads=1), with their goals")
    ap.add_argument("--windows-turns", type=int, default=7, help="turns of the --windows rows (default 7)")
    ap.add_argument("--no-core", action="store_true",
                    help="do not build or time the reader core on its own (bench/core_bench.cpp)")
    ap.add_argument("--core-lib", default=None,
                    help="the core's library (default build/bench/libcore_bench.so, built or rebuilt "
                         "by bench/build_core_bench.sh where missing or stale)")
    ap.add_argument("--build-dir", default=None,
                    help="directory holding a built quorel module and tolvane package (added to sys.path)")
    ap.add_argument("--cache-dir", default=None, help="where generated files are kept")
    ap.add_argument("--write", action="store_true",
                    help="also time tolvane.write of each file's Plot, tolvane.read of the file it writes "
                         "and numpy.savetxt of the same text, with tolvane.write's goals")
    ap.add_argument("--write-only", action="store_true",
                    help="time tolvane.write's rows only (no verification, read rows or memory tables)")
    ap.add_argument("--mem-child", nargs=3, metavar=("READER", "PATH", "WIDTH"), help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.build_dir:
        sys.path.insert(0, os.path.abspath(args.build_dir))
    if args.mem_child:
        r, p, w = args.mem_child
        mem_child(r, p, int(w))
        return 0
    if args.windows:
        return windows(args)

    sizes = [1.0] if args.quick else [float(s) for s in args.sizes.split(",")]
    params = [int(s) for s in args.params.split(",")]
    widths = [int(s) for s in args.widths.split(",")]
    if args.write_only:
        return write_main(args, sizes, params, widths)
    wanted = [s.strip() for s in args.readers.split(",") if s.strip()]
    names = []
    for n in wanted:
        if n not in readers.READERS:
            ap.error("unknown reader %r" % n)
        miss = readers.missing_dependency(n)
        if miss:
            log("skipping reader %s: module %s is not importable" % (n, miss))
        else:
            names.append(n)
    if not names:
        ap.error("no reader available")
    if "quorel" not in names:
        log("WARNING: quorel is not importable; no speed-ups are computed")
    core = None
    if not args.no_core:
        try:
            core = core_bench.load(args.core_lib)
        except (OSError, subprocess.CalledProcessError) as error:
            log("skipping the core's rows: its library could not be built or loaded: %s" % error)
    rows = present_rows(names, core, not args.no_compressed)
    cache_dir = args.cache_dir or gen_plot.default_cache_dir()
    load_before = os.getloadavg()

    log("verifying results on small files ...")
    ref_name, status = verify(names, rows, core, cache_dir)
    verify_lines = ["| reader | equal to %s, bit for bit |" % ref_name, "|---|---|"]
    for n in rows:
        if n in status:
            verify_lines.append("| %s | %s |" % (n, "yes" if status[n] == "ok" else "NO: " + status[n]))

    results = []
    paths = {}
    for size_mb in sizes:
        for n_params in params:
            for width in widths:
                t0 = time.perf_counter()
                path = gen_plot.cached_plot(n_params, width, size_mb, cache_dir=cache_dir)
                gen = time.perf_counter() - t0
                reps = args.reps or (1 if args.quick else (3 if size_mb >= 50 else 5))
                turns = args.turns or (1 if args.quick else (15 if size_mb >= 50 else 25))
                log("%s (%.1f MB, ready in %.1f s), %d turns of the fast rows, %d runs of the peers"
                    % (os.path.basename(path), os.path.getsize(path) / 1e6, gen, turns, reps))
                r = bench_file(path, width, n_params, rows, ref_name, reps, turns, args.slow_limit, core)
                key = (size_mb, n_params, width)
                results.append((key, r))
                paths[key] = path

    # The goals are set for the 100 MB files; a run without them checks them on its largest.
    goal_size = GOAL_SIZE_MB if GOAL_SIZE_MB in sizes else max(sizes)
    memory = {}
    per_file_memory = []
    largest = max(paths, key=lambda k: os.path.getsize(paths[k]))
    extra = os.path.abspath(args.build_dir) if args.build_dir else None
    if not args.no_memory:
        for key in paths:
            if key[0] != goal_size and key != largest:
                continue
            path, width = paths[key], key[2]
            mem_names = [n for n in rows if n in ("tolvane", TOLVANE3) + compressed.VALUE_ROWS]
            if key == largest:
                mem_names = [n for n in rows if n not in (CORE, CORE3, TOLVANE_T1_F32) + BYTE_ROWS + THREAD_ROWS]
            log("memory: one read of %s per reader (%s), fresh subprocesses ..."
                % (os.path.basename(path), ", ".join(mem_names)))
            memory[key] = measure_memory(path, width, mem_names, ref_name, extra)
            if key[0] == goal_size and "tolvane" in names:
                per_file_memory.append((key, memory[key]))

    big = []
    big_memory = {}
    if args.big and "tolvane" in names:
        big_rows = [n for n in BIG_ROWS if n != CORE or core is not None]
        for key in ((GOAL_SIZE_MB,) + BIG_KEY[1:], BIG_KEY):
            t0 = time.perf_counter()
            path = gen_plot.cached_plot(key[1], key[2], key[0], cache_dir=cache_dir)
            log("big: %s (%.1f MB, ready in %.1f s), %d turns" % (
                os.path.basename(path), os.path.getsize(path) / 1e6, time.perf_counter() - t0, args.big_turns))
            big.append((key, bench_big_file(path, key[2], key[1], big_rows, args.big_turns, core)))
            if not args.no_memory:
                big_memory[key] = measure_memory(path, key[2], ["tolvane"], ref_name, extra).get("tolvane")

    import platform
    load_after = os.getloadavg()
    print("## quorel benchmark\n")
    print("Python %s, %s, %d cores; readers: %s; page-cached files.%s Load average (1, 5, 15 min): "
          "%.2f %.2f %.2f before, %.2f %.2f %.2f after.\n"
          % (platform.python_version(), platform.machine(), os.cpu_count() or 0, ", ".join(names),
             "" if core is None else " The core on its own: %s%s." % (
                 os.path.relpath(core.path), ", split across threads as pays" if core.splits else ""),
             *load_before, *load_after))
    print("### Verification (small files, 11/37/500 parameters and a file of range-edge values, widths 12 and 15)\n")
    print("\n".join(verify_lines) + "\n")
    print("### Read time\n")
    print(timing_table(results, rows, status) + "\n")
    if "tolvane" in names:
        print("### tolvane.read\n")
        print(tolvane_tables(results) + "\n")
    if not args.no_memory:
        path, (size_mb, n_params, width) = paths[largest], largest
        print("### Peak memory of one read: %s (%.1f MB, %d parameters, width %d)\n"
              % (os.path.basename(path), os.path.getsize(path) / 1e6, n_params, width))
        print(memory_table(memory[largest], [n for n in rows if n not in (CORE, CORE3, TOLVANE_T1_F32) + BYTE_ROWS
                                             + THREAD_ROWS]) + "\n")
        if per_file_memory:
            print("### Peak memory of tolvane.read, every %g MB file\n" % goal_size)
            print(tolvane_memory_table(per_file_memory) + "\n")
    if "tolvane" in names:
        note = "" if goal_size == GOAL_SIZE_MB else (
            " (the goals are set for %g MB files; this run's largest are %g MB)" % (GOAL_SIZE_MB, goal_size))
        print("### tolvane's goals, %g MB files%s\n" % (goal_size, note))
        print(goals_table(goal_rows(results, memory, goal_size)) + "\n")
        print("### Threads\n")
        print(threads_table(results) + "\n")
        print("### The time as float64 or float32\n")
        print(time_dtype_table(results) + "\n")
        if any(row in rows for row in compressed.VALUE_ROWS):
            print("### Compressed files\n")
            print(compressed.table(results, file_label, fmt_s, fmt_x, paired_ratio) + "\n")
        if xarray_chunks.XR_CHUNKS in rows:
            print("### xarray's engine in chunks of %d blocks\n" % xarray_chunks.CHUNK_BLOCKS)
            print(xarray_chunks.table(results, file_label, fmt_s, fmt_x, paired_ratio) + "\n")
    if big:
        print("### A 1 GB file beside 100 MB (11 parameters, width 12)\n")
        print(big_tables(big, big_memory) + "\n")
    if args.write:
        write_main(args, sizes, params, widths, title=False)
    return 0


def write_main(args, sizes, params, widths, title=True):
    """tolvane.write's rows on every file, their table and their goals."""
    cache_dir = args.cache_dir or gen_plot.default_cache_dir()
    load_before = os.getloadavg()
    results = []
    for size_mb in sizes:
        for n_params in params:
            for width in widths:
                path = gen_plot.cached_plot(n_params, width, size_mb, cache_dir=cache_dir)
                reps = args.reps or (1 if args.quick else (3 if size_mb >= 50 else 5))
                turns = args.turns or (1 if args.quick else (15 if size_mb >= 50 else 25))
                log("write: %s (%.1f MB), %d turns, %d runs of savetxt"
                    % (os.path.basename(path), os.path.getsize(path) / 1e6, turns, reps))
                results.append(((size_mb, n_params, width), bench_write.bench_file(
                    path, width, turns, reps, cache_dir, in_turn, time_reader, args.slow_limit, log)))
    goal_size = GOAL_SIZE_MB if GOAL_SIZE_MB in sizes else max(sizes)
    if title:
        import platform
        load_after = os.getloadavg()
        print("## quorel benchmark: tolvane.write\n")
        print("Python %s, %s, %d cores; page-cached files, written to %s. Load average (1, 5, 15 min): "
              "%.2f %.2f %.2f before, %.2f %.2f %.2f after.\n"
              % (platform.python_version(), platform.machine(), os.cpu_count() or 0, cache_dir,
                 *load_before, *load_after))
    print("### tolvane.write\n")
    print("tolvane.write(path, plot, width) of the Plot read from each file, as a new file (write: the "
          "default threads; write-t1: threads=1) and over the file written before (write-over), "
          "tolvane.read(path, threads=1) of the file it writes, and numpy.savetxt of the same text; "
          "mins of the runs, and the median over the turns of write / read-t1 in the same turn.\n")
    print(bench_write.tables(results, file_label, fmt_s, fmt_x) + "\n")
    note = "" if goal_size == GOAL_SIZE_MB else " (set for %g MB files; this run's largest are %g MB)" % (
        GOAL_SIZE_MB, goal_size)
    print("### tolvane.write's goals, %g MB files%s\n" % (goal_size, note))
    print(goals_table(bench_write.goal_rows(results, goal_size, file_label, fmt_x)) + "\n")
    return 0


def windows(args):
    """--windows: the rows of bench_windows.py on the 1 GB file, and their goals."""
    cache_dir = args.cache_dir or gen_plot.default_cache_dir()
    size_mb, n_params, width = BIG_KEY
    t0 = time.perf_counter()
    path = gen_plot.cached_plot(n_params, width, size_mb, cache_dir=cache_dir)
    log("windows: %s (%.1f MB, ready in %.1f s), %d turns" % (
        os.path.basename(path), os.path.getsize(path) / 1e6, time.perf_counter() - t0, args.windows_turns))
    load_before = os.getloadavg()
    times, facts = bench_windows.run(path, args.windows_turns, log)
    import platform
    print("## Windows of a 1 GB file (%d parameters, width %d)\n" % (n_params, width))
    print("Python %s, %s, %d cores; page-cached file; %d turns. Load average (1, 5, 15 min): "
          "%.2f %.2f %.2f before, %.2f %.2f %.2f after.\n" % (
              platform.python_version(), platform.machine(), os.cpu_count() or 0, args.windows_turns,
              *load_before, *os.getloadavg()))
    print(bench_windows.table(times, facts, os.path.getsize(path), fmt_s, fmt_x) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
