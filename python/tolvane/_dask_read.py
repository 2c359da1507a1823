"""tolvane.dask.read: one large plot file as a Dask DataFrame, split into partitions of
consecutive blocks, each read by a task of its own wherever the cluster runs it.

The file is indexed where read is called (tolvane.open): the blocks' places and times, no value.
Each task opens the file itself and reads its own blocks' bytes, through the index's block
starts, which it carries (no open file: tasks pickle). Where the times never decrease, they are
the frame's divisions."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Iterable, List, Optional, Sequence, Tuple, cast

import numpy as np

from ._errors import cut_error
from ._open import BlockLocator, PlotFile
from ._names import dedup_names
from ._read import Key, PathArg, incomplete_argument
from ._tables import library

if TYPE_CHECKING:
    import dask.dataframe
    import pandas

# A partition's share of the file, by default.
PARTITION_BYTES = 128 << 20


def read(source: PathArg, *, blocks_per_partition: Optional[int] = None,
         columns: Optional[Iterable[Key]] = None, n_digits: Optional[int] = None,
         incomplete: str = "raise") -> "dask.dataframe.DataFrame":
    """One plot file as a lazy Dask DataFrame of partitions of consecutive blocks: the frame
    ``tolvane.read(source).to_pandas()`` gives, after ``compute()``.

    Args:
        source: a local file path; the workers must see the file at the same path.
        blocks_per_partition: the blocks of each partition (the last may have fewer); ``None``
            for about 128 MiB of the file each.
        columns, n_digits: as :func:`tolvane.read` takes them.
        incomplete: ``"raise"``: a file whose end falls inside its last block raises that
            block's FormatError here; ``"keep"``: the frame holds the blocks before it.

    The file's blocks are indexed here, where read is called; each partition is read by one
    task, from its own blocks' bytes, when the frame is computed. The index is the time (named
    by the time's name), and where the times never decrease the frame's divisions are the times
    at which the partitions start (a partition then starts where the time changes, so that no
    time lies in two) and the last time. A fault of the file raises in the task that reads it.
    """
    pd = library("pandas", "dask", "tolvane.dask.read()")
    dd = library("dask.dataframe", "dask", "tolvane.dask.read()")
    keep = incomplete_argument(incomplete)
    if blocks_per_partition is not None:
        if isinstance(blocks_per_partition, bool) or not hasattr(type(blocks_per_partition), "__index__"):
            raise TypeError("blocks_per_partition must be an int or None")
        blocks_per_partition = blocks_per_partition.__index__()
        if blocks_per_partition < 1:
            raise ValueError(f"blocks_per_partition must be at least 1, not {blocks_per_partition}")
    with PlotFile(source, n_digits, columns) as plot_file:
        head_cut = plot_file._head_cut
        if head_cut is not None:
            # A head still being written: no block, and no name it cannot know.
            if not keep:
                raise head_cut
            return cast("dask.dataframe.DataFrame", dd.from_pandas(pd.DataFrame(), npartitions=1))
        blocks = len(plot_file)
        if plot_file.n_digits is not None:
            cut = plot_file._cut_after_index()
            if cut is not None and not keep:
                raise cut_error(cut)
            blocks = plot_file._indexed
        fields = plot_file._fields
        names = dedup_names([plot_file.names[field] for field in fields])
        times = plot_file._times() if blocks else np.empty(0, dtype=np.float32)
        rising = blocks > 0 and bool(np.all(times[1:] >= times[:-1]))
        starts = partition_starts(blocks, blocks_per_partition, plot_file, times if rising else None)
        locator = plot_file._locator() if blocks else None
    meta = empty_frame(pd, names)
    parts = [(starts[i], starts[i + 1]) for i in range(len(starts) - 1)]
    divisions: Optional[Tuple[Any, ...]] = None
    if rising and parts:
        divisions = tuple(float(times[first]) for first, _ in parts) + (float(times[blocks - 1]),)
    if not parts:
        parts = [(0, 0)]
    frame = dd.from_map(_partition, parts, meta=meta, divisions=divisions, label="tolvane-read-blocks",
                        enforce_metadata=False, locator=locator, fields=fields, names=names)
    return cast("dask.dataframe.DataFrame", frame)


def partition_starts(blocks: int, per_partition: Optional[int], plot_file: PlotFile,
                     times: Optional["np.ndarray[Any, np.dtype[np.float32]]"]) -> List[int]:
    """The first block of each partition, then `blocks`. Where `times` are given (they never
    decrease), a partition starts where the time changes."""
    if blocks == 0:
        return [0]
    if per_partition is None:
        locator = plot_file._locator()
        block_bytes = max(1.0, (locator.end - int(locator.starts[0])) / blocks)
        per_partition = max(1, int(PARTITION_BYTES / block_bytes))
    starts = list(range(0, blocks, per_partition))
    if times is not None:
        moved = [0]
        for start in starts[1:]:
            # The first block at or after the boundary whose time differs from the one before.
            start = int(np.searchsorted(times, times[start - 1], side="right")) if start > moved[-1] else start
            if moved[-1] < start < blocks:
                moved.append(start)
        starts = moved
    return starts + [blocks]


def empty_frame(pd: Any, names: Sequence[str]) -> "pandas.DataFrame":
    """The frame's columns and dtypes: to_pandas()'s, without a row."""
    index = pd.Index(np.empty(0, dtype=np.float32), name=names[0])
    return cast("pandas.DataFrame", pd.DataFrame(np.empty((0, len(names) - 1), dtype=np.float32), index=index,
                                                 columns=list(names[1:])))


def _partition(part: Tuple[int, int], *, locator: Optional[BlockLocator], fields: List[int],
               names: List[str]) -> "pandas.DataFrame":
    """Blocks first .. end - 1 of the file, on a worker: to_pandas()'s frame of them. (No
    parameter is called `columns`: Dask would push the frame's column names into it.)"""
    import pandas as pd

    first, end = part
    if locator is None or end <= first:
        return empty_frame(pd, names)
    table = locator.read(fields, np.arange(first, end, dtype=np.uint64))
    index = pd.Index(table[0], name=names[0], copy=False)
    return cast("pandas.DataFrame", pd.DataFrame(table[1:].T, index=index, columns=list(names[1:]), copy=False))
