#!/usr/bin/env bash
# Puts the faults of tools/mutants.txt into the sources one at a time, rebuilds incrementally,
# runs the fast suites (CTest without the valgrind entries, then pytest) and prints which suite
# killed each mutant. By hand, and slow (about a minute per mutant); needs .venv with the test
# extras (./tools/test.sh makes it). Arguments: mutant ids to run (default: all).
# Exit status: 0 when every mutant was killed; 1 when one survived or did not build.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
venv=${HUSH_VENV:-$root/.venv}
build="$root/build/mutants"
table="$root/tools/mutants.txt"
limit=${HUSH_MUTANT_TIMEOUT:-300}
mutants() { "$venv/bin/python" "$root/tools/mutants.py" "$@"; }

# Every row must still match today's sources before anything is built.
listing=$(mutants list "$root" "$table")
if [ $# -gt 0 ]; then
    ids=("$@")
else
    mapfile -t ids < <(cut -f1 <<<"$listing")
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHUSH_VAULT_NATIVE_TESTS=ON \
    -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build "$build" >/dev/null

ctest_suite() {
    timeout "$limit" ctest --test-dir "$build" -E valgrind -j2 --stop-on-failure >/dev/null 2>&1
}
pytest_suite() {
    (cd "$root" && PYTHONPATH="$build" timeout "$limit" "$venv/bin/python" -m pytest -q -x \
        -p no:cacheprovider tests) >/dev/null 2>&1
}

# The sources are sane before any mutant goes in: both suites pass.
ctest_suite || { echo "mutants: CTest fails without any mutant" >&2; exit 1; }
pytest_suite || { echo "mutants: pytest fails without any mutant" >&2; exit 1; }

saved=$(mktemp -d "${TMPDIR:-/tmp}/hush_vault_mutants.XXXXXX")
mutated_file=""
restore() {
    # A fresh copy (new mtime), so that the next build recompiles what the mutant touched.
    if [ -n "$mutated_file" ]; then
        cp "$saved/original" "$root/$mutated_file"
        mutated_file=""
    fi
}
trap 'restore; rm -rf "$saved"' EXIT
trap 'exit 130' INT TERM

results=()
failed=0
start=$SECONDS
for id in "${ids[@]}"; do
    file=$(awk -F'\t' -v id="$id" '$1 == id { print $2 }' <<<"$listing")
    [ -n "$file" ] || { echo "mutants: no mutant $id" >&2; exit 1; }
    cp "$root/$file" "$saved/original"
    mutated_file=$file
    mutants apply "$root" "$table" "$id"
    began=$SECONDS
    killers=()
    if ! cmake --build "$build" >"$saved/build.log" 2>&1; then
        killers=("did not build")
    else
        ctest_suite || killers+=(CTest)
        # A mutant may end the interpreter by a signal; the shell's note of it is not wanted.
        pytest_suite 2>/dev/null || killers+=(pytest)
    fi
    restore
    if [ ${#killers[@]} -eq 0 ]; then
        verdict="SURVIVED"
        failed=1
    elif [ "${killers[0]}" = "did not build" ]; then
        verdict="DID NOT BUILD"
        failed=1
        sed -n '1,20p' "$saved/build.log" >&2
    else
        verdict="killed by ${killers[*]}"
    fi
    results+=("$(printf '%-28s %-36s %4ss' "$id" "$verdict" $((SECONDS - began)))")
    echo "${results[-1]}"
done

cmake --build "$build" >/dev/null
echo
echo "== mutants ($(( SECONDS - start ))s)"
printf '%s\n' "${results[@]}"
exit $failed
