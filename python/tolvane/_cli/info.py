"""tolvane info: what each file holds (its width, parameters, blocks, time range, and each
parameter's extremes)."""

from __future__ import annotations

import argparse
import sys
from typing import Any

import numpy as np

from .common import Failed, check_storage_options, cut_note, input_path, read_or_fail, text32

NAME = "info"


def add_parser(commands: Any, reading: argparse.ArgumentParser,
               cutting: argparse.ArgumentParser) -> argparse.ArgumentParser:
    info = commands.add_parser(
        NAME, parents=[reading], help="the width, parameters, blocks and time range of files",
        description="For each file: its width, parameter count, block count and time range, "
                    "then each parameter's name, minimum and maximum (NaN skipped). A file cut "
                    "inside its last block gives the complete blocks before it, and a line that "
                    "says where it is cut.")
    info.add_argument("files", nargs="+", type=input_path, metavar="FILE",
                      help="TOLVANE plot file: a path, a URL, or - for standard input")
    return info


def check(args: argparse.Namespace) -> None:
    check_storage_options(args, args.files)


def run(args: argparse.Namespace) -> int:
    status = 0
    for path in args.files:
        try:
            plot = read_or_fail(path, args, "keep")
        except Failed as failure:
            print(failure, file=sys.stderr)
            status = 1
            continue
        blocks = len(plot)
        span = f"time {text32(plot.time[0])} .. {text32(plot.time[-1])}" if blocks else "no block"
        print(f"{path}: width {plot.n_digits}, {len(plot.names)} parameters, {blocks} blocks, {span}")
        if plot.incomplete is not None:
            print(cut_note(path, plot))
        rows = [(name, *extremes(plot[field])) for field, name in zip(plot._fields, plot)]
        name_width = max(len(row[0]) for row in rows)
        value_width = max(len(text) for row in rows for text in row[1:])
        for name, low, high in rows:
            print(f"  {name:<{name_width}}  {low:>{value_width}}  {high:>{value_width}}")
    return status


def extremes(values: "np.ndarray[Any, Any]") -> "tuple[str, str]":
    """The smallest and largest value, NaN skipped: "nan" where every value is NaN, "-" where
    there is none."""
    if not len(values):
        return "-", "-"
    numbers = values[~np.isnan(values)]
    if not len(numbers):
        return "nan", "nan"
    return text32(numbers.min()), text32(numbers.max())


