"""The benchmark's rows of xarray's engine read in chunks: one variable of each file (the
parameter in the middle) as a Dask array of 2,000 blocks a chunk, computed on the calling thread,
beside tolvane.read of that one column on one thread.

| row | what it times |
|---|---|
| xr-chunks | `xarray.open_dataset(path, engine="tolvane", chunks={TIME: 2000})[name].data.compute(scheduler="synchronous")`, the Dataset opened beforehand |
| col-t1 | `tolvane.read(path, width, columns=[name], threads=1)` |

The Dataset is opened once, outside the timing (the index that opening makes is
bench_windows.py's row `xarray`): the row is what reading the chunks costs, task by task, on
one thread as col-t1 reads (Dask's synchronous scheduler), so that the two compare alike on a
machine whose other cores are busy. Each task's read is the chunk's own blocks; xarray's and
Dask's own work for each task (about a tenth of a millisecond) is counted too, which on a
file of many small blocks (11 parameters: 330 chunks) weighs as much as the reading.
"""

from __future__ import annotations

import importlib.util
import statistics

XR_CHUNKS = "xr-chunks"
COL_T1 = "col-t1"
ROWS = (XR_CHUNKS, COL_T1)
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
    chunked.compute(scheduler="synchronous")  # Dask's imports on first use, outside the timing
    return lambda: chunked.compute(scheduler="synchronous")


def table(results, file_label, fmt_s, fmt_x, paired_ratio):
    """Each file: the two rows' medians and the ratio the goal judges."""
    out = ["Medians of the turns, in seconds; the ratio is the median over the turns of the two rows' "
           "ratio within one turn.", "",
           "| file | chunks | xr-chunks | col-t1 | xr-chunks / col-t1 (goal <= %g) |" % GOAL_CHUNKS_VS_COLUMN,
           "|---|---:|---:|---:|---:|"]
    for key, r in results:
        times = r["times"]
        if not times.get(XR_CHUNKS) or not times.get(COL_T1):
            continue
        ratio = paired_ratio(r, XR_CHUNKS, COL_T1)
        out.append("| %s | %s | %s | %s | %s |" % (
            file_label(key), r.get("chunks", "-"), fmt_s(statistics.median(times[XR_CHUNKS])),
            fmt_s(statistics.median(times[COL_T1])), "-" if ratio is None else fmt_x(ratio)))
    return "\n".join(out)


def goals(results, goal_size, add, ratio):
    """The goal on every file of `goal_size` MB, through the caller's `add` and `ratio`."""
    for key, r in results:
        if key[0] == goal_size and XR_CHUNKS in r["times"]:
            add(key, "xr-chunks / col-t1", *ratio(r, XR_CHUNKS, COL_T1), "<= %g" % GOAL_CHUNKS_VS_COLUMN,
                lambda v: v <= GOAL_CHUNKS_VS_COLUMN)
