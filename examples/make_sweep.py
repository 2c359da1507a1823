"""Writes a parameter sweep of plot files to try read_many.py on: RUNS variants of the sample's
drive start (examples/make_sample.py), each with its own final speed, start time constant and
torques, as run_0001.plt, run_0002.plt, ...

Usage: python3 examples/make_sweep.py DIR [--runs N] [--steps S] [--width {12,15}]
(each step adds about 160 bytes to a width-12 file, 195 to a width-15 one)
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
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--steps", type=int, default=401, help="time steps of 0.5 ms a run (default 401)")
    parser.add_argument("--width", type=int, choices=(12, 15), default=12)
    args = parser.parse_args(argv)
    args.folder.mkdir(parents=True, exist_ok=True)
    for run in range(1, args.runs + 1):
        write_sample(args.folder / f"run_{run:04d}.plt", args.width, steps=args.steps,
                     drive=drive_of_run(run), title=f"TOLVANE SWEEP  RUN {run}")
    print(f"wrote {args.runs} files to {args.folder}")


if __name__ == "__main__":
    main()
