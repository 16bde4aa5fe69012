#!/usr/bin/env bash
# Builds hush_vault into .venv and runs the quickstart example.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
venv=${HUSH_VENV:-$root/.venv}
python=$(find_python 3.12)
make_venv "$venv" "$python"
install_module "$venv"
cd "$root/examples"
"$venv/bin/python" quickstart.py
