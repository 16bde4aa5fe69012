#!/usr/bin/env bash
# Runs clang-tidy over every source file, with the compile commands of a development build.
set -euo pipefail
command -v clang-tidy >/dev/null ||
    { echo "tools/tidy.sh needs clang-tidy first (apt-get install clang-tidy)" >&2; exit 1; }
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
python=$(find_python 3.12)
build="$root/build/tidy"
cmake -S "$root" -B "$build" -G Ninja -DPython_EXECUTABLE="$python" -DHUSH_VAULT_NATIVE_TESTS=ON \
    -DHUSH_VAULT_FAULT_INJECTION=ON >/dev/null
# The Windows and macOS layers are checked by their cross builds (their headers are not here).
files=$(cd "$root" && git ls-files 'src/*.cpp' | grep -v -E '(_windows|os_macos)\.cpp$')
cd "$root"
run-clang-tidy -quiet -p "$build" $files 2>/dev/null || clang-tidy -quiet -p "$build" $files
