"""Past the memory-lock limit: the documented error with a note on the limit, nothing left behind,
and the vaults made before it unharmed."""

import errno
import json
import mmap
import os
import pathlib
import re
import sys

import pytest

from conftest import real_memory_locks, run_python

TESTS = pathlib.Path(__file__).parent
PAGE = mmap.PAGESIZE


@real_memory_locks
def test_vaults_past_the_lock_limit(run_unprivileged):
    result = run_unprivileged(
        f"""
        import json, sys
        sys.path.insert(0, {str(TESTS)!r})
        from secret_scan import Scanner, make_secret, overwrite
        from hush_vault import HushVault

        scanner, made, kept = Scanner(), [], []
        while True:
            secret = make_secret("ascii", 3000)
            try:
                made.append(HushVault(secret.data))
            except RuntimeError as error:
                overwrite(secret.data)
                refused = dict(message=str(error), notes=error.__notes__,
                               copies=scanner.count(secret))
                break
            kept.append(secret)
        refused["made"] = len(made)
        refused["intact"] = [v.reveal_bytes() for v in made] == [s.data for s in kept]
        print(json.dumps(refused))
        """,
        memlock=4 * PAGE,
    )
    assert result.returncode == 0, result.stderr
    seen = json.loads(result.stdout)
    expected = (
        "Failed to lock memory (VirtualLock): "
        f"{os.strerror(errno.ENOMEM)} (os error {errno.ENOMEM})"
    )
    assert seen["message"] == expected
    assert seen["copies"] == [0, 0]
    assert 1 <= seen["made"] <= 4 * PAGE // 3000 and seen["intact"]
    [note] = seen["notes"]
    for named in (f"now {4 * PAGE // 1024} KiB", "ulimit -l", "LimitMEMLOCK=", "--ulimit memlock",
                  "CAP_IPC_LOCK", f"pages of {PAGE} bytes"):
        assert named in note, (named, note)


def may_lock_without_limit():
    with open("/proc/self/status") as status:
        effective = next(line for line in status if line.startswith("CapEff:"))
    return int(effective.split()[1], 16) >> 14 & 1  # CAP_IPC_LOCK


def max_map_count():
    """vm.max_map_count, or None where the system does not show it."""
    try:
        with open("/proc/sys/vm/max_map_count") as limit:
            return int(limit.read())
    except OSError:
        return None


@real_memory_locks
@pytest.mark.skipif(not sys.platform.startswith("linux") or not may_lock_without_limit(),
                    reason="Linux's mapping limit; needs CAP_IPC_LOCK, so that only it can refuse")
@pytest.mark.skipif(sys.platform.startswith("linux") and (max_map_count() or 10**9) > 300_000,
                    reason="vm.max_map_count unknown, or too high to fill in a few seconds")
# The refused lock's note is built on the refusing thread: a small thread stack must hold it. The
# small row takes the smallest stack from 32 KiB up that the interpreter allows (3.14: 52 KiB).
@pytest.mark.parametrize("stack", [0, 32 * 1024], ids=["default-stack", "small-stack"])
def test_out_of_memory_mappings(stack):
    """At vm.max_map_count (which the test reads, never sets): pages whose unlock is refused stay
    known and are unlocked once mappings are free again, and the refused lock's note names the
    mapping limit. The process fills its map count with its own small mappings, then frees them."""
    result = run_python(
        f"""
        import json, mmap, threading, warnings
        from hush_vault import HushVault

        def locked_kib():
            return int(open("/proc/self/status").read().split("VmLck:")[1].split()[0])
        def mappings():
            return sum(1 for _ in open("/proc/self/maps"))

        # The refusals come on a thread, started while a mapping for its stack is still free.
        go = threading.Event()
        def until_refused():
            go.wait()
            padding = []
            for _ in range(5000):
                padding.append(bytes(8192))
                try:
                    vaults.append(HushVault(b"s" * 16))
                except RuntimeError as error:
                    seen["notes"] = error.__notes__
                    break
        for size in range({stack}, 64 * 1024, 4096) if {stack} else [0]:
            try:
                threading.stack_size(size)
                break
            except ValueError:
                pass
        else:
            raise SystemExit("no thread stack under 64 KiB allowed")
        worker = threading.Thread(target=until_refused)
        worker.start()

        baseline = locked_kib()
        limit = int(open("/proc/sys/vm/max_map_count").read())
        vaults = [HushVault(b"k" * 4096) for _ in range(2000)]
        fillers = []
        while mappings() < limit - 20:
            fillers += [mmap.mmap(-1, mmap.PAGESIZE) for _ in range(limit - 20 - mappings())]
        seen = dict(at_limit=locked_kib() > baseline)
        # Unlocking every other vault splits the locked run until the system refuses.
        del vaults[::2]
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            go.set()
            worker.join()
        seen["warned"] = [str(w.message) for w in caught]
        fillers.clear()
        vaults.clear()
        seen["locked_after"] = locked_kib() - baseline
        seen["limit"] = limit
        print(json.dumps(seen))
        """,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    seen = json.loads(result.stdout)
    assert seen["at_limit"] and seen["locked_after"] == 0, seen
    [note] = seen["notes"]
    assert "run out of memory mappings" in note and f"vm.max_map_count is {seen['limit']}" in note
    assert 0 < int(re.search(r"it has (\d+),", note)[1]) <= seen["limit"], note
    assert "RLIMIT_MEMLOCK did not refuse" in note
    [warned] = seen["warned"]
    assert "could not be unlocked" in warned and f"(os error {errno.ENOMEM})" in warned


@real_memory_locks
def test_ways_in_past_the_lock_limit(run_unprivileged):
    # Four pages: a vault of two pages and a byte fits alone, but not beside the locked scratch
    # from_file reads it into; a buffer of five pages cannot become a vault at all. Each raises
    # the class's error and leaves no copy, and the buffer is zeroed all the same.
    result = run_unprivileged(
        f"""
        import json, os, sys, tempfile
        sys.path.insert(0, {str(TESTS)!r})
        from secret_scan import Scanner, make_secret, overwrite
        from hush_vault import HushVault
        import hush_vault_sources

        scanner, seen = Scanner(), []
        alone = make_secret("ascii", 2 * {PAGE} + 1)
        HushVault(alone.data).wipe_py()
        for way, size in (("file", 2 * {PAGE} + 1), ("buffer", 5 * {PAGE})):
            secret = make_secret("ascii", size)
            if way == "file":
                path = os.path.join(tempfile.mkdtemp(), "secret")
                fd = os.open(path, os.O_WRONLY | os.O_CREAT)  # unbuffered: no copy of ours
                os.write(fd, secret.data)
                os.close(fd)
                make = lambda: hush_vault_sources.from_file(path)
            else:
                buffer = bytearray(secret.data)
                make = lambda: hush_vault_sources.from_buffer(buffer)
            overwrite(secret.data)
            try:
                make()
            except RuntimeError as error:
                seen.append([str(error), len(error.__notes__), scanner.count(secret)])
            if way == "buffer":
                seen[-1].append(any(buffer))
        print(json.dumps(seen))
        """,
        memlock=4 * PAGE,
    )
    assert result.returncode == 0, result.stderr
    message = (f"Failed to lock memory (VirtualLock): {os.strerror(errno.ENOMEM)} "
               f"(os error {errno.ENOMEM})")
    assert json.loads(result.stdout) == [[message, 1, [0, 0]], [message, 1, [0, 0], False]]
