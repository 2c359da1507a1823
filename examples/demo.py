"""Reads the project's sample plot files with tolvane and shows what came back: the names, the
float64 time and float32 arrays of each, the same values through quorel's established lists (its
time binary32, as tolvane gives it with time_dtype="float32"), both files as one
table, and where a broken copy breaks the format.

Usage: python3 examples/demo.py [PLOTFILE]
Without an argument it reads examples/sample_w12.plt and examples/sample_w15.plt, writing them
first with examples/make_sample.py if they are missing. On CPython 3.9, where tolvane is not
built, it reads them with quorel alone.
"""

import pathlib
import struct
import sys
import tempfile

import quorel

try:
    import tolvane
except ImportError:  # CPython 3.9: quorel alone is built there
    tolvane = None

HERE = pathlib.Path(__file__).resolve().parent


def describe(path):
    if tolvane is None:
        return describe_with_quorel(path)
    plot = tolvane.read(path)
    print(f"{path.name}: {plot!r}")
    print(f"  names: {', '.join(plot.names)}")
    print(f"  plot.time[:4] = {plot.time[:4]!r}")
    for name in plot.names[1:3]:
        print(f"  plot[{name!r}][:4] = {plot[name][:4]!r}")
    time, columns = quorel.rust_read_tolvane(str(path), plot.n_digits)
    same = all(struct.pack(f"<{len(values)}f", *values) == plot[field].tobytes()
               for field, values in enumerate(columns, start=1))
    time32 = tolvane.read(path, time_dtype="float32").time
    same_time = struct.pack(f"<{len(time)}f", *time) == time32.tobytes()
    print(f"  quorel.rust_read_tolvane gives the same {len(columns)} signals besides time, "
          f"bit for bit: {same}, and its binary32 time tolvane's time_dtype='float32' one: {same_time}")


def describe_with_quorel(path):
    width = 15 if path.name.endswith("w15.plt") else 12
    time, columns = quorel.rust_read_tolvane(str(path), width)
    print(f"{path.name}: width {width}, {len(time)} time steps, {len(columns)} signals besides time")
    print(f"  time from {time[0]!r} to {time[-1]!r}")
    print("  (tolvane needs CPython 3.10 or newer)")


def both_as_one_table(paths):
    """Both samples as one long table, a row per block: tolvane.read_many's pandas DataFrame
    where pandas is installed, else the same rows as one numpy array (the README's first
    command installs tolvane with numpy alone; pandas is the extra 'pandas')."""
    try:
        frame = tolvane.read_many(paths)
    except ImportError:  # no pandas: the rows of both Plots, one numpy table
        import numpy as np  # tolvane's own dependency

        plots = [tolvane.read(path) for path in paths]
        table = np.concatenate([plot.to_numpy() for plot in plots])
        which = np.repeat([pathlib.Path(plot.path).name for plot in plots], [len(plot) for plot in plots])
        how = "one numpy array (with pandas, tolvane.read_many makes it a DataFrame)"
        columns = ["path", *plots[0]]
        speed = table[:, columns.index("SPEED") - 1]
        largest = {name: speed[which == name].max() for name in dict.fromkeys(which)}
    else:
        how, table, columns = "tolvane.read_many, a pandas DataFrame", frame, list(frame.columns)
        largest = frame.groupby("path", observed=True)["SPEED"].max().rename(lambda p: pathlib.Path(p).name)
    print(f"both samples as one table: {how}: {len(table)} rows, columns {', '.join(columns[:4])}, ...")
    for name, value in dict(largest).items():
        print(f"  largest SPEED in {name}: {value:.6f}")


def a_broken_copy(path):
    lines = path.read_text().split("\n")
    lines[20] = lines[20].replace("E+02", "D+02", 1)  # a Fortran exponent in block 2
    with tempfile.TemporaryDirectory() as folder:
        broken = pathlib.Path(folder) / "broken.plt"
        broken.write_text("\n".join(lines))
        try:
            tolvane.read(broken)
        except tolvane.FormatError as error:
            print(f"a broken copy: FormatError: {str(error).replace(folder, '...')}")


def main(argv):
    if argv:
        describe(pathlib.Path(argv[0]))
        return
    samples = [HERE / "sample_w12.plt", HERE / "sample_w15.plt"]
    if not all(path.exists() for path in samples):
        sys.path.insert(0, str(HERE))
        import make_sample

        make_sample.main([])
    for path in samples:
        describe(path)
    if tolvane is not None:
        both_as_one_table(samples)
        a_broken_copy(samples[0])


if __name__ == "__main__":
    main(sys.argv[1:])
