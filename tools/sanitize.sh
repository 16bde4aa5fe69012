#!/usr/bin/env bash
# Builds the extension and the native suites with AddressSanitizer and UndefinedBehaviorSanitizer,
# then runs CTest and pytest against that build. By hand; needs .venv (./tools/test.sh makes it).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
venv=${HUSH_VENV:-$root/.venv}
build="$root/build/sanitize"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHUSH_VAULT_SANITIZE=ON \
    -DHUSH_VAULT_NATIVE_TESTS=ON -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build "$build"
# allocator_may_return_null: an impossible request must reach our own exhaustion report.
export ASAN_OPTIONS=allocator_may_return_null=1
ctest --test-dir "$build" --output-on-failure -E valgrind
# The interpreter is not instrumented: preload the runtime, and leave its own leaks alone.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONPATH="$build" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests" "$@"
