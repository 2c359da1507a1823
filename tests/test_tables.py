"""Plot.to_pandas, to_polars, to_arrow and to_xarray: the time first, every parameter's float32
values bit for bit (NaN of either sign stays a value, never a null), names made unique by one
rule in all four, a table that its user changes changing nothing else, and a missing library
named by its extra."""

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
    # A file name that is not UTF-8, as Linux allows: the tables keep its bytes.
    path = write_plot(tmp_path, plot_text(5, BLOCKS, 16, names=[f" {i + 1} {name}" for i, name in enumerate(NAMES)]),
                      name=os.fsdecode(b"caf\xe9.plt"))
    return tolvane.read(path, 16)


def bits(array):
    array = np.asarray(array)
    assert array.dtype == np.float32
    return array.view(np.uint32).tolist()


def columns_of(kind, table):
    """(name, float32 array) of every column, in order."""
    if kind == "pandas":
        return [(table.index.name, table.index.to_numpy())] + [(name, table[name].to_numpy()) for name in table.columns]
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
        assert table.schema.metadata == {b"path": os.fsencode(plot.path), b"n_digits": b"16",
                                         b"title": plot.title.encode()}
        # The Plot's own memory, not a copy.
        assert [column.chunks[0].buffers()[1].address for column in table.columns] == \
            [plot[field].ctypes.data for field in range(5)]
    if kind == "xarray":
        assert table.attrs == {"path": plot.path, "n_digits": 16, "title": plot.title}
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


def library_of(kind):
    if kind in LEAKING and os.environ.get("QUOREL_SANITIZED"):
        pytest.skip(f"{kind} keeps objects of its own to the end, which LeakSanitizer reports")
    return pytest.importorskip({"pandas": "pandas", "polars": "polars", "arrow": "pyarrow", "xarray": "xarray"}[kind])


# ---------------------------------------------------------------- changed by their users

KINDS = ["pandas", "polars", "arrow", "xarray"]


def change_pandas(frame):
    frame.iloc[1, 0] = 999.0
    frame["B"] *= 2
    frame.loc[frame.index[0], "T.1"] = 7.0
    return {"A": (1, 999.0), "T.1": (0, 7.0), "B": (1, np.float32(-1.1754942e-38) * 2)}


def change_polars(frame):
    frame[1, "A"] = 999.0
    column = frame.get_column("T.1")
    column[0] = 7.0  # the Series taken out, changed in place
    frame.replace_column(3, column)
    return {"A": (1, 999.0), "T.1": (0, 7.0)}


def change_arrow(table):
    # Arrow's arrays are immutable: their numpy views are read-only, and a pandas frame made
    # from the table is pandas' to change.
    with pytest.raises(ValueError):
        table.column("A").to_numpy()[1] = 999.0
    frame = table.to_pandas()
    frame.iloc[1, 1] = 999.0
    assert frame.iloc[1, 1] == 999.0
    return {}


def change_xarray(dataset):
    dataset["A"][1] = 999.0
    dataset["T.1"].values[0] = 7.0
    dataset["B"] += 1
    return {"A": (1, 999.0), "T.1": (0, 7.0), "B": (1, np.float32(-1.1754942e-38) + 1)}


CHANGES = {"pandas": change_pandas, "polars": change_polars, "arrow": change_arrow, "xarray": change_xarray}
# Which tables are made over the Plot's own arrays (the library never writes into them) and
# which over a copy (the library writes into its arrays in place).
SHARES_THE_PLOTS_MEMORY = {"pandas": False, "polars": True, "arrow": True, "xarray": False}


@pytest.mark.parametrize("kind", KINDS)
def test_a_table_changed_by_its_user_changes_nothing_else(plot, kind):
    library_of(kind)
    kinds = [other for other in KINDS if other == kind or importable(other)]
    tables = {other: getattr(plot, f"to_{other}")() for other in kinds}
    before = {other: [bits(values) for _, values in columns_of(other, table)] for other, table in tables.items()}
    plot_before = [bits(plot[field]) for field in range(5)]
    shared = [np.shares_memory(values, plot[field]) for field, (_, values) in enumerate(columns_of(kind, tables[kind]))]
    assert shared == [SHARES_THE_PLOTS_MEMORY[kind]] * 5

    changed = CHANGES[kind](tables[kind])

    got = dict(columns_of(kind, tables[kind]))
    for name, (row, value) in changed.items():
        assert bits(got[name][row:row + 1]) == bits(np.array([value], dtype=np.float32))
    assert [bits(plot[field]) for field in range(5)] == plot_before
    for other in kinds:
        if other != kind:
            assert [bits(values) for _, values in columns_of(other, tables[other])] == before[other], other
    # A table made afresh has the Plot's values.
    assert [bits(values) for _, values in columns_of(kind, getattr(plot, f"to_{kind}")())] == before[kind]


def importable(kind):
    try:
        __import__({"pandas": "pandas", "polars": "polars", "arrow": "pyarrow", "xarray": "xarray"}[kind])
    except ImportError:
        return False
    return not (kind in LEAKING and os.environ.get("QUOREL_SANITIZED"))


# ---------------------------------------------------------------- one rule for names

@pytest.mark.parametrize("names, unique", [
    (["TIME", "", "column_1"], ["TIME", "", "column_1"]),
    (["TIME", "TIME"], ["TIME", "TIME.1"]),
    (["TIME", "X", "X", "X.1"], ["TIME", "X", "X.1", "X.1.1"]),
    (["", ""], ["", ".1"]),
    (["", "X", "", "column_0"], ["", "X", ".1", "column_0"]),
    (["TIME", "A", "TIME", "TIME.1"], ["TIME", "A", "TIME.1", "TIME.1.1"]),
    (["TIME", "path"], ["TIME", "path"]),
    (["TIME"], ["TIME"]),
])
@pytest.mark.parametrize("kind", KINDS)
def test_every_table_makes_names_unique_by_one_rule(tmp_path, kind, names, unique):
    library_of(kind)
    lines = [f"  {i + 1} {name}" if name else "   " for i, name in enumerate(names)]
    path = write_plot(tmp_path, plot_text(len(names), [["1"] * len(names), ["2"] * len(names)], 12, names=lines))
    plot = tolvane.read(path, 12)
    assert plot.names == tuple(names)
    table = getattr(plot, f"to_{kind}")()
    assert [name for name, _ in columns_of(kind, table)] == unique
    if kind == "pandas":
        assert list(table.reset_index().columns) == unique
