"""The text rules of a TOLVANE plot file, written out in Python exactly as quorel applies them:
how the file is cut into lines, which characters are whitespace, what a parameter count is and
what a field must hold to be a number. Used by fault_finder.py and signal_summary.py."""

from __future__ import annotations

import os
import re
from collections.abc import Generator

# The 25 characters of Unicode's White_Space property. Python's str.isspace() and str.split()
# also treat U+001C..U+001F as whitespace, so they are not used here.
WHITESPACE = ("\t\n\v\f\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B)))
              + "\u2028\u2029\u202f\u205f\u3000")
FIELDS_PER_LINE = 10
COUNT_MAX = 2**64 - 1

_RUN_OF_WHITESPACE = re.compile(f"[{re.escape(WHITESPACE)}]+")
_COUNT = re.compile(r"\+?[0-9]+")
# ASCII makes the case folding ASCII-only: without it "ınf" (dotless i) would pass as "inf".
_NUMBER = re.compile(r"[+-]?(?:(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:e[+-]?[0-9]+)?|inf|infinity|nan)",
                     re.IGNORECASE | re.ASCII)
_READ_SIZE = 1 << 16


def tokens(text: str) -> list[str]:
    """The runs of non-whitespace characters in text, in order."""
    return [token for token in _RUN_OF_WHITESPACE.split(text) if token]


def trim(text: str) -> str:
    return text.strip(WHITESPACE)


def parse_count(token: str) -> int | None:
    """The parameter count that token gives, or None: ASCII digits with at most one leading
    '+', up to 2**64 - 1."""
    if not _COUNT.fullmatch(token):
        return None
    value = int(token)
    return value if value <= COUNT_MAX else None


def number_error(text: str) -> str | None:
    """None if a trimmed field is a number; else why not, in quorel's words: "Empty" or
    "Invalid"."""
    if not text:
        return "Empty"
    return None if _NUMBER.fullmatch(text) else "Invalid"


def read_lines(path: str) -> Generator[bytes, None, None]:
    """The lines of the file at path, without their terminators, as undecoded bytes.

    Only a line feed ends a line; a carriage return right before it goes with it, any other
    carriage return stays. A last line without a line feed is a line too. Opening fails at
    once (OSError); a failed read raises OSError where it happens.
    """
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    return _lines_of(fd)


def _lines_of(fd: int) -> Generator[bytes, None, None]:
    try:
        partial: list[bytes] = []
        while chunk := os.read(fd, _READ_SIZE):
            pieces = chunk.split(b"\n")
            if len(pieces) == 1:
                partial.append(chunk)
                continue
            partial.append(pieces[0])
            for line in (b"".join(partial), *pieces[1:-1]):
                yield line[:-1] if line.endswith(b"\r") else line
            partial = [pieces[-1]]
        if tail := b"".join(partial):
            yield tail
    finally:
        os.close(fd)
