#!/usr/bin/env bash
# Runs the quickstart tour (or the given Python script) under valgrind memcheck: any invalid read,
# write or use of uninitialised memory fails the run. By hand; needs .venv.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
venv=${HUSH_VENV:-$root/.venv}
script=${1:-$root/examples/quickstart.py}
cd "$(dirname "$script")"
PYTHONMALLOC=malloc valgrind --quiet --error-exitcode=99 --leak-check=no --track-origins=yes \
    "$venv/bin/python" "$script" >/dev/null
echo "valgrind: no memory errors in $(basename "$script")"
