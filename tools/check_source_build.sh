#!/usr/bin/env bash
# The source build with the newest toolchain, as a user of CPython 3.14 or 3.15 without a wheel
# makes it: in the Debian testing root of tools/debian_root.sh (its g++ and CMake), a fresh
# clone of this repository's HEAD is installed with `pip install '.[test]'` into a new virtual
# environment of each interpreter, and the whole test suite runs from the clone. A compiler
# warning fails the check as a failing test does. Both modules must be built and import from
# the environment: quorel, and tolvane with its native part (nanobind from PyPI, which pip's
# build isolation brings).
#   bash tools/check_source_build.sh [VERSION...]      (default: 3.14 3.15; run as root)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$root/build/source-build"
fail() { echo "check_source_build: FAILED: $*" >&2; exit 1; }
# shellcheck source=tools/interpreters.sh
source "$root/tools/interpreters.sh"
versions=("$@")
[[ ${#versions[@]} -gt 0 ]] || versions=("${QUOREL_ROOT_VERSIONS[@]}")
for version in "${versions[@]}"; do
    from_debian_root "$version" || fail "CPython $version does not come from the Debian root"
done

ensure_debian_root "${versions[@]}"
rm -rf "$work"
mkdir -p "$work"
git clone --quiet --no-hardlinks "$root" "$work/quorel"
echo "== clone of $(git -C "$work/quorel" log -1 --format='%h %s')"
QUOREL_ROOT_BINDS=("$work")
on_system_of "${versions[0]}" g++ --version | head -1

for version in "${versions[@]}"; do
    echo "== CPython $version: pip install '.[test]' && python -m pytest"
    start=$SECONDS
    venv="$work/venv-$version"
    log="$work/build-$version.log"
    (cd "$work/quorel" && on_system_of "$version" sh -c '
        set -e
        "$1" -m venv "$2"
        "$2/bin/python" -m pip install -v -C build.verbose=true ".[test]"' \
        sh "$(find_interpreter "$version")" "$venv") >"$log" 2>&1 ||
        { tail -40 "$log" >&2; fail "CPython $version: the build failed (log: $log)"; }
    compiled="$(grep -c -E '(g\+\+|c\+\+).* -c .*\.cpp' "$log" || true)"
    [[ "$compiled" -gt 0 ]] || fail "CPython $version: no compiler lines in $log"
    # The compiler's and the linker's warnings, not those of the Python packages pip builds
    # beside (setuptools' "warning: no previously-included files", for one).
    if grep -E '(^|[[:space:]])[^[:space:]]*(\.(c|cc|cpp|cxx|h|hpp)(:[0-9]+)+|cc1plus|ld|g\+\+|c\+\+|collect2): warning:' "$log"; then
        fail "CPython $version: the compiler warned (above; log: $log)"
    fi
    grep -qE ' -c .*src/tolvane/module\.cpp' "$log" || fail "CPython $version: tolvane's native part was not compiled"
    echo "  built: $compiled sources compiled without a warning, in $((SECONDS - start)) s"
    (cd "$venv" && on_system_of "$version" "$venv/bin/python" - "$venv" <<'PY') ||
import os, sys
import numpy, quorel, tolvane, tolvane._native
venv = os.path.realpath(sys.argv[1]) + os.sep
for module in (quorel, tolvane, tolvane._native):
    where = os.path.realpath(module.__file__)
    assert where.startswith(venv), f"{module.__name__} from {where}, not from {venv}"
    print(f"  {module.__name__}: {where[len(venv):]}")
print(f"  numpy {numpy.__version__}")
PY
        fail "CPython $version: quorel and tolvane do not both import from $venv"
    (cd "$work/quorel" && on_system_of "$version" "$venv/bin/python" -m pytest -q -p no:cacheprovider) ||
        fail "CPython $version: the test suite failed"
done
echo "check_source_build: OK (${versions[*]})"
