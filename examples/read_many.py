"""Reads every plot file in a folder with quorel and writes one CSV of per-signal summaries.

Usage: python3 examples/read_many.py DIR WIDTH [-j N] [-o summary.csv] [--glob PATTERN]
                                      [--dask ADDRESS]

Each file is read and reduced to the first, last, smallest and largest value of every signal
in a worker process, so that only these few numbers travel back. -j sets the number of worker
processes (default: one per core); -j 1 reads in this process, one file after another. With
--dask ADDRESS the same per-file work runs on the workers of an existing Dask cluster
(pip install 'quorel[dask]'), which must see the files at the same paths.

The CSV has a row per signal of every file that reads: file, signal, first, last, min, max
(min and max skip NaN). Files that quorel cannot read are listed on standard error with its
message, and the exit status is then 1. Progress goes to standard error (a bar with
pip install 'quorel[many]').
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import os
import pathlib
import sys
from collections.abc import Iterator
from typing import TextIO

from helpers import runners
from helpers.progress import progress_bar
from helpers.signal_summary import FileSummary

COLUMNS = ["file", "signal", "first", "last", "min", "max"]


def plot_files(folder: pathlib.Path, pattern: str, output: pathlib.Path | None) -> list[pathlib.Path]:
    """The files of folder that pattern matches, but the CSV being written."""
    written = output.resolve() if output else None
    return sorted(path for path in folder.glob(pattern) if path.is_file() and path.resolve() != written)


def name_in(folder: pathlib.Path, summary: FileSummary) -> str:
    return pathlib.Path(summary["file"]).relative_to(folder).as_posix()


def write_csv(summaries: list[FileSummary], folder: pathlib.Path, out: TextIO) -> None:
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(COLUMNS)
    for summary in sorted(summaries, key=lambda s: s["file"]):
        name = name_in(folder, summary)
        for signal in summary["signals"]:
            # repr() gives back the very float: every value is an exact binary32 value.
            writer.writerow([name, signal["name"], *("" if signal[key] is None else repr(signal[key])
                                                     for key in ("first", "last", "min", "max"))])


def summaries(args: argparse.Namespace, paths: list[str]) -> Iterator[FileSummary]:
    if args.dask:
        return runners.on_dask(args.dask, paths, args.width)
    if args.jobs == 1:
        return runners.in_this_process(paths, args.width)
    return runners.in_processes(paths, args.width, args.jobs)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=pathlib.Path, help="folder of plot files")
    parser.add_argument("width", type=int, help="field width in bytes (12 or 15)")
    parser.add_argument("-j", "--jobs", type=int, default=len(os.sched_getaffinity(0)),
                        help="worker processes (default: one per core; 1: no workers)")
    parser.add_argument("-o", "--output", type=pathlib.Path, help="CSV file to write (default: standard output)")
    parser.add_argument("--glob", default="*.plt", help="which files of the folder to read (default: *.plt)")
    parser.add_argument("--dask", metavar="ADDRESS", help="scheduler of a Dask cluster to run on")
    args = parser.parse_args(argv)
    if args.jobs < 1:
        parser.error("-j needs at least 1")
    folder = args.folder.absolute()  # Dask's workers run elsewhere; links stay as they are
    paths = [str(path) for path in plot_files(folder, args.glob, args.output)]
    if not paths:
        parser.error(f"no file matches {args.glob!r} in {args.folder}")

    done: list[FileSummary] = []
    bar = progress_bar(len(paths), "file")
    try:
        for summary in summaries(args, paths):
            done.append(summary)
            bar.update(1)
    finally:
        bar.close()
    with contextlib.ExitStack() as stack:
        out = (stack.enter_context(open(args.output, "w", encoding="utf-8", newline=""))
               if args.output else sys.stdout)
        write_csv(done, folder, out)
    failed = [s for s in done if s["error"] is not None]
    for summary in sorted(failed, key=lambda s: s["file"]):
        print(f"read_many.py: {name_in(folder, summary)}: {summary['error']}", file=sys.stderr)
    print(f"read_many.py: {len(done) - len(failed)} of {len(done)} files read", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
