"""What a fork costs with live vaults: the time until the child runs, and the private memory the
child then holds (Private_Dirty), with 0, 1,000 and 20,000 vaults of 4,000 bytes, beside a plain
fork of the same process measured in the same run.

os.fork runs the module's fork handler, which locks every page holding a secret again in the
child (memory locks are not inherited); locked in place, those pages stay shared with the parent,
where a plain mlock would give the child a private copy of each.
The plain fork is the clone system call itself, without any fork handler (the C library's, the
interpreter's or the module's): the same process, the same memory, nothing run in the child. The
two are taken in turn, so that load on a shared machine weighs on both alike. Linux x86-64 and
AArch64; run it as a process that may lock 80 MB (root, or a high RLIMIT_MEMLOCK).

    python bench/fork_cost.py [--short]
"""

import ctypes
import os
import platform
import signal
import statistics
import sys
import time

from hush_vault import HushVault

COUNTS = (0, 1_000, 20_000)
SIZE = 4_000
SYS_CLONE = {"x86_64": 56, "aarch64": 220}.get(platform.machine())

_syscall = ctypes.CDLL(None, use_errno=True).syscall
_syscall.restype = ctypes.c_long


def plain_fork():
    # clone(SIGCHLD, 0, ...): what fork(2) does, with no handler on either side.
    pid = _syscall(ctypes.c_long(SYS_CLONE), ctypes.c_long(signal.SIGCHLD), ctypes.c_long(0),
                   ctypes.c_long(0), ctypes.c_long(0), ctypes.c_long(0))
    if pid < 0:
        raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()))
    return pid


def private_dirty(pid):
    """The process's private dirty memory in bytes (Linux 4.14+: smaps_rollup)."""
    with open(f"/proc/{pid}/smaps_rollup") as rollup:
        for line in rollup:
            if line.startswith("Private_Dirty:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no Private_Dirty in /proc/{pid}/smaps_rollup")


def until_child_runs(fork):
    """Seconds from the fork until the child runs, and the child's private memory then."""
    ready_read, ready_write = os.pipe()
    done_read, done_write = os.pipe()
    start = time.perf_counter()
    pid = fork()
    if pid == 0:
        os.write(ready_write, b"r")
        os.read(done_read, 1)  # alive until the parent has read its memory
        os._exit(0)
    os.read(ready_read, 1)
    elapsed = time.perf_counter() - start
    private = private_dirty(pid)
    os.write(done_write, b"x")
    for fd in (ready_read, ready_write, done_read, done_write):
        os.close(fd)
    os.waitpid(pid, 0)  # outside the timing: the child's exit releases its copies
    return elapsed, private


def format_time(seconds):
    return f"{seconds * 1e3:8.2f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:8.0f} us"


def format_bytes(n):
    return f"{n / 2**20:7.1f} MiB" if n >= 2**20 else f"{n / 1024:7.0f} KiB"


def main():
    short = "--short" in sys.argv
    rounds = 3 if short else 21
    if SYS_CLONE is None or not sys.platform.startswith("linux"):
        print("fork cost: Linux x86-64 or AArch64 only; skipped")
        return
    load_before = os.getloadavg()
    print(f"\n{'fork: time until the child runs':<40} {'os.fork':>11} {'plain fork':>11} "
          f"{'ratio':>8}   {'child private memory: os.fork':>30} {'plain':>11} {'more':>11}")
    vaults = []
    for count in COUNTS:
        try:
            while len(vaults) < count:
                vaults.append(HushVault(os.urandom(SIZE // 2).hex().encode()))
        except RuntimeError as error:
            print(f"{count:,} live vaults: could not lock them ({error}); skipped")
            break
        with_handlers, plain = [], []
        for _ in range(rounds):
            with_handlers.append(until_child_runs(os.fork))
            plain.append(until_child_runs(plain_fork))
        ours, theirs = (statistics.median(t for t, _ in runs) for runs in (with_handlers, plain))
        memory, plain_memory = (statistics.median(m for _, m in runs)
                                for runs in (with_handlers, plain))
        label = f"{count:,} live vaults of {SIZE:,} B" if count else "no live vault"
        print(f"{label:<40} {format_time(ours):>11} {format_time(theirs):>11} "
              f"{ours / theirs:7.2f} x   {format_bytes(memory):>30} {format_bytes(plain_memory):>11}"
              f" {format_bytes(memory - plain_memory):>11}")
    load_after = os.getloadavg()
    print(f"(medians of {rounds} forks each, taken in turn; load average "
          f"{load_before[0]:.2f} before, {load_after[0]:.2f} after, on {os.cpu_count()} CPUs)")
    if short:
        print("short run: the figures are not measurements")


if __name__ == "__main__":
    main()
