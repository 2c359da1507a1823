"""The float64 time: each time the binary64 nearest to its field's text, whatever its shape, the
width, the threads and the source (Python's float(), correctly rounded, is the model); the same
time in every table, window and frame; the writer's decimal of a float64 time (an exact Fraction
model); time_dtype checked as numpy checks a dtype."""
import gzip
import io
import math
import random
import struct
from fractions import Fraction

import pytest

from conftest import plot_text, write_plot

tolvane = pytest.importorskip("tolvane")  # built for CPython 3.10 and newer
np = pytest.importorskip("numpy")
from tolvane._read import read_in_pieces  # noqa: E402

LARGEST = struct.unpack("<d", struct.pack("<Q", 0x7FEFFFFFFFFFFFFF))[0]


def double_of(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def float_bits(values):
    return np.array(values, dtype=np.float64).view(np.uint64).tolist()


def exact_decimal(q):
    """The decimal text of the dyadic Fraction q (> 0), every digit: num x 10^-k."""
    num, den = q.numerator, q.denominator
    k = 0
    while den != 1:
        num, den, k = num * 5, den // 2, k + 1
    return f"{num}e-{k}"


def halfway_texts(rng, count):
    """Texts exactly halfway between two neighbouring binary64 values (the tie, to even), and
    one unit of their last digit either side, the neighbours random over the normal and
    subnormal range and at its ends."""
    bits = [rng.randrange(1, 0x7FEFFFFFFFFFFFFF) for _ in range(count)]
    bits += [rng.randrange(1, 1 << 52) for _ in range(count // 4)]  # subnormal
    bits += [0, 1, 0x000FFFFFFFFFFFFF, 0x0010000000000000, 0x7FEFFFFFFFFFFFFE]
    texts = []
    for b in bits:
        low, high = double_of(b), double_of(b + 1)
        tie = (Fraction(low) + Fraction(high)) / 2
        text = exact_decimal(tie)
        digits, exponent = text.split("e")
        texts.append(text)
        texts.append(f"{int(digits) - 1}e{exponent}")
        texts.append(f"{int(digits) + 1}e{exponent}")
        texts.append(f"{digits}000000000000000000001e{int(exponent) - 21}")  # just above, far down
    # Halfway above the largest value: the threshold of overflow, which rounds to infinity.
    texts.append(exact_decimal((Fraction(LARGEST) + Fraction(2) ** 1024) / 2))
    return texts


def short_texts(rng, width, count):
    """Texts of every shape the grammar has that fit in `width` characters."""
    def digits(n):
        return "".join(rng.choice("0123456789") for _ in range(n))

    texts = []
    while len(texts) < count:
        shape = rng.randrange(7)
        n = rng.randint(1, width)
        if shape == 0:  # the simulator's: d.ddd...E+xx
            n = rng.randint(1, max(1, width - 7))
            text = f"{rng.randint(1, 9)}.{digits(n - 1)}E{rng.choice('+-')}{rng.randint(0, 99):02d}"
        elif shape == 1:  # any exponent, up to the limits of binary64 and past them
            text = f"{digits(rng.randint(1, 5))}e{rng.randint(-345, 330)}"
        elif shape == 2:  # a plain decimal
            body = digits(n)
            point = rng.randint(0, n)
            text = body[:point] + "." + body[point:]
        elif shape == 3:  # an integer, with leading zeros at times
            text = digits(n)
        elif shape == 4:  # a float32 or float64 in numpy's shortest form
            value = double_of(rng.randrange(0, 0x7FF0000000000000))
            text = np.format_float_scientific(value, unique=True) if rng.random() < 0.5 else repr(value)
        elif shape == 5:  # subnormal
            text = f"{rng.randint(1, 99)}e-{rng.randint(310, 330)}"
        else:
            text = rng.choice(["5.", ".5", "0", "0.0", "0E+00", "1e0", "10E-1", "inf", "INF", "Infinity",
                               "nan", "NaN", "4.9E-324", "2.47E-324", "2.4703E-324", "5E-324", "1.8E+308",
                               "1.797693135E308", "1.797693134E308", "1e-400", "1e400", "9.999999999E22",
                               "123456789E-22", "1E23", "8.5899E9", "59.000001", "5.90000010E+01"])
        text = (rng.choice("+-") if rng.random() < 0.3 else "") + text
        if len(text) <= width:
            texts.append(text)
    return texts


def python_bits(text):
    """float() of the text, a NaN as the reader makes one (quiet, the text's sign)."""
    value = float(text)
    if math.isnan(value):
        return 0xFFF8000000000000 if text.startswith("-") else 0x7FF8000000000000
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def times_file(tmp_path, texts, width, name="times.plt"):
    """A file of two parameters, block b's time texts[b], its other field the block number."""
    blocks = [[text.rjust(width), str(b).rjust(width)] for b, text in enumerate(texts)]
    return write_plot(tmp_path, plot_text(2, blocks, width, names=[" 1 TIME", " 2 X"]), name=name)


SOURCES = {
    "plain": lambda path: path,
    "gzip": lambda path: gzip_copy(path),
    "file object": lambda path: io.BytesIO(open(path, "rb").read()),
}


def gzip_copy(path):
    with open(path, "rb") as plain:
        data = plain.read()
    with open(path + ".gz", "wb") as packed:
        packed.write(gzip.compress(data))
    return path + ".gz"


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("width", [12, 15, 800])
def test_the_time_is_the_binary64_nearest_to_its_text(tmp_path, width, source):
    rng = random.Random(width)
    texts = short_texts(rng, width, 1500) if width < 800 else halfway_texts(rng, 120) + short_texts(rng, 40, 300)
    path = times_file(tmp_path, texts, width)
    expected = [python_bits(text) for text in texts]
    # On one thread, and split across threads in pieces of a few hundred bytes (a local file).
    for threads, piece_bytes in ((1, 0), (2, 4093), (7, 509)):
        plot = read_in_pieces(SOURCES[source](path), width, threads=threads, piece_bytes=piece_bytes)
        assert plot.time.dtype == np.float64
        assert plot.time.view(np.uint64).tolist() == expected
        assert plot[1].tolist() == list(range(len(texts)))
        if source != "plain":
            break
    # The index of tolvane.open reads the times on routes of its own, a window through the
    # reader's: the same times.
    if source == "plain":
        with tolvane.open(path, width) as f:
            assert f._times().view(np.uint64).tolist() == expected
            assert f.read(blocks=slice(3, None, 7)).time.view(np.uint64).tolist() == expected[3::7]
            assert f.read(columns=[0]).time.view(np.uint64).tolist() == expected


def test_the_time_alone_on_its_line_and_after_lines_of_other_fields(tmp_path):
    # A block of one field (the time's line is the block's only one), and of 23 (three lines):
    # read whole, by column and by window, the time on its own routes in every loop.
    texts = ["59.000001", "-0", "1e-320", "7.25", "inf"]
    for count in (1, 23):
        blocks = [[text.rjust(15)] + [f"{b}.5".rjust(15)] * (count - 1) for b, text in enumerate(texts)]
        path = write_plot(tmp_path, plot_text(count, blocks, 15), name=f"p{count}.plt")
        expected = [python_bits(text) for text in texts]
        assert tolvane.read(path, 15).time.view(np.uint64).tolist() == expected
        assert tolvane.read(path, 15, columns=[count - 1]).time.view(np.uint64).tolist() == expected
        with tolvane.open(path, 15) as f:
            assert f.read(blocks=[4, 0, 4]).time.view(np.uint64).tolist() == [expected[i] for i in (4, 0, 4)]


# ---------------------------------------------------------------- 1 µs steps

@pytest.fixture(scope="module")
def microsecond_steps(tmp_path_factory):
    """The last second of a 60 s run at 1 µs steps, written at width 15 by tolvane.write."""
    path = tmp_path_factory.mktemp("steps") / "steps.plt"
    steps = np.arange(59_000_000, 60_000_001)
    tolvane.write(path, {"TIME": steps * 1e-6, "STEP": (steps % 1000).astype(np.float32)}, 15)
    return str(path), steps


def text_times(path, blocks):
    """The time texts of the first blocks of a two-parameter file, as Python reads them."""
    with open(path) as f:
        lines = f.read(64 * blocks).split("\n")
    return [float(lines[4 + 2 * b][:15]) for b in range(blocks)]


def test_every_microsecond_step_is_its_own(microsecond_steps):
    path, steps = microsecond_steps
    plot = tolvane.read(path)
    time = plot.time
    assert time.dtype == np.float64 and len(time) == len(steps)
    steps_taken = np.diff(time)
    assert (steps_taken > 0).all() and np.abs(steps_taken - 1e-6).max() < 1e-12
    # Written as the nine-digit decimals of the float64 times, read back as those.
    assert text_times(path, 1000) == [float(f"{t:.8E}") for t in steps[:1000] * 1e-6]
    assert time[:1000].tolist() == text_times(path, 1000)
    # What the float32 time makes of the same file: blocks that share a time.
    assert len(np.unique(tolvane.read(path, time_dtype=np.float32).time)) < len(steps) // 2


@pytest.mark.parametrize("window", [
    (59.0001, 59.0002),                    # at two text times: both blocks in
    (math.nextafter(59.0001, 60), 59.0002),  # just above the first: it is out
    (59.0001, math.nextafter(59.0002, 59)),  # just below the last: it is out
    (59.99999950, 60.0),                    # between two steps, up to the last block
    (58.0, 59.0),                           # the first block alone
])
def test_a_window_by_time_holds_the_blocks_whose_text_times_lie_in_it(microsecond_steps, window):
    path, steps = microsecond_steps
    time = tolvane.read(path).time
    t0, t1 = window
    expected = np.flatnonzero((time >= t0) & (time <= t1))
    with tolvane.open(path) as f:
        got = f.read(time=window)
    assert got.time.view(np.uint64).tolist() == time[expected].view(np.uint64).tolist()
    assert got["STEP"].tolist() == (steps[expected] % 1000).astype(np.float32).tolist()


def test_the_xarray_coordinate_and_the_dask_divisions_are_the_float64_time(microsecond_steps):
    xr = pytest.importorskip("xarray")
    dd = pytest.importorskip("dask.dataframe")
    import os
    if os.environ.get("QUOREL_SANITIZED"):
        pytest.skip("xarray and Dask keep objects of their own to the end, which LeakSanitizer reports")
    import tolvane.dask

    path, steps = microsecond_steps
    time = tolvane.read(path).time
    with xr.open_dataset(path, engine="tolvane") as data:
        coordinate = data["TIME"].values
        assert coordinate.view(np.uint64).tolist() == time.view(np.uint64).tolist()
        window = data.sel(TIME=slice(59.5, 59.500010))
        assert window["STEP"].values.tolist() == [float(s % 1000) for s in range(59_500_000, 59_500_011)]
    frame = tolvane.dask.read(path, blocks_per_partition=250_000)
    assert frame.index.dtype == np.float64
    # Partitions from blocks 0, 250000, ... 1000000 (the last block alone), then the last time.
    assert list(frame.divisions) == [time[b] for b in range(0, len(time), 250_000)] + [time[-1]]
    part = frame.partitions[1].compute()
    assert part.index.to_numpy().view(np.uint64).tolist() == time[250_000:500_000].view(np.uint64).tolist()
    assert dd is not None


# ---------------------------------------------------------------- the writer

def nearest_field(value, width):
    """The writer's field of a float64, by exact rational arithmetic."""
    if math.isnan(value):
        return ("-nan" if math.copysign(1, value) < 0 else "nan").rjust(width)
    if math.isinf(value):
        return ("-inf" if value < 0 else "inf").rjust(width)
    exact = abs(Fraction(value))

    def rounded(n):
        if exact == 0:
            return 0, 0
        e = 0
        while exact >= Fraction(10) ** (e + 1):
            e += 1
        while exact < Fraction(10) ** e:
            e -= 1
        scaled = exact * Fraction(10) ** (n - 1 - e)
        q, r = divmod(scaled.numerator, scaled.denominator)
        if 2 * r > scaled.denominator or (2 * r == scaled.denominator and q % 2):
            q += 1
        if q == 10 ** n:
            q, e = q // 10, e + 1
        return q, e

    n, exponent_digits = width - 6, 2
    q, e = rounded(n)
    if abs(e) >= 100:
        n, exponent_digits = n - 1, 3
        q, e = rounded(n)
        if e == -99:  # rounded up to 1E-99: two exponent digits, the one given back a 0
            n, exponent_digits, q = n + 1, 2, q * 10
    digits = str(q).rjust(n, "0")
    sign = "-" if math.copysign(1, value) < 0 else " "
    return f"{sign}{digits[0]}.{digits[1:]}E{'-' if e < 0 else '+'}{abs(e):0{exponent_digits}d}"


@pytest.mark.parametrize("width", [8, 9, 11, 12, 13, 15, 16, 20, 24, 40])
def test_the_time_is_written_as_its_nearest_decimal(tmp_path, width):
    rng = random.Random(width)
    values = [double_of(rng.randrange(0, 1 << 64)) for _ in range(400)]
    values += [rng.uniform(0, 100) for _ in range(200)] + [double_of(rng.randrange(1, 1 << 52)) for _ in range(50)]
    values += [0.125, 0.375, 125.0, 999999.5, 9999995.0, 1e22, 1e23, 5e-324, LARGEST, 9.9999995e99, 1e100,
               1e-99, 1e-100, 9.99999999e-100, 9.9999999e-100, 9.999999999e-100, 0.1 + 0.2, -0.0, 0.0, math.inf, -math.inf, math.nan, -math.nan]
    path = tmp_path / "w.plt"
    tolvane.write(path, {"T": np.array(values), "X": np.zeros(len(values), np.float32)}, width)
    lines = path.read_text().split("\n")
    assert [lines[4 + 2 * b][:width] for b in range(len(values))] == [nearest_field(v, width) for v in values]


def test_a_width_15_time_writes_its_own_text_back(tmp_path):
    rng = random.Random(15)
    exponents = [rng.randint(-99, 99) for _ in range(3000)]
    texts = [f" {rng.randint(1, 9)}.{rng.randrange(10 ** 8):08d}E{'-' if e < 0 else '+'}{abs(e):02d}"
             for e in exponents]
    path = times_file(tmp_path, texts, 15)
    copy = tmp_path / "copy.plt"
    tolvane.write(copy, tolvane.read(path), 15)
    written = copy.read_text().split("\n")
    assert [written[4 + 2 * b][:15] for b in range(len(texts))] == texts
    # At width 12 the same times go to their six-digit decimals, by the same rule.
    tolvane.write(copy, tolvane.read(path), 12)
    written = copy.read_text().split("\n")
    assert [written[4 + 2 * b][:12] for b in range(len(texts))] == \
        [nearest_field(float(text), 12) for text in texts]


# ---------------------------------------------------------------- time_dtype

def entry_points():
    def xarray_engine(path, **kwargs):
        xr = pytest.importorskip("xarray")
        return xr.open_dataset(path, engine="tolvane", n_digits=15, **kwargs)["TIME"].values

    def dask_read(path, **kwargs):
        pytest.importorskip("dask.dataframe")
        import tolvane.dask
        return tolvane.dask.read(path, n_digits=15, **kwargs).index.compute().to_numpy()

    def dask_read_many(path, **kwargs):
        pytest.importorskip("dask.dataframe")
        import tolvane.dask
        return tolvane.dask.read_many([path], 15, **kwargs)["TIME"].compute().to_numpy()

    def read_many(path, **kwargs):
        pytest.importorskip("pandas")
        return tolvane.read_many([path], 15, **kwargs)["TIME"].to_numpy()

    def opened(path, **kwargs):
        with tolvane.open(path, 15, **kwargs) as f:
            return f.read(time=(0.25, 1.0)).time

    return {"read": lambda path, **kwargs: tolvane.read(path, 15, **kwargs).time, "open": opened,
            "read_many": read_many, "xarray": xarray_engine, "dask.read": dask_read,
            "dask.read_many": dask_read_many}


ENTRY_POINTS = entry_points()


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_time_dtype_at_every_entry_point(tmp_path, entry):
    import os
    if entry != "read" and entry != "open" and os.environ.get("QUOREL_SANITIZED"):
        pytest.skip("pandas, xarray and Dask keep objects of their own to the end, which LeakSanitizer reports")
    texts = ["0.25", "0.300000001", "0.300000002", "1"]
    path = times_file(tmp_path, texts, 15)
    call = ENTRY_POINTS[entry]
    default, single = call(path), call(path, time_dtype=np.float32)
    assert default.dtype == np.float64 and single.dtype == np.float32
    assert default.view(np.uint64).tolist() == [python_bits(t) for t in texts]
    # float32: the binary32 values, two texts apart in float64 one value there.
    assert single.view(np.uint32).tolist() == np.array(texts, dtype=np.float32).view(np.uint32).tolist()
    assert call(path, time_dtype="float64").dtype == np.float64 and call(path, time_dtype=None).dtype == np.float64
    for bad, error in ((np.int32, ValueError), ("float16", ValueError), ("f7", TypeError), (object(), TypeError)):
        with pytest.raises(error, match="time_dtype must be numpy.float64 or numpy.float32"):
            call(path, time_dtype=bad)
