"""Reads the project's sample plot files with both faces, quorel's lists and tolvane's named
arrays, and prints what came back.

Usage: python examples/demo.py [PLOTFILE WIDTH]
Without arguments it reads examples/sample_w12.plt and examples/sample_w15.plt, writing them
first with examples/make_sample.py if they are missing.
"""

import pathlib
import sys

import quorel

try:
    import tolvane
except ImportError:  # CPython 3.9: quorel alone is built there
    tolvane = None

HERE = pathlib.Path(__file__).resolve().parent


def describe(path, width):
    time, columns = quorel.rust_read_tolvane(str(path), width)
    print(f"{path.name}: width {width}, {len(time)} time steps, {len(columns)} signals besides time")
    print(f"  time from {time[0]!r} to {time[-1]!r}")
    for index, column in enumerate(columns[:4], start=1):
        print(f"  signal {index:2d}: first {column[0]!r:>22}  min {min(column)!r:>22}  max {max(column)!r:>22}")
    if len(columns) > 4:
        print(f"  ... and {len(columns) - 4} more")
    if tolvane is None:
        print("  (tolvane needs CPython 3.10 or newer)")
        return
    plot = tolvane.read(path)
    print(f"  tolvane.read: {plot!r}")
    print(f"  names: {', '.join(plot.names)}")
    for name in plot.names[1:3]:
        print(f"  plot[{name!r}][:4] = {plot[name][:4]!r}")


def main(argv):
    if len(argv) == 2:
        describe(pathlib.Path(argv[0]), int(argv[1]))
        return
    samples = [(HERE / "sample_w12.plt", 12), (HERE / "sample_w15.plt", 15)]
    if not all(path.exists() for path, _ in samples):
        sys.path.insert(0, str(HERE))
        import make_sample

        make_sample.main([])
    for path, width in samples:
        describe(path, width)


if __name__ == "__main__":
    main(sys.argv[1:])
