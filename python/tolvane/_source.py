"""What a read reads from, its source: a local path, a URL (through fsspec), or a binary file
object; and how its bytes reach the reader.

A local regular file that is not compressed is read by the reader itself, through its own
descriptor, and may be split across threads. Every other source is fed by a thread of its own
(_feed.py), decompressed on the way where it is compressed, into a ring that the reader reads
on one thread as it reads a file. Either way the reader sees the same bytes, so the values and
the faults are the same, bit for bit; a failure of the feed itself (a corrupt or cut stream,
an error of the file object or the network) is raised in place of what the reader met at the
early end it made.
"""
from __future__ import annotations

import contextlib
import errno
import functools
import importlib
import io
import os
import re
import stat
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Protocol, Union

from . import _native
from ._compression import COMPRESSIONS, SNIFF_BYTES, StreamFailed, magic_text, sniff, zstd_content_size
from ._errors import CompressionError, FormatError
from ._feed import Feeder, LooksCompressed, Stop, fd_chunks, file_chunks, text_mode_error

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class BinaryStream(Protocol):
    """A binary file object, as a type checker sees it: one whose read gives bytes (one with
    readinto alone reads too)."""

    def read(self, size: int, /) -> bytes: ...


# A local path, a URL (a str) or a binary file object.
Source = Union[PathArg, BinaryStream]

# The name of a file object that has none.
STREAM_NAME = "<stream>"
# How much a file of fsspec's fetches at a time (its read-ahead): a few chunks, well within the
# 64 MiB a read may hold beyond its result.
FSSPEC_BLOCK_BYTES = 8 << 20

# A URL: a scheme (two characters or more, so that no local path is one), then :// or, for
# fsspec's chained URLs (simplecache::s3://...), ::.
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.\-]+(://|::)")


def is_url(source: Any) -> bool:
    return isinstance(source, str) and _URL.match(source) is not None


def is_file_object(source: Any) -> bool:
    return not isinstance(source, (str, bytes, os.PathLike)) and (
        hasattr(source, "readinto") or hasattr(source, "read"))


def source_name(source: Source) -> str:
    """The source as errors and Plot.path name it: the URL or the local path as given (as str),
    or a file object's name, "<stream>" where it has none."""
    if isinstance(source, (str, bytes, os.PathLike)):
        return os.fsdecode(source)
    if is_file_object(source):
        name = getattr(source, "name", None)
        return os.fsdecode(name) if isinstance(name, (str, bytes, os.PathLike)) else STREAM_NAME
    raise TypeError("expected a path (str, bytes or os.PathLike), a URL or a binary file object, "
                    f"not {type(source).__name__}")


def compression_argument(compression: Optional[str]) -> Optional[str]:
    if compression is None or compression == "infer" or compression in COMPRESSIONS:
        return compression
    if not isinstance(compression, str):
        raise TypeError(f"compression must be a str or None, not {type(compression).__name__}")
    raise ValueError(f"compression must be 'infer', None, {', '.join(map(repr, COMPRESSIONS))}, "
                     f"not {compression!r}")


def storage_options_argument(storage_options: Optional[Mapping[str, Any]]) -> Dict[str, Any]:
    if storage_options is None:
        return {}
    if not isinstance(storage_options, Mapping):
        raise TypeError(f"storage_options must be a mapping or None, not {type(storage_options).__name__}")
    return dict(storage_options)


def check_storage_options_apply(source: Source, options: Dict[str, Any]) -> None:
    """storage_options are for URLs: given with a local path or a file object, they are a
    mistake (a URL without its scheme, most likely), as pandas takes them."""
    if options and not is_url(source):
        raise ValueError("storage_options are for URLs (s3://..., https://...), not for "
                         f"{'a file object' if is_file_object(source) else 'a local path'}")


def _fsspec() -> Any:
    try:
        fsspec = importlib.import_module("fsspec")
        importlib.import_module("fsspec.implementations.local")
    except ImportError:
        raise ImportError("reading a URL needs fsspec: pip install 'quorel[remote]' (and the "
                          "file system's own package, such as s3fs for s3://)") from None
    return fsspec


def expand_url_pattern(pattern: str, storage_options: Dict[str, Any]) -> List[str]:
    """The URLs that a glob pattern of URLs matches, sorted."""
    fs, path = _fsspec().core.url_to_fs(pattern, **storage_options)
    return sorted(fs.unstrip_protocol(found) for found in fs.glob(path))


def named(error: BaseException, name: str) -> OSError:
    """An error of a source's open or read as the OSError that names the source as it was given
    (fsspec's name the key without its scheme, or nothing)."""
    if isinstance(error, OSError):
        number = error.errno or _ERRNO_OF.get(type(error), 0)
        if number:
            renamed = OSError(number, error.strerror or os.strerror(number), name)
        else:
            renamed = OSError(errno.EIO, str(error) or type(error).__name__, name)
    else:
        renamed = OSError(errno.EIO, f"{type(error).__name__}: {error}", name)
    renamed.__cause__ = error
    return renamed


_ERRNO_OF = {FileNotFoundError: errno.ENOENT, PermissionError: errno.EACCES,
             IsADirectoryError: errno.EISDIR, NotADirectoryError: errno.ENOTDIR,
             FileExistsError: errno.EEXIST, TimeoutError: errno.ETIMEDOUT,
             ConnectionResetError: errno.ECONNRESET, ConnectionRefusedError: errno.ECONNREFUSED}


class OpenSource:
    """A source opened for one read: `name`, and what the reader reads, handed to it by
    open_head: the descriptor of a local file, or the queue its feeder puts the bytes into."""

    def __init__(self, name: str, fd: int = -1, feeder: Optional[Feeder] = None,
                 stop: Optional[Stop] = None) -> None:
        self.name = name
        self._fd = fd
        self.feeder = feeder
        self._stop = stop

    def open_head(self, stop: "Optional[_native.StopFlag]", keep_cut: bool = False) -> "_native.PlotHead":
        """The reader's head on the source (with `keep_cut`, a head that the end of the file
        cuts is kept in its head_cut rather than raised)."""
        if self.feeder is not None:
            return _native.open_plot_queue(self.feeder.queue, stop, keep_cut)
        return _native.open_plot_fd(self._fd, stop, keep_cut)

    def end(self) -> None:
        """Ends the feed, where there is one, and waits for its thread."""
        if self.feeder is not None:
            assert self._stop is not None
            self.feeder.queue.close_reading()
            self._stop.set()
            self.feeder.join()

    def failure(self, line: int, faulted: bool, stop: "Optional[_native.StopFlag]" = None) -> Optional[BaseException]:
        """Once the reader has ended, with a FormatError at `line` (`faulted`) or with its
        blocks: what failed the feed, as the exception to raise in its place, or None.

        A corrupt stream's failure always takes the place of a FormatError, which may well come
        of it: a stream that is decompressed is drained to its end for it first, where it has
        one (a file, a URL, a file object of a known size: a read that fails costs no more than
        one that does not; not a pipe, whose writer may go on for ever), and the error names
        the fault's line. Any other failure of the feed (a cut stream, trailing garbage after a
        whole one, an error of the file object or the network, ...) takes the place of what the reader met only where the reader met the end
        of the bytes fed, as it does at the early end the failure made, and names the line the
        bytes stopped on; a fault before that is the file's own, as a cut file's is."""
        feeder = self.feeder
        if feeder is None:
            return None
        if faulted and feeder.decompressing and feeder.finite:
            feeder.drain()
            while not feeder.join(0.05):
                if stop is not None and stop.is_set():
                    self.end()
                    raise _native.ReadInterrupted()
        self.end()
        error = feeder.failure
        if error is None:
            return None
        if feeder.queue.end_seen():
            return self.feed_error(feeder.queue.line_feeds_taken() + 1)
        if faulted and isinstance(error, StreamFailed) and not error.cut and not error.trailing:
            return self.feed_error(line)  # a corrupt stream (trailing garbage leaves the bytes before it whole)
        return None

    def feed_error(self, line: int) -> Optional[BaseException]:
        """What failed the feed, once it has ended, as the exception that says so; None where
        it did not fail."""
        error = None if self.feeder is None else self.feeder.failure
        if error is None:
            return None
        if isinstance(error, StreamFailed):
            return CompressionError(self.name, line, error.compression, error.cut, error.detail,
                                    error.trailing)
        if isinstance(error, LooksCompressed):
            return looks_compressed(self.name, error.compression, error.first)
        if isinstance(error, (TypeError, ImportError)):
            return error
        return named(error, self.name)


def looks_compressed(name: str, compression: str, first: bytes) -> FormatError:
    return FormatError(name, 1, f"the file looks {compression}-compressed (it starts with "
                                f"{magic_text(first, compression)}); read it with compression="
                                f"'infer' (the default) or {compression!r}")


@contextlib.contextmanager
def opened(source: Source, compression: Optional[str], storage_options: Dict[str, Any]) -> Iterator[OpenSource]:
    """`source` opened for a read, its feed (where it has one) ended and waited for, and whatever
    was opened here closed, on every way out."""
    name = source_name(source)
    stop = Stop()
    feeder: Optional[Feeder]
    fd = -1
    with contextlib.ExitStack() as owned:
        if isinstance(source, (str, bytes, os.PathLike)) and not is_url(source):
            feeder, fd = _local(os.fsencode(source), name, compression, stop, owned)
        elif not isinstance(source, (str, bytes, os.PathLike)):
            if isinstance(source, io.TextIOBase):
                raise text_mode_error()
            hint, finite = _stream_size_hint(source)
            feeder = Feeder(file_chunks(source, stop), compression, stop, hint, finite)
        else:
            fsspec = _fsspec()
            fs, path = fsspec.core.url_to_fs(source, **storage_options)
            if isinstance(fs, fsspec.implementations.local.LocalFileSystem):
                feeder, fd = _local(path, name, compression, stop, owned)
            else:
                # HTTP(S) streamed with one request (block_size 0): no range requests, which
                # some servers refuse, and a read that goes front to back needs none.
                block = 0 if "http" in _protocols(fs) else FSSPEC_BLOCK_BYTES
                try:
                    stream = fs.open(path, "rb", block_size=block)
                except (ImportError, ValueError, TypeError):
                    raise
                except Exception as error:
                    raise named(error, name) from error
                owned.callback(stream.close)
                hint, _ = _stream_size_hint(stream)
                feeder = Feeder(file_chunks(stream, stop), compression, stop, hint, finite=True)
        if feeder is None:
            yield OpenSource(name, fd)
            return
        opened_source = OpenSource(name, feeder=feeder, stop=stop)
        owned.callback(opened_source.end)
        feeder.start()
        yield opened_source


def _protocols(fs: Any) -> "tuple[str, ...]":
    protocol = fs.protocol
    return (protocol,) if isinstance(protocol, str) else tuple(protocol)


def _local(path: Union[str, bytes], name: str, compression: Optional[str], stop: Stop,
           owned: contextlib.ExitStack) -> "tuple[Optional[Feeder], int]":
    """A local file: read by the reader itself where it is a regular file whose first bytes are
    not a compressed stream's (or a folder, whose read fails as the reader says): its
    descriptor; else fed. The descriptor is closed by `owned`. Opened without waiting (O_NONBLOCK), so that a FIFO without
    a writer does not hold the open."""
    if (b"\0" in path) if isinstance(path, bytes) else ("\0" in path):
        raise ValueError("embedded null byte")
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
    except OSError as error:
        number = error.errno or errno.EIO
        raise OSError(number, os.strerror(number), name) from None
    owned.callback(os.close, fd)
    mode = os.fstat(fd).st_mode
    regular = stat.S_ISREG(mode)
    if stat.S_ISDIR(mode):
        return None, fd
    if regular and compression in ("infer", None):
        first = os.pread(fd, SNIFF_BYTES, 0)
        kind = sniff(first)
        if kind is None:
            return None, fd
        if compression is None:
            raise looks_compressed(name, kind, first)
    return Feeder(fd_chunks(fd, regular, stop, owned), compression, stop,
                  functools.partial(_file_size_hint, fd, regular), finite=regular), fd


# What the bytes of a source will be, to size the values' storage once: the decompressed size
# where the stream states it (zstd's frame header, gzip's last four bytes), or the bytes left of
# a plain stream. An estimate only: one too small makes the storage grow, one too large costs
# address space alone.

def _file_size_hint(fd: int, regular: bool, kind: Optional[str], first: bytes) -> int:
    if kind == "zstd":
        return zstd_content_size(first)
    if kind != "gzip" or not regular:
        return 0
    size = os.fstat(fd).st_size
    if size < 18:
        return 0
    # The size modulo 2**32 of the last member: past 4 GiB, as many times 2**32 more as bring
    # it to the compressed size at least.
    stated = int.from_bytes(os.pread(fd, 4, size - 4), "little")
    while stated < size:
        stated += 1 << 32
    return stated


def _stream_size_hint(stream: Any) -> "tuple[Callable[[Optional[str], bytes], int], bool]":
    """The hint for a file object: from a zstd header, or the bytes left of a plain stream where
    the stream tells its size (an fsspec file, a file of the system, an io.BytesIO); and whether
    it told one (it then has an end)."""
    left = -1
    with contextlib.suppress(Exception):  # a stream that cannot tell: no hint
        size = getattr(stream, "size", None)
        if not isinstance(size, int):
            if isinstance(stream, io.BytesIO):  # its end found by seeking (getbuffer would copy it)
                at = stream.tell()
                size = stream.seek(0, io.SEEK_END)
                stream.seek(at)
            else:
                status = os.fstat(stream.fileno())
                size = status.st_size if stat.S_ISREG(status.st_mode) else 0
        left = max(size - stream.tell(), 0)

    def hint(kind: Optional[str], first: bytes) -> int:
        if kind == "zstd":
            return zstd_content_size(first)
        return max(left, 0) if kind is None else 0

    return hint, left >= 0
