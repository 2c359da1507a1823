"""The benchmark's rows of xarray's engine read in chunks: one variable of each file (the
parameter in the middle) as a Dask array of 2,000 blocks a chunk, computed with Dask's default
scheduler (threads) and on the calling thread alone, beside tolvane.read of that one column on
one thread.

| row | what it times |
|---|---|
| xr-chunks | `xarray.open_dataset(path, engine="tolvane", chunks={TIME: 2000})[name].data.compute()`, the Dataset opened beforehand: Dask's default scheduler, what a user gets |
| xr-chunks-sync | the same with `compute(scheduler="synchronous")`: every task on the calling thread |
| col-t1 | `tolvane.read(path, width, columns=[name], threads=1)` |

The Dataset is opened once, outside the timing (the index that opening makes is
bench_windows.py's row `xarray`): the rows are what reading the chunks costs, task by task.
The synchronous row reads on one thread as col-t1 reads, so that the two compare alike on a
machine whose other cores are busy; the default scheduler's threads read chunks at once where
there are cores free (each task's read runs without the interpreter lock). Each task's read is
the chunk's own blocks; xarray's and Dask's own work for each task (tens of microseconds) is
counted too, which on a file of many small blocks (11 parameters: 271 to 330 chunks) weighs
about half as much as the reading.
"""

from __future__ import annotations

import importlib.util
import statistics

XR_CHUNKS = "xr-chunks"
XR_CHUNKS_SYNC = "xr-chunks-sync"
COL_T1 = "col-t1"
ROWS = (XR_CHUNKS, XR_CHUNKS_SYNC, COL_T1)
# The rows the goal judges, each against col-t1.
CHUNK_ROWS = (XR_CHUNKS, XR_CHUNKS_SYNC)
CHUNK_BLOCKS = 2000
# The goal, on the 100 MB files: the chunked read at most this many times the one column's.
GOAL_CHUNKS_VS_COLUMN = 1.5


def available_rows():
    """The rows, where xarray and Dask import."""
    return list(ROWS) if all(importlib.util.find_spec(m) is not None for m in ("xarray", "dask")) else []


def row_fn(row, path, width):
    """One call that does the row's work once on `path`."""
    import tolvane

    with tolvane.open(path, width) as handle:
        names = handle.names
    column = len(names) // 2
    if row == COL_T1:
        return lambda: tolvane.read(path, width, columns=[column], threads=1)
    import xarray

    try:
        dataset = xarray.open_dataset(path, engine="tolvane", n_digits=width, chunks={names[0]: CHUNK_BLOCKS})
    except ValueError:  # the entry point is not installed (a build tree on sys.path)
        from tolvane._xarray_backend import TolvaneBackendEntrypoint

        dataset = xarray.open_dataset(path, engine=TolvaneBackendEntrypoint, n_digits=width,
                                      chunks={names[0]: CHUNK_BLOCKS})
    chunked = dataset[list(dataset.data_vars)[column - 1]].data
    scheduler = "synchronous" if row == XR_CHUNKS_SYNC else None  # None: Dask's default
    chunked.compute(scheduler=scheduler)  # Dask's imports and threads on first use, outside the timing
    return lambda: chunked.compute(scheduler=scheduler)


def table(results, file_label, fmt_s, fmt_x, paired_ratio):
    """Each file: the rows' medians and the ratios the goal judges."""
    out = ["Medians of the turns, in seconds; a ratio is the median over the turns of the two rows' "
           "ratio within one turn. xr-chunks: Dask's default scheduler (threads); xr-chunks-sync: "
           "the calling thread alone.", "",
           "| file | chunks | xr-chunks | xr-chunks-sync | col-t1 | xr-chunks / col-t1 (goal <= %g) "
           "| xr-chunks-sync / col-t1 (goal <= %g) |" % (GOAL_CHUNKS_VS_COLUMN, GOAL_CHUNKS_VS_COLUMN),
           "|---|---:|---:|---:|---:|---:|---:|"]
    for key, r in results:
        times = r["times"]
        if not times.get(COL_T1) or not any(times.get(row) for row in CHUNK_ROWS):
            continue
        cells = [file_label(key), str(r.get("chunks", "-"))]
        cells += [fmt_s(statistics.median(times[row])) if times.get(row) else "-" for row in ROWS]
        for row in CHUNK_ROWS:
            ratio = paired_ratio(r, row, COL_T1) if times.get(row) else None
            cells.append("-" if ratio is None else fmt_x(ratio))
        out.append("| " + " | ".join(cells) + " |")
    return "\n".join(out)


def goals(results, goal_size, add, ratio):
    """The goal on every file of `goal_size` MB, for either scheduler, through the caller's
    `add` and `ratio`."""
    for key, r in results:
        if key[0] != goal_size:
            continue
        for row in CHUNK_ROWS:
            if row in r["times"]:
                add(key, "%s / col-t1" % row, *ratio(r, row, COL_T1), "<= %g" % GOAL_CHUNKS_VS_COLUMN,
                    lambda v: v <= GOAL_CHUNKS_VS_COLUMN)
