# Sourced by the wheel scripts: finding the CPython interpreters that wheels are built for, and
# running commands where each one lives.

# The CPython versions that quorel ships wheels for.
QUOREL_PYTHON_VERSIONS=(3.9 3.10 3.11 3.12 3.13 3.14 3.15)
# Those that quorel also ships aarch64 wheels for: the versions that Debian builds for arm64
# (tools/aarch64_interpreters.sh), to test each wheel on.
QUOREL_AARCH64_VERSIONS=(3.11 3.13 3.14 3.15)
# Those that come from the Debian testing root of tools/debian_root.sh, not from this machine.
QUOREL_ROOT_VERSIONS=(3.14 3.15)
# A free-threaded CPython (built with --disable-gil) is named X.Yt, as its ABI tag is (cp313t):
# tools/free_threaded_python.sh builds the newest one it can fetch the source of, into
# build/free-threaded, and prints its path; free_threaded_version names it.
# Folders that commands run in the Debian root see at their own paths; the scripts add theirs.
QUOREL_ROOT_BINDS=()
# Variables that commands run in the Debian root keep, where they are set.
QUOREL_ROOT_PASS_ENV=(CC CXX CXXFLAGS LDFLAGS CMAKE_ARGS SETUPTOOLS_EXT_SUFFIX SKBUILD_INSTALL_STRIP
                      ZIG_GLOBAL_CACHE_DIR ZIG_LOCAL_CACHE_DIR)
QUOREL_TOOLS="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# The ABI tag of a wheel for CPython X.Y or X.Yt: cp313, cp313t.
abi_tag() {
    echo "cp${1/./}"
}

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

# The version, as X.Yt, of the free-threaded interpreter at PATH (tools/free_threaded_python.sh's).
free_threaded_version() {
    "$1" -c 'import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1
print("%d.%dt" % sys.version_info[:2])'
}

# Prints the path of a working CPython X.Y (or free-threaded X.Yt) with its headers and venv, on
# the system where it lives (see on_system_of), or nothing. Here: pyenv's newest X.Y.* under
# $PYENV_ROOT/versions first, then pythonX.Y on PATH; X.Yt: tools/free_threaded_python.sh's,
# once built. In the Debian root: its /usr/bin/pythonX.Y.
find_interpreter() {
    local version="$1" candidate
    local candidates=()
    if [[ "$version" == *t ]]; then
        candidates=("$(cd "$QUOREL_TOOLS/.." && pwd)/build/free-threaded/python$version/bin/python$version")
    elif from_debian_root "$version"; then
        candidates=("/usr/bin/python$version")
    else
        local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
        mapfile -t candidates < <(ls -d "$pyenv_root"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V -r)
        candidates+=("$(command -v "python$version" || true)")
    fi
    for candidate in "${candidates[@]}"; do
        [[ -n "$candidate" ]] || continue
        if on_system_of "$version" "$candidate" -c "import sys, sysconfig, os, venv
threading = 't' if sysconfig.get_config_var('Py_GIL_DISABLED') else ''
assert sys.implementation.name == 'cpython' and '%d.%d%s' % (*sys.version_info[:2], threading) == '$version'
assert os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h'))" 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
}
