"""A progress count on standard error: tqdm's bar where tqdm is installed
(pip install 'quorel[many]'), else a plain count."""

from __future__ import annotations

import sys
from typing import Protocol, TextIO


class Progress(Protocol):
    def update(self, n: int = 1) -> object: ...

    def close(self) -> None: ...


class PlainProgress:
    """'done/total units' redrawn in place on a terminal; elsewhere (a log) a line at every tenth."""

    def __init__(self, total: int, unit: str, stream: TextIO | None = None) -> None:
        self.total, self.unit, self.done = total, unit, 0
        self.stream = stream or sys.stderr
        self.live = self.stream.isatty()

    def update(self, n: int = 1) -> None:
        tenths_before = self.done * 10 // max(self.total, 1)
        self.done += n
        text = f"{self.done}/{self.total} {self.unit}s"
        if self.live:
            self.stream.write(f"\r{text}")
        elif self.done * 10 // max(self.total, 1) > tenths_before:
            self.stream.write(f"{text}\n")
        self.stream.flush()

    def close(self) -> None:
        if self.live:
            self.stream.write("\n")


def progress_bar(total: int, unit: str) -> Progress:
    try:
        from tqdm import tqdm
    except ImportError:
        return PlainProgress(total, unit)
    tqdm.monitor_interval = 0  # no monitor thread: read_many.py forks its workers
    bar: Progress = tqdm(total=total, unit=unit, file=sys.stderr, dynamic_ncols=True)
    return bar
