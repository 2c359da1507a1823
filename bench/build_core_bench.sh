#!/usr/bin/env bash
# Builds bench/core_bench.cpp with the reader core's sources into build/bench/libcore_bench.so,
# which bench/run_bench.py loads with ctypes to time the core on its own beside tolvane.read.
# The core is compiled with the flags of the project's Release build (what pip install and a
# cmake build without a build type give), so that both time the same code.
#
#   bash bench/build_core_bench.sh [OUT_DIR]     # default OUT_DIR: build/bench
#
# CXX picks the compiler (default g++): the same as the module's, or the comparison is off.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="${1:-$ROOT/build/bench}"
CXX="${CXX:-g++}"
mkdir -p "$OUT/obj"
cd "$ROOT"

# The sources of the core library, as CMakeLists.txt lists them for quorel_core.
mapfile -t CORE < <(awk '/add_library\(quorel_core/{on=1; next} on && /\)/{on=0} on && /src\/.*\.cpp/{print $1}' CMakeLists.txt)
if ((${#CORE[@]} == 0)); then
    echo "build_core_bench.sh: found no quorel_core sources in CMakeLists.txt" >&2
    exit 2
fi

# As CMake's Release build compiles quorel_core (CMAKE_CXX_FLAGS_RELEASE, the target's options),
# with -g for tools that name functions (callgrind, perf); it does not change the code.
FLAGS=(-O3 -DNDEBUG -std=c++20 -fPIC -fvisibility=hidden -fvisibility-inlines-hidden -Wall -Wextra -g -I src)
if "$CXX" --version 2>/dev/null | grep -qi "g++\|gcc"; then FLAGS+=(-fno-gnu-unique); fi

objects=()
pids=()
for src in "${CORE[@]}" bench/core_bench.cpp; do
    obj="$OUT/obj/$(basename "$src" .cpp).o"
    "$CXX" "${FLAGS[@]}" -c "$src" -o "$obj" &
    pids+=($!)
    objects+=("$obj")
done
for pid in "${pids[@]}"; do
    wait "$pid" || { echo "build_core_bench.sh: compiling failed" >&2; exit 2; }
done
"$CXX" -shared -o "$OUT/libcore_bench.so.tmp" "${objects[@]}"
mv "$OUT/libcore_bench.so.tmp" "$OUT/libcore_bench.so"
echo "$OUT/libcore_bench.so ($CXX, core: ${CORE[*]})"
