"""tolvane.write's rows of the benchmark (bench/run_bench.py --write, or --write-only).

For each plot file: its Plot is read once, outside the timing, then these rows take turns
(each turn in an order of its own):

    write       tolvane.write(out, plot, width) of a new file (the one of the turn before is
                removed first, outside the timing): the fields formatted and written on the
                threads it takes by default, the file made whole on disk and renamed into place
                (tolvane._replace)
    write-t1    the same with threads=1: the calling thread only
    write-over  tolvane.write over the file of the turn before, whose pages the system then
                frees (for a 100 MB file, some 15 to 20 ms here)
    read-t1     tolvane.read(out, threads=1): reading the very file written, on one thread

and afterwards, run by itself (it takes seconds):

    savetxt   numpy.savetxt of the same text: one row per block, the step number and the
              block's values, with a format string of the same fields (" STEP %6d\\n", then
              "%12.5E" or "%15.8E" ten to a line), after the same first line and name lines.

The written files go to the folder given (the benchmark's cache, beside the plot files).
Goals, on the 100 MB files: write at most GOAL_VS_READ times read-t1, and savetxt at least
GOAL_VS_SAVETXT times write.
"""

from __future__ import annotations

import os
import statistics

WRITE = "write"
WRITE_T1 = "write-t1"
WRITE_OVER = "write-over"
READ_T1 = "read-t1"
SAVETXT = "savetxt"
TURN_ROWS = (WRITE, WRITE_T1, WRITE_OVER, READ_T1)
ROWS = TURN_ROWS + (SAVETXT,)
GOAL_VS_READ = 2.0
GOAL_VS_SAVETXT = 20.0


def savetxt_plot(plot, width, out):
    """The plot file of `plot` written by numpy.savetxt with a format string of the same fields."""
    import numpy as np

    count = len(plot.names)
    field = "%%%d.%dE" % (width, width - 7)
    full, rest = divmod(count, 10)
    lines = [field * 10] * full + ([field * rest] if rest else [])
    fmt = " STEP %6d\n" + "\n".join(lines)
    rows = np.empty((len(plot), count + 1))
    rows[:, 0] = np.arange(1, len(plot) + 1)
    rows[:, 1:] = plot.to_numpy()
    head = [" %s   %d" % ("SAVETXT", count)] + [" %4d  %s" % (i, name) for i, name in enumerate(plot.names, 1)]
    np.savetxt(out, rows, fmt=fmt, header="\n".join(head), comments="")


def same_values(a, b):
    """Whether two Plots hold the same bits, a NaN of either sign standing for any NaN (Python's
    %E drops a NaN's sign)."""
    import numpy as np

    if a.names != b.names or len(a) != len(b):
        return False
    x, y = a.to_numpy().view(np.uint32), b.to_numpy().view(np.uint32)
    nan = (np.isnan(a.to_numpy()) & np.isnan(b.to_numpy()))
    return bool(((x == y) | nan).all())


def bench_file(path, width, turns, reps, out_dir, in_turn, time_reader, slow_limit, log):
    """Times the rows on one plot file; returns {"times": {row: [seconds]}, "same": bool}."""
    import tolvane

    plot = tolvane.read(path, width)
    stem = os.path.splitext(os.path.basename(path))[0]
    out = os.path.join(out_dir, "written_%s.plt" % stem)
    out_savetxt = os.path.join(out_dir, "savetxt_%s.plt" % stem)
    fns = {
        WRITE: lambda: tolvane.write(out, plot, width),
        WRITE_T1: lambda: tolvane.write(out, plot, width, threads=1),
        WRITE_OVER: lambda: tolvane.write(out, plot, width),
        READ_T1: lambda: tolvane.read(out, width, threads=1),
    }
    fns[WRITE]()  # the file read-t1 reads, before the first turn
    times = {row: [] for row in TURN_ROWS}
    for turn in range(turns):
        for row in in_turn(TURN_ROWS, turn):
            if row in (WRITE, WRITE_T1):
                os.remove(out)  # a new file: the system frees the earlier one's pages here
            times[row] += time_reader(fns[row], 1, slow_limit)
    times[SAVETXT] = time_reader(lambda: savetxt_plot(plot, width, out_savetxt), reps, slow_limit)
    same = same_values(tolvane.read(out, width), plot) and same_values(tolvane.read(out_savetxt, width), plot)
    for name in (out, out_savetxt):
        os.remove(name)
    for row in ROWS:
        ts = times[row]
        log("  %-9s runs %2d  min %.4f s  median %.4f s" % (row, len(ts), min(ts), statistics.median(ts)))
    return {"times": times, "same": same, "size": os.path.getsize(path)}


def _best(r, row):
    return min(r["times"][row])


def _per_turn(r, a, b):
    return statistics.median(x / y for x, y in zip(r["times"][a], r["times"][b]))


def tables(results, file_label, fmt_s, fmt_x):
    """The rows' times and ratios, file by file; mins of the runs, and the medians over the turns
    of the ratio in the same turn."""
    out = ["| file | write s | write-t1 s | write-over s | read-t1 s | savetxt s | write / read-t1 (goal <= %g) "
           "| per turn | write-t1 / read-t1 | write-over / read-t1 | savetxt / write (goal >= %g) | MB/s written "
           "| same values |" % (GOAL_VS_READ, GOAL_VS_SAVETXT),
           "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"]
    for key, r in results:
        w, w1, wo, rd, sv = (_best(r, row) for row in ROWS)
        out.append("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %.0f | %s |" % (
            file_label(key), fmt_s(w), fmt_s(w1), fmt_s(wo), fmt_s(rd), fmt_s(sv), fmt_x(w / rd),
            fmt_x(_per_turn(r, WRITE, READ_T1)), fmt_x(w1 / rd), fmt_x(wo / rd), fmt_x(sv / w),
            r["size"] / 1e6 / w, "yes" if r["same"] else "NO"))
    return "\n".join(out)


def goal_rows(results, goal_size, file_label, fmt_x):
    """(file, goal, measured, per-turn median, limit, verdict) as run_bench.goals_table shows them."""
    out = []
    for key, r in results:
        if key[0] != goal_size:
            continue
        w, rd, sv = _best(r, WRITE), _best(r, READ_T1), _best(r, SAVETXT)
        out.append((file_label(key), "tolvane.write / tolvane.read threads=1", fmt_x(w / rd),
                    fmt_x(_per_turn(r, WRITE, READ_T1)), "<= %g" % GOAL_VS_READ,
                    "PASS" if w / rd <= GOAL_VS_READ else "FAIL"))
        out.append((file_label(key), "numpy.savetxt / tolvane.write", fmt_x(sv / w), "-",
                    ">= %g" % GOAL_VS_SAVETXT, "PASS" if sv / w >= GOAL_VS_SAVETXT else "FAIL"))
    return out
