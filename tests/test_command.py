"""The tolvane command, run as a user runs it: info's summary of each file, its exit statuses
(0 read, 1 a file that does not read, said as path:line: message, 2 a bad argument), convert
bit for bit through every format it writes, plot's picture; and info on files broken in a known
place, where the line, block, field and bytes it names must be those of the break."""

import os
import re
import struct
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import EXAMPLES, ROOT, child_env, plot_text, write_plot

tolvane = pytest.importorskip("tolvane")  # built for CPython 3.10 and newer
np = pytest.importorskip("numpy")
from tolvane._cli import main  # noqa: E402

SAMPLE = EXAMPLES / "sample_w12.plt"
# What each format needs to be written and read back.
LIBRARIES = {".parquet": ["pyarrow"], ".feather": ["pyarrow"], ".csv": [], ".nc": ["xarray", "netCDF4"]}


@pytest.fixture
def sample():
    if not SAMPLE.is_file():
        pytest.skip(f"{SAMPLE} is not there: these tests run in a clone of the project")
    return SAMPLE


def run(tmp_path, *args):
    """python -m tolvane ARGS in tmp_path: (exit status, standard output, standard error)."""
    proc = subprocess.run([sys.executable, "-m", "tolvane", *map(str, args)], capture_output=True,
                          text=True, cwd=tmp_path, env=child_env(), timeout=120)
    return proc.returncode, proc.stdout, proc.stderr


def edges(tmp_path):
    """A NaN first, a column of NaN only, infinities and -0; and a file without a block."""
    blocks = [["0.0", "nan", "inf", "nan"], ["1.0", "1.0", "-inf", "NaN"], ["2.0", "-2.0", "-0", "-nan"]]
    names = [" 1 TIME", " 2 A", " 3 BB", " 4 C"]
    return (write_plot(tmp_path, plot_text(4, blocks, 12, names=names), name="edges.plt"),
            write_plot(tmp_path, plot_text(4, [], 12, names=names), name="none.plt"))


def test_info_says_what_each_file_holds(tmp_path):
    edge, none = edges(tmp_path)
    status, out, err = run(tmp_path, "info", "--n-digits", 12, edge, none, "--columns", "A,3,BB")
    assert (status, err) == (0, "")
    assert out == (f"{edge}: width 12, 4 parameters, 3 blocks, time 0.0 .. 2.0\n"
                   "  TIME   0.0   2.0\n"
                   "  A     -2.0   1.0\n"
                   "  BB    -inf   inf\n"
                   "  C      nan   nan\n"
                   f"{none}: width 12, 4 parameters, 0 blocks, no block\n"
                   "  TIME  -  -\n  A     -  -\n  BB    -  -\n  C     -  -\n")


def broken_sample(tmp_path, sample):
    """The sample with a Fortran exponent in block 2, as docs/tolvane.md shows it."""
    lines = sample.read_text().split("\n")
    lines[20] = lines[20].replace("E+02", "D+02", 1)
    return write_plot(tmp_path, "\n".join(lines), name="broken.plt")


@pytest.mark.parametrize("args, status, out, err", [
    (["info", "{sample}", "{broken}"], 1, r"{sample}: width 12, 12 parameters, 401 blocks, time 0\.0 \.\. 0\.2\n.*",
     r"{broken}:21: block 2, field 4 \(VOLTAGE\), bytes 48\.\.60: '1\.87443D\+02' is not a number\n"),
    (["info", "{tmp}/missing.plt"], 1, "", r"{tmp}/missing\.plt: No such file or directory\n"),
    (["info", "{tmp}"], 1, "", r"{tmp}: Is a directory\n"),
    (["info", "{sample}", "--columns", "SPEED,SPED"], 1, "", r"{sample} has no parameter named 'SPED'\n"),
    (["convert", "{broken}", "{tmp}/out.csv"], 1, "", r"{broken}:21: block 2, .*\n"),
    (["convert", "{sample}", "{tmp}/no/such/folder/out.csv"], 1, "", r"{tmp}/no/such/folder/out\.csv: cannot write: .*\n"),
    ([], 2, "", r"usage: tolvane .*required: COMMAND\n"),
    (["show", "{sample}"], 2, "", r"usage: tolvane .*invalid choice: 'show'.*\n"),
    (["info"], 2, "", r"usage: tolvane info .*required: FILE\n"),
    (["info", "--n-digits", "0", "{sample}"], 2, "", r"usage: .*'0' is not a field width.*\n"),
    (["info", "--columns", "A,,B", "{sample}"], 2, "", r"usage: .*holds an empty column name\n"),
    (["convert", "{sample}", "{tmp}/out.xlsx"], 2, "", r"usage: tolvane convert .*OUT must end in .*'out\.xlsx'\n"),
    (["convert", "{sample}", "{tmp}/out.plt", "--out-digits", "7"], 2, "",
     r"usage: tolvane convert .*'7' is not a field width to write \(a whole number from 8 to 1024\)\n"),
    (["convert", "{sample}", "{tmp}/out.csv", "--title", "T"], 2, "",
     r"usage: tolvane convert .*--out-digits and --title are for OUT\.plt, not 'out\.csv'\n"),
    (["convert", "{tmp}/in.csv", "{tmp}/out.nc"], 2, "",
     r"usage: tolvane convert .*FILE '{tmp}/in\.csv' is a table: convert writes it as OUT\.plt only\n"),
    (["convert", "{tmp}/in.csv", "{tmp}/out.plt", "--n-digits", "12"], 2, "",
     r"usage: tolvane convert .*--n-digits is the width of a plot file FILE, not of '{tmp}/in\.csv'\n"),
    (["convert", "{sample}", "{tmp}/out.plt", "--title", "two\nlines"], 1, "",
     r"{tmp}/out\.plt: cannot write: title must be one line, not 'two\\nlines'\n"),
    (["plot"], 2, "", r"usage: tolvane plot .*required: FILE\n"),
])
def test_exit_statuses(tmp_path, sample, args, status, out, err):
    values = {"sample": str(sample), "broken": broken_sample(tmp_path, sample), "tmp": str(tmp_path)}
    got = run(tmp_path, *(arg.format(**values) for arg in args))
    escaped = {key: re.escape(value) for key, value in values.items()}
    assert got[0] == status, got
    assert re.fullmatch(out.format(**escaped), got[1], re.S), got
    assert re.fullmatch(err.format(**escaped), got[2], re.S), got


def bits(array):
    array = np.asarray(array)
    assert array.dtype == np.float32
    return array.view(np.uint32).tolist()


def read_back(path, n_digits=16):
    """(names, float32 arrays) of a file written by convert from a file of width n_digits, read
    by the library a user reads it with."""
    suffix = path.suffix
    if suffix in (".parquet", ".feather"):
        import pyarrow.feather
        import pyarrow.parquet

        table = (pyarrow.parquet.read_table if suffix == ".parquet" else pyarrow.feather.read_table)(path)
        return table.column_names, [column.to_numpy() for column in table.columns]
    if suffix == ".csv":
        lines = path.read_text().splitlines()
        rows = [line.split(",") for line in lines[1:]]
        return lines[0].split(","), [np.array([float(row[i]) for row in rows], dtype=np.float32)
                                     for i in range(len(rows[0]))]
    import xarray

    with xarray.open_dataset(path, engine="netcdf4", mask_and_scale=False, decode_times=False) as data:
        time = next(iter(data.coords))
        assert data.attrs["n_digits"] == n_digits
        return [time, *data.data_vars], [data[name].values for name in [time, *data.data_vars]]


@pytest.fixture(scope="module")
def every_kind_of_value(tmp_path_factory):
    """A file of random binary32 values of every kind (subnormals, infinities, NaN of both signs),
    each written as the shortest text that reads back as it, under names repeated."""
    rng = np.random.default_rng(5)
    values = rng.integers(0, 2**32, size=(300, 5), dtype=np.uint32).view(np.float32)
    values[::7, 1] = -np.nan
    values[::5, 2] = np.nan
    values[:, 0] = np.arange(300, dtype=np.float32)
    # numpy's own shortest form, the same in every version (str() of a float32 is longer in some).
    texts = [["nan" if np.isnan(v) and not np.signbit(v) else "-nan" if np.isnan(v)
              else str(v) if np.isinf(v) else np.format_float_scientific(v, unique=True)
              for v in row] for row in values]
    names = [" 1 TIME", " 2 X", " 3 X", " 4 TIME", " 5 Y"]
    return write_plot(tmp_path_factory.mktemp("values"), plot_text(5, texts, 16, names=names))


@pytest.mark.parametrize("suffix", [".parquet", ".feather", ".csv", ".nc"])
def test_convert_round_trips_bit_for_bit(tmp_path, every_kind_of_value, suffix):
    if suffix == ".nc" and os.environ.get("QUOREL_SANITIZED"):
        pytest.skip("xarray keeps objects of its own to the end, which LeakSanitizer reports")
    for library in LIBRARIES[suffix]:
        pytest.importorskip(library)
    out = tmp_path / f"out{suffix}"
    assert run(tmp_path, "convert", every_kind_of_value, out, "--n-digits", 16) == (0, "", "")
    names, arrays = read_back(out)
    plot = tolvane.read(every_kind_of_value, 16)
    assert names == ["TIME", "X", "X.1", "TIME.1", "Y"]
    assert [bits(array) for array in arrays] == [bits(plot[field]) for field in range(5)]


@pytest.mark.parametrize("suffix", [".parquet", ".feather", ".csv", ".nc"])
def test_convert_back_into_a_plot_file_bit_for_bit(tmp_path, every_kind_of_value, suffix):
    if suffix == ".nc" and os.environ.get("QUOREL_SANITIZED"):
        pytest.skip("xarray keeps objects of its own to the end, which LeakSanitizer reports")
    for library in ["pyarrow", *LIBRARIES[suffix]]:  # tables are read with pyarrow or xarray
        pytest.importorskip(library)
    table, plot_file, again = tmp_path / f"out{suffix}", tmp_path / "out.plt", tmp_path / f"again{suffix}"
    assert run(tmp_path, "convert", every_kind_of_value, table, "--n-digits", 16) == (0, "", "")
    assert run(tmp_path, "convert", table, plot_file, "--title", "FROM A TABLE") == (0, "", "")
    assert run(tmp_path, "convert", plot_file, again) == (0, "", "")
    written = tolvane.read(plot_file)
    assert plot_file.read_text().split("\n", 1)[0] == " FROM A TABLE   5" and written.n_digits == 15
    assert list(written.names) == ["TIME", "X", "X.1", "TIME.1", "Y"]
    original = tolvane.read(every_kind_of_value, 16)
    assert [bits(written[field]) for field in range(5)] == [bits(original[field]) for field in range(5)]
    (names, arrays), (table_names, table_arrays) = read_back(again, 15), read_back(table)
    assert names == table_names and [bits(a) for a in arrays] == [bits(a) for a in table_arrays]


def test_convert_a_plot_file_to_another_width_and_columns(tmp_path, sample):
    # Line 1's title is kept: at its own width the sample comes back whole.
    assert run(tmp_path, "convert", sample, "same.plt", "--out-digits", 12) == (0, "", "")
    assert (tmp_path / "same.plt").read_bytes() == sample.read_bytes()
    assert run(tmp_path, "convert", sample, "two.plt", "--columns", "TORQUE,9") == (0, "", "")
    two, expected = tolvane.read(tmp_path / "two.plt"), tolvane.read(sample, columns=["TORQUE", 9])
    assert two.n_digits == 15 and list(two.names) == ["TIME", "TORQUE", "DUTY"] == list(expected)
    assert [bits(two[i]) for i in range(3)] == [bits(expected[name]) for name in expected]


def test_convert_that_fails_to_write_leaves_the_earlier_file_whole(tmp_path, sample):
    import resource

    out = tmp_path / "out.plt"
    out.write_bytes(b"an earlier file\n")
    proc = subprocess.run([sys.executable, "-m", "tolvane", "convert", str(sample), str(out)],
                          capture_output=True, text=True, cwd=tmp_path, env=child_env(), timeout=120,
                          preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (20_000, 20_000)))
    assert (proc.returncode, proc.stdout, proc.stderr) == (1, "", f"{out}: cannot write: File too large\n")
    assert out.read_bytes() == b"an earlier file\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.plt"]


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


@pytest.mark.parametrize("args, name, size", [
    ([], "sample_w12.png", (1440, 760)),  # 11 signals: 4 by 3 plots
    (["--columns", "SPEED,TORQUE", "-o", "two.png"], "two.png", (720, 300)),
])
def test_plot_draws_every_parameter(tmp_path, sample, args, name, size):
    pytest.importorskip("matplotlib")
    assert run(tmp_path, "plot", sample, *args) == (0, "", "")
    assert png_size(tmp_path / name) == size


def test_the_console_script_is_the_command():
    if not (ROOT / "pyproject.toml").is_file():
        pytest.skip("pyproject.toml is not there: these tests run in a clone of the project")
    text = (ROOT / "pyproject.toml").read_text()
    target = re.search(r'^\[project\.scripts\]\n(?:#.*\n)*tolvane = "([\w.]+):(\w+)"$', text, re.M)
    module = __import__(target[1], fromlist=[target[2]])
    assert getattr(module, target[2]) is main


# ---------------------------------------------------------------- where a file breaks


def field_text(value, width):
    text = f"{value:.{max(0, width - 8)}E}"  # at most width - 1 characters for width >= 8
    return text.rjust(width).encode()


@st.composite
def good_files(draw):
    """(count, width, lines, data line index by (block, data line of the block))."""
    count = draw(st.integers(1, 23))
    width = draw(st.integers(8, 16))
    blocks = draw(st.lists(st.lists(st.floats(width=32), min_size=count, max_size=count),
                           min_size=1, max_size=3))
    lines = [f" TOLVANE TEST {count}".encode()] + [f" {i + 1:4d}  P{i}".encode() for i in range(count)]
    where = {}
    for b, values in enumerate(blocks):
        lines.append(f" STEP {b + 1}".encode())
        fields = [field_text(v, width) for v in values]
        for j in range(0, count, 10):
            where[b, j // 10] = len(lines)
            lines.append(b"".join(fields[j:j + 10]))
    return count, width, lines, where


def field_place(draw, count, lines, where):
    b = draw(st.integers(0, max(blk for blk, _ in where)))
    i = draw(st.integers(0, count - 1))
    return b, i, where[b, i // 10]


def break_field(draw, good, replacement):
    count, width, lines, where = good
    b, i, index = field_place(draw, count, lines, where)
    start = (i % 10) * width
    lines[index] = lines[index][:start] + replacement.rjust(width) + lines[index][start + width:]
    return lines, dict(line=index + 1, block=b, field=i, span=(start, start + width))


BREAKS = {
    "not a number": lambda draw, good: break_field(draw, good, draw(st.sampled_from(
        ["1.0D+00", "***", "1,5", "1 .5", "e5", "--1", "0x1p3", "1.0-100", "\u200b1", "\u0131nf"])).encode()),
    "blank": lambda draw, good: break_field(draw, good, draw(st.sampled_from(["", "\t", "\u3000\u00a0"])).encode()),
    "past the line's end": lambda draw, good: past_line_end(draw, good),
    "a character split": lambda draw, good: splits_character(draw, good),
    "a data line missing": lambda draw, good: data_line_missing(draw, good),
    "a name line missing": lambda draw, good: (good[2][:1 + draw(st.integers(0, good[0] - 1))], {}),
}


def past_line_end(draw, good):
    count, width, lines, where = good
    b, i, index = field_place(draw, count, lines, where)
    start = (i % 10) * width
    lines[index] = lines[index][:start + draw(st.integers(0, width - 1))]
    return lines, dict(line=index + 1, block=b, field=i, span=(start, start + width))


def splits_character(draw, good):
    count, width, lines, where = good
    b, i, index = field_place(draw, count, lines, where)
    start = (i % 10) * width
    lines[index] = lines[index][:start] + b"1".rjust(width - 1) + b"\xc3\xa9" + lines[index][start + width + 1:]
    return lines, dict(line=index + 1, block=b, field=i, span=(start, start + width))


def data_line_missing(draw, good):
    _, _, lines, where = good
    if draw(st.booleans()):  # a trailing empty line: the header of one more block
        return lines + [b""], dict(line=len(lines) + 2, block=max(b for b, _ in where) + 1)
    b, j = draw(st.sampled_from(sorted(where)))
    return lines[:where[b, j]], dict(line=where[b, j] + 1, block=b)


WHERE = re.compile(r"(?P<path>.+?):(?P<line>\d+): (?:block (?P<block>\d+), )?(?:field (?P<field>\d+)"
                   r"(?: \([^)]*\))?, )?(?:bytes (?P<start>\d+)\.\.(?P<end>\d+): )?(?P<reason>.+)\n")


@pytest.mark.parametrize("kind", sorted(BREAKS))
@settings(max_examples=10, deadline=None, derandomize=True,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_info_says_where_a_file_breaks(tmp_path, capsys, kind, data):
    count, width, lines, where = data.draw(good_files())
    lines, expected = BREAKS[kind](data.draw, (count, width, list(lines), where))
    newline = data.draw(st.sampled_from([b"\n", b"\r\n"]))
    path = write_plot(tmp_path, newline.join(lines) + newline, name="broken.plt")
    assert main(["info", "--n-digits", str(width), path]) == 1
    out, err = capsys.readouterr()
    place = WHERE.fullmatch(err)
    assert out == "" and place and place["path"] == path, err
    if kind == "a name line missing":  # the line after the last
        expected = dict(line=len(lines) + 1)
    assert int(place["line"]) == expected["line"], err
    if "block" in expected:
        assert int(place["block"]) == expected["block"], err
    if "field" in expected:
        assert (int(place["field"]), int(place["start"]), int(place["end"])) == \
            (expected["field"], *expected["span"]), err
