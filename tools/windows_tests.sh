#!/usr/bin/env bash
# Cross-builds the native GoogleTest suites for 64-bit Windows with mingw-w64 and runs them under
# Wine, in a fresh Wine prefix that is removed afterwards.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${HUSH_WINDOWS_BUILD:-$root/build/windows}
wine=${HUSH_WINE:-/usr/lib/wine/wine64}
limit=${HUSH_WINE_TIMEOUT:-900}
wineserver=${wine%/*}/wineserver
[ -x "$wineserver" ] || wineserver=wineserver

for tool in x86_64-w64-mingw32-g++-posix "$wine"; do
    if ! command -v "$tool" >/dev/null; then
        echo "windows_tests: $tool is missing (tools/deps.sh installs it)" >&2
        exit 1
    fi
done

cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DHUSH_VAULT_WINE="$wine" \
    -DHUSH_VAULT_PYTHON=OFF -DHUSH_VAULT_NATIVE_TESTS=ON >/dev/null
cmake --build "$build"

prefix=$(mktemp -d "${TMPDIR:-/tmp}/hush_vault_wine.XXXXXX")
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEARCH=win64
# No desktop integration and no Mono or Gecko installers: the tests need neither.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
export DISPLAY=
cleanup() {
    # Only this prefix's server: other Wine sessions on the machine keep theirs. It writes the
    # registry back as it stops, so wait for it before removing the prefix.
    timeout 30 "$wineserver" -k >/dev/null 2>&1 || true
    timeout 30 "$wineserver" -w >/dev/null 2>&1 || true
    rm -rf "$prefix"
}
trap cleanup EXIT

timeout 300 "$wine" wineboot -i >/dev/null 2>&1 || {
    echo "windows_tests: wineboot failed or timed out" >&2
    exit 1
}
timeout 60 "$wineserver" -w || true

timeout "$limit" ctest --test-dir "$build" --output-on-failure --timeout "$limit"
