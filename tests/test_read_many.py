"""tolvane.read_many and tolvane.dask.read_many: a sweep as one long frame, which must be each
file's tolvane.read one after another, in the order of the paths, however many threads read
them; the first failing file in that order raises, or every failing file is skipped and listed;
the bar shows where it should and nothing else is written; and a Dask cluster of two worker
processes gives the same frame."""

import errno
import fcntl
import os
import pathlib
import pty
import struct
import subprocess
import sys
import termios
import threading
import time
import warnings

import pytest

from conftest import child_env, plot_text, run_child, run_example, skip_without_memory_limits

tolvane = pytest.importorskip("tolvane")  # built for CPython 3.10 and newer
np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")

NAMES = ["TIME", "SPEED", "TORQUE", "CURRENT", "VOLTAGE", "TEMP_WINDING", "TEMP_CASE",
         "POSITION", "ERROR", "DUTY", "FLUX", "LOSSES"]  # examples/make_sample.py's


def sweep_file(folder, name, blocks, names=NAMES, header="  BLOCK"):
    path = folder / name
    path.write_text(plot_text(len(names), blocks, 12, names=[f" {i + 1:4d}  {n}" for i, n in enumerate(names)],
                              header=header))
    return str(path)


@pytest.fixture(scope="module")
def sweep(tmp_path_factory):
    """make_sweep.py's files of several lengths, one without a block and one of NaN, infinities
    and -0, all with the same names; first, a file of long header lines, whose bytes a block
    make the frame's first estimate of the rows to come fall short of a later long file's."""
    folder = tmp_path_factory.mktemp("sweep")
    for runs, steps in [(3, 40), (2, 1)]:
        part = folder / f"steps{steps}"
        proc = run_example(folder, "make_sweep.py", part, "--runs", runs, "--steps", steps)
        assert proc.returncode == 0, proc.stderr
    paths = [str(path) for path in sorted(folder.glob("steps*/*.plt"))]
    paths.insert(1, sweep_file(folder, "empty.plt", []))
    edges = [["0", "nan", "-nan", "inf", "-inf", "-0"] + ["1"] * 6, ["1"] + ["nan"] * 11]
    paths.insert(3, sweep_file(folder, "edges.plt", edges))
    paths.insert(0, sweep_file(folder, "long_headers.plt", [["1"] * 12] * 3, header="H" * 20000))
    ramp = [[str(step)] + [f"{step / 7:.5E}"] * 11 for step in range(2500)]
    paths.insert(2, sweep_file(folder, "many_blocks.plt", ramp))
    return paths


def bits(array):
    assert array.dtype in (np.float32, np.float64)
    return array.view(np.uint32 if array.dtype == np.float32 else np.uint64).tolist()


def expected_frame(paths, columns, categories):
    """Each file's tolvane.read, one after another, as the frame read_many must give."""
    plots = [tolvane.read(path, 12, columns=columns) for path in paths]
    names = ["path"] + list(plots[0])
    values = [np.concatenate([plot[name] for plot in plots]) for name in names[1:]]
    path = pd.Categorical([plot.path for plot in plots for _ in range(len(plot))],
                          categories=list(dict.fromkeys(categories or paths)))
    return names, path, values


def assert_frame_is(frame, paths, columns=None, categories=None):
    """The frame is the files' one after another; the path's categories are every path given
    (the files read, unless given)."""
    names, path, values = expected_frame(paths, columns, categories)
    assert list(frame.columns) == names
    assert isinstance(frame.index, pd.RangeIndex) and frame.index.start == 0
    assert frame["path"].dtype == path.dtype  # the categories, in the order of the paths
    assert (frame["path"].cat.codes.to_numpy() == path.codes).all()
    assert [bits(frame[name].to_numpy()) for name in names[1:]] == [bits(v) for v in values]


@pytest.mark.parametrize("threads", [1, 2, None])
@pytest.mark.parametrize("columns", [None, ["POSITION", 1]])
def test_the_files_one_after_another(sweep, threads, columns, monkeypatch):
    grown = []
    real_grow = tolvane._frame_block.FrameBlock._grow
    monkeypatch.setattr(tolvane._frame_block.FrameBlock, "_grow",
                        lambda block, rows: grown.append(block.rows) or real_grow(block, rows))
    assert_frame_is(tolvane.read_many(sweep, 12, columns=columns, threads=threads), sweep, columns)
    assert grown[0] == 0 and len(grown) >= 2  # made, then grown with rows in it


def dask_read_many(paths, *args, **kwargs):
    if os.environ.get("QUOREL_SANITIZED"):
        pytest.skip("Dask's own objects left at exit are reported by LeakSanitizer")
    pytest.importorskip("dask.dataframe")
    import tolvane.dask

    return tolvane.dask.read_many(paths, *args, **kwargs).compute(scheduler="sync").reset_index(drop=True)


READERS = {"threads": lambda *args, **kwargs: tolvane.read_many(*args, **kwargs), "dask": dask_read_many}


@pytest.mark.parametrize("given, matches", [
    (lambda top: f"{top}/steps40/*.plt", ["steps40/run_0001.plt", "steps40/run_0002.plt", "steps40/run_0003.plt"]),
    (lambda top: pathlib.Path(top) / "steps*" / "run_000[12].plt",
     ["steps1/run_0001.plt", "steps1/run_0002.plt", "steps40/run_0001.plt", "steps40/run_0002.plt"]),
    (lambda top: os.fsencode(f"{top}/steps1/run_000?.plt"), ["steps1/run_0001.plt", "steps1/run_0002.plt"]),
    (lambda top: f"{top}/**/e*.plt", ["edges.plt", "empty.plt"]),
    (lambda top: f"{top}/*_[hb]*.plt", ["long_headers.plt", "many_blocks.plt"]),
    (lambda top: f"{top}/steps40/run_0002.plt", ["steps40/run_0002.plt"]),
    (lambda top: pathlib.Path(top) / "edges.plt", ["edges.plt"]),
], ids=["str-pattern", "path-pattern", "bytes-pattern", "any-depth", "bracket", "one-str", "one-path"])
@pytest.mark.parametrize("reader", READERS)
def test_one_path_or_a_glob_pattern(sweep, reader, given, matches):
    top = os.path.commonpath(sweep)
    paths = [os.path.join(top, match) for match in matches]
    assert_frame_is(READERS[reader](given(top), 12), paths)


@pytest.mark.parametrize("given, error, message", [
    (lambda top: top, IsADirectoryError, "Is a directory (for the files in it, pass a pattern such as "),
    (lambda top: pathlib.Path(top) / "steps40", IsADirectoryError, "Is a directory"),
    (lambda top: f"{top}/*.csv", FileNotFoundError, "no file matches the pattern"),
    (lambda top: f"{top}/[", FileNotFoundError, "no file matches the pattern"),
])
@pytest.mark.parametrize("reader", READERS)
def test_a_folder_or_a_pattern_that_matches_nothing_is_named(sweep, reader, given, error, message):
    path = given(os.path.commonpath(sweep))
    with pytest.raises(error) as raised:
        READERS[reader](path, 12)
    assert type(raised.value) is error and raised.value.filename == str(path)
    assert raised.value.strerror.startswith(message)


# Reads one file once with tolvane.read, then `count` times as one sweep, and reports the growth
# of the process's peak resident memory during each, and the frame's bytes.
MEMORY_CHILD = r"""
import ctypes, json, sys
import pandas, tolvane

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key))

def peak_from_here():
    ctypes.CDLL(None).malloc_trim(0)  # the room freed so far does not hide the growth to come
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    return status("VmHWM:")

out, path, count, threads = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
before = peak_from_here()
plot = tolvane.read(path, 1, threads=1)
one_read = status("VmHWM:") - before
del plot
before = peak_from_here()
frame = tolvane.read_many([path] * count, 1, threads=threads)
peak = status("VmHWM:") - before
json.dump({"peak": peak, "one_read": one_read, "frame": int(frame.memory_usage(deep=True).sum()),
           "rows": len(frame)}, open(out, "w"))
"""


@skip_without_memory_limits
@pytest.mark.parametrize("threads", [1, 2])
def test_the_peak_memory_is_the_frame_and_the_files_being_read(tmp_path, threads):
    # Fields of one byte: a file of 6 MB holds 18 MB of values; read 14 times, 252 MB. A read
    # that held every file's arrays until the frame was built would need twice that.
    blocks, count = 375_000, 14
    path = tmp_path / "narrow.plt"
    path.write_text("T 12\n" + "".join(f"P{i}\n" for i in range(12)) + ("H\n" + "1" * 10 + "\n11\n") * blocks)
    got, out, err = run_child(tmp_path, MEMORY_CHILD, path, count, threads, timeout=120)
    assert (out, err) == ("", "") and got["rows"] == blocks * count
    assert got["frame"] >= count * blocks * 12 * 4
    # Beside the frame: each thread's file as one read of it takes (its arrays and its reading
    # buffers: 35 MB, not the 18 of its values), and 64 MiB for the frame's partly written huge
    # pages at the columns' moving ends (up to FrameBlock's HUGE_PAGES_SLACK, 32 MiB) and the
    # frame's assembly. Holding every file's arrays would add 250 MB.
    assert got["peak"] <= got["frame"] + threads * got["one_read"] + 64 * 2**20, got


@pytest.mark.parametrize("room", ["rows-only", "none"])
def test_a_frame_whose_room_is_refused_grows_as_needed(monkeypatch, room):
    """Where the system refuses the address space reserved for the rows to come, the frame's
    block grows to the rows at hand alone; where it refuses those too, MemoryError."""
    from tolvane._frame_block import FrameBlock, mmap

    real_map = mmap.mmap
    per_page = mmap.PAGESIZE // 4
    parts = [np.arange(3 * rows, dtype=np.float32).reshape(3, rows) + start for start, rows in [(0.5, 5000), (-1e6, 9000)]]
    limits = [3 * -(-rows // per_page) * per_page * 4 if room == "rows-only" else 0 for rows in (5000, 14000)]
    refused = []

    def tight_map(fileno, length, *args, **kwargs):
        if length > limits[0]:
            refused.append(length)
            raise OSError(errno.ENOMEM, os.strerror(errno.ENOMEM))
        return real_map(fileno, length, *args, **kwargs)

    monkeypatch.setattr(mmap, "mmap", tight_map)
    block = FrameBlock(3)
    if room == "none":
        with pytest.raises(MemoryError, match="cannot map 61440 bytes for the frame: Cannot allocate memory"):
            block.append(parts[0], 10**6)
        return
    block.append(parts[0], 10**6)
    limits.pop(0)
    block.append(parts[1], 10**6)
    assert bits(block.values().ravel()) == bits(np.concatenate(parts, axis=1).ravel())
    assert len(refused) == 2


@pytest.fixture(scope="module")
def broken(tmp_path_factory):
    folder = tmp_path_factory.mktemp("broken")
    good = [sweep_file(folder, f"good{i}.plt", [["1"] * 12, ["2"] * 12]) for i in range(3)]
    bad = sweep_file(folder, "bad.plt", [["1"] * 12, ["1.0D+00"] + ["2"] * 11])
    other = sweep_file(folder, "other.plt", [["1"] * 13], names=NAMES + ["EXTRA"])
    renamed = sweep_file(folder, "renamed.plt", [["1"] * 12], names=NAMES[:4] + ["VOLTS"] + NAMES[5:])
    return good, bad, other, renamed, str(folder / "missing.plt")


@pytest.mark.parametrize("threads", [1, 2])
def test_the_first_failing_file_in_order_raises(broken, threads):
    good, bad, other, renamed, missing = broken
    with pytest.raises(FileNotFoundError) as raised:
        tolvane.read_many([good[0], missing, bad, good[1]], threads=threads)
    assert raised.value.filename == missing
    with pytest.raises(tolvane.FormatError, match=r"bad\.plt:18: block 1, field 0 \(TIME\)"):
        tolvane.read_many([good[0], bad, missing], threads=threads)
    with pytest.raises(ValueError, match=rf"^{renamed}: .* parameter 4 is 'VOLTS', not 'VOLTAGE'$"):
        tolvane.read_many([good[0], renamed, bad], threads=threads)
    with pytest.raises(ValueError, match=rf"^{other}: .* parameter 12 \('EXTRA'\) past the first file's 12$"):
        tolvane.read_many([good[0], other], threads=threads)


def test_skipped_files_are_warned_and_listed(broken):
    good, bad, other, renamed, missing = broken
    with pytest.warns(RuntimeWarning) as warned:
        frame = tolvane.read_many([good[0], missing, bad, good[1], other, good[2], renamed], threads=2,
                                  on_error="skip")
    skipped = frame.attrs["skipped"]
    assert [(path, type(error)) for path, error in skipped] == [
        (missing, FileNotFoundError), (bad, tolvane.FormatError), (other, ValueError), (renamed, ValueError)]
    assert [str(w.message) for w in warned] == [
        f"tolvane.read_many skipped {path}: {type(error).__name__}: {error}" for path, error in skipped]
    assert_frame_is(frame, good, categories=[good[0], missing, bad, good[1], other, good[2], renamed])


def test_a_failure_stops_the_reads(broken, monkeypatch):
    """No file past the failing one is started but those already under way, and every read
    has ended when the error is raised."""
    good, bad, *_ = broken
    started, running = [], [0]
    lock = threading.Lock()
    real_read = tolvane._many.read_in_pieces

    def slow_read(path, *args, **kwargs):
        with lock:
            started.append(path)
            running[0] += 1
        try:
            time.sleep(0.05)
            return real_read(path, *args, **kwargs)
        finally:
            with lock:
                running[0] -= 1

    monkeypatch.setattr(tolvane._many, "read_in_pieces", slow_read)
    with pytest.raises(tolvane.FormatError):
        tolvane.read_many([good[0], bad] + good * 10, threads=2)
    assert running[0] == 0
    assert len(started) <= 3


# Ctrl-C reaches the main thread, which is one of the pool's readers; here it does in the main
# thread's own read, which raises KeyboardInterrupt while the other thread's files, read after
# it, would wait for its turn: they must not wait for a turn that never comes.
INTERRUPT_CHILD = r"""
import json, sys, threading, time
import tolvane, tolvane._many

out, paths = sys.argv[1], sys.argv[2:]
real_read = tolvane._many.read_in_pieces
main = threading.main_thread()

def read(path, *args, **kwargs):
    time.sleep(0.05)
    if threading.current_thread() is main:
        time.sleep(0.2)
        raise KeyboardInterrupt
    return real_read(path, *args, **kwargs)

tolvane._many.read_in_pieces = read
try:
    tolvane.read_many(paths, threads=2)
    raised = False
except KeyboardInterrupt:
    raised = True
deadline = time.monotonic() + 10
while any(t.name.startswith("tolvane.read_many-") for t in threading.enumerate()) and time.monotonic() < deadline:
    time.sleep(0.01)
left = [t.name for t in threading.enumerate() if t.name.startswith("tolvane.read_many-")]
json.dump({"raised": raised, "left": left}, open(out, "w"))
"""


def test_an_interrupted_sweep_leaves_no_thread_waiting(tmp_path, broken):
    got, out, err = run_child(tmp_path, INTERRUPT_CHILD, *broken[0] * 3, timeout=60)
    assert got == {"raised": True, "left": []} and (out, err) == ("", "")


@pytest.mark.parametrize("kwargs, error", [
    ({"threads": 0}, ValueError), ({"threads": True}, TypeError), ({"threads": 1.5}, TypeError),
    ({"on_error": "ignore"}, ValueError), ({"progress": "yes"}, TypeError),
    ({"n_digits": 0}, ValueError), ({"columns": "SPEED"}, TypeError),
])
def test_bad_arguments_raise_before_any_read(tmp_path, kwargs, error):
    with pytest.raises(error):  # not the FileNotFoundError of a read
        tolvane.read_many([tmp_path / "missing.plt"] * 20, **kwargs)


PROGRESS_CHILD = r"""
import sys, tolvane
progress = {"None": None, "True": True, "False": False}[sys.argv[1]]
frame = tolvane.read_many(sys.argv[2:], threads=2, progress=progress)
assert len(frame) == 2 * (len(sys.argv) - 2)
"""


@pytest.mark.parametrize("progress, terminal, bar", [
    ("None", False, False), ("None", True, True), ("True", False, True), ("False", True, False)])
def test_the_bar_shows_where_it_should_and_nothing_else_is_written(broken, progress, terminal, bar):
    pytest.importorskip("tqdm")
    paths = broken[0] * 4  # 12 files: more than a few
    if terminal:
        controller, terminal_end = pty.openpty()
        fcntl.ioctl(terminal_end, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        stderr = terminal_end
    else:
        stderr = subprocess.PIPE
    proc = subprocess.Popen([sys.executable, "-c", PROGRESS_CHILD, progress, *paths], env=child_env(),
                            stdout=subprocess.PIPE, stderr=stderr)
    if terminal:
        os.close(terminal_end)
        chunks = []
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the child closed its end
                break
            if not chunk:
                break
            chunks.append(chunk)
        os.close(controller)
        err = b"".join(chunks).decode()
        out = proc.stdout.read().decode()
    else:
        out, err = (data.decode() for data in proc.communicate())
    assert proc.wait(timeout=60) == 0, err
    assert out == ""
    if bar:
        assert "12/12 [" in err
    else:
        assert err == ""


# ---------------------------------------------------------------- Dask


@pytest.fixture(scope="module")
def dask_cluster(tmp_path_factory):
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("dask.dataframe")
    # Every server of the cluster on the loopback interface, its dashboards too (":0" would
    # listen on every interface).
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0", worker_dashboard_address="127.0.0.1:0",
                                  local_directory=str(tmp_path_factory.mktemp("dask"))) as cluster:
        with distributed.Client(cluster) as client:
            yield client


# Dask's processes end with objects of their own still alive, which LeakSanitizer reports from
# every process of the cluster.
@pytest.mark.skipif(bool(os.environ.get("QUOREL_SANITIZED")),
                    reason="Dask's own objects left at exit are reported by LeakSanitizer")
def test_a_dask_cluster_gives_the_same_frame(sweep, broken, dask_cluster):
    import tolvane.dask

    columns = ["SPEED", 11]
    lazy = tolvane.dask.read_many(sweep, 12, columns=columns)
    eager = tolvane.read_many(sweep, 12, columns=columns)
    assert lazy.npartitions == len(sweep)
    assert lazy.dtypes.equals(eager.dtypes)  # known before any block is read
    computed = lazy.compute()
    assert computed.index.tolist() == [i for path in sweep for i in range(len(tolvane.read(path, 12)))]
    pd.testing.assert_frame_equal(computed.reset_index(drop=True), eager)
    assert_frame_is(computed.reset_index(drop=True), sweep, columns)
    good, bad, other, renamed, missing = broken
    # Only the first file is read before the frame is computed.
    lazy = tolvane.dask.read_many([good[0], missing, bad, renamed])
    with pytest.raises(FileNotFoundError):
        lazy.partitions[1].compute()
    with pytest.raises(tolvane.FormatError, match=r"bad\.plt:18: block 1"):
        lazy.partitions[2].compute()
    with pytest.raises(ValueError, match="parameter 4 is 'VOLTS'"):
        lazy.partitions[3].compute()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        skipping = tolvane.dask.read_many([missing, good[0], bad, good[1]], on_error="skip").compute()
    assert_frame_is(skipping.reset_index(drop=True), [good[0], good[1]],
                    categories=[missing, good[0], bad, good[1]])


@pytest.mark.skipif(bool(os.environ.get("QUOREL_SANITIZED")),
                    reason="Dask's own objects left at exit are reported by LeakSanitizer")
def test_a_dask_cluster_reads_a_sweep_from_object_storage(sweep, dask_cluster, s3_server):
    """Each task opens its own file on its worker process, from an S3 API (moto's, on
    127.0.0.1), with the storage_options given: the frame of read_many, the URLs as paths."""
    import gzip

    import s3fs
    import tolvane.dask

    s3 = s3fs.S3FileSystem(**s3_server)
    urls = [f"s3://sweeps/dask/run{index:02d}.plt.gz" for index in range(len(sweep))]
    for url, path in zip(urls, sweep):
        s3.pipe(url, gzip.compress(pathlib.Path(path).read_bytes()))
    s3.invalidate_cache()
    lazy = tolvane.dask.read_many("s3://sweeps/dask/*.plt.gz", 12, storage_options=s3_server)
    assert lazy.npartitions == len(sweep)
    computed = lazy.compute().reset_index(drop=True)
    assert list(computed["path"].cat.categories) == urls
    eager = tolvane.read_many(sweep, 12)
    pd.testing.assert_frame_equal(computed.drop(columns="path"), eager.drop(columns="path"))
    assert (computed["path"].cat.codes == eager["path"].cat.codes).all()


@pytest.mark.skipif(bool(os.environ.get("QUOREL_SANITIZED")),
                    reason="Dask's own objects left at exit are reported by LeakSanitizer")
def test_one_file_in_partitions_and_lazy_datasets_on_a_dask_cluster(sweep, broken, tmp_path, dask_cluster):
    # Tasks that read their own blocks on other processes: tolvane.dask.read's partitions,
    # the tolvane engine's chunks, and a sweep of datasets.
    xr = pytest.importorskip("xarray")
    import tolvane.dask
    from tolvane._xarray_backend import TolvaneBackendEntrypoint

    path = max(sweep, key=os.path.getsize)
    frame = tolvane.dask.read(path, blocks_per_partition=7)
    assert frame.npartitions > 2 and frame.known_divisions
    bits = lambda f: (f.to_numpy().view(np.uint32).tolist(), f.index.to_numpy().view(np.uint32).tolist())
    assert bits(frame.compute()) == bits(tolvane.read(path).to_pandas())
    files = [p for p in sweep if "steps40" in p][:2]  # times unique in each, so they align
    runs = xr.open_mfdataset(files, engine=TolvaneBackendEntrypoint, combine="nested", concat_dim="run",
                             chunks={"TIME": 16}, n_digits=12)
    assert runs["SPEED"].chunks is not None
    loaded = runs.compute()
    expected = xr.concat([tolvane.read(p, 12).to_xarray() for p in files], dim="run", combine_attrs="override")
    assert loaded["SPEED"].values.view(np.uint32).tolist() == expected["SPEED"].values.view(np.uint32).tolist()
    # A cut file's complete blocks, read on a worker.
    good = broken[0][0]
    cut = tmp_path / "cut.plt"
    cut.write_bytes(pathlib.Path(good).read_bytes()[:-20])
    assert len(tolvane.dask.read_many([good, str(cut)], incomplete="keep").compute()) == 3


def test_read_many_lists_the_files_it_keeps_cut(broken, tmp_path):
    good, bad, *_ = broken
    data = pathlib.Path(good[0]).read_bytes()
    cut = tmp_path / "cut.plt"
    cut.write_bytes(data[:-20])
    with pytest.raises(tolvane.FormatError, match="the line is only"):
        tolvane.read_many([good[1], str(cut)])
    frame = tolvane.read_many([good[1], str(cut), good[2]], incomplete="keep")
    assert len(frame) == 2 + 1 + 2
    ((path, error),) = frame.attrs["incomplete"]
    assert path == str(cut) and isinstance(error, tolvane.FormatError) and error.block == 1
