#!/usr/bin/env bash
# Fuzzes one harness by hand: tools/fuzz.sh <harness> [seconds] [extra libFuzzer flags...]
# Harnesses: utf8, lossy, env_utf16, binding_messages (native, clang + libFuzzer) and python
# (atheris, against the module installed in the project's environment). The working corpus grows
# under build/fuzz/corpus/<harness>, seeded from tests/fuzz/corpus/<harness>; a failing input is
# written to build/fuzz/crashes/<harness>/ and replays as a test once copied to
# tests/fuzz/regressions/<harness>/.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
harness=${1:?usage: tools/fuzz.sh <harness> [seconds] [libFuzzer flags...]}
seconds=${2:-600}
shift $(( $# < 2 ? $# : 2 ))

build=$root/build/fuzz
seeds=$root/tests/fuzz/corpus/$harness
regressions=$root/tests/fuzz/regressions/$harness
work=$build/corpus/$harness
crashes=$build/crashes/$harness
mkdir -p "$work" "$crashes"
inputs=("$work")
for dir in "$seeds" "$regressions"; do
    [ -d "$dir" ] && inputs+=("$dir")
done
flags=(-max_total_time="$seconds" -artifact_prefix="$crashes/" -print_final_stats=1 "$@")

if [ "$harness" = python ]; then
    venv=${HUSH_VENV:-$root/.venv}
    [ -x "$venv/bin/python" ] || { echo "no $venv: run tools/test.sh first" >&2; exit 1; }
    "$venv/bin/python" -c "import atheris" 2>/dev/null ||
        "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "atheris>=2.3"
    # Run as a program found through PATH, so that libFuzzer's -merge and -fork can start it again.
    export PATH="$venv/bin:$PATH"
    run=("$root/tests/fuzz/fuzz_python.py")
    replay="$venv/bin/python tests/fuzz/fuzz_python.py --replay"
else
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DHUSH_VAULT_PYTHON=OFF -DHUSH_VAULT_FUZZ=ON >/dev/null
    cmake --build "$build" --target "fuzz_$harness" >/dev/null
    run=("$build/fuzz_$harness")
    replay="build/fuzz/fuzz_$harness"
fi

echo "== fuzz $harness for ${seconds}s"
if ! "${run[@]}" "${flags[@]}" "${inputs[@]}"; then
    echo "fuzz $harness failed; the input is in $crashes/." >&2
    echo "replay: $replay <file>; keep it as a test: copy it to tests/fuzz/regressions/$harness/" >&2
    exit 1
fi
