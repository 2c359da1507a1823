"""The tolvane command: its parser, built from the subcommands' modules, and its exit status.

Exit status: 0 when every file read and every output was written; 1 when a file does not read
(``path:line: message`` on standard error, as FormatError says it), an output cannot be
written, or standard output is a pipe closed early (which ends the command quietly); 2 for a
bad argument (with the usage); 130 after Ctrl-C. compare, as tools that compare results do:
0 when every signal is within tolerance, 1 when one is not, 2 for an error (a file that does
not read, an output that cannot be written, a bad argument).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from types import ModuleType
from typing import Dict, Optional, Sequence

from .._version import __version__
from . import compare, convert, info, plot, tail, view
from .common import PROG, Failed, cutting_options, reading_options

# Each subcommand's module has NAME, add_parser(commands, reading, cutting), check(args) (the
# checks of its arguments that argparse cannot make, as usage errors) and run(args), the exit
# status.
SUBCOMMANDS: Dict[str, ModuleType] = {module.NAME: module for module in (info, convert, plot, tail, compare, view)}


def parser() -> argparse.ArgumentParser:
    reading, cutting = reading_options(), cutting_options()
    top = argparse.ArgumentParser(
        prog=PROG, description="Reads TOLVANE plot files: what they hold, other formats, a "
                               "picture. FILE is a local path, a URL (s3://..., https://..., "
                               "through fsspec) or - for standard input; gzip, bzip2, xz and "
                               "zstd files are decompressed.",
        epilog="A file that does not read prints path:line: message on standard error and exits "
               "1; a bad argument exits 2; Ctrl-C exits 130.")
    top.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for module in SUBCOMMANDS.values():
        sub = module.add_parser(commands, reading, cutting)
        sub.set_defaults(parser=sub)
    return top


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The command: its exit status. A closed output pipe ends it quietly with status 1, as
    Python's documentation advises for SIGPIPE (which Python ignores: a write gets EPIPE);
    Ctrl-C with 130, the shells' status for a command that SIGINT ended; neither shows a
    traceback."""
    try:
        try:
            return run(argv)
        finally:
            # Here, so that a pipe closed early shows while it can be caught.
            sys.stdout.flush()
    except BrokenPipeError:
        # Nothing more can be said: the streams go to /dev/null, where Python's own flush at
        # exit cannot fail again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(OSError, ValueError):
                os.dup2(devnull, stream.fileno())
        os.close(devnull)
        return 1
    except KeyboardInterrupt:
        return 130


def run(argv: Optional[Sequence[str]]) -> int:
    args = parser().parse_args(argv)
    command = SUBCOMMANDS[args.command]
    command.check(args)
    try:
        return int(command.run(args))
    except Failed as failure:
        print(failure, file=sys.stderr)
        return 1
    except ImportError as error:  # a library of an extra not installed; the message names it
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
