"""tolvane compare: a run (or a folder of runs) checked against a reference, as
tolvane.compare and tolvane.compare_many check them; a table of the failed signals on standard
output, the reports written where asked. Exit status 0 when everything is within tolerance,
1 when something is not, 2 for an error (a file missing or unreadable, a bad argument)."""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
from typing import Any, Dict, Tuple, Union

from .._compare import DEFAULT_TOLERANCES, TOLERANCE_KEYS, Comparison, compare
from .._compare_many import SweepComparison, compare_many
from .._read import read
from .._source import _fsspec, is_url
from .common import Failed, failure_of, storage_option, written

NAME = "compare"
# The status of an error, as csv-compare's: 1 says only that something is outside tolerance.
ERROR = 2


def tolerance(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"{text!r} is not a tolerance (a number, 0 or more)")
    return value


def signal_tolerance(text: str) -> Tuple[str, Dict[str, float]]:
    """PATTERN:KEY=X,KEY=X, the keys as the options name them (atol, rtol, range-rtol,
    time-atol, time-rtol)."""
    pattern, colon, settings = text.rpartition(":")
    if not colon or not pattern or not settings:
        raise argparse.ArgumentTypeError(f"{text!r} is not PATTERN:KEY=X,... (such as 'TORQUE*:atol=0.5')")
    values = {}
    for item in settings.split(","):
        key, equals, number = item.partition("=")
        key = key.strip().replace("-", "_")
        if not equals or key not in TOLERANCE_KEYS:
            raise argparse.ArgumentTypeError(f"{item!r} in {text!r} is not KEY=X with KEY one of "
                                             f"{', '.join(k.replace('_', '-') for k in TOLERANCE_KEYS)}")
        values[key] = tolerance(number)
    return pattern, values


def add_parser(commands: Any, reading: argparse.ArgumentParser,
               cutting: argparse.ArgumentParser) -> argparse.ArgumentParser:
    sub: argparse.ArgumentParser = commands.add_parser(
        NAME, help="check a run (or a folder of runs) against a reference within tolerances",
        description="Checks every signal of ACT against REF: two plot files, or two folders whose "
                    "files are paired by their path inside each. Around every reference point "
                    "stands a rectangle, half-height max(atol, rtol * |value|, range-rtol * (the "
                    "signal's max - min)), half-width max(time-atol, time-rtol * (the reference's "
                    "time range)); each point of ACT must lie within their envelopes. Prints the "
                    "failed signals; exits 0 when every signal is within tolerance, 1 when one is "
                    "not, 2 for an error (a missing or unreadable file, a bad argument).")
    sub.add_argument("reference", metavar="REF", help="the reference: a plot file or a folder (a path or URL)")
    sub.add_argument("actual", metavar="ACT", help="the run checked: a plot file or a folder")
    for key in TOLERANCE_KEYS:
        option = "--" + key.replace("_", "-")
        sub.add_argument(option, type=tolerance, default=DEFAULT_TOLERANCES[key], metavar="X",
                         help=f"(default: {DEFAULT_TOLERANCES[key]:g})")
    sub.add_argument("--common-range", action="store_true",
                     help="compare the time range both runs cover (default: ACT must cover REF's)")
    sub.add_argument("--previous", action="store_true",
                     help="hold each reference value to the next point (default: linear between points)")
    sub.add_argument("--signal", type=signal_tolerance, action="append", default=[], metavar="PATTERN:KEY=X,...",
                     help="tolerances of the signals whose names match PATTERN (shell-style), over the "
                          "defaults, such as 'TORQUE*:atol=0.5,time-atol=0.01'; repeatable, later over earlier")
    sub.add_argument("--json", type=pathlib.Path, metavar="F", help="write the report as JSON to F")
    sub.add_argument("--junit", type=pathlib.Path, metavar="F",
                     help="write a JUnit XML report to F (a test case per signal)")
    sub.add_argument("--html", type=pathlib.Path, metavar="F",
                     help="write a self-contained HTML report to F (the failed signals drawn)")
    sub.add_argument("--all", action="store_true", help="draw every signal in the HTML report")
    sub.add_argument("--threads", type=int, default=None, metavar="N",
                     help="folders: how many pairs are compared at once (default: the cores)")
    sub.add_argument("--storage-option", type=storage_option, action="append", default=[],
                     metavar="KEY=VALUE", dest="storage_options",
                     help="an option of a URL's file system, for fsspec; repeatable")
    return sub


def check(args: argparse.Namespace) -> None:
    if args.threads is not None and args.threads < 1:
        args.parser.error(f"--threads must be at least 1, not {args.threads}")
    if args.storage_options and not (is_url(args.reference) or is_url(args.actual)):
        args.parser.error("--storage-option is for URLs (s3://..., https://...), and neither REF nor ACT is one")


def is_folder(path: str, options: Dict[str, Any]) -> bool:
    if is_url(path):
        fs, inner = _fsspec().core.url_to_fs(path, **options)
        return bool(fs.isdir(inner))
    return os.path.isdir(path)


def run(args: argparse.Namespace) -> int:
    options = dict(args.storage_options)
    keywords: Dict[str, Any] = {key: getattr(args, key) for key in TOLERANCE_KEYS}
    keywords.update(time_range="common" if args.common_range else "reference",
                    interpolation="previous" if args.previous else "linear",
                    tolerances=dict(args.signal) if args.signal else None)
    try:
        result = _compared(args, options, keywords)
    except Failed as failure:
        print(failure, file=sys.stderr)
        return ERROR
    print(result)
    for out, write in ((args.json, lambda path: path.write_text(result.to_json() + "\n")),
                       (args.junit, result.to_junit), (args.html, lambda path: result.to_html(path, all=args.all))):
        if out is not None:
            try:
                with written(out) as path:
                    write(path)
            except Failed as failure:
                print(failure, file=sys.stderr)
                return ERROR
    return 0 if result.ok else 1


def _compared(args: argparse.Namespace, options: Dict[str, Any],
              keywords: Dict[str, Any]) -> Union[Comparison, SweepComparison]:
    folders = []
    for path in (args.reference, args.actual):
        try:
            folders.append(is_folder(path, options))
        except (OSError, ValueError, ImportError) as error:
            raise Failed(f"{path}: {error}") from None
    if folders[0] != folders[1]:
        raise Failed(f"{args.reference if folders[0] else args.actual} is a folder and "
                     f"{args.actual if folders[0] else args.reference} is not: give two files or two folders")
    if folders[0]:
        try:
            return compare_many(args.reference, args.actual, threads=args.threads,
                                storage_options=options or None, **keywords)
        except (OSError, ValueError) as error:
            raise failure_of(getattr(error, "filename", None) or args.reference, error) from None
    plots = []
    for path in (args.reference, args.actual):
        try:
            plots.append(read(path, storage_options=options if is_url(path) else None))
        except (OSError, KeyError, ValueError, MemoryError) as error:
            raise failure_of(path, error) from None
    try:
        return compare(plots[0], plots[1], **keywords)
    except (KeyError, ValueError) as error:
        raise Failed(f"{args.actual}: {error}") from None
