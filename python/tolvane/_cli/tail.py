"""tolvane tail: a file that a simulation is writing, followed as tail -f follows a text
file."""

from __future__ import annotations

import argparse
from typing import Any

from .._open import PlotFile
from .._tail import follow
from .common import block_count, check_storage_options, failure_of, seconds

NAME = "tail"


def add_parser(commands: Any, reading: argparse.ArgumentParser,
               cutting: argparse.ArgumentParser) -> argparse.ArgumentParser:
    tail = commands.add_parser(
        NAME, parents=[reading], help="follow a growing file, a line per block completed",
        description="Follows a plot file that a simulation is writing, as tail -f follows a text "
                    "file: one line per block completed (the time and the values, tab-separated), "
                    "until Ctrl-C.")
    tail.add_argument("file", metavar="FILE", help="TOLVANE plot file (a regular file)")
    tail.add_argument("--interval", type=seconds, default=0.5, metavar="S",
                      help="seconds between looks at the file (default 0.5)")
    tail.add_argument("-n", "--lines", type=block_count, default=0, metavar="N",
                      help="first the last N complete blocks (default 0)")
    return tail


def check(args: argparse.Namespace) -> None:
    check_storage_options(args, [args.file])


def run(args: argparse.Namespace) -> int:
    try:
        with PlotFile(args.file, args.n_digits, args.columns) as plot_file:
            follow(plot_file, args.lines, args.interval)
    except KeyboardInterrupt:  # the way to end it, as with tail -f
        return 0
    except (OSError, KeyError, ValueError, MemoryError) as error:
        raise failure_of(args.file, error) from None
    return 0


