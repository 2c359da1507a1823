#!/usr/bin/env bash
# Builds the module with QUOREL_WORDS_ONLY, which keeps the reader to its 64-bit word routes
# (the ones processors without SSE2 use), into build/words, and runs the whole test suite
# against that build. The default build takes the vector routes on x86-64, so without this the
# word routes would go untested here.
#
#   bash tools/check_word_routes.sh [pytest arguments; default: tests]
#
# Needs: a C++20 compiler, cmake (3.18+), the interpreter's headers, pytest and hypothesis
# (python3 -m pip install '.[test]' brings them).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build/words"
cd "$ROOT"

PY="$(python3 -c 'import sys; print(sys.executable)')"
GENERATOR=()
if command -v ninja >/dev/null 2>&1; then GENERATOR=(-G Ninja); fi
mkdir -p "$BUILD"
echo "== configure and build ($BUILD)"
cmake -S "$ROOT" -B "$BUILD" "${GENERATOR[@]}" \
    -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$PY" \
    "-DCMAKE_CXX_FLAGS=-DQUOREL_WORDS_ONLY" >"$BUILD/configure.log" 2>&1 ||
    { cat "$BUILD/configure.log" >&2; exit 2; }
cmake --build "$BUILD" --parallel 2

# The vector routes leave their tables in the module's symbol table; this build must have none.
module="$(ls "$BUILD"/quorel*.so)"
if nm -C "$module" | grep -q "fixed_shape_vector_detail"; then
    echo "check_word_routes.sh: $module still holds the vector routes" >&2
    exit 1
fi

export PYTHONPATH="$BUILD${PYTHONPATH:+:$PYTHONPATH}"
export PYTHONDONTWRITEBYTECODE=1 QUOREL_EXPECT_ROUTES=words
"$PY" "$ROOT/tools/check_imported_from.py" "$BUILD" check_word_routes.sh

echo "== pytest against the word routes"
if (($# == 0)); then set -- tests; fi
"$PY" -m pytest -p no:cacheprovider -q "$@"
echo "check_word_routes.sh: test suite passed on the word routes"
