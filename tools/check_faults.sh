#!/usr/bin/env bash
# The fault sweep: the module built with HUSH_VAULT_FAULT_INJECTION in a build folder of its own
# (never installed, so it cannot mix with a wheel), then every system call of each scenario made
# to fail in turn (tools/fault_sweep.py over tests/fault_scenarios.py). Extra arguments name the
# scenarios to run.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
python=$(find_python 3.12)
build=${HUSH_INJECT_BUILD:-$root/build/inject}
start=$SECONDS
cmake -S "$root" -B "$build" -G Ninja -DPython_EXECUTABLE="$python" \
    -DHUSH_VAULT_FAULT_INJECTION=ON >/dev/null
cmake --build "$build" --target hush_vault hush_vault_sources >/dev/null
# The Windows OS layer goes through the same counter: its injection build must compile too.
cmake -S "$root" -B "$build-windows" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DHUSH_VAULT_PYTHON=OFF -DHUSH_VAULT_FAULT_INJECTION=ON >/dev/null
cmake --build "$build-windows" --target hush_vault_secret >/dev/null
echo "fault sweep: injection builds (Linux module, Windows OS layer) in $((SECONDS - start)) s"
# From a folder where the source tree's module cannot be imported; the sweep puts the build first
# on each case's sys.path.
cd "$build"
"$python" "$root/tools/fault_sweep.py" "$build" "$@"
