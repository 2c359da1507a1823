"""Finds the first place where a file breaks the TOLVANE plot file format, walking it line by
line the way quorel reads it (the rules are in plot_rules.py). Used by locate_failure.py."""

from __future__ import annotations

import contextlib
import re
from collections.abc import Iterator
from dataclasses import dataclass, replace

from .plot_rules import FIELDS_PER_LINE, number_error, parse_count, read_lines, tokens, trim

# The kinds of fault, one for each kind of failure quorel reports.
CANNOT_OPEN = "cannot-open"
READ_ERROR = "read-error"
INVALID_UTF8 = "invalid-utf8"
EMPTY_FILE = "empty-file"
BAD_COUNT = "bad-count"
ZERO_COUNT = "zero-count"
MISSING_NAME_LINE = "missing-name-line"
MISSING_DATA_LINE = "missing-data-line"
FIELD_PAST_LINE_END = "field-past-line-end"
FIELD_SPLITS_CHARACTER = "field-splits-character"
EMPTY_FIELD = "empty-field"
NOT_A_NUMBER = "not-a-number"


@dataclass(frozen=True)
class Fault:
    """Where and why a file breaks the format. Lines count from 1; blocks and fields from 0
    (field 0 is the time), as the lists quorel returns count them."""

    kind: str
    why: str
    line: int | None = None  # None: the file cannot be opened
    missing: bool = False  # the line is not there: the file ends before it
    block: int | None = None
    field: int | None = None
    name: str | None = None  # the field's parameter, from its name line
    start: int | None = None  # byte range in the line
    end: int | None = None
    line_length: int | None = None  # in bytes, without the terminator
    text: str | bytes | None = None  # what the range holds; bytes where it is not UTF-8
    character: str | None = None  # the character a field boundary splits ...
    character_start: int | None = None  # ... and its byte range
    character_end: int | None = None


class _Found(Exception):
    def __init__(self, fault: Fault) -> None:
        super().__init__(fault.kind)
        self.fault = fault


class _Lines:
    """The file's lines, checked for UTF-8 as they are read, and the number of the last."""

    def __init__(self, raw: Iterator[bytes]) -> None:
        self._raw = raw
        self.number = 0

    def next(self) -> bytes | None:
        try:
            line = next(self._raw, None)
        except OSError as exc:
            raise _Found(Fault(READ_ERROR, f"reading the file fails: {exc.strerror} (errno {exc.errno})",
                               line=self.number + 1)) from None
        if line is None:
            return None
        self.number += 1
        try:
            line.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise _Found(Fault(
                INVALID_UTF8, f"bytes {exc.start}..{exc.end} are not UTF-8 ({exc.reason})",
                line=self.number, start=exc.start, end=exc.end, line_length=len(line),
                text=line[max(0, exc.start - 16):exc.end + 16],
            )) from None
        return line

    def missing(self, kind: str, why: str, block: int | None = None, field: int | None = None,
                name: str | None = None) -> _Found:
        """The fault of a line that the file ends before."""
        return _Found(Fault(kind, why, line=self.number + 1, missing=True, block=block, field=field,
                            name=name))


def first_fault(path: str, width: int) -> Fault | None:
    """The first fault of the file at path read with fields of width bytes, or None if it
    follows the format."""
    try:
        raw = read_lines(path)
    except (OSError, ValueError) as exc:
        return Fault(CANNOT_OPEN, f"the file cannot be opened: {exc}")
    with contextlib.closing(raw):
        try:
            _walk(_Lines(raw), width)
        except _Found as found:
            return found.fault
    return None


def _walk(lines: _Lines, width: int) -> None:
    count = _read_count(lines)
    names = _read_names(lines, count)
    per_block = -(-count // FIELDS_PER_LINE)
    block = 0
    while (header := lines.next()) is not None:
        header_line = lines.number
        data = b""
        for field in range(count):
            k = field % FIELDS_PER_LINE
            if k == 0:
                line = lines.next()
                if line is None:
                    got = field // FIELDS_PER_LINE
                    why = (f"block {block} needs {per_block} data line(s) after its header on line "
                           f"{header_line}; the file ends after {got}")
                    if got == 0 and not header:
                        why += " (a trailing empty line starts a new block)"
                    raise lines.missing(MISSING_DATA_LINE, why, block=block, field=field,
                                        name=names[field])
                data = line
            start, end = k * width, (k + 1) * width
            # The checks of a good field, cheap; the fault is worked out only when one fails.
            if (end > len(data) or (end < len(data) and _is_continuation(data[end]))
                    or number_error(trim(data[start:end].decode("utf-8")))):
                place = Fault("", "", line=lines.number, block=block, field=field, name=names[field],
                              start=start, end=end, line_length=len(data))
                _raise_field_fault(data, place, width)
        block += 1


def _read_count(lines: _Lines) -> int:
    first = lines.next()
    if first is None:
        raise lines.missing(EMPTY_FILE, "the file is empty: it has no first line")
    text = first.decode("utf-8")
    words = tokens(text)
    if not words:
        raise _Found(Fault(ZERO_COUNT, "line 1 holds no token, so it gives no parameter count",
                           line=1, line_length=len(first), text=text))
    token = words[-1]
    start = len(text[:text.rindex(token)].encode("utf-8"))
    place = Fault("", "", line=1, start=start, end=start + len(token.encode("utf-8")),
                  line_length=len(first), text=token)
    count = parse_count(token)
    if count is None:
        raise _Found(replace(place, kind=BAD_COUNT,
                             why=f"the last token of line 1, {token!r}, is not a parameter count "
                                 "(ASCII digits, at most one leading +, at most 2**64 - 1)"))
    if count == 0:
        raise _Found(replace(place, kind=ZERO_COUNT,
                             why="line 1 gives the parameter count 0; the time counts as one"))
    return count


def _read_names(lines: _Lines, count: int) -> list[str]:
    names: list[str] = []
    while len(names) < count:
        line = lines.next()
        if line is None:
            raise lines.missing(MISSING_NAME_LINE,
                                f"line 1 counts {count} parameters, each with a name line after it; "
                                f"the file ends after {len(names)}")
        words = tokens(line.decode("utf-8"))
        names.append(words[-1] if words else "")
    return names


def _raise_field_fault(data: bytes, place: Fault, width: int) -> None:
    """Raises the fault of the field whose range place gives."""
    start, end = place.start or 0, place.end or 0
    # A wrong width shows first in the first block.
    hint = " (is the width right for this file?)" if place.block == 0 else ""
    if end > len(data):
        raise _Found(replace(place, kind=FIELD_PAST_LINE_END, text=data[start:].decode("utf-8"),
                             why=f"the field ends at byte {end}, but its line is only {len(data)} bytes long{hint}"))
    if end < len(data) and _is_continuation(data[end]):
        first = end - 1
        while _is_continuation(data[first]):
            first -= 1
        last = end + 1
        while last < len(data) and _is_continuation(data[last]):
            last += 1
        character = data[first:last].decode("utf-8")
        raise _Found(replace(
            place, kind=FIELD_SPLITS_CHARACTER, text=data[start:end],
            character=character, character_start=first, character_end=last,
            why=f"the field's end, byte {end}, falls inside the character {character!r} "
                f"(bytes {first}..{last}){hint}"))
    text = data[start:end].decode("utf-8")
    error = number_error(trim(text))
    if error == "Empty":
        why = "the width is 0: every field is empty" if width == 0 else "the field holds only whitespace"
        raise _Found(replace(place, kind=EMPTY_FIELD, text=text, why=why))
    if error:
        raise _Found(replace(place, kind=NOT_A_NUMBER, text=text, why=_number_hint(trim(text))))


def _is_continuation(byte: int) -> bool:
    """True for the bytes that continue a UTF-8 character, never start one."""
    return 0x80 <= byte < 0xC0


# Why a trimmed field is not a number, for the usual ways in which one goes wrong.
_NUMBER_HINTS = [
    (re.compile(r"\*+"), "a field of asterisks: the value did not fit the field when it was written"),
    (re.compile(r".*[0-9.][dDqQ][+-]?[0-9].*"), "only e or E marks an exponent (a Fortran D exponent is not read)"),
    (re.compile(r".*[0-9.][+-][0-9]+"), "an exponent needs its letter: E-100, not -100"),
    (re.compile(r".*[0-9],[0-9].*"), "a decimal comma: only a point is read"),
    (re.compile(r".*[\u001c-\u001f\u00ad\u180e\u200b-\u200d\u2060\ufeff].*"),
     "an invisible character that is not whitespace, so it is not trimmed"),
    (re.compile(r".*\s.*"), "whitespace inside the number (is the width right for this file?)"),
]


def _number_hint(trimmed: str) -> str:
    for pattern, hint in _NUMBER_HINTS:
        if pattern.fullmatch(trimmed):
            return f"{trimmed!r} is not a number: {hint}"
    return f"{trimmed!r} is not a number: a decimal number (1.5, -2.5E-03, .5, 7.) or inf, infinity, nan"
