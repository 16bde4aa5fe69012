#!/usr/bin/env bash
# Builds the extension and the native suites with AddressSanitizer and UndefinedBehaviorSanitizer,
# then runs CTest and pytest against that build, with LeakSanitizer on for the module's own
# allocations. Needs .venv (./tools/test.sh makes it); extra arguments go to pytest.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
venv=${HUSH_VENV:-$root/.venv}
build="$root/build/sanitize"
# Instrumented code runs several times slower: each native test gets more time before it counts
# as hung.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHUSH_VAULT_SANITIZE=ON \
    -DHUSH_VAULT_NATIVE_TESTS=ON -DHUSH_VAULT_TEST_TIMEOUT=300 \
    -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build "$build"
# allocator_may_return_null: an impossible request must reach our own exhaustion report.
export ASAN_OPTIONS=allocator_may_return_null=1
# Left out: the exhaustive UTF-8 agreement (16 million inputs, minutes when instrumented); the
# random-text agreement runs the same code paths here, and the plain build runs it whole.
ctest --test-dir "$build" --output-on-failure -E 'valgrind|Utf8.AgreesWithTheReferenceOnEveryInput' 
# The interpreter is not instrumented: preload the runtime. PYTHONMALLOC=malloc puts every Python
# object on the heap LeakSanitizer scans, so a block the module still references from a live
# object is not taken for lost; lsan.supp leaves out what the interpreter itself never frees.
# Left out: the leftover-secret scan, which reads every mapping (ASan's shadow makes that minutes
# a row) and whose freed blocks ASan's quarantine keeps whole.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
PYTHONMALLOC=malloc \
ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONPATH="$build" "$venv/bin/python" -m pytest -q -p no:cacheprovider --timeout 600 \
    --ignore="$root/tests/test_leak_scan.py" "$root/tests" "$@"
