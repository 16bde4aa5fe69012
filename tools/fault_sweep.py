"""Runs the fault sweep of tests/fault_scenarios.py: traces each scenario's system calls once,
then fails each traced call with each error the system can give there, one fresh interpreter per
case. Used by tools/check_faults.sh: fault_sweep.py INJECTION_BUILD_DIR [SCENARIO...]."""

import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SCENARIOS_FILE = Path(__file__).resolve().parent.parent / "tests" / "fault_scenarios.py"
sys.path.insert(0, str(SCENARIOS_FILE.parent))
from fault_scenarios import KNOWN, SCENARIOS, judge

# The errors each kind of call can give; on Windows, the system error codes (not enough memory,
# the working-set quota, no system resources, access denied, and for the calls that need them an
# invalid parameter, a missing message and a short buffer).
ERRORS = {kind: errors.split() for kind, errors in dict(
    heap="ENOMEM", mlock="ENOMEM EPERM EAGAIN", mlock2="ENOMEM EPERM EAGAIN",
    munlock="ENOMEM EPERM", madvise_dontdump="ENOMEM EAGAIN EPERM",
    madvise_dodump="ENOMEM EAGAIN EPERM", mincore="ENOMEM EAGAIN", at_fork="ENOMEM",
    clock="EINVAL", getenv="ENOMEM", error_text="EINVAL ERANGE", getrlimit="EINVAL",
    open="ENOMEM EPERM EINTR EMFILE", read="EINTR EIO ENOMEM", close="EINTR EIO",
    fstat="ENOMEM EIO", terminal="EINTR EIO", mmap="ENOMEM EAGAIN EPERM", munmap="ENOMEM").items()}
if sys.platform == "win32":
    ERRORS = {kind: errors.split() for kind, errors in dict(
        heap="8", mlock="1453 1450 5", munlock="1450 5", clock="87", getenv="8",
        error_text="317 122", getrlimit="5", open="5 8", read="8", close="8", fstat="8",
        terminal="5", mmap="8", munmap="8").items()}

# Refusals that can last (a limit reached): each such call is also failed with every later one.
LASTING = {"mlock": "1453", "munlock": "1450"} if sys.platform == "win32" else {
    "mlock": "EAGAIN", "munlock": "ENOMEM"}


def run(build, name, rules, trace=""):
    env = dict(os.environ, HUSH_SWEEP_BUILD=build, HUSH_INJECT=rules, HUSH_INJECT_TRACE=trace)
    env.pop("PYTHONMALLOC", None)  # the debug allocator would hide copies
    env = {k: v for k, v in env.items() if v}
    for attempt in range(3):
        try:
            return subprocess.run([sys.executable, SCENARIOS_FILE, name], env=env, timeout=60,
                                  capture_output=True, text=True)
        except subprocess.TimeoutExpired:
            return None
        except OSError:  # Wine's CreateProcess fails now and then (error 1359) under load
            if attempt == 2:
                raise


def sampled(calls):
    """Every traced call, but of a companion module's kind made more than 8 times (the prompt
    reads and polls a byte at a time), the first four, the last two and every 16th between: the
    calls between take the same path."""
    by_kind = {}
    for kind, index in calls:
        by_kind.setdefault(kind, []).append(int(index))
    return [(kind, str(i)) for kind, indices in sorted(by_kind.items())
            for i in sorted(indices)
            if not kind.startswith("sources.") or len(indices) <= 8 or i <= 4
            or i > max(indices) - 2 or i % 16 == 0]


def sweep(build, names):
    started, cases, failed = time.monotonic(), 0, []
    for name in names:
        base = SCENARIOS[name][0]
        with tempfile.TemporaryDirectory() as folder:
            trace = Path(folder) / "trace"
            if problems := judge(run(build, name, base, str(trace)), None):
                failed.append((name, "no fault", "-", problems))
            calls = sampled({tuple(line.split()[1:]) for line in trace.read_text().splitlines()})
        for kind, index in calls:
            plain = kind.removeprefix("sources.")  # the companion module's calls are prefixed
            lasting = [(f"{index}+", LASTING[plain])] if plain in LASTING else []
            for at, error in [(index, error) for error in ERRORS[plain]] + lasting:
                cases += 1
                rules = ",".join(filter(None, [base, f"{kind}:{at}:{error}"]))
                if problems := judge(run(build, name, rules), plain):
                    failed.append((name, f"{kind} #{at}", error, problems))
    known, faults = {row: 0 for row in KNOWN if row[0] in names}, 0
    for name, call, error, problems in failed:
        rows = [next((r for r in known if r[0] == name and re.search(r[1], p)), None)
                for p in problems]
        known.update({row: known[row] + 1 for row in rows if row})
        faults += None in rows
        print("FAULT" if None in rows else "KNOWN", f"{name} | {call} | {error} |",
              " ; ".join(problems))
    for row, count in known.items():
        print(f"known fault ({row[0]}): {KNOWN[row]}: {count} case(s)"
              + ("" if count else " -- not seen any more: remove its row"))
    print(f"fault sweep: {cases} (scenario, call, error) cases over {len(names)} scenarios, "
          f"{faults} failed, {len(failed) - faults} showing known faults only, "
          f"{time.monotonic() - started:.0f} s")
    return 1 if faults or 0 in known.values() else 0


if __name__ == "__main__":
    sys.exit(sweep(os.path.abspath(sys.argv[1]), sys.argv[2:] or list(SCENARIOS)))
