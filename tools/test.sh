#!/usr/bin/env bash
# Builds everything and runs every test: pytest against the installed module, the native
# GoogleTest suites under CTest on Linux, and the same suites built for Windows and run under Wine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
"$root/tools/deps.sh"

venv=${HUSH_VENV:-$root/.venv}
python=$(find_python 3.12)
make_venv "$venv" "$python"
install_module "$venv" "[test]"

echo "== pytest (CPython 3.12)"
(cd "$root" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests)

# The module also builds for CPython 3.13 where one is installed; its suite runs there too.
if python313=$(find_python 3.13 2>/dev/null); then
    venv313=${HUSH_VENV_313:-$root/.venv-3.13}
    make_venv "$venv313" "$python313"
    install_module "$venv313" "[test]"
    echo "== pytest (CPython 3.13)"
    (cd "$root" && "$venv313/bin/python" -m pytest -q -p no:cacheprovider tests)
fi

echo "== native tests (Linux)"
cmake -S "$root" -B "$root/build/native" -G Ninja -DHUSH_VAULT_PYTHON=OFF \
    -DHUSH_VAULT_NATIVE_TESTS=ON >/dev/null
cmake --build "$root/build/native"
ctest --test-dir "$root/build/native" --output-on-failure

if [ -x "$root/tools/windows_tests.sh" ]; then
    echo "== native tests (Windows, under Wine)"
    "$root/tools/windows_tests.sh"
fi

"$root/tools/check_proof.sh"
