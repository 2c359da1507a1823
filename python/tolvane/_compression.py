"""The compressions tolvane reads: each told from its first bytes, and decompressed piece by piece
by the fastest library at hand, so that neither the compressed nor the decompressed bytes are
ever held whole.

| compression | first bytes | decompressed by |
|---|---|---|
| gzip | 1F 8B | ISA-L (``isal``: installed by default where it has a wheel, else the extra ``isal``), else the standard library's zlib |
| bz2 | ``BZh``, a block size digit, then a block's or the end's mark | the standard library's bz2 |
| xz | FD 37 7A 58 5A 00 | the standard library's lzma |
| zstd | 28 B5 2F FD (or a skippable frame's 5x 2A 4D 18) | the standard library's compression.zstd (3.14+), else ``zstandard`` (the extra ``zstd``) |

Every library used releases the GIL while it decompresses, so that the parsing, on another
thread, goes on meanwhile.
"""

from __future__ import annotations

import importlib
import re
from typing import Any, Callable, Iterator, Optional, Union

COMPRESSIONS = ("gzip", "bz2", "xz", "zstd")
# The most bytes a compression is told by.
SNIFF_BYTES = 10
# The most bytes one call of a decompressor hands out: small enough to stay in cache while its
# line feeds are counted and it is written into the pipe, large enough that a call costs little.
OUTPUT_BYTES = 1 << 20

_BZ2_BLOCK = re.compile(rb"BZh[1-9](\x31\x41\x59\x26\x53\x59|\x17\x72\x45\x38\x50\x90)")
_MAGIC = (("gzip", b"\x1f\x8b"), ("xz", b"\xfd7zXZ\x00"), ("zstd", b"\x28\xb5\x2f\xfd"))
_ZSTD_SKIPPABLE = re.compile(rb"[\x50-\x5f]\x2a\x4d\x18", re.S)


def sniff(first: bytes) -> Optional[str]:
    """The compression whose stream starts with these bytes (at least SNIFF_BYTES of them, or
    the whole file), or None. bzip2's start is ASCII (``BZh91AY&SY``), so it is told by all
    ten bytes, which no plot file's first line holds."""
    for name, magic in _MAGIC:
        if first.startswith(magic):
            return name
    if _BZ2_BLOCK.match(first):
        return "bz2"
    if _ZSTD_SKIPPABLE.match(first):  # a zstd stream may start with a frame of other data
        return "zstd"
    return None


def magic_text(first: bytes, name: str) -> str:
    """The first bytes that tell `name`, in hexadecimal, as a message shows them."""
    size = 10 if name == "bz2" else 4 if name == "zstd" else len(dict(_MAGIC)[name])
    return " ".join(f"{byte:02X}" for byte in first[:size])


def zstd_content_size(first: bytes) -> int:
    """The decompressed size a zstd stream's first frame states in its header (0 where it
    states none, or the bytes are too few to tell): what `zstd FILE` writes."""
    if len(first) < 6 or not first.startswith(dict(_MAGIC)["zstd"]):
        return 0
    descriptor = first[4]
    single_segment = (descriptor >> 5) & 1
    size_bytes = (single_segment, 2, 4, 8)[descriptor >> 6]
    at = 5 + (0 if single_segment else 1) + (0, 1, 2, 4)[descriptor & 3]
    if size_bytes == 0 or len(first) < at + size_bytes:
        return 0
    return int.from_bytes(first[at:at + size_bytes], "little") + (256 if size_bytes == 2 else 0)


class StreamFailed(Exception):
    """A compressed stream that does not decompress: `cut` where it ends before its end mark,
    `trailing` where it ends whole but bytes that begin no stream follow it (`detail` shows the
    first of them), else corrupt (`detail` says what the decompressor found)."""

    def __init__(self, compression: str, cut: bool, detail: str = "", trailing: bool = False) -> None:
        super().__init__(compression, cut, detail, trailing)
        self.compression = compression
        self.cut = cut
        self.detail = detail
        self.trailing = trailing


def library_of(name: str) -> str:
    """The library that decompresses `name` here (ImportError where none is installed)."""
    return _factory(name)[1]


def decompressed(name: str, chunks: Iterator[Any]) -> Iterator[bytes]:
    """The decompressed bytes of the stream whose compressed bytes `chunks` gives, in pieces of
    at most about OUTPUT_BYTES. Concatenated streams (gzip members, zstd frames, bzip2 and xz
    streams one after another, as `cat a.gz b.gz` makes) are decompressed one after another,
    and the padding that may follow a stream is passed over (_after_stream). StreamFailed where
    the stream is corrupt, cut or followed by other bytes; ImportError where no library is at
    hand."""
    make = _factory(name)[0]
    data: Any = b""
    first = True
    while True:
        if not first:
            data = _after_stream(name, data, chunks)
            if not data:
                return
        first = False
        decompressor = make()
        while True:
            if not data:
                data = next(chunks, b"")
                if not data:
                    raise StreamFailed(name, cut=True)
            try:
                for piece in decompressor.feed(data):
                    if piece:
                        yield piece
            except Exception as error:  # each library's own: zlib.error, OSError, LZMAError, ...
                raise StreamFailed(name, cut=False, detail=str(error) or type(error).__name__) from error
            if decompressor.eof:
                data = decompressor.unused_data
                break
            data = b""


# The zero bytes that may follow a stream, in steps of so many bytes: gzip's, any number (tape
# and block devices pad a file so, and gzip, zcat and Python's gzip pass over them), xz's stream
# padding, a multiple of four (which xz writes and reads). After bzip2 and zstd zeros are no
# stream.
_PADDING_STEP = {"gzip": 1, "xz": 4}
# The first bytes of a stream (zstd's: a frame's, or a skippable frame's).
_STREAM_STARTS = {"gzip": (b"\x1f\x8b",), "bz2": (b"BZh",), "xz": (b"\xfd7zXZ\x00",),
                  "zstd": (b"\x28\xb5\x2f\xfd", *(bytes([0x50 + i]) + b"\x2a\x4d\x18" for i in range(16)))}


def _after_stream(name: str, data: Any, chunks: Iterator[Any]) -> bytes:
    """What follows a whole stream of `name` (`data`, then `chunks`): the bytes from the next
    stream's start on, b"" where only padding follows. StreamFailed where the padding is not
    the format's, where a next stream is cut within its first bytes, or where the bytes begin no
    stream (trailing garbage, as gzip and bzip2 call it)."""
    rest = bytes(data).lstrip(b"\0")
    zeros = len(data) - len(rest)
    while not rest:
        data = next(chunks, b"")
        if not data:
            break
        rest = bytes(data).lstrip(b"\0")
        zeros += len(data) - len(rest)
    step = _PADDING_STEP.get(name)
    if zeros and step is None:
        raise _trailing(name, bytes(min(zeros, 5)) + rest)
    if step is not None and zeros % step:
        raise StreamFailed(name, cut=False, detail=f"its stream padding of {zeros} bytes is not a "
                                                   f"multiple of {step}")
    if not rest:
        return b""
    starts = _STREAM_STARTS[name]
    need = max(map(len, starts))
    while len(rest) < need and (more := next(chunks, b"")):
        rest += bytes(more)
    if rest.startswith(starts):
        return rest
    if len(rest) < need and any(start.startswith(rest) for start in starts):
        raise StreamFailed(name, cut=True)  # a next stream, cut within its first bytes
    raise _trailing(name, rest)


def _trailing(name: str, rest: bytes) -> StreamFailed:
    shown = " ".join(f"{byte:02X}" for byte in rest[:4]) + (" ..." if len(rest) > 4 else "")
    return StreamFailed(name, cut=False, detail=shown, trailing=True)


# The compressions a written file's name asks for, by its suffix: each one the reader takes.
SUFFIXES = {".gz": "gzip", ".zst": "zstd", ".bz2": "bz2", ".xz": "xz"}


def compressor(name: str) -> "Callable[[Union[bytes, memoryview]], bytes]":
    """A compressor of one stream of `name` (gzip, zstd, bz2 or xz) at its library's default
    level, as the command-line tools compress: called with each piece of the text, it returns
    the bytes to write so far; called with b"" at the end, the rest of the stream. ISA-L
    compresses gzip where isal is installed (at its default level, several times as
    fast as zlib), else the standard library's zlib does; bz2 and xz, the standard library's
    bz2 and lzma."""
    if name == "gzip":
        try:
            isal_zlib = importlib.import_module("isal.isal_zlib")
        except ImportError:
            import zlib

            return _finishing(zlib.compressobj(wbits=31))
        return _finishing(isal_zlib.compressobj(wbits=31))
    if name == "zstd":
        library, zstd = _zstd_library("writing a zstd-compressed file")
        if library == "compression.zstd":
            return _finishing(zstd.ZstdCompressor())
        return _finishing(zstd.ZstdCompressor().compressobj())
    if name == "bz2":
        import bz2

        return _finishing(bz2.BZ2Compressor())
    if name == "xz":
        import lzma

        return _finishing(lzma.LZMACompressor(lzma.FORMAT_XZ))
    raise ValueError(f"tolvane.write compresses gzip, zstd, bz2 and xz, not {name!r}")


def _zstd_library(use: str) -> "tuple[str, Any]":
    """The standard library's compression.zstd (3.14 and later) where it is there, else
    zstandard, with its name; ImportError naming the extra where neither is."""
    for library in ("compression.zstd", "zstandard"):
        try:
            return library, importlib.import_module(library)
        except ImportError:
            pass
    raise ImportError(f"{use} needs zstandard (or Python 3.14's compression.zstd): "
                      "pip install 'quorel[zstd]'")


def _finishing(stream: Any) -> "Callable[[Union[bytes, memoryview]], bytes]":
    def compress(piece: Union[bytes, memoryview]) -> bytes:
        return bytes(stream.compress(piece)) if piece else bytes(stream.flush())
    return compress


def _factory(name: str) -> "tuple[Callable[[], Any], str]":
    """A maker of decompressors for `name`, and the library's name. The optional libraries are
    imported by name: whether each is there (and typed) is the installation's."""
    if name == "gzip":
        try:
            igzip_lib = importlib.import_module("isal.igzip_lib")
        except ImportError:
            import zlib

            return (lambda: _ZlibStream(zlib.decompressobj(31))), "zlib"
        return (lambda: _BoundedStream(igzip_lib.IgzipDecompressor(flag=igzip_lib.DECOMP_GZIP))), "isal"
    if name == "bz2":
        import bz2

        return (lambda: _BoundedStream(bz2.BZ2Decompressor())), "bz2"
    if name == "xz":
        import lzma

        return (lambda: _BoundedStream(lzma.LZMADecompressor(lzma.FORMAT_XZ))), "lzma"
    if name == "zstd":
        library, zstd = _zstd_library("reading a zstd-compressed file")
        if library == "compression.zstd":
            return (lambda: _BoundedStream(zstd.ZstdDecompressor())), library
        return (lambda: _ZstandardStream(zstd.ZstdDecompressor().decompressobj())), library
    raise ValueError(f"no such compression: {name!r}")


class _Stream:
    """One library's decompressor of one stream, fed its bytes piece by piece: `feed` gives
    what a piece decompresses to, a bounded amount at a time; once the stream has ended (`eof`),
    `unused_data` holds the bytes after it."""

    def __init__(self, decompressor: Any) -> None:
        self._d = decompressor

    def feed(self, data: bytes) -> Iterator[bytes]:
        raise NotImplementedError

    @property
    def eof(self) -> bool:
        return bool(self._d.eof)

    @property
    def unused_data(self) -> bytes:
        return bytes(self._d.unused_data)


class _BoundedStream(_Stream):
    """A decompressor with bz2's interface (max_length, needs_input, eof, unused_data): bz2,
    lzma, ISA-L's IgzipDecompressor, compression.zstd."""

    def feed(self, data: bytes) -> Iterator[bytes]:
        d = self._d
        yield d.decompress(data, OUTPUT_BYTES)
        while not d.eof and not d.needs_input:
            yield d.decompress(b"", OUTPUT_BYTES)


class _ZlibStream(_Stream):
    """zlib's decompressobj: what max_length leaves is its unconsumed_tail; output that fills
    max_length may have more behind it, which a call without input gives."""

    def feed(self, data: bytes) -> Iterator[bytes]:
        d = self._d
        out = d.decompress(data, OUTPUT_BYTES)
        yield out
        while not d.eof and (d.unconsumed_tail or len(out) == OUTPUT_BYTES):
            out = d.decompress(d.unconsumed_tail, OUTPUT_BYTES)
            yield out
            if not out and not d.unconsumed_tail:
                break


class _ZstandardStream(_Stream):
    """zstandard's decompressobj, which has no max_length: it is fed pieces of at most a few
    whole blocks of the frame, each of which decompresses to at most 128 KiB, so that no call
    hands out more than about OUTPUT_BYTES whatever the stream's ratio (a block of one byte
    repeated, 4 bytes in the stream, is 128 KiB out)."""

    def __init__(self, decompressor: Any) -> None:
        super().__init__(decompressor)
        self._blocks = _ZstdBlocks(OUTPUT_BYTES // _ZSTD_BLOCK_BYTES - 1)
        self._rest = b""

    def feed(self, data: bytes) -> Iterator[bytes]:
        view = memoryview(data)
        at = 0
        for piece in self._blocks.pieces(view):
            at += len(piece)
            yield self._d.decompress(piece)
            if self._d.eof:
                self._rest = bytes(self._d.unused_data) + bytes(view[at:])
                return

    @property
    def unused_data(self) -> bytes:
        return self._rest


# The most one block of a zstd frame decompresses to.
_ZSTD_BLOCK_BYTES = 128 << 10
_ZSTD_MAGIC = 0xFD2FB528
_SKIPPABLE_MAGIC = 0x184D2A50  # to 0x184D2A5F


class _ZstdBlocks:
    """Follows a zstd stream's frames and blocks (RFC 8878) as its bytes pass, to cut them into
    pieces that each begin at most `per_piece` blocks. Where the bytes are not a stream it can
    follow (a corrupt one), it cuts no more: the decompressor says what is wrong."""

    def __init__(self, per_piece: int) -> None:
        self._per_piece = per_piece
        self._state = "magic"
        self._need = 4        # bytes of the field being gathered
        self._field = b""     # its bytes so far
        self._skip = 0        # bytes to pass over: a block's content, the rest of a header
        self._checksum = False
        self._begun = 0       # blocks begun in the piece being made
        self._lost = False

    def pieces(self, view: memoryview) -> Iterator[memoryview]:
        start = at = 0
        size = len(view)
        while at < size and not self._lost:
            if self._skip:
                step = min(self._skip, size - at)
                at += step
                self._skip -= step
                continue
            field_start = at if not self._field else 0
            take = min(self._need - len(self._field), size - at)
            self._field += bytes(view[at:at + take])
            at += take
            if len(self._field) < self._need:
                break
            field = int.from_bytes(self._field, "little")
            self._field = b""
            if self._state == "block":
                if self._begun == self._per_piece and field_start > start:
                    yield view[start:field_start]
                    start, self._begun = field_start, 0
                self._begun += 1
                self._block(field)
            else:
                self._header_field(field)
        if start < size:
            yield view[start:]

    def _block(self, header: int) -> None:
        last, kind, size = header & 1, (header >> 1) & 3, header >> 3
        self._skip = 1 if kind == 1 else size  # a run-length block holds its one byte
        if last:
            self._skip += 4 if self._checksum else 0
            self._state, self._need = "magic", 4

    def _header_field(self, field: int) -> None:
        if self._state == "magic":
            if field == _ZSTD_MAGIC:
                self._state, self._need = "descriptor", 1
            elif field & 0xFFFFFFF0 == _SKIPPABLE_MAGIC:
                self._state, self._need = "skippable", 4
            else:
                self._lost = True
        elif self._state == "descriptor":
            content_size_flag, single_segment = field >> 6, (field >> 5) & 1
            self._checksum = bool((field >> 2) & 1)
            window = 0 if single_segment else 1
            dictionary = (0, 1, 2, 4)[field & 3]
            content_size = (single_segment, 2, 4, 8)[content_size_flag]
            self._skip = window + dictionary + content_size
            self._state, self._need = "block", 3
        else:  # a skippable frame's size
            self._skip = field
            self._state, self._need = "magic", 4
