"""Checks the macOS modules of a cross build as the system would load them.

usage: macos_module_check.py BUILD ARCH EXPORTS

BUILD is a CMake build tree configured with cmake/zig-macos.cmake and a codemodel query; every
MODULE target in it is checked: a 64-bit Mach-O image for ARCH (arm64 or x86_64) and macOS 11,
that exports PyInit_<its name> and no other symbol this project defined, links no library but
libSystem, and whose every other import is one the interpreter provides: a symbol listed in
EXPORTS (one Mach-O name a line), bound at load time through -undefined dynamic_lookup.
"""

import json
import pathlib
import subprocess
import sys

CPU_TYPES = {"arm64": "ARM64", "x86_64": "X86_64"}
LIBSYSTEM = "/usr/lib/libSystem.B.dylib"
MINIMUM_MACOS = "11.0"


def tool(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def module_targets(build):
    """(name, artifact path) of each MODULE target, from the CMake file API's reply."""
    reply = build / ".cmake/api/v1/reply"
    index = max(reply.glob("index-*.json"))
    codemodel = json.loads(index.read_text())["reply"]["codemodel-v2"]["jsonFile"]
    config = json.loads((reply / codemodel).read_text())["configurations"][0]
    for entry in config["targets"]:
        target = json.loads((reply / entry["jsonFile"]).read_text())
        if target["type"] == "MODULE_LIBRARY":
            for artifact in target["artifacts"]:
                yield target["name"], build / artifact["path"]


def our_symbols(build):
    """Every external symbol the project's own objects define, whichever target holds them."""
    objects = sorted(str(path) for path in build.glob("CMakeFiles/*.dir/**/*.o"))
    if not objects:
        raise SystemExit(f"macos_module_check: no object files under {build}/CMakeFiles")
    listing = tool("llvm-nm-14", "--defined-only", "--extern-only", "--just-symbol-name", *objects)
    return {line for line in listing.splitlines() if line and not line.endswith(":")}


def header_facts(module):
    """cputype, filetype and minimum macOS of the image."""
    headers = tool("llvm-objdump-14", "--macho", "--private-headers", module).splitlines()
    row = headers[headers.index(next(h for h in headers if h.strip().startswith("magic"))) + 1]
    magic, cputype, _subtype, _caps, filetype = row.split()[:5]
    if magic != "MH_MAGIC_64":
        return cputype, f"{magic} {filetype}", None
    minos = None
    for i, line in enumerate(headers):
        if line.strip() == "cmd LC_BUILD_VERSION":
            minos = next(h.split()[1] for h in headers[i:] if h.strip().startswith("minos"))
    return cputype, filetype, minos


def exports_of(module):
    trie = tool("llvm-objdump-14", "--macho", "--exports-trie", module).splitlines()
    return {line.split()[1] for line in trie if line.startswith("0x")}


def imports_of(module):
    """{symbol: library} of every bound symbol; the library is "flat-namespace" for a symbol
    looked up in the whole process at load time."""
    bound = {}
    table = tool("llvm-objdump-14", "--macho", "--bind", "--lazy-bind", module).splitlines()
    for line in table:
        fields = line.split()
        # Rows end in "<library> <symbol>"; the headings and the file name do not start with a
        # segment name.
        if len(fields) >= 5 and fields[0].startswith("__"):
            bound[fields[-1]] = fields[-2]
    return bound


def undefined_of(module):
    """{symbol: library} of every undefined symbol in the symbol table; the library is None
    where the table names none."""
    undefined = {}
    for line in tool("llvm-nm-14", "-m", "--undefined-only", module).splitlines():
        # "(undefined) [weak] external NAME [(from LIBRARY)]"
        fields = line.split()
        if fields[:1] != ["(undefined)"] or "external" not in fields:
            continue
        rest = fields[fields.index("external") + 1:]
        undefined[rest[0]] = rest[2].rstrip(")") if rest[1:2] == ["(from"] else None
    return undefined


def check(name, module, arch, ours, provided):
    problems = []
    cputype, filetype, minos = header_facts(module)
    if cputype != CPU_TYPES[arch]:
        problems.append(f"built for {cputype}, not {arch}")
    # A bundle where Apple's linker builds it; zig's linker writes a dylib (see
    # cmake/zig-macos/zig-tool.sh). Either one dlopen loads; an executable it does not.
    if filetype not in ("BUNDLE", "DYLIB"):
        problems.append(f"a Mach-O {filetype}, not a loadable bundle or dylib")
    if minos != MINIMUM_MACOS:
        problems.append(f"minimum macOS {minos}, not {MINIMUM_MACOS}")

    entry = "_PyInit_" + module.name.split(".")[0]
    exported = exports_of(module)
    if entry not in exported:
        problems.append(f"{entry} is not exported: the interpreter cannot import the module")
    leaked = sorted((exported & ours) - {entry})
    if leaked:
        problems.append(f"exports symbols of ours besides {entry}: {' '.join(leaked)}")

    bound, undefined = imports_of(module), undefined_of(module)
    # Looked up in the whole process at load time: what the bind tables send to the flat
    # namespace, and the undefined symbols the symbol table gives no library (zig also leaves
    # there, unbound, those of code it dropped).
    from_interpreter = {symbol for symbol, library in bound.items() if library == "flat-namespace"}
    from_interpreter |= {symbol for symbol, library in undefined.items() if not library}
    libraries = set(bound.values()) | set(filter(None, undefined.values()))
    libraries -= {"flat-namespace", "libSystem"}
    if libraries:
        problems.append(f"binds to libraries besides libSystem: {' '.join(sorted(libraries))}")
    own_id = tool("llvm-objdump-14", "--macho", "--dylib-id", module).splitlines()[1:]
    used = [line.split(" (")[0].strip() for line in
            tool("llvm-objdump-14", "--macho", "--dylibs-used", module).splitlines()[1:]]
    others = sorted(set(used) - {LIBSYSTEM} - {line.strip() for line in own_id})
    if others:
        problems.append(f"loads libraries besides libSystem: {' '.join(others)}")
    if not from_interpreter:
        problems.append("imports nothing from the interpreter: the import table was not read")
    missing = sorted(from_interpreter - provided)
    if missing:
        problems.append(f"imports what this CPython does not export: {' '.join(missing)}")

    print(f"{module.name} ({name}): {cputype} {filetype}, macOS {minos}+, "
          f"{entry if entry in exported else 'no entry point'} exported, "
          f"{len(from_interpreter)} symbols from the interpreter")
    for problem in problems:
        print(f"  FAIL {module.name}: {problem}", file=sys.stderr)
    return not problems


def main():
    build, arch, exports = pathlib.Path(sys.argv[1]), sys.argv[2], pathlib.Path(sys.argv[3])
    provided = set(exports.read_text().split())
    ours = our_symbols(build)
    targets = list(module_targets(build))
    if not targets:
        raise SystemExit(f"macos_module_check: {build} has no MODULE target")
    results = [check(name, path, arch, ours, provided) for name, path in targets]
    sys.exit(0 if all(results) else 1)


if __name__ == "__main__":
    main()
