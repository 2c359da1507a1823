"""Files that change while tolvane reads them: a file that only grows is read to where it ends,
on any number of threads; one that is cut or written again raises FileChangedError, never
values from two versions of it. And the storage of a split read, sized from the file's first
block, whatever its header lines."""

import os

import pytest

from conftest import plot_text, run_child, write_plot

tolvane = pytest.importorskip("tolvane")  # built for CPython 3.10 and newer
np = pytest.importorskip("numpy")
from tolvane import _native  # noqa: E402


def block_fields(b):
    return [f"{(b % 97) * 0.25 - 3:.5E}", f"{b}", f"{-b / 8:.5E}"]


def blocks_text(first, last):
    """Blocks first .. last - 1 of a 3-parameter, width-12 file, without its head."""
    whole = plot_text(3, [block_fields(b) for b in range(first, last)], 12)
    return whole[len(plot_text(3, [], 12)):]


HEAD = plot_text(3, [], 12)


def edit_after_open(path, change):
    data = open(path, "rb").read()
    if change == "appended":
        with open(path, "ab") as f:
            f.write(blocks_text(400, 450).encode())
    elif change == "last block finished":
        with open(path, "ab") as f:
            f.write(data[:0] + blocks_text(399, 400).encode().split(b"\n", 1)[1])
    elif change == "cut":
        os.truncate(path, len(data) // 2)
    elif change == "written again in place":
        with open(path, "r+b") as f:  # same size, other values
            f.write(data.replace(b"E+00", b"E+01"))
        stat = os.stat(path)
        os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns + 1_000_000_000))


# The change is made between open_plot (which reads the names) and read_blocks: what the read
# sees of it is what it would see of the same change made while it reads, with one thread or
# with the file split in pieces (the split plans its pieces when the blocks are read). A file
# whose last block is not yet whole when it is opened, and is finished then, reads whole.
@pytest.mark.parametrize("threads, piece_bytes", [(1, 0), (2, 4093), (3, 1024)])
@pytest.mark.parametrize("change, blocks_read", [
    (None, 400), ("appended", 450), ("last block finished", 400), ("cut", None),
    ("written again in place", None),
])
def test_a_change_between_the_names_and_the_blocks(tmp_path, change, blocks_read, threads, piece_bytes):
    text = HEAD + blocks_text(0, 400)
    if change == "last block finished":
        text = text[:text.rindex("\n", 0, len(text) - 1) + 1]  # block 399 without its data line
    path = write_plot(tmp_path, text)
    head = _native.open_plot(os.fsencode(path))
    edit_after_open(path, change)
    if blocks_read is None:
        with pytest.raises(_native.Fault) as raised:
            head.read_blocks(12, [], threads, piece_bytes)
        assert raised.value.args[0]["kind"] == "file_changed"
        return
    table = head.read_blocks(12, [], threads, piece_bytes)
    expected = tolvane.read(path, 12, threads=1, time_dtype=np.float32).to_numpy().T
    assert table.shape == (3, blocks_read) and table.view(np.uint32).tolist() == expected.view(np.uint32).tolist()


# A writer truncates the file and writes it again, over and over, while it is read in small
# pieces on more threads than there are cores (so that the pieces are read at moments far
# apart). Each read gives the blocks of the file at one moment: all of them or a prefix; or
# the FormatError of a file cut at that moment; or FileChangedError. Before the pieces
# checked that the file was not cut under them, about one read in a thousand gave blocks with
# others missing in the middle. Every fourth time, the writer leaves the file whole for twice
# the time a read takes, so that some reads find it whole however slow the machine is (under
# emulation, a read outlasts a rewrite).
REWRITE_CHILD = r'''
import collections, json, sys, threading, time
import numpy as np, tolvane
from tolvane._read import read_in_pieces
out, path, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
data = open(path, "rb").read()
started = time.monotonic()
whole = read_in_pieces(path, 12, threads=3, piece_bytes=4096, time_dtype=np.float32).to_numpy().view(np.uint32).copy()
read_time = time.monotonic() - started
done = threading.Event()
def rewrite():
    rewrites = 0
    while not done.is_set():
        with open(path, "wb") as f:
            for at in range(0, len(data), 1 << 18):
                f.write(data[at:at + (1 << 18)])
        rewrites += 1
        time.sleep(2 * read_time if rewrites % 4 == 0 else 0.005)
writer = threading.Thread(target=rewrite)
writer.start()
seen, wrong = collections.Counter(), []
end = time.monotonic() + seconds
try:
    while time.monotonic() < end:
        try:
            got = read_in_pieces(path, 12, threads=3, piece_bytes=4096, time_dtype=np.float32).to_numpy().view(np.uint32)
        except (tolvane.FormatError, tolvane.FileChangedError) as error:
            seen[type(error).__name__] += 1
            continue
        if len(got) <= len(whole) and np.array_equal(got, whole[:len(got)]):
            seen["whole" if len(got) == len(whole) else "prefix"] += 1
        else:
            wrong.append(len(got))
finally:
    done.set()
    writer.join()
json.dump({"seen": seen, "wrong": wrong}, open(out, "w"))
'''


def test_a_file_written_again_while_it_is_read(tmp_path):
    path = write_plot(tmp_path, plot_text(11, [[f"{(b * 11 + i) % 1009 - 504:.5E}" for i in range(11)]
                                                for b in range(60000)], 12))
    res, _, _ = run_child(tmp_path, REWRITE_CHILD, path, 3, timeout=60)
    assert res["wrong"] == [], res
    # The race was run: reads met the file cut or written again, and some read it whole.
    assert res["seen"].get("FileChangedError", 0) > 0 and res["seen"].get("whole", 0) > 0, res


# Header lines far longer than the fields: the storage of a split read is sized from the first
# block, not from the least a block could take (which counts a header line as its line feed
# alone, here 1/50 of it, and so sized it for 50 times the blocks). A first block longer than
# the others sizes it for too few, and the blocks past its room are read after the split, the
# storage grown (and then closed up where it was grown far past them).
@pytest.mark.parametrize("first_header", [1, 60_000, 600_000])
def test_the_storage_of_a_split_read_is_sized_from_its_first_block(tmp_path, first_header):
    count, blocks, header = 100, 1100, 60_000
    lines = plot_text(count, [[f"{(b + i) % 89:.5E}" for i in range(count)] for b in range(blocks)], 12,
                      header="H" * header).split("\n")
    first_block_line = count + 1
    lines[first_block_line] = "H" * first_header
    path = write_plot(tmp_path, "\n".join(lines))
    table = tolvane.read(path, 12, threads=2, time_dtype=np.float32).to_numpy().T
    values = table.shape[0] * table.shape[1] * 4
    held = table.shape[0] * table.strides[0]
    assert held <= 1.25 * values + (16 << 20)
    assert table.view(np.uint32).tolist() == tolvane.read(path, 12, threads=1, time_dtype=np.float32).to_numpy().T.view(np.uint32).tolist()
