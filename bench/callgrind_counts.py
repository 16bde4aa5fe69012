"""User-space instructions per vault operation, counted by callgrind inside the module's entries,
and the check that keeps them at their committed baseline (bench/callgrind_baseline.json).

Collection is switched on only inside an operation's entry functions (and everything they call:
the heap, the system-call wrappers, the interpreter's allocators). Each operation runs in a
process of its own: a few warm-up calls (the first call's one-time work), then the measured
calls, each stretch ended by a dump of the counts (callgrind dumps when time.sleep is entered),
so that the measured stretch holds the steady cost only.

Counts, unlike times, repeat to the instruction on one machine. What moves them is pinned: the
interpreter build (recorded in the baseline; the check refuses another), the hash seed, and an
environment of fixed size (getenv walks it). The module is the release build of tools/bench.sh.

    python bench/callgrind_counts.py            print the counts
    python bench/callgrind_counts.py --check    fail when a path costs more than 3 % over baseline
    python bench/callgrind_counts.py --update   record the counts as the new baseline

A change that accepts a cost updates the baseline in the same commit and says why.
"""

import concurrent.futures
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
BASELINE = os.path.join(HERE, "callgrind_baseline.json")
TOLERANCE = 1.03  # a path may cost up to 3 % more than its baseline
WARMUP, MEASURED = 10, 100

# The entries of each public call; a construction's result is dropped at once, so its
# deallocation is counted with it.
NEW = ["*entries::vault_new(*", "*entries::vault_dealloc(*"]
FROM_ENV = ["*entries::from_env(*", "*entries::vault_dealloc(*"]
# The companion module's ways in: its entry, the vault it makes through the class, and that
# vault's deallocation.
SOURCES = {name: [f"*sources::entries::{name}(*", "*entries::vault_dealloc(*"]
           for name in ("from_file", "from_fd", "pop_env", "from_buffer")}

# operation: (entry functions counted, the statement repeated). Names from SETUP are in scope.
OPERATIONS = {
    "construct + destroy 32 B": (NEW, "V(t32)"),
    "construct + destroy 4 KiB": (NEW, "V(b4k)"),
    "reveal() 32 B": (["*entries::reveal(*"], "v32.reveal()"),
    "reveal_bytes() 32 B": (["*entries::reveal_bytes(*"], "v32.reveal_bytes()"),
    "reveal() 4 KiB ASCII": (["*entries::reveal(*"], "ascii.reveal()"),
    "reveal() 4 KiB 2-byte UTF-8": (["*entries::reveal(*"], "two_byte.reveal()"),
    "verify() 32 B": (["*entries::verify(*"], "v32.verify(c32)"),
    "verify() 64 KiB": (["*entries::verify(*"], "v64k.verify(c64k)"),
    "compare() 32 B": (["*entries::compare(*"], "v32.compare(w32)"),
    "from_env() 32 B": (FROM_ENV, "V.from_env('HUSH_BENCH_SECRET')"),
    # The setting up (a rewind, a variable set again, a new buffer) is outside the entries.
    "from_file() 32 B": (SOURCES["from_file"], "S.from_file(p32)"),
    "from_fd() 32 B": (SOURCES["from_fd"], "os.lseek(f32, 0, 0); S.from_fd(f32)"),
    "pop_env() 32 B": (SOURCES["pop_env"], "os.environ['HUSH_BENCH_POP'] = TOKEN; "
                       "S.pop_env('HUSH_BENCH_POP')"),
    "from_buffer() 32 B": (SOURCES["from_buffer"], "S.from_buffer(bytearray(t32))"),
}

TOKEN = "0123456789abcdef0123456789abcdef"
SETUP = f"""
import os, sys, tempfile, time
from hush_vault import HushVault as V
import hush_vault_sources as S
TOKEN = "{TOKEN}"
t32 = b"{TOKEN}"
c32 = bytes(bytearray(t32))
b4k = bytes(range(48, 112)) * 64
b64k = bytes(range(48, 112)) * 1024
c64k = bytes(bytearray(b64k))
p32 = os.path.join(tempfile.mkdtemp(), "secret")
with open(p32, "wb") as f:
    f.write(t32)
f32 = os.open(p32, os.O_RDONLY)
"""
# The live vaults the reveals and comparisons use. Paths that make a vault run without them: a
# new block would share a page with one of them or not depending on where the heap puts it, which
# moves with the lengths of the paths the interpreter has allocated (where the checkout lies), and
# a shared page skips the lock's system calls.
LIVE = """
v32, w32, v64k = V(t32), V(c32), V(b64k)
ascii, two_byte = V(b"a" * 4096), V(("\\u00e9" * 2048).encode())
"""

SCRIPT = """{setup}
def run(n):
    for _ in range(n):
        {statement}
run({warmup})
time.sleep(0)
run({measured})
time.sleep(0)
"""


def interpreter():
    """The interpreter build the counts belong to."""
    return f"{sys.implementation.name} {sys.version} at {os.path.realpath(sys.executable)}"


def instructions(patterns, statement):
    """Instructions of one call of the statement, in steady state."""
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "callgrind.out")
        command = [shutil.which("valgrind"), "--tool=callgrind", "--quiet",
                   f"--callgrind-out-file={out}", "--collect-atstart=no",
                   "--dump-before=time_sleep"]
        command += [f"--toggle-collect={pattern}" for pattern in patterns]
        setup = SETUP + (LIVE if re.search(r"\b(v32|w32|v64k|ascii|two_byte)\.", statement) else "")
        script = SCRIPT.format(setup=setup, statement=statement, warmup=WARMUP, measured=MEASURED)
        command += [sys.executable, "-c", script]
        # A fixed, small environment: the lookup of from_env walks it.
        env = {"PYTHONHASHSEED": "0", "LC_ALL": "C", "HUSH_BENCH_SECRET": TOKEN}
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, env=env)
        # Dump 1: the warm-up; dump 2: the measured calls; the last file: the exit.
        with open(out + ".2") as text:
            totals = re.search(r"^(?:summary|totals): (\d+)", text.read(), re.MULTILINE)
        return round(int(totals.group(1)) / MEASURED)


def measure():
    """{operation: instructions}, or {} without valgrind."""
    if shutil.which("valgrind") is None:
        print("valgrind not found: no instruction counts (tools/deps.sh installs it)")
        return {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        futures = {name: pool.submit(instructions, *row) for name, row in OPERATIONS.items()}
        return {name: future.result() for name, future in futures.items()}


def load_baseline():
    with open(BASELINE) as text:
        return json.load(text)


def compare(counts, baseline):
    """Prints each path's count beside its baseline; returns the failures (paths over budget,
    paths without a baseline, baseline paths no longer measured)."""
    failures = []
    recorded = baseline["instructions"]
    print(f"{'callgrind: instructions per call':<40} {'count':>10} {'baseline':>10} {'ratio':>8}")
    for name, count in counts.items():
        if name not in recorded:
            print(f"{name:<40} {count:>10,} {'-':>10} {'':>8}  no baseline")
            failures.append(f"{name}: no baseline")
            continue
        ratio = count / recorded[name]
        over = ratio > TOLERANCE
        print(f"{name:<40} {count:>10,} {recorded[name]:>10,} {ratio:7.3f}x"
              f"{'  over ' + format(TOLERANCE, 'g') + 'x' if over else ''}")
        if over:
            failures.append(f"{name}: {count:,} instructions, {ratio:.3f}x its baseline")
    failures += [f"{name}: in the baseline, not measured" for name in recorded
                 if name not in counts]
    return failures


def main(argv):
    if "--check" in argv:
        baseline = load_baseline()
        if baseline["interpreter"] != interpreter():
            print(f"callgrind check: the baseline was counted with\n  {baseline['interpreter']}\n"
                  f"not with\n  {interpreter()}\ncounts of other builds are not comparable: "
                  "record a baseline for this one (--update)", file=sys.stderr)
            return 1
        counts = measure()
        if not counts:
            return 1
        failures = compare(counts, baseline)
        for failure in failures:
            print(f"callgrind check FAILED: {failure}", file=sys.stderr)
        return 1 if failures else 0
    counts = measure()
    if "--update" in argv:
        with open(BASELINE, "w") as text:
            json.dump({"interpreter": interpreter(), "instructions": counts}, text, indent=2)
            text.write("\n")
    for name, count in counts.items():
        print(f"{name:<40} {count:>10,}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
