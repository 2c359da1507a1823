"""tolvane.view's page in a real browser (headless Chromium): it draws every panel with no
console error; a zoom by drag or by wheel fetches the window shown at the plot's width, and
each pixel column's points include its samples' true minimum and maximum; a file another
process appends to is followed."""

import json
import os
import subprocess
import sys
import time

import pytest

from browser import assert_columns_hold_extremes, chromium, console_errors, wait_for
from conftest import child_env

tolvane = pytest.importorskip("tolvane")
np = pytest.importorskip("numpy")
pytest.importorskip("plotly")

BLOCKS = 300_000  # more than a window read whole: the pyramid's bins answer the first picture

STATE = """const gd = document.getElementById('plot'), s = window.tolvaneView;
return {range: gd._fullLayout.xaxis.range, width: gd._fullLayout._size.w, fetched: s.fetched,
        answered: s.answered, errors: s.errors,
        traces: gd.data.filter(t => t.meta.band === undefined).map(t => ({name: t.meta.name, source: t.meta.source, x: Array.from(t.x), y: Array.from(t.y)}))};"""


@pytest.fixture(scope="module")
def driver():
    browser = chromium()
    yield browser
    browser.quit()


@pytest.fixture(scope="module")
def long_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("view") / "long.plt"
    rng = np.random.default_rng(11)
    n = np.arange(BLOCKS)
    data = {"TIME": n * 1e-4,
            "SPEED": (np.sin(n / 5000) * 1e3 + rng.standard_normal(BLOCKS)).astype(np.float32),
            "TORQUE": np.where(n % 40000 < 20000, 1.0, -1.0).astype(np.float32) + rng.standard_normal(BLOCKS).astype(np.float32) * 0.01,
            "RAMP": n.astype(np.float32)}
    data["TORQUE"][123457] = 50.0  # a spike of one sample, which every zoom must keep
    tolvane.write(str(path), data, 12)
    # A second run of the sweep, overlaid.
    second = {"TIME": data["TIME"], "SPEED": data["SPEED"] * 0.5, "TORQUE": data["TORQUE"] + 10, "RAMP": data["RAMP"] / 2}
    tolvane.write(str(path.with_name("long_2.plt")), second, 12)
    return path


def settled(driver, answered):
    """The page's state once a newer answer than `answered` is drawn."""
    wait_for(driver, f"return window.tolvaneView.answered > {answered}")
    return driver.execute_script(STATE)


def check_window(state, plot):
    t0, t1 = state["range"]
    width = round(state["width"])
    for fetched in state["fetched"]:
        # The window fetched is the one shown, at the plot's width in pixels.
        assert (fetched["t0"], fetched["t1"], fetched["width"]) == (t0, t1, width)
    times = np.asarray(plot.time, dtype=np.float64)
    checked = 0
    for trace in state["traces"]:
        if trace["source"] != 0:
            continue
        checked += assert_columns_hold_extremes(times, plot[trace["name"]], trace["x"], trace["y"], t0, t1, width)
    return checked


def test_every_panel_draws_and_zooms_fetch_the_window_shown(driver, long_file, tmp_path):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
    from selenium.webdriver.common.by import By

    plot = tolvane.read(str(long_file))
    # The first run is the reference of both: the second run's points are outside its band.
    with tolvane.view(str(long_file), str(long_file.with_name("long_2.plt")), reference=str(long_file)) as view:
        driver.get(view.url)
        state = settled(driver, 0)
        assert state["errors"] == [] and console_errors(driver) == []
        assert not any(f["raw"] for f in state["fetched"] if f["source"] == 0)
        assert check_window(state, plot) > 100
        # Every panel has drawn its lines: in the screenshot, each panel's box holds pixels of
        # its lines' colour.
        shot = tmp_path / "view.png"
        driver.save_screenshot(str(shot))
        if os.environ.get("TOLVANE_VIEW_SCREENSHOT"):
            driver.save_screenshot(os.environ["TOLVANE_VIEW_SCREENSHOT"])
        image = pytest.importorskip("PIL.Image").open(shot).convert("RGB")
        boxes = driver.execute_script("""const gd = document.getElementById('plot'), b = gd.getBoundingClientRect();
            return Object.keys(gd._fullLayout).filter(k => /^yaxis\\d*$/.test(k)).map(k => {
              const a = gd._fullLayout[k];
              return [b.left + gd._fullLayout._size.l, b.top + a._offset, gd._fullLayout._size.w, a._length]; });""")
        assert len(boxes) == 3
        pixels = np.asarray(image).astype(int)
        for left, top, width, height in boxes:
            box = pixels[int(top):int(top + height), int(left):int(left + width)]
            # Each run's line, across the whole panel: the first in blue (#1f77b4), the second in red.
            for hue in (box[..., 2] - box[..., 0], box[..., 0] - box[..., 2]):
                assert (hue > 40).any(axis=0).mean() > 0.95

        # Zoom by a drag of a box across the top panel, as a user's mouse would.
        layer = driver.find_element(By.CSS_SELECTOR, ".draglayer .xy .nsewdrag")
        answered = state["answered"]
        ActionChains(driver).move_to_element_with_offset(layer, -200, 0).click_and_hold() \
            .move_by_offset(150, 2).release().perform()
        state = settled(driver, answered)
        assert state["range"][1] - state["range"][0] < 0.5 * plot.time[-1]
        assert check_window(state, plot) > 100
        # By the wheel; then by the keys, into a window of few samples per pixel, then of raw
        # samples.
        answered, before = state["answered"], state["range"]
        ActionChains(driver).scroll_from_origin(ScrollOrigin.from_element(layer), 0, -400).perform()
        state = settled(driver, answered)
        assert before[0] < state["range"][0] < state["range"][1] < before[1]
        check_window(state, plot)
        body = driver.find_element(By.TAG_NAME, "body")
        while not state["fetched"][0]["raw"]:
            answered = state["answered"]
            body.send_keys("+")
            state = settled(driver, answered)
            check_window(state, plot)
        answered = state["answered"]
        body.send_keys("r")  # reset: the whole file again
        state = settled(driver, answered)
        assert state["range"] == [0, float(plot.time[-1])]
        assert console_errors(driver) == [] and state["errors"] == [] and view.errors == []


def test_a_file_another_process_appends_to_is_followed(driver, tmp_path):
    blocks = 4000
    times = np.arange(blocks) * 1e-3
    whole = tmp_path / "whole.plt"
    tolvane.write(str(whole), {"TIME": times, "V": np.sin(times * 20).astype(np.float32)}, 12)
    text = whole.read_bytes()
    head = tmp_path / "head.plt"
    tolvane.write(str(head), {"TIME": times[:1000], "V": np.sin(times[:1000] * 20).astype(np.float32)}, 12)
    start = len(head.read_bytes())
    assert text.startswith(head.read_bytes())
    path = tmp_path / "growing.plt"
    path.write_bytes(text[:start])
    writer = ("import sys, time\n"
              "text = open(sys.argv[1], 'rb').read()[int(sys.argv[2]):]\n"
              "with open(sys.argv[3], 'ab') as out:\n"
              "    for k in range(4):\n"
              "        time.sleep(0.3)\n"
              "        out.write(text[k * len(text) // 4:(k + 1) * len(text) // 4]); out.flush()\n")
    with tolvane.view(str(path), follow=True) as view:
        driver.get(view.url)
        state = settled(driver, 0)
        assert state["range"][1] == pytest.approx(times[999], rel=1e-6)
        child = subprocess.run([sys.executable, "-c", writer, str(whole), str(start), str(path)],
                               env=child_env(), timeout=60)
        assert child.returncode == 0
        # The view showed the end: it keeps showing it, the whole file now.
        end = float(tolvane.read(str(whole), 12).time[-1])  # the time as read
        wait_for(driver, f"return window.tolvaneView.range[1] >= {end} && window.tolvaneView.fetched.length"
                         f" && window.tolvaneView.fetched[0].t1 >= {end}")
        state = driver.execute_script(STATE)
        last, grown = state["traces"][0], tolvane.read(str(path))
        assert len(grown) == blocks
        assert (last["x"][-1], last["y"][-1]) == (grown.time[-1], grown["V"][-1])
        assert console_errors(driver) == [] and view.errors == []


def test_the_offline_html_zooms_with_the_network_off(driver, long_file, tmp_path):
    out = tmp_path / "long.html"
    proc = subprocess.run([sys.executable, "-m", "tolvane", "plot", str(long_file), "-o", str(out)],
                          capture_output=True, text=True, env=child_env(), timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert out.stat().st_size < 10_000_000
    # The earlier tests' pages go first (a page that follows a file polls its server until it
    # is left), then what they asked for is drained from the log.
    driver.get("about:blank")
    driver.get_log("performance")
    driver.execute_cdp_cmd("Network.enable", {})
    driver.execute_cdp_cmd("Network.emulateNetworkConditions", {"offline": True, "latency": 0,
                                                                "downloadThroughput": 0, "uploadThroughput": 0})
    try:
        driver.get(out.as_uri())
        state = settled(driver, 0)
        assert [t["name"] for t in state["traces"]] == ["SPEED", "TORQUE", "RAMP"]
        assert all(len(t["x"]) > 100 for t in state["traces"])
        body = driver.find_element("tag name", "body")
        for _ in range(3):
            answered, before = state["answered"], state["range"]
            body.send_keys("+")
            state = settled(driver, answered)
            assert before[0] < state["range"][0] < state["range"][1] < before[1]
            assert all(len(t["x"]) > 10 for t in state["traces"])
        # The spike of one sample is drawn at every zoom that holds it.
        assert 50.0 in state["traces"][1]["y"] or not (state["range"][0] <= 12.3457 <= state["range"][1])
        requests = [json.loads(entry["message"])["message"] for entry in driver.get_log("performance")]
        urls = [m["params"]["request"]["url"] for m in requests if m["method"] == "Network.requestWillBeSent"]
        assert urls and all(u.startswith(("file:", "data:")) for u in urls), urls
        assert console_errors(driver) == [] and state["errors"] == []
    finally:
        driver.execute_cdp_cmd("Network.emulateNetworkConditions", {"offline": False, "latency": 0,
                                                                    "downloadThroughput": -1, "uploadThroughput": -1})
