"""Says where a plot file breaks the format when quorel cannot read it.

Usage: python3 examples/locate_failure.py FILE WIDTH

Reads FILE with quorel. If that fails, walks the file by the same rules and prints, under
quorel's own message, the first place that breaks them: the line (counted from 1), the block
and field (counted from 0, as the lists quorel returns count them; field 0 is the time), the
byte range in the line and what it holds, or that the line is missing.

Exit status: 0 the file reads; 1 the fault is shown; 3 quorel failed but the file follows the
rules (it may have changed in between); 2 a usage error.
"""

from __future__ import annotations

import argparse
import sys

from helpers.fault_finder import Fault, first_fault
from helpers.plot_read import ReadFailure, read_plot

KEY_WIDTH = 9  # "quorel:  " and the other keys, values aligned after them


def width_argument(text: str) -> int:
    width = int(text)
    if not 0 <= width < 2**64:
        raise argparse.ArgumentTypeError(f"{text} is not a width from 0 to 2**64 - 1")
    return width


def report(message: str, fault: Fault | None) -> list[tuple[str, str]]:
    """The rows printed for a failed read: (key, value), a value may span lines."""
    rows = [("quorel", message)]
    if fault is None:
        return rows + [("fault", "none: the file follows the format now (did it change since it was read?)")]
    rows.append(("fault", fault.kind))
    if fault.line is not None:
        rows.append(("line", _line(fault)))
    if fault.block is not None:
        rows.append(("block", str(fault.block)))
    if fault.field is not None:
        rows.append(("field", f"{fault.field} ({fault.name})" if fault.name else str(fault.field)))
    if fault.start is not None:
        rows.append(("bytes", f"{fault.start}..{fault.end} of {fault.line_length}"))
    if fault.character is not None:
        rows.append(("char", f"{fault.character!r} at bytes {fault.character_start}..{fault.character_end}"))
    if fault.text is not None:
        rows.append(("text", repr(fault.text)))
    rows.append(("why", fault.why))
    return rows


def _line(fault: Fault) -> str:
    if not fault.missing:
        return str(fault.line)
    if fault.line == 1:
        return "1 (missing: the file is empty)"
    return f"{fault.line} (missing: the file ends after line {(fault.line or 1) - 1})"


def print_rows(rows: list[tuple[str, str]]) -> None:
    for key, value in rows:
        first, *more = value.split("\n")
        print(f"{key + ':':<{KEY_WIDTH}}{first}")
        for line in more:
            print(" " * KEY_WIDTH + line)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", help="TOLVANE plot file")
    parser.add_argument("width", type=width_argument, help="field width in bytes (12 or 15)")
    args = parser.parse_args(argv)
    try:
        time, columns = read_plot(args.file, args.width)
    except ReadFailure as failure:
        message = str(failure)
    else:
        print(f"{args.file}: reads with width {args.width}: {len(time)} blocks, "
              f"{len(columns)} signals besides time")
        return 0
    fault = first_fault(args.file, args.width)
    print_rows(report(message, fault))
    return 1 if fault else 3


if __name__ == "__main__":
    sys.exit(main())
