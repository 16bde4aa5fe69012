#!/usr/bin/env bash
# Builds everything and runs every test: the sdist, and from it the manylinux wheel for each
# supported CPython (3.12 to 3.15; 3.14 and 3.15 from Debian unstable, see tools/deps.sh), each
# installed into a fresh environment and tested there; its stubs, examples and documentation; the
# native GoogleTest suites under CTest on Linux, and the same suites built for Windows and run
# under Wine; the module cross-built for macOS and checked there, not run.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
"$root/tools/deps.sh"

# The module built for macOS, arm64 and x86_64, against each version's headers, and checked as
# macOS would load it. It compiles one file at a time, on about one core: it starts here, beside
# the wheels and their suites, whose CPython 3.12 run leaves the second core free.
macos_module="module built for macOS (arm64, x86_64; CPython 3.12 to 3.15), not run"
CMAKE_BUILD_PARALLEL_LEVEL=1 start_beside "$macos_module" "$root/tools/macos_module.sh"

# Every version named here must be found: a missing interpreter fails the run.
versions=(3.12 3.13 3.14 3.15)
venv=${HUSH_VENV:-$root/.venv}
python=$(find_python 3.12)
make_venv "$venv" "$python"
echo "== sdist"
sdist=$(build_sdist "$venv")
export HUSH_REPAIR_VENV=$venv
# The wheels come from the sdist, so that a file it leaves out fails the build or the tests.
for version in "${versions[@]}"; do
    start=$SECONDS
    interpreter=$(find_python "$version")
    build_venv=$venv
    if [ "$version" != 3.12 ]; then
        build_venv=$root/.venv-$version
        make_venv "$build_venv" "$interpreter"
    fi
    echo "== wheel (CPython $version, from the sdist)"
    wheel=$(build_wheel "$build_venv" "$sdist")
    installed="$root/build/venv-installed-$version"
    if [ "$version" = 3.12 ]; then
        # The development environment gets the same wheel and the test extras, so that .venv
        # serves the scripts run by hand (tools/mutants.sh, tools/sanitize.sh, ...).
        "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$wheel[test]"
        "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --force-reinstall \
            --no-deps "$wheel"
        fresh_venv "$installed" "$interpreter" "$wheel[test,typing,docs]"
        installed312=$installed
        echo "== pytest (CPython $version, installed wheel)"
        run_installed_tests "$installed"
    else
        fresh_venv "$installed" "$interpreter" "$wheel[test,docs]" "pytest-xdist>=3"
        # The other versions' suites on both cores: every test measures only its own process
        # (locked pages, memory, timings of interleaved classes) or the children it starts. 3.12
        # runs them in one process, in order, as a user's pytest does.
        echo "== pytest (CPython $version, installed wheel, two workers)"
        run_installed_tests "$installed" -n 2
        # The documentation's examples on every version (3.12's run with the site's build).
        (cd "$installed" && "$installed/bin/python" -m pytest -q -p no:cacheprovider \
            --doctest-glob='*.rst' "$root/docs")
    fi
    echo "== CPython $version: $((SECONDS - start)) s"
done
installed=$installed312

# The module in python.org's CPython 3.12 and 3.13 for Windows under Wine, each interpreter's
# files checked against its pinned hash and their Authenticode signatures first: the quickstart
# tour and the whole suite, with the leak table and a reduced fault sweep on 3.12. Wine runs on
# about one core, beside the stages up to the fuzzing.
windows_module="module in CPython for Windows (3.12, 3.13), under Wine"
HUSH_WINDOWS_LEAK_TABLE=3.12 HUSH_WINDOWS_FAULT_SWEEP=3.12 \
    start_beside "$windows_module" "$root/tools/windows_module.sh" --run

echo "== native tests (Linux)"
cmake -S "$root" -B "$root/build/native" -G Ninja -DHUSH_VAULT_PYTHON=OFF \
    -DHUSH_VAULT_NATIVE_TESTS=ON >/dev/null
cmake --build "$root/build/native"
ctest --test-dir "$root/build/native" --output-on-failure

echo "== benchmark (short run)"; "$root/tools/check_bench.sh"

# Every system call of each scenario failed in turn, against the injection build: one core,
# beside the stages up to the sanitizers.
start_beside "fault sweep" "$root/tools/check_faults.sh"

if [ -x "$root/tools/windows_tests.sh" ]; then
    echo "== native tests (Windows, under Wine)"
    "$root/tools/windows_tests.sh"
fi

"$root/tools/check_package.sh" "$installed" "${versions[@]}"
"$root/tools/check_docs.sh" "$installed"

echo "== fuzzing (bounded run)"
"$root/tools/check_fuzz.sh"

wait_beside "$windows_module"
wait_beside "fault sweep"
wait_beside "$macos_module"

# Sanitizers, LeakSanitizer and valgrind over the suites (the leak, exhaustion, timing and thread
# tests are pytest files and have run above).
HUSH_VENV="$installed" "$root/tools/check_proof.sh"
