"""What the subcommands of the tolvane command share: the arguments' types and the reading
options, reading a source (a failure said as the one line the command shows), and writing an
output whole or not at all."""

from __future__ import annotations

import argparse
import contextlib
import errno
import json
import math
import os
import pathlib
import re
import stat
import sys
from typing import Any, BinaryIO, Iterator, List, Optional, Union

import numpy as np

from .._errors import FormatError, IncompleteHeadError
from .._plot import Plot
from .._read import read
from .._replace import replacing
from .._source import is_url
from .. import _write

PROG = "tolvane"
# What FILE "-" reads: standard input, by a path, since tolvane.read takes one.
STANDARD_INPUT = "/dev/stdin"
# What messages call an output "-", standard output, which is written through descriptor 1.
STANDARD_OUTPUT = "/dev/stdout"
LARGEST_WIDTH = 2**64 - 1


class Failed(Exception):
    """A file that does not read, or an output that cannot be written: the message is shown
    and the command exits 1."""


def width(text: str) -> int:
    # ASCII digits only: int() would also take "1_2", " 12", "+12" and other scripts' digits
    # (and refuse more than 4300 digits with a message of its own).
    digits = text.lstrip("0") if re.fullmatch(r"[0-9]+", text) else ""
    value = int(digits) if 0 < len(digits) <= len(str(LARGEST_WIDTH)) else 0
    if not 1 <= value <= LARGEST_WIDTH:
        raise argparse.ArgumentTypeError(f"{text!r} is not a field width (ASCII digits, a whole "
                                         f"number from 1 to {LARGEST_WIDTH})")
    return value


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds above 0")
    return value


def block_count(text: str) -> int:
    if not re.fullmatch(r"[0-9]+", text):
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of blocks (ASCII digits)")
    return int(text)


def input_path(text: str) -> str:
    """FILE as tolvane.read takes it: "-" is standard input."""
    return STANDARD_INPUT if text == "-" else text


def out_width(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not _write.SMALLEST_WIDTH <= value <= _write.LARGEST_WIDTH:
        raise argparse.ArgumentTypeError(f"{text!r} is not a field width to write (a whole number "
                                         f"from {_write.SMALLEST_WIDTH} to {_write.LARGEST_WIDTH})")
    return value


def storage_option(text: str) -> "tuple[str, Any]":
    """KEY=VALUE, the VALUE read as JSON where it is JSON (true, 10, {"a": 1}), else as text, so
    that a file system's options that are not text can be given (s3fs's anon=true)."""
    key, equals, value = text.partition("=")
    if not equals or not key:
        raise argparse.ArgumentTypeError(f"{text!r} is not KEY=VALUE")
    try:
        return key, json.loads(value)
    except ValueError:
        return key, value


def column_keys(text: str) -> List[Union[str, int]]:
    keys: List[Union[str, int]] = []
    for key in text.split(","):
        if not key:
            raise argparse.ArgumentTypeError(f"{text!r} holds an empty column name")
        keys.append(int(key) if key.isdecimal() and key.isascii() else key)
    return keys


def reading_options() -> argparse.ArgumentParser:
    """The options of every subcommand that reads plot files (a parent parser)."""
    reading = argparse.ArgumentParser(add_help=False)
    reading.add_argument("--n-digits", type=width, metavar="W",
                         help="the field width in bytes (default: 12 or 15, found from the file)")
    reading.add_argument("--columns", type=column_keys, metavar="A,B",
                         help="the parameters to read, by name or index (0 is the time, which is "
                              "always read); default: all")
    reading.add_argument("--storage-option", type=storage_option, action="append", default=[],
                         metavar="KEY=VALUE", dest="storage_options",
                         help="an option of a URL's file system, for fsspec (s3fs's "
                              "endpoint_url=http://..., anon=true; VALUE is JSON where it is "
                              "JSON, else text); repeatable")
    return reading


def cutting_options() -> argparse.ArgumentParser:
    """--incomplete, for the subcommands that take a file cut inside its last block (a parent
    parser)."""
    cutting = argparse.ArgumentParser(add_help=False)
    cutting.add_argument("--incomplete", choices=("raise", "keep"), default="raise",
                         help="a file whose end falls inside its last block (a simulation that "
                              "stopped or is still running): raise fails, keep reads the complete "
                              "blocks before it and says where the file is cut (default: raise)")
    return cutting


def check_storage_options(args: argparse.Namespace, paths: List[str]) -> None:
    """A usage error where --storage-option is given and no source is a URL."""
    if args.storage_options and not any(is_url(path) for path in paths):
        args.parser.error("--storage-option is for URLs (s3://..., https://...), and no FILE is one")


def read_or_fail(path: str, args: argparse.Namespace, incomplete: Optional[str] = None) -> Plot:
    """The file read as the arguments ask (``incomplete``: the command's own, over theirs); a
    file cut inside its last block, read with incomplete="keep", says so on standard error,
    except to info, which tells it with the rest."""
    if incomplete is None:
        incomplete = args.incomplete
    try:
        plot = read(path, args.n_digits, columns=args.columns, incomplete=incomplete,
                    storage_options=dict(args.storage_options) if is_url(path) else None)
        if isinstance(plot.incomplete, IncompleteHeadError):
            # No block and not every name: nothing a subcommand can show or write.
            raise plot.incomplete
        if plot.incomplete is not None and args.command != "info":
            print(cut_note(path, plot), file=sys.stderr)
        return plot
    except (OSError, KeyError, ValueError, MemoryError) as error:
        raise failure_of(path, error) from None


def failure_of(path: str, error: Exception) -> Failed:
    """A file's error as the one line the command shows: FormatError starts with path:line:,
    a missing column's KeyError names the file; what the library's messages tell a caller to
    pass (incomplete="keep", n_digits=15) is said as the command's options."""
    if isinstance(error, OSError):
        text = error.strerror or str(error)
        return Failed(text if text.startswith(f"{path}: ") else f"{path}: {text}")
    if isinstance(error, KeyError):
        return Failed(str(error.args[0]))
    text = str(error)
    if isinstance(error, FormatError):
        text = _OPTION_HINTS.sub(lambda found: _OPTIONS[found[1]] + (found[2] or ""), text)
        text = text.replace(", or None to find it", " (or leave it out to find it)")
    return Failed(text if text.startswith(path) else f"{path}: {text}")


# The arguments that the library's messages name, and the command's options for them.
_OPTION_HINTS = re.compile(r'(incomplete="keep"|n_digits=)(\d+)?')
_OPTIONS = {'incomplete="keep"': "--incomplete keep", "n_digits=": "--n-digits "}


def cut_note(path: str, plot: Plot) -> str:
    """Where a file read with incomplete="keep" is cut, as editors take a place."""
    cut = plot.incomplete
    assert cut is not None
    return f"{path}:{cut.line}: cut inside block {cut.block}"


def text32(value: "np.float32") -> str:
    """The shortest text that reads back as the very binary32 value, "-nan" for a NaN whose
    sign bit is set."""
    if math.isnan(value) and np.signbit(value):
        return "-nan"
    return str(np.float32(value))


@contextlib.contextmanager
def written(out: pathlib.Path) -> Iterator[pathlib.Path]:
    """The path to write ``out`` to. For a regular file (or none yet), a temporary file beside
    it, renamed over it once the block ends without an error, so that a failure (a full disk,
    the file size limit, an error of the writer's library, Ctrl-C) leaves an earlier file whole
    and no partial one; through a symbolic link, the file it points to. Anything else that is
    there (a pipe, a terminal, /dev/stdout) is written in place, as a stream. Every failure of
    the writing is Failed, said in one line."""
    try:
        kind = os.stat(out).st_mode
    except OSError:  # not there yet (or not to be seen: replacing() says why)
        kind = stat.S_IFREG
    if stat.S_ISDIR(kind):
        raise Failed(f"{out}: cannot write: {os.strerror(errno.EISDIR)}")
    with failing_in_one_line(str(out)):
        if stat.S_ISREG(kind):
            # The file at the end of the links (replacing() follows them).
            with replacing(out) as temporary:
                yield pathlib.Path(temporary)
        else:
            yield out


@contextlib.contextmanager
def standard_output() -> Iterator[BinaryIO]:
    """Standard output as a binary stream, for an output "-": written where it stands, in
    place (a regular file it was redirected to is neither replaced nor truncated), and flushed
    at the end. Every failure of the writing is Failed, said in one line."""
    sys.stdout.flush()
    with failing_in_one_line(STANDARD_OUTPUT):
        with open(sys.stdout.fileno(), "wb", closefd=False) as stream:
            yield stream


@contextlib.contextmanager
def failing_in_one_line(name: str) -> Iterator[None]:
    """Every failure of writing the output ``name`` as Failed, said in one line."""
    try:
        yield
    except (Failed, ImportError, BrokenPipeError):  # each said where main says it
        raise
    except OSError as error:
        raise Failed(f"{name}: cannot write: {error.strerror or one_line(error)}") from None
    except Exception as error:  # the writers' libraries: netCDF4's RuntimeError, pyarrow's, ...
        raise Failed(f"{name}: cannot write: {one_line(error)}") from None


def one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def same_file(first: Union[str, pathlib.Path], second: Union[str, pathlib.Path]) -> bool:
    """Whether both paths name one file that exists (through links, /dev/stdin included)."""
    try:
        return os.path.samefile(first, second)
    except OSError:
        return False


def refuse_to_overwrite(usage: argparse.ArgumentParser, path: str, out: pathlib.Path,
                        what: str) -> None:
    """A usage error (exit 2) where the output is the input file itself."""
    if same_file(path, out):
        usage.error(f"{what} {str(out)!r} is FILE itself: no command writes over its input")

