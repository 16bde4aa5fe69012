"""The Python fuzz harness over its committed corpus and every crash input kept so far."""

import os
import pathlib
import subprocess
import sys

import pytest

FUZZ = pathlib.Path(__file__).parent / "fuzz"


@pytest.mark.skipif(not hasattr(os, "environb"), reason="the harness sets environment bytes (POSIX)")
@pytest.mark.skipif(not (FUZZ / "corpus").is_dir(), reason="the sdist leaves the fuzz corpora out")
def test_fuzz_inputs_replay_cleanly():
    # A fresh interpreter: an input that ended the process must fail this test, not pytest.
    run = subprocess.run(
        [sys.executable, str(FUZZ / "fuzz_python.py"), "--replay", str(FUZZ / "corpus" / "python"),
         str(FUZZ / "regressions" / "python")],
        capture_output=True, text=True, timeout=600,
    )
    assert run.returncode == 0, run.stderr[-4000:]
    assert "inputs replayed" in run.stdout
