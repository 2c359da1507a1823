"""tolvane.compare and compare_many: the band against pyfunnel's (the tube with time
tolerances) and against numpy (point by point), the alignment of grids and events, NaN and inf,
the per-signal tolerances, missing and extra signals and files, and the reports read back."""
import importlib.util
import json
import math
import os
import xml.etree.ElementTree as ET
import zlib

import pytest

tolvane = pytest.importorskip("tolvane")  # built for CPython 3.10 and newer
np = pytest.importorskip("numpy")
# The tests that look at a comparison through its tables (pandas is absent where the wheels are
# checked under emulation).
needs_pandas = pytest.mark.skipif(importlib.util.find_spec("pandas") is None, reason="pandas is not installed")


def plot_of(tmp_path, name, columns, width=15):
    """The Plot of a file written from these columns (the time first), so that the values are
    those of a file, as read."""
    path = tmp_path / name
    tolvane.write(path, {key: np.asarray(value, dtype=np.float64) for key, value in columns.items()}, width)
    return tolvane.read(path)


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


# ------------------------------------------------------------ the tube against pyfunnel

def funnel(rx, ry, tx, ty, tmp_path, **tolerances):
    """pyfunnel's band at the test's times and its errors there."""
    import contextlib
    import io

    if os.environ.get("QUOREL_SANITIZED"):
        pytest.skip("pyfunnel's C library leaves its buffers unfreed, which LeakSanitizer reports")
    pyfunnel = pytest.importorskip("pyfunnel")
    out = tmp_path / "funnel"
    with contextlib.redirect_stdout(io.StringIO()):
        pyfunnel.compareAndReport(list(rx), list(ry), list(tx), list(ty), outputDirectory=str(out), **tolerances)
    table = {name: np.loadtxt(out / f"{name}.csv", delimiter=",", skiprows=1, ndmin=2)
             for name in ("errors", "lowerBound", "upperBound")}
    lower = np.interp(tx, table["lowerBound"][:, 0], table["lowerBound"][:, 1])
    upper = np.interp(tx, table["upperBound"][:, 0], table["upperBound"][:, 1])
    return lower, upper, table["errors"][:, 1]


def signal(kind, t, rng):
    if kind == "smooth":
        return 3 * np.sin(t) + 0.5 * t
    if kind == "noisy":
        return np.sin(t) + rng.normal(0, 0.3, len(t))
    return np.where(t < 4.2, 1.0, -2.0) + np.where(t > 7.3, 5.0, 0.0) + 0.1 * np.sin(3 * t)  # steps


TUBES = [dict(atol=0.05, time_atol=0.02), dict(atol=0.01, range_rtol=0.02, time_atol=0.3),
         dict(atol=0.02, rtol=0.03, time_rtol=0.01)]


# Every kind of signal on both grids, each tolerance of the three sets on both grids too.
@needs_pandas
@pytest.mark.parametrize("kind, grids, tolerances", [
    (kind, grids, TUBES[(i + (grids == "different")) % 3])
    for i, kind in enumerate(["smooth", "noisy", "steps", "events", "smooth", "events"])
    for grids in ("same", "different")
])
def test_the_tube_agrees_with_pyfunnel(tmp_path, kind, grids, tolerances):
    rng = np.random.default_rng(zlib.crc32(f"{kind} {grids} {sorted(tolerances)}".encode()))
    rt = np.sort(rng.uniform(0, 10, 300))
    rt[0], rt[-1] = 0.0, 10.0
    if kind == "events":  # the reference jumps twice, each a repeated time
        rt = np.sort(np.concatenate([rt, [rt[100], rt[200]]]))
    ry = signal("steps" if kind == "events" else kind, rt, rng)
    if kind == "events":
        ry[101:] += 2.0
        ry[202:] -= 4.0
    at = rt.copy() if grids == "same" else np.concatenate([[0.0], np.sort(rng.uniform(0, 10, 400)), [10.0]])
    ay = np.interp(at, rt, ry) + rng.normal(0, 0.05, len(at))
    reference = plot_of(tmp_path, "r.plt", {"TIME": rt, "Y": ry})
    actual = plot_of(tmp_path, "a.plt", {"TIME": at, "Y": ay})
    result = tolvane.compare(reference, actual, **{"rtol": 0.0, "range_rtol": 0.0, **tolerances})
    band = result.bands("Y")
    span = float(reference.time[-1]) - float(reference.time[0])
    names = {"atol": "atoly", "rtol": "ltoly", "range_rtol": "rtoly", "time_atol": "atolx"}
    given = {names[key]: value for key, value in tolerances.items() if key in names}
    if "time_rtol" in tolerances:  # pyfunnel's rtolx scales the range of the x values, as here
        given["rtolx"] = tolerances["time_rtol"]
    lower, upper, errors = funnel(np.float64(reference.time), np.float64(reference["Y"]), np.float64(actual.time),
                                  np.float64(actual["Y"]), tmp_path, **given)
    assert span > 0
    scale = 1e-9 * max(1.0, np.abs(ry).max())
    np.testing.assert_allclose(band["lower"], lower, rtol=0, atol=scale)
    np.testing.assert_allclose(band["upper"], upper, rtol=0, atol=scale)
    np.testing.assert_allclose(band["error"], errors, rtol=0, atol=scale)
    row = result.to_pandas().iloc[0]
    assert row["outside"] == pytest.approx((errors > scale).mean())
    assert row["ok"] == (not (errors > scale).any())


# ------------------------------------------------------------ point by point, against numpy

def numpy_band(rt, ry, at, atol, rtol, range_rtol, previous):
    y = np.float64(ry)
    half = np.maximum(np.maximum(atol, rtol * np.abs(y)), range_rtol * (y.max() - y.min()))
    if previous:
        i = np.searchsorted(rt, at, "right") - 1
        return (y - half)[i], (y + half)[i]
    return np.interp(at, rt, y - half), np.interp(at, rt, y + half)


@needs_pandas
@pytest.mark.parametrize("previous", [False, True])
@pytest.mark.parametrize("grids", ["same", "different", "finer"])
def test_point_by_point_is_numpys_band_to_the_bit(tmp_path, previous, grids):
    rng = np.random.default_rng(7)
    rt = np.linspace(0, 5, 501)
    at = {"same": rt, "different": np.sort(np.concatenate([[0, 5], rng.uniform(0, 5, 300)])),
          "finer": np.linspace(0, 5, 2001)}[grids]
    ry = np.cumsum(rng.normal(0, 1, len(rt)))
    reference = plot_of(tmp_path, "r.plt", {"TIME": rt, "Y": ry})
    actual = plot_of(tmp_path, "a.plt", {"TIME": at, "Y": np.interp(at, rt, ry) + rng.normal(0, 0.02, len(at))})
    tolerances = dict(atol=0.01, rtol=0.002, range_rtol=0.0002)
    result = tolvane.compare(reference, actual, interpolation="previous" if previous else "linear", **tolerances)
    band = result.bands("Y")
    lower, upper = numpy_band(np.float64(reference.time), reference["Y"], np.float64(actual.time),
                              previous=previous, **tolerances)
    assert (bits(band["lower"]) == bits(lower)).all() and (bits(band["upper"]) == bits(upper)).all()
    y = np.float64(actual["Y"])
    error = np.maximum(0, y - upper) - np.minimum(0, y - lower)
    assert (bits(band["error"]) == bits(error)).all()
    row = result.to_pandas().iloc[0]
    outside = error > 0
    assert row["outside"] == outside.mean() and outside.any() and not outside.all()
    assert row["max_error"] == error.max()
    assert row["first_outside"] == np.float64(actual.time)[np.argmax(outside)]
    assert row["worst_time"] == np.float64(actual.time)[np.argmax(error)]


# ------------------------------------------------------------ events, ranges, values

@needs_pandas
def test_an_event_is_a_jump_that_no_interpolation_crosses(tmp_path):
    # The reference jumps from 0 to 10 at t = 2 (two blocks at that time).
    reference = plot_of(tmp_path, "r.plt", {"TIME": [0, 1, 2, 2, 3, 4], "Y": [0, 0, 0, 10, 10, 10]})
    tol = dict(atol=0.1, rtol=0.0, range_rtol=0.0)
    # The same event: each side matched with its own, and halfway between points no ramp.
    same = plot_of(tmp_path, "same.plt", {"TIME": [0, 1.5, 2, 2, 2.5, 4], "Y": [0, 0, 0, 10, 10, 10]})
    assert tolvane.compare(reference, same, **tol).ok
    # The sides swapped: both points of the event fail.
    swapped = plot_of(tmp_path, "swapped.plt", {"TIME": [0, 2, 2, 4], "Y": [0, 10, 0, 10]})
    band = tolvane.compare(reference, swapped, **tol).bands("Y")
    assert band["error"].tolist() == pytest.approx([0, 9.9, 9.9, 0], abs=1e-12)
    # A run without the event at that time: its one point may lie on either side.
    for value in (0.0, 10.0):
        single = plot_of(tmp_path, "single.plt", {"TIME": [0, 2, 4], "Y": [0, value, 10]})
        assert tolvane.compare(reference, single, **tol).ok
    # An event of three blocks against one of two: the first and last sides, and the middle
    # block of three against the whole jump.
    three = plot_of(tmp_path, "three.plt", {"TIME": [0, 2, 2, 2, 4], "Y": [0, 0, 5, 10, 10]})
    assert tolvane.compare(reference, three, **tol).ok
    late = plot_of(tmp_path, "late.plt", {"TIME": [0, 2.01, 4], "Y": [0, 0, 10]})
    assert not tolvane.compare(reference, late, **tol).ok
    assert tolvane.compare(reference, late, time_atol=0.02, **tol).ok


@needs_pandas
@pytest.mark.parametrize("time_range, actual_time, ok, checked", [
    ("reference", [0, 1, 2, 3, 4], True, 5),
    ("reference", [0, 1, 2, 3], False, 4),       # ends before the reference
    ("reference", [0.5, 1, 2, 3, 4], False, 5),  # starts after it
    ("common", [0, 1, 2, 3], True, 4),
    ("common", [-2, -1, 0, 1, 2, 3, 4, 5, 6], True, 5),  # points outside the reference: not checked
    ("common", [5, 6], False, 0),                # no common range
])
def test_the_time_range_compared(tmp_path, time_range, actual_time, ok, checked):
    reference = plot_of(tmp_path, "r.plt", {"TIME": [0, 1, 2, 3, 4], "Y": [0, 1, 2, 3, 4]})
    actual = plot_of(tmp_path, "a.plt", {"TIME": actual_time, "Y": actual_time})
    result = tolvane.compare(reference, actual, time_range=time_range)
    assert result.ok is ok
    assert int(result.bands("Y")["error"].notna().sum()) == checked
    if not ok:
        assert result.to_pandas()["message"][0]


def test_a_time_tolerance_covers_the_ends(tmp_path):
    reference = plot_of(tmp_path, "r.plt", {"TIME": [0, 1, 2, 3, 4], "Y": [1] * 5})
    actual = plot_of(tmp_path, "a.plt", {"TIME": [0.125, 2, 3.875], "Y": [1] * 3})
    assert not tolvane.compare(reference, actual, time_atol=0.0625).ok
    assert tolvane.compare(reference, actual, time_atol=0.125).ok
    assert tolvane.compare(reference, actual, time_rtol=0.03125).ok  # of the range 4: 0.125


@needs_pandas
@pytest.mark.parametrize("reference_value, actual_value, error", [
    (math.nan, math.nan, 0.0), (math.nan, 1.0, math.inf), (1.0, math.nan, math.inf),
    (math.inf, math.inf, 0.0), (-math.inf, -math.inf, 0.0), (math.inf, -math.inf, math.inf),
    (math.inf, 1.0, math.inf), (1.0, math.inf, math.inf), (1.0, 1.0005, 0.0),
])
def test_nan_and_inf(tmp_path, reference_value, actual_value, error):
    # The middle point carries the case; its neighbours stay finite and equal, and inf or NaN
    # in the reference does not widen the band of the others (the range is of finite values).
    reference = plot_of(tmp_path, "r.plt", {"TIME": [0, 1, 2], "Y": [1, reference_value, 2]})
    actual = plot_of(tmp_path, "a.plt", {"TIME": [0, 1, 2], "Y": [1, actual_value, 2.001]})
    band = tolvane.compare(reference, actual).bands("Y")
    assert band["error"].tolist() == [0.0, error, 0.0]  # 2.001 is within 0.1 % of 2


def test_defaults_pass_a_signal_zero_for_most_of_a_run(tmp_path):
    t = np.linspace(0, 10, 1001)
    y = np.where(t > 9, 100.0, 0.0)
    reference = plot_of(tmp_path, "r.plt", {"TIME": t, "Y": y})
    actual = plot_of(tmp_path, "a.plt", {"TIME": t, "Y": y + np.where(t > 9, 0.05, 0.05)})
    assert tolvane.compare(reference, actual).ok  # 0.05 within 0.1 % of the range 100
    assert not tolvane.compare(reference, actual, range_rtol=0.0).ok  # 0.1 % of 0 is 0
    assert not tolvane.compare(reference, actual, range_rtol=0.0004).ok


@needs_pandas
def test_signals_tolerances_missing_and_extra(tmp_path):
    t = [0, 1, 2]
    reference = plot_of(tmp_path, "r.plt", {"TIME": t, "SPEED": [1, 2, 3], "TORQUE_A": [1, 1, 1],
                                            "TORQUE_B": [1, 1, 1], "GONE": [0, 0, 0]})
    actual = plot_of(tmp_path, "a.plt", {"TIME": t, "SPEED": [1, 2, 3.5], "TORQUE_A": [1.2, 1, 1],
                                         "TORQUE_B": [1, 1, 1.3], "NEW": [0, 0, 0]})
    result = tolvane.compare(reference, actual)
    frame = result.to_pandas()
    assert frame["signal"].tolist() == ["SPEED", "TORQUE_A", "TORQUE_B", "GONE"]
    assert frame["ok"].tolist() == [False, False, False, False]
    assert frame["missing"].tolist() == [False, False, False, True]
    assert result.extra == ["NEW"]
    tolerances = {"TORQUE*": {"atol": 0.25}, "TORQUE_B": {"atol": 0.35}, "SP?ED": {"rtol": 0.2}}
    result = tolvane.compare(reference, actual, tolerances=tolerances, signals=["SPEED", "TORQUE_*"])
    assert result.ok and result.to_pandas()["signal"].tolist() == ["SPEED", "TORQUE_A", "TORQUE_B"]
    # The name's own entry over the pattern's: TORQUE_B fails with the pattern's atol alone.
    tolerances = {"TORQUE_B": {"atol": 0.35}, "TORQUE*": {"atol": 0.25}}
    assert tolvane.compare(reference, actual, tolerances=tolerances, signals=["TORQUE_*"]).ok
    tolerances = {"TORQUE*": {"atol": 0.25}}
    assert not tolvane.compare(reference, actual, tolerances=tolerances, signals=["TORQUE_B"]).ok
    with pytest.raises(KeyError, match="NOPE"):
        tolvane.compare(reference, actual, signals=["NOPE"])
    with pytest.raises(ValueError, match="tolerances"):
        tolvane.compare(reference, actual, tolerances={"SPEED": {"atoll": 1}})
    with pytest.raises(ValueError, match="rtol"):
        tolvane.compare(reference, actual, rtol=-1)
    with pytest.raises(ValueError, match="interpolation"):
        tolvane.compare(reference, actual, interpolation="cubic")
    with pytest.raises(KeyError):
        result.bands("GONE")


# ------------------------------------------------------------ the reports

@pytest.fixture
def failing(tmp_path):
    t = np.linspace(0, 1, 11)
    reference = plot_of(tmp_path, "r.plt", {"TIME": t, "A": t, "B<&>": t, "GONE": t})
    actual = plot_of(tmp_path, "a.plt", {"TIME": t, "A": t, "B<&>": t + 0.5, "NEW": t})
    return tolvane.compare(reference, actual)


def test_the_reports_read_back(failing, tmp_path):
    pytest.importorskip("pandas")
    frame = failing.to_pandas()
    report = json.loads(failing.to_json())
    assert report["ok"] is False and report["extra"] == ["NEW"]
    assert report["tolerances"]["rtol"] == 1e-3
    assert [row["signal"] for row in report["signals"]] == frame["signal"].tolist()
    assert report["signals"][2]["max_error"] is None  # NaN, for the missing signal
    assert report["signals"][1]["max_error"] == frame["max_error"][1]
    failing.to_junit(tmp_path / "report.xml")
    suite = ET.parse(tmp_path / "report.xml").getroot().find("testsuite")
    cases = suite.findall("testcase")
    assert [case.get("name") for case in cases] == ["A", "B<&>", "GONE"]
    assert suite.get("tests") == "3" and suite.get("failures") == "2"
    assert [case.find("failure") is not None for case in cases] == [False, True, True]
    assert "missing" in cases[2].find("failure").get("message")
    text = str(failing)
    assert "FAILED, 2 of 3" in text and "B<&>" in text and "NEW" in text
    assert "A " not in text.splitlines()[2:]


def test_the_html_is_offline_and_bounded(tmp_path):
    t = np.arange(1_000_000) * 1e-3
    y = np.sin(t)
    reference = plot_of(tmp_path, "r.plt", {"TIME": t, "Y": y, "Z": y}, 12)
    actual = plot_of(tmp_path, "a.plt", {"TIME": t, "Y": y + (t > 500) * 0.1, "Z": y}, 12)
    result = tolvane.compare(reference, actual)
    for drawn_all in (False, True):
        path = tmp_path / f"report{drawn_all}.html"
        result.to_html(path, all=drawn_all)
        text = path.read_text()
        assert path.stat().st_size < 200_000
        assert text.count("<svg") == 1 + drawn_all
        lowered = text.lower()
        assert "http:" not in lowered.replace('xmlns="http://www.w3.org/2000/svg"', "")
        assert "https:" not in lowered and "src=" not in lowered and "url(" not in lowered
        assert "<script" not in lowered and "<link" not in lowered


def test_the_html_keeps_each_bins_extremes():
    from tolvane._compare_report import decimated

    time = np.arange(10.0)
    values = np.array([0, 5, 1, 1, 1, 1, -3, 1, 1, 9], dtype=np.float32)
    zero = np.zeros(10)
    error = zero.copy()
    error[9] = 2.0
    points = decimated(time, values, zero - 1, zero + 1, error, 0, 10, 3)
    # Bins [0, 3), [3, 6), [6, 10): each bin's first time and its extremes.
    assert points["time"].tolist() == [0, 3, 6]
    assert points["low"].tolist() == [0, 1, -3] and points["high"].tolist() == [5, 1, 9]
    assert points["error"].tolist() == [0, 0, 2]


# ------------------------------------------------------------ sweeps

@pytest.fixture
def sweeps(tmp_path):
    """Two folders of runs: a.plt passes, sub/b.plt fails, c.plt is missing from the actual's,
    d.plt found in the actual's only, e.plt unreadable there."""
    t = np.linspace(0, 1, 11)
    ref, act = tmp_path / "ref", tmp_path / "act"
    for folder in (ref, act, ref / "sub", act / "sub"):
        folder.mkdir(exist_ok=True)
    for folder, shift in ((ref, 0.0), (act, 0.5)):
        tolvane.write(folder / "a.plt", {"TIME": t, "Y": t}, 12)
        tolvane.write(folder / "sub" / "b.plt", {"TIME": t, "Y": t + shift}, 12)
        tolvane.write(folder / "e.plt", {"TIME": t, "Y": t}, 12)
    tolvane.write(ref / "c.plt", {"TIME": t, "Y": t}, 12)
    tolvane.write(act / "d.plt", {"TIME": t, "Y": t}, 12)
    (act / "e.plt").write_text("not a plot file\n")
    return ref, act


def check_sweep(result):
    frame = result.to_pandas()
    assert frame.columns[0] == "path"
    assert frame["path"].tolist() == ["a.plt", "c.plt", "e.plt", "sub/b.plt"]
    assert frame["ok"].tolist() == [True, False, False, False]
    assert frame["missing"].tolist() == [False, True, False, False]
    assert "FormatError" in frame["message"][2]
    assert result.missing == ["c.plt"] and result.extra == ["d.plt"]
    assert not result.ok


@pytest.mark.parametrize("threads", [1, 3])
def test_compare_many_pairs_the_files_of_two_folders(sweeps, tmp_path, threads):
    pytest.importorskip("pandas")
    ref, act = sweeps
    result = tolvane.compare_many(ref, act, threads=threads)
    check_sweep(result)
    result.to_junit(tmp_path / "sweep.xml")
    cases = ET.parse(tmp_path / "sweep.xml").getroot().find("testsuite").findall("testcase")
    assert [(case.get("classname"), case.find("failure") is None) for case in cases] == [
        ("a.plt", True), ("c.plt", False), ("e.plt", False), ("sub/b.plt", False)]
    result.to_html(tmp_path / "sweep.html")
    assert (tmp_path / "sweep.html").read_text().count("<svg") == 1  # sub/b.plt's Y
    assert json.loads(result.to_json())["missing"] == ["c.plt"]
    with pytest.raises(FileNotFoundError):
        tolvane.compare_many(tmp_path / "nowhere", act)


def test_compare_many_over_urls(sweeps):
    pytest.importorskip("pandas")
    fsspec = pytest.importorskip("fsspec")
    ref, act = sweeps
    memory = fsspec.filesystem("memory")
    for folder, name in ((ref, "ref"), (act, "act")):
        for path in folder.rglob("*"):
            if path.is_file():
                memory.pipe(f"/sweeps/{name}/{path.relative_to(folder).as_posix()}", path.read_bytes())
    try:
        check_sweep(tolvane.compare_many("memory://sweeps/ref", "memory://sweeps/act", threads=2))
    finally:
        memory.rm("/sweeps", recursive=True)


@pytest.mark.skipif(bool(os.environ.get("QUOREL_SANITIZED")),
                    reason="Dask's own objects left at exit are reported by LeakSanitizer")
def test_compare_many_on_a_dask_cluster(sweeps, dask_cluster):
    import tolvane.dask

    ref, act = sweeps
    result = tolvane.dask.compare_many(str(ref), str(act))
    check_sweep(result)
    assert result.comparisons == {}  # the Plots stayed on the workers
    assert result.to_pandas().equals(tolvane.compare_many(ref, act).to_pandas())


@pytest.fixture(scope="module")
def dask_cluster(tmp_path_factory):
    from test_read_many import dask_cluster as cluster

    yield from cluster.__wrapped__(tmp_path_factory)


# ------------------------------------------------------------ the command

@pytest.mark.parametrize("args, status, out, err", [
    (["{ref}/a.plt", "{act}/a.plt"], 0, r".*: ok, 0 of 1 outside tolerance\n", ""),
    (["{ref}/sub/b.plt", "{act}/sub/b.plt"], 1, r".*FAILED, 1 of 1.*\nsignal .*\nY .*points outside.*", ""),
    (["{ref}/sub/b.plt", "{act}/sub/b.plt", "--atol", "0.6"], 0, r".*: ok.*", ""),
    (["{ref}/sub/b.plt", "{act}/sub/b.plt", "--signal", "?:atol=0.6"], 0, r".*: ok.*", ""),
    (["{ref}/sub/b.plt", "{act}/sub/b.plt", "--time-atol", "0.1"], 1, r".*FAILED.*", ""),
    (["{ref}", "{act}"], 1, r".*FAILED, 3 of 4.*c\.plt .*missing.*\ne\.plt .*FormatError.*sub/b\.plt .*", ""),
    (["{ref}/a.plt", "{act}/nope.plt"], 2, "", r".*nope\.plt: No such file or directory\n"),
    (["{ref}/a.plt", "{act}/e.plt"], 2, "", r".*e\.plt:\d+: .*\n"),
    (["{ref}", "{act}/a.plt"], 2, "", r".* is a folder and .* is not: give two files or two folders\n"),
    (["{ref}/a.plt", "{act}/a.plt", "--atol", "-1"], 2, "", r"usage: .*'-1' is not a tolerance.*"),
    (["{ref}/a.plt", "{act}/a.plt", "--signal", "Y:tol=1"], 2, "", r"usage: .*'tol=1' in 'Y:tol=1' is not KEY=X.*"),
    (["{ref}/a.plt"], 2, "", r"usage: .*required: ACT\n"),
])
def test_the_command_exits_as_csv_compare_does(sweeps, tmp_path, args, status, out, err):
    import re
    import subprocess
    import sys

    from conftest import child_env

    ref, act = sweeps
    values = {"ref": str(ref), "act": str(act)}
    proc = subprocess.run([sys.executable, "-m", "tolvane", "compare", *(a.format(**values) for a in args)],
                          capture_output=True, text=True, env=child_env(), timeout=120)
    assert proc.returncode == status, proc
    assert re.fullmatch(out, proc.stdout, re.S), proc.stdout
    assert re.fullmatch(err, proc.stderr, re.S), proc.stderr


def test_the_command_writes_its_reports(sweeps, tmp_path):
    from tolvane._cli import main

    ref, act = sweeps
    outs = {kind: tmp_path / f"report.{kind}" for kind in ("json", "junit", "html")}
    options = [arg for kind, path in outs.items() for arg in (f"--{kind}", str(path))]
    assert main(["compare", str(ref / "sub" / "b.plt"), str(act / "sub" / "b.plt"), *options]) == 1
    assert json.loads(outs["json"].read_text())["signals"][0]["signal"] == "Y"
    assert ET.parse(outs["junit"]).getroot().find("testsuite").get("failures") == "1"
    assert outs["html"].read_text().count("<svg") == 1
