"""Constant time seen from Python: a dudect-style comparison of two classes of candidates.

For a 4 KiB secret, candidates equal to it and candidates differing in their first byte are timed
in random interleaved order, and Welch's t tells whether the two timing distributions differ.
An early-exit comparison stops at the first byte for the second class and reads the whole secret
for the first: its t is in the hundreds and its means differ by well over half. A constant-time
one gives a small t, or, on a busy shared machine, a t pushed up by drift with means within a few
per cent. So the test fails only when both hold: |t| above T_LIMIT and the means apart by more
than RELEVANT of the slower one. It runs in a fresh interpreter, since the garbage collector and
other tests' leftovers only add noise.
"""

import json
import os
import random
import sys

import pytest

from conftest import run_python

T_LIMIT = 10.0
RELEVANT = 0.25
SIZE = 4096
SAMPLES = 10_000  # per class
BATCH = 4  # calls per timed sample, so the clock's own cost stays small beside them

MEASURE = f"""
import gc, json, os, random, statistics, time
from hush_vault import HushVault

secret = random.Random(SEED).randbytes({SIZE})
differing = bytes([secret[0] ^ 1]) + secret[1:]
vault = HushVault(secret)
other = {{"equal": HushVault(secret), "differing": HushVault(differing)}}
candidates = {{
    "verify": {{"equal": bytes(secret), "differing": differing}},
    "compare": other,
}}[METHOD]
call = getattr(vault, METHOD)
order = ["equal", "differing"] * {SAMPLES}
random.shuffle(order)
times = {{"equal": [], "differing": []}}
clock = time.perf_counter_ns
gc.disable()
for _ in range(2000):
    call(candidates["equal"]), call(candidates["differing"])
for label in order:
    candidate = candidates[label]
    start = clock()
    for _ in range({BATCH}):
        call(candidate)
    times[label].append(clock() - start)

def cropped(xs):
    # Interrupts and migrations give a long tail on a shared machine; dudect crops it too.
    xs = sorted(xs)
    return xs[: int(len(xs) * 0.9)]

a, b = cropped(times["equal"]), cropped(times["differing"])
ma, mb = statistics.fmean(a), statistics.fmean(b)
va, vb = statistics.variance(a), statistics.variance(b)
t = (ma - mb) / ((va / len(a) + vb / len(b)) ** 0.5 or 1.0)
print(json.dumps({{"t": t, "mean_equal_ns": ma / {BATCH}, "mean_differing_ns": mb / {BATCH}}}))
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="timings under ASan")
@pytest.mark.parametrize("method", ["verify", "compare"])
def test_time_does_not_depend_on_where_the_candidate_differs(method):
    seed = random.randrange(2**32)
    seen = measure(method, seed)
    slower = max(seen["mean_equal_ns"], seen["mean_differing_ns"])
    gap = abs(seen["mean_equal_ns"] - seen["mean_differing_ns"]) / slower
    assert not (abs(seen["t"]) > T_LIMIT and gap > RELEVANT), (
        f"{method} on a {SIZE}-byte secret: {seen}, means {gap:.0%} apart "
        f"(replay: python tests/test_constant_time.py {method} {seed})"
    )


def measure(method, seed):
    """Times method on the secret drawn from seed in a fresh interpreter; t and both means."""
    done = run_python(MEASURE.replace("METHOD", repr(method)).replace("SEED", str(seed)), timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


if __name__ == "__main__":
    print(measure(sys.argv[1], int(sys.argv[2])))
