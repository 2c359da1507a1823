#!/usr/bin/env python3
"""Benchmark of tolvane's view on one large plot file (by default 1 GB, 11 parameters, width 12,
made by gen_plot.py in bench/.cache/), against its goals:

- the first picture's data (the whole file at a plot's width) served within the time of
  ``tolvane.read(path)`` + 0.3 s, from the call of ``tolvane.view`` in a fresh process;
- every zoom answered within 50 ms of server time (its Server-Timing), median and 95th
  percentile over 200 random windows of every depth;
- the server's memory (its peak resident size over that of the same process before the view)
  under a quarter of the file's values (blocks x parameters x 4 bytes);
- ``tolvane plot FILE -o OUT.html`` under 10 MB;
- ``tolvane plot FILE -o OUT.png`` within the time of ``tolvane.read(path)`` + 1 s, in no more
  memory than that read.

Each process is started fresh, the file in the page cache (read once before). Prints a markdown
table; progress on standard error.

    python bench/bench_view.py [--file PATH] [--size-mb 1000] [--windows 200] [--width 1500]
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import random
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

HERE = pathlib.Path(__file__).resolve().parent

SERVER = r"""
import json, sys, time
def rss(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) * 1024
import tolvane, tolvane._view.page as page
from tolvane._cli.view import keep_memory_small
keep_memory_small()  # as the command does in its process
page.asset("plotly.min.js")  # imports done: the baseline
base = rss("VmRSS:")
start = time.time()
view = tolvane.view(sys.argv[1])
print(json.dumps({"url": view.url, "start": start, "base": base}), flush=True)
sys.stdin.readline()
print(json.dumps({"peak": rss("VmHWM:"), "base": base}), flush=True)
view.close()
"""

READ = r"""
import sys, time, tolvane
def rss(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) * 1024
base = rss("VmRSS:")
start = time.perf_counter()
plot = tolvane.read(sys.argv[1])
print(time.perf_counter() - start, rss("VmHWM:") - base, len(plot), len(plot.names))
"""

PNG = r"""
import sys, time
import matplotlib, tolvane
from matplotlib.figure import Figure
import tolvane._cli as cli
def rss(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) * 1024
base = rss("VmRSS:")
start = time.perf_counter()
status = cli.main(sys.argv[1:])
print(time.perf_counter() - start, rss("VmHWM:") - base, status)
"""


def child(script: str, *args: str) -> str:
    return subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True,
                          check=True).stdout


def get(url: str) -> "tuple[bytes, float]":
    with urllib.request.urlopen(url, timeout=60) as answer:
        timing = answer.headers.get("Server-Timing", "")
        body = answer.read()
    return body, float(timing.split("dur=")[1]) / 1000 if "dur=" in timing else float("nan")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--file", type=pathlib.Path)
    parser.add_argument("--size-mb", type=float, default=1000)
    parser.add_argument("--windows", type=int, default=200)
    parser.add_argument("--width", type=int, default=1500)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    path = args.file
    if path is None:
        path = HERE / ".cache" / f"view_{args.size_mb:g}mb_11.plt"
        if not path.exists():
            path.parent.mkdir(exist_ok=True)
            print(f"making {path}", file=sys.stderr)
            subprocess.run([sys.executable, str(HERE / "gen_plot.py"), str(path), "--params", "11",
                            "--width", "12", "--size-mb", str(args.size_mb)], check=True)
    path = path.resolve()
    with open(path, "rb") as f:  # into the page cache
        while f.read(1 << 24):
            pass
    rows = []

    reads = [child(READ, str(path)).split() for _ in range(3)]
    read_time = statistics.median(float(r[0]) for r in reads)
    read_memory = statistics.median(int(r[1]) for r in reads)
    blocks, parameters = int(reads[0][2]), int(reads[0][3])
    values = blocks * parameters * 4
    print(f"read: {read_time:.3f} s", file=sys.stderr)
    rows.append(("`tolvane.read(path)`", f"{read_time:.3f} s", "", ""))

    server = subprocess.Popen([sys.executable, "-c", SERVER, str(path)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        hello = json.loads(server.stdout.readline())
        url = urllib.parse.urlsplit(hello["url"])
        base = f"http://127.0.0.1:{url.port}"
        token = url.query
        meta = json.loads(get(f"{base}/meta?{token}")[0])
        source = meta["sources"][0]
        names = len(source["names"])
        rows_param = ",".join(map(str, range(names)))
        start, end = source["start"], source["end"]
        get(f"{base}/window?{token}&source=0&t0={start!r}&t1={end!r}&width={args.width}&rows={rows_param}")
        first = time.time() - hello["start"]
        goal = read_time + 0.3
        rows.append(("first picture's data, from `tolvane.view(path)`", f"{first:.3f} s", f"<= {goal:.3f} s",
                     "PASS" if first <= goal else "FAIL"))
        print(f"first picture: {first:.3f} s", file=sys.stderr)
        rng = random.Random(args.seed)
        times = []
        for _ in range(args.windows):
            # Every depth: the window's share of the file spread over ten decades.
            span = (end - start) * 10 ** rng.uniform(-6, 0)
            t0 = rng.uniform(start, end - span)
            _, took = get(f"{base}/window?{token}&source=0&t0={t0!r}&t1={t0 + span!r}&width={args.width}"
                          f"&rows={rows_param}")
            times.append(took)
        times.sort()
        median, p95 = statistics.median(times), times[int(0.95 * len(times)) - 1]
        for label, value in (("median", median), ("95th percentile", p95)):
            rows.append((f"a zoom's server time, {label} of {args.windows} ({names} signals, {args.width} px)",
                         f"{value * 1000:.1f} ms", "<= 50 ms", "PASS" if value <= 0.05 else "FAIL"))
        server.stdin.write("\n")
        server.stdin.flush()
        memory = json.loads(server.stdout.readline())
        grown = memory["peak"] - memory["base"]
        rows.append(("server's peak memory over its start", f"{grown / 1e6:.0f} MB ({grown / values:.1%} of the values)",
                     f"<= {values / 4e6:.0f} MB (25 %)", "PASS" if grown <= values / 4 else "FAIL"))
    finally:
        server.kill()
        server.wait()

    with tempfile.TemporaryDirectory() as scratch:
        out = pathlib.Path(scratch) / "view.html"
        started = time.perf_counter()
        subprocess.run([sys.executable, "-m", "tolvane", "plot", str(path), "-o", str(out)], check=True)
        took = time.perf_counter() - started
        size = out.stat().st_size
        rows.append(("`tolvane plot FILE -o OUT.html`: size", f"{size / 1e6:.2f} MB ({took:.1f} s)", "< 10 MB",
                     "PASS" if size < 10e6 else "FAIL"))
        png = pathlib.Path(scratch) / "view.png"
        took, memory, status = child(PNG, "plot", str(path), "-o", str(png)).split()
        rows.append(("`tolvane plot FILE -o OUT.png`: time", f"{float(took):.3f} s", f"<= {read_time + 1:.3f} s",
                     "PASS" if float(took) <= read_time + 1 else "FAIL"))
        rows.append(("`tolvane plot FILE -o OUT.png`: peak memory", f"{int(memory) / 1e6:.0f} MB",
                     f"<= {read_memory / 1e6:.0f} MB (the read's)", "PASS" if int(memory) <= read_memory else "FAIL"))

    print(f"{path.name}: {os.path.getsize(path) / 1e6:.0f} MB, {blocks} blocks, {parameters} parameters, "
          f"values {values / 1e6:.0f} MB; load average {os.getloadavg()[0]:.2f}\n")
    print("| measure | figure | goal | verdict |\n|---|---:|---:|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
