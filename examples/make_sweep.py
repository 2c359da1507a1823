"""Writes a sweep of plot files to read with tolvane.read_many: variants of the sample's drive
start.

RUNS variants of examples/make_sample.py's drive start, each with its own final speed, start
time constant and torques, as DIR/run_0001.plt, DIR/run_0002.plt, ... Each step adds about 160
bytes to a width-12 file, 195 to a width-15 one.

Usage: python3 examples/make_sweep.py DIR [--runs N] [--steps S] [--width {12,15}]
"""

from __future__ import annotations

import argparse
import pathlib
import random

from make_sample import Drive, write_sample


def drive_of_run(run: int) -> Drive:
    rng = random.Random(run)  # the same run always gets the same drive
    return Drive(speed_rpm=rng.uniform(900.0, 3000.0), tau_s=rng.uniform(0.02, 0.08),
                 start_torque=rng.uniform(20.0, 60.0), load_torque=rng.uniform(2.0, 10.0))


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", type=pathlib.Path, metavar="DIR",
                        help="where to write the files (made if missing)")
    parser.add_argument("--runs", type=int, default=100, help="how many files (default 100)")
    parser.add_argument("--steps", type=int, default=401, help="time steps of 0.5 ms a run (default 401)")
    parser.add_argument("--width", type=int, choices=(12, 15), default=12,
                        help="field width in bytes: 12 (6 significant digits) or 15 (9); default 12")
    args = parser.parse_args(argv)
    args.folder.mkdir(parents=True, exist_ok=True)
    for run in range(1, args.runs + 1):
        write_sample(args.folder / f"run_{run:04d}.plt", args.width, steps=args.steps,
                     drive=drive_of_run(run), title=f"TOLVANE SWEEP  RUN {run}")
    print(f"wrote {args.runs} files to {args.folder}")


if __name__ == "__main__":
    main()
