"""tolvane's pytest plugin: the fixture ``tolvane_regression``, whose ``check(result)``
compares a simulation's result with a reference plot file stored beside the test.

    def test_step_response(tolvane_regression):
        tolvane_regression.check(simulate(), rtol=1e-3, time_atol=1e-4)

The reference is ``<the test module's folder>/<its name>/<the test's name>.plt.gz``. Where it is
missing, check() writes it and fails, saying so (check it in, then run again); with
``pytest --tolvane-regen`` it rewrites every reference it meets and passes. Otherwise the result
is compared with tolvane.compare and its tolerances; a failure shows the table of the failed
signals and the path of an HTML report of them.

A module of its own beside quorel, installed on every Python version and loaded by pytest in
every run where quorel is installed (its pytest11 entry point): it imports nothing but pytest
until the fixture is used. tolvane is built for CPython 3.10 and newer; on 3.9 a test that uses
the fixture is skipped, saying why.
"""

from __future__ import annotations

import os
import re
from typing import Any, Optional

import pytest

REGEN_OPTION = "--tolvane-regen"
# The references' width: 9 significant digits, every float32 value as it was.
REFERENCE_WIDTH = 15


def pytest_addoption(parser: Any) -> None:
    group = parser.getgroup("tolvane", "tolvane's reference plot files")
    group.addoption(REGEN_OPTION, action="store_true", default=False,
                    help="rewrite the reference plot files that tolvane_regression.check() meets, "
                         "instead of comparing with them")


def file_name(test_name: str) -> str:
    """A test's name as a file name: test_x[a-1] gives test_x_a-1."""
    return re.sub(r"[^\w.-]+", "_", test_name).strip("_") or "test"


class TolvaneRegression:
    """The fixture's object: check() compares a result with the test's reference file."""

    def __init__(self, request: Any) -> None:
        self._request = request
        self._checks = 0

    def reference_path(self, basename: Optional[str] = None) -> str:
        """Where the reference of this test (or of ``basename`` in its folder) is kept."""
        module = str(self._request.node.path)
        folder = os.path.join(os.path.dirname(module), os.path.splitext(os.path.basename(module))[0])
        return os.path.join(folder, file_name(basename or self._request.node.name) + ".plt.gz")

    def check(self, result: Any, *, basename: Optional[str] = None, **tolerances: Any) -> None:
        """Compares ``result`` (a tolvane.Plot, anything tolvane.write takes, or the path of a
        plot file) with the reference, with tolvane.compare's keywords (``atol``, ``rtol``,
        ``range_rtol``, ``time_atol``, ``time_rtol``, ``time_range``, ``interpolation``,
        ``signals``, ``tolerances``). ``basename`` names the reference where one test checks
        several results."""
        try:
            import tolvane
        except ImportError:
            pytest.skip("tolvane_regression needs tolvane, which quorel builds for CPython 3.10 and newer")
        self._checks += 1
        if basename is None and self._checks > 1:
            basename = f"{self._request.node.name}-{self._checks}"
        reference = self.reference_path(basename)
        tmp = self._request.getfixturevalue("tmp_path")
        actual = _as_plot(tolvane, result, os.path.join(str(tmp), "actual.plt"))
        if self._request.config.getoption(REGEN_OPTION) or not os.path.exists(reference):
            missing = not os.path.exists(reference)
            os.makedirs(os.path.dirname(reference), exist_ok=True)
            tolvane.write(reference, actual, REFERENCE_WIDTH)
            if missing:
                pytest.fail(f"{reference} was missing: written from this result; check it in, then run "
                            "the test again", pytrace=False)
            return
        comparison = tolvane.compare(reference, actual, **tolerances)
        if not comparison.ok:
            report = os.path.join(str(tmp), "tolvane-compare.html")
            comparison.to_html(report)
            pytest.fail(f"{comparison}\nHTML report: {report}", pytrace=False)


def _as_plot(tolvane: Any, result: Any, scratch: str) -> Any:
    """The result as a Plot of values as a plot file of the references' width holds them."""
    if isinstance(result, (str, bytes, os.PathLike)):
        return tolvane.read(result)
    if isinstance(result, tolvane.Plot):  # float32 values: the references' width holds each as it is
        return result
    tolvane.write(scratch, result, REFERENCE_WIDTH)
    return tolvane.read(scratch)


@pytest.fixture
def tolvane_regression(request: Any) -> TolvaneRegression:
    """Compares a result with the reference plot file of the test, stored beside it."""
    return TolvaneRegression(request)
