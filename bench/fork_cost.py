"""What a fork costs with live vaults: the time until the child runs, and the private memory the
child then holds (Private_Dirty), with 0, 1,000 and 20,000 vaults of 4,000 bytes, beside a plain
fork of the same process measured in the same run.

os.fork runs the module's fork handler, which locks every page holding a secret again in the
child (memory locks are not inherited); locked in place, those pages stay shared with the parent,
where a plain mlock would give the child a private copy of each.
The plain fork is the clone system call itself, without any fork handler (the C library's, the
interpreter's or the module's): the same process, the same memory, nothing run in the child. The
floor of a fork that must relock is that plain fork followed, in the child, by the kernel's share
alone: mlock2(MLOCK_ONFAULT) of each locked mapping, read from /proc/self/smaps beforehand. The
three are taken in turn, so that load on a shared machine weighs on all alike. Linux x86-64 and
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

HERE = os.path.dirname(os.path.abspath(__file__))
FLOOR_DIR = os.path.join(os.path.dirname(HERE), "build", "bench")
sys.path[:0] = [HERE, FLOOR_DIR]

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


def locked_mappings():
    """(start, length) of each of this process's locked mappings, from /proc/self/smaps."""
    mappings, current = [], None
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            fields = line.split()
            if fields[0] == "VmFlags:":
                if "lo" in fields[1:]:
                    mappings.append(current)
            elif not fields[0].endswith(":"):  # a mapping's first line: start-end perms ...
                start, end = (int(bound, 16) for bound in fields[0].split("-"))
                current = (start, end - start)
    return mappings


def plain_fork_and_relock(mappings):
    """A plain fork whose child locks `mappings` in place: the system calls and nothing else."""
    import floor  # C: Python code in the child would copy the pages it writes

    return lambda: floor.fork_relocking(mappings)


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
    # In another process: importing the compiler's driver would load modules (threading among
    # them) whose own fork handlers would then weigh on os.fork here.
    builder = os.path.join(HERE, "build_floor.py")
    if os.spawnv(os.P_WAIT, sys.executable, [sys.executable, builder, FLOOR_DIR]) != 0:
        raise RuntimeError(f"{builder} failed")
    load_before = os.getloadavg()
    print(f"\n{'fork: time until the child runs':<32} {'os.fork':>9} {'plain fork':>10} "
          f"{'ratio':>7} {'+ relock':>9} {'ratio':>7}   {'child private memory: os.fork':>30} "
          f"{'plain':>9} {'more':>9}")
    vaults = []
    for count in COUNTS:
        try:
            while len(vaults) < count:
                vaults.append(HushVault(os.urandom(SIZE // 2).hex().encode()))
        except RuntimeError as error:
            print(f"{count:,} live vaults: could not lock them ({error}); skipped")
            break
        forks = (os.fork, plain_fork, plain_fork_and_relock(locked_mappings()))
        runs = [[] for _ in forks]
        for _ in range(rounds):
            for fork, taken in zip(forks, runs):
                taken.append(until_child_runs(fork))
        ours, plain, floor = (statistics.median(t for t, _ in taken) for taken in runs)
        memory, plain_memory = (statistics.median(m for _, m in taken) for taken in runs[:2])
        label = f"{count:,} vaults of {SIZE:,} B" if count else "no live vault"
        print(f"{label:<32} {format_time(ours):>9} {format_time(plain):>10} "
              f"{ours / plain:5.2f} x {format_time(floor):>9} {ours / floor:5.2f} x   "
              f"{format_bytes(memory):>30} {format_bytes(plain_memory):>9}"
              f" {format_bytes(memory - plain_memory):>9}")
    load_after = os.getloadavg()
    print(f"(medians of {rounds} forks each, taken in turn; '+ relock': the plain fork whose child "
          "locks the locked mappings in place, and its ratio: os.fork against it; load average "
          f"{load_before[0]:.2f} before, {load_after[0]:.2f} after, on {os.cpu_count()} CPUs)")
    if short:
        print("short run: the figures are not measurements")


if __name__ == "__main__":
    main()
