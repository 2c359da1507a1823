"""The project's sample plot files: they are what examples/make_sample.py writes, the fuzzing
seeds cut from them still match them, and every signal in them is sampled finely enough to be
drawn as what it is (no band of alternating signs, no rounding noise at zero crossings)."""
import itertools
import os
import re

import pytest

import quorel
from conftest import EXAMPLES, SEEDS, child_env, run_example

WIDTHS = [12, 15]
# A signal that changes sign more often than every this many samples draws as a solid band.
MIN_SAMPLES_PER_HALF_WAVE = 8
# A non-zero value this much smaller than the signal's peak is rounding noise, not a value.
NOISE_RATIO = 1e-9


def sample(width):
    path = EXAMPLES / f"sample_w{width}.plt"
    if not path.is_file():
        pytest.skip(f"{path} is not there: these tests run in a clone of the project")
    return path


def names(path):
    lines = path.read_text(encoding="utf-8").splitlines()
    count = int(lines[0].split()[-1])
    return [line.split()[-1] for line in lines[1:count + 1]]


def test_make_sample_writes_the_committed_files(tmp_path):
    proc = run_example(tmp_path, "make_sample.py", tmp_path)
    assert proc.returncode == 0, proc.stderr
    for width in WIDTHS:
        written = (tmp_path / f"sample_w{width}.plt").read_bytes()
        assert written == sample(width).read_bytes(), f"examples/sample_w{width}.plt is stale"


@pytest.mark.parametrize("pandas", [True, False], ids=["with-pandas", "without-pandas"])
def test_demo_shows_what_tolvane_reads_from_the_samples(tmp_path, pandas):
    # The README's first command: the names and arrays from tolvane, quorel's lists the same,
    # both samples as one table, whether pandas (an extra, which that command does not
    # install) is there or not.
    env = child_env()
    if not pandas:
        (tmp_path / "blocked" / "pandas").mkdir(parents=True)
        (tmp_path / "blocked" / "pandas" / "__init__.py").write_text("raise ImportError('no pandas here')\n")
        env["PYTHONPATH"] = os.pathsep.join([str(tmp_path / "blocked"), env["PYTHONPATH"]])
    proc = run_example(tmp_path, "demo.py", env=env)
    assert proc.returncode == 0, proc.stderr
    try:
        import tolvane  # noqa: F401
    except ImportError:
        assert proc.stdout.count("11 signals besides time") == 2
        assert proc.stdout.count("tolvane needs CPython 3.10") == 2
        return
    assert proc.stdout.count("the same 11 signals besides time, bit for bit: True") == 2
    assert proc.stdout.count("names: " + ", ".join(names(sample(12)))) == 2
    assert "plot['SPEED'][:4] = array([ 0.    , 18.4138, 36.6127, 54.5891], dtype=float32)" in proc.stdout
    assert ("a broken copy: FormatError: .../broken.plt:21: block 2, field 4 (VOLTAGE), bytes 48..60: "
            "'1.87443D+02' is not a number\n") in proc.stdout
    how = "tolvane.read_many, a pandas DataFrame" if pandas else "one numpy array"
    assert re.search(f"^both samples as one table: {how}.*: 802 rows, columns path, TIME, SPEED, TORQUE, ...\n"
                     "  largest SPEED in sample_w12.plt: 1471.550049\n"
                     "  largest SPEED in sample_w15.plt: 1471.551636\n", proc.stdout, re.M), proc.stdout
    assert "needs pandas" not in proc.stdout + proc.stderr


def test_make_sweep_says_what_each_argument_is(tmp_path):
    proc = run_example(tmp_path, "make_sweep.py", "--help")
    assert proc.returncode == 0, proc.stderr
    description = proc.stdout.split("\n\n")[1]
    assert description.endswith("."), description  # a whole sentence, not its first line
    options = proc.stdout.split("\n\n", 2)[2]
    entries = re.findall(r"^  (\S.*?)(?:  +(\S.*))?$", options, re.M)
    assert [name.split()[0].rstrip(",") for name, _ in entries] == ["DIR", "-h", "--runs", "--steps", "--width"]
    assert all(text for _, text in entries), proc.stdout


def test_seeds_cut_from_the_samples_are_their_heads():
    seeds = sorted(SEEDS.glob("sample_w*"))
    assert seeds, "no seed is cut from a sample file"
    for seed in seeds:
        width = int(seed.name[len("sample_w"):len("sample_w") + 2])
        head = seed.read_bytes()[1:]
        assert sample(width).read_bytes().startswith(head), f"{seed.name} is stale"


@pytest.mark.parametrize("width", WIDTHS)
def test_every_signal_is_resolved_by_the_time_step(width):
    path = sample(width)
    time, columns = quorel.rust_read_tolvane(str(path), width)
    assert len(columns) == len(names(path)) - 1
    for name, column in zip(names(path)[1:], columns):
        assert len(column) == len(time)
        signs = [value > 0 for value in column if value != 0]
        runs = [len(list(run)) for _, run in itertools.groupby(signs)]
        # The first and last runs may be cut short by the ends of the recording.
        assert min(runs[1:-1], default=len(column)) >= MIN_SAMPLES_PER_HALF_WAVE, name
        peak = max(abs(value) for value in column)
        noise = [value for value in column if 0 < abs(value) < NOISE_RATIO * peak]
        assert not noise, (name, noise[:3])


def test_both_widths_hold_the_same_signals():
    time12, columns12 = quorel.rust_read_tolvane(str(sample(12)), 12)
    time15, columns15 = quorel.rust_read_tolvane(str(sample(15)), 15)
    assert len(time12) == len(time15)
    for a, b in zip([time12, *columns12], [time15, *columns15]):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            # 6 significant digits against 9: the width-12 value is the other one rounded.
            assert abs(x - y) <= 6e-6 * abs(y) + 1e-30, (x, y)


def test_a_long_sweep_run_keeps_every_value_in_its_field(tmp_path):
    # After about 2.7 s the decaying ERROR signal falls below 1e-99, whose exponent has three
    # digits; such values must be written as zero, not overflow the field.
    proc = run_example(tmp_path, "make_sweep.py", tmp_path, "--runs", 1, "--steps", 6000)
    assert proc.returncode == 0, proc.stderr
    time, columns = quorel.rust_read_tolvane(str(tmp_path / "run_0001.plt"), 12)
    assert len(time) == 6000 and columns[7][-1] == 0.0
