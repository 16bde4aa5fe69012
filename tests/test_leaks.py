"""Reference and memory leaks: every entry, run 100,000 times, leaves the process as it was."""

import gc
import os
import sys
import tracemalloc

import pytest

from conftest import UNDER_WINE, locked_kib
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


def _resident():
    """Resident memory in bytes: VmRSS on Linux, the working set on Windows."""
    if sys.platform == "win32":
        import ctypes
        from ctypes import wintypes

        class Counters(ctypes.Structure):  # PROCESS_MEMORY_COUNTERS
            _fields_ = [("cb", wintypes.DWORD), ("page_faults", wintypes.DWORD),
                        ("peak_working_set", ctypes.c_size_t), ("working_set", ctypes.c_size_t),
                        ("pools", ctypes.c_size_t * 4), ("pagefile", ctypes.c_size_t * 2)]

        kernel32 = ctypes.WinDLL("kernel32")
        kernel32.GetCurrentProcess.restype = wintypes.HANDLE
        kernel32.K32GetProcessMemoryInfo.argtypes = [wintypes.HANDLE, ctypes.c_void_p,
                                                     wintypes.DWORD]
        counters = Counters(cb=ctypes.sizeof(Counters))
        assert kernel32.K32GetProcessMemoryInfo(kernel32.GetCurrentProcess(),
                                                ctypes.byref(counters), counters.cb)
        return counters.working_set
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    pytest.skip("no VmRSS in /proc/self/status")


def _figures(vault_type):
    gc.collect()
    return {
        "type refcount": sys.getrefcount(vault_type),
        "traced": tracemalloc.get_traced_memory()[0],
        "locked KiB": locked_kib() or 0,  # where it cannot be measured (Wine), 0 both times
        "resident": _resident(),
    }


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer turns memory locks into no-ops")
@pytest.mark.skipif(sys.platform not in ("linux", "win32"),
                    reason="reads the process's figures as Linux and Windows give them")
@pytest.mark.skipif(UNDER_WINE and not os.environ.get("HUSH_WINE_LEAKS"),
                    reason="about a minute under Wine, left out of CI's time (HUSH_WINE_LEAKS=1 runs it)")
@pytest.mark.parametrize("entry", ENTRIES, ids=lambda entry: entry.id)
def test_entry_leaves_nothing_behind(entry):
    if "import numpy" in entry.setup:
        pytest.importorskip("numpy", reason="numpy cannot load here")
    loop, vault_type = _tight_loop(entry)
    tracemalloc.start()
    try:
        loop(WARM_UP)
        before = _figures(vault_type)
        loop(ROUNDS)
        after = _figures(vault_type)
    finally:
        tracemalloc.stop()
    slack = {"type refcount": 0, "traced": TRACED_SLACK, "locked KiB": 0,
             "resident": RESIDENT_SLACK}
    grown = {k: after[k] - before[k] for k in before if after[k] - before[k] > slack[k]}
    assert not grown, f"grew by {grown} over {ROUNDS} runs of:\n{replay(entry)}"
