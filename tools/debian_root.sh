#!/usr/bin/env bash
# A minimal Debian testing root, for the CPython versions that this machine's own system and
# pyenv do not have (3.14 and 3.15, with the newest g++), and commands run inside it.
#
#   bash tools/debian_root.sh [--root DIR] ensure
#       Makes the root with debootstrap if it is not there yet, and installs into it what the
#       builds and the tests need. Idempotent: a second run only checks the packages.
#   bash tools/debian_root.sh [--root DIR] run [--bind PATH]... [--env NAME=VALUE]... [--] CMD...
#       Runs CMD as root inside the root (after `ensure`), in the current folder if it is bound.
#       /proc, /dev, /dev/pts and /dev/shm are mounted there, and each --bind PATH at the same
#       path inside, so that files can be handed in and out by their own names. The mounts live
#       in a mount namespace of their own, so none of them outlives the command, however it ends.
#
# DIR defaults to build/debian-testing in the project. It must be run as root. The machine's
# apt sources give the mirror (QUOREL_DEBIAN_MIRROR overrides it); pip inside the root uses the
# machine's pip configuration and CA bundle, copied in on every run.
set -euo pipefail
project="$(cd "$(dirname "$0")/.." && pwd)"
dir="$project/build/debian-testing"
suite=testing
# What the builds and the tests need: the interpreters with their headers and venv, the newest
# g++, CMake and Ninja for scikit-build-core, pip to build wheels, git for a clone of the project.
packages=(python3.14-dev python3.14-venv python3.15-dev python3.15-venv
          python3-pip g++ cmake ninja-build git ca-certificates)

fail() { echo "debian_root: FAILED: $*" >&2; exit 1; }

if [[ "${1:-}" == "--root" ]]; then
    [[ -n "${2:-}" ]] || fail "--root needs a folder"
    mkdir -p "$2"
    dir="$(cd "$2" && pwd)"
    shift 2
fi
command="${1:-ensure}"
[[ $# == 0 ]] || shift
[[ "$(id -u)" == 0 ]] || fail "run it as root: it runs debootstrap, chroot and mount"

# shellcheck source=tools/debian_mirror.sh
source "$project/tools/debian_mirror.sh"

# Mount points under the root that are in use right now (by another run, say).
mounts_below() {
    awk -v d="$dir/" 'index($2 "/", d) == 1 {print $2}' /proc/mounts
}

# Runs "$@" chrooted into the root, with the file systems the tests need, in a private mount
# namespace: the kernel drops every mount when the command's last process ends.
in_root() {
    local binds=() envs=() path
    while [[ $# -gt 0 ]]; do
        case "$1" in
            --bind) binds+=("$2"); shift 2 ;;
            --env) envs+=("$2"); shift 2 ;;
            --) shift; break ;;
            *) break ;;
        esac
    done
    [[ $# -gt 0 ]] || fail "run: no command given"
    for path in "${binds[@]}"; do
        [[ -d "$path" ]] || fail "run: --bind $path: not a folder"
    done
    # The machine's pip configuration and CA bundle, where there are any.
    if [[ -f /etc/pip.conf ]]; then
        cp /etc/pip.conf "$dir/etc/pip.conf"
    fi
    if [[ -n "${PIP_CERT:-}" && -f "$PIP_CERT" ]]; then
        mkdir -p "$dir$(dirname "$PIP_CERT")"
        cp "$PIP_CERT" "$dir$PIP_CERT.quorel" && mv "$dir$PIP_CERT.quorel" "$dir$PIP_CERT"
        envs+=("PIP_CERT=$PIP_CERT")
    fi
    local cwd="/"
    for path in "${binds[@]}"; do
        case "$PWD/" in "$(cd "$path" && pwd)/"*) cwd="$PWD" ;; esac
    done
    # shellcheck disable=SC2016
    unshare --mount --propagation private -- bash -c '
        set -euo pipefail
        dir="$1"; cwd="$2"; nbinds="$3"; shift 3
        mount -t proc proc "$dir/proc"
        mount --bind /dev "$dir/dev"
        mount -t devpts -o newinstance,ptmxmode=0666 devpts "$dir/dev/pts"
        mount -t tmpfs -o mode=1777 shm "$dir/dev/shm"
        for ((i = 0; i < nbinds; i++)); do
            path="$(cd "$1" && pwd)"; shift
            mkdir -p "$dir$path"
            mount --bind "$path" "$dir$path"
        done
        nenvs="$1"; shift
        envs=("${@:1:$nenvs}"); shift "$nenvs"
        exec chroot "$dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            PIP_DISABLE_PIP_VERSION_CHECK=1 "${envs[@]}" \
            /bin/sh -c "cd \"\$0\" && exec \"\$@\"" "$cwd" "$@"
    ' in_root "$dir" "$cwd" "${#binds[@]}" "${binds[@]}" "${#envs[@]}" "${envs[@]}" "$@"
}

apt_in_root() {
    # The mirror's copy of testing may be past its Valid-Until date.
    in_root --env DEBIAN_FRONTEND=noninteractive -- apt-get -o Acquire::Check-Valid-Until=false -o Acquire::Check-Date=false \
        -o APT::Install-Recommends=false -o Dpkg::Use-Pty=0 -qq "$@"
}

ensure() {
    local stamp="$dir/.quorel-packages" wanted from start
    wanted="$suite ${packages[*]}"
    if [[ -f "$stamp" && "$(cat "$stamp")" == "$wanted" ]]; then
        return 0
    fi
    if [[ ! -f "$dir/.quorel-bootstrapped" ]]; then
        # A half-made root from a failed run is made again from scratch.
        [[ -z "$(mounts_below)" ]] || fail "$dir has mounts below it: $(mounts_below | tr '\n' ' ')"
        rm -rf "$dir"
        mkdir -p "$dir"
        if ! command -v debootstrap >/dev/null; then
            echo "== debootstrap (a Debian package) for this machine"
            apt-get -qq update && DEBIAN_FRONTEND=noninteractive apt-get -qq -y install debootstrap >/dev/null
        fi
        start=$SECONDS
        from="$(mirror)"
        echo "== debootstrap: Debian $suite into $dir"
        debootstrap --variant=minbase "$suite" "$dir" "$from" >"$dir.debootstrap.log" 2>&1 ||
            { tail -20 "$dir.debootstrap.log" >&2; fail "debootstrap (whole log: $dir.debootstrap.log)"; }
        touch "$dir/.quorel-bootstrapped"
        echo "  done in $((SECONDS - start)) s"
    fi
    echo "== packages in the root: ${packages[*]}"
    start=$SECONDS
    apt_in_root update
    apt_in_root -y install "${packages[@]}" >/dev/null
    apt_in_root clean
    echo "$wanted" > "$stamp"
    echo "  done in $((SECONDS - start)) s"
}

case "$command" in
    ensure) ensure ;;
    run) ensure >&2; in_root "$@" ;;
    *) fail "unknown command '$command' (ensure or run)" ;;
esac
