#!/usr/bin/env bash
# Builds the module in release mode (symbols kept, for callgrind) into .venv with the benchmark's
# dependencies, then prints the table of ratios. Arguments go to bench/bench_vault.py (pyperf's
# options, --short, --no-callgrind).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
venv=${HUSH_VENV:-$root/.venv}
make_venv "$venv" "$(find_python 3.12)"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
    -C install.strip=false -C cmake.build-type=Release "$root[bench]"
cd "$root"
exec "$venv/bin/python" bench/bench_vault.py "$@"
