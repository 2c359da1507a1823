#!/usr/bin/env bash
# Checks quorel's release artefacts as a user gets them:
#   1. tools/build_wheels.sh makes the sdist and, from it, one manylinux_2_17 wheel per CPython
#      version and architecture, the free-threaded CPython's too (skipped with --no-build: then
#      the artefacts already in dist/ are checked);
#   2. the sdist is checked for the build inputs (every tracked file under src/ and python/,
#      CMakeLists.txt, pyproject.toml, the type stubs, LICENSE, README.md, the tests) and for
#      leftovers (caches, build trees, compiled modules);
#   3. every wheel: `auditwheel show` must report the manylinux_2_17 tag of its architecture
#      (x86_64 or aarch64); each native module is built for that processor and named for it and
#      for its interpreter's ABI (.cpython-313t-x86_64-linux-gnu.so in a free-threaded one), and
#      its dynamic symbol table defines its init function and nothing else (PyInit_quorel for
#      quorel, PyInit__native for tolvane._native); the wheel holds quorel's module, its type stub
#      and the licence; a wheel for CPython 3.10 or newer holds the package tolvane, exactly
#      python/tolvane's files and its native module, and one for 3.9 (which nanobind does not
#      support) holds no tolvane;
#   4. every wheel is installed into a fresh virtual environment of its own interpreter, with
#      its dependencies from PyPI (numpy, for tolvane), pytest, hypothesis and, for tolvane's
#      to_pandas, pandas (not under emulation), and the test suite runs there from a copy of
#      tests/ outside the source tree, so that the modules under test are the installed ones
#      (tools/test_installed_wheel.sh): whole on x86-64 3.9, 3.10 and 3.13t, its binding-level
#      tests on the others, without the reader's routes on the aarch64 ones but 3.13
#      (whole_suite below says why); the x86-64 3.14 and 3.15 wheels inside the Debian root
#      of tools/debian_root.sh, with its interpreters; the aarch64 wheels with Debian's arm64
#      interpreters under emulation (tools/aarch64_interpreters.sh), where the suite's test of
#      the routes built in finds the word routes, as on every processor but x86-64; the
#      free-threaded wheel (cp313t) with tools/free_threaded_python.sh's interpreter and numpy's
#      free-threaded wheel, where importing tolvane alone must leave the GIL off, and importing
#      quorel then turns it on with the interpreter's RuntimeWarning (quorel does not declare
#      that it runs without the GIL), as docs/installing.md says.
# Usage: bash tools/check_wheel.sh [--no-build] [VERSION...]     (KEEP=1 keeps the work directory)
# With VERSIONs (3.12, 3.13t, ...), only their wheels are built and checked.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dist="$root/dist"
work="$(mktemp -d "${TMPDIR:-/tmp}/quorel-wheel.XXXXXX")"
if [[ "${KEEP:-0}" == 1 ]]; then
    trap 'echo "work directory kept: $work"' EXIT
else
    trap 'rm -rf "$work"' EXIT
fi

fail() { echo "check_wheel: FAILED: $*" >&2; exit 1; }
# shellcheck source=tools/interpreters.sh
source "$root/tools/interpreters.sh"

build=1
if [[ "${1:-}" == "--no-build" ]]; then
    build=0
    shift
fi
versions=("$@")
if ((build)); then
    bash "$root/tools/build_wheels.sh" "${versions[@]}"
fi
tools="$root/build/wheels/tools/bin"
[[ -x "$tools/auditwheel" ]] || fail "no auditwheel in $tools: run tools/build_wheels.sh first"

sdists=("$dist"/quorel-*.tar.gz)
[[ ${#sdists[@]} == 1 && -f "${sdists[0]}" ]] || fail "expected one sdist in $dist"
sdist="${sdists[0]}"
echo "== sdist contents: $(basename "$sdist")"
tar -tzf "$sdist" | sed 's|^[^/]*/||' | grep -v '/$' | sort > "$work/sdist.txt"
required=(CMakeLists.txt pyproject.toml README.md LICENSE PKG-INFO
          src/quorel/exports.map src/tolvane/exports.map src/failure/char_escape_table.inc
          stubs/quorel-stubs/__init__.pyi python/tolvane/__init__.py python/tolvane/py.typed
          python/tolvane/_native.pyi tests/conftest.py)
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t tracked < <(git -C "$root" ls-files src python tests stubs fuzz/corpus)
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

# A copy of the tests (and the fuzzing seeds that the regression tests read), outside the tree.
mkdir -p "$work/run/fuzz"
cp -r "$root/tests" "$work/run/tests"
rm -rf "$work/run/tests/__pycache__"
cp -r "$root/fuzz/corpus" "$work/run/fuzz/corpus"

# What a wheel's tolvane/ must hold besides its native module: python/tolvane's files, and the
# version the build writes beside them (tolvane/_version.py).
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    { git -C "$root/python" ls-files tolvane; echo tolvane/_version.py; } | sort > "$work/tolvane.txt"
else
    { (cd "$root/python" && find tolvane -type f ! -path '*/__pycache__/*' ! -name _version.py)
      echo tolvane/_version.py; } | sort > "$work/tolvane.txt"
fi
grep -qxF tolvane/py.typed "$work/tolvane.txt" || fail "no python/tolvane/py.typed"

# Checks the native module at PATH of a wheel for ARCH and CPython ABI (cp313, cp313t): named
# for both, built for its processor, and exporting INIT alone.
check_module() {
    local path="$1" arch="$2" abi="$3" init="$4" machine exported
    [[ "$path" == *".cpython-${abi#cp}-$arch-linux-gnu.so" ]] ||
        fail "$name: $(basename "$path") is not named for $abi on $arch"
    machine="$(readelf -h "$path" | sed -n 's/^ *Machine: *//p')"
    case "$arch:$machine" in
        x86_64:*X86-64 | aarch64:AArch64) ;;
        *) fail "$name: $(basename "$path") is built for '$machine'" ;;
    esac
    exported="$(nm -D --defined-only "$path" | awk '{print $NF}' | sort | tr '\n' ' ')"
    [[ "$exported" == "$init " ]] || fail "$name: $(basename "$path") exports ${exported:-nothing}, not only $init"
    echo "  $(basename "$path"): $machine, exports ${exported% }"
}

if ((${#versions[@]})); then
    wheels=()
    for version in "${versions[@]}"; do
        wheels+=("$dist"/quorel-*-"$(abi_tag "$version")"-manylinux*.whl)
    done
else
    wheels=("$dist"/quorel-*.whl)
fi
[[ -f "${wheels[0]}" ]] || fail "no wheels in $dist"
QUOREL_ROOT_BINDS=("$work" "$dist" "$root/tools")
ensure_debian_root $(printf '%s\n' "${wheels[@]}" | sed -n 's/.*-cp\([0-9]\)\([0-9]*\)-.*x86_64\.whl$/\1.\2/p')
# The wheels that run the whole suite: the oldest CPython of each module (3.9 for quorel, 3.10
# for tolvane) and the free-threaded one. The others run the binding-level tests
# (tools/test_installed_wheel.sh): the suite of their Python code runs whole on 3.11 in the
# README's command and on 3.14 and 3.15 in tools/check_source_build.sh. Emulated at a tenth of
# the speed, the aarch64 wheels run those tests whole on 3.13 only, where the reader's routes
# are checked against their oracles on that processor; the others leave those out (scope abi):
# that code is the processor's, the same for every CPython, and what differs between versions
# is the modules' build against each interpreter, which the rest checks.
whole_suite() {
    case "$1:$2" in
        x86_64:3.9 | x86_64:3.10 | x86_64:3.13t) echo whole ;;
        x86_64:* | aarch64:3.13) echo bindings ;;
        *) echo abi ;;
    esac
}
checked=0
for wheel in "${wheels[@]}"; do
    name="$(basename "$wheel")"
    # The version from the ABI tag: 3.13 (cp313), or 3.13t (cp313t) for a free-threaded CPython.
    tag="$(echo "$name" | sed -n 's/^quorel-[^-]*-cp[0-9]*-cp\([0-9]\)\([0-9]*t\?\)-.*/\1.\2/p')"
    [[ -n "$tag" ]] || fail "$name: no CPython ABI tag in the file name"
    abi="$(abi_tag "$tag")" minor="${tag#3.}"
    minor="${minor%t}"
    arch="$(echo "$name" | sed -n 's/.*_\(x86_64\|aarch64\)\.whl$/\1/p')"
    [[ -n "$arch" ]] || fail "$name: neither an x86_64 nor an aarch64 wheel"
    platform="manylinux_2_17_$arch"
    echo "== $name"
    start=$SECONDS

    show="$("$tools/auditwheel" show "$wheel")"
    grep -qF "is consistent with the following platform tag:" <<<"$show" &&
        grep -qF "\"$platform\"" <<<"$(grep -A1 -F "is consistent with the following platform tag:" <<<"$show")" ||
        { echo "$show" >&2; fail "$name: auditwheel does not report $platform"; }
    echo "  auditwheel show: $platform"

    unpacked="$work/unpacked-$arch-$tag"
    "$tools/python" -m zipfile -e "$wheel" "$unpacked"
    modules=("$unpacked"/quorel.cpython-*.so)
    [[ ${#modules[@]} == 1 && -f "${modules[0]}" ]] || fail "$name: expected one quorel module at the top"
    [[ -f "$unpacked/quorel-stubs/__init__.pyi" ]] || fail "$name: no type stub"
    # The pytest plugin that the pytest11 entry point names, on every version (3.9 included).
    [[ -f "$unpacked/tolvane_pytest.py" ]] || fail "$name: no tolvane_pytest.py (the pytest plugin)"
    grep -qxF "tolvane = tolvane_pytest" "$unpacked"/quorel-*.dist-info/entry_points.txt ||
        fail "$name: no pytest11 entry point tolvane = tolvane_pytest"
    compgen -G "$unpacked/quorel-*.dist-info/licenses/LICENSE" >/dev/null ||
        compgen -G "$unpacked/quorel-*.dist-info/LICENSE" >/dev/null || fail "$name: no licence"
    check_module "${modules[0]}" "$arch" "$abi" PyInit_quorel
    if ((minor >= 10)); then
        natives=("$unpacked"/tolvane/_native.cpython-*.so)
        [[ ${#natives[@]} == 1 && -f "${natives[0]}" ]] || fail "$name: expected one tolvane/_native module"
        check_module "${natives[0]}" "$arch" "$abi" PyInit__native
        (cd "$unpacked" && find tolvane -type f ! -name '_native.cpython-*.so' | sort) > "$work/held.txt"
        diff "$work/tolvane.txt" "$work/held.txt" >&2 ||
            fail "$name: tolvane/ does not hold python/tolvane's files (< missing, > not in the source)"
        echo "  tolvane: $(wc -l < "$work/held.txt") files of python/tolvane and its native module"
    else
        # nanobind, which tolvane's native part is built with, needs CPython 3.10.
        [[ ! -e "$unpacked/tolvane" ]] || fail "$name: a wheel for CPython $tag holds tolvane"
        [[ -z "$(find "$unpacked" -name '_native*')" ]] || fail "$name: holds a _native module"
        echo "  tolvane: none (CPython $tag)"
    fi

    if [[ "$arch" == aarch64 ]]; then
        # Debian's arm64 interpreter under emulation (tools/aarch64_interpreters.sh). Its
        # ensurepip cannot copy the pip wheel through the emulator's view of the folder, so pip
        # comes from that wheel itself. No pandas there: emulated, its install and import take
        # two minutes a wheel, for Plot.to_pandas, which is Python over the numpy arrays that
        # the suite checks there anyway.
        python="$root/build/aarch64/bin/python$tag"
        [[ -x "$python" ]] || fail "$name: no $python: run tools/aarch64_interpreters.sh $tag"
        pip_wheels=("$root/build/aarch64/python$tag"/usr/share/python-wheels/pip-*.whl)
        QUOREL_PIP_WHEEL="${pip_wheels[0]}" QUOREL_TEST_PANDAS=0 QUOREL_TEST_SCOPE="$(whole_suite "$arch" "$tag")" bash "$root/tools/test_installed_wheel.sh" \
            "$python" "$wheel" "$work/venv-$arch-$tag" "$work/run" || fail "$name: the test suite failed"
    else
        python="$(find_interpreter "$tag")"
        [[ -n "$python" ]] || fail "$name: no CPython $tag on this machine to test it with"
        on_system_of "$tag" env QUOREL_TEST_SCOPE="$(whole_suite "$arch" "$tag")" bash "$root/tools/test_installed_wheel.sh" \
            "$python" "$wheel" "$work/venv-$arch-$tag" "$work/run" || fail "$name: the test suite failed"
    fi
    echo "  checked in $((SECONDS - start)) s"
    checked=$((checked + 1))
done
echo "check_wheel: OK ($checked wheels checked)"
