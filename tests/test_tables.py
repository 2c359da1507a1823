"""Plot.to_polars, to_arrow and to_xarray: the time first, every parameter's float32 values bit
for bit (NaN of either sign stays a value, never a null), names made unique, and a missing
library named by its extra."""

import os
import sys

import pytest

from conftest import plot_text, write_plot

tolvane = pytest.importorskip("tolvane")  # built for CPython 3.10 and newer
np = pytest.importorskip("numpy")

# A parameter named as the time, one named twice, and values whose bits a careless copy changes.
NAMES = ["T", "A", "A", "T", "B"]
BLOCKS = [["0", "nan", "-nan", "-0", "1e-45"],
          ["0.5", "-inf", "inf", "3.4028235E+38", "-1.1754942E-38"],
          ["1", "0.1", "16777217", "-nan", "nan"]]
UNIQUE = ["T", "A", "A.1", "T.1", "B"]
# Libraries that leave objects of their own alive at exit (tools/sanitize.sh's LeakSanitizer).
LEAKING = {"polars", "xarray"}


@pytest.fixture
def plot(tmp_path):
    path = write_plot(tmp_path, plot_text(5, BLOCKS, 16, names=[f" {i + 1} {name}" for i, name in enumerate(NAMES)]))
    return tolvane.read(path, 16)


def bits(array):
    array = np.asarray(array)
    assert array.dtype == np.float32
    return array.view(np.uint32).tolist()


def columns_of(kind, table):
    """(name, float32 array) of every column, in order."""
    if kind == "polars":
        return [(series.name, series.to_numpy()) for series in table.get_columns()]
    if kind == "arrow":
        return [(name, column.to_numpy()) for name, column in zip(table.column_names, table.columns)]
    time = next(iter(table.coords))
    return [(time, table[time].values)] + [(name, table[name].values) for name in table.data_vars]


@pytest.mark.parametrize("kind", ["polars", "arrow", "xarray"])
def test_a_table_holds_every_value_bit_for_bit(plot, kind):
    if kind in LEAKING and os.environ.get("QUOREL_SANITIZED"):
        pytest.skip(f"{kind} keeps objects of its own to the end, which LeakSanitizer reports")
    pytest.importorskip({"polars": "polars", "arrow": "pyarrow", "xarray": "xarray"}[kind])
    table = getattr(plot, f"to_{kind}")()
    got = columns_of(kind, table)
    assert [name for name, _ in got] == UNIQUE
    assert [bits(values) for _, values in got] == [bits(plot[field]) for field in range(5)]
    if kind == "polars":
        assert table.null_count().row(0) == (0,) * 5
    if kind == "arrow":
        assert table.schema.metadata == {b"path": plot.path.encode(), b"n_digits": b"16"}
        # The Plot's own memory, not a copy.
        assert [column.chunks[0].buffers()[1].address for column in table.columns] == \
            [plot[field].ctypes.data for field in range(5)]
    if kind == "xarray":
        assert table.attrs == {"path": plot.path, "n_digits": 16}
        assert all(table[name].dims == ("T",) for name in UNIQUE[1:])


@pytest.mark.parametrize("call, module, extra", [
    (lambda plot: plot.to_polars(), "polars", "polars"),
    (lambda plot: plot.to_arrow(), "pyarrow", "arrow"),
    (lambda plot: plot.to_xarray(), "xarray", "xarray"),
    (lambda plot: tolvane.read_many([plot.path], progress=True), "tqdm", "progress"),
])
def test_a_missing_library_names_its_extra(plot, monkeypatch, call, module, extra):
    if module == "tqdm":
        pytest.importorskip("pandas")  # which read_many needs before its bar
    monkeypatch.setitem(sys.modules, module, None)  # import raises ImportError
    with pytest.raises(ImportError, match=rf"pip install 'quorel\[{extra}\]'"):
        call(plot)
