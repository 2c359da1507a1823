"""One read with quorel for the example scripts: a failure comes back as an ordinary exception
with quorel's message, and quorel's report on standard error can be kept out of the script's
own output."""

from __future__ import annotations

import contextlib
import os
import sys
import threading
from collections.abc import Iterator

import quorel

Columns = tuple[list[float], list[list[float]]]

# Swapping descriptors is process-wide; one read at a time swaps them.
_DESCRIPTORS = threading.Lock()


class ReadFailure(Exception):
    """quorel could not read a file; str() is quorel's message, unchanged."""


def read_plot(path: str, width: int, *, keep_report: bool = False) -> Columns:
    """quorel.rust_read_tolvane(path, width), raising ReadFailure where quorel raises its
    PanicException (which derives from BaseException and cannot be pickled to another
    process). Unless keep_report, the report quorel writes to descriptor 2 (and the line it
    may write to descriptor 1) go to /dev/null: the message is all a script shows."""
    silence = contextlib.nullcontext() if keep_report else _descriptors_to_devnull()
    with silence:
        try:
            return quorel.rust_read_tolvane(path, width)
        except BaseException as exc:
            kind = type(exc)
            if (kind.__module__, kind.__qualname__) != ("pyo3_runtime", "PanicException"):
                raise
            message = str(exc)
    raise ReadFailure(message)


@contextlib.contextmanager
def _descriptors_to_devnull() -> Iterator[None]:
    # quorel writes to the descriptors, not through sys.stdout and sys.stderr.
    with _DESCRIPTORS:
        sys.stdout.flush()
        sys.stderr.flush()
        saved = [os.dup(1), os.dup(2)]
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, 1)
            os.dup2(devnull, 2)
            yield
        finally:
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            for fd in (devnull, *saved):
                os.close(fd)
