"""Shared helpers: fresh interpreters and the process's locked-memory figures."""

import faulthandler
import mmap
import os
import shutil
import subprocess
import sys
import textwrap

import pytest


def run_python(code, *, env=None, preexec_fn=None, timeout=60):
    """Runs code in a fresh interpreter; returns the completed process (text output)."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        preexec_fn=preexec_fn,
        timeout=timeout,
    )


# AddressSanitizer turns mlock into a no-op, so memory-lock figures mean nothing under it; these
# tests also read /proc or set POSIX lock limits.
real_memory_locks = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", "") or not sys.platform.startswith("linux"),
    reason="AddressSanitizer turns memory locks into no-ops"
    if sys.platform.startswith("linux") else "reads /proc and POSIX lock limits (Linux)",
)


def _windows_reports_locks():
    """Whether QueryWorkingSetEx marks a page this process has just locked as locked."""
    import ctypes
    from secret_scan import locked_pages

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.VirtualAlloc.restype = ctypes.c_void_p
    kernel32.VirtualAlloc.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_ulong,
                                      ctypes.c_ulong]
    kernel32.VirtualLock.argtypes = kernel32.VirtualUnlock.argtypes = [ctypes.c_void_p,
                                                                       ctypes.c_size_t]
    kernel32.VirtualFree.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_ulong]
    commit_reserve, read_write, release = 0x3000, 0x04, 0x8000
    page = kernel32.VirtualAlloc(None, mmap.PAGESIZE, commit_reserve, read_write)
    try:
        if not kernel32.VirtualLock(page, mmap.PAGESIZE):
            return False
        seen = locked_pages([page])[0]
        kernel32.VirtualUnlock(page, mmap.PAGESIZE)
        return seen
    finally:
        kernel32.VirtualFree(page, 0, release)


def _under_wine():
    import ctypes

    return hasattr(ctypes.WinDLL("ntdll"), "wine_get_version")


UNDER_WINE = sys.platform == "win32" and _under_wine()


def _lock_figures_missing():
    """Why this process's locked memory cannot be measured here, or None."""
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return "AddressSanitizer turns memory locks into no-ops"
    if sys.platform.startswith("linux"):
        return None
    if sys.platform == "win32":
        if _windows_reports_locks():
            return None
        return ("QueryWorkingSetEx reports no page as locked, not even one just locked"
                + (" (Wine leaves that bit unset)" if UNDER_WINE else ""))
    return "no locked-memory figures on this system"


LOCK_FIGURES_MISSING = _lock_figures_missing()
# Tests that measure locked memory through locked_kib(), on Linux and on Windows.
lock_figures = pytest.mark.skipif(LOCK_FIGURES_MISSING is not None,
                                  reason=LOCK_FIGURES_MISSING or "")


def locked_kib():
    """Locked memory of this process in KiB: VmLck on Linux; on Windows the pages of its readable
    memory that QueryWorkingSetEx marks locked. None where that cannot be measured."""
    if LOCK_FIGURES_MISSING is not None:
        return None
    if sys.platform == "win32":
        from secret_scan import locked_pages, readable_regions

        pages = [at for start, end in readable_regions() for at in range(start, end, mmap.PAGESIZE)]
        return sum(locked_pages(pages)) * mmap.PAGESIZE // 1024
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmLck:"):
                return int(line.split()[1])
    pytest.skip("no VmLck in /proc/self/status")


@pytest.fixture
def run_unprivileged():
    """Runs code like run_python, but as a process without CAP_IPC_LOCK, so that RLIMIT_MEMLOCK
    (memlock bytes, when given) holds. As root: user nobody through setpriv, keeping only the
    right to read the interpreter's files wherever they are installed."""
    if sys.platform == "win32":
        pytest.skip("RLIMIT_MEMLOCK and CAP_IPC_LOCK are POSIX")
    import resource  # POSIX only

    if os.geteuid() != 0:
        prefix = []
    elif shutil.which("setpriv"):
        keep = "+dac_read_search"
        prefix = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                  f"--inh-caps={keep}", f"--ambient-caps={keep}", f"--bounding-set=-all,{keep}"]
    else:
        pytest.skip("setpriv (util-linux) is needed to drop root here")

    def run(code, memlock=None, timeout=120):
        def limit():
            if memlock is not None:
                resource.setrlimit(resource.RLIMIT_MEMLOCK, (memlock, memlock))

        result = subprocess.run(
            [*prefix, sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True, text=True, preexec_fn=limit, timeout=timeout,
            env={k: v for k, v in os.environ.items() if k != "PYTHONMALLOC"},
        )
        if "setpriv:" in result.stderr:
            pytest.skip(f"setpriv failed: {result.stderr.strip()}")
        return result

    return run


def _terminal_stderr(config):
    """The descriptor pytest's output capture took standard error from, so the report is seen."""
    capture = config.pluginmanager.getplugin("capturemanager")
    try:
        return capture._global_capturing.err.targetfd_save
    except AttributeError:
        return sys.__stderr__.fileno()


# Under AddressSanitizer (preloaded by tools/sanitize.sh), a thread that ends or starts while
# another thread forks can leave the sanitizer's allocator locked in the child, which then hangs at
# its first allocation. The watchdog's thread ends at every cancel and starts at every arming, and
# the next test may fork at once: there the watchdog is armed once, for the whole run.
_SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
_SANITIZED_RUN_LIMIT = 1800  # seconds
_armed_for_run = []


@pytest.fixture(autouse=True)
def native_hang_backstop(request):
    """Ends the process, after dumping every thread's stack, when a test outlives its timeout.

    pytest-timeout interrupts Python code, but its alarm handler and its timer thread both wait
    for the interpreter lock, which an endless loop in native code never gives back; the
    faulthandler watchdog is a thread of its own that does not need it.
    """
    try:
        limit = float(request.config.getoption("timeout") or request.config.getini("timeout") or 0)
    except ValueError:  # pytest-timeout is not installed: no timeout to back up
        limit = 0
    if limit <= 0:
        yield
        return
    if _SANITIZED:
        if not _armed_for_run:
            faulthandler.dump_traceback_later(_SANITIZED_RUN_LIMIT, exit=True,
                                              file=_terminal_stderr(request.config))
            _armed_for_run.append(True)
        yield
        return
    faulthandler.dump_traceback_later(limit + 30, exit=True, file=_terminal_stderr(request.config))
    yield
    faulthandler.cancel_dump_traceback_later()


def set_env(monkeypatch, name, value):
    """monkeypatch.setenv, except that an empty value stays present on Windows too: there the
    C runtime's putenv removes a variable set to an empty string, so the system call sets it."""
    monkeypatch.setenv(name, value)
    if sys.platform == "win32" and value == "":
        import ctypes

        if not ctypes.windll.kernel32.SetEnvironmentVariableW(name, ""):
            raise ctypes.WinError()
