"""tolvane.open: windows of a file's blocks read through an index of its line structure, the
same values as tolvane.read bit for bit; a file that grows, followed; and Plot slices."""

import os
import random

import pytest

from conftest import plot_text, write_plot

tolvane = pytest.importorskip("tolvane")  # built for CPython 3.10 and newer
np = pytest.importorskip("numpy")


def bits(table):
    return np.ascontiguousarray(table).view(np.uint32).tolist()


def sample(name):
    path = os.path.join(os.path.dirname(__file__), "..", "examples", name)
    if not os.path.isfile(path):
        pytest.skip(f"{path} is not there: these tests run in a clone of the project")
    return path


def made(tmp_path, kind):
    """A file, its width, and the number of blocks it has."""
    rng = random.Random(kind)
    if kind == "sample 12":
        return sample("sample_w12.plt"), 12
    if kind == "sample 15":
        return sample("sample_w15.plt"), 15
    if kind == "width 5, times falling and rising, CRLF":
        # Times the index leaves to the reader (plain decimals), that do not rise throughout.
        times = [f"{(b % 37) / 4}" for b in range(300)]
        blocks = [[t] + [str(rng.randrange(-999, 999)) for _ in range(22)] for t in times]
        return write_plot(tmp_path, plot_text(23, blocks, 5, header="", newline="\r\n")), 5
    if kind == "long headers, one parameter":
        # Blocks of two lines, headers of every length: a stride of the index spans few blocks.
        text = "T 1\nTIME\n" + "".join("H" * rng.randrange(0, 3000) + f"\n{b / 8:12.5E}\n" for b in range(2000))
        return write_plot(tmp_path, text), 12
    raise AssertionError(kind)


FILES = ["sample 12", "sample 15", "width 5, times falling and rising, CRLF", "long headers, one parameter"]


@pytest.mark.parametrize("kind", FILES)
def test_windows_give_the_values_read_gives(tmp_path, kind):
    path, width = made(tmp_path, kind)
    whole = tolvane.read(path, width)
    table = whole.to_numpy().T
    n = len(whole)
    times = whole.time
    with tolvane.open(path, None if width in (12, 15) else width) as f:
        assert (len(f), f.n_digits, f.names, f.title, f.name_lines) == \
            (n, width, whole.names, whole.title, whole.name_lines)
        windows = {
            "all": (f.read(), np.arange(n)),
            "last 1 %": (f.read(blocks=slice(-n // 100, None)), np.arange(n + -n // 100, n)),
            "a slice with a step": (f.read(blocks=slice(3, None, 7)), np.arange(3, n, 7)),
            "backwards": (f.read(blocks=slice(None, 10, -3)), np.arange(n - 1, 10, -3)),
            "numbers, repeated, negative": (f.read(blocks=[n - 1, 5, 5, -2, 0]), np.array([n - 1, 5, 5, n - 2, 0])),
        }
        t0, t1 = sorted(times[[n // 3, n // 2]].tolist())
        windows["time"] = (f.read(time=(t0, t1)), np.flatnonzero((times >= t0) & (times <= t1)))
        for name, (plot, chosen) in windows.items():
            assert bits(plot.to_numpy().T) == bits(table[:, chosen]), name
        last = len(whole.names) - 1
        plot = f.read(columns=[last], blocks=slice(0, None, 100))
        assert list(plot) == list(dict.fromkeys(whole.names[::last or 1]))
        assert bits(plot[last]) == bits(whole[last][::100])
    # A Plot's slices: the same blocks, over the same storage.
    part = whole[n // 4: n // 2: 3]
    assert bits(part.to_numpy()) == bits(whole.to_numpy()[n // 4: n // 2: 3])
    assert np.shares_memory(part.time, whole.time) and part.path == whole.path


def test_faults_inside_a_window_raise_and_outside_are_not_looked_for(tmp_path):
    blocks = [[f"{b}", "1.5", "2.5"] for b in range(40)]
    blocks[25][2] = "1.0D+00"
    path = write_plot(tmp_path, plot_text(3, blocks, 12))
    with pytest.raises(tolvane.FormatError) as whole:
        tolvane.read(path, 12)
    with tolvane.open(path, 12) as f:
        assert len(f) == 40
        assert bits(f.read(blocks=slice(0, 25)).time) == bits(np.arange(25, dtype=np.float32))
        assert len(f.read(columns=[1], blocks=slice(20, 30))) == 10  # the bad field is not read
        for window in ({"blocks": [25]}, {"blocks": slice(20, None)}, {"time": (24.5, 25.5)}):
            with pytest.raises(tolvane.FormatError) as raised:
                f.read(**window)
            assert str(raised.value) == str(whole.value)


def test_a_growing_file_is_followed_block_by_block(tmp_path):
    # A simulation writing its file in pieces cut anywhere (inside lines, fields and line ends),
    # the handle opened on its head alone (the width is found once block 0 is complete): each
    # len() sees the blocks complete so far, and the updates, joined, are tolvane.read of the
    # finished file. Each update reads the bytes appended since the last and no others.
    rng = random.Random(7)
    blocks = [[f"{b * 0.001:.5E}"] + [f"{rng.uniform(-9, 9):.5E}" for _ in range(11)] for b in range(600)]
    data = plot_text(12, blocks, 12).encode()
    head = data.index(b"BLOCK") - 2
    path = tmp_path / "growing.plt"
    path.write_bytes(data[:head])
    io = open(f"/proc/{os.getpid()}/io")

    def bytes_read():
        io.seek(0)
        return int(io.readline().split()[1])  # rchar: the bytes of every read and pread

    updates, written = [], head
    with tolvane.open(path) as f, open(path, "ab") as writer:
        assert (len(f), f.n_digits, len(f.update())) == (0, None, 0)
        while written < len(data):
            piece = data[written:written + rng.randrange(1, 900)]
            writer.write(piece)
            writer.flush()
            written += len(piece)
            detecting, before = f.n_digits is None, bytes_read()
            new = f.update()
            # The bytes appended and the cut block before them, once to index them and once to
            # read them (and a read of this process's figures); where block 0 is completed, the
            # read that finds the width from it.
            assert bytes_read() - before <= 2 * (len(piece) + 150) + 200 + 64 * 1024 * detecting
            updates.append(new)
            assert len(f) == (data[:written].count(b"\n") - 13) // 3
    assert f.n_digits == 12
    whole = tolvane.read(path)
    assert bits(np.concatenate([u.to_numpy() for u in updates])) == bits(whole.to_numpy())


def test_a_file_cut_below_its_index_raises_file_changed(tmp_path):
    path = write_plot(tmp_path, plot_text(2, [[b, 1] for b in range(50)], 12))
    with tolvane.open(path) as f:
        assert len(f) == 50
        os.truncate(path, os.path.getsize(path) // 2)
        with pytest.raises(tolvane.FileChangedError):
            len(f)


@pytest.mark.parametrize("source, error, message", [
    (b"\x1f\x8b\x08\x00rest", ValueError, "not a gzip file"),
    ("s3://bucket/run.plt", ValueError, "not the URL"),
    (None, TypeError, "a local file"),
])
def test_sources_read_front_to_back_only_are_refused_clearly(tmp_path, source, error, message):
    if isinstance(source, bytes):
        source = write_plot(tmp_path, source, name="run.plt.gz")
    with pytest.raises(error, match=message):
        tolvane.open(source)
