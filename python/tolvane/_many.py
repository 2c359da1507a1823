"""tolvane.read_many: many plot files, read on a pool of threads, as one long pandas DataFrame."""

from __future__ import annotations

import errno
import glob
import os
import sys
import threading
import warnings
from typing import (TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple,
                    Union, cast)

import numpy as np

from ._errors import IncompleteHeadError
from ._frame_block import FrameBlock
from ._names import dedup_names
from ._plot import Plot
from . import _native
from ._read import _columns_argument, _width_argument, incomplete_argument, read_in_pieces, time64_argument
from ._source import (PathArg, compression_argument, expand_url_pattern, is_file_object, is_url, source_name,
                      storage_options_argument)
from ._tables import library

if TYPE_CHECKING:
    import numpy.typing as npt
    import pandas

# A bar is worth drawing from this many files on; below it the reads are over at once.
PROGRESS_FROM_FILES = 8
ON_ERROR = ("raise", "skip")


def read_many(paths: Union[PathArg, Iterable[Any]], n_digits: Optional[int] = None, *,
              columns: Optional[Iterable[Any]] = None, threads: Optional[int] = None,
              on_error: str = "raise", progress: Optional[bool] = None,
              compression: Optional[str] = "infer",
              storage_options: Optional[Mapping[str, Any]] = None,
              incomplete: str = "raise", time_dtype: Any = np.float64) -> "pandas.DataFrame":
    """Read many plot files with the same parameters into one pandas DataFrame, in long form.

    Args:
        paths: the files: an iterable of sources (each a local path, a URL or a binary file
            object, as :func:`tolvane.read` takes them), or one path or URL, which is a glob
            pattern where it holds ``*``, ``?`` or ``[`` (its matches, sorted; ``**`` matches
            any depth of folders; a URL's pattern is expanded by its file system, as
            ``s3://bucket/sweep/*.plt.gz``). A pattern that matches nothing raises
            FileNotFoundError, a folder IsADirectoryError, both naming it.
        n_digits, columns, compression, time_dtype: as :func:`tolvane.read` takes them, for
            every file (``None``: each file's width found from the file); the time column is
            float64, or float32 with ``time_dtype=numpy.float32``.
        storage_options: for the URLs among the files, as :func:`tolvane.read` takes them
            (local files among them read without).
        threads: how many files are read at once, on a pool of threads (the GIL is released
            while a file is read). ``None`` for the cores the process may run on (its CPU
            affinity), ``1`` for one file after another on the calling thread. When several
            are read at once, each file is read on one thread (``tolvane.read(threads=1)``).
        on_error: ``"raise"``: the first failing file in the order of ``paths`` raises its
            own error (``FormatError``, ``OSError``, ...) once the reads under way have ended;
            no file after it is read. ``"skip"``: a failing file is left out, with a
            ``warnings.warn`` that carries its error, and ``df.attrs["skipped"]`` lists the
            ``(path, error)`` pairs in the order of ``paths``.
        incomplete: as :func:`tolvane.read` takes it, for every file. With ``"keep"``, a file
            that its end cuts inside its last block gives the blocks before it, and
            ``df.attrs["incomplete"]`` lists the ``(path, error)`` pairs of those files (the
            FormatError of each cut block), in the order of ``paths``.
        progress: ``None`` draws a bar on standard error (tqdm, ``pip install
            'quorel[progress]'``, where installed) when standard error is a terminal and there
            are more than a few files; ``True`` draws it always (ImportError without tqdm),
            ``False`` never.

    Returns:
        A DataFrame with a categorical column ``path`` (each file as the ``str`` of its path;
        the categories are every path given, in order, skipped ones too), the time column
        (``time_dtype``) named by the first file's time name, then one float32 column per
        parameter read;
        names are made unique as ``Plot.to_pandas`` makes them, ``path`` first (X, X.1, ...).
        The files follow each other in the order of ``paths``, each file's rows in block
        order, under a plain RangeIndex. Each file's arrays are copied into the frame's block
        as soon as the files before it are, and dropped: the memory held is the frame's and
        that of the files being read.

    Raises:
        ValueError: a file's parameter names differ from the first file's (that file's error,
            which ``on_error="skip"`` skips too); it names the file and the first name that
            differs. Bad arguments raise TypeError or ValueError before any file is read.
    """
    pd = library("pandas", "pandas", "tolvane.read_many()")
    how = compression_argument(compression)
    options = storage_options_argument(storage_options)
    path_list = sweep_paths(paths, options)
    texts = [source_name(path) for path in path_list]
    width = _width_argument(n_digits)
    keys = _columns_argument(columns)
    workers = min(threads_argument(threads), max(len(path_list), 1))
    if on_error not in ON_ERROR:
        raise ValueError(f"on_error must be 'raise' or 'skip', not {on_error!r}")
    incomplete_argument(incomplete)
    time64_argument(time_dtype)
    bar = progress_bar(len(path_list), progress)
    # Several files at once: each on one thread, so that the two kinds of threads do not
    # multiply. One at a time: each file as read() would split it.
    per_file = 1 if workers > 1 else None
    assembly = InOrderAssembly([file_size(path) for path in path_list])

    # Set where read_many is interrupted: the reads under way end at once.
    stop = _native.StopFlag()
    # Where each file read is cut (incomplete="keep"), by its index.
    cut_at: Dict[int, BaseException] = {}

    def read_one(index: int) -> bool:
        try:
            path = path_list[index]
            plot = read_in_pieces(path, width, columns=keys, threads=per_file, stop=stop, compression=how,
                                  storage_options=options if is_url(path) else None, incomplete=incomplete,
                                  time_dtype=time_dtype)
            if plot.incomplete is not None:
                cut_at[index] = plot.incomplete
            outcome: Union[Plot, Exception] = plot
            del plot
        except Exception as error:  # the file's, raised in its turn below
            outcome = error
        except BaseException:  # KeyboardInterrupt and the like: no file waits for this one
            assembly.abandon()
            raise
        failure = assembly.place(index, outcome)
        # Not held by the traceback of the error raised: the file's arrays go now.
        del outcome
        if failure is not None:
            raise failure
        return True

    try:
        outcomes = run_in_order(read_one, len(path_list), workers,
                                stop_at_failure=on_error == "raise",
                                                done=bar.update if bar is not None else None, stop=stop,
                                on_interrupt=assembly.abandon)
    finally:
        if bar is not None:
            bar.close()
    skipped: List[Tuple[str, BaseException]] = []
    for index, outcome in enumerate(outcomes):
        if outcome is None:  # not read: a file before it failed
            break
        if outcome is True:
            continue
        if on_error == "raise":
            raise outcome
        skipped.append((texts[index], outcome))
        warnings.warn(f"tolvane.read_many skipped {texts[index]}: {type(outcome).__name__}: "
                      f"{outcome}", RuntimeWarning, stacklevel=2)
    frame = assembly.frame(pd, texts)
    frame.attrs["skipped"] = skipped
    frame.attrs["incomplete"] = [(texts[index], cut_at[index]) for index in sorted(cut_at)
                                 if outcomes[index] is True]
    return frame


def sweep_paths(paths: Union[PathArg, Iterable[Any]], storage_options: Optional[Dict[str, Any]] = None) -> List[Any]:
    """The files of a sweep: a str, bytes or path object is one path or URL, or a glob pattern
    where it holds *, ? or [ (its matches, sorted); anything else is an iterable of sources.
    storage_options, for the URLs, must have one to apply to (as read() takes them)."""
    options = storage_options or {}
    if isinstance(paths, (str, bytes, os.PathLike)):
        found = _matches(paths, options)
    else:
        found = list(paths)
    if options and not any(is_url(path) for path in found):
        raise ValueError("storage_options are for URLs (s3://..., https://...), and no file given is one")
    return found


def _matches(path: PathArg, options: Dict[str, Any]) -> List[Any]:
    given = os.fspath(path)
    text = os.fsdecode(given)
    url = is_url(path)  # a str alone: bytes and path objects are local paths
    if any(mark in text for mark in "*?["):
        found: List[Any] = (expand_url_pattern(text, options) if url
                            else sorted(glob.glob(text, recursive=True)))
        if not found:
            raise FileNotFoundError(errno.ENOENT, "no file matches the pattern", text)
        return found
    if not url and os.path.isdir(given):
        raise IsADirectoryError(errno.EISDIR, "Is a directory (for the files in it, pass a pattern "
                                f"such as {os.path.join(text, '*.plt')!r})", text)
    return [path]


def file_size(path: Any) -> int:
    """The file's size, to estimate the rows of the files still to read; 0 where it has none
    (a FIFO, a URL, a file object) or cannot be had (the read will say why)."""
    if is_url(path) or is_file_object(path):
        return 0
    try:
        return os.stat(path).st_size
    except (OSError, ValueError, TypeError):
        return 0


# The rows of the files still to read are estimated from their sizes at the bytes a row of the
# files read so far took, and this much more, for files whose header lines are longer. An
# estimate short of the rows grows the block (a copy of the rows read); one beyond them costs
# address space only.
ROWS_ESTIMATE_MARGIN = 1.05


class InOrderAssembly:
    """The files of a sweep, placed into one FrameBlock in the order of the paths: each file, once
    read, waits for the files before it to be placed, is copied after them and dropped. So the
    arrays held at any time are the frame's and those of the files being read or waiting for
    their turn: at most one a thread of the pool, which reads no other file meanwhile."""

    def __init__(self, sizes: Sequence[int]) -> None:
        self._sizes = list(sizes)
        # The bytes of the files after each one, for the estimate of the rows to come.
        self._sizes_after = []
        rest = sum(self._sizes)
        for size in self._sizes:
            rest -= size
            self._sizes_after.append(rest)
        self._turn = 0
        self._abandoned = False
        self._changed = threading.Condition()
        self._block: Optional[FrameBlock] = None
        self._first: Optional[Tuple[str, Tuple[str, ...], Tuple[int, ...]]] = None
        self._placed: List[Tuple[int, int]] = []  # (index, rows) of the files placed
        # The float64 times placed, in a block of their own that grows as the values' does (a
        # list of each file's times, joined at the end, held the time column twice).
        self._times: Optional[FrameBlock] = None
        self._bytes_placed = 0

    def abandon(self) -> None:
        """No file will be placed: the threads waiting for their turn return."""
        with self._changed:
            self._abandoned = True
            self._changed.notify_all()

    def place(self, index: int, outcome: Union[Plot, Exception]) -> Optional[Exception]:
        """In the turn of `index`: place its Plot; the error that leaves it out (its read's, or
        names that differ from the first file's), None once placed."""
        try:
            with self._changed:
                while self._turn != index and not self._abandoned:
                    self._changed.wait()
                if self._abandoned:  # the caller is raising KeyboardInterrupt: no frame is made
                    return None
        except BaseException:
            self.abandon()
            raise
        try:
            if isinstance(outcome, Exception):
                return outcome
            return self._append(index, outcome)
        finally:
            with self._changed:
                self._turn = index + 1
                self._changed.notify_all()

    def _append(self, index: int, plot: Plot) -> Optional[Exception]:
        if isinstance(plot.incomplete, IncompleteHeadError):
            # A head still being written (incomplete="keep"): no row, and its names, which are
            # not all known, are not compared.
            self._bytes_placed += self._sizes[index]
            self._placed.append((index, 0))
            return None
        if self._first is None:
            self._first = (plot.path, plot.names, plot._fields)
            # A float64 time is kept in a block of its own; the values' block then holds the
            # parameters alone (not the float32 time too, which the frame would not hold).
            if plot._apart_time() is not None:
                self._times = FrameBlock(1, np.float64)
            self._block = FrameBlock(len(plot._fields) - (self._times is not None))
        else:
            mismatch = names_mismatch(plot, self._first[1], self._first[0])
            if mismatch is not None:
                return mismatch
        assert self._block is not None
        rows = len(plot)
        self._bytes_placed += self._sizes[index]
        rows_after = self._block.rows + rows
        to_come = 0
        if rows_after and self._bytes_placed:
            to_come = int(self._sizes_after[index] * rows_after / self._bytes_placed * ROWS_ESTIMATE_MARGIN)
        try:
            if self._times is None:
                self._block.append(plot._table, to_come)
            else:
                self._block.append(plot._table[1:], to_come)
                self._times.append(plot.time.reshape(1, -1), to_come)
        except MemoryError as error:
            return error
        self._placed.append((index, rows))
        return None

    def frame(self, pd: Any, texts: Sequence[str]) -> "pandas.DataFrame":
        """The frame of the files placed, its path column's categories every text."""
        if self._first is None or self._block is None:
            return empty_long_frame(pd, texts)
        _, names, fields = self._first
        time = self._times.values()[0] if self._times is not None else None
        return long_frame(pd, column_names(names, fields), self._block.values(),
                          [(texts[index], rows) for index, rows in self._placed], texts, time)


def threads_argument(threads: Optional[int]) -> int:
    if threads is None:
        return len(os.sched_getaffinity(0))
    if isinstance(threads, bool) or not hasattr(type(threads), "__index__"):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    count = threads.__index__()
    if count < 1:
        raise ValueError(f"threads must be at least 1, not {count}")
    return count


def run_in_order(work: Callable[[int], Any], count: int, workers: int, stop_at_failure: bool,
                 done: Optional[Callable[[int], Any]] = None,
                 stop: "Optional[_native.StopFlag]" = None,
                 on_interrupt: Optional[Callable[[], Any]] = None) -> List[Any]:
    """work(0), ..., work(count - 1) on `workers` threads (the calling thread alone for one),
    taken in index order; each outcome is the result or the Exception raised, None for an
    index not run. With stop_at_failure, no index past a failed one is started, so every index
    before the first failure has an outcome and the first failure is the one a plain loop
    meets. KeyboardInterrupt and the like, on any of the threads, end the run: `stop` is set,
    which ends the reads under way, `on_interrupt` is called (to release what the threads may
    wait for), every thread is waited for, and it is raised."""
    outcomes: List[Any] = [None] * count
    lock = threading.Lock()
    state: Dict[str, Any] = {"next": 0, "end": count, "interrupted": None}

    def take() -> Optional[int]:
        with lock:
            index = state["next"]
            if index >= state["end"]:
                return None
            state["next"] = index + 1
            return index

    def run(index: int) -> None:
        try:
            outcomes[index] = work(index)
        except Exception as error:  # the file's error, kept for its turn in paths order
            outcomes[index] = error
            if stop_at_failure:
                with lock:
                    state["end"] = min(state["end"], index + 1)

    def interrupt(cause: Optional[BaseException]) -> None:
        with lock:
            state["end"] = 0
            if state["interrupted"] is None:
                state["interrupted"] = cause
        if stop is not None:
            stop.set()
        if on_interrupt is not None:
            on_interrupt()

    finished = [0]  # indices run, for the bar

    def worker() -> None:
        try:
            while (index := take()) is not None:
                run(index)
                with lock:
                    finished[0] += 1
        except BaseException as cause:  # raised by the calling thread, not by this one
            interrupt(cause)

    # The calling thread is one of the workers: no thread to wake for each file, and a pool of
    # one is a plain loop.
    pool = [threading.Thread(target=worker, name=f"tolvane.read_many-{n}", daemon=True)
            for n in range(1, workers)]
    shown = 0
    try:
        for thread in pool:
            thread.start()
        while (index := take()) is not None:
            run(index)
            with lock:
                finished[0] += 1
            if done is not None:
                shown = _show(done, finished[0], shown)
        for thread in pool:
            while thread.is_alive():
                thread.join(0.05)
                if done is not None:
                    shown = _show(done, finished[0], shown)
        if done is not None:
            _show(done, finished[0], shown)
    except BaseException:
        interrupt(None)
        for thread in pool:
            if thread.ident is not None:
                thread.join()
        raise
    if state["interrupted"] is not None:
        raise state["interrupted"]
    return outcomes


def _show(done: Callable[[int], Any], finished: int, shown: int) -> int:
    if finished > shown:
        done(finished - shown)
    return finished


def names_mismatch(plot: Plot, names: Sequence[str], path: str) -> Optional[ValueError]:
    """The ValueError for a file whose names are not those of the first file (at path), else
    None."""
    mine, theirs = plot.names, tuple(names)
    if mine == theirs:
        return None
    at = next((i for i, (a, b) in enumerate(zip(mine, theirs)) if a != b), min(len(mine), len(theirs)))
    if at == len(mine):
        what = f"it has {len(mine)} parameters, so no parameter {at} ({theirs[at]!r})"
    elif at == len(theirs):
        what = f"it has parameter {at} ({mine[at]!r}) past the first file's {len(theirs)}"
    else:
        what = f"parameter {at} is {mine[at]!r}, not {theirs[at]!r}"
    return ValueError(f"{plot.path}: the parameter names differ from those of {path}: {what}")


def column_names(names: Sequence[str], fields: Sequence[int]) -> List[str]:
    """The frame's columns: path, the time, the parameters read; made unique (X, X.1, ...)."""
    return dedup_names(["path"] + [names[field] for field in fields])


def empty_long_frame(pd: Any, categories: Sequence[str]) -> "pandas.DataFrame":
    """The frame of a sweep of which no file was read: its path column alone."""
    categories = list(dict.fromkeys(categories))
    return cast("pandas.DataFrame", pd.DataFrame({"path": pd.Categorical([], categories=categories)}))


def long_frame(pd: Any, names: Sequence[str], values: "npt.NDArray[np.float32]",
               files: Sequence[Tuple[str, int]], categories: Sequence[str],
               time: "Optional[npt.NDArray[np.float64]]" = None) -> "pandas.DataFrame":
    """The frame of `values` (one row per float32 column, the files' blocks one after another),
    which it takes as its block without copying, and the categorical path column first: each
    file's text for its rows; the categories, every text given. With a float64 `time`, the
    values are the parameters' alone (no row of the time)."""
    categories = list(dict.fromkeys(categories))
    code_of = {text: code for code, text in enumerate(categories)}
    # One row of the values per column: pandas keeps a block of columns as (columns, rows), so
    # the frame holds this very memory.
    if time is None:
        frame = pd.DataFrame(values.T, columns=names[1:], copy=False)
    else:
        frame = pd.DataFrame(values.T, columns=names[2:], copy=False)
        frame.insert(0, names[1], time)
    codes = np.repeat(np.array([code_of[text] for text, _ in files], dtype=code_dtype(len(categories))),
                      np.array([rows for _, rows in files], dtype=np.int64))
    frame.insert(0, names[0], pd.Categorical.from_codes(codes, categories=categories))
    return cast("pandas.DataFrame", frame)


def plot_frame(pd: Any, plot: Plot, text: str, categories: Sequence[str]) -> "pandas.DataFrame":
    """One file's frame, as read_many gives it, over a copy of the Plot's values."""
    time = plot._apart_time()
    values = np.array(plot._table if time is None else plot._table[1:])
    return long_frame(pd, column_names(plot.names, plot._fields), values, [(text, len(plot))],
                      categories, time)


def code_dtype(count: int) -> "np.dtype[Any]":
    for dtype in (np.int8, np.int16, np.int32):
        if count <= np.iinfo(dtype).max:
            return np.dtype(dtype)
    return np.dtype(np.int64)


def progress_bar(total: int, progress: Optional[bool]) -> Any:
    """A tqdm bar on standard error, or None where none is drawn."""
    if progress is None:
        if total <= PROGRESS_FROM_FILES or not _stderr_is_terminal():
            return None
        try:
            from tqdm import tqdm
        except ImportError:
            return None
    elif not isinstance(progress, bool):
        raise TypeError(f"progress must be True, False or None, not {type(progress).__name__}")
    elif not progress:
        return None
    else:
        tqdm = library("tqdm", "progress", "tolvane.read_many(progress=True)").tqdm
    # No monitor thread: tqdm's lives on after the bar has closed. The bar is updated as each
    # file is read, so it needs no monitor to be redrawn.
    bar = type("ReadManyBar", (tqdm,), {"monitor_interval": 0})
    return bar(total=total, unit="file", file=sys.stderr, dynamic_ncols=True)


def _stderr_is_terminal() -> bool:
    try:
        return sys.stderr is not None and sys.stderr.isatty()
    except (AttributeError, ValueError):  # replaced by an object without it, or closed
        return False
