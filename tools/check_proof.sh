#!/usr/bin/env bash
# The slow proofs, run by CI after the plain suites: the sanitizer build (CTest and pytest, with
# LeakSanitizer) and the pytest suite under valgrind. The leak table, the constant-time test,
# the memory-exhaustion sweep and the thread test are pytest files and run in every suite.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"

stage() {
    local name=$1 start=$SECONDS
    shift
    echo "== $name"
    "$@"
    echo "== $name: $((SECONDS - start)) s"
}

# valgrind runs one process, on one core, beside the sanitizer build and its suites.
valgrind_stage="valgrind: pytest (CPython 3.12)"
start_beside "$valgrind_stage" "$root/tools/valgrind.sh" --pytest
stage "ASan+UBSan+LSan: CTest and pytest" "$root/tools/sanitize.sh"
wait_beside "$valgrind_stage"
