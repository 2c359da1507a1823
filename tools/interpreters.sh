# Sourced by the wheel scripts: finding the CPython interpreters that wheels are built for, and
# running commands where each one lives.

# The CPython versions that quorel ships wheels for.
QUOREL_PYTHON_VERSIONS=(3.9 3.10 3.11 3.12 3.13 3.14 3.15)
# Those that quorel also ships aarch64 wheels for: the versions that Debian builds for arm64
# (tools/aarch64_interpreters.sh), to test each wheel on.
QUOREL_AARCH64_VERSIONS=(3.11 3.13 3.14 3.15)
# Those that come from the Debian testing root of tools/debian_root.sh, not from this machine.
QUOREL_ROOT_VERSIONS=(3.14 3.15)
# Folders that commands run in the Debian root see at their own paths; the scripts add theirs.
QUOREL_ROOT_BINDS=()
# Variables that commands run in the Debian root keep, where they are set.
QUOREL_ROOT_PASS_ENV=(CC CXX CXXFLAGS LDFLAGS CMAKE_ARGS SETUPTOOLS_EXT_SUFFIX SKBUILD_INSTALL_STRIP
                      ZIG_GLOBAL_CACHE_DIR ZIG_LOCAL_CACHE_DIR)
QUOREL_TOOLS="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# Whether CPython X.Y comes from the Debian root.
from_debian_root() {
    local version
    for version in "${QUOREL_ROOT_VERSIONS[@]}"; do
        [[ "$version" == "$1" ]] && return 0
    done
    return 1
}

# Makes the Debian root ready, once per script, if any of the versions asked for needs it.
ensure_debian_root() {
    local version
    for version in "$@"; do
        if from_debian_root "$version"; then
            [[ -n "${QUOREL_ROOT_READY:-}" ]] || bash "$QUOREL_TOOLS/debian_root.sh" ensure
            QUOREL_ROOT_READY=1
            return
        fi
    done
}

# Runs "$@" on the system where CPython X.Y lives: here, or chrooted into the Debian root with
# the folders of QUOREL_ROOT_BINDS and the variables of QUOREL_ROOT_PASS_ENV.
on_system_of() {
    local version="$1"; shift
    if ! from_debian_root "$version"; then
        "$@"
        return
    fi
    local args=() folder name
    for folder in "${QUOREL_ROOT_BINDS[@]}"; do
        args+=(--bind "$folder")
    done
    for name in "${QUOREL_ROOT_PASS_ENV[@]}"; do
        [[ -n "${!name:-}" ]] && args+=(--env "$name=${!name}")
    done
    bash "$QUOREL_TOOLS/debian_root.sh" run "${args[@]}" -- "$@"
}

# Prints the path of a working CPython X.Y with its headers and venv, on the system where it
# lives (see on_system_of), or nothing. Here: pyenv's newest X.Y.* under $PYENV_ROOT/versions
# first, then pythonX.Y on PATH. In the Debian root: its /usr/bin/pythonX.Y.
find_interpreter() {
    local version="$1" candidate
    local candidates=()
    if from_debian_root "$version"; then
        candidates=("/usr/bin/python$version")
    else
        local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
        mapfile -t candidates < <(ls -d "$pyenv_root"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V -r)
        candidates+=("$(command -v "python$version" || true)")
    fi
    for candidate in "${candidates[@]}"; do
        [[ -n "$candidate" ]] || continue
        if on_system_of "$version" "$candidate" -c "import sys, sysconfig, os, venv
assert sys.implementation.name == 'cpython' and '%d.%d' % sys.version_info[:2] == '$version'
assert os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h'))" 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
}
