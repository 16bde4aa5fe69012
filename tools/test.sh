#!/usr/bin/env bash
# Builds everything and runs every test: the manylinux wheel installed into a fresh environment and
# tested there (CPython 3.12 and, where installed, 3.13), its stubs, examples and documentation,
# the native GoogleTest suites under CTest on Linux, and the same suites built for Windows and run
# under Wine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
"$root/tools/deps.sh"

venv=${HUSH_VENV:-$root/.venv}
python=$(find_python 3.12)
make_venv "$venv" "$python"
echo "== wheel (CPython 3.12)"
wheel=$(build_wheel "$venv")
# The development environment gets the same wheel, so .venv stays usable by hand.
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --force-reinstall \
    --no-deps "$wheel"
installed="$root/build/venv-installed-3.12"
fresh_venv "$installed" "$python" "$wheel[test,typing,docs]"
echo "== pytest (CPython 3.12, installed wheel)"
run_installed_tests "$installed"

# The module also builds for CPython 3.13 where one is installed; its suite runs there too.
if python313=$(find_python 3.13 2>/dev/null); then
    venv313=${HUSH_VENV_313:-$root/.venv-3.13}
    make_venv "$venv313" "$python313"
    echo "== wheel (CPython 3.13)"
    wheel313=$(build_wheel "$venv313")
    installed313="$root/build/venv-installed-3.13"
    fresh_venv "$installed313" "$python313" "$wheel313[test]"
    echo "== pytest (CPython 3.13, installed wheel)"
    run_installed_tests "$installed313"
fi

echo "== native tests (Linux)"
cmake -S "$root" -B "$root/build/native" -G Ninja -DHUSH_VAULT_PYTHON=OFF \
    -DHUSH_VAULT_NATIVE_TESTS=ON >/dev/null
cmake --build "$root/build/native"
ctest --test-dir "$root/build/native" --output-on-failure

echo "== benchmark (short run)"; "$root/tools/check_bench.sh"

if [ -x "$root/tools/windows_tests.sh" ]; then
    echo "== native tests (Windows, under Wine)"
    "$root/tools/windows_tests.sh"
fi

# The module in python.org's CPython 3.12 and 3.13 for Windows under Wine, each interpreter's
# files checked against its pinned hash and their Authenticode signatures first: the quickstart
# tour and the whole suite.
echo "== module in CPython for Windows (3.12, 3.13), under Wine"
"$root/tools/windows_module.sh" --run

"$root/tools/check_package.sh" "$installed"
"$root/tools/check_docs.sh" "$installed"

echo "== fuzzing (bounded run)"
"$root/tools/check_fuzz.sh"

# Sanitizers, LeakSanitizer and valgrind over the suites (the leak, exhaustion, timing and thread
# tests are pytest files and have run above).
HUSH_VENV="$installed" "$root/tools/check_proof.sh"
