"""tolvane tail: a growing plot file followed as tail -f follows a text file, one line per block
completed (the time and the values chosen, tab-separated), until Ctrl-C."""

from __future__ import annotations

import sys
import time
from typing import List, TextIO

import numpy as np

from ._open import PlotFile
from ._plot import Plot


def block_rows(plot: Plot) -> List[str]:
    """Each block of `plot` as a line: its values, the time first, as the shortest texts that
    read back as the same values (binary64 for the float64 time, binary32 for the others; "-nan"
    for a NaN whose sign is set), tab-separated."""
    columns = []
    for field in plot._fields:
        array = plot[field]
        text = array.astype(str)
        text[np.isnan(array) & np.signbit(array)] = "-nan"
        columns.append(text.tolist())
    return ["\t".join(values) + "\n" for values in zip(*columns)]


def follow(plot_file: PlotFile, lines: int, interval: float, out: TextIO = sys.stdout) -> None:
    """Writes the last `lines` complete blocks, then each block as it is completed, every
    `interval` seconds, until KeyboardInterrupt (which it lets through)."""
    count = len(plot_file)
    plot_file._updates_from(max(0, count - lines))
    while True:
        new = plot_file.update()
        if len(new):
            out.writelines(block_rows(new))
            out.flush()
        else:
            time.sleep(interval)
