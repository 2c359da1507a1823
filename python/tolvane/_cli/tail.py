"""tolvane tail: a file that a simulation is writing, followed as tail -F follows a text
file."""

from __future__ import annotations

import argparse
import os
from typing import Any

from .._open import PlotFile, refuse_streams
from .._source import is_url
from .._tail import follow
from .common import block_count, failure_of, seconds

NAME = "tail"


def add_parser(commands: Any, reading: argparse.ArgumentParser,
               cutting: argparse.ArgumentParser) -> argparse.ArgumentParser:
    tail = commands.add_parser(
        NAME, parents=[reading], help="follow a growing file, a line per block completed",
        description="Follows a plot file that a simulation is writing, as tail -F follows a text "
                    "file: a line of the names, then one line per block completed (the time and "
                    "the values, tab-separated), until Ctrl-C. A file written again under it (a "
                    "run restarted) is followed from its new start, with a note on standard "
                    "error.")
    tail.add_argument("file", metavar="FILE", help="TOLVANE plot file (a local regular file, not compressed)")
    tail.add_argument("--interval", type=seconds, default=0.5, metavar="S",
                      help="seconds between looks at the file (default 0.5)")
    tail.add_argument("-n", "--lines", type=block_count, default=0, metavar="N",
                      help="first the last N complete blocks (default 0)")
    tail.add_argument("--no-header", dest="header", action="store_false",
                      help="leave out the line of the names")
    return tail


def check(args: argparse.Namespace) -> None:
    """What tail cannot follow is a usage error: it reads a local file's blocks in place."""
    if args.file == "-":
        args.parser.error("tail follows a file by its path: standard input (-) cannot be followed")
    if args.storage_options:
        args.parser.error("--storage-option is for URLs, and tail follows a local file")
    if is_url(args.file) and not os.path.exists(args.file):
        args.parser.error(f"tail follows a local file, not the URL {args.file!r}")
    try:
        refuse_streams(args.file, os.fsencode(args.file), "tail")
    except ValueError as error:
        args.parser.error(str(error))


def run(args: argparse.Namespace) -> int:
    try:
        follow(lambda: PlotFile(args.file, args.n_digits, args.columns), args.file, args.lines,
               args.interval, args.header)
    except KeyboardInterrupt:  # the way to end it, as with tail -f
        return 0
    except (OSError, KeyError, ValueError, MemoryError) as error:
        raise failure_of(args.file, error) from None
    return 0
