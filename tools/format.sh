#!/usr/bin/env bash
# Formats the C++ sources in place (--check: only report what would change).
set -euo pipefail
command -v clang-format >/dev/null ||
    { echo "tools/format.sh needs clang-format first (apt-get install clang-format)" >&2; exit 1; }
cd "$(dirname "${BASH_SOURCE[0]}")/.."
files=$(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/native/*.cpp' 'tests/native/*.hpp' 'tests/fuzz/*.cpp' \
    'tests/fuzz/*.hpp')
if [ "${1:-}" = "--check" ]; then
    clang-format --dry-run -Werror $files
else
    clang-format -i $files
fi
