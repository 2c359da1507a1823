#!/usr/bin/env bash
# Builds the libFuzzer harnesses (with AddressSanitizer and UndefinedBehaviorSanitizer) from the
# sources of the reader and text rules: the plot reader's twice, with the vector routes and with
# the word routes only, binary32's, binary64's (the time, and its writer), and the field writer's
# (binary32 to text and back). Runs each
# for SECONDS (default 60) from its seed corpus.
# Exits non-zero if any harness finds anything (crash, sanitizer report, leak, timeout, mismatch
# against the reference).
#
#   bash fuzz/run.sh [SECONDS]
#
# Needs clang 15 or newer with libFuzzer (std::source_location needs clang 15). When none is
# found and apt-get is usable, the newest clang-N with libclang-rt-N-dev that the package lists
# offer is installed.
#
# Work corpora and artifacts (crash-*, leak-*, timeout-*) go to build/fuzz/. Reproduce one with
#   build/fuzz/fuzz_plot_reader build/fuzz/artifacts/plot_reader-crash-...
set -euo pipefail

SECS="${1:-60}"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="$ROOT/build/fuzz"
mkdir -p "$OUT"
cd "$ROOT"

probe_clang() {  # $1: compiler; succeeds if it is clang >= 15 and links libFuzzer
    local cxx="$1" major
    command -v "$cxx" >/dev/null 2>&1 || return 1
    major="$(echo __clang_major__ | "$cxx" -E -P -x c++ - 2>/dev/null | tr -d '[:space:]')" || return 1
    [[ "$major" =~ ^[0-9]+$ ]] && ((major >= 15)) || return 1
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' |
        "$cxx" -x c++ -fsanitize=fuzzer,address,undefined - -o "$OUT/probe" >/dev/null 2>&1 || return 1
}

find_clang() {
    local cxx
    for cxx in ${CLANGXX:-} clang++ clang++-21 clang++-20 clang++-19 clang++-18 clang++-17 clang++-16 clang++-15; do
        if probe_clang "$cxx"; then
            echo "$cxx"
            return 0
        fi
    done
    return 1
}

if ! CLANGXX="$(find_clang)"; then
    echo "== no clang++ (>= 15) with libFuzzer: installing one from the distribution's packages"
    if ! command -v apt-get >/dev/null 2>&1; then
        echo "fuzz/run.sh: no apt-get; install clang >= 15 with libFuzzer (compiler-rt)" >&2
        exit 2
    fi
    SUDO=()
    if ((EUID != 0)); then SUDO=(sudo); fi
    "${SUDO[@]}" apt-get update -qq
    installed=""
    for v in 21 20 19 18 17 16 15; do
        if apt-cache show "clang-$v" >/dev/null 2>&1 && apt-cache show "libclang-rt-$v-dev" >/dev/null 2>&1; then
            DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -q "clang-$v" "libclang-rt-$v-dev" >/dev/null
            installed="$v"
            break
        fi
    done
    if [[ -z "$installed" ]] || ! CLANGXX="$(find_clang)"; then
        echo "fuzz/run.sh: could not install a clang with libFuzzer" >&2
        exit 2
    fi
fi
echo "== compiler: $CLANGXX ($("$CLANGXX" --version | head -1))"

# The sources of the core library, as CMakeLists.txt lists them for quorel_core.
mapfile -t CORE < <(awk '/add_library\(quorel_core/{on=1; next} on && /\)/{on=0} on && /src\/.*\.cpp/{print $1}' CMakeLists.txt)
if ((${#CORE[@]} == 0)); then
    echo "fuzz/run.sh: found no quorel_core sources in CMakeLists.txt" >&2
    exit 2
fi

COMMON=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fno-sanitize-recover=all -I src -I fuzz)
echo "== building harnesses in $OUT (core: ${CORE[*]})"
mkdir -p "$OUT/obj" "$OUT/obj-words"
objects=()
words_objects=()
# The code under test gets coverage feedback (libFuzzer's main comes with the final link only).
# The core is built twice: as the module has it, and with only its word routes (the ones that
# processors without SSE2 take), which the plot reader's harness also runs against the model.
for src in "${CORE[@]}"; do
    obj="$OUT/obj/$(basename "$src" .cpp).o"
    "$CLANGXX" "${COMMON[@]}" -fsanitize=fuzzer-no-link,address,undefined -c "$src" -o "$obj" &
    objects+=("$obj")
    obj="$OUT/obj-words/$(basename "$src" .cpp).o"
    "$CLANGXX" "${COMMON[@]}" -DQUOREL_WORDS_ONLY -fsanitize=fuzzer-no-link,address,undefined -c "$src" -o "$obj" &
    words_objects+=("$obj")
done
# The reference model is checked by the sanitizers but gives no coverage feedback.
"$CLANGXX" "${COMMON[@]}" -fsanitize=address,undefined -c fuzz/model.cpp -o "$OUT/obj/model.o" &
wait
for obj in "${objects[@]}" "${words_objects[@]}" "$OUT/obj/model.o"; do
    [[ -f "$obj" ]] || { echo "fuzz/run.sh: compiling $obj failed" >&2; exit 2; }
done
HARNESSES=(plot_reader plot_reader_words binary32 binary64 format_binary32)
declare -A SOURCE=([plot_reader]=plot_reader [plot_reader_words]=plot_reader [binary32]=binary32
                   [binary64]=binary64 [format_binary32]=format_binary32)
for harness in "${HARNESSES[@]}"; do
    rm -f "$OUT/fuzz_$harness"
    core=("${objects[@]}")
    if [[ "$harness" == *_words ]]; then core=("${words_objects[@]}"); fi
    "$CLANGXX" "${COMMON[@]}" -fsanitize=fuzzer,address,undefined "fuzz/fuzz_${SOURCE[$harness]}.cpp" \
        "$OUT/obj/model.o" "${core[@]}" -o "$OUT/fuzz_$harness" &
done
wait
for harness in "${HARNESSES[@]}"; do
    [[ -x "$OUT/fuzz_$harness" ]] || { echo "fuzz/run.sh: building fuzz_$harness failed" >&2; exit 2; }
done

declare -A MAX_LEN=([plot_reader]=4096 [plot_reader_words]=4096 [binary32]=1024 [binary64]=1024
                    [format_binary32]=5)
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# All harnesses at once, sharing the cores.
pids=()
for harness in "${HARNESSES[@]}"; do
    work="$OUT/corpus/$harness"
    mkdir -p "$work" "$OUT/artifacts"
    # New inputs go to the first directory (the work corpus); the seeds stay untouched.
    "$OUT/fuzz_$harness" "$work" "fuzz/corpus/${SOURCE[$harness]}" \
        -max_total_time="$SECS" -max_len="${MAX_LEN[$harness]}" -timeout=20 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix="$OUT/artifacts/$harness-" >"$OUT/$harness.log" 2>&1 &
    pids+=($!)
done

status=0
i=0
for harness in "${HARNESSES[@]}"; do
    rc=0
    wait "${pids[$i]}" || rc=$?
    i=$((i + 1))
    if ((rc != 0)); then
        echo "== fuzz_$harness FAILED (exit $rc); log: $OUT/$harness.log" >&2
        tail -n 80 "$OUT/$harness.log" >&2
        status=1
    else
        execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$OUT/$harness.log")"
        speed="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$OUT/$harness.log")"
        cov="$(grep -o 'cov: [0-9]*' "$OUT/$harness.log" | tail -1)"
        echo "== fuzz_$harness: ${execs:-?} runs in ${SECS} s (${speed:-?}/s), $cov, no findings"
    fi
done
exit "$status"
