#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, where they are missing, and fetches
# the CPython versions Debian 12 lacks (see below).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
packages=(cmake ninja-build g++ libgtest-dev valgrind g++-mingw-w64-x86-64-posix wine64 clang-14
    libclang-rt-14-dev llvm-14 patchelf osslsigncode)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing Debian packages: ${missing[*]} (install them as root)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# CPython 3.14 and 3.15 come from Debian unstable, unpacked under build/debian-unstable/ and never
# installed: apt works there with its own sources list, state and cache, and the system's apt is
# left alone. The interpreters need unstable's C library, so each one is pointed at the loader
# and libraries unpacked beside it (patchelf); the venvs and the child interpreters the tests
# start run the same binaries. HUSH_UNSTABLE_PYTHONS names the versions (space-separated).
versions=(${HUSH_UNSTABLE_PYTHONS-3.14 3.15})
[ ${#versions[@]} -gt 0 ] || exit 0
unstable=$root/build/debian-unstable
tree=$unstable/root
multiarch=$(gcc -dumpmachine)
libdir=$tree/usr/lib/$multiarch

runs() {  # runs VERSION: whether the unpacked interpreter starts and has what the build needs
    "$tree/usr/bin/python$1" -c 'import ensurepip, ssl, sysconfig, venv' 2>/dev/null &&
        [ -f "$tree/usr/include/python$1/Python.h" ]
}
# All of them share one unpacked tree, so it is fetched whole when any one is missing.
wanted=()
for v in "${versions[@]}"; do
    runs "$v" || wanted=("${versions[@]}")
done
[ ${#wanted[@]} -eq 0 ] && exit 0

mkdir -p "$unstable"/{lists/partial,archives/partial,parts,debs}
echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian" \
    "unstable main" >"$unstable/sources.list"
: >"$unstable/status"
# The mirror may serve a Release file past its Valid-Until date; the signature is still checked.
cat >"$unstable/apt.conf" <<EOF
Dir::State "$unstable";
Dir::State::lists "$unstable/lists";
Dir::State::status "$unstable/status";
Dir::Cache "$unstable";
Dir::Cache::archives "$unstable/archives";
Dir::Etc::SourceList "$unstable/sources.list";
Dir::Etc::SourceParts "$unstable/parts";
Dir::Etc::Parts "$unstable/parts";
Dir::Etc::Preferences "$unstable/preferences";
Dir::Etc::PreferencesParts "$unstable/parts";
APT::Architecture "$(dpkg --print-architecture)";
APT::Sandbox::User "root";
Acquire::Languages "none";
Acquire::Check-Valid-Until "false";
EOF
export APT_CONFIG=$unstable/apt.conf
fail() {
    echo "tools/deps.sh: cannot fetch CPython ${wanted[*]} from Debian unstable: $*" >&2
    exit 1
}
apt-get update -qq >/dev/null 2>"$unstable/update.log" ||
    { cat "$unstable/update.log" >&2; fail "apt-get update failed"; }
# What each interpreter needs (the C library included: the system's is older), as apt resolves
# it against an empty system, and the headers without the compiler they depend on.
roots=()
for v in "${wanted[@]}"; do
    roots+=("python$v" "python$v-venv")
done
if ! closure=$(apt-get install -s --no-install-recommends "${roots[@]}" 2>&1); then
    echo "$closure" >&2
    fail "apt cannot resolve ${roots[*]}"
fi
names=($(awk '$1 == "Inst" { print $2 }' <<<"$closure"))
for v in "${wanted[@]}"; do
    names+=("libpython$v-dev")
done
rm -f "$unstable"/debs/*.deb
(cd "$unstable/debs" && apt-get download -qq "${names[@]}" >/dev/null 2>"$unstable/download.log") ||
    { cat "$unstable/download.log" >&2; fail "apt-get download failed"; }
rm -rf "$tree"
for deb in "$unstable"/debs/*.deb; do
    dpkg-deb -x "$deb" "$tree"
done
for v in "${wanted[@]}"; do
    interpreter=$tree/usr/bin/python$v
    [ -x "$interpreter" ] || fail "python$v is not in the packages"
    # RPATH, not RUNPATH: it also serves the modules the interpreter loads (_ssl, _ctypes, ...).
    patchelf --set-interpreter "$libdir/ld-linux-x86-64.so.2" --force-rpath --set-rpath "$libdir" \
        "$interpreter"
    # Debian's pyconfig.h picks the architecture's copy from the system include path; here it is
    # the copy itself.
    cp "$tree/usr/include/$multiarch/python$v/pyconfig.h" "$tree/usr/include/python$v/pyconfig.h"
    # ensurepip takes pip from the wheel folder named at build time, which is here, not in /usr.
    sed -i "s|/usr/share/python-wheels/|$tree/usr/share/python-wheels/|g" \
        "$tree"/usr/lib/python"$v"/_sysconfig*.json "$tree"/usr/lib/python"$v"/_sysconfigdata_*.py
    runs "$v" || fail "the unpacked python$v does not start (or lacks ensurepip, ssl or headers)"
    echo "CPython $("$interpreter" -c 'import sys; print(sys.version.split()[0])') from Debian" \
        "unstable: $interpreter"
done
