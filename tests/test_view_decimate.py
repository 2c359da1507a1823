"""The view's decimation against numpy on the same data: every pixel column's first, minimum,
maximum and last sample are among the points drawn in that column, at every bin boundary and
window edge; raw samples for short windows; a followed file folded in as it grows."""

import pytest

tolvane = pytest.importorskip("tolvane")  # built for CPython 3.10 and newer
np = pytest.importorskip("numpy")
from tolvane._view import decimate  # noqa: E402
from tolvane._view.decimate import BIN, Pyramid  # noqa: E402
from tolvane._view.sources import FileSource, PlotSource  # noqa: E402

BLOCKS = 40 * BIN + 37  # whole bins and a raw tail


def signals(kind, rng):
    """Times (nondecreasing, with events; or falling back) and three signals."""
    if kind == "events":
        times = np.cumsum(rng.integers(0, 3, BLOCKS)) * 1e-3  # steps of 0: repeated times
    elif kind == "falling":
        times = (np.arange(BLOCKS) % 500) * 1e-2
    else:
        times = np.arange(BLOCKS) * 2.5e-4
    values = [np.sin(np.arange(BLOCKS) / 40.0), rng.standard_normal(BLOCKS),
              np.arange(BLOCKS, dtype=float)]  # a ramp: every column's extremes at its edges
    return times, [np.asarray(v, dtype=np.float32) for v in values]


@pytest.fixture(params=["plot", "file", "file of wide blocks"])
def made(request, tmp_path):
    def make(kind, seed=1):
        rng = np.random.default_rng(seed)
        times, values = signals(kind, rng)
        path = str(tmp_path / "run.plt")
        signals_written = {"TIME": times, "A": values[0], "B": values[1], "C": values[2]}
        if request.param == "file of wide blocks":
            # Blocks of 25 parameters: the index's own stride, 43 blocks, is below a bin's; it
            # keeps every 32nd block's start.
            signals_written.update({f"P{i}": values[1] for i in range(21)})
        tolvane.write(path, signals_written, 15)
        plot = tolvane.read(path)
        source = PlotSource(plot) if request.param == "plot" else FileSource(path)
        if request.param == "file of wide blocks":
            assert source._file._head.index_stride == 32
        pyramid = Pyramid(source)
        assert pyramid.extend() == BLOCKS
        return pyramid, plot
    return make


def columns(times, t0, t1, width):
    """numpy's answer: each column's time edges and first block."""
    edges = t0 + (t1 - t0) * (np.arange(width + 1) / width)
    edges[-1] = t1
    first = np.searchsorted(times, edges[:-1], side="left")
    return edges, np.append(first, np.searchsorted(times, t1, side="right"))


def check(drawn, plot, t0, t1, width, rising=True):
    times = np.asarray(plot.time, dtype=np.float64) if rising else np.arange(len(plot), dtype=np.float64)
    edges, blocks = columns(times, t0, t1, width)
    assert (drawn.first, drawn.end) == (blocks[0], blocks[-1])
    for row, field in enumerate((1, 2, 3)):
        values = plot[field]
        x, y = drawn.x[row], drawn.y[row]
        assert np.all(np.diff(x) >= 0)
        if blocks[0] == blocks[-1]:
            assert len(x) == len(y) == 0  # no sample in the window: nothing drawn
            continue
        if drawn.raw:
            lo, hi = max(blocks[0] - 1, 0), min(blocks[-1] + 1, len(plot))
            assert x.view(np.uint64).tolist() == times[lo:hi].view(np.uint64).tolist()
            assert y.view(np.uint32).tolist() == values[lo:hi].view(np.uint32).tolist()
            continue
        for k in range(width):
            if blocks[k + 1] == blocks[k]:
                continue
            there = values[blocks[k]:blocks[k + 1]]
            inside = (x >= edges[k]) & ((x < edges[k + 1]) if k < width - 1 else (x <= t1))
            drawn_bits = set(y[inside].view(np.uint32).tolist())
            # Every point drawn in the column is one of its samples; its four are there.
            assert drawn_bits <= set(there.view(np.uint32).tolist())
            for wanted in (there.min(), there.max(), there[0], there[-1]):
                assert np.float32(wanted).view(np.uint32) in drawn_bits, (k, field)
        # The line runs to the window's edges: the sample before it and the one after.
        if blocks[0] > 0:
            assert x[0] == times[blocks[0] - 1]
        if blocks[-1] < len(plot):
            assert x[-1] == times[blocks[-1]]


@pytest.mark.parametrize("whole_reads", [False, True], ids=["bins", "windows read whole"])
@pytest.mark.parametrize("kind", ["steps", "events"])
def test_every_column_holds_its_extremes_first_and_last(made, monkeypatch, kind, whole_reads):
    monkeypatch.setattr(decimate, "READ_WHOLE", 1 << 20 if whole_reads else 0)
    pyramid, plot = made(kind)
    times = np.asarray(plot.time, dtype=np.float64)
    rng = np.random.default_rng(7)
    # Windows whose edges are bin boundaries, one block either side, the file's ends, and at
    # random; widths from one column to more columns than a bin has blocks.
    starts = [0, BIN, BIN - 1, BIN + 1, 5 * BIN, len(times) - 40, *rng.integers(0, len(times), 6)]
    for start in starts:
        for length, width in ((3 * BIN, 7), (11 * BIN + 1, 5), (BLOCKS, 13), (2 * BIN, 1), (1000, 200)):
            end = min(start + length, len(times) - 1)
            t0, t1 = times[start], times[end]
            drawn = pyramid.window(t0, t1, width, [0, 1, 2])
            check(drawn, plot, t0, t1, width)
    # Edges between two blocks' times, and a window past either end.
    for t0, t1, width in ((times[BIN] - 1e-5, times[9 * BIN] + 1e-5, 11), (-1.0, times[-1] + 1.0, 9),
                          (times[-1] + 1.0, times[-1] + 2.0, 9), (-2.0, -1.0, 3)):
        check(pyramid.window(t0, t1, width, [0, 1, 2]), plot, t0, t1, width)


def test_short_windows_give_every_sample(made):
    pyramid, plot = made("steps")
    times = np.asarray(plot.time, dtype=np.float64)
    for start, end, width in ((10, 10 + 4 * 30 - 1, 30), (0, 50, 20), (BLOCKS - 20, BLOCKS - 1, 100)):
        drawn = pyramid.window(times[start], times[end], width, [0, 1, 2])
        assert drawn.raw
        check(drawn, plot, times[start], times[end], width)
    assert not pyramid.window(times[10], times[10 + 4 * 30], 30, [0, 1, 2]).raw  # one more than 4 x 30


def test_falling_times_draw_against_block_numbers(made, monkeypatch):
    monkeypatch.setattr(decimate, "READ_WHOLE", 0)
    pyramid, plot = made("falling")
    assert not pyramid.rising and pyramid.span() == (0.0, BLOCKS - 1.0)
    for t0, t1, width in ((0, BLOCKS - 1, 17), (BIN - 0.5, 9 * BIN + 0.5, 6)):
        check(pyramid.window(t0, t1, width, [0, 1, 2]), plot, t0, t1, width, rising=False)


def test_a_growing_file_is_folded_in_as_it_grows(tmp_path, monkeypatch):
    monkeypatch.setattr(decimate, "READ_WHOLE", 0)
    times, values = signals("steps", np.random.default_rng(3))
    data = {"TIME": times, "A": values[0], "B": values[1], "C": values[2]}

    def text(blocks):
        tolvane.write(str(tmp_path / "part.plt"), {k: v[:blocks] for k, v in data.items()}, 12)
        return (tmp_path / "part.plt").read_bytes()

    path = tmp_path / "growing.plt"
    path.write_bytes(text(0))
    pyramid = Pyramid(FileSource(str(path)))
    assert pyramid.extend() == 0 and pyramid.span() == (0.0, 0.0)
    done = 0
    for blocks in (5, BIN - 5, 3 * BIN + 1, BLOCKS - 4 * BIN - 1):  # through bin boundaries
        old, new = path.read_bytes(), text(done + blocks)
        assert new.startswith(old)
        # The last block cut short is not folded in until it is whole.
        with open(path, "ab") as stream:
            stream.write(new[len(old):-3])
        assert pyramid.extend() == blocks - 1
        with open(path, "ab") as stream:
            stream.write(new[-3:])
        assert pyramid.extend() == 1
        done += blocks
        part = tolvane.read(str(path))
        t = np.asarray(part.time, dtype=np.float64)
        check(pyramid.window(t[0], t[-1], 9, [0, 1, 2]), part, t[0], t[-1], 9)
    assert pyramid.count == BLOCKS
