"""tolvane view and tolvane plot's decimated outputs from a shell: the URL printed and served
until Ctrl-C; the offline HTML's bound; the PNG of a window; their bad arguments."""

import json
import signal
import subprocess
import sys
import urllib.parse
import urllib.request

import pytest

from conftest import child_env

tolvane = pytest.importorskip("tolvane")
np = pytest.importorskip("numpy")


def tolvane_command(*args):
    return [sys.executable, "-m", "tolvane", *map(str, args)]


def long_file(tmp_path, blocks):
    n = np.arange(blocks)
    path = tmp_path / "long.plt"
    tolvane.write(str(path), {"TIME": n * 1e-3, "A": np.sin(n / 500).astype(np.float32),
                              "B": (n % 7000).astype(np.float32), "C": np.cos(n / 77).astype(np.float32)}, 12)
    return path


def test_view_prints_its_url_serves_it_and_stops_on_ctrl_c(tmp_path):
    pytest.importorskip("plotly")
    path = long_file(tmp_path, 1000)
    child = subprocess.Popen(tolvane_command("view", path, "--no-browser", "--columns", "B,C"),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env())
    try:
        url = child.stdout.readline().strip()
        parts = urllib.parse.urlsplit(url)
        assert parts.scheme == "http" and parts.hostname == "127.0.0.1" and parts.query.startswith("token=")
        with urllib.request.urlopen(f"http://127.0.0.1:{parts.port}/meta?{parts.query}", timeout=10) as answer:
            meta = json.load(answer)
        assert meta["sources"][0]["names"] == ["B", "C"] and meta["sources"][0]["blocks"] == 1000
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=20)
    finally:
        child.kill()
        child.wait()
    assert (child.returncode, out, err) == (0, "", "")


@pytest.mark.parametrize("args, message", [
    (["view"], "the following arguments are required: FILE"),
    (["view", "x.plt", "--port", "70000"], "is not a port number"),
    (["view", "-", "-"], "standard input (-) can be read once only"),
    (["plot", "x.plt", "--time", "2,1"], "T0 <= T1"),
    (["plot", "x.plt", "--time", "1"], "is not two times T0,T1"),
])
def test_bad_arguments_exit_2(tmp_path, args, message):
    proc = subprocess.run(tolvane_command(*args), capture_output=True, text=True, cwd=tmp_path,
                          env=child_env(), timeout=60)
    assert proc.returncode == 2 and message in proc.stderr and proc.stdout == ""


def test_plot_to_html_stays_bounded_and_holds_the_signals(tmp_path):
    pytest.importorskip("plotly")
    path = long_file(tmp_path, 400_000)  # more than the samples the file may hold: levels
    proc = subprocess.run(tolvane_command("plot", path, "-o", "long.html"), capture_output=True, text=True,
                          cwd=tmp_path, env=child_env(), timeout=300)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")
    page = (tmp_path / "long.html").read_text()
    from tolvane._view.offline import DATA_BYTES
    assert len(page) < 10_000_000 and page.count("<script") == 3  # plotly.js, the data, the page's
    data = json.loads(page.split('<script id="tolvane-data" type="application/json">')[1].split("</script>")[0])
    source = data["sources"][0]
    assert source["names"] == ["A", "B", "C"] and source["blocks"] == 400_000 and "raw" not in source
    assert sum(len(t) for level in source["levels"] for key in ("min", "max", "tmin", "tmax")
               for t in level[key]) * 3 / 4 <= DATA_BYTES
    coarsest = source["levels"][-1]
    assert coarsest["count"] <= 512
    # Each bin's extremes are the file's: over the coarsest level, B's are 0 and 6999.
    import base64
    low = np.frombuffer(base64.b64decode(coarsest["min"][1]), "<f4")
    high = np.frombuffer(base64.b64decode(coarsest["max"][1]), "<f4")
    assert (low.min(), high.max()) == (0, 6999)


def test_plot_draws_a_window(tmp_path):
    pytest.importorskip("matplotlib")
    path = long_file(tmp_path, 5000)
    for name, window in (("all.png", []), ("part.png", ["--time", "1.5,2.5"])):
        proc = subprocess.run(tolvane_command("plot", path, "-o", name, *window), capture_output=True,
                              text=True, cwd=tmp_path, env=child_env(), timeout=120)
        assert (proc.returncode, proc.stderr) == (0, "")
    assert (tmp_path / "all.png").read_bytes() != (tmp_path / "part.png").read_bytes()
