#!/usr/bin/env bash
# Builds the modules with ThreadSanitizer (g++) into build/tsan and runs the tests of tolvane
# against that build, inside an interpreter with the sanitizer's runtime preloaded. tolvane
# splits a large file's read across threads, reads from many Python threads at once, and reads a
# source that is not a local file on one thread while a thread of its own feeds it; a data race
# in the reader, the queue between the two or the binding makes a report. Exits non-zero on any test failure and on
# any ThreadSanitizer report, in the test process or in a child interpreter it starts.
#
#   bash tools/sanitize_threads.sh [pytest arguments; default: the tolvane tests]
#
# Needs: g++ with libtsan, cmake (3.18+), the interpreter's headers, and what
# python3 -m pip install '.[test]' brings.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build/tsan"
LOGS="$BUILD/sanitizer-logs"
cd "$ROOT"

PY="$(python3 -c 'import sys; print(sys.executable)')"
CXX_BIN="${CXX:-g++}"
TSAN_LIB="$("$CXX_BIN" -print-file-name=libtsan.so)"
if [[ ! -e "$TSAN_LIB" ]]; then
    echo "sanitize_threads.sh: $CXX_BIN has no libtsan.so (install the compiler's sanitizer runtimes)" >&2
    exit 2
fi

SAN_FLAGS="-fsanitize=thread -fno-omit-frame-pointer -g -O1"
GENERATOR=()
if command -v ninja >/dev/null 2>&1; then GENERATOR=(-G Ninja); fi
mkdir -p "$BUILD"
echo "== configure and build ($BUILD)"
CXX="$CXX_BIN" cmake -S "$ROOT" -B "$BUILD" "${GENERATOR[@]}" \
    -DCMAKE_BUILD_TYPE=Debug \
    -DPython_EXECUTABLE="$PY" \
    "-DCMAKE_CXX_FLAGS=$SAN_FLAGS" \
    "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread" \
    "-DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread" >"$BUILD/configure.log" 2>&1 ||
    { cat "$BUILD/configure.log" >&2; exit 2; }
cmake --build "$BUILD" --parallel 2

rm -rf "$LOGS"
mkdir -p "$LOGS"
export QUOREL_SANITIZED=1
export PYTHONPATH="$BUILD${PYTHONPATH:+:$PYTHONPATH}"
export PYTHONDONTWRITEBYTECODE=1
# Reports go to files named after the process, so that those of child interpreters are seen
# even where a test swallows their standard error.
# Libraries built without the sanitizer whose own threads it cannot follow: tools/tsan.supp.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$LOGS/tsan:log_exe_name=1:suppressions=$ROOT/tools/tsan.supp"

LD_PRELOAD="$TSAN_LIB" "$PY" "$ROOT/tools/check_imported_from.py" "$BUILD" sanitize_threads.sh

echo "== pytest under ThreadSanitizer"
status=0
start=$SECONDS
if (($# == 0)); then set -- tests/test_tolvane_read.py tests/test_sources.py; fi
LD_PRELOAD="$TSAN_LIB" "$PY" -m pytest -p no:cacheprovider -q "$@" || status=$?
echo "== pytest exit status $status after $((SECONDS - start)) s"

findings=0
shopt -s nullglob
for log in "$LOGS"/*; do
    name="$(basename "$log")"
    case "$name" in
        tsan.python*)
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
    echo "sanitize_threads.sh: $findings ThreadSanitizer report(s)" >&2
    exit 1
fi
if ((status != 0)); then
    echo "sanitize_threads.sh: the tests failed under ThreadSanitizer" >&2
    exit "$status"
fi
echo "sanitize_threads.sh: no ThreadSanitizer reports; tests passed"
