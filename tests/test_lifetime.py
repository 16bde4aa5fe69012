"""A vault's life: locked memory, the time to live, wiping, `with`, and destruction."""

import errno
import mmap
import os
import pathlib
import sys
import time

import pytest

from hush_vault import HushVault

from conftest import lock_figures, locked_kib, real_memory_locks, run_python

PAGE_KIB = mmap.PAGESIZE // 1024
TESTS = pathlib.Path(__file__).parent


def test_time_to_live():
    one = HushVault(b"one second", ttl_sec=1)
    true = HushVault(b"True is one second", ttl_sec=True)
    forever = HushVault(b"never expires", ttl_sec=2**64 - 1)
    assert one.reveal() == "one second"
    assert true.reveal() == "True is one second"
    time.sleep(1.05)
    for vault in (one, true):
        with pytest.raises(ValueError, match="^TTL expired$"):
            vault.reveal_bytes()
        # The guard wiped it: the display aid sees a wiped vault, the guard keeps saying why.
        with pytest.raises(ValueError, match=r"^Vault is wiped\.$"):
            vault.reveal_masked(0)
        with pytest.raises(ValueError, match="^TTL expired$"):
            vault.reveal()
    assert forever.reveal() == "never expires"


def test_zero_ttl_expires_at_first_guarded_access():
    vault = HushVault(b"gone", ttl_sec=0)
    assert vault.reveal_masked(2) == "**ne"  # not guarded: still live
    with pytest.raises(ValueError, match="^TTL expired$"):
        vault.reveal()
    already_wiped = HushVault(b"gone", ttl_sec=False)
    already_wiped.wipe_py()
    with pytest.raises(ValueError, match="^TTL expired$"):
        already_wiped.reveal()


def test_wipe_py_is_final_and_repeatable():
    vault = HushVault(b"secret")
    assert vault.wipe_py() is None
    assert vault.wipe_py() is None
    for reveal in (vault.reveal, vault.reveal_bytes, lambda: bytes(vault), lambda: vault.reveal_masked(1)):
        with pytest.raises(ValueError, match=r"^Vault is wiped\.$"):
            reveal()


def test_with_statement():
    vault = HushVault(b"scoped")
    with vault as bound:
        assert bound is vault
        assert bound.reveal() == "scoped"
    with pytest.raises(ValueError, match=r"^Vault is wiped\.$"):
        vault.reveal()

    failing = HushVault(b"scoped")
    marker = LookupError("from the body")
    with pytest.raises(LookupError) as caught:
        with failing:
            raise marker
    assert caught.value is marker
    with pytest.raises(ValueError, match=r"^Vault is wiped\.$"):
        failing.reveal()
    # __enter__ runs no guard; __exit__ ignores its arguments.
    with failing as again:
        assert again is failing
    assert HushVault(b"x").__exit__(1, "two", object()) is None


def test_empty_secret():
    before = locked_kib()
    vault = HushVault(b"", volatile=True)
    assert locked_kib() == before
    assert vault.reveal_masked(5) == ""
    assert vault.verify(b"") is True
    assert vault.reveal() == ""
    with pytest.raises(ValueError, match=r"^Vault is wiped\.$"):
        vault.reveal_bytes()


@lock_figures
def test_locks_are_counted_per_page():
    # In a fresh interpreter: a vault another test left alive could share the last vault's page,
    # whose lock then would not show in VmLck.
    result = run_python(f"""
        import os, random, sys
        sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
        from conftest import locked_kib
        from hush_vault import HushVault
        baseline = locked_kib()
        vaults = [HushVault(os.urandom(24)) for _ in range(200)]
        assert locked_kib() > baseline
        last = vaults.pop(random.randrange(len(vaults)))
        random.shuffle(vaults)
        for vault in vaults:
            vault.wipe_py()
        # Neighbours sharing its page were wiped; the live vault's page must still be locked.
        assert locked_kib() >= baseline + {PAGE_KIB}, (locked_kib(), baseline)
        assert last.reveal_bytes()
        del vaults
        del last
        assert locked_kib() == baseline, (locked_kib(), baseline)
    """)
    assert result.returncode == 0, result.stderr


@lock_figures
def test_a_secret_page_stays_locked_until_its_last_vault_goes():
    # A fresh interpreter, so that no other test's vault shares the pages. The scanner finds each
    # vault's block (its secret's only copy once the caller's is overwritten).
    result = run_python(
        f"""
        import mmap, sys
        sys.path.insert(0, {str(TESTS)!r})
        from secret_scan import Scanner, make_secret, overwrite, page_locked
        from hush_vault import HushVault

        secrets = [make_secret("ascii", 24) for _ in range(200)]
        vaults = [HushVault(s.data) for s in secrets]
        for s in secrets:
            overwrite(s.data)
        scanner = Scanner()
        (kept,) = scanner.addresses(secrets[100].head)
        others = [scanner.addresses(secrets[i].head)[0] for i in (0, 199)]
        assert all(page_locked(at) for at in [kept, *others])
        last = vaults.pop(100)
        for vault in vaults:
            vault.wipe_py()
        assert page_locked(kept)
        elsewhere = [at for at in others if at // mmap.PAGESIZE != kept // mmap.PAGESIZE]
        assert elsewhere and not any(page_locked(at) for at in elsewhere)
        del last
        assert not page_locked(kept)
        """,
        env={k: v for k, v in os.environ.items() if k != "PYTHONMALLOC"},
    )
    assert result.returncode == 0, result.stderr


@real_memory_locks
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="smaps is Linux's")
def test_locked_pages_are_left_out_of_core_dumps_until_unlocked():
    # A fresh interpreter, so that no other test's vault holds a page; "dd" in a mapping's
    # VmFlags keeps it out of core dumps, and a lock splits the mapping to exactly its pages.
    result = run_python(
        """
        import os
        from hush_vault import HushVault

        def mappings():
            # (address range, locked, kept out of dumps) of every mapping.
            found = []
            for line in open("/proc/self/smaps"):
                key, _, value = line.partition(":")
                if "-" in line.split()[0]:
                    where = line.split()[0]
                elif key == "Locked":
                    locked = int(value.split()[0]) > 0
                elif key == "VmFlags":
                    found.append((where, locked, "dd" in value.split()))
            return found

        # The kernel's own special mappings are kept out of dumps from the start.
        before = {where for where, _, undumped in mappings() if undumped}
        vaults = [HushVault(os.urandom(n)) for n in (1, 64, 5000)]
        live = mappings()
        assert any(locked for _, locked, _ in live), live
        assert all(undumped for _, locked, undumped in live if locked), live
        for vault in vaults:
            vault.wipe_py()
        after = mappings()
        assert not any(locked for _, locked, _ in after), after
        assert {where for where, _, undumped in after if undumped} == before, after
        """
    )
    assert result.returncode == 0, result.stderr


def test_many_vaults_leave_nothing_behind():
    baseline_locked = locked_kib()
    baseline_refs = sys.getrefcount(HushVault)
    for i in range(100_000):
        vault = HushVault(b"p%06d" % i, volatile=bool(i & 1), ttl_sec=60)
        if i % 3 == 0:
            vault.reveal()
    del vault
    assert sys.getrefcount(HushVault) == baseline_refs
    assert locked_kib() == baseline_locked


def _drop_lock_privilege():
    """Runs in the child: no CAP_IPC_LOCK and a one-page lock limit, so mlock can be refused."""
    if os.geteuid() == 0:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        PR_CAPBSET_DROP, CAP_IPC_LOCK = 24, 14
        if libc.prctl(PR_CAPBSET_DROP, CAP_IPC_LOCK, 0, 0, 0) != 0:
            os._exit(77)
    import resource  # POSIX only, as is this whole test

    page = os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_MEMLOCK, (page, page))


@real_memory_locks
def test_refused_lock_leaves_nothing():
    result = run_python(
        f"""
        import os
        from hush_vault import HushVault

        def locked():
            for line in open("/proc/self/status"):
                if line.startswith("VmLck:"):
                    return int(line.split()[1])

        small = HushVault(b"fits in one page")
        before = locked()
        try:
            HushVault(os.urandom(256 * 1024))
        except RuntimeError as error:
            print(error)
        else:
            print("no error")
        assert locked() == before, (locked(), before)
        assert small.reveal() == "fits in one page"
        try:
            HushVault.from_env("HUSH_BIG")
        except RuntimeError as error:
            print(error)
        assert locked() == before
        """,
        env={**os.environ, "HUSH_BIG": "x" * 100_000},
        preexec_fn=_drop_lock_privilege,
    )
    if result.returncode == 77:
        pytest.skip("cannot drop the memory-lock privilege here")
    assert result.returncode == 0, result.stderr
    expected = f"Failed to lock memory (VirtualLock): {os.strerror(errno.ENOMEM)} (os error {errno.ENOMEM})"
    assert result.stdout.splitlines() == [expected, expected]
