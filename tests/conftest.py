"""Shared helpers: fresh interpreters and the process's locked-memory figures."""

import os
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


# AddressSanitizer turns mlock into a no-op, so memory-lock figures mean nothing under it; and
# only Linux reports them (VmLck).
real_memory_locks = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", "") or not sys.platform.startswith("linux"),
    reason="no real locked-memory figures here (ASan, or not Linux)",
)


def locked_kib():
    """VmLck of this process, in KiB (Linux); None on systems that do not report it."""
    if not sys.platform.startswith("linux"):
        return None
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmLck:"):
                return int(line.split()[1])
    pytest.skip("no VmLck in /proc/self/status")


def set_env(monkeypatch, name, value):
    """monkeypatch.setenv, except that an empty value stays present on Windows too: there the
    C runtime's putenv removes a variable set to an empty string, so the system call sets it."""
    monkeypatch.setenv(name, value)
    if sys.platform == "win32" and value == "":
        import ctypes

        if not ctypes.windll.kernel32.SetEnvironmentVariableW(name, ""):
            raise ctypes.WinError()
