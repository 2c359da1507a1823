"""tolvane.read: quorel's values as named float32 arrays, its faults as FormatError that says
where, the width found from the file, columns by name, and the GIL released while reading."""

import html
import os
import pathlib
import pickle
import random
import re
import subprocess
import sys
import threading

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import quorel
from conftest import (LEAK_MEASURE, assert_flat, bits_list, child_env, gil_free_env, plot_text, run_child, skip_unless_free_threaded,
                      skip_without_memory_limits, write_plot)
from plot_model import HEAD_CUT, head_texts, model_with_place, parse_count, tokens, trim

tolvane = pytest.importorskip("tolvane")  # built for CPython 3.10 and newer
np = pytest.importorskip("numpy")
from tolvane._read import read_in_pieces  # noqa: E402


def bits(array):
    assert array.dtype in (np.float32, np.float64) and array.ndim == 1
    return array.view(np.uint32 if array.dtype == np.float32 else np.uint64).tolist()


def quorel_outcome(path, width):
    try:
        time, columns = quorel.rust_read_tolvane(path, width)
    except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
        return "failed", str(exc)
    return "ok", [bits_list(time)] + [bits_list(c) for c in columns]


def tolvane_outcome(path, width, columns=None, threads=1, piece_bytes=0, time_dtype=np.float32):
    """("ok", [bits of each array read]) or ("FormatError", (line, block, field)), read on
    `threads` threads in pieces of `piece_bytes` (0: the reader's own size). The time float32
    by default, as quorel and the model give it."""
    try:
        plot = read_in_pieces(path, width, columns=columns, threads=threads, piece_bytes=piece_bytes,
                              time_dtype=time_dtype)
    except tolvane.FormatError as exc:
        assert str(exc).startswith(f"{path}:{exc.line}: ")
        return "FormatError", (exc.line, exc.block, exc.field)
    return "ok", [bits(plot[name]) for name in range(len(plot.names)) if name in plot]


def kept_outcome(path, width, columns=None, threads=1, piece_bytes=0, time_dtype=np.float32):
    """tolvane_outcome() of a read with incomplete="keep", and where the Plot says the file is
    cut: ("ok", bits, (line, block, field) or None) or ("FormatError", (line, block, field))."""
    try:
        plot = read_in_pieces(path, width, columns=columns, threads=threads, piece_bytes=piece_bytes,
                              incomplete="keep", time_dtype=time_dtype)
    except tolvane.FormatError as exc:
        return "FormatError", (exc.line, exc.block, exc.field)
    cut = plot.incomplete
    return ("ok", [bits(plot[name]) for name in range(len(plot.names)) if name in plot],
            None if cut is None else (cut.line, cut.block, cut.field))


def index_outcome(path, width, threads=1, piece_bytes=0, times=True, bin_blocks=0):
    """What tolvane.open's index finds, scanned on `threads` threads in pieces of `piece_bytes`:
    the blocks, where they end, the starts kept, every time's bits, the times left unknown and
    whether the times rise; None where the head does not read. An index made without `times`
    has the same places, and refuses to give times; one made with `bin_blocks` the places at
    the stride that divides it (the blocks' starts checked against a count of their lines)."""
    from tolvane import _native

    try:
        head = _native.open_plot(os.fsencode(path))
        blocks = head.extend_index(width, threads, None, piece_bytes, False, times, bin_blocks)
    except _native.Fault:
        return None
    try:
        places = (blocks, head.index_end, head.index_stride, head.index_starts().tolist())
        if bin_blocks:
            stride = head.index_stride
            assert bin_blocks % stride == 0 and places[3] == head.block_offsets(
                np.arange(0, blocks, stride, dtype=np.uint64)).tolist()
        if not times:
            for call in (lambda: head.index_times(0, blocks), lambda: head.time_bounds(0, 1),
                         lambda: head.time_matches(0, 1)):
                with pytest.raises(ValueError, match="without the blocks' times"):
                    call()
            assert (len(head.unknown_times()), head.times_rise) == (0, False)
            return places
        return places + (bits(head.index_times(0, blocks)), head.unknown_times().tolist(), head.times_rise)
    finally:
        head.close()


def index_places_agree(path, width, threads, piece_bytes):
    """The index split across threads in pieces, with its times or without: what one thread
    finds."""
    whole = index_outcome(path, width)
    assert index_outcome(path, width, threads, piece_bytes) == whole
    assert index_outcome(path, width, threads, piece_bytes, times=False) == (whole and whole[:4])
    # Every bin's start: the largest divisor of the bin's blocks not above the stride.
    binned = index_outcome(path, width, threads, piece_bytes, times=False, bin_blocks=48)
    if whole is not None:
        assert binned[:2] == whole[:2]
        assert binned[2] == max(d for d in range(1, 49) if 48 % d == 0 and d <= whole[2])


def opened_outcome(path, width, time_dtype=np.float32):
    """tolvane_outcome() of tolvane.open(path, width).read()."""
    try:
        with tolvane.open(path, width, time_dtype=time_dtype) as f:
            plot = f.read()
    except tolvane.FormatError as exc:
        return "FormatError", (exc.line, exc.block, exc.field)
    return "ok", [bits(plot[name]) for name in range(len(plot.names)) if name in plot]


def with_time64(outcome, data, width):
    """An outcome of a read with the float32 time as a read with the float64 time must give
    it: the same fault, or the same values but the time's, each the binary64 nearest to its
    field's text (Python's float(), correctly rounded, is the model)."""
    if outcome[0] != "ok" or not outcome[1] or not outcome[1][0]:  # no block: no time to read
        return outcome
    lines = data.split(b"\n")
    count = parse_count(tokens(lines[0].decode())[-1])
    block_lines = 1 + -(-count // 10)
    times = []
    for block in range(len(outcome[1][0])):
        line = lines[1 + count + block * block_lines + 1]
        line = line[:-1] if line.endswith(b"\r") else line
        times.append(np.float64(float(trim(line[:width].decode()))))
    return (outcome[0], [np.array(times).view(np.uint64).tolist()] + outcome[1][1:]) + outcome[2:]


def complete_blocks(data):
    """The file up to the end of its last block whose every line ends in a line feed (all of it
    where its head does not read)."""
    first = data.split(b"\n", 1)[0]
    try:
        count = parse_count(tokens(first.decode())[-1])
    except (UnicodeDecodeError, IndexError):
        count = None
    if not count:
        return data
    feeds = [i for i, byte in enumerate(data) if byte == 0x0A]
    head, lines = 1 + count, 1 + -(-count // 10)
    if len(feeds) < head:
        return data
    complete = (len(feeds) - head) // lines
    return data[:feeds[head + complete * lines - 1] + 1]


def model_kept(data, width, selected=None):
    """kept_outcome() as the model has it."""
    expected, _, failure = model_with_place(data, width, selected, keep=True)
    place = None if failure is None else (failure.line, failure.block, failure.field)
    if expected[0] != "ok":
        return "FormatError", place
    times, columns = expected[1]
    return "ok", ([] if times is None else [times]) + columns, place


# ---------------------------------------------------------------- both faces, one model

FIELDS = ["1.234567E+05", "-9.87654E-01", "0.1", "-0", "nan", "-inf", "16777217", " ", "",
          "1.0D+00", "1 5", "é", "+", "3.4028236E+38", "\u3000 2.5"]
EDIT_BYTES = [b"\n", b"\r\n", b"", b" ", b"x", b"\xc3\xa9", b"\xe9", b"\xe3\x80\x80", b"9", b"\x00"]


@st.composite
def plot_files(draw):
    """A plot file of a few blocks, its fields drawn from good and bad texts, then edited at a
    few places: bytes replaced, inserted or cut out, or the file cut short."""
    count = draw(st.integers(1, 23))
    width = draw(st.sampled_from([12, 15, 12, 15, 5]))
    blocks = [[draw(st.sampled_from(FIELDS))[:width] if draw(st.integers(0, 9)) == 0
               else f"{draw(st.integers(-999, 999)) / 8:.6E}"[:width] for _ in range(count)]
              for _ in range(draw(st.integers(0, 3)))]
    data = bytearray(plot_text(count, blocks, width).encode())
    for _ in range(draw(st.integers(0, 3))):
        at = draw(st.integers(0, len(data)))
        cut = draw(st.integers(0, 2))
        if draw(st.integers(0, 6)) == 0:
            del data[at:]
        else:
            data[at:at + cut] = draw(st.sampled_from(EDIT_BYTES))
    chosen = draw(st.sets(st.integers(1, count - 1)) if count > 1 else st.just(set()))
    return bytes(data), width, chosen, draw(st.sampled_from([1, 2, 3, 7, 16, 61]))


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(plot_files())
def test_both_faces_agree_with_the_model(tmp_path, capfd, case):
    data, width, chosen, piece_bytes = case
    path = write_plot(tmp_path, data)
    expected, _, failure = model_with_place(data, width)
    event(failure.kind if failure else "read")
    got_quorel = quorel_outcome(path, width)
    assert got_quorel[0] == ("ok" if failure is None else "failed")
    capfd.readouterr()

    # tolvane's reads take a head line without a line feed for a head still being written.
    _, _, failure = model_with_place(data, width, head=True)
    got = tolvane_outcome(path, width)
    if failure is None:
        assert got == got_quorel
        plot = tolvane.read(path, width)
        assert (plot.title, plot.name_lines) == head_texts(data)
    else:
        assert got == ("FormatError", (failure.line, failure.block, failure.field))
    # Split into pieces of a few bytes, so that blocks, lines, fields and characters straddle
    # them: the same values, and the same first fault, whichever thread meets which.
    for threads in (2, 7):
        assert tolvane_outcome(path, width, threads=threads, piece_bytes=piece_bytes) == got
    # The float64 time (the default): the same faults on its own routes, the time as float()
    # has it, one thread or split.
    for threads in (1, 2, 7):
        assert tolvane_outcome(path, width, threads=threads, piece_bytes=piece_bytes,
                               time_dtype=np.float64) == with_time64(got, data, width)

    # incomplete="keep": the blocks before one that the end of the file cuts, on one thread and
    # split; any other fault as before.
    kept = model_kept(data, width)
    for threads in (1, 2, 7):
        assert kept_outcome(path, width, threads=threads, piece_bytes=piece_bytes) == kept
    assert kept_outcome(path, width, threads=2, piece_bytes=piece_bytes,
                        time_dtype=np.float64) == with_time64(kept, data, width)

    # tolvane.open: its index finds the blocks whose every line ends in a line feed, which read
    # as the file cut after them reads; a head still being written is waited for.
    if failure is not None and failure.kind in HEAD_CUT:
        assert opened_outcome(path, width) == ("ok", [])
    else:
        complete = write_plot(tmp_path, complete_blocks(data), name="complete.plt")
        assert opened_outcome(path, width) == tolvane_outcome(complete, width)
        assert opened_outcome(path, width, np.float64) == tolvane_outcome(complete, width, time_dtype=np.float64)
    # The index split across threads, in pieces of a few bytes: what one thread finds.
    index_places_agree(path, width, 7, piece_bytes)

    # The fields of `chosen` and the time only: their faults, or their values. (The edits may
    # have left the file fewer parameters than were chosen from.)
    selected = {0} | chosen
    expected, _, failure = model_with_place(data, width, selected, head=True)
    try:
        got = tolvane_outcome(path, width, columns=sorted(chosen, reverse=True))
        assert tolvane_outcome(path, width, columns=sorted(chosen), threads=2,
                               piece_bytes=piece_bytes) == got
    except KeyError:
        first = data.split(b"\n", 1)[0].decode()
        assert max(chosen) >= parse_count(tokens(first)[-1])
        return
    if failure is None:
        assert got == ("ok", [expected[1][0]] + expected[1][1])
    else:
        assert got == ("FormatError", (failure.line, failure.block, failure.field))
    assert kept_outcome(path, width, columns=sorted(chosen), threads=2,
                        piece_bytes=piece_bytes) == model_kept(data, width, selected)
    assert capfd.readouterr() == ("", "")


# ---------------------------------------------------------------- files cut short

def utf8(data):
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def cut_test_file(count, width, blocks, header, tail, newline, bad_block=None, seed=None):
    """A plot file whose data lines carry `tail` after their fields (text beyond the last field
    is ignored), so that a cut can fall inside a character there; block b's header line is
    header.format(b), and block 0's is padded to 900 bytes where the header ends in "|" (a
    split read then sizes its storage for far fewer blocks than there are, and reads the rest on
    after the split). With `bad_block`, that block's first field is not a number. With `seed`,
    the values are random, of every sign and size."""
    rng = random.Random(seed)
    lines = [f"CUT {count}"] + [f"{i} P{i}" for i in range(count)]
    for b in range(blocks):
        lines.append(header.format(b).ljust(900 if b == 0 and header.endswith("|") else 0))
        fields = [(f"{rng.uniform(-10, 10) * 10.0 ** rng.randint(-40, 40):.5E}" if seed is not None
                   else f"{(b * count + i) / 7:.5E}").rjust(width)[:width] for i in range(count)]
        if b == bad_block:
            fields[0] = "1.0D+00".rjust(width)
        lines += ["".join(fields[j:j + 10]) + tail for j in range(0, count, 10)]
    return (newline.join(lines) + newline).encode()


@pytest.mark.parametrize("count, width, blocks, header, tail, newline, bad_block, step, seed", [
    (3, 12, 3, " STEP {} é", "", "\n", None, 1, None),
    (11, 15, 3, "", " ü", "\r\n", None, 1, None),
    (23, 5, 3, "H{}\u3000", "\u20ac", "\n", None, 1, None),
    (2, 12, 60, "{}|", "", "\n", None, 1, None),
    (12, 12, 4, " STEP {}", "", "\n", 1, 5, None),
    (10, 12, 5, " T", "", "\n", None, 1, 1),
    (21, 15, 4, "", "", "\r\n", None, 1, 2),
    (7, 12, 40, "{}|", "", "\n", None, 1, 3),
])
def test_a_file_cut_at_every_byte_of_its_last_blocks(tmp_path, count, width, blocks, header, tail,
                                                      newline, bad_block, step, seed):
    # The end removed at every byte offset inside the last two blocks (inside lines, fields,
    # characters, line ends), the last line with its line feed and without: incomplete="keep"
    # gives exactly the blocks whose every field reads, bit for bit those of the whole file
    # (those whose every line ends in a line feed, and the last block where only its line feed
    # is missing), and says which line the cut block's fault is on; never less than "raise"
    # gives: where that reads, "keep" gives the same, and no cut. Split into pieces of a few
    # bytes, the same, the cut in the last piece or in the blocks read on after the split. A
    # fault before the cut raises.
    data = cut_test_file(count, width, blocks, header, tail, newline, bad_block, seed)
    whole = write_plot(tmp_path, data, name="whole.plt")
    head_lines, block_lines = 1 + count, 1 + -(-count // 10)
    block_starts = [i + 1 for i, byte in enumerate(data) if byte == 0x0A][head_lines - 1::block_lines]
    if bad_block is None:
        every = tolvane_outcome(whole, width)[1]
    path = str(tmp_path / "cut.plt")
    for end in range(block_starts[-3], len(data), step):
        cut = data[:end]
        with open(path, "wb") as f:
            f.write(cut)
        expected = model_kept(cut, width)
        complete = (cut.count(b"\n") - head_lines) // block_lines
        raised = tolvane_outcome(path, width)
        if bad_block is not None:
            assert expected[0] == "FormatError" and expected[1][1] == bad_block
        else:
            # Cut after the fields of a block's last line (in the text after them, or its line
            # end): the block is whole, where what is left of that text is UTF-8.
            fields_end = next(s for s in block_starts + [len(data)] if s > end) - len(newline) - len(tail.encode())
            whole = end >= fields_end and utf8(cut[cut.rfind(b"\n") + 1:])
            assert (raised[0] == "ok") == (end in block_starts or whole), end
            kept_blocks = complete + whole
            assert expected[0] == "ok" and expected[1] == [column[:kept_blocks] for column in every]
            cut_at = end not in block_starts and raised[0] != "ok"
            assert (expected[2] is not None) == cut_at and (not cut_at or expected[2][1] == complete)
        if raised[0] == "ok":
            assert expected == ("ok", raised[1], None)
        for threads, piece_bytes in ((1, 0), (2, 37), (7, 23)):
            assert kept_outcome(path, width, threads=threads, piece_bytes=piece_bytes) == expected, end
        if end % 3 == 0:
            assert kept_outcome(path, width, columns=[count - 1], threads=2, piece_bytes=11) == \
                model_kept(cut, width, {0, count - 1})


def _kept_by(face, path, tmp_path):
    """(the frame of the blocks `face` keeps of the file with incomplete="keep", where it says the
    file is cut or None)."""
    if face == "read":
        plot = tolvane.read(path, incomplete="keep")
        return plot.to_pandas(), plot.incomplete
    if face == "read_many":
        frame = tolvane.read_many([path], incomplete="keep", threads=1).drop(columns="path")
        return frame.set_index(frame.columns[0]), frame.attrs.get("incomplete") or None
    if face in ("dask.read_many", "dask.read"):
        if os.environ.get("QUOREL_SANITIZED"):
            pytest.skip("Dask's own objects left at exit are reported by LeakSanitizer")
        pytest.importorskip("dask.dataframe")
        from tolvane import dask as tolvane_dask
        if face == "dask.read":
            return tolvane_dask.read(path, incomplete="keep").compute(scheduler="sync"), None
        frame = tolvane_dask.read_many([path], incomplete="keep").compute(scheduler="sync")
        frame = frame.drop(columns="path")
        return frame.set_index(frame.columns[0]), None
    if face == "xarray":
        if os.environ.get("QUOREL_SANITIZED"):
            pytest.skip("xarray's own objects left at exit are reported by LeakSanitizer")
        xr = pytest.importorskip("xarray")
        with xr.open_dataset(path, engine="tolvane", incomplete="keep") as dataset:
            return dataset.load().to_dataframe(), dataset.attrs.get("incomplete")
    assert face == "convert"
    from tolvane._cli.main import main

    out = tmp_path / "kept.csv"
    status = main(["convert", "--incomplete", "keep", path, str(out)])
    assert status == 0
    import pandas as pd
    # The time float64 (its shortest text read back), the other columns float32.
    frame = pd.read_csv(out, dtype=str)
    frame = frame.astype({name: np.float64 if i == 0 else np.float32 for i, name in enumerate(frame.columns)})
    return frame.set_index(frame.columns[0]), None


@pytest.mark.parametrize("face", ["read", "read_many", "dask.read_many", "dask.read", "xarray", "convert"])
def test_every_face_keeps_a_last_block_that_lacks_only_its_line_feed(tmp_path, capfd, face):
    # A writer that ends its file without a line feed: incomplete="keep" reads it whole, as
    # "raise" does, on every face, and does not call it cut; cut inside that line, it is.
    pd = pytest.importorskip("pandas")
    data = cut_test_file(3, 12, 5, " T", "", "\n", seed=7)
    whole = tolvane.read(write_plot(tmp_path, data, name="whole.plt")).to_pandas()
    for end, blocks in ((len(data) - 1, 5), (len(data) - 2, 4)):
        path = write_plot(tmp_path, data[:end], name="unended.plt")
        frame, cut = _kept_by(face, path, tmp_path)
        assert len(frame) == blocks, end
        assert bits(frame.to_numpy(np.float32).ravel()) == bits(whole.to_numpy()[:blocks].ravel()), end
        assert bits(frame.index.to_numpy(np.float64)) == bits(whole.index.to_numpy()[:blocks]), end
        if face in ("read", "read_many", "xarray"):
            assert (cut is None) == (blocks == 5), end
    out, err = capfd.readouterr()
    assert out == "" and err.count("cut inside block 4") == (face == "convert")



# ---------------------------------------------------------------- each fault once

HEAD = "T 3\nTIME\nA\nB\n"
KEEP = 'incomplete="keep" reads the blocks before it'
UNENDED = "the head is incomplete: the file ends inside this line, before its line feed (a head still being written)"
ROW = "   1.5   2.5   3.5\n"


@pytest.mark.parametrize("content, line, block, field, message", [
    ("", 1, None, None, "the head is incomplete: the file is empty (line 1 should end with the number of "
     "parameters)"),
    ("T 3", 1, None, None, UNENDED),
    ("T 3\nTIME\nSPE", 3, None, None, UNENDED),
    ("T 3\nTIME\nA\nB", 4, None, None, UNENDED),
    (b"T 3\nTIME\nA\xc3", 3, None, None, UNENDED),
    ("T x\n", 1, None, None, "line 1 should end with the number of parameters, not 'x'"),
    ("T 0\n", 1, None, None, "line 1 gives '0' parameters; there is at least one, the time"),
    (" \t\n", 1, None, None, "line 1 is blank; it should end with the number of parameters"),
    ("T 3\nTIME\nA\n", 4, None, None, "the head is incomplete: the file ends inside the parameter names, "
     "after 2 of them"),
    (HEAD + "H\n" + ROW + "H\n", 8, 1, 0, "block 1, field 0 (TIME): the file ends inside the block: " + KEEP),
    ("T 11\n" + "P\n" * 11 + "H\n" + "   1.0" * 10 + "\n", 15, 0, 10,
     "block 0, field 10 (P): the file ends inside the block: " + KEEP),
    (HEAD + "H\n   1.5   2.5\n", 6, 0, 2,
     "block 0, field 2 (B), bytes 12..18: the line is only 12 bytes long"),
    (HEAD + "H\n   1.5   2.5", 6, 0, 2,
     "block 0, field 2 (B), bytes 12..18: the line is only 12 bytes long; the file ends inside this block: " + KEEP),
    (HEAD + "H\n   1.5   2.é   3.5\n", 6, 0, 1,
     "block 0, field 1 (A), bytes 6..12: byte 12 falls inside the character 'é' (bytes 11..13)"),
    ((HEAD + "H\n" + ROW + "H\n   1.5").encode() + b"\xe9  2.5   3.5\n", 8, 1, None,
     "block 1: the line is not UTF-8 (byte 6 is 0xE9)"),
    (HEAD + "H\n   1.5         3.5\n", 6, 0, 1, "block 0, field 1 (A), bytes 6..12: the field is blank"),
    (HEAD + "H\n" + ROW + "H\n   1.5 1.0D0   3.5\n", 8, 1, 1,
     "block 1, field 1 (A), bytes 6..12: '1.0D0' is not a number"),
], ids=["empty", "line-1-unended", "name-unended", "last-name-unended", "name-unended-in-a-character",
        "count-not-a-number", "count-zero", "blank-line-1", "names-cut-short",
        "after-header", "inside-data-lines", "line-too-short", "last-line-too-short", "field-splits-char", "not-utf8",
        "field-empty", "not-a-number"])
def test_each_fault_says_where(tmp_path, capfd, content, line, block, field, message):
    path = write_plot(tmp_path, content)
    with pytest.raises(tolvane.FormatError) as info:
        tolvane.read(path, 6)
    error = info.value
    assert isinstance(error, ValueError)
    assert (error.line, error.block, error.field) == (line, block, field)
    assert error.name == (None if field is None else ["TIME", "A", "B"][field] if field < 3 else "P")
    assert str(error) == f"{path}:{line}: {message}"
    assert message.endswith(error.reason)
    if message.startswith("the head is incomplete"):
        # incomplete="keep": no block, and the names of the name lines that ended, no other.
        kept = tolvane.read(path, 6, incomplete="keep")
        ended = (content.encode() if isinstance(content, str) else content).split(b"\n")[1:-1]
        assert (len(kept), kept.names, str(kept.incomplete)) == \
            (0, tuple(line.decode() for line in ended), str(error))
    # Process pools and Dask workers send it back whole.
    again = pickle.loads(pickle.dumps(error))
    assert (type(again), str(again), again.line, again.block, again.field, again.name, again.span) == \
        (type(error), str(error), error.line, error.block, error.field, error.name, error.span)
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("written, given, hint", [
    (15, 12, "; the file reads at width 15, not 12: pass n_digits=15, or None to find it"),
    (12, 15, "; the file reads at width 12, not 15: pass n_digits=12, or None to find it"),
    (12, 13, ""),  # not a width the simulator writes: nothing to suggest
    (5, 12, ""),  # reads at neither
])
def test_a_file_read_at_the_other_width_says_so(tmp_path, capsys, written, given, hint):
    from tolvane._cli.main import main

    data = cut_test_file(3, written, 2, " T", "", "\n", seed=4)
    path = write_plot(tmp_path, data)
    with pytest.raises(tolvane.FormatError) as info:
        tolvane.read(path, given)
    error = info.value
    # The fault as it was, its place kept, and the width that reads said after it.
    assert (error.line, error.block) == (6, 0) and str(error).startswith(f"{path}:6: block 0, ")
    assert str(error).endswith(hint) and (hint or str(error).count(";") == 0)
    assert main(["convert", "--n-digits", str(given), path, str(tmp_path / "out.csv")]) == 1
    command = hint.replace(f"pass n_digits={written}, or None to find it",
                           f"pass --n-digits {written} (or leave it out to find it)")
    assert capsys.readouterr() == ("", str(error)[:len(str(error)) - len(hint)] + command + "\n")


@pytest.mark.parametrize("make, error", [
    (lambda tmp: tmp / "missing.plt", FileNotFoundError),
    (lambda tmp: tmp, IsADirectoryError),
])
def test_files_that_cannot_be_read_raise_what_open_raises(tmp_path, make, error):
    path = make(tmp_path)
    with pytest.raises(OSError) as info:
        tolvane.read(path)
    try:
        open(path, "rb").read()
    except OSError as expected:
        assert (type(info.value), info.value.errno, info.value.strerror, info.value.filename) == \
            (type(expected), expected.errno, expected.strerror, str(path))
    assert type(info.value) is error


# ---------------------------------------------------------------- the width, found

def lines_of(width, count=12, blocks=3):
    return plot_text(count, [[f"{(b * count + i) / 4:.5E}" for i in range(count)]
                             for b in range(blocks)], width)


@pytest.mark.parametrize("content, width, message", [
    (lines_of(12), 12, None),
    (lines_of(15), 15, None),
    # A fault past block 0 is the read's, not the width's.
    (lines_of(12).replace("6.25000E+00", "6.25000D+00"), None,
     "block 2, field 1 (PARAM_1), bytes 12..24: '6.25000D+00' is not a number"),
    ("T 1\nTIME\nH\n1.5\n", None,
     "block 0: reads at neither field width (at width 12, line 4: block 0, field 0 (TIME), "
     "bytes 0..12: the line is only 3 bytes long; at width 15, line 4: block 0, field 0 (TIME), "
     "bytes 0..15: the line is only 3 bytes long); pass n_digits"),
    ("T 1\nTIME\nH\n" + " " * 11 + "1.5    \n", None,
     "block 0: reads at both field widths, 12 and 15; pass n_digits"),
    ("T 1\nTIME\n", 15, None),  # no block to tell it by: an empty Plot, at the writer's width
    ("T 1\nTIME\nH\n", None, "block 0, field 0 (TIME): the file ends inside the block: " + KEEP),
], ids=["12", "15", "fault-past-block-0", "neither", "both", "no-block", "block-0-cut-short"])
def test_width_found_from_block_0(tmp_path, content, width, message):
    path = write_plot(tmp_path, content)
    if message is None:
        plot = tolvane.read(path)
        assert plot.n_digits == width
        assert bits(tolvane.read(path, time_dtype=np.float32).time) == quorel_outcome(path, width)[1][0]
        return
    with pytest.raises(tolvane.FormatError) as info:
        tolvane.read(path)
    assert str(info.value).split(": ", 1)[1] == message


# ---------------------------------------------------------------- the head's texts

def test_title_and_name_lines_trimmed_as_the_reader_trims(tmp_path):
    # The reader's whitespace, not Python's: U+3000 and U+00A0 are trimmed, U+001F (which
    # str.strip() takes for whitespace) and U+200B are not.
    first = "\u3000 DRIVE  START\u00a0run 7\x1f\t 4 \r"
    names = ["    1  TIME", "\u00a0 2  MOTOR SPEED  RPM \u3000", "", "\u200b4 X\x1f"]
    path = write_plot(tmp_path, plot_text(4, [["0.5", "1.5", "2.5", "3.5"]], 12, first_line=first,
                                          names=names))
    plot = tolvane.read(path, 12, columns=["RPM"])
    assert plot.title == "DRIVE  START\u00a0run 7\x1f"
    assert plot.name_lines == ("1  TIME", "2  MOTOR SPEED  RPM", "", "\u200b4 X\x1f")
    assert plot.names == ("TIME", "RPM", "", "X\x1f")
    again = pickle.loads(pickle.dumps(plot))
    assert (again.title, again.name_lines, again.names) == (plot.title, plot.name_lines, plot.names)
    assert list(again) == ["TIME", "RPM"] and bits(again["RPM"]) == bits(plot["RPM"])


# ---------------------------------------------------------------- columns

def test_columns_by_name_and_index(tmp_path):
    names = ["  1 TIME", "  2 SPEED", "   ", "  4 X", "  5 X"]  # a blank name, a repeated one
    path = write_plot(tmp_path, plot_text(5, [["0.5", "1.5", "bad", "3.5", "4.5"]] * 2, 12,
                                          names=names))
    plot = tolvane.read(path, 12, columns=[4, "SPEED", "SPEED"])
    assert plot.names == ("TIME", "SPEED", "", "X", "X")
    assert list(plot) == ["TIME", "SPEED", "X"] and len(plot) == 2
    assert bits(plot["SPEED"]) == bits(plot[1]) == [0x3FC00000] * 2
    assert bits(plot[4]) == [0x40900000] * 2 and bits(plot["TIME"]) == bits(plot.time)
    assert "SPEED" in plot and "" not in plot and 2 not in plot and 4 in plot and 1.0 not in plot
    # `key in plot` exactly when plot[key] gives an array: not for a name two lines share.
    assert "X" not in plot and [] not in plot
    with pytest.raises(KeyError, match="fields 3, 4"):
        plot["X"]
    with pytest.raises(KeyError, match="was not read"):
        plot[3]
    # Negative indices count from the end, as numpy's do.
    assert bits(plot[-1]) == bits(plot[4]) and bits(plot[-4]) == bits(plot["SPEED"])
    assert bits(plot[-5]) == bits(plot.time) and -1 in plot and -2 not in plot and -6 not in plot
    with pytest.raises(KeyError, match="has no parameter -6: its parameters are 0 .* or -5 to -1"):
        plot[-6]
    assert {name: bits(plot[name]) for name in plot if name in plot} == \
        {"TIME": bits(plot.time), "SPEED": bits(plot[1])}
    assert plot._ipython_key_completions_() == ["TIME", "SPEED"]
    # One array of the float64 time and the float32 values widened, as numpy makes one.
    assert plot.to_numpy().view(np.uint64).tolist() == np.array([[0.5, 1.5, 4.5]] * 2).view(np.uint64).tolist()
    assert tolvane.read(path, 12, columns=[4, 1], time_dtype=np.float32).to_numpy().view(np.uint32).tolist() == \
        [[0x3F000000, 0x3FC00000, 0x40900000]] * 2
    # Names that repeat made unique as pandas makes them.
    pd = pytest.importorskip("pandas")
    frame = tolvane.read(path, 12, columns=[1, 3, 4]).to_pandas()
    assert list(frame.columns) == ["SPEED", "X", "X.1"] and frame.index.name == "TIME"
    assert all(dtype == np.float32 for dtype in frame.dtypes)
    assert frame.index.dtype == np.float64 and isinstance(frame, pd.DataFrame)
    frame = tolvane.read(path, 12, columns=[1], time_dtype=np.float32).to_pandas()
    assert frame.index.dtype == np.float32 and frame.dtypes.tolist() == [np.float32]


@pytest.mark.parametrize("columns, message", [
    (["SPEEED"], "has no parameter named 'SPEEED'"),
    ([5], "has no parameter 5"),
    ([-1], "has no parameter -1"),
    (["X"], "'X' names several parameters"),
])
def test_unknown_columns_raise_key_error_before_any_block(tmp_path, columns, message):
    # Block 0 would fail: the KeyError comes first.
    names = ["T", "SPEED", "X", "X", "Y"]
    path = write_plot(tmp_path, plot_text(5, [["x"] * 5], 12, names=names))
    with pytest.raises(KeyError, match=message):
        tolvane.read(path, 12, columns=columns)


# ---------------------------------------------------------------- a Plot does not change

@pytest.mark.parametrize("array_of", [
    lambda plot: plot.time,
    lambda plot: plot["PARAM_3"],
    lambda plot: plot[-1],
    lambda plot: plot.to_numpy(),
    lambda plot: plot.to_numpy().T[1:, ::2],
    lambda plot: np.asarray(plot[1])[1:],
    lambda plot: pickle.loads(pickle.dumps(plot)).time,
    lambda plot: plot[1:3]["PARAM_3"],
    lambda plot: plot[::-2].to_numpy(),
    lambda plot: pickle.loads(pickle.dumps(plot[1:])).time,
], ids=["time", "by-name", "by-index", "to_numpy", "view-of-to_numpy", "asarray-view", "unpickled",
        "slice", "reversed-slice", "unpickled-slice"])
def test_every_array_handed_out_is_read_only(tmp_path, array_of):
    plot = tolvane.read(write_plot(tmp_path, lines_of(12)))
    text, values = repr(plot), plot.to_numpy().view(np.uint64).tolist()
    pd = pytest.importorskip("pandas")
    frame = plot.to_pandas()
    array = array_of(plot)
    assert not array.flags.writeable
    with pytest.raises(ValueError, match="read-only"):
        array[(0,) * array.ndim] = 100.0
    with pytest.raises(ValueError):  # nor can it, or any view of it, be made writable again
        array.setflags(write=True)
    # What the values' writer would have changed: the repr, the tables made earlier.
    assert repr(plot) == text and plot.to_numpy().view(np.uint64).tolist() == values
    assert isinstance(frame.loc[frame.index[0]], pd.Series)


# ---------------------------------------------------------------- arguments

@pytest.mark.parametrize("kwargs, error, message", [
    ({"n_digits": 0}, ValueError, "n_digits must be from 1"),
    ({"n_digits": 2**64}, ValueError, "n_digits must be from 1"),
    ({"n_digits": 12.0}, TypeError, "cannot be interpreted as an integer"),
    ({"n_digits": True}, TypeError, "not bool"),
    ({"columns": "SPEED"}, TypeError, "not a single str"),
    ({"columns": [1.0]}, TypeError, "a column is a name"),
    ({"path": 3}, TypeError, r"expected a path \(str, bytes or os.PathLike\), a URL or a binary file object, not int"),
    ({"path": "a\0b"}, ValueError, "embedded null byte"),
])
def test_bad_arguments_raise_before_the_file_is_opened(tmp_path, kwargs, error, message):
    call = {"path": tmp_path / "missing.plt", **kwargs}
    with pytest.raises(error, match=message):
        tolvane.read(call.pop("path"), **call)


@pytest.mark.parametrize("as_given", [str, os.fsencode, pathlib.Path])
def test_path_as_str_bytes_or_pathlike(tmp_path, as_given):
    path = write_plot(tmp_path, lines_of(12))
    plot = tolvane.read(as_given(path))
    assert plot.path == path and plot.n_digits == 12
    assert repr(plot) == f"<tolvane.Plot {path!r}: 12 parameters, 3 blocks, width 12, time 0.0 .. 6.0>"
    assert bits(pickle.loads(pickle.dumps(plot))[11]) == bits(plot[11])


@pytest.mark.parametrize("count, shown", [(4, [0, 1, 2, 3]), (70, [0, 1, 2, 3, 4, None, 65, 66, 67, 68, 69])])
def test_the_html_repr_lists_the_names_read_escaped(tmp_path, count, shown):
    names = ["<b>T</b>", "A&B", "", "A&B"] + [f"P{i}" for i in range(4, count)]
    lines = [f" {i + 1} {name}" if name else "  " for i, name in enumerate(names)]
    path = write_plot(tmp_path, plot_text(count, [["1"] * count], 12, names=lines), name="<x>.plt")
    plot = tolvane.read(path, 12)
    page = plot._repr_html_()
    summary = repr(plot).split(": ", 1)[1][:-1]
    assert page.startswith(f"<div><p><b>tolvane.Plot</b> <code>{html.escape(path)}</code>: {summary}</p>")
    rows = re.findall(r"<tr><td>(\d+|&#8230;)</td><td>(.*?)</td></tr>", page)
    assert [None if index == "&#8230;" else int(index) for index, _ in rows] == shown
    cells = dict(rows)
    assert cells["0"] == "<code>&lt;b&gt;T&lt;/b&gt;</code>" and cells["2"] == "<i>blank</i>"
    assert cells["1"].startswith("<code>A&amp;B</code> <small>") and cells["3"] == cells["1"]
    assert "<b>T</b>" not in page and "<x>" not in page


# ---------------------------------------------------------------- threads and descriptors

# The reader thread opens a FIFO and waits for its bytes inside tolvane.read; this thread can
# write them only if the read has let go of the GIL. A read that held it would hang here, and
# the parent's timeout ends the child.
FIFO_CHILD = r'''
import json, os, sys, threading
import tolvane
out, fifo, data = sys.argv[1], sys.argv[2], open(sys.argv[3], "rb").read()
got = {}
reader = threading.Thread(target=lambda: got.setdefault("plot", tolvane.read(fifo)))
reader.start()
with open(fifo, "wb") as f:
    for at in range(0, len(data), 4096):
        f.write(data[at:at + 4096])
reader.join()
json.dump([got["plot"].n_digits, len(got["plot"])], open(out, "w"))
'''


def test_the_read_lets_other_threads_run(tmp_path):
    content = tmp_path / "content.plt"
    content.write_text(lines_of(15, blocks=2000))
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    res, out, err = run_child(tmp_path, FIFO_CHILD, fifo, content, timeout=60)
    assert res == [15, 2000] and (out, err) == ("", "")


def test_many_threads_read_at_once(tmp_path):
    paths = [write_plot(tmp_path, lines_of(w, count=c, blocks=50), name=f"{w}-{c}.plt")
             for w in (12, 15) for c in (1, 11, 30)]
    serial = [tolvane.read(p).to_numpy().view(np.uint32).tolist() for p in paths]
    results = {}

    def work(i):
        results[i] = tolvane.read(paths[i % len(paths)]).to_numpy().view(np.uint32).tolist()

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4 * len(paths))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(results[i] == serial[i % len(paths)] for i in range(len(threads)))


# Eight threads each read a file of its own, then, released together, work over its arrays and
# those of one Plot they share, in Python: a process that imports tolvane alone keeps the GIL
# off, so that this work runs in parallel. The process's CPU time over the Python work's wall
# time tells: under the GIL only one thread at a time runs Python, and it stays at 1 however
# the threads are scheduled; without it, it can rise towards the number of cores. A run on cores
# that other work took is tried again. The same work done on one thread gives the values.
PARALLEL_CHILD = r'''
import json, sys, threading, time
import numpy as np
import tolvane
out, shared_path, paths = sys.argv[1], sys.argv[2], sys.argv[3:]
gil_after_import = sys._is_gil_enabled()
shared = tolvane.read(shared_path)

def work(path, start=None):
    plot = tolvane.read(path, threads=1)
    if start is not None:
        start.wait()
    sums = []
    for arrays in ([plot[name] for name in plot], [shared[name] for name in shared]):
        for array in arrays:
            total = 0.0
            for x in array.tolist():
                total += x * x - x
            sums.append(total.hex())
    # The time float64 (the default), the values float32.
    return {"bits": [plot[i].view(np.uint32 if plot[i].dtype == np.float32 else np.uint64).tolist()
                     for i in range(len(plot.names))],
            "sums": sums, "gil": sys._is_gil_enabled()}

def in_parallel():
    """Every path's work on a thread of its own; the results, and CPU time / wall time from
    the threads' release (after their reads) to the last one's end."""
    start = threading.Barrier(len(paths) + 1)
    results = [None] * len(paths)
    def run(i):
        results[i] = work(paths[i], start)
    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(paths))]
    for t in threads:
        t.start()
    start.wait()
    wall, cpu = time.perf_counter(), time.process_time()
    for t in threads:
        t.join()
    return results, (time.process_time() - cpu) / (time.perf_counter() - wall)

serial = [work(path) for path in paths]
tries = []
for _ in range(5):
    parallel, cpu_per_wall = in_parallel()
    tries.append(cpu_per_wall)
    if cpu_per_wall > 1.3:
        break
json.dump({"gil_after_import": gil_after_import, "serial": serial, "parallel": parallel,
           "cpu_per_wall": tries}, open(out, "w"))
'''


@skip_unless_free_threaded
@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="one core: no two threads run at once")
def test_threads_work_in_parallel_without_the_gil(tmp_path):
    paths = [write_plot(tmp_path, lines_of((12, 15)[i % 2], count=4 + i, blocks=12000), name=f"{i}.plt")
             for i in range(8)]
    shared = write_plot(tmp_path, lines_of(12, count=3, blocks=12000), name="shared.plt")
    res, out, err = run_child(tmp_path, PARALLEL_CHILD, shared, *paths, env=gil_free_env())
    assert (out, err) == ("", "")
    assert res["gil_after_import"] is False
    assert [r["gil"] for r in res["parallel"]] == [False] * len(paths)
    for path, serial, parallel in zip(paths, res["serial"], res["parallel"]):
        assert parallel["bits"] == serial["bits"] == tolvane_outcome(path, None, time_dtype=np.float64)[1]
        assert parallel["sums"] == serial["sums"]
    # More than one thread ran Python at a time.
    assert max(res["cpu_per_wall"]) > 1.3, res["cpu_per_wall"]


# Importing quorel, which does not declare that it runs without the GIL, turns the GIL on for
# the whole process with the interpreter's RuntimeWarning, as documented; both faces then read.
QUOREL_GIL_CHILD = r'''
import json, sys, warnings
import numpy as np
import tolvane
out, path = sys.argv[1], sys.argv[2]
before = sys._is_gil_enabled()
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import quorel
time, columns = quorel.rust_read_tolvane(path, 12)
plot = tolvane.read(path, time_dtype=np.float32)  # quorel's time, to the bit
same = [np.asarray(values, dtype=np.float64).astype(np.float32).view(np.uint32).tolist()
        == plot[i].view(np.uint32).tolist() for i, values in enumerate([time] + columns)]
json.dump({"before": before, "after": sys._is_gil_enabled(),
           "warnings": [[w.category.__name__, str(w.message)] for w in caught],
           "blocks": len(time), "same": same}, open(out, "w"))
'''


@skip_unless_free_threaded
def test_importing_quorel_turns_the_gil_on_with_a_warning(tmp_path):
    path = write_plot(tmp_path, lines_of(12, count=5, blocks=40))
    res, out, err = run_child(tmp_path, QUOREL_GIL_CHILD, path, env=gil_free_env())
    assert (res["before"], res["after"]) == (False, True)
    [(category, message)] = res["warnings"]
    assert category == "RuntimeWarning"
    assert "(GIL) has been enabled to load module 'quorel'" in message, message
    assert (res["blocks"], res["same"]) == (40, [True] * 5)
    assert (out, err) == ("", "")


# With descriptor 0 closed, the plot file opens as descriptor 0, which is as good as any.
CLOSED_STDIN_CHILD = r'''
import json, os, sys
import quorel, tolvane
out, path = sys.argv[1], sys.argv[2]
os.close(0)
time, columns = quorel.rust_read_tolvane(path, 12)
plot = tolvane.read(path)
json.dump([len(time), len(columns), len(plot), list(plot.time.astype(float)) == time], open(out, "w"))
'''


def test_both_faces_read_a_file_opened_as_descriptor_0(tmp_path):
    path = write_plot(tmp_path, lines_of(12))
    res, out, err = run_child(tmp_path, CLOSED_STDIN_CHILD, path)
    assert res == [3, 11, 3, True] and (out, err) == ("", "")


MEMORY_CHILD = r'''
import json, os, resource, sys
import tolvane
out, path = sys.argv[1], sys.argv[2]
with open("/proc/self/status") as f:
    vm_kib = next(int(l.split()[1]) for l in f if l.startswith("VmSize:"))
limit = vm_kib * 1024 + 200 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    tolvane.read(path, 12)
except MemoryError as exc:
    json.dump(str(exc), open(out, "w"))
'''


@skip_without_memory_limits
def test_memory_that_cannot_be_had_raises_memory_error(tmp_path):
    path = tmp_path / "one-huge-line.plt"
    with open(path, "wb") as f:
        f.truncate(600 * 2**20)  # one line of NUL bytes, no line feed: a hole, no disk space
    res, out, err = run_child(tmp_path, MEMORY_CHILD, path)
    assert res.startswith(f"{path}: cannot allocate ") and (out, err) == ("", "")


# ---------------------------------------------------------------- many calls

# Every way a read ends, and every way a Plot is used, called over and over: a reference, an
# array, a file or an exception kept by mistake shows in the figures LEAK_MEASURE reports.
LEAK_CHILD = r'''
import io, json, os, sys
import tolvane
from tolvane._read import read_in_pieces
out, d = sys.argv[1], sys.argv[2]
p = lambda name: os.path.join(d, name)

def use(plot):
    frame = plot.to_numpy()
    return [plot.names, repr(plot).replace(d, "D"), len(plot), frame.view("u4").tolist(),
            plot["B"].view("u4").tolist(), list(plot), "B" in plot]

CASES = [
    lambda: use(tolvane.read(p("good"))),
    lambda: use(tolvane.read(p("good"), 12, columns=["B", 0])),
    lambda: use(read_in_pieces(p("good"), 12, threads=2, piece_bytes=40)),
    lambda: tolvane.read(p("missing")),
    lambda: tolvane.read(d),
    lambda: tolvane.read(p("badfield"), 12),
    lambda: read_in_pieces(p("badfield"), 12, threads=2, piece_bytes=40),
    lambda: tolvane.read(p("neither")),
    lambda: tolvane.read(p("good"), columns=["nope"]),
    lambda: tolvane.read(p("good"), 0),
    lambda: tolvane.read(3),
    lambda: tolvane.read(p("good"))["A"],
    lambda: (tolvane.write(p("written"), tolvane.read(p("good")), 12), use(tolvane.read(p("written"))))[1],
    lambda: tolvane.write(io.BytesIO(), tolvane.read(p("good")).to_pandas(), 15, title="T"),
    lambda: tolvane.write(p("no/such/folder/x.plt"), {"T": [1.0]}),
    lambda: tolvane.write(p("x.plt"), {"T": [1.0], "A B": [2.0]}),
]

seen = [set() for _ in CASES]

def call(k):
    try:
        result = CASES[k]()
    except Exception as exc:
        seen[k].add((type(exc).__name__, str(exc).replace(d, "D")))
    else:
        seen[k].add(("ok", json.dumps(result)))
'''


@skip_without_memory_limits
def test_many_calls_leave_memory_and_descriptors_flat(tmp_path):
    d = tmp_path / "files"
    d.mkdir()
    names = ["TIME", "A", "B", "A"]
    write_plot(d, plot_text(4, [["0.5", "1.5", "-2", "3"]] * 5, 12, names=names), name="good")
    write_plot(d, plot_text(4, [["0.5", "1.5", "-2", "3"]] * 3 + [["0", "1.5x", "0", "0"]], 12,
                            names=names), name="badfield")
    write_plot(d, "T 1\nTIME\nH\n1.5\n", name="neither")
    res, _, _ = run_child(tmp_path, LEAK_CHILD + LEAK_MEASURE, d, 6000, 12000, quiet=True)
    # each case ended one way on all of its calls, the way it should
    outcomes = res["outcomes"]
    assert all(len(o) == 1 for o in outcomes), outcomes
    kinds = [o[0][0] for o in outcomes]
    assert kinds == ["ok"] * 3 + ["FileNotFoundError", "IsADirectoryError"] + ["FormatError"] * 3 + \
        ["KeyError", "ValueError", "TypeError", "KeyError"] + ["ok", "ok", "FileNotFoundError", "ValueError"], outcomes
    assert outcomes[0] == outcomes[2] and outcomes[5] == outcomes[6]
    # What write wrote reads back as what it was read from.
    assert outcomes[12][0][1] == outcomes[0][0][1].replace("D/good", "D/written")
    assert_flat(res, 6000, 12000)


# ---------------------------------------------------------------- lines passed over

@pytest.mark.parametrize("seed, bad", [(1, b""), (2, b""), (3, b"\xe9"), (4, b"\xe9" + b"q" * 40)])
def test_lines_without_fields_asked_for_are_passed_over_and_checked(tmp_path, seed, bad):
    # Data lines of many lengths, some with characters beyond ASCII after their fields (and, with
    # `bad`, one byte that is not UTF-8), over several of the reader's 64 KiB reads: only the
    # time is asked for, so every other line is passed over without its fields being read. The
    # bad byte ends a line, or starts a long tail of one.
    rng = __import__("random").Random(seed)
    extras = ["", "x" * 15, "y" * 16, "z" * 63, "w" * 64, "v" * 65, "é", "\u3000" * 7, " é" * 20]
    count, blocks = 31, 1500
    lines = [f"T {count}"] + [f"P{i}" for i in range(count)]
    for b in range(blocks):
        lines.append("H" * rng.randrange(0, 70))
        for j in range(4):
            fields = 10 if j < 3 else 1
            lines.append("".join(f"{rng.randrange(99):4d}" for _ in range(fields)) + rng.choice(extras))
    data = "\n".join(lines).encode() + b"\n"
    if bad:
        at = data.index(b"\n", rng.randrange(len(data) // 2, len(data) - 200))
        data = data[:at] + bad + data[at:]
    path = write_plot(tmp_path, data)
    for selected in ({0}, {0, 30}, None):
        expected, _, failure = model_with_place(data, 4, selected)
        columns = None if selected is None else sorted(selected)
        got = tolvane_outcome(path, 4, columns=columns)
        if failure is None:
            assert got == ("ok", [expected[1][0]] + expected[1][1])
        else:
            assert got == ("FormatError", (failure.line, failure.block, failure.field))
        assert tolvane_outcome(path, 4, columns=columns, threads=3, piece_bytes=4093) == got


# Blocks of 15 bytes (a 1-byte header line, a 12-byte field): pieces of 150 bytes end exactly
# where a block ends, those of 149 and 151 a byte before and after; those of 600,000 bytes take
# several reads each, whose line feeds are counted read by read. Lines of 16 bytes put a line
# feed at the same place of every 16 bytes, the most a vector counter takes in a round (one at
# a time, it would overflow after 255 rounds of 64 bytes); those pieces' reads end 0, 1 and 14
# bytes past a 16-byte step, and 0, 1 and 33 past a 64-byte one. Large enough that every thread
# has pieces to read at once (under ThreadSanitizer, two pieces reading one block would race);
# a fault near the end.
@pytest.mark.parametrize("header, width, blocks, threads, piece_bytes", [
    *[(b"H", 12, 80000, 4, n) for n in (149, 150, 151, 1 << 16, 600_000)],
    *[(b"H" + b" " * 14, 15, 20000, 2, n) for n in (4093, 1 << 16, 100_000)],
])
def test_pieces_that_end_where_blocks_end(tmp_path, header, width, blocks, threads, piece_bytes):
    body = b"".join(header + b"\n" + ("%*.5E\n" % (width, b / 4)).encode() for b in range(blocks))
    block_bytes, field_line = len(header) + width + 2, width + 1
    bad = ("%*s\n" % (width, "1.0D+00")).encode()
    data = b"T 1\nTIME\n" + body[:-(block_bytes + field_line)] + bad + body[-block_bytes:]
    path = write_plot(tmp_path, data)
    whole = tolvane_outcome(path, width)
    assert whole == ("FormatError", (4 + 2 * (blocks - 2), blocks - 2, 0))
    assert tolvane_outcome(path, width, threads=threads, piece_bytes=piece_bytes) == whole
    good = write_plot(tmp_path, b"T 1\nTIME\n" + body, name="good.plt")
    assert tolvane_outcome(good, width, threads=threads, piece_bytes=piece_bytes) == tolvane_outcome(good, width)
    # tolvane.open's index, split the same way: what one thread finds.
    for indexed in (path, good):
        index_places_agree(indexed, width, threads, piece_bytes)


def test_storage_mapped_in_beforehand_keeps_the_values(tmp_path):
    # 500 series of 1300 blocks: each shorter than a huge page, all together longer, so that
    # the threads map the storage's huge pages in before their pieces (and while the other
    # writes into it).
    count, blocks = 500, 1300
    path = write_plot(tmp_path, plot_text(count, [[f"{(b * 7 + i) % 997}" for i in range(count)]
                                                  for b in range(blocks)], 4))
    whole = tolvane_outcome(path, 4)
    assert whole[0] == "ok" and len(whole[1][0]) == blocks
    for piece_bytes in (4093, 0):
        assert tolvane_outcome(path, 4, threads=2, piece_bytes=piece_bytes) == whole
