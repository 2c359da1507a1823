"""Alternative readers of TOLVANE plot files, for comparison with quorel.

Every reader takes (path, width) and returns the same structure as
``quorel.rust_read_tolvane``: ``(time, columns)`` where ``time`` is a list of
Python floats and ``columns`` a list of ParameterCount - 1 lists of Python
floats, every value being a binary32 value widened to a double.

The decimal text is converted to binary32 the way numpy's
``astype(np.float32)`` does it for string input: parsed to the nearest double,
then rounded to the nearest binary32.  That double rounding can differ from a
single correct rounding for a handful of decimal texts that lie extremely
close to the midpoint between two binary32 values; for the 6 and 9 significant
digit fields of plot files this practically never happens.

Heavy peers (numpy, pandas) are optional: ``available_readers()`` lists the
readers whose dependencies import.

The FLOOR is not a reader: it times reading the file's bytes plus building the
result lists from values already held as binary32 arrays (``array('f')`` per
column, prepared before timing), i.e. the cost no reader can avoid.

``tolvane.read`` gives another result, a Plot of float32 numpy arrays; it is
timed beside the others (all columns, and three of them), together with
``read_bytes``, the time to read the file's bytes and nothing more.
"""

from __future__ import annotations

import os
from array import array

FIELDS_PER_LINE = 10


def _first_lines(fh):
    """Read the first line and the name lines; return the parameter count."""
    first = fh.readline()
    n_params = int(first.split()[-1])
    for _ in range(n_params):
        if not fh.readline():
            raise ValueError("file ends inside the parameter-name lines")
    return n_params


def _split_columns(flat, n_params):
    """Block-ordered flat binary32 array -> (time, columns) lists."""
    cols = [flat[i::n_params].tolist() for i in range(n_params)]
    return cols[0], cols[1:]


# --------------------------------------------------------------------------
# (a) plain Python
# --------------------------------------------------------------------------

def read_python(path, width):
    """Pure Python: line by line, fixed-width fields cut by struct, float(),
    then array('f') for the binary32 rounding."""
    import struct
    flat = []
    extend = flat.extend
    with open(path, "rb") as fh:
        n_params = _first_lines(fh)
        n_lines = -(-n_params // FIELDS_PER_LINE)
        # one unpacker per data line of a block: its fields as bytes slices
        cutters = []
        for k in range(n_lines):
            nf = min(FIELDS_PER_LINE, n_params - k * FIELDS_PER_LINE)
            cutters.append(struct.Struct(("%ds" % width) * nf).unpack_from)
        readline = fh.readline
        while readline():                      # block header line
            for cut in cutters:
                line = readline()
                if not line:
                    raise ValueError("file ends inside a block")
                # float() skips the blanks around the value
                extend(map(float, cut(line)))
    # array('f', ...) rounds each double to the nearest binary32
    flat32 = array("f", flat)
    del flat
    return _split_columns(flat32, n_params)


# --------------------------------------------------------------------------
# (b) numpy
# --------------------------------------------------------------------------

def read_numpy(path, width):
    """numpy: read bytes, split lines, join each data-line position of all
    blocks, view the bytes as fixed-width strings and cast to float32."""
    import numpy as np

    with open(path, "rb") as fh:
        data = fh.read()
    nl = data.index(b"\n")
    n_params = int(data[:nl].split()[-1])
    pos = nl + 1
    for _ in range(n_params):
        pos = data.index(b"\n", pos) + 1
    lines = data[pos:].split(b"\n")
    del data
    if lines and lines[-1] == b"":
        lines.pop()
    n_lines = -(-n_params // FIELDS_PER_LINE)
    per_block = n_lines + 1
    n_blocks = len(lines) // per_block
    if n_blocks * per_block != len(lines):
        raise ValueError("file ends inside a block")
    out = np.empty((n_blocks, n_params), dtype=np.float32)
    stop = n_blocks * per_block
    dtype = np.dtype("S%d" % width)
    for k in range(n_lines):
        c0 = k * FIELDS_PER_LINE
        nf = min(FIELDS_PER_LINE, n_params - c0)
        need = nf * width
        sel = lines[k + 1:stop:per_block]
        joined = b"".join(sel)
        if len(joined) != n_blocks * need:
            # lines of uneven length (trailing text, CR LF): cut each one
            joined = b"".join([ln[:need] for ln in sel])
            if len(joined) != n_blocks * need:
                raise ValueError("data line shorter than its fields")
        with np.errstate(over="ignore"):   # beyond binary32 range: infinity
            out[:, c0:c0 + nf] = np.frombuffer(joined, dtype=dtype).reshape(n_blocks, nf).astype(np.float32)
    del lines
    cols = out.T.tolist()
    return cols[0], cols[1:]


# --------------------------------------------------------------------------
# (c) pandas.read_fwf
# --------------------------------------------------------------------------

def read_pandas(path, width):
    """pandas.read_fwf with fixed widths, skipping the name and header lines,
    then reshaping the rows of each block."""
    import numpy as np
    import pandas as pd

    with open(path, "rb") as fh:
        n_params = int(fh.readline().split()[-1])
    n_lines = -(-n_params // FIELDS_PER_LINE)
    per_block = n_lines + 1
    first_block = n_params + 1

    def skip(i):
        return i < first_block or (i - first_block) % per_block == 0

    df = pd.read_fwf(path, widths=[width] * FIELDS_PER_LINE, header=None,
                     skiprows=skip, skip_blank_lines=False, dtype=np.float64)
    vals = df.to_numpy(dtype=np.float64)
    del df
    n_blocks = vals.shape[0] // n_lines
    vals = vals[: n_blocks * n_lines].reshape(n_blocks, n_lines * FIELDS_PER_LINE)[:, :n_params]
    with np.errstate(over="ignore"):       # beyond binary32 range: infinity
        vals = vals.astype(np.float32)
    cols = vals.T.tolist()
    return cols[0], cols[1:]


# --------------------------------------------------------------------------
# quorel
# --------------------------------------------------------------------------

def read_quorel(path, width):
    import quorel
    return quorel.rust_read_tolvane(path, width)


# --------------------------------------------------------------------------
# tolvane, and reading the bytes
# --------------------------------------------------------------------------

def parameter_count(path):
    """The parameter count on a plot file's first line (the time included)."""
    with open(path, "rb") as fh:
        return int(fh.readline().split()[-1])


def three_columns(n_params):
    """What a '3 columns' read asks for besides the time, which is always read: the parameter
    in the middle and the last one, by index."""
    return [n_params // 2, n_params - 1]


def three_fields(n_params):
    """The fields of a '3 columns' read, ascending from the time's."""
    return sorted({0, *three_columns(n_params)})


def read_tolvane(path, width, columns=None, threads=None, time_dtype="float64"):
    import tolvane
    return tolvane.read(path, width, columns=columns, threads=threads, time_dtype=time_dtype)


def plot_lists(plot, fields):
    """(time, columns) of a Plot as lists of floats: field 0 and then `fields[1:]`."""
    series = [plot[f].tolist() for f in fields]
    return series[0], series[1:]


def plot_size(plot):
    """Bytes held by a Plot's arrays: their values and each array object's own size (the
    arrays do not own their values, which a capsule frees, so getsizeof gives the header)."""
    import sys
    size = 0
    for name_or_field in range(len(plot.names)):
        if name_or_field not in plot:
            continue
        a = plot[name_or_field]
        size += a.nbytes + sys.getsizeof(a) - (a.nbytes if a.flags.owndata else 0)
    return size, len(plot) * sum(1 for f in range(len(plot.names)) if f in plot)


def read_bytes(path, width=None):
    """The file's bytes, read whole into one new bytes object (as the FLOOR reads them)."""
    with open(path, "rb") as fh:
        return fh.read()


STREAM_PIECE = 65536


def read_bytes_streamed(path, width=None):
    """The file's bytes read piece by piece into one reused 64 KiB buffer, as the reader reads
    them: the least that reading the file costs, with no memory to fault in for the bytes.
    Returns the number of bytes read."""
    buf = bytearray(STREAM_PIECE)
    view = memoryview(buf)
    total = 0
    with open(path, "rb", buffering=0) as fh:
        while True:
            n = fh.readinto(view)
            if not n:
                return total
            total += n


# --------------------------------------------------------------------------
# FLOOR
# --------------------------------------------------------------------------

def floor_prepare(time, columns):
    """binary32 arrays, one per column (time first), built outside the timing."""
    return [array("f", time)] + [array("f", c) for c in columns]


def floor_save(arrays, out_path):
    """Store prepared floor arrays: a header line with the counts, then the raw
    binary32 columns one after another."""
    n_rows = len(arrays[0]) if arrays else 0
    with open(out_path, "wb") as fh:
        fh.write(b"%d %d\n" % (len(arrays), n_rows))
        for a in arrays:
            a.tofile(fh)


def floor_load(in_path):
    with open(in_path, "rb") as fh:
        n_cols, n_rows = map(int, fh.readline().split())
        arrays = []
        for _ in range(n_cols):
            a = array("f")
            a.fromfile(fh, n_rows)
            arrays.append(a)
    return arrays


def read_floor(path, width, arrays):
    """Read the whole file, then build the result lists from ready binary32."""
    with open(path, "rb") as fh:
        fh.read()
    return arrays[0].tolist(), [a.tolist() for a in arrays[1:]]


# --------------------------------------------------------------------------
# registry
# --------------------------------------------------------------------------

READERS = {
    "quorel": read_quorel,
    "tolvane": read_tolvane,
    "python": read_python,
    "numpy": read_numpy,
    "pandas": read_pandas,
}

_REQUIRES = {
    "quorel": ("quorel",),
    "tolvane": ("tolvane", "numpy"),
    "python": (),
    "numpy": ("numpy",),
    "pandas": ("numpy", "pandas"),
}


def missing_dependency(name):
    """Name of the first module the reader needs that does not import, or None."""
    import importlib
    for mod in _REQUIRES[name]:
        try:
            importlib.import_module(mod)
        except ImportError:
            return mod
    return None


def available_readers(names=None):
    names = list(READERS) if names is None else names
    return [n for n in names if missing_dependency(n) is None]


def result_size(result):
    """Bytes held by a result: every float object (at the size of the allocator
    block that holds it: CPython's small-object allocator hands out multiples of
    16 bytes), every list (with its slots) and the outer tuple."""
    import sys
    time, columns = result
    n_values = len(time) + sum(len(c) for c in columns)
    size = n_values * ((sys.getsizeof(1.0) + 15) // 16 * 16)
    size += sys.getsizeof(time) + sys.getsizeof(columns) + sum(sys.getsizeof(c) for c in columns)
    size += sys.getsizeof(result)
    return size, n_values


if __name__ == "__main__":  # quick manual check: python bench/readers.py FILE WIDTH
    import sys
    import time as _t
    p, w = sys.argv[1], int(sys.argv[2])
    for name in available_readers():
        t0 = _t.perf_counter()
        res = READERS[name](p, w)
        dt = _t.perf_counter() - t0
        if name == "tolvane":
            print("%-8s %8.3f s  %d blocks, %d columns" % (name, dt, len(res), len(res.names) - 1))
        else:
            print("%-8s %8.3f s  %d blocks, %d columns" % (name, dt, len(res[0]), len(res[1])))
    print(os.path.getsize(p) / 1e6, "MB")
