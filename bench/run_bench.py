#!/usr/bin/env python3
"""Benchmark quorel.rust_read_tolvane against alternative readers.

    python bench/run_bench.py              # full run: 1, 20, 100 MB x 11/500 params x width 12/15
    python bench/run_bench.py --quick      # smoke run: 1 MB files, 1 repetition
    python bench/run_bench.py --sizes 1,20 # smaller sizes only

Steps: (1) check on small files that every reader returns the same values as
quorel, bit for bit; (2) time every reader on every file and print a markdown
table; (3) measure the peak memory of one read of the largest file, each
reader in a fresh subprocess, and print a second table.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import struct
import subprocess
import sys
import time
from fractions import Fraction

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import gen_plot  # noqa: E402
import readers  # noqa: E402

ALL_READERS = ("quorel", "python", "numpy", "pandas")
FLOOR = "FLOOR"


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


def verify(names, cache_dir):
    """Bit-for-bit check of every reader (and the floor) against the
    reference reader on small files.  Returns {reader: 'ok' | problem}."""
    ref_name = "quorel" if "quorel" in names else names[0]
    status = {n: "ok" for n in names + [FLOOR]}
    cases = [(11, 12), (37, 15), (500, 12), (500, 15), ("edge", 12), ("edge", 15)]
    for n_params, width in cases:
        if n_params == "edge":
            path = os.path.join(cache_dir, "edge_w%d.txt" % width)
            write_edge_file(path, width)
        else:
            path = gen_plot.cached_plot(n_params, width, 0.3, cache_dir=cache_dir)
        ref = readers.READERS[ref_name](path, width)
        results = {n: readers.READERS[n](path, width) for n in names if n != ref_name}
        results[FLOOR] = readers.read_floor(path, width, readers.floor_prepare(*ref))
        texts = None
        for n, res in results.items():
            bad = compare(ref, res)
            if not bad:
                continue
            if isinstance(bad, str):
                msg = "%s (%s params, width %d)" % (bad, n_params, width)
            else:
                texts = texts or field_texts(path, width)
                ci, k = bad[0]
                t = texts[ci][k]
                r = ([ref[0]] + list(ref[1]))[ci][k]
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
    arrays = readers.floor_prepare(*readers.READERS[ref_name](path, width))
    readers.floor_save(arrays, fpath + ".tmp")
    os.replace(fpath + ".tmp", fpath)
    return arrays


def time_reader(fn, reps, slow_limit):
    times = []
    for _ in range(reps):
        gc.collect()
        t0 = time.perf_counter()
        res = fn()
        dt = time.perf_counter() - t0
        del res
        times.append(dt)
        if dt > slow_limit:
            break
    return times


def bench_file(path, width, names, ref_name, reps, slow_limit):
    size = os.path.getsize(path)
    arrays = ensure_floor_arrays(path, width, ref_name)
    n_values = sum(len(a) for a in arrays)
    fns = {}
    for n in names + [FLOOR]:
        if n == FLOOR:
            fns[n] = lambda: readers.read_floor(path, width, arrays)  # noqa: E731
        else:
            fns[n] = lambda n=n: readers.READERS[n](path, width)  # noqa: E731
    # quorel and the FLOOR take turns, run by run, so that a burst of load from elsewhere on a
    # shared machine hits both alike; the slower peers run on their own afterwards.
    paired = [n for n in ("quorel", FLOOR) if n in fns]
    rows = {n: [] for n in paired}
    for _ in range(reps):
        for n in paired:
            rows[n] += time_reader(fns[n], 1, slow_limit)
    for n in names:
        if n not in rows:
            rows[n] = time_reader(fns[n], reps, slow_limit)
    for n in names + [FLOOR]:
        times = rows[n]
        log("  %-7s runs %d  min %.3f s  median %.3f s"
            % (n, len(times), min(times), statistics.median(times)))
    del arrays
    return size, n_values, {n: rows[n] for n in names + [FLOOR]}


def fmt_s(x):
    return "%.3f" % x if x < 10 else "%.1f" % x


def fmt_x(x):
    return "%.2f" % x if x < 10 else "%.1f" % x


def timing_table(results, names, ref_name, status):
    out = []
    out.append("| file | values | reader | runs | min s | median s | MB/s | Mvalues/s | x FLOOR | quorel speed-up |")
    out.append("|---|---:|---|---:|---:|---:|---:|---:|---:|---:|")
    for (size_mb, n_params, width), (size, n_values, rows) in results:
        label = "%g MB, %d par, w%d" % (size_mb, n_params, width)
        floor_min = min(rows[FLOOR])
        q_min = min(rows["quorel"]) if "quorel" in rows else None
        for n in names + [FLOOR]:
            ts = rows[n]
            tmin, tmed = min(ts), statistics.median(ts)
            flag = "" if status.get(n, "ok") == "ok" else " (MISMATCH)"
            if n == "quorel" or n == FLOOR or q_min is None:
                speed = "-"
            else:
                speed = fmt_x(tmin / q_min)
            if n == FLOOR and q_min is not None:
                speed = "(%s)" % fmt_x(tmin / q_min)
            out.append("| %s | %d | %s%s | %d | %s | %s | %.1f | %.2f | %s | %s |" % (
                label, n_values, n, flag, len(ts), fmt_s(tmin), fmt_s(tmed),
                size / 1e6 / tmin, n_values / 1e6 / tmin, fmt_x(tmin / floor_min), speed))
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
    if reader == FLOOR:
        arrays = readers.floor_load(floor_file(path))
    else:
        import importlib
        for mod in readers._REQUIRES[reader]:
            importlib.import_module(mod)
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
    else:
        res = readers.READERS[reader](path, width)
    peak = _status_kb("VmHWM")
    rss = _status_kb("VmRSS")
    size, n_values = readers.result_size(res)
    print(json.dumps({"base_kb": base, "peak_kb": peak, "rss_kb": rss, "result_bytes": size,
                      "n_values": n_values, "hwm_reset": reset}))


def measure_memory(path, width, names, ref_name, extra_path):
    ensure_floor_arrays(path, width, ref_name)
    env = dict(os.environ)
    if extra_path:
        env["PYTHONPATH"] = os.pathsep.join([extra_path] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    rows = {}
    for n in names + [FLOOR]:
        cmd = [sys.executable, os.path.abspath(__file__), "--mem-child", n, path, str(width)]
        p = subprocess.run(cmd, env=env, capture_output=True, text=True)
        if p.returncode != 0:
            log("memory %s failed: %s" % (n, p.stderr.strip()[-500:]))
            continue
        rows[n] = json.loads(p.stdout.strip().splitlines()[-1])
        d = rows[n]
        log("  %-7s peak delta %.1f MB" % (n, (d["peak_kb"] - d["base_kb"]) / 1024))
    return rows


def memory_table(path, rows, names):
    out = []
    out.append("| reader | peak delta MB | result MB | delta / result | delta B/value | result B/value |")
    out.append("|---|---:|---:|---:|---:|---:|")
    for n in names + [FLOOR]:
        if n not in rows:
            out.append("| %s | failed | | | | |" % n)
            continue
        d = rows[n]
        delta = (d["peak_kb"] - d["base_kb"]) * 1024
        res = d["result_bytes"]
        nv = max(1, d["n_values"])
        out.append("| %s | %.1f | %.1f | %.2f | %.1f | %.1f |" % (
            n, delta / 1e6, res / 1e6, delta / res, delta / nv, res / nv))
    return "\n".join(out)


# --------------------------------------------------------------------------
# main
# --------------------------------------------------------------------------

def main(argv=None):
    ap = argparse.ArgumentParser(description="quorel benchmark")
    ap.add_argument("--quick", action="store_true", help="1 MB files, 1 repetition")
    ap.add_argument("--sizes", default="1,20,100", help="file sizes in MB, comma separated")
    ap.add_argument("--params", default="11,500", help="parameter counts, comma separated")
    ap.add_argument("--widths", default="12,15", help="field widths, comma separated")
    ap.add_argument("--readers", default=",".join(ALL_READERS),
                    help="readers to run (quorel, python, numpy, pandas); the FLOOR always runs")
    ap.add_argument("--reps", type=int, default=None,
                    help="runs per reader and file (default 5, 3 for files of 50 MB or more)")
    ap.add_argument("--slow-limit", type=float, default=60.0,
                    help="stop repeating a reader on a file once one run took longer (s)")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory table")
    ap.add_argument("--build-dir", default=None,
                    help="directory holding a built quorel module (added to sys.path)")
    ap.add_argument("--cache-dir", default=None, help="where generated files are kept")
    ap.add_argument("--mem-child", nargs=3, metavar=("READER", "PATH", "WIDTH"), help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.build_dir:
        sys.path.insert(0, os.path.abspath(args.build_dir))
    if args.mem_child:
        r, p, w = args.mem_child
        mem_child(r, p, int(w))
        return 0

    sizes = [1.0] if args.quick else [float(s) for s in args.sizes.split(",")]
    params = [int(s) for s in args.params.split(",")]
    widths = [int(s) for s in args.widths.split(",")]
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
    cache_dir = args.cache_dir or gen_plot.default_cache_dir()

    log("verifying results on small files ...")
    ref_name, status = verify(names, cache_dir)
    verify_lines = ["| reader | equal to %s, bit for bit |" % ref_name, "|---|---|"]
    for n in names + [FLOOR]:
        if n != ref_name:
            verify_lines.append("| %s | %s |" % (n, "yes" if status[n] == "ok" else "NO: " + status[n]))

    results = []
    largest = None
    for size_mb in sizes:
        for n_params in params:
            for width in widths:
                t0 = time.perf_counter()
                path = gen_plot.cached_plot(n_params, width, size_mb, cache_dir=cache_dir)
                gen = time.perf_counter() - t0
                reps = args.reps or (1 if args.quick else (3 if size_mb >= 50 else 5))
                log("%s (%.1f MB, ready in %.1f s), %d runs each"
                    % (os.path.basename(path), os.path.getsize(path) / 1e6, gen, reps))
                r = bench_file(path, width, names, ref_name, reps, args.slow_limit)
                results.append(((size_mb, n_params, width), r))
                if largest is None or os.path.getsize(path) > os.path.getsize(largest[0]):
                    largest = (path, width, n_params)

    import platform
    print("## quorel benchmark\n")
    print("Python %s, %s; readers: %s; page-cached files.\n"
          % (platform.python_version(), platform.machine(), ", ".join(names)))
    print("### Verification (small files, 11/37/500 parameters and a file of range-edge values, widths 12 and 15)\n")
    print("\n".join(verify_lines) + "\n")
    print("### Read time\n")
    print(timing_table(results, names, ref_name, status) + "\n")
    if not args.no_memory and largest:
        path, width, n_params = largest
        log("memory: one read of %s per reader, fresh subprocesses ..." % os.path.basename(path))
        extra = os.path.abspath(args.build_dir) if args.build_dir else None
        mrows = measure_memory(path, width, names, ref_name, extra)
        print("### Peak memory of one read: %s (%.1f MB, %d parameters, width %d)\n"
              % (os.path.basename(path), os.path.getsize(path) / 1e6, n_params, width))
        print(memory_table(path, mrows, names) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
