#!/usr/bin/env bash
# Cross-builds every Python module target of the project for macOS, arm64 and x86_64, against the
# headers of each supported CPython (3.12 to 3.15), with zig from PyPI (ziglang, pinned below) and
# the macOS build facts of cmake/macos-python/pyconfig.h, warnings as errors; then checks each
# module as macOS would load it (tools/macos_module_check.py). Nothing here runs the module: no
# macOS is at hand. HUSH_MACOS_PYTHONS="3.12" and HUSH_MACOS_ARCHS="arm64" pick fewer.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"

base=${HUSH_MACOS_MODULE_BUILD:-$root/build/macos-module}
versions=${HUSH_MACOS_PYTHONS:-3.12 3.13 3.14 3.15}
archs=${HUSH_MACOS_ARCHS:-arm64 x86_64}
# ziglang release and the sha256 of its wheel for x86-64 Linux, the machine this runs on.
zig_release=0.17.1
zig_sha256=ea6cc5d87b033cf0aedfbc8f9549a908cae6c50ac31f1698188fa48a74524b54

fail() {
    echo "macos_module: $*" >&2
    exit 1
}
for tool in cmake ninja llvm-objdump-14 llvm-nm-14 nm ldd; do
    command -v "$tool" >/dev/null || fail "$tool is missing (tools/deps.sh installs it)"
done
host_python=$(find_python 3.12)

# The toolchain, installed from its pinned wheel into the build folder, never from whatever zig
# is on PATH. A failed download or a zig that does not run stops the stage: macOS is never
# skipped.
zig_dir=$base/zig
zig=$zig_dir/ziglang/zig
if [ "$(cat "$zig_dir/release" 2>/dev/null)" != "$zig_release" ]; then
    rm -rf "$zig_dir" && mkdir -p "$zig_dir"
    echo "ziglang==$zig_release --hash=sha256:$zig_sha256" >"$base/zig-pinned.txt"
    "$host_python" -m pip install --quiet --disable-pip-version-check --no-deps \
        --only-binary :all: --require-hashes --target "$zig_dir" -r "$base/zig-pinned.txt" ||
        fail "cannot install ziglang $zig_release from PyPI (see pip's message above)"
    echo "$zig_release" >"$zig_dir/release"
fi
[ -x "$zig" ] || fail "$zig is missing: the ziglang $zig_release wheel did not install it"
found=$("$zig" version 2>&1) || fail "$zig does not run: $found"
[ "$found" = "$zig_release" ] || fail "$zig is release '$found', not $zig_release"
# zig's own cache (the libc++ it builds for each target) stays with the build.
export ZIG_GLOBAL_CACHE_DIR=$base/zig-cache ZIG_LOCAL_CACHE_DIR=$base/zig-cache

# The interpreters' exports, one file per version: the oracle for what a module may import.
for version in $versions; do
    tag=cp${version/./}
    python=$(find_python "$version")
    headers=$base/headers/$tag
    # Times kept, so that an unchanged tree rebuilds nothing.
    rm -rf "$headers" && mkdir -p "$headers"
    cp -Rp "$("$python" -c 'import sysconfig; print(sysconfig.get_path("include"))')/." "$headers/"
    cp -p "$root/cmake/macos-python/pyconfig.h" "$headers/pyconfig.h"
    # What an extension module can bind to in that interpreter's process: the dynamic symbols of
    # the libpython it loads, or of the executable when libpython is linked into it. CPython is
    # built with hidden visibility, so that list is exactly what its headers declare as exported
    # (PyAPI_FUNC, PyAPI_DATA), and macOS builds export the same declarations from the same
    # sources; Linux-only or macOS-only functions are never declared to a module by both.
    library=$(ldd "$python" | awk '$1 ~ /^libpython/ { print $3 }')
    nm -D --defined-only "${library:-$python}" | awk '{ sub(/@.*/, "", $3); print "_" $3 }' |
        sort -u >"$base/headers/$tag.exports"
    [ "$(wc -l <"$base/headers/$tag.exports")" -gt 1000 ] ||
        fail "CPython $version exports too few symbols in ${library:-$python}: is it stripped?"
done

for arch in $archs; do
    build=$base/$arch
    # One tree per architecture, configured again for each version: the libraries that never see
    # the interpreter's headers are built once.
    mkdir -p "$build/.cmake/api/v1/query"
    touch "$build/.cmake/api/v1/query/codemodel-v2"
    for version in $versions; do
        tag=cp${version/./}
        echo "== macOS $arch, CPython $version"
        cmake -S "$root" -B "$build" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/zig-macos.cmake" \
            -DHUSH_VAULT_ZIG="$zig" -DHUSH_VAULT_MACOS_ARCH="$arch" \
            -DHUSH_VAULT_PYTHON=ON -DHUSH_VAULT_NATIVE_TESTS=OFF \
            -DPython_INCLUDE_DIR="$base/headers/$tag" -DPython_SOABI="cpython-${tag#cp}-darwin" \
            >"$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; fail "configure failed"; }
        cmake --build "$build" || fail "the build for macOS $arch, CPython $version failed"
        "$host_python" "$root/tools/macos_module_check.py" "$build" "$arch" \
            "$base/headers/$tag.exports" || fail "macOS $arch, CPython $version: a check failed"
    done
done
