# Type information for tolvane._native, the package's native part. Made by nanobind's stubgen
# (python -m nanobind.stubgen -m tolvane._native, against a build on the import path), then
# given by hand what the bindings do not say: the types that they leave as tuple or object, and
# what nanobind's objects are to mypy's stubtest, which tools/check_types.sh runs on this file
# without an allowlist (a class made by nanobind's own metaclass, with a C++ value in its
# instances, and a function that is an object of nanobind's function type).
from collections.abc import Sequence
from typing import Annotated, Any, Protocol, type_check_only

import numpy
from numpy.typing import NDArray
from typing_extensions import Buffer, Never, disjoint_base

class Fault(Exception):
    """A fault of a read; its one argument describes it as a dict."""

class ReadInterrupted(KeyboardInterrupt):
    """
    A read that Ctrl-C ended on a thread other than the main one (the main one raises KeyboardInterrupt itself), or that read_many ended as it was interrupted. A KeyboardInterrupt, so that what handles Ctrl-C handles it.
    """

@type_check_only
class _NbType(type):
    """nanobind.nb_type, the metaclass of nanobind's classes; not importable."""

@disjoint_base
class StopFlag(metaclass=_NbType):
    """Set to end the reads it is given to; they raise ReadInterrupted."""

    def __init__(self) -> None: ...

    def set(self) -> None:
        """Ends the reads it was given to, at their next look at it."""

    def is_set(self) -> bool: ...

@disjoint_base
class ByteQueue(metaclass=_NbType):
    """Bytes fed by one thread to a read on another, through a ring of a few MiB."""

    def __init__(self) -> None: ...

    def put(self, data: Buffer) -> bool:
        """
        Copies every byte of `data` (any object with the buffer protocol) in, waiting for room without the GIL: False once the read has ended and needs no more, else True.
        """

    def expect_size(self, bytes: int) -> None:
        """
        How many bytes the feed is expected to hold in all (0: unknown), for the read to size its storage once; told before the first put.
        """

    def close_writing(self) -> None:
        """
        No more bytes come: the read sees the end of its file once it has taken those in.
        """

    def close_reading(self) -> None:
        """The read needs no more bytes: every put from now on returns False."""

    def end_seen(self) -> bool:
        """
        Whether the read has met the end: every byte put was taken, and writing was closed.
        """

    def line_feeds_taken(self) -> int:
        """How many line feeds the bytes the read took out hold."""

@disjoint_base
class PlotHead(metaclass=_NbType):
    """An open plot file, read up to its first block."""

    # Made only by open_plot: its __init__ raises TypeError whatever it is given.
    def __init__(self, *args: Never, **kwargs: Never) -> None: ...

    @property
    def count(self) -> int:
        """The parameter count on line 1."""

    @property
    def names(self) -> tuple[str, ...]:
        """Each name line's last token, in order."""

    @property
    def name_lines(self) -> tuple[str, ...]:
        """Each name line's whole text, trimmed of whitespace, in order."""

    @property
    def title(self) -> str:
        """Line 1 before the parameter count, trimmed of whitespace."""

    @property
    def head_cut(self) -> dict[str, Any] | None:
        """The fault of a head that the end of the file cuts, read with keep_cut; else None."""

    def at_end(self, stop: StopFlag | None = None) -> bool:
        """Whether the file ends right after its name lines."""

    def first_block_ended(self) -> bool: ...
    def first_block_fault(self, width: int, stop: StopFlag | None = None, keep_cut: bool = False) -> dict[str, Any] | None:
        """
        Block 0 read at `width` from a copy: None if it reads whole, else its fault; with `keep_cut`, the fault says whether the end of the file caused it ("cut").
        """

    def read_blocks(self, width: int, fields: Sequence[int], threads: int = 0, piece_bytes: int = 0, stop: StopFlag | None = None, keep_cut: bool = False, time64: bool = False) -> Annotated[NDArray[numpy.float32], dict(shape=(None, None))] | tuple[Annotated[NDArray[numpy.float32], dict(shape=(None, None))], Annotated[NDArray[numpy.float64], dict(shape=(None,))]]:
        """
        A float32 array of one row per field of `fields` (ascending from 0; empty for all) and one column per block, read on up to `threads` threads (0: as many as pay) in pieces of `piece_bytes` (0: the reader's choice). With `keep_cut`, a last block that the end of the file cuts ends the read before it, and `cut` tells its fault. With `time64`, the pair (table, time): the time as float64, the table's row 0 unwritten. Once only.
        """

    @property
    def cut(self) -> dict[str, Any] | None:
        """
        After read_blocks(keep_cut=True): the fault of the block that the end of the file cut, or None.
        """

    def extend_index(self, width: int, threads: int = 0, stop: StopFlag | None = None, piece_bytes: int = 0, time64: bool = False, times: bool = True, bin_blocks: int = 0) -> int:
        """
        Indexes the blocks completed since the last call (the first makes the index at `width`) on up to `threads` threads (0: as many as pay) in pieces of `piece_bytes` (0: the index's choice), and returns how many blocks are indexed; file_changed where the file is shorter than them. The first call's `time64` decides how the times are read: binary64, or binary32; and its `times` whether they are kept at all (without them, the calls on times raise ValueError); its `bin_blocks`, where not 0, that the stride divides it.
        """

    @property
    def index_blocks(self) -> int:
        """The complete blocks indexed."""

    @property
    def index_end(self) -> int:
        """Where in the file the blocks indexed end."""

    @property
    def index_stride(self) -> int:
        """Every how many blocks the index keeps a block's start."""

    def index_starts(self) -> Annotated[NDArray[numpy.uint64], dict(shape=(None,))]:
        """A copy of the starts the index keeps: block i x index_stride at element i."""

    def index_times(self, first: int, end: int) -> Annotated[NDArray[numpy.float64], dict(shape=(None,))]:
        """
        A float64 copy of the times of blocks first .. end - 1 (those of unknown_times are 0); binary32 values, exactly, where the index was made without time64.
        """

    def unknown_times(self) -> Annotated[NDArray[numpy.uint64], dict(shape=(None,))]:
        """The blocks whose time the index did not read, ascending."""

    def set_unknown_times(self, times: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> None:
        """
        The reader's times of the blocks of unknown_times, in that order.
        """

    @property
    def times_rise(self) -> bool:
        """Whether every time is known and none is below the one before it."""

    def time_bounds(self, t0: float, t1: float) -> tuple[int, int] | None:
        """
        Where the times rise: (first, end) of the blocks whose time t has t0 <= t <= t1; else None.
        """

    def time_matches(self, t0: float, t1: float) -> Annotated[NDArray[numpy.uint64], dict(shape=(None,))]:
        """The blocks whose time t has t0 <= t <= t1, ascending."""

    def read_selection(self, fields: Sequence[int], blocks: Annotated[NDArray[numpy.uint64], dict(shape=(None,), order='C', device='cpu', writable=False)], stop: StopFlag | None = None, hint_block: int = 0, hint_offset: int = 0, time64: bool = False) -> Annotated[NDArray[numpy.float32], dict(shape=(None, None))] | tuple[Annotated[NDArray[numpy.float32], dict(shape=(None, None))], Annotated[NDArray[numpy.float64], dict(shape=(None,))]]:
        """
        The blocks of `blocks` (ascending, each once, indexed), read from their own bytes: a float32 array of one row per field of `fields` (ascending from 0; empty for all), one column per block. Block `hint_block` starts at byte `hint_offset`, where given (sparing the search for it). With `time64`, the pair (table, time), as read_blocks gives it.
        """

    def cut_after_index(self, stop: StopFlag | None = None) -> dict[str, Any] | None:
        """
        The fault of the block that the end of the file cuts after the blocks indexed (as incomplete='keep' keeps it), or None where the file ends with them.
        """

    def block_offsets(self, blocks: Annotated[NDArray[numpy.uint64], dict(shape=(None,), order='C', device='cpu', writable=False)], stop: StopFlag | None = None) -> Annotated[NDArray[numpy.uint64], dict(shape=(None,))]:
        """
        Where each block of `blocks` (ascending, at most index_blocks) starts in the file.
        """

    def close(self) -> None:
        """Closes the file; nothing more can be read from it."""

@disjoint_base
class PlotText(metaclass=_NbType):
    """The blocks of a plot file to write, as text."""

    # Made only by plot_text: its __init__ raises TypeError whatever it is given.
    def __init__(self, *args: Never, **kwargs: Never) -> None: ...

    @property
    def blocks(self) -> int:
        """The number of blocks."""

    def size(self, first: int, last: int) -> int:
        """The bytes of blocks [first, last)."""

    def format(self, first: int, last: int) -> Annotated[NDArray[numpy.uint8], dict(shape=(None,))]:
        """The text of blocks [first, last), as a uint8 array."""

    def write(self, fd: int, head: bytes, threads: int = 0, start_writeback: bool = False) -> None:
        """
        Writes `head`, then every block, to the descriptor `fd`: in a regular file, pieces of the blocks formatted and written in place on up to `threads` threads (0: as many as pay); with `start_writeback`, each piece written is handed to the disk at once.
        """

@type_check_only
class _PlotTextOf(Protocol):
    """nanobind.nb_func, as plot_text's signature."""

    def __call__(self, columns: Sequence[Annotated[NDArray[numpy.float32], dict(shape=(None,), order='C', device='cpu', writable=False)]], width: int, time: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)] | None = None) -> PlotText:
        """
        The blocks of a plot file of these float32 columns (the time first), at this field width; with a float64 `time`, the time is that and the columns are the parameters after it.
        """

plot_text: _PlotTextOf

@type_check_only
class _ReadSelectionAt(Protocol):
    """nanobind.nb_func, as read_selection_at's signature."""

    def __call__(self, path: bytes, count: int, width: int, fields: Sequence[int], stride: int, starts: Annotated[NDArray[numpy.uint64], dict(shape=(None,), order='C', device='cpu', writable=False)], indexed: int, end: int, blocks: Annotated[NDArray[numpy.uint64], dict(shape=(None,), order='C', device='cpu', writable=False)], stop: StopFlag | None = None, time64: bool = False) -> Annotated[NDArray[numpy.float32], dict(shape=(None, None))] | tuple[Annotated[NDArray[numpy.float32], dict(shape=(None, None))], Annotated[NDArray[numpy.float64], dict(shape=(None,))]]:
        """
        PlotHead.read_selection of the file at `path`, opened here, through the block starts of an index of it made elsewhere (index_stride, index_starts); file_changed where it no longer has `count` parameters. Without `time64`, `fields` may leave out the time (0).
        """

read_selection_at: _ReadSelectionAt

@type_check_only
class _OpenPlot(Protocol):
    """nanobind.nb_func, as open_plot's signature."""

    def __call__(self, path: bytes, stop: StopFlag | None = None, keep_cut: bool = False) -> PlotHead:
        """
        Opens the plot file at `path` (bytes) and reads its count and names. Every step may be ended by Ctrl-C, or by the StopFlag `stop` where given. A head that the end of the file cuts raises its fault, or with `keep_cut` is kept in head_cut.
        """

open_plot: _OpenPlot

@type_check_only
class _OpenPlotFd(Protocol):
    """nanobind.nb_func, as open_plot_fd's signature."""

    def __call__(self, fd: int, stop: StopFlag | None = None, keep_cut: bool = False) -> PlotHead:
        """
        Reads the count and names of the plot file open at `fd`, from where it stands, as open_plot does. The head reads a duplicate of `fd`, which it owns; the caller keeps and closes `fd`. A file that is not regular (a pipe) must be open with O_NONBLOCK.
        """

open_plot_fd: _OpenPlotFd

@type_check_only
class _OpenPlotQueue(Protocol):
    """nanobind.nb_func, as open_plot_queue's signature."""

    def __call__(self, queue: ByteQueue, stop: StopFlag | None = None, keep_cut: bool = False) -> PlotHead:
        """
        Reads the count and names of the plot file whose bytes a feeder puts into `queue`, as open_plot does; the head keeps the queue.
        """

open_plot_queue: _OpenPlotQueue

@type_check_only
class _CheckBand(Protocol):
    """nanobind.nb_func, as check_band's signature."""

    def __call__(self, reference_time: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], reference_values: Annotated[NDArray[numpy.float32], dict(shape=(None,), order='C', device='cpu', writable=False)], actual_time: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], actual_values: Annotated[NDArray[numpy.float32], dict(shape=(None,), order='C', device='cpu', writable=False)], begin: int, end: int, atol: float, rtol: float, range_rtol: float, half_width: float, previous: bool, lower: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu')] | None = None, upper: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu')] | None = None, error: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu')] | None = None) -> tuple[float, int, int, int]:
        """
        Checks the actual's points [begin, end) against the band around the reference: (max_error, outside, first_outside, worst), -1 for no index; the band and the errors written into lower, upper and error where given. Runs without the GIL.
        """

check_band: _CheckBand
