#!/usr/bin/env bash
# 64-bit Arm CPython interpreters that run on this x86-64 machine under emulation, to build the
# aarch64 wheels against and to test them with.
#
#   bash tools/aarch64_interpreters.sh VERSION...
#
# For each CPython VERSION it makes build/aarch64/pythonVERSION/, a folder holding Debian's arm64
# build of that interpreter with every library it needs, its headers and the C++ runtime
# (unpacked from the packages, not installed: nothing of theirs runs on this machine), and
# build/aarch64/bin/pythonVERSION, a script that runs it with QEMU's user-mode emulator, which
# comes the same way into build/aarch64/qemu/. No binfmt handler is registered: the scripts
# call the emulator themselves, and a virtual environment made by such a script runs its own
# python through the same script, so a child interpreter started from sys.executable is
# emulated too. Debian testing has 3.13, 3.14 and 3.15; 3.11 comes from bookworm. The packages
# are fetched inside the Debian root of tools/debian_root.sh (its apt, with a package list of
# its own for arm64, which leaves the root's own untouched), and a second run reuses them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$root/build/aarch64"
fail() { echo "aarch64_interpreters: FAILED: $*" >&2; exit 1; }
[[ $# -gt 0 ]] || fail "name the CPython versions"

# The Debian suite that has each version's arm64 build.
suite_of() {
    case "$1" in
        3.11) echo bookworm ;;
        3.13 | 3.14 | 3.15) echo testing ;;
        *) return 1 ;;
    esac
}

mkdir -p "$work/bin"
qemu="$work/qemu/usr/bin/qemu-aarch64"

# Runs apt-get inside the Debian root with a state of its own for arm64 packages of SUITE,
# downloading into ARCHIVES.
apt_arm64() {
    local suite="$1" archives="$2"; shift 2
    local state="$work/apt-$suite"
    bash "$root/tools/debian_root.sh" run --bind "$work" -- apt-get -qq \
        -o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts=/nonexistent \
        -o Dir::State::Lists="$state/lists" -o Dir::State::status="$state/status" \
        -o Dir::Cache="$state/cache" -o Dir::Cache::archives="$archives" \
        -o APT::Architecture=arm64 -o APT::Architectures::=arm64 \
        -o APT::Install-Recommends=false -o Debug::NoLocking=1 -o APT::Sandbox::User=root \
        -o Acquire::Check-Valid-Until=false -o Acquire::Check-Date=false "$@"
}

prepare_suite() {
    local suite="$1" state="$work/apt-$1" mirror
    [[ -f "$state/.updated" ]] && return
    mirror="$(awk '$1 == "deb" {print $2; exit}' "$root/build/debian-testing/etc/apt/sources.list")"
    [[ -n "$mirror" ]] || fail "no mirror in the Debian root's sources.list"
    mkdir -p "$state/lists/partial" "$state/cache"
    : > "$state/status"
    echo "deb [arch=arm64] $mirror $suite main" > "$state/sources.list"
    apt_arm64 "$suite" "$state/cache" update
    touch "$state/.updated"
}

bash "$root/tools/debian_root.sh" ensure
if [[ ! -x "$qemu" ]]; then
    echo "== QEMU's user-mode emulator (Debian's qemu-user, unpacked)"
    rm -rf "$work/qemu" "$work/qemu-deb"
    mkdir -p "$work/qemu-deb"
    bash "$root/tools/debian_root.sh" run --bind "$work" -- sh -c \
        "cd '$work/qemu-deb' && apt-get -qq -o APT::Sandbox::User=root download qemu-user && dpkg -x qemu-user_*.deb '$work/qemu'"
    [[ -x "$qemu" ]] || fail "no $qemu in Debian's qemu-user"
fi

for version in "$@"; do
    suite="$(suite_of "$version")" || fail "no Debian suite known with an arm64 CPython $version"
    sysroot="$work/python$version"
    wrapper="$work/bin/python$version"
    # libstdc++6 too: the manylinux wheels of numpy (tolvane's dependency) and pandas load the
    # system's C++ runtime, which the interpreter itself does not need.
    packages=("python$version" "python$version-venv" "libpython$version-dev" libstdc++6)
    if [[ "$(cat "$sysroot/.complete" 2>/dev/null)" != "${packages[*]}" ]]; then
        echo "== CPython $version for arm64, from Debian $suite"
        prepare_suite "$suite"
        # With an empty package status, apt fetches every package that these need.
        debs="$work/debs-$version"
        mkdir -p "$debs/partial"
        apt_arm64 "$suite" "$debs" -y --download-only install "${packages[@]}" >/dev/null
        rm -rf "$sysroot"
        mkdir -p "$sysroot"
        for deb in "$debs"/*.deb; do
            dpkg -x "$deb" "$sysroot"
        done
        # Packages of merged-/usr releases put the loader under usr/lib only.
        [[ -e "$sysroot/lib" ]] || ln -s usr/lib "$sysroot/lib"
        [[ -x "$sysroot/usr/bin/python$version" ]] || fail "no python$version in the unpacked packages"
        [[ -e "$sysroot/lib/ld-linux-aarch64.so.1" ]] || fail "no arm64 loader in the unpacked packages"
        echo "${packages[*]}" > "$sysroot/.complete"
    fi
    # The emulated interpreter sees its own name as argv[0], so that sys.executable, and a
    # virtual environment's python, are this script (or a link to it) and not the arm64 binary.
    cat > "$wrapper" <<EOF
#!/bin/sh
exec "$qemu" -L "$sysroot" -0 "\$0" "$sysroot/usr/bin/python$version" "\$@"
EOF
    chmod +x "$wrapper"
    "$wrapper" -c "import platform, sys; print('  CPython', platform.python_version(), platform.machine(), 'under emulation:', sys.executable)"
done
