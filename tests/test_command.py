"""The tolvane command, run as a user runs it: info's summary of each file, its exit statuses
(0 read, 1 a file that does not read, said as path:line: message, 2 a bad argument), convert
bit for bit through every format it writes, plot's picture; and info on files broken in a known
place, where the line, block, field and bytes it names must be those of the break. Then the
command as a Unix tool: a pipe closed early, Ctrl-C, a conversion that fails halfway, names
that NetCDF cannot hold, an output that is the input, standard input and FIFOs read once."""

import bz2
import errno
import gzip
import lzma
import os
import pathlib
import re
import select
import signal
import struct
import subprocess
import sys
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import EXAMPLES, ROOT, child_env, make_node, node_stays, plot_text, through_fifo, write_plot

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


def command(*args):
    return [sys.executable, "-m", "tolvane", *map(str, args)]


def run(tmp_path, *args, **options):
    """python -m tolvane ARGS in tmp_path: (exit status, standard output, standard error)."""
    proc = subprocess.run(command(*args), capture_output=True, text=True, cwd=tmp_path,
                          env=child_env(), timeout=120, **options)
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
    # Without a block to tell the width by, the writer's own.
    assert run(tmp_path, "info", none, "--columns", "A")[:2] == \
        (0, f"{none}: width 15, 4 parameters, 0 blocks, no block\n  TIME  -  -\n  A     -  -\n")


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
    # A width is ASCII digits, at most 2**64 - 1: not what int() takes besides.
    (["info", "--n-digits", "99999999999999999999999", "{sample}"], 2, "",
     r"usage: tolvane info .*'99999999999999999999999' is not a field width \(ASCII digits, a "
     r"whole number from 1 to 18446744073709551615\)\n"),
    (["info", "--n-digits", "18446744073709551616", "{sample}"], 2, "", r"usage: .*'18446744073709551616' is not a field width.*\n"),
    (["info", "--n-digits", "1_2", "{sample}"], 2, "", r"usage: .*'1_2' is not a field width.*\n"),
    (["info", "--n-digits", "\u0661\u0662", "{sample}"], 2, "", "usage: .*'\u0661\u0662' is not a field width.*\n"),
    (["info", "--n-digits", "+12", "{sample}"], 2, "", r"usage: .*'\+12' is not a field width.*\n"),
    (["info", "--n-digits", " 12", "{sample}"], 2, "", r"usage: .*' 12' is not a field width.*\n"),
    (["convert", "{sample}", "{tmp}/out.xlsx"], 2, "", r"usage: tolvane convert .*OUT must end in .*'out\.xlsx'\n"),
    (["convert", "{sample}", "{tmp}/out.plt", "--out-digits", "7"], 2, "",
     r"usage: tolvane convert .*'7' is not a field width to write \(a whole number from 8 to 1024\)\n"),
    (["convert", "{sample}", "{tmp}/out.csv", "--title", "T"], 2, "",
     r"usage: tolvane convert .*--out-digits and --title are for a plot file \(\.plt\), not 'out\.csv'\n"),
    (["convert", "{sample}", "-"], 2, "",
     r"usage: tolvane convert .*OUT - \(standard output\) needs --to FORMAT: it has no suffix .*\n"),
    (["convert", "{sample}", "-", "--to", "nc"], 2, "",
     r"usage: tolvane convert .*NetCDF needs a regular file \(HDF5 seeks in it\): it cannot be written to standard output\n"),
    (["convert", "{sample}", "-", "--to", "xlsx"], 2, "", r"usage: tolvane convert .*invalid choice: 'xlsx'.*\n"),
    (["convert", "{tmp}/in.csv", "{tmp}/out.nc"], 2, "",
     r"usage: tolvane convert .*FILE '{tmp}/in\.csv' is a table: convert writes it as OUT\.plt only\n"),
    (["convert", "{tmp}/in.csv", "{tmp}/out.plt", "--n-digits", "12"], 2, "",
     r"usage: tolvane convert .*--n-digits is the width of a plot file FILE, not of '{tmp}/in\.csv'\n"),
    (["convert", "{sample}", "{tmp}/out.plt", "--title", "two\nlines"], 1, "",
     r"{tmp}/out\.plt: cannot write: title must be one line, not 'two\\nlines'\n"),
    (["plot"], 2, "", r"usage: tolvane plot .*required: FILE\n"),
    # What tail cannot follow in place, said before anything is read.
    (["tail", "-"], 2, "", r"usage: tolvane tail .*: standard input \(-\) cannot be followed\n"),
    (["tail", "--storage-option", "anon=true", "{sample}"], 2, "",
     r"usage: tolvane tail .*--storage-option is for URLs, and tail follows a local file\n"),
    (["tail", "s3://bucket/run.plt"], 2, "", r"usage: tolvane tail .*not the URL 's3://bucket/run\.plt'\n"),
    (["tail", "{gzipped}"], 2, "", r"usage: tolvane tail .*{gzipped}: tail needs an uncompressed plot file, "
     r"not a gzip file: .*\n"),
])
def test_exit_statuses(tmp_path, sample, args, status, out, err):
    gzipped = tmp_path / "run.plt.gz"
    gzipped.write_bytes(gzip.compress(pathlib.Path(sample).read_bytes()))
    values = {"sample": str(sample), "broken": broken_sample(tmp_path, sample), "tmp": str(tmp_path),
              "gzipped": str(gzipped)}
    got = run(tmp_path, *(arg.format(**values) for arg in args))
    escaped = {key: re.escape(value) for key, value in values.items()}
    assert got[0] == status, got
    assert re.fullmatch(out.format(**escaped), got[1], re.S), got
    assert re.fullmatch(err.format(**escaped), got[2], re.S), got


@pytest.mark.parametrize("make, said", [
    (lambda path: tolvane.FileChangedError(path), "{path}: the file changed while it was read (it was cut short or "
     "written again); read it again once it is written"),
    (lambda path: FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path), "{path}: No such file or directory"),
    (lambda path: OSError("no errno"), "{path}: no errno"),
])
def test_a_file_s_error_names_its_path_once(tmp_path, make, said):
    # The path is the line's first word, once: an error whose text starts with it is said as it is.
    from tolvane._cli.common import failure_of

    path = str(tmp_path / "run.plt")
    assert str(failure_of(path, make(path))) == said.format(path=path)


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
    # The title comes back from Parquet and Feather (the schema's metadata) and NetCDF (a global
    # attribute); a CSV file cannot hold one, and --title gives it.
    titled = ["--title", "FROM A TABLE"] if suffix == ".csv" else []
    assert run(tmp_path, "convert", table, plot_file, *titled) == (0, "", "")
    assert run(tmp_path, "convert", plot_file, again) == (0, "", "")
    written = tolvane.read(plot_file)
    title = "FROM A TABLE" if titled else "TOLVANE PLOT FILE"
    assert plot_file.read_text().split("\n", 1)[0] == f" {title}   5" and written.n_digits == 15
    assert list(written.names) == ["TIME", "X", "X.1", "TIME.1", "Y"]
    original = tolvane.read(every_kind_of_value, 16)
    assert [bits(written[field]) for field in range(5)] == [bits(original[field]) for field in range(5)]
    (names, arrays), (table_names, table_arrays) = read_back(again, 15), read_back(table)
    assert names == table_names and [bits(a) for a in arrays] == [bits(a) for a in table_arrays]


def test_convert_a_plot_file_to_another_width_and_columns(tmp_path, sample):
    # Line 1's title is kept: at its own width the sample comes back whole.
    assert run(tmp_path, "convert", sample, "same.plt", "--out-digits", 12) == (0, "", "")
    assert (tmp_path / "same.plt").read_bytes() == sample.read_bytes()
    # Compressed as OUT's name says, .plt first.
    for suffix, decompress in [(".gz", gzip.decompress), (".bz2", bz2.decompress), (".xz", lzma.decompress)]:
        assert run(tmp_path, "convert", sample, f"same.plt{suffix}", "--out-digits", 12) == (0, "", "")
        assert decompress((tmp_path / f"same.plt{suffix}").read_bytes()) == sample.read_bytes()
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


def distribution_version():
    """The version that pyproject.toml gives the distribution, or where the tests run without
    the project (from an installed wheel), the installed distribution's."""
    if (ROOT / "pyproject.toml").is_file():
        text = (ROOT / "pyproject.toml").read_text()
        return re.search(r'^\[project\]\n(?:[^\[].*\n|\n)*?version = "([^"]+)"$', text, re.M)[1]
    import importlib.metadata

    return importlib.metadata.version("quorel")


def test_the_version_is_the_distributions(tmp_path):
    version = distribution_version()
    assert tolvane.__version__ == version
    assert run(tmp_path, "--version") == (0, f"tolvane {version}\n", "")


# ---------------------------------------------------------------- a Unix tool


@pytest.mark.parametrize("args", [
    ["info", "{sample}"],        # the output is written when the command flushes at its end
    ["info"] + ["{sample}"] * 20,  # more than a buffer: a print meets the closed pipe
], ids=["info", "info-20-files"])
def test_a_closed_output_pipe_ends_the_command_quietly(tmp_path, sample, args):
    read_end, write_end = os.pipe()
    os.close(read_end)  # as head does once it has read what it needs
    try:
        proc = subprocess.run(command(*(arg.format(sample=sample) for arg in args)),
                              stdout=write_end, stderr=subprocess.PIPE, text=True, cwd=tmp_path,
                              env=child_env(), timeout=120)
    finally:
        os.close(write_end)
    # 1, as Python's documentation has a program do on EPIPE; nothing on standard error.
    assert (proc.returncode, proc.stderr) == (1, "")


def test_ctrl_c_exits_130_without_a_traceback(tmp_path):
    fifo = tmp_path / "fifo.plt"
    os.mkfifo(fifo)
    child = subprocess.Popen(command("info", fifo), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=child_env())
    try:
        # The child has opened the FIFO once a writer can open it; until then there is no
        # reader (ENXIO).
        deadline = time.monotonic() + 60
        while True:
            try:
                writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError as error:
                assert error.errno == errno.ENXIO and child.poll() is None
                assert time.monotonic() < deadline, "the command never opened the FIFO"
                time.sleep(0.01)
        os.write(writer, b" RUN 2\n 1 TIME\n 2 A\n")
        child.send_signal(signal.SIGINT)  # while the command waits for the rest of the file
        os.close(writer)
        _, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert (child.returncode, err) == (130, "")


@pytest.fixture(scope="module")
def noise(tmp_path_factory):
    """A plot file of random values, which no format compresses: 3000 blocks of 12 fields, more
    than 64 KiB in each format."""
    rng = np.random.default_rng(29)
    texts = [[f"{v:.5E}" for v in row] for row in rng.random((3000, 12), dtype=np.float32)]
    return write_plot(tmp_path_factory.mktemp("noise"), plot_text(12, texts, 12))


# python -m tolvane ARGS in a child whose files may grow to 64 KiB, as after ulimit -f 64 (set in
# the child itself: a preexec_fn is not safe in a parent with threads). Python ignores SIGXFSZ,
# so a write past the limit fails with EFBIG.
LIMITED = """import resource, runpy, sys
resource.setrlimit(resource.RLIMIT_FSIZE, (64 * 1024, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
sys.argv[0] = "tolvane"
runpy.run_module("tolvane", run_name="__main__", alter_sys=True)
"""


@pytest.mark.parametrize("suffix, fault", [
    *((suffix, "file size limit") for suffix in (".csv", ".feather", ".parquet", ".nc")),
    # A link to a device, written in place: pyarrow, given a path, removes it when a write fails.
    (".parquet", "no space left"),
])
def test_a_failed_conversion_leaves_the_output_as_it_was(tmp_path, noise, suffix, fault):
    if LIBRARIES[suffix] and os.environ.get("QUOREL_SANITIZED"):
        pytest.skip("pyarrow's report of a failed write and HDF5 leave objects of their own, "
                    "which LeakSanitizer reports")
    for library in LIBRARIES[suffix]:
        pytest.importorskip(library)
    out = tmp_path / f"out{suffix}"
    if fault == "file size limit":
        out.write_bytes(b"an earlier output, to be kept whole\n")
        child = [sys.executable, "-c", LIMITED, "convert", noise, out]
    else:  # /dev/full: every write fails with ENOSPC; not a regular file, so written in place
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full")
        out.symlink_to("/dev/full")
        child = command("convert", noise, out)
    before = out.read_bytes() if fault == "file size limit" else os.readlink(out)
    proc = subprocess.run(list(map(str, child)), capture_output=True, text=True, cwd=tmp_path,
                          env=child_env(), timeout=120)
    status, stdout, stderr = proc.returncode, proc.stdout, proc.stderr
    assert (status, stdout) == (1, ""), stderr
    assert re.fullmatch(rf"{re.escape(str(out))}: cannot write: [^\n]+\n", stderr), stderr
    assert os.listdir(tmp_path) == [out.name]  # no partial file beside it
    assert (out.read_bytes() if fault == "file size limit" else os.readlink(out)) == before


def needs_libraries(suffix):
    for library in LIBRARIES.get(suffix, {".png": ["matplotlib"]}.get(suffix, [])):
        pytest.importorskip(library)
    if suffix.endswith(".zst"):
        try:
            import compression.zstd  # noqa: F401  (Python 3.14 and later)
        except ImportError:
            pytest.importorskip("zstandard")


# What is not a regular file is written in place, as a stream, and stays what it was: a FIFO's
# reader gets the very bytes a file gets, a device that is full fails the command with one line;
# through a symbolic link, the file it points to is replaced whole. NetCDF needs a regular file
# (HDF5 seeks, and would open a FIFO again and wait): it is refused, with nothing written.
@pytest.mark.parametrize("kind", ["fifo", "device", "link"])
@pytest.mark.parametrize("suffix", [".csv", ".parquet", ".feather", ".nc", ".plt", ".plt.gz", ".plt.zst", ".png"])
def test_an_output_that_is_not_a_regular_file_is_written_in_place(tmp_path, sample, kind, suffix):
    if suffix == ".nc" and os.environ.get("QUOREL_SANITIZED"):
        pytest.skip("HDF5 leaves objects of its own, which LeakSanitizer reports")
    needs_libraries(suffix)
    make = ["plot", sample, "-o"] if suffix == ".png" else ["convert", sample]
    assert run(tmp_path, *make, tmp_path / f"file{suffix}") == (0, "", "")
    expected = (tmp_path / f"file{suffix}").read_bytes()
    out = make_node(tmp_path, kind, f"out{suffix}")
    if kind == "fifo":
        streamed, (status, stdout, stderr) = through_fifo(out, lambda: run(tmp_path, *make, out))
    else:
        streamed, (status, stdout, stderr) = b"", run(tmp_path, *make, out)
    refused = "NetCDF needs a regular file, not a pipe or a device"
    if suffix == ".nc" and kind != "link":
        assert (status, stdout, stderr, streamed) == (1, "", f"{out}: cannot write: {refused}\n", b"")
    elif kind == "device":
        assert (status, stdout, stderr) == (1, "", f"{out}: cannot write: No space left on device\n")
    else:
        assert (status, stdout, stderr) == (0, "", "")
        assert (streamed if kind == "fifo" else (tmp_path / f"target-{out.name}").read_bytes()) == expected
    assert node_stays(out, kind)
    others = {f"file{suffix}", out.name} | ({f"target-{out.name}"} if kind == "link" else set())
    assert set(os.listdir(tmp_path)) == others


# OUT - writes to standard output, for pipes, what a file of the format gets; redirected to a
# file, from where it stands (as `>>` leaves it): not replaced, not truncated, not seeked in.
@pytest.mark.parametrize("to", ["csv", "parquet", "feather", "plt", "plt.gz"])
@pytest.mark.parametrize("stdout", ["pipe", "appended file"])
def test_convert_to_standard_output(tmp_path, sample, to, stdout):
    needs_libraries("." + to)
    assert run(tmp_path, "convert", sample, f"file.{to}") == (0, "", "")
    expected = (tmp_path / f"file.{to}").read_bytes()
    args = command("convert", sample, "-", "--to", to)
    if stdout == "pipe":
        proc = subprocess.run(args, capture_output=True, cwd=tmp_path, env=child_env(), timeout=120)
        got = proc.stdout
    else:
        appended = tmp_path / "appended"
        appended.write_bytes(b"before\n")
        with open(appended, "ab") as out:
            proc = subprocess.run(args, stdout=out, stderr=subprocess.PIPE, cwd=tmp_path, env=child_env(),
                                  timeout=120)
        got = appended.read_bytes()
        expected = b"before\n" + expected
    assert (proc.returncode, proc.stderr, got) == (0, b"", expected)


# Binary data is not written to a terminal, as gzip and zstd refuse it; text is.
@pytest.mark.parametrize("to", ["parquet", "plt.gz", "plt"])
def test_convert_writes_no_binary_to_a_terminal(tmp_path, sample, to):
    import pty

    needs_libraries("." + to)
    controller, terminal = pty.openpty()
    try:
        child = subprocess.Popen(command("convert", sample, "-", "--to", to, "--columns", "0"),
                                 stdout=terminal, stderr=subprocess.PIPE, cwd=tmp_path, env=child_env())
        shown = bytearray()
        while child.poll() is None or select.select([controller], [], [], 0)[0]:
            if select.select([controller], [], [], 0.05)[0]:
                shown += os.read(controller, 1 << 16)
        err = child.stderr.read().decode()
    finally:
        os.close(controller)
        os.close(terminal)
    if to == "plt":
        assert (child.returncode, err) == (0, "") and shown.startswith(b" TOLVANE SAMPLE PLOT FILE")
    else:
        name = {"parquet": "Parquet", "plt.gz": "a gzip-compressed TOLVANE plot file"}[to]
        assert (child.returncode, bytes(shown)) == (1, b"")
        assert err == (f"/dev/stdout: cannot write: {name} is not written to a terminal (redirect "
                       "standard output to a file or a pipe)\n")


def test_names_netcdf_cannot_hold_are_mapped_to_names_it_can(tmp_path):
    if os.environ.get("QUOREL_SANITIZED"):
        pytest.skip("xarray keeps objects of its own to the end, which LeakSanitizer reports")
    for library in LIBRARIES[".nc"]:
        pytest.importorskip(library)
    import xarray

    names = ["  1 TIME", "  2 A/B", "  3 A_B", "", "  5 -X", "  6 e\u0301", "  7 \u00e9",
             "  8 Q\x7f", "  9 " + "N" * 300]
    values = [[f"{b}.{i}" for i in range(9)] for b in range(3)]
    path = write_plot(tmp_path, plot_text(9, values, 8, names=names))
    out = tmp_path / "out.nc"
    assert run(tmp_path, "convert", path, out, "--n-digits", 8) == (0, "", "")
    # The names of the tables, each that NetCDF cannot hold as its new name: '/' and control
    # characters made '_', '_' before a blank name or a first character that is punctuation,
    # the NFC form (which here meets a name already there), 255 bytes at most.
    new_names = {"A/B": "A_B.1", "": "_", "-X": "_-X", "e\u0301": "\u00e9.1", "Q\x7f": "Q_",
                 "N" * 300: "N" * 255}
    plot = tolvane.read(path, 8)
    table = plot.to_xarray()
    expected = {new_names.get(name, name): (name, bits(table[name].values))
                for name in map(str, table.variables)}
    with xarray.open_dataset(out, engine="netcdf4", mask_and_scale=False, decode_times=False) as data:
        got = {name: (data[name].attrs.get("long_name", name), bits(data[name].values))
               for name in map(str, data.variables)}
    assert got == expected


def plot_file_named(folder, name, sample):
    folder.mkdir(exist_ok=True)
    target = folder / name
    target.write_bytes(sample.read_bytes())
    return target


@pytest.mark.parametrize("args, make", [
    (["plot", "x.png"], lambda d, s: plot_file_named(d, "x.png", s)),  # the default output
    (["plot", "x.plt", "-o", "x.plt"], lambda d, s: plot_file_named(d, "x.plt", s)),
    (["plot", "x.plt", "-o", "link.png"],
     lambda d, s: (d / "link.png").symlink_to(plot_file_named(d, "x.plt", s))),
    (["convert", "a.csv", "a.csv"], lambda d, s: plot_file_named(d, "a.csv", s)),
    (["convert", "a.csv", "b.csv"], lambda d, s: os.link(plot_file_named(d, "a.csv", s), d / "b.csv")),
    (["convert", "-", "a.csv"], lambda d, s: plot_file_named(d, "a.csv", s)),  # "-" is "< a.csv"
])
def test_no_command_writes_over_its_input(tmp_path, sample, args, make):
    make(tmp_path, sample)
    files = {name: (tmp_path / name).read_bytes() for name in os.listdir(tmp_path)}
    with open(tmp_path / args[-1], "rb") as stdin:
        status, out, err = run(tmp_path, *args, stdin=stdin)
    assert (status, out) == (2, ""), err
    assert re.fullmatch(rf"usage: tolvane {args[0]} .* is FILE itself: no command writes over "
                        r"its input\n", err, re.S), err
    assert {name: (tmp_path / name).read_bytes() for name in os.listdir(tmp_path)} == files


@pytest.mark.parametrize("source", ["FIFO", "/dev/stdin", "-"])
def test_a_pipe_is_read_once_and_gives_the_title(tmp_path, sample, source):
    pytest.importorskip("matplotlib")
    # The picture of a regular file, of the name the heading shows for the others ("stdin").
    reference = plot_file_named(tmp_path / "file", "stdin", sample)
    assert run(tmp_path, "plot", reference, "-o", "reference.png") == (0, "", "")
    here = tmp_path / "here"
    here.mkdir()
    writer = None
    if source == "FIFO":
        fifo = tmp_path / "fifo" / "stdin"
        fifo.parent.mkdir()
        os.mkfifo(fifo)
        writer = subprocess.Popen([sys.executable, "-c", "import sys; open(sys.argv[2], 'wb')"
                                   ".write(open(sys.argv[1], 'rb').read())", sample, fifo])
        options = dict(stdin=subprocess.DEVNULL)
        args = [fifo, "-o", "stdin.png"]
    else:
        options = dict(input=sample.read_text())
        args = [source]  # the default output: stdin.png
    try:
        assert run(here, "plot", *args, **options) == (0, "", "")
    finally:
        if writer is not None:
            writer.kill()
            writer.wait()
    assert (here / "stdin.png").read_bytes() == (tmp_path / "reference.png").read_bytes()


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
    if kind == "a data line missing":
        # The file ends inside a block: info gives the blocks before it and says where it is cut.
        assert main(["info", "--n-digits", str(width), path]) == 0
        out, err = capsys.readouterr()
        assert err == "" and f"\n{path}:{expected['line']}: cut inside block {expected['block']}\n" in out
        return
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


def test_convert_keeps_the_blocks_of_a_cut_file_when_asked(tmp_path, capsys):
    data = plot_text(2, [[b, -b] for b in range(5)], 12).encode()
    path = write_plot(tmp_path, data[:-3], name="cut.plt")
    out = tmp_path / "cut.csv"
    assert main(["convert", path, str(out)]) == 1 and not out.exists()
    assert capsys.readouterr().err == f"{path}:13: block 4, field 1 (PARAM_1), bytes 12..24: the line is only 22 bytes " \
        "long; the file ends inside this block: --incomplete keep reads the blocks before it\n"
    assert main(["convert", "--incomplete", "keep", path, str(out)]) == 0
    assert capsys.readouterr() == ("", f"{path}:13: cut inside block 4\n")
    assert out.read_text().splitlines() == ["PARAM_0,PARAM_1"] + [f"{b}.0,{-b}.0" for b in range(4)]
