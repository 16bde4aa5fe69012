"""Reference and memory leaks: every entry, run 100,000 times, leaves the process as it was."""

import gc
import os
import sys
import tracemalloc

import pytest

from conftest import real_memory_locks
from entries import ENTRIES, namespace, replay

ROUNDS = 100_000
WARM_UP = 1_000
# One leaked object or block per call over ROUNDS calls is megabytes; these bounds only absorb
# the allocators' own caches and the resident pages they keep.
TRACED_SLACK = 64 * 1024
RESIDENT_SLACK = 1024 * 1024


def _tight_loop(entry):
    """A function running the row's call n times, catching only its documented exception."""
    body = f"    {entry.call}"
    if entry.raises is not None:
        body = f"    try:\n    {body}\n    except {entry.raises.__name__}:\n        pass"
    names = namespace(entry)
    exec(f"def loop(n):\n  for _ in range(n):\n{body}\n", names)
    return names["loop"], names["HushVault"]


def _status(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    pytest.skip(f"no {field} in /proc/self/status")


def _figures(vault_type):
    gc.collect()
    return {
        "type refcount": sys.getrefcount(vault_type),
        "traced": tracemalloc.get_traced_memory()[0],
        "VmLck": _status("VmLck"),
        "VmRSS": _status("VmRSS"),
    }


@real_memory_locks
@pytest.mark.skipif(sys.platform != "linux", reason="reads /proc/self/status")
@pytest.mark.parametrize("entry", ENTRIES, ids=lambda entry: entry.id)
def test_entry_leaves_nothing_behind(entry):
    loop, vault_type = _tight_loop(entry)
    tracemalloc.start()
    try:
        loop(WARM_UP)
        before = _figures(vault_type)
        loop(ROUNDS)
        after = _figures(vault_type)
    finally:
        tracemalloc.stop()
    slack = {"type refcount": 0, "traced": TRACED_SLACK, "VmLck": 0, "VmRSS": RESIDENT_SLACK}
    grown = {k: after[k] - before[k] for k in before if after[k] - before[k] > slack[k]}
    assert not grown, f"grew by {grown} over {ROUNDS} runs of:\n{replay(entry)}"
