"""Instructions per value that quorel spends beyond the FLOOR, counted by callgrind.

Instruction counts do not depend on how busy the machine is, so this gives the same figures on
a shared machine run after run. For each file, a child interpreter under
``valgrind --tool=callgrind`` reads it once, and another reads it three times; the difference
over two is the cost of one read, free of the interpreter's start-up, the imports and the
preparation. The FLOOR is counted the same way: reading the file's bytes, then building the
same lists of floats from binary32 arrays prepared before the first read. The table gives both
per value, the difference (what parsing costs beyond the FLOOR), and the instructions inside
``read_plot_file`` itself (collected only while it runs) when the module carries its symbols
(a cmake build, not a stripped wheel).

    python3 bench/count_instructions.py                       # the installed quorel
    python3 bench/count_instructions.py --build-dir build/rel # a module built with cmake

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

import gen_plot  # noqa: E402
import readers  # noqa: E402

# (parameters, width): the shapes of the goal, 1 MB each.
FILES = [(500, 12), (11, 15), (11, 12), (500, 15)]
SIZE_MB = 1.0
GOAL_BEYOND_FLOOR = 50
# The reader's entry point as callgrind names it (its split-off cold part is named otherwise, so
# that collection stays on while it runs).
READ_PLOT_FILE = "quorel::read_plot_file(std::basic_string_view<char, std::char_traits<char> >, unsigned long)"

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


def callgrind(kind, path, width, reps, build_dir, out_dir, only=None):
    """Instructions of a child that makes `reps` reads; with `only`, just those executed inside
    the functions it names (callgrind's --toggle-collect, which is exact where inlined code and
    split-off cold parts confuse the inclusive figures of callgrind_annotate)."""
    out = os.path.join(out_dir, f"cg.{kind}.{reps}.{os.path.basename(path)}")
    env = os.environ.copy()
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env["PYTHONHASHSEED"] = "0"  # the same dictionary layouts, so the same counts, run after run
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--dump-instr=no"]
    if only:
        cmd.append(f"--toggle-collect={only}")
    cmd += [sys.executable, "-c", CHILD, kind, path, str(reps), HERE, build_dir or "", str(width)]
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise RuntimeError(f"callgrind run failed:\n{proc.stderr[-3000:]}")
    os.remove(out)
    return int(re.search(r"Collected : (\d+)", proc.stderr)[1])


def per_read(kind, path, width, build_dir, out_dir, only=None):
    one = callgrind(kind, path, width, 1, build_dir, out_dir, only)
    three = callgrind(kind, path, width, 3, build_dir, out_dir, only)
    return (three - one) / 2


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build-dir", default=None, help="directory holding a built quorel module")
    ap.add_argument("--cache-dir", default=None, help="where generated files are kept")
    ap.add_argument("--files", default=",".join(f"{p}/{w}" for p, w in FILES),
                    help="PARAMETERS/WIDTH of each 1 MB file, comma separated (default: %(default)s)")
    args = ap.parse_args(argv)
    files = [tuple(int(x) for x in item.split("/")) for item in args.files.split(",")]
    if shutil.which("valgrind") is None:
        sys.exit("count_instructions: valgrind is not installed")
    if args.build_dir:
        sys.path.insert(0, os.path.abspath(args.build_dir))
    import quorel
    print(f"quorel: {quorel.__file__}", file=sys.stderr)

    rows = []
    with tempfile.TemporaryDirectory() as out_dir:
        for params, width in files:
            path = gen_plot.cached_plot(params, width, SIZE_MB, cache_dir=args.cache_dir)
            time, columns = quorel.rust_read_tolvane(path, width)
            values = len(time) * (1 + len(columns))
            if not os.path.exists(path + ".floor"):
                readers.floor_save(readers.floor_prepare(time, columns), path + ".floor")
            print(f"counting {os.path.basename(path)} ...", file=sys.stderr)
            build_dir = os.path.abspath(args.build_dir) if args.build_dir else None
            reader = per_read("quorel", path, width, build_dir, out_dir)
            floor = per_read("floor", path, width, build_dir, out_dir)
            # Zero when the module carries no symbols (a stripped wheel).
            inside = per_read("quorel", path, width, build_dir, out_dir, only=READ_PLOT_FILE) or None
            rows.append((f"{SIZE_MB:g} MB, {params} par, w{width}", values, reader / values,
                         floor / values, (reader - floor) / values,
                         None if inside is None else inside / values))

    print(f"| file | values | quorel instr/value | FLOOR instr/value | beyond FLOOR "
          f"(goal <= {GOAL_BEYOND_FLOOR}) | in read_plot_file |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, values, reader, floor, beyond, inside in rows:
        inside_text = "-" if inside is None else f"{inside:.1f}"
        print(f"| {name} | {values} | {reader:.1f} | {floor:.1f} | {beyond:.1f} | {inside_text} |")


if __name__ == "__main__":
    main()
