"""The vault's hot paths beside their floors and peers, as ratios measured side by side in one run.

pyperf calibrates, warms up and spreads each case over several worker processes; the workers of
the cases compared in one row are interleaved (one process of each in turn), so that the machine's
load at any moment weighs on both sides alike. Instruction counts under callgrind complete the
table: unlike times, they repeat exactly. Then the rows with targets again in paired rounds
(bench/paired.py: each row's two cases alternate within one process, which steadies the ratios),
and last the cost of a fork with live vaults (bench/fork_cost.py), against a plain fork of the
same process.

Run through tools/bench.sh, which builds the module in release mode first. Options are pyperf's
(--fast, --rigorous, -p PROCESSES, ...) plus --short (a smoke run for CI: seconds, no verdicts)
and --no-callgrind.
"""

import copy
import os
import sys
import types

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
FLOOR_DIR = os.path.join(ROOT, "build", "bench")
sys.path[:0] = [HERE, FLOOR_DIR]

import pyperf  # noqa: E402
from pyperf._manager import Manager  # noqa: E402  (pinned pyperf: its per-benchmark worker loop)

# Rows: (operation, vault case, reference case, kind, target). "max": vault / reference must not
# exceed target; "faster": reference / vault must reach target; "info": no target.
ROWS = [
    ("construct + destroy 32 B", "ctor32.vault", "ctor32.lock_cycle", "max", 1.1),
    ("  vs plain lock cycle (no madvise)", "ctor32.vault", "ctor32.plain_cycle", "max", 1.5),
    ("  vs plain-Python class", "ctor32.vault", "ctor32.plain_class", "info", None),
    ("  vs pydantic SecretBytes", "ctor32.vault", "ctor32.pydantic", "info", None),
    ("1,000 live 32 B vs 1,000 plain cycles", "live1000.vault", "live1000.plain_cycle", "faster", 10),
    ("construct + destroy 4 KiB", "ctor4k.vault", "ctor4k.lock_cycle", "max", 1.0),
    ("reveal_bytes() 32 B vs plain class", "reveal_bytes32.vault", "reveal_bytes32.plain_class",
     "faster", 3.5),
    ("  vs creating the bytes (floor)", "reveal_bytes32.vault", "reveal_bytes32.floor", "max", 1.2),
    ("  vs pydantic SecretBytes", "reveal_bytes32.vault", "reveal_bytes32.pydantic", "info", None),
    ("reveal() 32 B vs plain class", "reveal32.vault", "reveal32.plain_class", "faster", 2.3),
    ("  vs creating the str (floor)", "reveal32.vault", "reveal32.floor", "max", 1.2),
    ("  vs pydantic SecretStr", "reveal32.vault", "reveal32.pydantic", "info", None),
    ("reveal() 4 KiB ASCII vs decode", "reveal4k_ascii.vault", "reveal4k_ascii.decode", "max", 0.8),
    ("reveal() 4 KiB 2-byte UTF-8 vs decode", "reveal4k_utf8.vault", "reveal4k_utf8.decode", "max",
     1.1),
    ("verify() 32 B vs barrier loop", "verify32.vault", "verify32.floor", "max", 1.2),
    ("  vs plain class", "verify32.vault", "verify32.plain_class", "faster", 1.0),
    ("  vs hmac.compare_digest", "verify32.vault", "verify32.compare_digest", "info", None),
    ("verify() 64 KiB vs barrier loop", "verify64k.vault", "verify64k.floor", "max", 1.1),
    ("  vs hmac.compare_digest", "verify64k.vault", "verify64k.compare_digest", "max", 2.2),
]


def case_names():
    """Every case, in one fixed order: a worker finds its case by this index."""
    import cases

    return list(cases.CASES)


def groups():
    """Cases interleaved together: each vault case with every reference it is compared to."""
    order = []
    for _, vault, reference, *_ in ROWS:
        for group in order:
            if vault in group:
                if reference not in group:
                    group.append(reference)
                break
        else:
            order.append([vault, reference])
    return order


def run_worker(runner):
    import cases

    task = runner.args.worker_task
    for index, name in enumerate(case_names()):
        if index == task:
            time_func, inner_loops = cases.timer(name)
            runner.bench_time_func(name, time_func, inner_loops=inner_loops)
        else:
            runner.bench_time_func(name, None)  # skipped: only the worker's own case runs


def run_interleaved(runner, names):
    """One pyperf manager per case; their worker processes (calibration included) alternate."""
    index = {name: i for i, name in enumerate(case_names())}
    managers = {}
    for name in names:
        shim = types.SimpleNamespace(args=copy.deepcopy(runner.args),
                                     _program_args=runner._program_args,
                                     _worker_task=index[name], _add_cmdline_args=None)
        manager = Manager(shim)
        if manager.args.warmups is None:
            manager.args.warmups = 1
        managers[name] = manager
    while any(m.nprocess < m.need_nprocess for m in managers.values()):
        for manager in managers.values():
            if manager.nprocess < manager.need_nprocess:
                _, run = manager.create_worker_bench()
                manager.handle_calibration(run)
                manager.choose_next_run()
        print(".", end="", flush=True)
    return {name: manager.bench for name, manager in managers.items()}


def verdict(kind, target, ratio):
    if kind == "info" or target is None:
        return "", ""
    if kind == "max":
        return f"<= {target:g} x", "PASS" if ratio <= target else "MISS"
    return f">= {target:g} x faster", "PASS" if ratio >= target else "MISS"


def format_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:7.3g} {unit}"
    return f"{seconds / 1e-9:7.3g} ns"


def print_table(results, instruction_counts, short):
    met = total = 0
    print(f"\n{'operation':<40} {'vault':>10} {'reference':>10} {'ratio':>16}  "
          f"{'target':<18} verdict")
    for label, vault, reference, kind, target in ROWS:
        ours = results[vault].median()
        theirs = results[reference].median()
        spread = max(results[vault].stdev() / ours if results[vault].get_nvalue() > 1 else 0,
                     results[reference].stdev() / theirs
                     if results[reference].get_nvalue() > 1 else 0)
        if kind == "faster":
            ratio, shown = theirs / ours, f"{theirs / ours:5.2f} x faster"
        else:
            ratio, shown = ours / theirs, f"{ours / theirs:5.2f} x"
        target_text, outcome = verdict(kind, target, ratio)
        if short:
            outcome = ""
        elif outcome:
            total += 1
            met += outcome == "PASS"
        noisy = " (noisy: +-%.0f%%)" % (spread * 100) if spread > 0.1 else ""
        print(f"{label:<40} {format_time(ours):>10} {format_time(theirs):>10} {shown:>16}  "
              f"{target_text:<18} {outcome}{noisy}")
    if instruction_counts:
        import callgrind_counts

        # Each path within its committed baseline (the check CI runs).
        print()
        over = callgrind_counts.compare(instruction_counts, callgrind_counts.load_baseline())
        total += len(instruction_counts)
        met += len(instruction_counts) - len(over)
    if short:
        print("\nshort run: the figures are not measurements, no verdicts")
    else:
        print(f"\n{met}/{total} targets met")
    return met, total


def main():
    short = "--short" in sys.argv
    callgrind = "--no-callgrind" not in sys.argv
    sys.argv = [a for a in sys.argv if a not in ("--short", "--no-callgrind")]
    runner = pyperf.Runner(processes=10, values=3)
    if short:
        # One process per case, 100 loops, no calibration: proves the run, not the speed.
        sys.argv[1:1] = ["--processes=1", "--values=1", "--warmups=1", "--loops=100"]
    runner.parse_args()
    if runner.args.worker:
        run_worker(runner)
        return
    import build_floor

    build_floor.build(FLOOR_DIR)
    results = {}
    for names in groups():
        results.update(run_interleaved(runner, names))
    instruction_counts = {}
    if callgrind:
        import callgrind_counts

        instruction_counts = callgrind_counts.measure()
    print_table(results, instruction_counts, short)
    import subprocess

    for script in ("paired.py", "fork_cost.py"):  # fork_cost: 80 MB of vaults and forks
        subprocess.run([sys.executable, os.path.join(HERE, script)] + (["--short"] if short
                       else []), check=True)


if __name__ == "__main__":
    main()
