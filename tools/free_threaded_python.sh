#!/usr/bin/env bash
# A free-threaded CPython (built with --disable-gil) for this machine, to build and test
# tolvane without the GIL: no distribution here ships one, so it is built from the newest
# CPython source that Debian testing offers (python3.15, then 3.14, then 3.13), fetched by
# apt's own client with a configuration of this script's own under build/free-threaded/apt
# (its source list, package lists and cache): the machine's apt configuration and lists are
# neither read for sources nor changed. Debian's upstream tarball is built as it comes, without
# Debian's patches and without profile-guided optimisation (which would triple the build's
# time), into build/free-threaded/pythonX.Yt.
#
#   bash tools/free_threaded_python.sh
#
# Prints the interpreter's path alone on standard output, and on standard error the version it
# built and why no newer one could be had. The build is cached: a second run fetches and
# builds nothing (remove build/free-threaded to start again). Needs the build dependencies
# (libssl-dev, zlib1g-dev, libffi-dev, libbz2-dev, liblzma-dev, libsqlite3-dev,
# libreadline-dev), which it installs with the machine's apt-get if one is missing (as root).
set -euo pipefail
project="$(cd "$(dirname "$0")/.." && pwd)"
work="$project/build/free-threaded"
apt="$work/apt"
stamp="$work/interpreter"
candidates=(3.15 3.14 3.13)
build_deps=(libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev)

fail() { echo "free_threaded_python: FAILED: $*" >&2; exit 1; }
say() { echo "free_threaded_python: $*" >&2; }

# A finished build: its interpreter's path, then what the build found out, line by line.
if [[ -f "$stamp" ]]; then
    python="$(head -1 "$stamp")"
    if [[ -x "$python" ]]; then
        tail -n +2 "$stamp" | sed 's/^/free_threaded_python: (cached) /' >&2
        echo "$python"
        exit 0
    fi
fi

# shellcheck source=tools/debian_mirror.sh
source "$project/tools/debian_mirror.sh"

# apt-get with this script's own sources, lists, cache and state; only the machine's dpkg
# status and keyring are read. Debian testing's Release may be past its Valid-Until date.
apt_own() {
    apt-get -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/sources.list.d" \
        -o Dir::State="$apt/state" -o Dir::State::Lists="$apt/lists" \
        -o Dir::State::status=/var/lib/dpkg/status -o Dir::Cache="$apt/cache" \
        -o Acquire::Languages=none -o Acquire::Check-Valid-Until=false -o Acquire::Check-Date=false \
        -o APT::Sandbox::User=root "$@"
}

missing=()
for package in "${build_deps[@]}"; do
    dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
    [[ "$(id -u)" == 0 ]] || fail "missing build dependencies ${missing[*]}: run as root to install them"
    say "installing ${missing[*]} (the machine's apt-get)"
    apt-get -qq update
    DEBIAN_FRONTEND=noninteractive apt-get -qq -y install "${missing[@]}" >/dev/null
fi

mkdir -p "$apt/sources.list.d" "$apt/state" "$apt/lists/partial" "$apt/cache/archives/partial"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(mirror) testing main" \
    > "$apt/sources.list"
say "Debian testing's source index, into $apt"
apt_own -qq update || fail "apt-get update of Debian testing's sources"

# The newest version whose whole source downloads (apt checks it against the signed index).
chosen="" why=()
for version in "${candidates[@]}"; do
    fetch="$work/fetch-$version"
    rm -rf "$fetch"
    mkdir -p "$fetch"
    if (cd "$fetch" && apt_own -qq source --download-only "python$version") >"$fetch.log" 2>&1; then
        chosen="$version"
        break
    fi
    reason="$(grep -E '^(E|W):' "$fetch.log" | head -2 | tr '\n' ' ' | sed 's/ *$//')"
    why+=("python$version: not fetchable: ${reason:-see $fetch.log}")
    rm -rf "$fetch"
    say "${why[-1]}"
done
[[ -n "$chosen" ]] || fail "no CPython source among ${candidates[*]} could be fetched"

orig=("$work/fetch-$chosen"/python"$chosen"_*.orig.tar.*)
[[ -f "${orig[0]}" ]] || fail "python$chosen: no upstream tarball among $(ls "$work/fetch-$chosen")"
full="$(basename "${orig[0]}" | sed -n "s/^python${chosen}_\([^-]*\)\.orig\.tar\..*/\1/p")"
say "building CPython $full (python$chosen's source from Debian testing) with --disable-gil"
src="$work/src-$chosen"
prefix="$work/python${chosen}t"
rm -rf "$src" "$prefix"
mkdir -p "$src"
tar -xf "${orig[0]}" -C "$src" --strip-components=1
start=$SECONDS
(
    cd "$src"
    ./configure --disable-gil --prefix="$prefix" >"$work/configure.log" 2>&1 ||
        { tail -20 "$work/configure.log"; exit 1; }
    make -j2 >"$work/make.log" 2>&1 || { tail -30 "$work/make.log"; exit 1; }
    make install >"$work/install.log" 2>&1 || { tail -30 "$work/install.log"; exit 1; }
) >&2 || fail "the build of CPython $full (logs in $work)"
python="$prefix/bin/python${chosen}t"
"$python" -c 'import sys, sysconfig, ssl, zlib, ctypes, venv
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1 and not sys._is_gil_enabled()' ||
    fail "$python is not a working free-threaded interpreter"

{
    echo "$python"
    echo "built CPython $full, free-threaded (python$chosen from Debian testing), in $((SECONDS - start)) s"
    for line in "${why[@]}"; do echo "$line"; done
} > "$stamp"
# The tarballs and the build tree are not needed once installed (half a gigabyte).
rm -rf "$work"/fetch-* "$src"
tail -n +2 "$stamp" | sed 's/^/free_threaded_python: /' >&2
echo "$python"
