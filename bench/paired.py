"""The benchmark's rows with targets again, in paired rounds: each vault case and its reference
timed in alternate rounds of about 20 ms in one process, and the row's ratio taken as the median of
the ratios of neighbouring rounds. The machine's drift (other load, frequency, a neighbour on the
same host) is slower than a pair of rounds, so these ratios move far less from run to run than the
ratio of medians taken in separate processes. Each row runs in a process of its own: a
construction must lock fresh pages, which another row's live vault could share.

Run by bench/bench_vault.py after its table; alone: python bench/paired.py [--short]
"""

import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
FLOOR_DIR = os.path.join(os.path.dirname(HERE), "build", "bench")
sys.path[:0] = [HERE, FLOOR_DIR]

ROUND_SECONDS = 0.02


def time_per_statement(timer, loops):
    time_func, statements = timer
    return time_func(loops) / (loops * statements)


def calibrated_loops(timer):
    loops = 1
    while timer[0](loops) < ROUND_SECONDS and loops < 1 << 24:
        loops *= 2
    return loops


def measure_row(index, rounds):
    """The row's vault and reference times (medians) and the median of the paired ratios."""
    import bench_vault
    import cases

    _, vault, reference, kind, _ = bench_vault.ROWS[index]
    timers = [cases.timer(vault), cases.timer(reference)]
    loops = [calibrated_loops(timer) for timer in timers]
    ours, theirs, ratios = [], [], []
    for _ in range(rounds):
        a, b = (time_per_statement(timer, n) for timer, n in zip(timers, loops))
        ours.append(a)
        theirs.append(b)
        ratios.append(b / a if kind == "faster" else a / b)
    quartiles = statistics.quantiles(ratios, n=4)
    return {"ours": statistics.median(ours), "theirs": statistics.median(theirs),
            "ratio": statistics.median(ratios), "spread": (quartiles[2] - quartiles[0]) / 2}


def main(argv):
    short = "--short" in argv
    rounds = 3 if short else 31
    if "--row" in argv:
        print(json.dumps(measure_row(int(argv[argv.index("--row") + 1]), rounds)))
        return 0
    import bench_vault

    print(f"\n{'paired rounds (median of ' + str(rounds) + ' pairs)':<40} {'vault':>10} "
          f"{'reference':>10} {'ratio':>16}  {'target':<18} verdict")
    met = total = 0
    for index, (label, _, _, kind, target) in enumerate(bench_vault.ROWS):
        if target is None:
            continue
        out = subprocess.run([sys.executable, __file__, "--row", str(index)] + argv,
                             check=True, capture_output=True, text=True).stdout
        row = json.loads(out)
        shown = f"{row['ratio']:5.2f} x" + (" faster" if kind == "faster" else "")
        target_text, outcome = bench_vault.verdict(kind, target, row["ratio"])
        if short:
            outcome = ""
        else:
            total += 1
            met += outcome == "PASS"
        noisy = f" (quartiles +-{row['spread']:.2f})" if row["spread"] > 0.05 * row["ratio"] else ""
        print(f"{label:<40} {bench_vault.format_time(row['ours']):>10} "
              f"{bench_vault.format_time(row['theirs']):>10} {shown:>16}  {target_text:<18} "
              f"{outcome}{noisy}")
    print("short run: no verdicts" if short else f"{met}/{total} targets met in paired rounds")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
