#!/usr/bin/env bash
# CI: the benchmark in its short mode, so that it keeps running (its figures decide nothing here),
# then the instruction counts of the hot paths against bench/callgrind_baseline.json, which do:
# a path more than 3 % over its baseline fails the run.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
venv=${HUSH_VENV:-$root/.venv}
"$root/tools/bench.sh" --short --no-callgrind
start=$SECONDS
"$venv/bin/python" "$root/bench/callgrind_counts.py" --check
echo "== instruction counts: $((SECONDS - start)) s"
