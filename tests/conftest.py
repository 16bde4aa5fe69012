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


# AddressSanitizer turns mlock into a no-op, so memory-lock figures mean nothing under it.
real_memory_locks = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="memory locks are not real under ASan"
)


def locked_kib():
    """VmLck of this process, in KiB (Linux)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmLck:"):
                return int(line.split()[1])
    pytest.skip("no VmLck in /proc/self/status")
