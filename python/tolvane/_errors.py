"""FormatError, and the reader's faults as the exceptions a Python user expects."""

from __future__ import annotations

import os
from typing import Any, Optional, Sequence, Tuple


class FormatError(ValueError):
    """A plot file that breaks the format, and where.

    Attributes:
        path: the file, as given to :func:`tolvane.read`.
        line: the line the fault is on, counted from 1 as in an editor (for a missing line,
            the line after the last one).
        block: the block, counted from 0; ``None`` where the fault is not in a block.
        field: the field within its block, counted from 0 (0 is the time); ``None`` where the
            fault is not in one field.
        name: that field's parameter name; ``None`` where there is no field.
        reason: what is wrong, in a few words.
        span: the field's byte range on its line, ``(start, end)``, or ``None``.

    ``str()`` starts with ``path:line:``, as compilers write, so that editors and terminals can
    jump there: ``run42.plt:21: block 2, field 4 (VOLTAGE), bytes 48..60: '1.87443D+02' is not
    a number``. The exception pickles with its attributes, so process pools and Dask workers
    send it back whole.
    """

    def __init__(self, path: str, line: int, reason: str, block: Optional[int] = None,
                 field: Optional[int] = None, name: Optional[str] = None,
                 span: Optional[Tuple[int, int]] = None) -> None:
        self.path = path
        self.line = line
        self.reason = reason
        self.block = block
        self.field = field
        self.name = name
        self.span = span
        where = []
        if block is not None:
            where.append(f"block {block}")
        if field is not None:
            where.append(f"field {field}" + (f" ({name})" if name else ""))
        if span is not None:
            where.append(f"bytes {span[0]}..{span[1]}")
        place = ", ".join(where) + ": " if where else ""
        super().__init__(f"{path}:{line}: {place}{reason}")

    def __reduce__(self) -> Tuple[Any, ...]:
        return (type(self), (self.path, self.line, self.reason, self.block, self.field, self.name,
                             self.span))


class IncompleteHeadError(FormatError):
    """A file whose head (line 1 and its name lines) the end of the file cuts: a head still
    being written. ``incomplete="keep"`` gives a Plot without blocks, whose ``incomplete`` is
    this error."""


class CompressionError(FormatError):
    """A compressed file whose stream does not decompress: corrupt, cut short (it ends before
    its end-of-stream mark, as a copy or a download that stopped early leaves it), or whole but
    followed by bytes that begin no stream (trailing garbage). Its text starts with
    ``path:line:``, the line being the one its decompressed bytes stopped on: the lines before
    it are the file's.

    Attributes: those of :class:`FormatError` (``block``, ``field``, ``name`` and ``span`` are
    ``None``), and ``compression`` (``"gzip"``, ``"bz2"``, ``"xz"`` or ``"zstd"``), ``cut``
    (``True`` for a stream cut short, ``False`` otherwise), ``trailing`` (``True`` for trailing
    garbage) and ``detail`` (what the decompressor said of a corrupt stream; the first bytes of
    trailing garbage).
    """

    def __init__(self, path: str, line: int, compression: str, cut: bool, detail: str = "",
                 trailing: bool = False) -> None:
        if cut:
            reason = f"the {compression} stream is cut short: it ends before its end-of-stream mark"
        elif trailing:
            reason = (f"trailing garbage after the compressed data: the {compression} stream ends "
                      f"whole, and the bytes after it ({detail}) begin no {compression} stream")
        else:
            reason = f"the {compression} stream is corrupt ({detail})" if detail else \
                f"the {compression} stream is corrupt"
        super().__init__(path, line, reason)
        self.compression = compression
        self.cut = cut
        self.detail = detail
        self.trailing = trailing

    def __reduce__(self) -> Tuple[Any, ...]:
        return (type(self), (self.path, self.line, self.compression, self.cut, self.detail, self.trailing))


class FileChangedError(OSError):
    """A file that was cut short or written again while it was read: what was read of it may
    come from two versions of it, so nothing is given. Told from the file's size and
    modification time, before and after the read, as ``tar`` tells it; a file that only grew
    (a simulation appending blocks) was appended to and reads. Read it again once its writer
    is done.

    Attributes: ``path``, the file as given.
    """

    def __init__(self, path: str) -> None:
        super().__init__(f"{path}: the file changed while it was read (it was cut short or "
                         "written again); read it again once it is written")
        self.path = path

    def __reduce__(self) -> Tuple[Any, ...]:
        return (type(self), (self.path,))


BLOCK_CUT_REASON = "the file ends inside the block"


def _quoted(text: str, cut: bool) -> str:
    return repr(text + "…") if cut else repr(text)


def _reason(data: dict, width: Optional[int]) -> Tuple[str, Optional[Tuple[int, int]]]:
    """The reason of a fault of the file, and the field's byte range where it has one."""
    kind = data["kind"]
    text = _quoted(data["text"], data["text_cut"])
    span = None
    if width is not None and kind.startswith("field_"):
        start = data["field_in_line"] * width
        span = (start, start + width)
    if kind == "empty_file":
        return ("the head is incomplete: the file is empty (line 1 should end with the number "
                "of parameters)", span)
    if kind == "head_unended":
        return ("the head is incomplete: the file ends inside this line, before its line feed "
                "(a head still being written)", span)
    if kind == "count_not_a_number":
        return f"line 1 should end with the number of parameters, not {text}", span
    if kind == "count_zero":
        if not data["text"]:
            return "line 1 is blank; it should end with the number of parameters", span
        return (f"line 1 gives {text} parameters; there is at least one, the time", span)
    if kind == "names_cut_short":
        return (f"the head is incomplete: the file ends inside the parameter names, after "
                f"{data['line'] - 2} of them", span)
    if kind == "not_utf8":
        return (f"the line is not UTF-8 (byte {data['bad_byte_offset']} is "
                f"0x{data['bad_byte']:02X})", span)
    if kind == "block_cut_short":
        return BLOCK_CUT_REASON, span
    if kind == "field_past_line_end":
        return f"the line is only {data['line_length']} bytes long", span
    if kind == "field_splits_char":
        assert span is not None
        edge = span[0] if data["char_start"] < span[0] < data["char_end"] else span[1]
        return (f"byte {edge} falls inside the character {text} "
                f"(bytes {data['char_start']}..{data['char_end']})", span)
    if kind == "field_empty":
        return "the field is blank", span
    if kind == "field_not_a_number":
        return f"{text} is not a number", span
    raise AssertionError(f"no reason for a fault of kind {kind!r}")


def format_error(data: dict, path: str, names: Optional[Sequence[str]],
                 width: Optional[int]) -> FormatError:
    """The FormatError for a fault of the file (not of the system)."""
    reason, span = _reason(data, width)
    if data["kind"] in HEAD_CUT_KINDS:
        return IncompleteHeadError(path, data["line"], reason)
    field = data["field"]
    name = names[field] if names is not None and field is not None and field < len(names) else None
    return FormatError(path, data["line"], reason, data["block"], field, name, span)


def with_hint(error: FormatError, hint: str) -> FormatError:
    """The error with `hint` after its reason (same place, same type but for a subclass)."""
    return FormatError(error.path, error.line, error.reason + hint, error.block, error.field, error.name,
                       error.span)


# What a file that ends inside a block may be read with instead (the command says its option).
KEEP_HINT = 'incomplete="keep" reads the blocks before it'


def cut_error(error: FormatError) -> FormatError:
    """The FormatError raised for a block that the end of the file cuts: it says so, and how to
    read the blocks before it."""
    if error.reason == BLOCK_CUT_REASON:
        return with_hint(error, f": {KEEP_HINT}")
    return with_hint(error, f"; the file ends inside this block: {KEEP_HINT}")


def raised_error(data: dict, path: str, names: Optional[Sequence[str]] = None,
                 width: Optional[int] = None) -> BaseException:
    """exception_from_fault() for a read that raises a cut block (incomplete="raise"): where
    the end of the file caused the fault, its message says so."""
    error = exception_from_fault(data, path, names, width)
    if data.get("at_file_end") and type(error) is FormatError:
        return cut_error(error)
    return error


# The faults of a head that the end of the file cuts.
HEAD_CUT_KINDS = ("empty_file", "names_cut_short", "head_unended")


def exception_from_fault(data: dict, path: str, names: Optional[Sequence[str]] = None,
                         width: Optional[int] = None) -> BaseException:
    """The exception to raise for a fault the reader reports (tolvane._native.Fault's dict)."""
    kind = data["kind"]
    if kind in ("open_failed", "read_failed"):
        number = data["errno"]
        return OSError(number, os.strerror(number), path)
    if kind == "file_changed":
        return FileChangedError(path)
    if kind == "path_has_nul":
        return ValueError("embedded null byte")
    if kind == "memory":
        size = f" {data['bytes']} bytes" if data["bytes"] else ""
        return MemoryError(f"{path}: cannot allocate{size} for the read")
    if kind == "capacity_overflow":
        return MemoryError(f"{path}: the read asks for more memory than there can be")
    return format_error(data, path, names, width)
