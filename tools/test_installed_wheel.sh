#!/usr/bin/env bash
# Installs one wheel into a fresh virtual environment of the given interpreter, with pytest and
# hypothesis, and runs the whole test suite there from RUN/tests, a copy outside the source tree,
# so that the module under test is the installed one. tools/check_wheel.sh runs it on the
# system where the interpreter lives: this machine, or the Debian root.
#   [QUOREL_PIP_WHEEL=PIP.whl] bash tools/test_installed_wheel.sh PYTHON WHEEL VENV RUN
set -euo pipefail
python="$1" wheel="$2" venv="$3" run="$4"
if [[ -n "${QUOREL_PIP_WHEEL:-}" ]]; then
    # An interpreter whose ensurepip cannot run: pip installs itself from its own wheel.
    "$python" -m venv --without-pip "$venv"
    "$venv/bin/python" "$QUOREL_PIP_WHEEL/pip" install --quiet --disable-pip-version-check "$QUOREL_PIP_WHEEL"
else
    "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$wheel" "pytest>=7" "hypothesis>=6"
cd "$run"
"$venv/bin/python" - "$venv" <<'PY'
import os, sys, quorel
where = os.path.realpath(quorel.__file__)
print("  module under test:", where)
assert where.startswith(os.path.realpath(sys.argv[1]) + os.sep), "not the installed wheel"
PY
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests
