# Sourced by the wheel scripts: finding the CPython interpreters that wheels are built for.

# The CPython versions that quorel ships wheels for.
QUOREL_PYTHON_VERSIONS=(3.9 3.10 3.11 3.12 3.13)

# Prints the path of a working CPython X.Y with its headers and venv, or nothing: pyenv's
# newest X.Y.* under $PYENV_ROOT/versions first, then pythonX.Y on PATH.
find_interpreter() {
    local version="$1" candidate
    local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
    local candidates=()
    mapfile -t candidates < <(ls -d "$pyenv_root"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V -r)
    candidates+=("$(command -v "python$version" || true)")
    for candidate in "${candidates[@]}"; do
        [[ -n "$candidate" && -x "$candidate" ]] || continue
        if "$candidate" -c "import sys, sysconfig, os, venv
assert sys.implementation.name == 'cpython' and '%d.%d' % sys.version_info[:2] == '$version'
assert os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h'))" 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
}
