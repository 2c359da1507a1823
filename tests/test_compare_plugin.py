"""tolvane's pytest plugin, in pytest runs of its own (pytester): a missing reference is written
and fails saying so, a result within tolerance passes, one outside fails with the table and an
HTML report, and --tolvane-regen rewrites the reference."""
import importlib.metadata
import os
import pathlib
import re
import subprocess
import sys

import pytest

from conftest import ROOT, child_env

pytest_plugins = ["pytester"]
tolvane = pytest.importorskip("tolvane")  # built for CPython 3.10 and newer
pytest.importorskip("numpy")

TEST = """
import numpy as np

def test_step(tolvane_regression):
    t = np.linspace(0, 1, 101)
    tolvane_regression.check({{"TIME": t, "SPEED": np.minimum(t * 10, 1) * {scale}, "ZERO": 0 * t}}, atol=1e-3)
"""


def plugin_args():
    """-p tolvane_pytest where the plugin is not installed (a build tree on PYTHONPATH); without
    hypothesis's plugin, whose summary at the end of each run takes seconds."""
    names = {entry.name for entry in importlib.metadata.entry_points(group="pytest11")}
    quiet = ["-p", "no:hypothesispytest", "-p", "no:cacheprovider"]
    return quiet if "tolvane" in names else ["-p", "tolvane_pytest", *quiet]


def test_the_fixture_writes_checks_fails_and_regenerates(pytester, monkeypatch, request):
    # In pytester's process (as a fresh session: its own options and plugins), but for the run
    # without tolvane, which needs a process of its own.
    # The runs start in pytester's folder: a build tree on PYTHONPATH must be found from there.
    start = request.config.invocation_params.dir
    paths = [str(start / path) for path in os.environ.get("PYTHONPATH", "").split(os.pathsep) if path]
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(paths))
    pytester.makepyfile(test_run=TEST.format(scale=1.0))
    reference = pytester.path / "test_run" / "test_step.plt.gz"
    first = pytester.runpytest_inprocess(*plugin_args())
    first.assert_outcomes(failed=1)
    first.stdout.fnmatch_lines(["*test_step.plt.gz was missing: written from this result*"])
    assert reference.read_bytes()[:2] == b"\x1f\x8b"  # gzip
    stored = tolvane.read(reference)
    assert stored.names == ("TIME", "SPEED", "ZERO") and stored.n_digits == 15
    pytester.runpytest_inprocess(*plugin_args()).assert_outcomes(passed=1)

    pytester.makepyfile(test_run=TEST.format(scale=1.01))
    failing = pytester.runpytest_inprocess(*plugin_args())
    failing.assert_outcomes(failed=1)
    text = failing.stdout.str()
    assert re.search(r"FAILED, 1 of 2 outside tolerance", text)
    assert re.search(r"\nSPEED +\S+ +\S+", text) and "ZERO  " not in text
    report = pathlib.Path(re.search(r"HTML report: (\S+)", text)[1])
    assert report.is_file() and "<svg" in report.read_text()

    pytester.runpytest_inprocess(*plugin_args(), "--tolvane-regen").assert_outcomes(passed=1)
    assert tolvane.read(reference)["SPEED"][-1] == pytest.approx(1.01)
    pytester.runpytest_inprocess(*plugin_args()).assert_outcomes(passed=1)

    # As on CPython 3.9, where quorel is installed without tolvane: the fixture's test skips.
    pytester.makeconftest("import sys\nsys.modules['tolvane'] = None  # import tolvane fails\n")
    alone = pytester.runpytest_subprocess(*plugin_args(), "-rs")
    alone.assert_outcomes(skipped=1)
    alone.stdout.fnmatch_lines(["*tolvane_regression needs tolvane*3.10 and newer*"])


def test_the_plugin_is_declared_and_imports_nothing_heavy():
    # Loaded by every pytest run wherever quorel is installed: it must not import tolvane (nor
    # numpy) before a test asks for the fixture.
    child = subprocess.run([sys.executable, "-c", "import sys, tolvane_pytest; "
                            "print(sorted(m for m in ('tolvane', 'numpy', 'quorel') if m in sys.modules))"],
                           capture_output=True, text=True, env=child_env(), timeout=60)
    assert (child.returncode, child.stdout, child.stderr) == (0, "[]\n", "")
    if not (ROOT / "pyproject.toml").is_file():
        pytest.skip("the sources are not beside the tests (a wheel's check): the declaration is "
                    "checked in the wheel itself")
    text = (ROOT / "pyproject.toml").read_text()
    assert re.search(r'\[project\.entry-points\.pytest11\]\ntolvane = "tolvane_pytest"\n', text)
    assert re.search(r"install\(FILES python/tolvane_pytest\.py DESTINATION \.\)",
                     (ROOT / "CMakeLists.txt").read_text())
