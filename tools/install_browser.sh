#!/usr/bin/env bash
# Headless Chromium and its WebDriver, from Debian's packages, for the view's browser tests
# (tests/test_view_browser.py skips where they are missing). Quick when both are there.
set -euo pipefail
if command -v chromium >/dev/null && command -v chromedriver >/dev/null; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
    echo "install_browser.sh: needs root and apt-get (Debian's chromium, chromium-driver); the browser tests will skip" >&2
    exit 0
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends chromium chromium-driver >/dev/null
