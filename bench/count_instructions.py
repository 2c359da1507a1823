"""Instructions per value that quorel spends beyond the FLOOR, and tolvane.read beyond the reader
core on its own, counted by callgrind.

Instruction counts do not depend on how busy the machine is, so this gives the same figures on
a shared machine run after run. For each file, a child interpreter under
``valgrind --tool=callgrind`` reads it once, and another reads it three times; the difference
over two is the cost of one read, free of the interpreter's start-up, the imports and the
preparation. The FLOOR is counted the same way: reading the file's bytes, then building the
same lists of floats from binary32 arrays prepared before the first read. The table gives both
per value, the difference (what parsing costs beyond the FLOOR), and the instructions inside
the reader core (``PlotFileReader``'s constructor and ``read_all``, collected only while they
run) when the module carries its symbols (a cmake build, not a stripped wheel).

A second table does the same for tolvane.read, all columns and three (the time, the parameter
in the middle and the last): the instructions of a whole read (arguments, names, arrays, Plot,
and dropping the previous result), and those of the reader core on its own making the same read
(``core_bench_read`` and ``core_bench_free`` of bench/core_bench.cpp, built by bench/build_core_bench.sh with
the core's Release flags, loaded with ctypes; collected only while they run). tolvane's module is
stripped by nanobind in Release builds, so its core is counted in that library instead: the same
sources and flags. The ratio is the goal's "tolvane.read <= 1.25 x the core's own"; the kernel's
work (reads, page faults) is not in the counts.

    python3 bench/count_instructions.py                       # the installed quorel and tolvane
    python3 bench/count_instructions.py --build-dir build/rel # modules built with cmake
    python3 bench/count_instructions.py --size-mb 100 --files 500/12 --only tolvane

Needs valgrind (Debian: ``apt-get install valgrind``) and numpy for generating the files
quickly (without it the generator's pure-Python path is used).
"""
from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import core_bench  # noqa: E402
import gen_plot  # noqa: E402
import readers  # noqa: E402

# (parameters, width): the shapes of the goal, 1 MB each.
FILES = [(500, 12), (11, 15), (11, 12), (500, 15)]
SIZE_MB = 1.0
GOAL_BEYOND_FLOOR = 50
GOAL_TOLVANE_VS_CORE = 1.25
# The reader core's steps in quorel's read as callgrind names them: opening the file, then the
# whole read. Neither calls the other, so toggling collection on each collects both (a split-off
# cold clone is named otherwise, so that collection stays on while it runs).
QUOREL_CORE = ("quorel::PlotFileReader::PlotFileReader(std::basic_string_view<char, std::char_traits<char> >)",
               "quorel::PlotFileReader::read_all(unsigned long)")
# The core on its own, in bench/core_bench.cpp: the read (its values freed outside, as tolvane's
# arrays are dropped outside the counted calls).
CORE_BENCH = ("core_bench_read",)

CHILD = r'''
import sys
kind, path, reps, bench_dir, build_dir, width = sys.argv[1:7]
sys.path[:0] = [p for p in (bench_dir, build_dir) if p]
import readers
reps, width = int(reps), int(width)
if kind == "quorel":
    import quorel
    read = lambda: quorel.rust_read_tolvane(path, width)
else:
    arrays = readers.floor_load(path + ".floor")
    read = lambda: readers.read_floor(path, 0, arrays)
result = None
for _ in range(reps):
    result = None
    result = read()
'''

# tolvane's and the core's reads, each made once unseen and then `reps` times with callgrind
# collecting only inside them: tolvane.read through core_collect (the whole call, from Python),
# the core in core_bench_read; both on one thread. Each read starts after a full garbage
# collection, so that the collections that run inside it are the same from read to read;
# results are dropped outside.
COLLECTED_CHILD = r'''
import gc, sys
kind, path, reps, bench_dir, build_dir, width = sys.argv[1:7]
sys.path[:0] = [p for p in (bench_dir, build_dir) if p]
import core_bench, readers
reps, width = int(reps), int(width)
lib = core_bench.load(rebuild=False)
count = readers.parameter_count(path)
if kind.startswith("tolvane"):
    import inspect, tolvane
    columns = None if kind == "tolvane" else readers.three_columns(count)
    # One thread where tolvane.read can split a file: collection is switched on in this thread.
    one = {"threads": 1} if "threads" in inspect.signature(tolvane.read).parameters else {}
    read = lambda: tolvane.read(path, width, columns=columns, **one)
elif kind.startswith("core"):
    fields = None if kind == "core" else readers.three_fields(count)
    read = lambda: lib.read(path, width, fields, threads=1)
else:  # nothing: what a call through core_collect costs by itself
    read = lambda: 0
result = read()
done = 0
def step():
    global result, done
    result = read()
    done += 1
step_c = core_bench.STEP(step)
for _ in range(reps):
    result = None
    gc.collect()
    if kind.startswith("core"):
        step()
    else:
        lib.collect(step_c)
if done != reps:
    sys.exit("a read failed")
'''


def callgrind(kind, path, width, reps, build_dir, out_dir, only=None, child=CHILD):
    """Instructions of a child that makes `reps` reads; with `only`, just those executed inside
    the functions it names (callgrind's --toggle-collect, which is exact where inlined code and
    split-off cold parts confuse the inclusive figures of callgrind_annotate)."""
    out = os.path.join(out_dir, f"cg.{kind}.{reps}.{os.path.basename(path)}")
    env = os.environ.copy()
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env["PYTHONHASHSEED"] = "0"  # the same dictionary layouts, so the same counts, run after run
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--dump-instr=no"]
    cmd += [f"--toggle-collect={name}" for name in only or ()]
    cmd += [sys.executable, "-c", child, kind, path, str(reps), HERE, build_dir or "", str(width)]
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise RuntimeError(f"callgrind run failed:\n{proc.stderr[-3000:]}")
    os.remove(out)
    return int(re.search(r"Collected : (\d+)", proc.stderr)[1])


def per_read(kind, path, width, build_dir, out_dir, only=None):
    one = callgrind(kind, path, width, 1, build_dir, out_dir, only)
    three = callgrind(kind, path, width, 3, build_dir, out_dir, only)
    return (three - one) / 2


COLLECTED_READS = 2


def per_collected_read(kind, path, width, build_dir, out_dir, reads=COLLECTED_READS):
    """Instructions of one read collected inside it alone (COLLECTED_CHILD): tolvane.read whole
    ("tolvane", "tolvane3"), the core's ("core", "core3"), or the bare call ("empty")."""
    only = CORE_BENCH if kind.startswith("core") else ("core_bench_collect",)
    total = callgrind(kind, path, width, reads, build_dir, out_dir, only, COLLECTED_CHILD)
    # The core's first read, made to warm up as tolvane's is, runs in core_bench_read as well.
    return total / (reads + 1 if kind.startswith("core") else reads)


def label(size_mb, params, width):
    return f"{size_mb:g} MB, {params} par, w{width}"


def count_quorel(files, size_mb, build_dir, cache_dir, out_dir):
    import quorel
    print(f"quorel: {quorel.__file__}", file=sys.stderr)
    rows = []
    for params, width in files:
        path = gen_plot.cached_plot(params, width, size_mb, cache_dir=cache_dir)
        time, columns = quorel.rust_read_tolvane(path, width)
        values = len(time) * (1 + len(columns))
        if not os.path.exists(path + ".floor"):
            readers.floor_save(readers.floor_prepare(time, columns), path + ".floor")
        del time, columns
        print(f"counting quorel on {os.path.basename(path)} ...", file=sys.stderr)
        reader = per_read("quorel", path, width, build_dir, out_dir)
        floor = per_read("floor", path, width, build_dir, out_dir)
        # Zero when the module carries no symbols (a stripped wheel).
        inside = per_read("quorel", path, width, build_dir, out_dir, only=QUOREL_CORE) or None
        rows.append((label(size_mb, params, width), values, reader / values, floor / values,
                     (reader - floor) / values, None if inside is None else inside / values))
    print(f"| file | values | quorel instr/value | FLOOR instr/value | beyond FLOOR "
          f"(goal <= {GOAL_BEYOND_FLOOR}) | in the core |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, values, reader, floor, beyond, inside in rows:
        inside_text = "-" if inside is None else f"{inside:.1f}"
        print(f"| {name} | {values} | {reader:.1f} | {floor:.1f} | {beyond:.1f} | {inside_text} |")
    print()


def count_tolvane(files, size_mb, build_dir, cache_dir, out_dir, reads):
    import tolvane
    print(f"tolvane: {tolvane.__file__}", file=sys.stderr)
    core_bench.load()  # built here where missing or stale; the children load it as it is
    rows = []
    for params, width in files:
        path = gen_plot.cached_plot(params, width, size_mb, cache_dir=cache_dir)
        blocks = len(tolvane.read(path, width))
        print(f"counting tolvane on {os.path.basename(path)} ...", file=sys.stderr)
        # What calling a Python function through core_collect costs, taken off tolvane's counts.
        bare = per_collected_read("empty", path, width, build_dir, out_dir, reads)
        for kind, core_kind, fields in (("tolvane", "core", params),
                                        ("tolvane3", "core3", len(readers.three_fields(params)))):
            whole = per_collected_read(kind, path, width, build_dir, out_dir, reads) - bare
            core = per_collected_read(core_kind, path, width, build_dir, out_dir, reads)
            rows.append((label(size_mb, params, width), "all" if kind == "tolvane" else "3",
                         blocks * fields, whole, core))
    print(f"| file | columns | values | tolvane.read instr | core instr | tolvane instr/value "
          f"| core instr/value | beyond the core | tolvane / core (goal <= {GOAL_TOLVANE_VS_CORE}) |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for name, columns, values, whole, core in rows:
        verdict = "PASS" if whole <= GOAL_TOLVANE_VS_CORE * core else "FAIL"
        print(f"| {name} | {columns} | {values} | {whole:.0f} | {core:.0f} | {whole / values:.1f} "
              f"| {core / values:.1f} | {100 * (whole - core) / core:.1f} % | {whole / core:.3f} {verdict} |")
    print()


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build-dir", default=None, help="directory holding built quorel and tolvane modules")
    ap.add_argument("--cache-dir", default=None, help="where generated files are kept")
    ap.add_argument("--files", default=",".join(f"{p}/{w}" for p, w in FILES),
                    help="PARAMETERS/WIDTH of each file, comma separated (default: %(default)s)")
    ap.add_argument("--size-mb", type=float, default=SIZE_MB,
                    help="size of the files in MB (default: %(default)s)")
    ap.add_argument("--reads", type=int, default=COLLECTED_READS,
                    help="tolvane's table: reads counted after the first (default: %(default)s; "
                         "the counts repeat exactly, so 1 will do for large files)")
    ap.add_argument("--only", choices=("quorel", "tolvane"), default=None,
                    help="count only quorel's table or only tolvane's")
    args = ap.parse_args(argv)
    files = [tuple(int(x) for x in item.split("/")) for item in args.files.split(",")]
    if shutil.which("valgrind") is None:
        sys.exit("count_instructions: valgrind is not installed")
    if args.build_dir:
        sys.path.insert(0, os.path.abspath(args.build_dir))
    build_dir = os.path.abspath(args.build_dir) if args.build_dir else None

    with tempfile.TemporaryDirectory() as out_dir:
        if args.only in (None, "quorel"):
            count_quorel(files, args.size_mb, build_dir, args.cache_dir, out_dir)
        if args.only in (None, "tolvane"):
            count_tolvane(files, args.size_mb, build_dir, args.cache_dir, out_dir, args.reads)


if __name__ == "__main__":
    main()
