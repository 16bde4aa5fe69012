#!/usr/bin/env bash
# The documentation site: its examples run against the installed wheel, then Sphinx builds it with
# warnings as errors. Takes the virtual environment that installed the wheel with its [docs] extra.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
venv=$(cd "${1:?usage: check_docs.sh VENV}" && pwd)

echo "== docs: examples (doctest), the README's and the package index's included"
(cd "$venv" && "$venv/bin/python" -m pytest -q -p no:cacheprovider --doctest-glob='*.rst' \
    --doctest-glob='*.md' "$root/docs" "$root/README.md")

echo "== docs: build (warnings are errors)"
rm -rf "$root/build/docs"
"$venv/bin/python" -m sphinx -W --keep-going -q -b html "$root/docs" "$root/build/docs/html"
echo "built $root/build/docs/html/index.html"
