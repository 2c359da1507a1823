"""tolvane.write: every field the nearest decimal of its width's digits to the exact binary32
value (ties to even), against an exact model in integers and fractions; read back by both
faces, bit for bit at width 15 and as the 6-digit decimal at width 12; the file's layout that of
the sample files; every kind of data; nothing written when an argument or a column is wrong, and
an earlier file whole when a write fails."""
import importlib.util
import io
import math
import os
import struct
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorel
from conftest import EARLIER, EXAMPLES, ROOT, make_node, node_stays, run_child, through_fifo

tolvane = pytest.importorskip("tolvane")  # built for CPython 3.10 and newer
np = pytest.importorskip("numpy")
from tolvane import _native  # noqa: E402

# ---------------------------------------------------------------- the exact model


def binary32_value(bits):
    """The exact value of a finite binary32 bit pattern, as a Fraction."""
    field, fraction = (bits >> 23) & 0xFF, bits & 0x7FFFFF
    magnitude = Fraction(fraction, 2**149) if field == 0 else Fraction(fraction | 0x800000) * Fraction(2) ** (field - 150)
    return -magnitude if bits >> 31 else magnitude


def model_field(bits, width):
    """The field of the binary32 `bits` at `width`: the nearest decimal of width - 6 digits,
    half to even, in E notation with two exponent digits, right-aligned."""
    negative = bool(bits >> 31)
    if bits & 0x7FFFFFFF >= 0x7F800000:
        word = "nan" if bits & 0x7FFFFFFF > 0x7F800000 else "inf"
        return ("-" + word if negative else word).rjust(width)
    digits = width - 6
    value = abs(binary32_value(bits))
    exponent = 0
    rounded = 0
    if value:
        exponent = math.floor(math.log10(value))  # corrected below where the float is off
        while Fraction(10) ** exponent > value:
            exponent -= 1
        while Fraction(10) ** (exponent + 1) <= value:
            exponent += 1
        rounded = round(value / Fraction(10) ** (exponent - digits + 1))  # half to even
        if rounded == 10**digits:
            rounded //= 10
            exponent += 1
    text = str(rounded).rjust(digits, "0")
    return (f"{'-' if negative else ' '}{text[0]}.{text[1:]}E{'-' if exponent < 0 else '+'}"
            f"{abs(exponent):02d}")


def nearest_binary32(value):
    """The bits of the binary32 nearest to a nonnegative rational (half to even), as the
    readers round."""
    if value == 0:
        return 0
    e = value.numerator.bit_length() - value.denominator.bit_length()
    if Fraction(2) ** e > value:
        e -= 1
    unit = Fraction(2) ** (max(e, -126) - 23)
    n = round(value / unit)
    if n * unit >= 2**128:
        return 0x7F800000
    return struct.unpack("<I", struct.pack("<f", float(n * unit)))[0]  # n * unit is a binary32


def model_field_value(text):
    """The bits the readers give for a field the model wrote: the sign applied last."""
    magnitude = text.strip().lstrip("-")
    sign = int(text.strip().startswith("-")) << 31
    if magnitude in ("nan", "inf"):
        return {"nan": 0x7FC00000, "inf": 0x7F800000}[magnitude] | sign
    return nearest_binary32(Fraction(magnitude)) | sign


def fields_of(data, width):
    """The field texts of a file that tolvane.write wrote, block after block."""
    lines = data.decode().split("\n")
    count = int(lines[0].split()[-1])
    per_block = 1 + -(-count // 10)
    texts = []
    for start in range(count + 1, len(lines) - 1, per_block):
        for line in lines[start + 1:start + per_block]:
            texts += [line[i:i + width] for i in range(0, len(line), width)]
    return texts


def written(data, width, **options):
    stream = io.BytesIO()
    tolvane.write(stream, data, width, **options)
    return stream.getvalue()


# ---------------------------------------------------------------- values of every kind

SPECIAL_BITS = [
    0x00000000, 0x80000000,              # +0, -0
    0x00000001, 0x80000001, 0x007FFFFF,  # the smallest subnormal, the largest
    0x00800000, 0x7F7FFFFF, 0xFF7FFFFF,  # the smallest normal, the largest finite
    0x7F800000, 0xFF800000,              # the infinities
    0x7FC00000, 0xFFC00000, 0x7F800001, 0xFFBFFFFF,  # NaN of both signs, with payloads
]
# Exact ties at some width, and values whose rounding carries into the next power of ten: by
# the table route (a tie where 10^k is exact), by the exact route (where it is not: 125 at 2
# digits, 1234565 at 6), and values right at a power of ten.
TIE_VALUES = [0.125, 0.375, 2.5, 125.0, 135.0, 1234565.0, 1234575.0, 999999.5, 9.96, 99.95, 0.5,
              1e10, 1e-10, 1.0, 10.0, 100.0, 1e30, 8388607.5, 16777215.0, 3.4e38, 1e-45]


def every_kind(rng, count):
    """Random binary32 patterns: normal, subnormal, near a power of ten, and the specials."""
    normal = rng.integers(0x00800000, 0x7F800000, count, dtype=np.uint32)
    subnormal = rng.integers(1, 0x00800000, count // 8, dtype=np.uint32)
    tens = (10.0 ** rng.uniform(-44, 38, count // 8)).astype(np.float32).view(np.uint32)
    ties = np.array(TIE_VALUES, dtype=np.float32).view(np.uint32)
    bits = np.concatenate([normal, subnormal, tens, ties, ties | 0x80000000,
                           np.array(SPECIAL_BITS, dtype=np.uint32)])
    signs = rng.integers(0, 2, len(bits), dtype=np.uint32) << 31
    bits[:count] |= signs[:count]
    return bits


@pytest.mark.parametrize("width", [8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 20, 24, 40, 130, 1024])
def test_every_field_is_the_nearest_decimal(width):
    rng = np.random.default_rng(width)
    bits = every_kind(rng, 1500 if width <= 24 else 300)
    data = written({"X": bits.view(np.float32)}, width)
    assert fields_of(data, width) == [model_field(int(b), width) for b in bits]


@pytest.mark.parametrize("value, width, text", [
    (0.125, 8, " 1.2E-01"), (0.375, 8, " 3.8E-01"),      # ties to even
    (125.0, 8, " 1.2E+02"), (135.0, 8, " 1.4E+02"),
    (1234565.0, 12, " 1.23456E+06"), (999999.5, 12, " 1.00000E+06"),
    (-3.4028235e38, 8, "-3.4E+38"), (1e-45, 12, " 1.40130E-45"), (-0.0, 12, "-0.00000E+00"),
    (float("nan"), 12, "         nan"), (-float("inf"), 8, "    -inf"),
    (42.1918, 12, " 4.21918E+01"), (-4.13165432, 15, "-4.13165426E+00"),
])
def test_known_fields(value, width, text):
    data = written({"X": np.array([value], dtype=np.float32)}, width)
    assert fields_of(data, width) == [text]


def read_both(path, width):
    """The bits of every column, as tolvane.read (finding the width) and quorel give them."""
    plot = tolvane.read(path)
    assert plot.n_digits == width
    time, columns = quorel.rust_read_tolvane(str(path), width)
    ours = [plot[i].view(np.uint32).tolist() for i in range(len(plot.names))]
    theirs = [[struct.unpack("<I", struct.pack("<f", v))[0] for v in column] for column in [time, *columns]]
    return ours, theirs


def same_bits(got, expected):
    """Bit for bit, a NaN of the same sign for a NaN (the payload is not kept)."""
    def canonical(b):
        return (b & 0x80000000) | 0x7FC00000 if b & 0x7FFFFFFF > 0x7F800000 else b
    return [canonical(b) for b in got] == [canonical(int(b)) for b in expected]


@pytest.mark.parametrize("width", [12, 15])
def test_both_faces_read_what_it_writes(tmp_path, width):
    # 13 columns: two data lines a block, ten fields and three.
    rng = np.random.default_rng(7)
    bits = every_kind(rng, 4000)
    bits = np.resize(bits, (len(bits) + 12) // 13 * 13).reshape(13, -1)
    path = tmp_path / "every.plt"
    tolvane.write(path, {f"P{i}": column.view(np.float32) for i, column in enumerate(bits)}, width)
    assert tolvane.read(path).names == tuple(f"P{i}" for i in range(13))
    for got in read_both(path, width):
        for column, expected in zip(got, bits):
            if width == 15:  # nine digits hold every binary32 value
                assert same_bits(column, expected)
            else:  # the binary32 nearest to the six-digit decimal
                assert same_bits(column, [model_field_value(model_field(int(b), 12)) for b in expected])


@settings(max_examples=40, deadline=None, derandomize=True)
@given(st.lists(st.floats(width=32), min_size=1, max_size=30), st.integers(8, 15))
def test_any_width_reads_back_as_its_decimal(tmp_path_factory, values, width):
    path = tmp_path_factory.mktemp("any") / "any.plt"
    array = np.array(values, dtype=np.float32)
    tolvane.write(path, {"T": array}, width)
    plot = tolvane.read(path, width)
    expected = [model_field_value(model_field(int(b), width)) for b in array.view(np.uint32)]
    assert same_bits(plot[0].view(np.uint32).tolist(), expected)


@pytest.mark.parametrize("width", [12, 15])
def test_the_sample_files_read_back_alike(tmp_path, width):
    sample = EXAMPLES / f"sample_w{width}.plt"
    if not sample.is_file():
        pytest.skip(f"{sample} is not there: these tests run in a clone of the project")
    plot = tolvane.read(sample)
    path = tmp_path / "again.plt"
    tolvane.write(path, plot, width)  # the Plot's title
    again = tolvane.read(path)
    assert again.names == plot.names and again.n_digits == width
    assert [again[i].view(np.uint32).tolist() for i in range(12)] == \
        [plot[i].view(np.uint32).tolist() for i in range(12)]
    if width == 12:  # six digits round-trip through binary32, and the title is kept: the very file
        assert path.read_bytes() == sample.read_bytes()


def test_a_width_12_text_of_a_normal_value_is_written_as_it_was_read():
    # Every 6-digit decimal of the lowest and highest decades of the normal values (those whose
    # binary32 is normal and finite: 1.17550E-38 to 3.40282E+38) and random ones between, read
    # as Python's float() and numpy round them: written at width 12, the very text comes back.
    # A subnormal has fewer bits than 6 digits need: -6.72495E-40 comes back -6.72494E-40.
    rng = np.random.default_rng(12)
    digits = np.concatenate([np.arange(117_550, 1_000_000), np.arange(100_000, 340_283),
                             rng.integers(100_000, 1_000_000, 200_000)])
    exponents = np.concatenate([np.full(1_000_000 - 117_550, -38), np.full(340_283 - 100_000, 38),
                                rng.integers(-37, 38, 200_000)])
    signs = np.where(rng.random(len(digits)) < 0.5, "-", " ")
    texts = [f"{s}{d // 100_000}.{d % 100_000:05d}E{e:+03d}" for s, d, e in zip(signs, digits, exponents)]
    values = np.array([float(text) for text in texts]).astype(np.float32)
    fields = written({"T": values}, 12).split(b"\n")[3::2]
    assert [field.decode() for field in fields] == texts
    subnormal = np.array([float("-6.72495E-40")]).astype(np.float32)
    assert written({"T": subnormal}, 12).split(b"\n")[3] == b"-6.72494E-40"


def test_the_decimal_tables_are_what_the_generator_writes():
    generator_path = ROOT / "tools" / "gen_decimal_tables.py"
    if not generator_path.is_file():
        pytest.skip("the sources are not beside the tests: these tests run in a clone of the project")
    spec = importlib.util.spec_from_file_location("gen_decimal_tables", generator_path)
    generator = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(generator)
    assert generator.TABLE.read_text() == generator.table_text()


# ---------------------------------------------------------------- the layout


def test_block_text_in_pieces_is_the_whole_text():
    # Headers are counted up from a piece's first block; their width grows past 999999.
    blocks = 1_000_012
    text = _native.plot_text([np.zeros(blocks, dtype=np.float32)], 8)
    for first, last in [(0, 3), (8, 12), (99_998, 100_003), (999_997, 1_000_012)]:
        piece = text.format(first, last).tobytes()
        assert len(piece) == text.size(first, last)
        steps = range(first + 1, last + 1)
        assert piece == b"".join(b" STEP %6d\n 0.0E+00\n" % step for step in steps)


def test_a_file_without_blocks(tmp_path):
    path = tmp_path / "empty.plt"
    tolvane.write(path, {"TIME": [], "A": np.array([], dtype=np.float32)}, 12, title="NONE")
    assert path.read_bytes() == b" NONE   2\n    1  TIME\n    2  A\n"
    assert tolvane.read(path, 12).names == ("TIME", "A") and len(tolvane.read(path, 12)) == 0
    assert quorel.rust_read_tolvane(str(path), 12) == ([], [[]])
    # No block to tell the width by: a Plot without a block, at the writer's own width, which
    # is written again as it was.
    plot = tolvane.read(path)
    assert (plot.n_digits, plot.names, len(plot), plot.title) == (15, ("TIME", "A"), 0, "NONE")
    again = tmp_path / "again.plt"
    tolvane.write(again, plot, 12)
    assert again.read_bytes() == path.read_bytes()


# What the reader gives, the writer takes: names and a title with control characters that are
# not whitespace to the reader (U+001C to U+001F, which str.isspace() takes for whitespace), a
# NUL, U+200B; the file comes back byte for byte.
@pytest.mark.parametrize("title, name", [("RUN\x1c7", "A\x1fB"), ("\x1eX\x1d", "\x00\u200bZ"),
                                         ("A\rB\x85C\u2028D", "\x1c")])
def test_what_reads_is_written_back(tmp_path, title, name):
    path = tmp_path / "odd.plt"
    path.write_bytes(f" {title}   2\n    1  TIME\n    2  {name}\n STEP      1\n 1.00000E+00-2.50000E-01\n"
                     .encode())
    plot = tolvane.read(path)
    assert (plot.title, plot.names) == (title, ("TIME", name))
    again = tmp_path / "again.plt"
    tolvane.write(again, plot, 12)
    assert again.read_bytes() == path.read_bytes()


def test_threads_write_what_one_writes(tmp_path):
    # About 5 MB: pieces of 1 MiB, formatted on two threads and written in order.
    rng = np.random.default_rng(3)
    data = {f"S{i}": rng.standard_normal(30_000).astype(np.float32) for i in range(11)}
    one, two = tmp_path / "one.plt", tmp_path / "two.plt"
    tolvane.write(one, data, 12, threads=1)
    tolvane.write(two, data, 12, threads=2)
    assert one.read_bytes() == two.read_bytes() == written(data, 12)


# ---------------------------------------------------------------- kinds of data


def plot_of(tmp_path):
    path = tmp_path / "source.plt"
    tolvane.write(path, {"TIME": np.arange(5, dtype=np.float32), "A": -np.arange(5, dtype=np.float32),
                         "B": np.full(5, np.nan, np.float32)}, 15, title="RUN 7")
    return tolvane.read(path)


def kinds_of_data(tmp_path, kind):
    """(data, the names and float32 columns it is to give)."""
    time = np.arange(5, dtype=np.float64) * 0.1
    a = np.array([1, -2, 3, 2**25 + 1, 4], dtype=np.int64)  # an int beyond 2^24: rounded
    b = np.array([1 + 2**-24, 3.5e38, -0.0, np.nan, 1e-46])  # float64: a tie, an overflow, an underflow
    with np.errstate(over="ignore"):
        expected = (["T", "A", "B"], [time.astype(np.float32), a.astype(np.float32), b.astype(np.float32)])
    if kind == "mapping":
        return {"T": time, "A": a, "B": b}, expected
    if kind == "Plot":
        plot = plot_of(tmp_path)
        return plot, (list(plot.names), [plot[i] for i in range(3)])
    if kind.startswith("pandas"):
        pd = pytest.importorskip("pandas")
        if kind == "pandas index":
            return pd.DataFrame({"A": a, "B": b}, index=pd.Index(time, name="T")), expected
        return pd.DataFrame({"T": time, "A": a, "B": b}), expected
    if kind == "polars":
        pl = pytest.importorskip("polars")
        return pl.DataFrame({"T": time, "A": a, "B": b}), expected
    if kind == "pyarrow":
        pa = pytest.importorskip("pyarrow")
        return pa.table({"T": time, "A": a, "B": b}), expected
    xr = pytest.importorskip("xarray")
    return xr.Dataset({"A": ("T", a), "B": ("T", b)}, coords={"T": time}), expected


@pytest.mark.parametrize("kind", ["mapping", "Plot", "pandas", "pandas index", "polars", "pyarrow", "xarray"])
def test_every_kind_of_data(tmp_path, kind):
    if kind in ("polars", "xarray") and os.environ.get("QUOREL_SANITIZED"):
        pytest.skip(f"{kind} keeps objects of its own to the end, which LeakSanitizer reports")
    data, (names, columns) = kinds_of_data(tmp_path, kind)
    path = tmp_path / "out.plt"
    tolvane.write(path, data, 15)
    plot = tolvane.read(path)
    assert list(plot.names) == names
    assert plot.title == ("RUN 7" if kind == "Plot" else "")  # a Plot's title is kept
    for i, column in enumerate(columns):
        assert same_bits(plot[i].view(np.uint32).tolist(), column.view(np.uint32))


def test_names_override_the_data_and_name_an_unnamed_index(tmp_path):
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({0: [1.0, 2.0]}, index=pd.Index([0.5, 1.5]))
    path = tmp_path / "named.plt"
    tolvane.write(path, frame, 12, names=["TIME", "SPEED"], title="RUN 7")
    lines = path.read_text().splitlines()
    assert lines[:3] == [" RUN 7   2", "    1  TIME", "    2  SPEED"]
    assert tolvane.read(path)["SPEED"].tolist() == [1.0, 2.0]


# Compressed as compression= says: by the path's suffix by default, else whatever the name; a
# file object too; the text within is the plain file's, and reads back as it does.
@pytest.mark.parametrize("dest, compression, kind", [
    ("dest.plt.gz", "infer", "gzip"), ("dest.plt.ZST", "infer", "zstd"), ("dest.plt", "gzip", "gzip"),
    ("dest.plt.gz", None, None), ("BytesIO", "zstd", "zstd"), ("raw file", "gzip", "gzip"),
    ("dest.plt.bz2", "infer", "bz2"), ("dest.plt.XZ", "infer", "xz"), ("BytesIO", "xz", "xz"),
])
def test_compressed_destinations(tmp_path, dest, compression, kind):
    from tolvane._compression import decompressed

    if kind == "zstd":
        try:
            importlib.import_module("compression.zstd")  # Python 3.14 and later
        except ImportError:
            pytest.importorskip("zstandard")
    data = {"T": np.arange(4000, dtype=np.float32), "X": np.linspace(-1, 1, 4000, dtype=np.float32)}
    path = tmp_path / "out.plt"
    if dest == "BytesIO":
        stream = io.BytesIO()
        tolvane.write(stream, data, 12, compression=compression)
        path.write_bytes(stream.getvalue())
    elif dest == "raw file":  # unbuffered: each write goes to the file as it is given
        with open(path, "wb", buffering=0) as raw:
            tolvane.write(raw, data, 12, compression=compression)
    else:
        path = tmp_path / dest
        tolvane.write(path, data, 12, compression=compression)
    stored = path.read_bytes()
    text = stored if kind is None else b"".join(decompressed(kind, iter([stored])))
    assert text == written(data, 12) and (kind is None) == (stored == text)
    assert tolvane.read(path).to_numpy().view(np.uint32).tolist() == \
        tolvane.read(io.BytesIO(text)).to_numpy().view(np.uint32).tolist()


@pytest.mark.parametrize("dest", ["str", "bytes", "Path", "BytesIO", "raw file"])
def test_every_kind_of_destination(tmp_path, dest):
    data = {"T": np.arange(40, dtype=np.float32), "X": np.linspace(-1, 1, 40, dtype=np.float32)}
    path = tmp_path / "dest.plt"
    if dest == "BytesIO":
        assert written(data, 12) == written(data, 12)
        return
    if dest == "raw file":
        with open(path, "wb", buffering=0) as raw:
            tolvane.write(raw, data, 12)
    else:
        tolvane.write({"str": str(path), "bytes": os.fsencode(path), "Path": path}[dest], data, 12)
    assert path.read_bytes() == written(data, 12)


# A FIFO's reader gets the file, a device that is full gives its ENOSPC: each stays what it was,
# not replaced by a regular file. Through a symbolic link, the file it points to is replaced.
@pytest.mark.parametrize("kind", ["fifo", "device", "link"])
@pytest.mark.parametrize("name, compression", [("out.plt", None), ("out.plt.gz", "gzip")])
def test_what_is_not_a_regular_file_is_written_in_place(tmp_path, kind, name, compression):
    import gzip

    # About 1 MB: more than a pipe holds.
    data = {"T": np.arange(30_000, dtype=np.float32), "X": np.linspace(-1, 1, 30_000, dtype=np.float32)}
    path = make_node(tmp_path, kind, name)
    if kind == "fifo":
        got, _ = through_fifo(path, lambda: tolvane.write(path, data, 12))
        assert (got if compression is None else gzip.decompress(got)) == written(data, 12)
    elif kind == "device":
        with pytest.raises(OSError) as error:
            tolvane.write(path, data, 12)
        assert (error.value.errno, error.value.filename) == (28, str(path))  # ENOSPC
    else:
        tolvane.write(path, data, 12)
        got = (tmp_path / f"target-{name}").read_bytes()
        assert (got if compression is None else gzip.decompress(got)) == written(data, 12)
    assert node_stays(path, kind)
    assert sorted(os.listdir(tmp_path)) == sorted([name] + ([f"target-{name}"] if kind == "link" else []))


# ---------------------------------------------------------------- what it refuses


def refusals():
    ok = np.zeros(3, dtype=np.float32)
    cases = [
        ({"T": ok}, {"n_digits": 7}, ValueError, "n_digits must be from 8 to 1024, not 7"),
        ({"T": ok}, {"compression": "lz4"}, ValueError,
         "compression must be 'infer', 'gzip', 'zstd', 'bz2', 'xz' or None, not 'lz4'"),
        ({"T": ok}, {"n_digits": 1025}, ValueError, "n_digits must be from 8 to 1024, not 1025"),
        ({"T": ok}, {"n_digits": True}, TypeError, "not bool"),
        ({"T": ok}, {"title": "two\nlines"}, ValueError, "one line"),
        ({"T": ok, "A B": ok}, {}, ValueError, "one token"),
        ({"T": ok, "": ok}, {}, ValueError, "one token"),
        ({"T": ok, "A\u3000B": ok}, {}, ValueError, "one token"),  # the reader's whitespace
        ({"T": ok, "A\x85": ok}, {}, ValueError, "one token"),
        ({"T": ok, 5: ok}, {}, TypeError, "must be a str"),
        ({"T": ok}, {"names": ["T", "U"]}, ValueError, "2 names for 1 columns"),
        ({"T": ok, "S": np.array(["1", "2", "3"])}, {}, TypeError, "not real numbers"),
        ({"T": ok, "S": np.array([True, False, True])}, {}, TypeError, "not real numbers"),
        ({"T": ok, "S": np.ones(3, complex)}, {}, TypeError, "not real numbers"),
        ({"T": ok, "S": [1.0, None, 2.0]}, {}, TypeError, "not real numbers"),
        ({"T": ok, "S": np.ma.masked_array(ok, mask=[False, True, False])}, {}, TypeError, "masked values"),
        ({"T": ok, "S": np.ones((3, 2))}, {}, ValueError, "2 dimensions"),
        ({"T": ok, "S": np.ones(4)}, {}, ValueError, "has 4 values"),
        ({}, {}, ValueError, "no column"),
        ([[1.0, 2.0]], {}, TypeError, "data must be"),
    ]
    try:
        import pandas as pd
        cases.append((pd.DataFrame({"T": [1.0, 2.0], "S": pd.array([1.0, None], dtype="Float64")}), {},
                      TypeError, "missing values"))
    except ImportError:
        pass
    try:
        import polars as pl
        cases.append((pl.DataFrame({"T": [1.0, 2.0], "S": [1.0, None]}), {}, TypeError, "nulls"))
    except ImportError:
        pass
    return cases


@pytest.mark.parametrize("data, options, error, message", refusals())
def test_refuses_before_writing_anything(tmp_path, data, options, error, message):
    path = tmp_path / "kept.plt"
    path.write_bytes(b"an earlier file\n")
    with pytest.raises(error, match=message):
        tolvane.write(path, data, **options)
    assert path.read_bytes() == b"an earlier file\n"
    assert sorted(os.listdir(tmp_path)) == ["kept.plt"]


@pytest.mark.parametrize("dest, error, message", [
    (io.StringIO(), TypeError, "text stream"), (42, TypeError, "not int"),
])
def test_refuses_what_it_cannot_write_to(tmp_path, monkeypatch, dest, error, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error, match=message):
        tolvane.write(dest, {"T": [1.0]})
    assert os.listdir(tmp_path) == []


def test_an_error_names_the_file_asked_for(tmp_path):
    # Not the temporary file beside it, whose name is random.
    path = tmp_path / "no" / "such" / "x.plt"
    with pytest.raises(FileNotFoundError) as error:
        tolvane.write(path, {"T": [1.0]})
    assert error.value.filename == str(path)


FILE_SIZE_LIMIT_CHILD = r'''
import json, resource, sys
import numpy as np
import tolvane
out, path, threads = sys.argv[1], sys.argv[2], int(sys.argv[3])
resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))
try:
    tolvane.write(path, {"T": np.arange(200_000, dtype=np.float32)}, 15, threads=threads)
except OSError as error:
    result = [type(error).__name__, error.errno, error.filename]
else:
    result = None
with open(out, "w") as f:
    json.dump(result, f)
'''


@pytest.mark.parametrize("threads", [1, 2])
def test_a_failed_write_leaves_the_earlier_file_whole(tmp_path, threads):
    # A file size limit (ulimit -f) stops the write past 100 kB: OSError (EFBIG), and neither
    # a partial file nor the temporary one is left; with two threads, while the other formats.
    path = tmp_path / "kept.plt"
    path.write_bytes(b"an earlier file\n")
    result, _, _ = run_child(tmp_path, FILE_SIZE_LIMIT_CHILD, path, threads)
    assert result == ["OSError", 27, str(path)]
    assert path.read_bytes() == b"an earlier file\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["child-result.json", "kept.plt"]
