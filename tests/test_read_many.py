"""examples/read_many.py: the CSV of per-signal summaries must hold, for every file that reads,
exactly the first, last, smallest and largest value (NaN skipped) of what a direct read returns,
whether the files are read in the script's process, in a pool of processes or on a Dask cluster;
files that fail are named with quorel's message; progress shows with and without tqdm."""
import csv
import io
import math
import os
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorel
from conftest import child_env, plot_text, readme_text, run_example

WIDTH = 12
BROKEN = {"broken.plt": "Could not parse line: ParseFloatError { kind: Invalid }"}


def edge_values():
    """A NaN first (min() and max() would keep it), a column of NaN only, infinities, -0."""
    blocks = [["0.0", "nan", "inf", "nan"], ["1.0", "1.0", "-inf", "NaN"], ["2.0", "-2.0", "-0", "-nan"]]
    return plot_text(4, blocks, WIDTH, names=["TIME", "A", "B", "C"])


@pytest.fixture(scope="module")
def sweep(tmp_path_factory):
    """A folder of plot files: a small sweep from make_sweep.py and files at the edges."""
    folder = tmp_path_factory.mktemp("sweep")
    proc = run_example(folder, "make_sweep.py", folder, "--runs", 5, "--steps", 30)
    assert proc.returncode == 0, proc.stderr
    (folder / "edges.plt").write_text(edge_values())
    (folder / "names_only.plt").write_text(plot_text(3, [], WIDTH))
    (folder / "time_only.plt").write_text(plot_text(1, [["1.5"], ["2.5"]], WIDTH))
    (folder / "broken.plt").write_text("T 2\nA\nB\nH\n     1.0D+00         2.0\n")
    (folder / "notes.txt").write_text("not a plot file, and not *.plt\n")
    return folder


def names_of(path):
    lines = path.read_text().splitlines()
    return [line.split()[-1] for line in lines[1:int(lines[0].split()[-1]) + 1]]


def direct_rows(folder):
    """The rows the CSV must have, from direct reads of the *.plt files that read."""
    rows = []
    for path in sorted(folder.glob("*.plt")):
        if path.name in BROKEN:
            continue
        time, columns = quorel.rust_read_tolvane(str(path), WIDTH)
        for name, values in zip(names_of(path), [time, *columns]):
            numbers = sorted(v for v in values if not math.isnan(v))
            if not values:
                rows.append([path.name, name, None, None, None, None])
                continue
            low, high = (numbers[0], numbers[-1]) if numbers else (math.nan, math.nan)
            rows.append([path.name, name, values[0], values[-1], low, high])
    return rows


def csv_rows(text):
    table = list(csv.reader(io.StringIO(text)))
    assert table[0] == ["file", "signal", "first", "last", "min", "max"]
    return [row[:2] + [float(cell) if cell else None for cell in row[2:]] for row in table[1:]]


def same(a, b):
    return a == b or (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b))


def assert_summaries(got, want):
    assert [row[:2] for row in got] == [row[:2] for row in want]
    for g, w in zip(got, want):
        assert all(same(x, y) for x, y in zip(g[2:], w[2:])), (g, w)


def assert_failures_named(proc):
    assert proc.returncode == 1, proc.stderr
    for name, message in BROKEN.items():
        assert f"read_many.py: {name}: {message}\n" in proc.stderr


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_summaries_are_those_of_direct_reads(sweep, tmp_path, jobs):
    out = tmp_path / "summary.csv"
    proc = run_example(tmp_path, "read_many.py", sweep, WIDTH, "-j", jobs, "-o", out)
    assert_failures_named(proc)
    assert_summaries(csv_rows(out.read_text()), direct_rows(sweep))


@pytest.fixture(scope="module")
def dask_cluster(tmp_path_factory):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", worker_dashboard_address=":0",
                                  local_directory=str(tmp_path_factory.mktemp("dask"))) as cluster:
        yield cluster


# Dask's processes end with two float objects of their own still alive, which LeakSanitizer
# reports from every process of the cluster, quorel or not.
@pytest.mark.skipif(bool(os.environ.get("QUOREL_SANITIZED")),
                    reason="Dask's own objects left at exit are reported by LeakSanitizer")
def test_summaries_on_a_dask_cluster(sweep, tmp_path, dask_cluster):
    proc = run_example(tmp_path, "read_many.py", sweep, WIDTH, "--dask", dask_cluster.scheduler_address)
    assert_failures_named(proc)
    assert_summaries(csv_rows(proc.stdout), direct_rows(sweep))


def test_progress_with_tqdm(sweep, tmp_path):
    pytest.importorskip("tqdm")
    proc = run_example(tmp_path, "read_many.py", sweep, WIDTH, "-j", "1")
    files = len(list(sweep.glob("*.plt")))
    assert f"| {files}/{files} [" in proc.stderr


def test_progress_without_tqdm(sweep, tmp_path):
    hidden = tmp_path / "hidden"
    hidden.mkdir()
    (hidden / "tqdm.py").write_text("raise ImportError('tqdm is not installed here')\n")
    env = child_env()
    env["PYTHONPATH"] = os.pathsep.join([str(hidden), env["PYTHONPATH"]])
    proc = run_example(tmp_path, "read_many.py", sweep, WIDTH, "-j", "2", env=env)
    files = len(list(sweep.glob("*.plt")))
    # Not a terminal: one line at every tenth of the files, the last one with the total.
    assert proc.stderr.startswith("1/") and f"\n{files}/{files} files\n" in proc.stderr
    assert "it/s" not in proc.stderr and "file/s" not in proc.stderr


def test_the_readme_example(tmp_path):
    text = readme_text()
    assert "make_sweep.py /tmp/sweep --runs 100 --steps 10000" in text
    shown = re.search(r"```\n(file,signal,.+?)\.\.\.\n```", text, re.S)[1]
    proc = run_example(tmp_path, "make_sweep.py", tmp_path, "--runs", 1, "--steps", 10000)
    assert proc.returncode == 0, proc.stderr
    proc = run_example(tmp_path, "read_many.py", tmp_path, WIDTH, "-j", "1")
    assert proc.stdout.startswith(shown)


def test_a_linked_file_and_the_csv_in_the_folder(tmp_path):
    folder = tmp_path / "runs"
    folder.mkdir()
    target = tmp_path / "elsewhere.plt"
    target.write_text(plot_text(2, [["1", "2"]], WIDTH))
    (folder / "linked.plt").symlink_to(target)
    out = folder / "summary.csv"
    for _ in range(2):  # the second run finds the first one's CSV in the folder, and skips it
        proc = run_example(tmp_path, "read_many.py", folder, WIDTH, "-j", "1", "--glob", "*", "-o", out)
        assert proc.returncode == 0, proc.stderr
    assert csv_rows(out.read_text()) == [["linked.plt", "PARAM_0", 1.0, 1.0, 1.0, 1.0],
                                         ["linked.plt", "PARAM_1", 2.0, 2.0, 2.0, 2.0]]


@pytest.mark.parametrize("args", [["-j", "0"], ["--glob", "*.none"]])
def test_usage_errors(sweep, tmp_path, args):
    proc = run_example(tmp_path, "read_many.py", sweep, WIDTH, *args)
    assert proc.returncode == 2 and "usage:" in proc.stderr


binary32 = st.floats(width=32)


@st.composite
def plot_folders(draw):
    """1 to 3 files of random values, NaN and infinities included, 1 to 12 parameters."""
    files = {}
    for index in range(draw(st.integers(1, 3))):
        count = draw(st.integers(1, 12))
        blocks = draw(st.lists(st.lists(binary32, min_size=count, max_size=count), max_size=6))
        files[f"f{index}.plt"] = plot_text(count, [[f"{v:.5E}" for v in block] for block in blocks],
                                           WIDTH)
    return files


@settings(max_examples=10, deadline=None, derandomize=True,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(files=plot_folders())
def test_summaries_of_random_values(tmp_path, files):
    folder = tmp_path / "random"
    folder.mkdir(exist_ok=True)
    for old in folder.iterdir():
        old.unlink()
    for name, text in files.items():
        (folder / name).write_text(text)
    proc = run_example(tmp_path, "read_many.py", folder, WIDTH, "-j", "1")
    assert proc.returncode == 0, proc.stderr
    assert_summaries(csv_rows(proc.stdout), direct_rows(folder))
