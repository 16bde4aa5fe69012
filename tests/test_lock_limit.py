"""Past the memory-lock limit: the documented error with a note on the limit, nothing left behind,
and the vaults made before it unharmed."""

import errno
import json
import mmap
import os
import pathlib

from conftest import real_memory_locks

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
