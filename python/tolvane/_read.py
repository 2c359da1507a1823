"""tolvane.read: the arguments checked, the columns found by name, the width found if need be,
and the blocks read without the GIL."""

from __future__ import annotations

import operator
import os
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from . import _native, _source
from ._errors import (CompressionError, FormatError, cut_error, exception_from_fault, format_error, raised_error,
                      with_hint)
from ._names import Key, field_of, name_index
from ._plot import Plot
from ._source import PathArg, Source

# The widths the simulator writes: 6 significant digits in 12 bytes, 9 in 15.
DETECTED_WIDTHS = (12, 15)
# The width of a file without a block, which has no field to tell it by: tolvane.write's own.
NO_BLOCK_WIDTH = 15
_LARGEST_WIDTH = 2**64 - 1


INCOMPLETE = ("raise", "keep")


def read(source: Source, n_digits: Optional[int] = None, *,
         columns: Optional[Iterable[Key]] = None, threads: Optional[int] = None,
         compression: Optional[str] = "infer",
         storage_options: Optional[Mapping[str, Any]] = None, incomplete: str = "raise") -> Plot:
    """Read a TOLVANE plot file into named float32 arrays.

    Args:
        source: the file: a local path (``str``, ``bytes`` or any ``os.PathLike``); a URL
            (``s3://bucket/run.plt``, ``https://...``, ``memory://...``, any scheme that fsspec
            knows), opened through fsspec (``pip install 'quorel[remote]'``, and the file
            system's own package, such as s3fs); or a binary file object (anything with
            ``readinto``, or ``read`` giving bytes: ``open(p, "rb")``, ``io.BytesIO``,
            ``gzip.open(p)``, an fsspec file), read from where it stands to its end and left
            open. A text-mode file object raises TypeError.
        n_digits: the width of a field in bytes (at least 1), or ``None`` to find it: 12 or 15,
            whichever reads the file's first block (block 0) without a fault. Where both do
            or neither does, :class:`FormatError` says so and asks for ``n_digits``. A file
            that ends after its name lines reads as a Plot without a block, at width 15
            (tolvane.write's default) unless ``n_digits`` is given.
        columns: ``None`` for every parameter, or an iterable of parameter names and/or
            indices (0 is the time, ``i`` the parameter of the ``i``-th name line). The time
            is always read. A name that is not in the file, one that names several parameters,
            or an index out of range raises ``KeyError`` before any block is read. Fields of
            the parameters not asked for are neither checked nor converted, so a bad number,
            or a line too short for them, is not reported there; every line must still be
            there and be UTF-8.
        threads: how many threads may read the file's blocks at once. ``None`` takes the cores
            the process may run on (its CPU affinity) for a file whose blocks take 8 MiB or
            more, and one thread below that, where starting threads costs about what they
            save; ``1`` reads on the calling thread only; ``N`` on at most N threads. A file
            split across threads gives the very values and the very first fault that one
            thread gives. Only a local file that is not compressed is split: any other source
            is decompressed (or fetched) on one thread while another parses it.
        compression: ``"infer"`` (the default) tells gzip, bzip2, xz and zstd by the first bytes
            of the file, whatever its name; ``None`` reads the bytes as they are (a file that
            starts as a compressed stream raises :class:`FormatError`, saying which);
            ``"gzip"``, ``"bz2"``, ``"xz"`` or ``"zstd"`` decompresses it as that.
        storage_options: for a URL, the options of its file system, passed to fsspec as pandas
            passes them (``{"endpoint_url": ..., "anon": True}`` for s3fs, ...). ValueError
            with any other source.
        incomplete: what a file whose end falls inside its last block gives (a simulation that
            crashed, was killed or is still writing). ``"raise"``: the FormatError of that
            block. ``"keep"``: the complete blocks before it, and the Plot's ``incomplete`` is
            that FormatError. Only a fault that the end of the file causes is forgiven: the
            file ends inside the block, or the fault lies on its last line, which has no line
            feed; a last line without a line feed whose fields all read ends a complete block,
            so that "keep" never gives less than "raise". Any other fault raises. A head
            still being written (the file empty, fewer name lines than the count, or the last
            head line without a line feed) raises saying the head is incomplete; "keep" gives
            a Plot without blocks, of the names of the name lines that ended.

    Returns:
        A :class:`Plot`: the names, and one ``numpy.float32`` array per parameter read.
        Every value is the binary32 number nearest to its field's decimal text, exactly as
        ``quorel.rust_read_tolvane`` gives it, whatever the source.

    Raises:
        FormatError: the file breaks the format; it says where (a ``ValueError``). Its
            ``path`` is the source as given: the path, the URL, or a file object's ``name``
            (``"<stream>"`` where it has none).
        CompressionError: a compressed file whose stream is corrupt or cut short (a
            FormatError).
        OSError: the file cannot be opened or read (``FileNotFoundError``,
            ``PermissionError``, ``IsADirectoryError``, ...), as ``open()`` raises it, naming
            the source; an error of the file object or of the file system (the network) while
            it is read comes as an OSError that names the source, the error as its cause.
        FileChangedError: the file was cut short or written again while it was read (an
            ``OSError``); a file that only grows is read to where it ends.
        KeyError: a column asked for is not in the file.
        ImportError: a library the source needs is not installed (fsspec for a URL, zstandard
            for zstd before Python 3.14); it names the extra that brings it.
        TypeError, ValueError: a bad argument, before the file is opened.
        MemoryError: the values do not fit in memory.
        KeyboardInterrupt: Ctrl-C, within a few hundredths of a second, the read's threads
            stopped and the file closed (:class:`ReadInterrupted` on a thread other than the
            main one).

    The GIL is released while the file is read and converted: threads reading other files run
    meanwhile. A source that is not a local uncompressed file is held in memory a piece at a
    time only: beyond the result, at most a few MiB of buffers.
    """
    return read_in_pieces(source, n_digits, columns=columns, threads=threads, compression=compression,
                          storage_options=storage_options, incomplete=incomplete)


def read_in_pieces(source: Source, n_digits: Optional[int] = None, *,
                   columns: Optional[Iterable[Key]] = None, threads: Optional[int] = None,
                   piece_bytes: int = 0, stop: "Optional[_native.StopFlag]" = None,
                   compression: Optional[str] = "infer",
                   storage_options: Optional[Mapping[str, Any]] = None, incomplete: str = "raise") -> Plot:
    """read(), with the size of the pieces a file is split into given (0: the reader's own),
    for tests, which split small files into pieces of a few bytes; and with a StopFlag that
    ends the read, for read_many."""
    width = _width_argument(n_digits)
    wanted = _columns_argument(columns)
    thread_count = _threads_argument(threads)
    keep = incomplete_argument(incomplete)
    how, options = _source_arguments(source, compression, storage_options)
    with _source.opened(source, how, options) as opened:
        try:
            plot = _read_opened(opened, width, wanted, thread_count, piece_bytes, stop, keep)
        except FormatError as error:
            # The feed's failure in its place, where it may be what the reader met.
            failure = opened.failure(error.line, True, stop)
            if failure is not None:
                raise failure from failure.__cause__
            # A stream that failed after the fault (cut short, most likely) is said too, in
            # the traceback, as what may have caused it.
            error.__cause__ = opened.feed_error(error.line)
            raise
        failure = opened.failure(0, False)
        if failure is not None:
            if keep and isinstance(failure, CompressionError) and failure.cut:
                # A stream cut short is a file cut short: its complete blocks, and the error
                # that incomplete="raise" raises.
                return Plot(plot.path, plot.n_digits, plot.names, plot._fields, plot._table, plot.title,
                            plot.name_lines, failure)
            raise failure from failure.__cause__
        return plot


def read_names(source: Source, compression: Optional[str] = "infer",
               storage_options: Optional[Mapping[str, Any]] = None) -> "tuple[str, Tuple[str, ...]]":
    """The source's name and its parameter names, its blocks not read."""
    how, options = _source_arguments(source, compression, storage_options)
    with _source.opened(source, how, options) as opened:
        try:
            try:
                head = opened.open_head(None)
            except _native.Fault as fault:
                raise exception_from_fault(fault.args[0], opened.name) from None
        except FormatError as error:
            failure = opened.failure(error.line, True)
            if failure is not None:
                raise failure from failure.__cause__
            raise
        head.close()
        return opened.name, head.names


def _source_arguments(source: Source, compression: Optional[str],
                      storage_options: Optional[Mapping[str, Any]]) -> "tuple[Optional[str], Dict[str, Any]]":
    how = _source.compression_argument(compression)
    options = _source.storage_options_argument(storage_options)
    _source.check_storage_options_apply(source, options)
    return how, options


def _read_opened(opened: "_source.OpenSource", width: Optional[int], wanted: Optional[List[Key]],
                 thread_count: int, piece_bytes: int, stop: "Optional[_native.StopFlag]",
                 keep: bool) -> Plot:
    name = opened.name
    try:
        head = opened.open_head(stop, keep)
    except _native.Fault as fault:
        raise exception_from_fault(fault.args[0], name) from None
    # Closed here on every way out, not when the head goes: an exception's traceback keeps it.
    try:
        if head.head_cut is not None:
            return head_cut_plot(name, width, head)
        names = head.names
        fields = _fields_of(wanted, names, name)
        other_width = None
        try:
            if width is None:
                width = _detect_width(head, name, names, stop, keep)
            else:
                other_width = _other_width_that_reads(head, width, stop)
            table = head.read_blocks(width, [] if fields is None else fields, thread_count, piece_bytes,
                                     stop, keep)
            cut = head.cut
        except _native.Fault as fault:
            error = raised_error(fault.args[0], name, names, width)
            if other_width is not None and isinstance(error, FormatError):
                error = with_hint(error, f"; the file reads at width {other_width}, not {width}: pass "
                                  f"n_digits={other_width}, or None to find it")
            raise error from None
    finally:
        head.close()
    return Plot(name, width, names, range(len(names)) if fields is None else fields, table,
                head.title, head.name_lines,
                None if cut is None else format_error(cut, name, names, width))


def _other_width_that_reads(head: "_native.PlotHead", width: int,
                            stop: "Optional[_native.StopFlag]") -> Optional[int]:
    """Where a width the simulator writes (12 or 15) was given and block 0 does not read at it,
    but reads at the other: that one (for the read's error to say so); else None."""
    if width not in DETECTED_WIDTHS or head.at_end(stop):
        return None
    fault = head.first_block_fault(width, stop)
    if fault is None or fault.get("at_file_end") or not fault["kind"].startswith("field_"):
        return None
    other = DETECTED_WIDTHS[1 - DETECTED_WIDTHS.index(width)]
    return other if head.first_block_fault(other, stop) is None else None


def head_cut_plot(path: str, width: Optional[int], head: "_native.PlotHead") -> Plot:
    """incomplete="keep"'s Plot of a file whose head the end of the file cuts: no block, and
    only the names of the name lines that ended (no name it cannot know)."""
    assert head.head_cut is not None
    names = tuple(head.names)
    return Plot(path, width or 0, names, range(len(names)), np.empty((len(names), 0), dtype=np.float32),
                head.title, head.name_lines, format_error(head.head_cut, path, names, width))


def _path_argument(path: PathArg) -> "tuple[str, bytes]":
    """A local path as text (for messages) and as the bytes the system takes."""
    given = os.fspath(path)
    encoded = os.fsencode(given)
    if b"\0" in encoded:
        raise ValueError("embedded null byte")
    return os.fsdecode(given), encoded


def incomplete_argument(incomplete: str) -> bool:
    """Whether a cut last block is kept out ("keep") rather than raised ("raise")."""
    if not isinstance(incomplete, str) or incomplete not in INCOMPLETE:
        raise ValueError(f"incomplete must be 'raise' or 'keep', not {incomplete!r}")
    return incomplete == "keep"


def _width_argument(n_digits: Optional[int]) -> Optional[int]:
    if n_digits is None:
        return None
    if isinstance(n_digits, bool):
        raise TypeError("n_digits must be an int or None, not bool")
    width = operator.index(n_digits)
    if not 1 <= width <= _LARGEST_WIDTH:
        raise ValueError(f"n_digits must be from 1 to {_LARGEST_WIDTH}, not {width}")
    return width


def _threads_argument(threads: Optional[int]) -> int:
    """The thread count for the reader: 0 to leave it to the reader."""
    if threads is None:
        return 0
    if isinstance(threads, bool):
        raise TypeError("threads must be an int or None, not bool")
    count = operator.index(threads)
    if count < 1:
        raise ValueError(f"threads must be at least 1, not {count}")
    return min(count, 1024)


def _columns_argument(columns: Optional[Iterable[Key]]) -> Optional[List[Key]]:
    if columns is None:
        return None
    if isinstance(columns, (str, bytes)):
        raise TypeError("columns must be an iterable of names and indices, not a single "
                        f"{type(columns).__name__}; pass [{columns!r}] for one column")
    keys: List[Key] = []
    for key in columns:
        if isinstance(key, str):
            keys.append(key)
        elif isinstance(key, bool) or not hasattr(type(key), "__index__"):
            raise TypeError(f"columns holds {key!r}: a column is a name (str) or an index (int)")
        else:
            keys.append(operator.index(key))
    return keys


def _fields_of(wanted: Optional[List[Key]], names: Sequence[str], path: str) -> Optional[List[int]]:
    """The fields to read, ascending from the time's; None for all of them."""
    if wanted is None:
        return None
    index = name_index(names)
    fields = {0}
    fields.update(field_of(key, names, index, path) for key in wanted)
    if len(fields) == len(names):
        return None
    return sorted(fields)


def _detect_width(head: "_native.PlotHead", path: str, names: Sequence[str],
                  stop: "Optional[_native.StopFlag]", keep: bool = False) -> int:
    """12 or 15: the one width of the two at which block 0 reads without a fault. Where the
    cut of a file read with incomplete="keep" lies in block 0, there is no block to tell. A
    file that ends after its name lines has no block to read at any width: NO_BLOCK_WIDTH."""
    if head.at_end(stop):
        return NO_BLOCK_WIDTH
    width = detect_width_of_complete_block(head, path, names, stop, keep)
    if width is None:
        raise FormatError(path, len(names) + 2, "the file ends inside block 0, so it has no "
                          "complete block to tell its field width (12 or 15) from; pass n_digits",
                          block=0)
    return width


def detect_width_of_complete_block(head: "_native.PlotHead", path: str, names: Sequence[str],
                                   stop: "Optional[_native.StopFlag]", keep: bool = False) -> Optional[int]:
    """_detect_width(), but None where `keep` and the end of the file cuts block 0."""
    first_block_line = len(names) + 2
    if head.at_end(stop):
        raise FormatError(path, first_block_line, "the file has no block to tell its field width "
                          "(12 or 15) from; pass n_digits")
    faults = {width: head.first_block_fault(width, stop, keep) for width in DETECTED_WIDTHS}
    if any(fault is not None and fault.get("cut") for fault in faults.values()):
        return None
    fitting = [width for width, fault in faults.items() if fault is None]
    if len(fitting) == 1:
        return fitting[0]
    if fitting:
        raise FormatError(path, first_block_line + 1, "reads at both field widths, 12 and 15; "
                          "pass n_digits", block=0)
    first, second = (faults[width] for width in DETECTED_WIDTHS)
    assert first is not None and second is not None
    if all(first[k] == second[k] for k in ("kind", "line", "block", "field")) and \
            not first["kind"].startswith("field_"):
        # The same fault at either width (the file ends inside block 0, a line is not UTF-8):
        # it is the file's, whatever the width.
        error = format_error(first, path, names, None)
        raise cut_error(error) if first.get("at_file_end") else error
    reasons = "; ".join(f"at width {width}, {_told(faults[width], path, names, width)}"
                        for width in DETECTED_WIDTHS)
    raise FormatError(path, min(first["line"], second["line"]),
                      f"reads at neither field width ({reasons}); pass n_digits", block=0)


def _told(fault: Optional[dict], path: str, names: Sequence[str], width: int) -> str:
    """A fault's message without the path and line it starts with."""
    assert fault is not None
    error = format_error(fault, path, names, width)
    return f"line {error.line}: " + str(error)[len(f"{path}:{error.line}: "):]
