"""tolvane.open: a handle on a plot file, for windows of its blocks and for following it as it
grows. The blocks' places come from an index of the file's line structure (every block has the
same number of lines), made once and extended as the file grows; each window reads its own
blocks' bytes and no others."""

from __future__ import annotations

import builtins
import math
import numbers
import operator
import os
import re
import stat
import threading
import time as _time
from typing import TYPE_CHECKING, Any, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _native
from ._errors import FormatError, exception_from_fault, format_error
from ._plot import Plot
from ._read import (Key, PathArg, _columns_argument, _fields_of, _path_argument, _width_argument,
                    detect_width_of_complete_block, split_time, time64_argument)

if TYPE_CHECKING:
    import numpy.typing as npt

Blocks = Union[slice, Sequence[int], "npt.NDArray[np.integer[Any]]"]


def open(source: PathArg, n_digits: Optional[int] = None, *,  # noqa: A001 - tolvane.open, as io.open
         columns: Optional[Iterable[Key]] = None, time_dtype: Any = np.float64) -> "PlotFile":
    """Open a plot file for windows of its blocks, and for following it as a simulation writes it.

    ``source`` is a local file path (``str``, ``bytes`` or ``os.PathLike``); the handle reads its
    head (the title and the names) and indexes its blocks at once, from their line structure.
    ``n_digits``, ``columns`` and ``time_dtype`` are as :func:`tolvane.read` takes them (the
    index keeps the times as ``time_dtype`` reads them, and windows by time compare those);
    ``columns`` is what
    :meth:`PlotFile.read` reads where it is not given other columns. Use it as a context
    manager, or call :meth:`PlotFile.close`.

        with tolvane.open("run42.plt") as f:
            len(f)                                   # the complete blocks now
            f.read(blocks=slice(-1000, None))        # the last 1000 blocks
            f.read(time=(4.9, 5.1))                  # the blocks whose time t has 4.9 <= t <= 5.1
            for new in f.follow(interval=0.5):       # the blocks completed since, as they come
                ...
    """
    return PlotFile(source, n_digits, columns, time_dtype)


class PlotFile:
    """An open plot file: :func:`tolvane.open`'s handle.

    Only complete blocks are seen: those whose every line ends in a line feed (the last line of
    a file still being written may grow). ``len(f)``, :meth:`read` and :meth:`update` index the
    blocks completed since the last look first, reading only the bytes appended since. Values
    are those :func:`tolvane.read` gives for the same blocks, bit for bit; a fault inside the
    blocks read raises as ``read`` raises it (its line, block and field those of the whole file);
    a fault outside them is not looked for. A file cut below the blocks indexed, or rewritten,
    raises :class:`tolvane.FileChangedError`. The handle may be used from several threads; its
    reads release the GIL.
    """

    # Whether the index keeps every block's time (8 bytes a block), for windows by time; and a
    # number of blocks its stride divides (0: any stride).
    _keeps_times = True
    _bin_blocks = 0

    def __init__(self, source: PathArg, n_digits: Optional[int] = None,
                 columns: Optional[Iterable[Key]] = None, time_dtype: Any = np.float64) -> None:
        self._time64 = time64_argument(time_dtype)
        if not isinstance(source, (str, bytes)) and not hasattr(source, "__fspath__"):
            raise TypeError("tolvane.open needs the path of a local file (str, bytes or "
                            f"os.PathLike), not {type(source).__name__}: a file object or a "
                            "stream is read front to back only, by tolvane.read")
        self._path, self._path_bytes = _path_argument(source)
        refuse_streams(self._path, self._path_bytes, "tolvane.open")
        self._width = _width_argument(n_digits)
        self._wanted = _columns_argument(columns)
        self._lock = threading.RLock()
        self._head = self._open_head()
        self._closed = False
        # Until the head is whole (a file whose head is still being written), no name is known.
        self._names: Tuple[str, ...] = ()
        self._fields: List[int] = []
        self._title = ""
        self._name_lines: Tuple[str, ...] = ()
        self._indexed = 0
        # update(): the blocks it has handed out, and where the next one starts.
        self._updated = 0
        self._updated_offset = 0
        try:
            self._take_head()
            self._index()
        except BaseException:
            self.close()
            raise

    # ------------------------------------------------------------ what the file is

    @property
    def path(self) -> str:
        """The file, as the str of the path given."""
        return self._path

    @property
    def names(self) -> Tuple[str, ...]:
        """Every parameter's name in name-line order, the time's first; ``()`` while the head
        is still being written."""
        return self._names

    @property
    def title(self) -> str:
        """Line 1 without the parameter count, trimmed of whitespace."""
        return self._title

    @property
    def name_lines(self) -> Tuple[str, ...]:
        """Every name line's whole text, trimmed of whitespace."""
        return self._name_lines

    @property
    def n_digits(self) -> Optional[int]:
        """The field width: the one given, or the one found from block 0 (12 or 15); None while
        the file has no complete block to find it from."""
        return self._width

    def __len__(self) -> int:
        """The complete blocks in the file now."""
        with self._lock:
            return self._index()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{self._indexed} blocks indexed"
        return f"<tolvane.PlotFile {self._path!r}: {len(self._names)} parameters, {state}>"

    # ------------------------------------------------------------ reading

    def read(self, *, columns: Optional[Iterable[Key]] = None, blocks: Optional[Blocks] = None,
             time: Optional[Tuple[float, float]] = None) -> Plot:
        """A Plot of complete blocks: every one, ``blocks`` (a slice, step included, or a
        sequence of block numbers; negative ones count from the end), or those whose time t has
        ``t0 <= t <= t1`` for ``time=(t0, t1)`` (compared as numpy compares the times
        with them). ``columns`` as :func:`tolvane.read` takes them (default: the handle's).

        A window by time is found by bisection where the times never decrease, else by looking
        at every block's time; the index holds every block's time, read with the line feeds."""
        with self._lock:
            self._check_open()
            count = self._index()
            fields = self._fields if columns is None else self._fields_for(_columns_argument(columns))
            if blocks is not None and time is not None:
                raise TypeError("read takes blocks or time, not both")
            if time is not None:
                chosen: Union[range, "npt.NDArray[np.int64]"] = self._blocks_in_time(time, count)
            elif blocks is None:
                chosen = range(count)
            else:
                chosen = chosen_blocks(blocks, count)
            return self._read_blocks(fields, chosen)

    def update(self) -> Plot:
        """A Plot of the complete blocks after those update() has given (from block 0 the first
        time): read from the bytes appended since, and none before."""
        with self._lock:
            self._check_open()
            count = self._index()
            first = self._updated
            plot = self._read_blocks(self._fields, range(first, count), first, self._updated_offset)
            if count > first:
                self._updated = count
                self._updated_offset = self._head.index_end
            return plot

    def follow(self, interval: float = 0.5, timeout: Optional[float] = None) -> Iterator[Plot]:
        """update(), every ``interval`` seconds, given each time blocks have been completed: the
        blocks there are first, then those that come. Ends once no block has come for
        ``timeout`` seconds (``None``: never; stop iterating, or Ctrl-C, to end it)."""
        interval = _seconds(interval, "interval")
        if timeout is not None:
            timeout = _seconds(timeout, "timeout")
        last_new = _time.monotonic()
        while True:
            new = self.update()
            if len(new):
                last_new = _time.monotonic()
                yield new
                continue
            if timeout is not None and _time.monotonic() - last_new >= timeout:
                return
            _time.sleep(interval)

    def close(self) -> None:
        """Closes the file; the handle reads nothing more."""
        with self._lock:
            if not self._closed:
                self._closed = True
                self._head.close()

    def __enter__(self) -> "PlotFile":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # ------------------------------------------------------------ for the xarray engine and Dask

    def _times(self) -> "npt.NDArray[Any]":
        """Every indexed block's time, as the reader gives it (float64, or float32)."""
        with self._lock:
            self._check_open()
            self._need_times("the time coordinate")
            self._resolve_unknown_times()
            times = self._head.index_times(0, self._indexed)
            return times if self._time64 else times.astype(np.float32)

    def _locator(self) -> "BlockLocator":
        """What a task needs to read blocks of this file where it runs, without the handle."""
        with self._lock:
            self._check_open()
            assert self._width is not None
            return BlockLocator(self._path, self._names, self._width, self._head.index_stride,
                                self._head.index_starts(), self._indexed, self._head.index_end, self._time64)

    def _cut_after_index(self) -> "Optional[FormatError]":
        """The FormatError of the block that the end of the file cuts after the blocks indexed
        (as incomplete="keep" keeps it); None where the file ends with them. The file is taken
        as finished, as tolvane.read takes it: a last block whose fields all read, its last line
        without a line feed, is indexed too; the handle then finds no block after it, and a
        change of the file from then on raises FileChangedError."""
        with self._lock:
            self._check_open()
            data = self._native_call(self._head.cut_after_index)
            self._indexed = self._head.index_blocks
            return None if data is None else format_error(data, self._path, self._names, self._width)

    def _updates_from(self, block: int) -> None:
        """The next update() gives the complete blocks from `block` on (at most len(self))."""
        with self._lock:
            self._check_open()
            count = self._index()
            block = min(block, count)
            offset = 0
            if self._width is not None and block > 0:
                offset = int(self._head.block_offsets(np.array([block], dtype=np.uint64))[0])
            self._updated, self._updated_offset = block, offset

    # ------------------------------------------------------------ inside

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError(f"{self._path}: the plot file is closed")

    def _open_head(self) -> "_native.PlotHead":
        """The file opened and its head read; one that the end of the file cuts kept, not
        raised (its head_cut)."""
        try:
            return _native.open_plot(self._path_bytes, None, True)
        except _native.Fault as fault:
            raise exception_from_fault(fault.args[0], self._path) from None

    def _take_head(self) -> bool:
        """The names, title and fields from a whole head; False while it is still cut."""
        if self._head.head_cut is not None:
            return False
        self._names = tuple(self._head.names)
        self._fields = self._fields_for(self._wanted)
        self._title = self._head.title
        self._name_lines = tuple(self._head.name_lines)
        return True

    @property
    def _head_cut(self) -> "Optional[FormatError]":
        """The error of a head that the end of the file cuts (still being written), else None."""
        cut = self._head.head_cut
        return None if cut is None else format_error(cut, self._path, None, self._width)

    def _fields_for(self, wanted: Optional[List[Key]]) -> List[int]:
        fields = _fields_of(wanted, self._names, self._path)
        return list(range(len(self._names))) if fields is None else fields

    def _native_call(self, call: Any, *args: Any) -> Any:
        try:
            return call(*args)
        except _native.Fault as fault:
            raise exception_from_fault(fault.args[0], self._path, self._names, self._width) from None

    def _index(self) -> int:
        """Indexes the blocks completed since the last look; the complete blocks now."""
        self._check_open()
        if self._head.head_cut is not None:
            # The head is read again from the start, until it is whole.
            head = self._open_head()
            self._head.close()
            self._head = head
            if not self._take_head():
                return 0
        if self._width is None:
            # The width is found once block 0 is complete; until then there is nothing to index.
            try:
                # Block 0 still being written may read at a width it will not read at whole.
                if self._head.at_end() or not self._head.first_block_ended():
                    return 0
                self._width = detect_width_of_complete_block(self._head, self._path, self._names,
                                                             None, keep=True)
            except _native.Fault as fault:
                raise exception_from_fault(fault.args[0], self._path, self._names) from None
            if self._width is None:
                return 0
        self._indexed = self._native_call(self._head.extend_index, self._width, 0, None, 0, self._time64,
                                          self._keeps_times, self._bin_blocks)
        return self._indexed

    def _need_times(self, what: str) -> None:
        if not self._keeps_times:
            raise ValueError(f"{self._path}: {what} needs the blocks' times, which this handle's index "
                             "does not keep (it was opened without them); use tolvane.open")

    def _resolve_unknown_times(self) -> None:
        """The times the index did not read (shapes it leaves to the reader), read by the
        reader; its fault where one does not read."""
        unknown = self._head.unknown_times()
        if len(unknown):
            table, time = split_time(self._native_call(self._head.read_selection, [0], unknown, None, 0, 0,
                                                       self._time64))
            self._head.set_unknown_times(np.ascontiguousarray(table[0] if time is None else time, dtype=np.float64))

    def _blocks_in_time(self, window: Tuple[float, float], count: int) -> Union[range, "npt.NDArray[np.int64]"]:
        try:
            t0, t1 = window
        except (TypeError, ValueError):
            raise TypeError(f"time must be a pair (t0, t1), not {window!r}") from None
        low, high = (_time_bound(t, name) for t, name in ((t0, "t0"), (t1, "t1")))
        self._need_times("a window by time")
        if count == 0:
            return range(0)
        if not self._time64:
            # Compared as numpy compares the float32 times with the bounds made float32.
            with np.errstate(over="ignore"):
                low, high = float(np.float32(low)), float(np.float32(high))
        self._resolve_unknown_times()
        bounds = self._head.time_bounds(low, high)
        if bounds is not None:
            return range(min(bounds[0], count), min(bounds[1], count))
        found = self._head.time_matches(low, high)
        return found[found < count].astype(np.int64)

    def _read_blocks(self, fields: List[int], chosen: Union[range, "npt.NDArray[np.int64]"],
                     hint_block: int = 0, hint_offset: int = 0) -> Plot:
        """A Plot of the blocks `chosen` (in that order, repeats allowed)."""
        table, time = self._read_table(fields, chosen, hint_block, hint_offset)
        # 0: no width yet, in a Plot without blocks of a file without a complete block 0.
        return Plot(self._path, self._width or 0, self._names, fields, table, self._title,
                    self._name_lines, time=time)

    def _read_table(self, fields: List[int], chosen: Union[range, "npt.NDArray[np.int64]"],
                    hint_block: int, hint_offset: int) -> "Tuple[npt.NDArray[np.float32], Optional[npt.NDArray[np.float64]]]":
        """The blocks' table, and their float64 time apart where the time is read so."""
        every = [] if len(fields) == len(self._names) else fields
        none = (np.empty((len(fields), 0), dtype=np.float32), np.empty(0) if self._time64 else None)
        if isinstance(chosen, range):
            if chosen.step < 0:
                table, time = self._read_table(fields, chosen[::-1], hint_block, hint_offset)
                return table[:, ::-1], None if time is None else time[::-1]
            if len(chosen) == 0 or self._width is None:
                return none
            blocks = np.arange(chosen.start, chosen.stop, chosen.step, dtype=np.uint64)
            return split_time(self._native_call(self._head.read_selection, every, blocks, None, hint_block,
                                                hint_offset, self._time64))
        if len(chosen) == 0 or self._width is None:
            return none
        if len(chosen) == 1 or bool(np.all(chosen[1:] > chosen[:-1])):
            return split_time(self._native_call(self._head.read_selection, every, chosen.astype(np.uint64),
                                                None, 0, 0, self._time64))
        unique, order = np.unique(chosen, return_inverse=True)
        table, time = split_time(self._native_call(self._head.read_selection, every, unique.astype(np.uint64),
                                                   None, 0, 0, self._time64))
        order = order.reshape(-1)
        return np.ascontiguousarray(table[:, order]), None if time is None else np.ascontiguousarray(time[order])


class PlotFileWithoutTimes(PlotFile):
    """A handle whose index keeps where the blocks are but not their times: for a reader that
    reads every window's times from the blocks themselves (the view), it spares the index 8
    bytes a block and the time to read them. Windows by block number, update() and follow() are
    as a PlotFile's; a window by time raises ValueError. With ``bin_blocks``, the index keeps the
    start of every bin_blocks-th block (among others): a read of a run of blocks from there
    finds its start at once."""

    _keeps_times = False

    def __init__(self, source: PathArg, n_digits: Optional[int] = None, *, bin_blocks: int = 0) -> None:
        self._bin_blocks = bin_blocks
        super().__init__(source, n_digits)


class BlockLocator:
    """Where a file's blocks are, as an index of it found them: enough for a task to read
    blocks of it on any worker, opening the file itself (it holds no open file, and pickles)."""

    def __init__(self, path: str, names: Tuple[str, ...], width: int, stride: int,
                 starts: "npt.NDArray[np.uint64]", blocks: int, end: int, time64: bool = False) -> None:
        self.path, self.names, self.width = path, names, width
        self.stride, self.starts, self.blocks, self.end = stride, starts, blocks, end
        self.time64 = time64

    def read_with_time(self, fields: Sequence[int],
                       blocks: "npt.NDArray[np.uint64]") -> "Tuple[npt.NDArray[np.float32], npt.NDArray[Any]]":
        """read(), and the blocks' time as the handle reads it: float64 where it was opened so
        (the table's row 0 is then not the time), else the table's row 0."""
        table, time = split_time(self._read(fields, blocks, self.time64))
        return table, table[0] if time is None else time

    def read(self, fields: Sequence[int], blocks: "npt.NDArray[np.uint64]") -> "npt.NDArray[np.float32]":
        """A float32 array of one row per field of `fields` (ascending from 0), one column per
        block of `blocks` (ascending, each once); the file's faults raised as tolvane.read
        raises them."""
        return self._read(fields, blocks, False)  # type: ignore[no-any-return]

    def read_field(self, field: int, blocks: "npt.NDArray[np.uint64]") -> "npt.NDArray[np.float32]":
        """Parameter `field` (1 or more) of `blocks` (uint64, ascending, each once) as read()
        gives its row, without reading the time, which a caller holding the index has: the
        file's faults in that field raised as tolvane.read raises them."""
        try:
            table: "npt.NDArray[np.float32]" = _native.read_selection_at(  # type: ignore[assignment]
                os.fsencode(self.path), len(self.names), self.width, [field], self.stride, self.starts,
                self.blocks, self.end, blocks, None, False)
        except _native.Fault as fault:
            raise exception_from_fault(fault.args[0], self.path, self.names, self.width) from None
        row: "npt.NDArray[np.float32]" = table[0]
        return row

    def _read(self, fields: Sequence[int], blocks: "npt.NDArray[np.uint64]", time64: bool) -> Any:
        every = [] if len(fields) == len(self.names) else list(fields)
        try:
            return _native.read_selection_at(os.fsencode(self.path), len(self.names), self.width, every,
                                             self.stride, self.starts, self.blocks, self.end,
                                             np.ascontiguousarray(blocks, dtype=np.uint64), None, time64)
        except _native.Fault as fault:
            raise exception_from_fault(fault.args[0], self.path, self.names, self.width) from None


# A URL's scheme, as fsspec and urllib take it.
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")
# The first bytes of the compressed formats in use.
_COMPRESSED = {b"\x1f\x8b": "gzip", b"BZh": "bzip2", b"\xfd7zXZ\x00": "xz", b"\x28\xb5\x2f\xfd": "zstd",
               b"\x04\x22\x4d\x18": "lz4", b"PK\x03\x04": "zip"}


def refuse_streams(path: str, path_bytes: bytes, what: str) -> None:
    """A clear error for a source that can only be read front to back: a URL (that is no local
    file), a pipe or a device, or a compressed file. Windows need a file's bytes in place."""
    if _URL.match(path) and not os.path.exists(path_bytes):
        raise ValueError(f"{what} needs a local file, not the URL {path!r}: windows read a file's "
                         "blocks in place; tolvane.read reads a remote file front to back")
    try:
        kind = os.stat(path_bytes).st_mode
    except OSError:
        return  # opening it says why
    if not stat.S_ISREG(kind) and not stat.S_ISDIR(kind):
        raise ValueError(f"{path}: {what} needs a regular file, not a pipe or a device: windows "
                         "read a file's blocks in place; tolvane.read reads a stream front to back")
    if stat.S_ISDIR(kind):
        return
    try:
        with builtins.open(path_bytes, "rb") as file:
            start = file.read(6)
    except OSError:
        return  # opening it again says why
    for magic, name in _COMPRESSED.items():
        if start.startswith(magic):
            raise ValueError(f"{path}: {what} needs an uncompressed plot file, not a {name} file: "
                             "windows read a file's blocks in place; tolvane.read reads a "
                             "compressed file front to back")


def chosen_blocks(blocks: Blocks, count: int) -> Union[range, "npt.NDArray[np.int64]"]:
    """The block numbers that `blocks` stands for among `count`: a range for a slice, else an
    array, in the order given (negative numbers count from the end); IndexError for one out of
    range."""
    if isinstance(blocks, slice):
        return range(count)[blocks]
    if isinstance(blocks, range):
        # Checked by its ends, before any array the length of it is made.
        if len(blocks) == 0:
            return np.empty(0, dtype=np.int64)
        for end in (blocks[0], blocks[-1]):
            if not -count <= end < count:
                raise IndexError(_out_of_range(end, count))
        if blocks[0] >= 0 and blocks[-1] >= 0:
            return blocks
    if isinstance(blocks, (str, bytes)) or isinstance(blocks, numbers.Integral):
        raise TypeError("blocks must be a slice or a sequence of block numbers, not "
                        f"{type(blocks).__name__}; pass [{blocks!r}] for one block")
    numbers_given = np.asarray(blocks)
    if numbers_given.size == 0:
        return np.empty(0, dtype=np.int64)
    if numbers_given.ndim != 1 or not (np.issubdtype(numbers_given.dtype, np.integer)
                                       or numbers_given.dtype == object):
        raise TypeError("blocks must be a slice or a sequence of block numbers (ints)")
    if np.issubdtype(numbers_given.dtype, np.integer) and numbers_given.dtype != np.uint64:
        chosen = numbers_given.astype(np.int64)  # exact: no value is past int64's range
    else:
        given = [operator.index(x) for x in numbers_given.tolist()]
        # Checked before numpy takes them: a number past int64 is out of range, not an overflow.
        outside = next((number for number in given if not -count <= number < count), None)
        if outside is not None:
            raise IndexError(_out_of_range(outside, count))
        chosen = np.array(given, dtype=np.int64)
    out_of_range = (chosen < -count) | (chosen >= count)
    if out_of_range.any():
        raise IndexError(_out_of_range(int(chosen[out_of_range][0]), count))
    return np.where(chosen < 0, chosen + count, chosen)


def _out_of_range(block: int, count: int) -> str:
    return f"block {block} is out of range: the file has {count} complete blocks"


def _time_bound(value: Any, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"time's {name} must be a real number, not {type(value).__name__}")
    bound = float(value)
    if math.isnan(bound):
        raise ValueError(f"time's {name} is NaN")
    return bound


def _seconds(value: Any, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not float(value) >= 0:
        raise ValueError(f"{name} must be a number of seconds, at least 0, not {value!r}")
    return float(value)
