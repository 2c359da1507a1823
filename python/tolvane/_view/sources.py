"""What the view reads its signals from: a local plot file, through tolvane.open's index and
windows (its values are never held whole), or a Plot held in memory (every other source, read
once). Both answer the same questions: the signals there are, the blocks completed since the
last look, and the values of chosen blocks."""

from __future__ import annotations

import collections
import os
import threading
from concurrent.futures import Future, ThreadPoolExecutor
from typing import TYPE_CHECKING, Any, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np

from .._open import BlockLocator, PlotFile, PlotFileWithoutTimes
from .._names import dedup_names
from .._plot import Plot

if TYPE_CHECKING:
    import numpy.typing as npt

    from .._errors import FormatError

# The blocks of a bin of the view's pyramid: a file's index keeps the start of every bin.
BIN = 64
# The blocks a file is read by while the view folds it in: a few MB of values at a time.
WINDOW_BLOCKS = 1 << 16
# A read of at least this many blocks is split across threads.
SPLIT_BLOCKS = 1 << 14


class Source:
    """One plot's signals for the view: ``names`` (the signals' unique names, the time's left
    out) and ``fields`` (their indices in the file)."""

    label: str
    names: Tuple[str, ...]
    fields: Tuple[int, ...]
    time_name: str
    title: str

    @property
    def n_digits(self) -> Optional[int]:
        """The field width (None while a file has no complete block to find it from)."""
        raise NotImplementedError

    def new_blocks(self) -> Iterator[Tuple["npt.NDArray[np.float64]", "npt.NDArray[np.float32]"]]:
        """The times and the values (one row per field of ``fields``) of the blocks completed
        since the last call (every block the first time), a window at a time."""
        raise NotImplementedError

    def pending(self) -> int:
        """The blocks new_blocks would give now, where known cheaply (else 0)."""
        return 0

    def blocks(self, chosen: "npt.NDArray[np.int64]", fields: Sequence[int]
               ) -> Tuple["npt.NDArray[np.float64]", "npt.NDArray[np.float32]"]:
        """The times and the values (one row per field of ``fields``) of the blocks ``chosen``
        (ascending, each once, all among those new_blocks has given)."""
        raise NotImplementedError

    def whole(self) -> Union[Plot, str]:
        """What tolvane.read takes to read the whole plot again, or the Plot itself."""
        raise NotImplementedError

    def close(self) -> None:
        pass


def _signal_fields(names: Sequence[str], wanted: Optional[Sequence[Union[str, int]]],
                   field_of: Any) -> Tuple[Tuple[str, ...], Tuple[int, ...]]:
    unique = dedup_names(names)
    if wanted is None:
        fields = list(range(1, len(names)))
    else:
        fields = [field_of(key) for key in wanted]
        fields = [f for f in dict.fromkeys(fields) if f != 0]
    return tuple(unique[f] for f in fields), tuple(fields)


# Reads of many runs of blocks are split across this many threads (each read releases the GIL).
READ_THREADS = 2
_pool: "Optional[ThreadPoolExecutor]" = None
_pool_lock = threading.Lock()


def _read_pool() -> ThreadPoolExecutor:
    global _pool
    with _pool_lock:
        if _pool is None:
            _pool = ThreadPoolExecutor(READ_THREADS, thread_name_prefix="tolvane-view-read")
        return _pool


class FileSource(Source):
    """A local plot file, read through tolvane.open: windows of its blocks, and the blocks a
    running simulation appends."""

    def __init__(self, path: Union[str, "os.PathLike[str]"], n_digits: Optional[int] = None,
                 columns: Optional[Sequence[Union[str, int]]] = None,
                 window_blocks: int = WINDOW_BLOCKS) -> None:
        self._window_blocks = window_blocks
        # Every window's times are read from its blocks, and the pyramid keeps its bins' times:
        # the index needs no time of its own. It keeps every bin's start, which the reads of
        # bins begin at.
        self._file: PlotFile = PlotFileWithoutTimes(path, n_digits, bin_blocks=BIN)
        try:
            self.label = os.path.basename(self._file.path) or self._file.path
            names = self._file.names
            self.time_name = names[0] if names else "TIME"
            self.title = self._file.title
            probe = Plot(self._file.path, 0, names, [], np.empty((0, 0), dtype=np.float32),
                         self._file.title, self._file.name_lines)
            self.names, self.fields = _signal_fields(names, columns, probe.field_of)
            self._done = 0
            self._runs: Optional[BlockLocator] = None
        except BaseException:
            self._file.close()
            raise

    def new_blocks(self) -> Iterator[Tuple["npt.NDArray[np.float64]", "npt.NDArray[np.float32]"]]:
        count = len(self._file)
        if count <= self._done:
            return
        # Windows read through a locator of the index, which opens the file for each read and
        # holds no lock of the handle: two windows are read at once, and so are the bins of a
        # zoom.
        locator = self._file._locator()
        self._runs = locator
        wanted = sorted({0, *self.fields})
        rows = [wanted.index(f) for f in (0, *self.fields)]

        def read(first: int) -> Tuple[int, Tuple["npt.NDArray[np.float32]", "npt.NDArray[Any]"]]:
            end = min(count, first + self._window_blocks)
            return end, locator.read_with_time(wanted, np.arange(first, end, dtype=np.uint64))

        # The next windows are read (each read releases the GIL), one a thread, while the
        # caller folds this one in.
        pool = _read_pool()
        coming: "collections.deque[Future[Tuple[int, Tuple[npt.NDArray[np.float32], npt.NDArray[Any]]]]]" = collections.deque()
        start = self._done
        while start < count and len(coming) < READ_THREADS:
            coming.append(pool.submit(read, start))
            start = min(count, start + self._window_blocks)
        while coming:
            end, (table, time) = coming.popleft().result()
            if start < count:
                coming.append(pool.submit(read, start))
                start = min(count, start + self._window_blocks)
            self._done = end
            values = table[1:] if rows == list(range(len(rows))) else table[rows[1:]]
            # The time as the handle reads it (float64 unless opened with time_dtype=float32).
            yield np.asarray(time, dtype=np.float64), values

    @property
    def n_digits(self) -> Optional[int]:
        return self._file.n_digits

    def whole(self) -> Union[Plot, str]:
        return self._file.path

    def pending(self) -> int:
        return len(self._file) - self._done

    def cut(self) -> "Optional[FormatError]":
        """Where the end of the file cuts a block after the complete ones (None: it does not)."""
        return self._file._cut_after_index()

    def blocks(self, chosen: "npt.NDArray[np.int64]", fields: Sequence[int]
               ) -> Tuple["npt.NDArray[np.float64]", "npt.NDArray[np.float32]"]:
        if len(chosen) == 0:
            return np.empty(0), np.empty((len(fields), 0), dtype=np.float32)
        runs = self._runs
        if runs is None or chosen[-1] >= runs.blocks:
            plot = self._file.read(columns=[0, *fields], blocks=chosen)
            return _table(plot, fields)
        wanted = sorted({0, *fields})
        rows = [wanted.index(f) for f in (0, *fields)]
        picked = np.ascontiguousarray(chosen, dtype=np.uint64)
        # The time as the handle reads it (float64 unless opened with time_dtype=float32).
        if len(picked) >= SPLIT_BLOCKS:
            halves = np.array_split(picked, READ_THREADS)
            parts = list(_read_pool().map(lambda part: runs.read_with_time(wanted, part), halves))
            table = np.concatenate([part[0] for part in parts], axis=1)
            time = np.concatenate([part[1] for part in parts])
        else:
            table, time = runs.read_with_time(wanted, picked)
        values = table[1:] if rows == list(range(len(rows))) else table[rows[1:]]  # a view where it can
        return np.asarray(time, dtype=np.float64), values

    def close(self) -> None:
        self._file.close()


class PlotSource(Source):
    """A Plot held in memory: what tolvane.read gave for a URL, a compressed file, standard
    input or a file object (read once), or a Plot given by the caller."""

    def __init__(self, plot: Plot, columns: Optional[Sequence[Union[str, int]]] = None,
                 label: Optional[str] = None) -> None:
        self._plot = plot
        self.label = label or os.path.basename(plot.path) or plot.path or "plot"
        names = plot.names
        self.time_name = names[0] if names else "TIME"
        self.title = plot.title
        readable = [f for f in plot._fields if f != 0]
        if columns is None:
            columns = readable
        self.names, self.fields = _signal_fields(names, columns, plot.field_of)
        self._given = False

    @property
    def n_digits(self) -> Optional[int]:
        return self._plot.n_digits

    def whole(self) -> Union[Plot, str]:
        return self._plot

    def pending(self) -> int:
        return 0 if self._given else len(self._plot)

    def new_blocks(self) -> Iterator[Tuple["npt.NDArray[np.float64]", "npt.NDArray[np.float32]"]]:
        if not self._given:
            self._given = True
            yield _table(self._plot, self.fields)

    def blocks(self, chosen: "npt.NDArray[np.int64]", fields: Sequence[int]
               ) -> Tuple["npt.NDArray[np.float64]", "npt.NDArray[np.float32]"]:
        times = np.asarray(self._plot.time, dtype=np.float64)[chosen]
        rows = [np.asarray(self._plot[f])[chosen] for f in fields]
        values = np.stack(rows) if rows else np.empty((0, len(chosen)), dtype=np.float32)
        return times, values


def _table(plot: Plot, fields: Sequence[int]
           ) -> Tuple["npt.NDArray[np.float64]", "npt.NDArray[np.float32]"]:
    times = np.asarray(plot.time, dtype=np.float64)
    if plot._fields == (0, *fields):
        return times, plot._table[1:]  # the Plot's own rows, not a copy
    rows: List["npt.NDArray[np.float32]"] = [plot[f] for f in fields]
    values = np.stack(rows) if rows else np.empty((0, len(times)), dtype=np.float32)
    return times, values
