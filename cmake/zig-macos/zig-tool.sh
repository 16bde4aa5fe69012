#!/bin/sh
# zig-tool.sh ZIG TARGET TOOL ARGS...: runs zig's c++, ar or ranlib for the macOS target, written
# for the wrappers cmake/zig-macos.cmake makes.
set -eu
zig=$1 target=$2 tool=$3
shift 3
case $tool in
    ar | ranlib) exec "$zig" "$tool" "$@" ;;
    c++) ;;
    *) echo "zig-tool.sh: unknown tool $tool" >&2; exit 2 ;;
esac
# zig's Mach-O linker writes no MH_BUNDLE (given -bundle it crashes) and takes no
# -exported_symbol: a module becomes a dylib, which dlopen loads as it loads a bundle, and
# tools/macos_module.sh checks its exports instead (hidden visibility keeps everything of ours but the entry point in).
for arg; do
    shift
    case $arg in
        -bundle) set -- "$@" -shared ;;
        -Wl,-exported_symbol,*) ;;
        *) set -- "$@" "$arg" ;;
    esac
done
exec "$zig" c++ -target "$target" "$@"
