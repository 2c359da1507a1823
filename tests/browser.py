"""Headless Chromium for the view's tests: Debian's chromium and chromium-driver
(tools/install_browser.sh), driven by Selenium through /usr/bin/chromedriver, so that Selenium
Manager never fetches a browser. Skips where any is missing, and under the sanitizers, whose
LD_PRELOAD the browser must not inherit (and whose LeakSanitizer reports Selenium's threads)."""

import os
import shutil
import time

import pytest

CHROMEDRIVER = "/usr/bin/chromedriver"


def chromium():
    """A started headless Chromium (a Selenium WebDriver), or a skip saying what is missing."""
    if os.environ.get("QUOREL_SANITIZED"):
        pytest.skip("no browser under the sanitizers")
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service

    if not os.path.exists(CHROMEDRIVER) or not (shutil.which("chromium") or shutil.which("chromium-browser")):
        pytest.skip("Debian's chromium and chromium-driver are not installed (tools/install_browser.sh)")
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1400,900", "--no-first-run", "--disable-extensions",
                     "--disable-background-networking", "--disable-component-update"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    service = Service(executable_path=CHROMEDRIVER, env=env)
    return webdriver.Chrome(service=service, options=options)


def wait_for(driver, script, timeout=30.0, interval=0.05):
    """The first truthy result of `script` (JavaScript returning a value), within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = driver.execute_script(script)
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"the page never gave {script!r}")
        time.sleep(interval)


def console_errors(driver):
    return [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]


def assert_columns_hold_extremes(times, values, x, y, t0, t1, width):
    """In every pixel column of the window (t0, t1) at `width`, the points drawn (x, y) include
    the minimum and the maximum of the samples there (numpy on the file's values), and are
    samples of that column."""
    import numpy as np

    edges = t0 + (t1 - t0) * (np.arange(width + 1) / width)
    edges[-1] = t1
    blocks = np.append(np.searchsorted(times, edges[:-1], side="left"), np.searchsorted(times, t1, side="right"))
    x = np.asarray(x, dtype=np.float64)
    y = np.asarray(y, dtype=np.float32)
    checked = 0
    for k in range(width):
        if blocks[k + 1] == blocks[k]:
            continue
        there = values[blocks[k]:blocks[k + 1]]
        inside = (x >= edges[k]) & ((x < edges[k + 1]) if k < width - 1 else (x <= t1))
        drawn = set(y[inside].view(np.uint32).tolist())
        assert drawn <= set(there.view(np.uint32).tolist()), k
        assert {there.min().view(np.uint32).item(), there.max().view(np.uint32).item()} <= drawn, k
        checked += 1
    return checked
