#!/usr/bin/env bash
# CI: a bounded run of every fuzz harness (about a minute in all) from the committed corpora;
# the committed seeds and crash inputs are replayed first by each run. Long runs: tools/fuzz.sh.
set -euo pipefail
here=$(dirname "${BASH_SOURCE[0]}")
for harness in utf8 lossy env_utf16 binding_messages; do
    "$here/fuzz.sh" "$harness" 8 -print_final_stats=0
done
"$here/fuzz.sh" python 25 -print_final_stats=0
