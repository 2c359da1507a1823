"""tolvane view: plot files in the browser, served from this machine until Ctrl-C."""

from __future__ import annotations

import argparse
import sys
import threading
from typing import Any, List

from .._source import is_url
from .._tables import library
from .common import Failed, check_storage_options, failure_of

NAME = "view"


def add_parser(commands: Any, reading: argparse.ArgumentParser,
               cutting: argparse.ArgumentParser) -> argparse.ArgumentParser:
    view = commands.add_parser(
        NAME, parents=[reading], help="show files in the browser, zoomable at any length",
        description="Starts a web server on 127.0.0.1 and opens its page in the browser: the "
                    "signals of each FILE in panels on one time axis, several files overlaid, "
                    "every zoom decimated by the server from a min/max pyramid (a local file's "
                    "values are never all held). Prints the page's URL, whose token every "
                    "request needs; Ctrl-C stops it. Needs plotly: pip install 'quorel[view]'.")
    view.add_argument("files", nargs="+", metavar="FILE",
                      help="TOLVANE plot file: a path, a URL, or - for standard input")
    view.add_argument("--reference", metavar="REF",
                      help="a plot file to compare each FILE with (tolvane.compare's default "
                           "tolerances): each signal's band around it is drawn, and the points "
                           "outside it marked")
    view.add_argument("--follow", action="store_true",
                      help="fold in the blocks that growing files gain, and keep showing their end")
    view.add_argument("--port", type=port_number, default=0, metavar="N",
                      help="the port on 127.0.0.1 (default: one the system picks)")
    view.add_argument("--no-browser", action="store_true", help="print the URL only")
    return view


def port_number(text: str) -> int:
    if not text.isdigit() or not 0 <= int(text) <= 65535:
        raise argparse.ArgumentTypeError(f"{text!r} is not a port number (0 to 65535)")
    return int(text)


def keep_memory_small() -> None:
    """In the command's own process: glibc's malloc keeps one arena, maps every block of 4 MiB
    or more and gives it back when freed, and keeps at most 4 MiB free at the top of its heap,
    so that the server's resident memory stays near what it holds (with an arena for each
    thread, as by default, the zooms' freed arrays stayed in theirs: a peak of 65 MB on the
    benchmark's file, against 35 MB). The arrays of the windows a file is folded in by (a few
    MB each) come from the heap, each in the room of one freed before: with a threshold of
    128 KiB, every window's arrays were mapped anew, and the file was folded in some 5 to 10 %
    slower."""
    import ctypes
    import ctypes.util

    name = ctypes.util.find_library("c")
    try:
        libc = ctypes.CDLL(name) if name else None
        if libc is not None and hasattr(libc, "mallopt") and hasattr(libc, "malloc_trim"):
            libc.malloc_trim(0)
            libc.mallopt(-3, 4 << 20)  # M_MMAP_THRESHOLD
            libc.mallopt(-1, 4 << 20)  # M_TRIM_THRESHOLD
            libc.mallopt(-8, 1)  # M_ARENA_MAX
    except OSError:  # not glibc: its own malloc's ways
        pass


def check(args: argparse.Namespace) -> None:
    check_storage_options(args, list(args.files))
    if args.files.count("-") > 1:
        args.parser.error("standard input (-) can be read once only")


def run(args: argparse.Namespace) -> int:
    library("plotly", "view", "tolvane view")
    from .._view import view

    keep_memory_small()
    sources: List[Any] = []
    for path in args.files:
        sources.append(sys.stdin.buffer if path == "-" else path)
    options = [dict(args.storage_options) if isinstance(s, str) and is_url(s) else None for s in sources]
    try:
        handle = view(*sources, follow=args.follow, port=args.port, n_digits=args.n_digits,
                      columns=args.columns, open_browser=False, reference=args.reference,
                      storage_options=next((o for o in options if o), None))
    except OSError as error:
        if error.filename is None and args.port:
            raise Failed(f"{NAME}: port {args.port} on 127.0.0.1: {error.strerror or error}") from None
        raise failure_of(error.filename or args.files[0], error) from None
    except (KeyError, ValueError, MemoryError) as error:
        raise failure_of(args.files[0], error) from None
    with handle:
        # The URL printed inside the try: a Ctrl-C sent as soon as it is read stops the server
        # as any other does, however late this thread runs again after the print.
        try:
            print(handle.url, flush=True)
            if not args.no_browser:
                import webbrowser

                webbrowser.open(handle.url)
            threading.Event().wait()
        except KeyboardInterrupt:  # the way to stop it
            pass
    return 0
