#!/usr/bin/env bash
# Runs the quickstart tour (or the given Python script) under valgrind memcheck: any invalid read,
# write or use of uninitialised memory fails the run. With --pytest [args], runs the pytest suite
# instead (CPython 3.12, the files below left out) and also fails on any block definitely lost
# from the module's frames. Needs .venv.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
venv=${HUSH_VENV:-$root/.venv}

if [ "${1:-}" != "--pytest" ]; then
    script=${1:-$root/examples/quickstart.py}
    cd "$(dirname "$script")"
    PYTHONMALLOC=malloc valgrind --quiet --error-exitcode=99 --leak-check=no --track-origins=yes \
        "$venv/bin/python" "$script" >/dev/null
    echo "valgrind: no memory errors in $(basename "$script")"
    exit 0
fi
shift

# Left out, each for a reason: they would take hours or test nothing under valgrind.
skipped=(
    # 100,000 calls per entry: hours under valgrind, and growth is what it checks, not access
    --ignore="$root/tests/test_leaks.py"
    # timings; under valgrind they measure the emulator
    --ignore="$root/tests/test_constant_time.py"
    # every call runs in a child interpreter, which valgrind does not follow
    --ignore="$root/tests/test_nomemory.py"
    # reads the whole address space after each row: tens of minutes under valgrind
    --ignore="$root/tests/test_leak_scan.py"
    # their work runs in child processes and sub-interpreters, started at great cost under valgrind
    --ignore="$root/tests/test_fork.py"
    --ignore="$root/tests/test_lock_limit.py"
    --ignore="$root/tests/test_module.py"
    # 100,000 vaults, and random inputs by the thousand: the same paths as the edge cases kept
    --deselect="tests/test_lifetime.py::test_many_vaults_leave_nothing_behind"
    --deselect="tests/test_reveal.py::test_random_inputs_agree_with_python_codec"
    --deselect="tests/test_compare.py::test_verify_agrees_with_compare_digest"
    --deselect="tests/test_compare.py::test_compare_agrees_with_compare_digest"
)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
# PYTHONMALLOC=malloc: the interpreter's own allocator reads its arenas in ways memcheck reports.
PYTHONMALLOC=malloc valgrind --quiet --error-exitcode=99 --log-file="$log" \
    --suppressions="$root/tools/valgrind.supp" \
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=none \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider --timeout 1200 "${skipped[@]}" \
    "$root/tests" "$@" || status=$?
# Memory errors set the status; of the blocks the interpreter leaves at exit, only those
# allocated under the module's frames count.
"$venv/bin/python" - "$log" "$status" <<'PY' || status=$?
import re, sys

text = open(sys.argv[1]).read()
records = re.split(r"^==\d+== (?=\S)", text, flags=re.M)
lost = [r for r in records if "definitely lost" in r and "hush_vault" in r]
if lost or sys.argv[2] != "0":
    print("".join(lost) if lost else text[-20000:], file=sys.stderr)
    sys.exit(1)
PY
[ "$status" -eq 0 ] && echo "valgrind: no memory errors and nothing definitely lost from the module"
exit "$status"
