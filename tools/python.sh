# Sourced by the other scripts: picks CPython 3.12 and the project's virtual environment.
# HUSH_PYTHON overrides the interpreter; HUSH_VENV the environment's folder.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

find_python() {
    local want=${1:-3.12} candidate pyenv_root
    if [ -n "${HUSH_PYTHON:-}" ]; then echo "$HUSH_PYTHON"; return; fi
    pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    candidate=$(ls -d "$pyenv_root"/versions/"$want".*/bin/python"$want" 2>/dev/null | sort -V | tail -n 1)
    if [ -z "$candidate" ]; then
        candidate=$(command -v "python$want" 2>/dev/null || true)
    fi
    if [ -z "$candidate" ] || ! "$candidate" -c 'import sys' 2>/dev/null; then
        echo "no CPython $want found (set HUSH_PYTHON)" >&2
        return 1
    fi
    echo "$candidate"
}

# make_venv DIR PYTHON: a virtual environment with the build backend in it.
make_venv() {
    local dir=$1 python=$2
    if [ ! -x "$dir/bin/python" ]; then
        "$python" -m venv "$dir"
    fi
    "$dir/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
    "$dir/bin/python" -m pip install --quiet --disable-pip-version-check "scikit-build-core>=0.10"
}

# install_module DIR [EXTRAS]: builds the extension and installs it into the environment.
install_module() {
    local dir=$1 extras=${2:-}
    "$dir/bin/python" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
        "$root$extras"
}
