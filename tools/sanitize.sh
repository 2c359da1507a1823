#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer (g++) into
# build/sanitize and runs the whole test suite against that build, inside an interpreter with
# the sanitizer runtimes preloaded. Exits non-zero on any test failure and on any sanitizer
# report (memory error, undefined behaviour, or a leak of the module's own memory) in the test
# process or in any Python child process it starts.
#
#   bash tools/sanitize.sh [pytest arguments; default: tests]
#
# Needs: g++ with libasan/libubsan, cmake (3.18+), the interpreter's headers, pytest and
# hypothesis (python3 -m pip install '.[test]' brings them).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build/sanitize"
LOGS="$BUILD/sanitizer-logs"
cd "$ROOT"

# The interpreter binary itself: `python3` may be a wrapper script (pyenv shims), and the
# preloaded runtimes must land in the interpreter, not in a shell.
PY="$(python3 -c 'import sys; print(sys.executable)')"
CXX_BIN="${CXX:-g++}"
ASAN_LIB="$("$CXX_BIN" -print-file-name=libasan.so)"
UBSAN_LIB="$("$CXX_BIN" -print-file-name=libubsan.so)"
for lib in "$ASAN_LIB" "$UBSAN_LIB"; do
    if [[ ! -e "$lib" ]]; then
        echo "sanitize.sh: $CXX_BIN has no $(basename "$lib") (install the compiler's sanitizer runtimes)" >&2
        exit 2
    fi
done

SAN_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1"
GENERATOR=()
if command -v ninja >/dev/null 2>&1; then GENERATOR=(-G Ninja); fi
mkdir -p "$BUILD"
echo "== configure and build ($BUILD)"
# Debug adds only -g; -O1 comes from the flags (Release would append -O3).
CXX="$CXX_BIN" cmake -S "$ROOT" -B "$BUILD" "${GENERATOR[@]}" \
    -DCMAKE_BUILD_TYPE=Debug \
    -DPython_EXECUTABLE="$PY" \
    "-DCMAKE_CXX_FLAGS=$SAN_FLAGS" \
    "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=address,undefined" \
    "-DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" >"$BUILD/configure.log" 2>&1 ||
    { cat "$BUILD/configure.log" >&2; exit 2; }
cmake --build "$BUILD" --parallel 2

rm -rf "$LOGS"
mkdir -p "$LOGS"

export QUOREL_SANITIZED=1
export PYTHONPATH="$BUILD${PYTHONPATH:+:$PYTHONPATH}"
# Every object through malloc, so that ASan checks the interpreter's buffers too and LeakSanitizer
# can follow pointers held by Python objects (pymalloc arenas are not scanned).
export PYTHONMALLOC=malloc
export PYTHONDONTWRITEBYTECODE=1
# Reports go to files named after the process (log_exe_name), so that findings in child
# interpreters are seen even when a test swallows their standard error.
# intercept_tls_get_addr=0: the runtime's tracking of dynamic TLS blocks (the module's
# thread-local flag lives in one) misreads them in some processes on this glibc, and
# LeakSanitizer then crashes at exit. Leaks are still checked; only those blocks, which hold no
# pointers, are no longer scanned.
export ASAN_OPTIONS="intercept_tls_get_addr=0:detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1:log_path=$LOGS/asan:log_exe_name=1"
export LSAN_OPTIONS="suppressions=$ROOT/tools/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$LOGS/ubsan:log_exe_name=1"

# The module that the tests import must be this build.
LD_PRELOAD="$ASAN_LIB $UBSAN_LIB" "$PY" "$ROOT/tools/check_imported_from.py" "$BUILD" sanitize.sh

echo "== pytest under ASan + UBSan + LSan"
status=0
start=$SECONDS
if (($# == 0)); then set -- tests; fi
LD_PRELOAD="$ASAN_LIB $UBSAN_LIB" "$PY" -m pytest -p no:cacheprovider -q "$@" || status=$?
echo "== pytest exit status $status after $((SECONDS - start)) s"

# Only interpreter processes count: other programs that inherit the preload (tools started
# by pytest plugins, for instance) are not this project's code.
findings=0
shopt -s nullglob
for log in "$LOGS"/*; do
    name="$(basename "$log")"
    case "$name" in
        asan.python*|ubsan.python*)
            echo "== sanitizer report: $name" >&2
            cat "$log" >&2
            findings=$((findings + 1))
            ;;
        *)
            echo "== ignored (not an interpreter process): $name"
            ;;
    esac
done
if ((findings > 0)); then
    echo "sanitize.sh: $findings sanitizer report(s)" >&2
    exit 1
fi
if ((status != 0)); then
    echo "sanitize.sh: the test suite failed under the sanitizers" >&2
    exit "$status"
fi
echo "sanitize.sh: no sanitizer findings; test suite passed"
