"""tolvane tail: a growing plot file followed as tail -F follows a text file, one line per block
completed (the time and the values chosen, tab-separated), until Ctrl-C; a file written again
under it (a run restarted) is followed from its new start."""

from __future__ import annotations

import os
import sys
import time
from typing import Callable, List, Optional, TextIO, Tuple

import numpy as np

from ._errors import FileChangedError
from ._open import PlotFile
from ._plot import Plot


def block_rows(plot: Plot) -> List[str]:
    """Each block of `plot` as a line: its values, the time first, as the shortest texts that
    read back as the same binary32 values ("-nan" for a NaN whose sign is set), tab-separated."""
    columns = []
    for field in plot._fields:
        array = plot[field]
        text = array.astype(str)
        text[np.isnan(array) & np.signbit(array)] = "-nan"
        columns.append(text.tolist())
    return ["\t".join(values) + "\n" for values in zip(*columns)]


def header_row(plot_file: PlotFile) -> str:
    """The names of the columns followed, tab-separated, as the rows give their values."""
    return "\t".join(plot_file.names[field] for field in plot_file._fields) + "\n"


class FileWatch:
    """What tells that the file at `path` was written again since it was opened: another file
    there now (replaced), a size below one seen before (cut), or a head that is not the one
    read (written again from its start)."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.identity = _identity(path)
        self.size = 0
        self.head: Optional[bytes] = None

    def know_head(self, lines: int) -> None:
        """Keeps the head's bytes (its first `lines` lines), once it is whole."""
        if self.head is None:
            self.head = _first_lines(self.path, lines)

    def rewritten(self) -> bool:
        try:
            status = os.stat(self.path)
        except OSError:  # gone for now: a file that comes back there is looked at then
            return False
        if (status.st_dev, status.st_ino) != self.identity or status.st_size < self.size:
            return True
        self.size = status.st_size
        if self.head is not None:
            return _first_lines(self.path, self.head.count(b"\n")) != self.head
        return False


def follow(open_file: Callable[[], PlotFile], path: str, lines: int, interval: float, header: bool = True,
           out: TextIO = sys.stdout, err: TextIO = sys.stderr) -> None:
    """Writes the names (where `header`), the last `lines` complete blocks, then each block as it
    is completed, every `interval` seconds, until KeyboardInterrupt (which it lets through). A
    file written again (FileWatch) is opened again, said on `err`, and followed from block 0;
    a head still being written is waited for."""
    watch = FileWatch(path)
    plot_file = open_file()
    try:
        plot_file._updates_from(max(0, len(plot_file) - lines))
        named = False
        while True:
            try:
                new = plot_file.update()
            except FileChangedError:
                new = None
            if new is not None and plot_file.names:
                watch.know_head(1 + len(plot_file.names))
                if header and not named:
                    out.write(header_row(plot_file))
                    out.flush()
                named = True
            if new is not None and len(new):
                out.writelines(block_rows(new))
                out.flush()
                continue
            if new is None or watch.rewritten():
                err.write(f"{path}: the file was written again (cut, replaced or its head changed): "
                          "following it from its start\n")
                err.flush()
                plot_file.close()
                watch, plot_file = _open_again(open_file, path, interval)
                named = False
                continue
            time.sleep(interval)
    finally:
        plot_file.close()


def _open_again(open_file: Callable[[], PlotFile], path: str, interval: float) -> Tuple[FileWatch, PlotFile]:
    """The file opened again, once it is there again."""
    while True:
        try:
            watch = FileWatch(path)
            return watch, open_file()
        except FileNotFoundError:
            time.sleep(interval)


def _identity(path: str) -> Tuple[int, int]:
    status = os.stat(path)
    return status.st_dev, status.st_ino


def _first_lines(path: str, lines: int) -> bytes:
    with open(path, "rb") as file:
        return b"".join(file.readline() for _ in range(lines))
