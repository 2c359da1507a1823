#!/usr/bin/env bash
# Checks the type information of quorel and tolvane against the installed modules:
#   1. installs the project with its "typing" extra (mypy, the stubs of pandas and pyarrow) and
#      its "all" extra (the libraries whose types tolvane names) into a fresh virtual environment,
#   2. mypy.stubtest compares quorel's stub with the module as imported (names, parameters,
#      __all__), and tolvane's package (its annotated sources and the stub of its native part,
#      python/tolvane/_native.pyi) with the package as imported,
#   3. mypy --strict checks typing_check/usage.py and typing_check/tolvane_usage.py, typed
#      callers (their "type: ignore" comments must stay needed, so wrong calls must stay errors).
# No allowlist: the stubs match the modules exactly. tolvane needs CPython 3.10 or newer, and so
# does this check.
# Usage: bash tools/check_types.sh          (PYTHON=python3.X to pick the interpreter)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="${PYTHON:-python3}"
work="$(mktemp -d "${TMPDIR:-/tmp}/quorel-types.XXXXXX")"
trap 'rm -rf "$work"' EXIT

echo "== stub syntax (Python 3.9 grammar)"
"$python" - "$root/stubs/quorel-stubs/__init__.pyi" <<'PY'
import ast, sys
path = sys.argv[1]
ast.parse(open(path, encoding="utf-8").read(), path, feature_version=(3, 9))
PY

echo "== installing quorel[typing,all] into $work/venv"
"$python" -m venv "$work/venv"
venv_python="$work/venv/bin/python"
# With every extra: tolvane names the types of their libraries (polars, pyarrow, xarray, Dask,
# matplotlib, tqdm), which mypy must find.
"$venv_python" -m pip install --quiet "$root[typing,all]"

# Run from an empty directory so that only the installed module and stub are seen.
cd "$work"
echo "== stubtest quorel"
"$venv_python" -m mypy.stubtest quorel
echo "== mypy --strict typing_check/usage.py"
"$venv_python" -m mypy --strict --no-incremental "$root/typing_check/usage.py"
echo "== stubtest tolvane"
# tqdm ships no types, and tolvane's progress bar takes it as untyped (Any).
cat > "$work/tqdm_untyped.ini" <<'INI'
[mypy]
[mypy-tqdm.*]
ignore_missing_imports = True
INI
"$venv_python" -m mypy.stubtest --mypy-config-file "$work/tqdm_untyped.ini" tolvane
echo "== mypy --strict typing_check/tolvane_usage.py"
"$venv_python" -m mypy --strict --no-incremental "$root/typing_check/tolvane_usage.py"
echo "check_types: OK"
