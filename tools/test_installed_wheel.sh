#!/usr/bin/env bash
# Installs one wheel into a fresh virtual environment of the given interpreter, with its
# dependencies from PyPI (numpy, for a wheel that holds tolvane), pytest, hypothesis and, unless
# QUOREL_TEST_PANDAS=0, pandas (for tolvane's Plot.to_pandas), and runs the whole test suite
# there from RUN/tests, a copy outside the source tree, so that the modules under test are the
# installed ones. On a free-threaded interpreter it first checks that a process importing
# tolvane alone runs without the GIL, and that importing quorel then turns it on with the
# interpreter's RuntimeWarning (quorel does not declare that it can run without it) and reads.
# tools/check_wheel.sh runs it on the system where the interpreter lives: this machine, or the
# Debian root. With QUOREL_TEST_SCOPE=bindings, the suite is the tests of what a wheel's build
# can get wrong (the modules, their arguments and objects, the reader's routes and its values
# against the oracles, the tables, the writer) and not those of the command, the sources, the
# sweeps and the signals, which are Python over the same modules and run in full on the wheels
# that check_wheel.sh tests whole. QUOREL_TEST_SCOPE=abi leaves out of those the tests of the
# reader's routes against their oracles, for wheels of a processor whose routes another wheel
# checks whole.
#   [QUOREL_PIP_WHEEL=PIP.whl] [QUOREL_TEST_PANDAS=0] [QUOREL_TEST_SCOPE=bindings|abi] \
#       bash tools/test_installed_wheel.sh PYTHON WHEEL VENV RUN
set -euo pipefail
python="$1" wheel="$(realpath "$2")" venv="$3" run="$4"
if [[ -n "${QUOREL_PIP_WHEEL:-}" ]]; then
    # An interpreter whose ensurepip cannot run: pip installs itself from its own wheel.
    "$python" -m venv --without-pip "$venv"
    "$venv/bin/python" "$QUOREL_PIP_WHEEL/pip" install --quiet --disable-pip-version-check "$QUOREL_PIP_WHEEL"
else
    "$python" -m venv "$venv"
fi
extras=()
# pandas serves tolvane alone, which needs CPython 3.10.
if [[ "${QUOREL_TEST_PANDAS:-1}" != 0 ]] && "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info < (3, 10))'; then
    extras+=(pandas)
fi
# numpy and pandas as published wheels only: a build from source would take an hour, and far
# longer under emulation, where it would not be what a user gets either. hypothesis too: where
# its newest release has no wheel (a free-threaded CPython), it would build its native part with
# Rust's cargo; an earlier release that has one serves the tests as well.
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --only-binary numpy,pandas,hypothesis \
    "$wheel" "pytest>=7" "hypothesis>=6" "${extras[@]}"
cd "$run"
if [[ "$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("Py_GIL_DISABLED"))')" == 1 ]]; then
    # Each in a process of its own: the first import of quorel turns the GIL on for good.
    "$venv/bin/python" -c 'import sys, tolvane
assert not sys._is_gil_enabled(), "importing tolvane turned the GIL on"
print("  free-threaded: the GIL is off after import tolvane")'
    "$venv/bin/python" -W always - <<'PY'
import os, sys, tempfile, warnings
import numpy as np
import tolvane
with warnings.catch_warnings(record=True) as caught:
    import quorel
assert sys._is_gil_enabled(), "importing quorel left the GIL off"
[warning] = caught
assert warning.category is RuntimeWarning and "'quorel'" in str(warning.message), warning
with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, "two.plt")
    with open(path, "w") as f:
        f.write(" TOLVANE PLOT FILE    2\n TIME\n X\n BLOCK\n" + "%12s%12s\n" % ("0.5", "-1.25E+02"))
    time, [x] = quorel.rust_read_tolvane(path, 12)
    plot = tolvane.read(path)
bits = lambda values: np.asarray(values, dtype=np.float32).view(np.uint32).tolist()
assert [bits(time), bits(x)] == [bits([0.5]), bits([-125.0])] == [bits(plot.time), bits(plot["X"])], (time, x)
print(f"  free-threaded: import quorel turns the GIL on: {warning.message}")
PY
fi
"$venv/bin/python" - "$venv" "$wheel" <<'PY'
import importlib, os, sys, zipfile

venv, wheel = os.path.realpath(sys.argv[1]) + os.sep, sys.argv[2]
holds_tolvane = any(name.startswith("tolvane/") for name in zipfile.ZipFile(wheel).namelist())
# The wheel's modules, and numpy, which the wheel's dependencies brought for tolvane.
installed = ["quorel"] + (["tolvane", "tolvane._native", "numpy"] if holds_tolvane else [])
for name in installed:
    where = os.path.realpath(importlib.import_module(name).__file__)
    print(f"  {name} from {where}")
    assert where.startswith(venv), f"{name} is not the one installed in {venv}"
if not holds_tolvane:
    try:
        import tolvane
    except ImportError:
        pass
    else:
        raise AssertionError(f"a tolvane the wheel does not hold: {tolvane.__file__}")
for name in ("numpy", "pandas"):
    try:
        module = importlib.import_module(name)
    except ImportError:
        print(f"  {name}: not installed")
    else:
        print(f"  {name} {module.__version__}")
PY
# The binding-level tests; the scope abi leaves out the files and tests of the reader's routes
# against their oracles (the text rules, hostile bytes, every cut, the differential model), which
# run the same compiled code on every CPython of a processor.
route_files=" binary32 fast_routes regressions hostile_inputs char_debug_form "
tests=(tests)
case "${QUOREL_TEST_SCOPE:-whole}" in
    whole) ;;
    bindings | abi)
        tests=()
        for name in module arguments built_module reader binary32 fast_routes regressions \
                    failure_report memory_failure hostile_inputs sample_files char_debug_form \
                    tolvane_read open write tables; do
            [[ -f "tests/test_$name.py" ]] || { echo "test_installed_wheel: no tests/test_$name.py" >&2; exit 1; }
            [[ "$QUOREL_TEST_SCOPE" == abi && "$route_files" == *" $name "* ]] || tests+=("tests/test_$name.py")
        done
        echo "  the binding-level tests ($QUOREL_TEST_SCOPE): ${#tests[@]} files"
        if [[ "$QUOREL_TEST_SCOPE" == abi ]]; then
            tests+=(-k "not (agree_with_the_model or cut_at_every_byte or pieces_that_end_where_blocks_end or width_12_text_of_a_normal_value)")
        fi
        ;;
    *) echo "test_installed_wheel: QUOREL_TEST_SCOPE is whole, bindings or abi" >&2; exit 1 ;;
esac
"$venv/bin/python" -m pytest -q -p no:cacheprovider "${tests[@]}"
