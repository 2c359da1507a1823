"""tolvane.read_many: many plot files, read on a pool of threads, as one long pandas DataFrame."""

from __future__ import annotations

import os
import sys
import threading
import warnings
from typing import TYPE_CHECKING, Any, Callable, Iterable, List, Optional, Sequence, Tuple, cast

import numpy as np

from ._plot import Plot, dedup_names
from ._read import PathArg, _columns_argument, _width_argument, read
from ._tables import library

if TYPE_CHECKING:
    import pandas

# A bar is worth drawing from this many files on; below it the reads are over at once.
PROGRESS_FROM_FILES = 8
ON_ERROR = ("raise", "skip")


def read_many(paths: Iterable[PathArg], n_digits: Optional[int] = None, *,
              columns: Optional[Iterable[Any]] = None, threads: Optional[int] = None,
              on_error: str = "raise", progress: Optional[bool] = None) -> "pandas.DataFrame":
    """Read many plot files with the same parameters into one pandas DataFrame, in long form.

    Args:
        paths: the files, each a ``str``, ``bytes`` or ``os.PathLike``.
        n_digits, columns: as :func:`tolvane.read` takes them, for every file (``None``: each
            file's width found from the file).
        threads: how many files are read at once, on a pool of threads (the GIL is released
            while a file is read). ``None`` for the cores the process may run on (its CPU
            affinity), ``1`` for one file after another on the calling thread. When several
            are read at once, each file is read on one thread (``tolvane.read(threads=1)``).
        on_error: ``"raise"``: the first failing file in the order of ``paths`` raises its
            own error (``FormatError``, ``OSError``, ...) once the reads under way have ended;
            no file after it is read. ``"skip"``: a failing file is left out, with a
            ``warnings.warn`` that carries its error, and ``df.attrs["skipped"]`` lists the
            ``(path, error)`` pairs in the order of ``paths``.
        progress: ``None`` draws a bar on standard error (tqdm, ``pip install
            'quorel[progress]'``, where installed) when standard error is a terminal and there
            are more than a few files; ``True`` draws it always (ImportError without tqdm),
            ``False`` never.

    Returns:
        A DataFrame with a categorical column ``path`` (each file as the ``str`` of its path;
        the categories are every path given, in order, skipped ones too), the time column
        named by the first file's time name, then one float32 column per parameter read;
        names repeated are made unique (X, X.1, ...). The files follow each other in the order
        of ``paths``, each file's rows in block order, under a plain RangeIndex.

    Raises:
        ValueError: a file's parameter names differ from the first file's (that file's error,
            which ``on_error="skip"`` skips too); it names the file and the first name that
            differs. Bad arguments raise TypeError or ValueError before any file is read.
    """
    pd = library("pandas", "pandas", "tolvane.read_many()")
    path_list = list(paths)
    texts = [os.fsdecode(os.fspath(path)) for path in path_list]
    width = _width_argument(n_digits)
    keys = _columns_argument(columns)
    workers = min(threads_argument(threads), max(len(path_list), 1))
    if on_error not in ON_ERROR:
        raise ValueError(f"on_error must be 'raise' or 'skip', not {on_error!r}")
    bar = progress_bar(len(path_list), progress)
    # Several files at once: each on one thread, so that the two kinds of threads do not
    # multiply. One at a time: each file as read() would split it.
    per_file = 1 if workers > 1 else None

    def read_one(index: int) -> Plot:
        return read(path_list[index], width, columns=keys, threads=per_file)

    try:
        outcomes = run_in_order(read_one, len(path_list), workers,
                                stop_at_failure=on_error == "raise",
                                done=bar.update if bar is not None else None)
    finally:
        if bar is not None:
            bar.close()
    plots: List[Tuple[int, Plot]] = []
    skipped: List[Tuple[str, BaseException]] = []
    for index, outcome in enumerate(outcomes):
        if outcome is None:  # not read: a file before it failed
            break
        if isinstance(outcome, BaseException):
            error: BaseException = outcome
        else:
            mismatch = names_mismatch(outcome, plots[0][1].names, plots[0][1].path) if plots else None
            if mismatch is None:
                plots.append((index, outcome))
                continue
            error = mismatch
        if on_error == "raise":
            raise error
        skipped.append((texts[index], error))
        warnings.warn(f"tolvane.read_many skipped {texts[index]}: {type(error).__name__}: "
                      f"{error}", RuntimeWarning, stacklevel=2)
    frame = long_frame(pd, [plot for _, plot in plots], [texts[index] for index, _ in plots],
                       categories=texts, workers=workers)
    frame.attrs["skipped"] = skipped
    return frame


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
                 done: Optional[Callable[[int], Any]] = None) -> List[Any]:
    """work(0), ..., work(count - 1) on `workers` threads (the calling thread alone for one),
    taken in index order; each outcome is the result or the Exception raised, None for an
    index not run. With stop_at_failure, no index past a failed one is started, so every index
    before the first failure has an outcome and the first failure is the one a plain loop
    meets."""
    outcomes: List[Any] = [None] * count
    lock = threading.Lock()
    state = {"next": 0, "end": count}

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

    finished = [0]  # indices run, for the bar

    def worker() -> None:
        while (index := take()) is not None:
            run(index)
            with lock:
                finished[0] += 1

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
        # KeyboardInterrupt and the like: no index is started after it; the reads under way end
        # on their own (a read cannot be interrupted) and are dropped.
        with lock:
            state["end"] = 0
        raise
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


def long_frame(pd: Any, plots: Sequence[Plot], texts: Sequence[str],
               categories: Optional[Sequence[str]] = None, workers: int = 1) -> "pandas.DataFrame":
    """One frame of the plots one after another: each float32 column filled by copying every
    plot's array into its place in one preallocated block, on `workers` threads, then the
    categorical path column (categories: the texts, unless given)."""
    categories = list(dict.fromkeys(texts if categories is None else categories))
    code_of = {text: code for code, text in enumerate(categories)}
    if not plots:
        return cast("pandas.DataFrame", pd.DataFrame({"path": pd.Categorical([], categories=categories)}))
    first = plots[0]
    fields = first._fields
    names = column_names(first.names, fields)
    lengths = np.array([len(plot) for plot in plots], dtype=np.int64)
    ends = np.cumsum(lengths)
    # One row of the block per column: pandas keeps a block of columns as (columns, rows), so
    # the frame holds this very memory.
    block = np.empty((len(fields), int(ends[-1])), dtype=np.float32)

    def copy(index: int) -> None:  # numpy lets the GIL go while it copies
        end = int(ends[index])
        start = end - int(lengths[index])
        for column, array in enumerate(plots[index]._arrays):
            block[column, start:end] = array

    for outcome in run_in_order(copy, len(plots), min(workers, len(plots)), stop_at_failure=True):
        if outcome is not None:
            raise outcome
    frame = pd.DataFrame(block.T, columns=names[1:], copy=False)
    codes = np.repeat(np.array([code_of[text] for text in texts], dtype=code_dtype(len(categories))),
                      lengths)
    frame.insert(0, names[0], pd.Categorical.from_codes(codes, categories=categories))
    return cast("pandas.DataFrame", frame)


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
