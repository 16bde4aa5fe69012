"""The examples run as a user runs them: the quickstart tour, and the API client at a terminal."""

import os
import select
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
TOKEN = "tok-0123456789abcdef-4711"


def test_quickstart_tour_runs():
    result = subprocess.run(
        [sys.executable, "quickstart.py"], cwd=EXAMPLES, capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert "<HushVault: [REDACTED]> / <HushVault: [REDACTED]>" in result.stdout
    assert "(unexpected!)" not in result.stdout


def at_terminal(args, answers, env):
    """Runs args with a pseudo-terminal as its terminal, answering each password prompt in turn.

    getpass turns echo off and flushes pending input, so each answer is written only once its
    prompt has appeared."""
    controller, terminal = os.openpty()
    process = subprocess.Popen(
        [sys.executable, *args], stdin=terminal, stdout=terminal, stderr=terminal, env=env,
        cwd=EXAMPLES, start_new_session=True,
    )
    os.close(terminal)
    output, answered = b"", 0
    while True:
        ready, _, _ = select.select([controller], [], [], 30)
        assert ready, f"no output for 30 s: {output!r}"
        try:
            chunk = os.read(controller, 4096)
        except OSError:  # the terminal closed with the process
            break
        if not chunk:
            break
        output += chunk
        if output.count(b"assword: ") > answered:
            os.write(controller, answers[answered].encode() + b"\n")
            answered += 1
    os.close(controller)
    return process.wait(timeout=30), output.decode().replace("\r\n", "\n")


@pytest.mark.skipif(not hasattr(os, "openpty"), reason="needs a pseudo-terminal (POSIX)")
@pytest.mark.parametrize(
    "typed, code, expected",
    [
        ("correct horse", 0, "a second reveal: Vault is wiped."),
        ("wrong horse", 1, "wrong password"),
    ],
)
def test_api_client_checks_the_password_and_burns_the_token(tmp_path, typed, code, expected):
    stored = tmp_path / "password"
    env = {**os.environ, "API_TOKEN": TOKEN}
    enrolled, output = at_terminal(
        ["api_client.py", "enrol", str(stored)], ["correct horse", "correct horse"], env
    )
    assert enrolled == 0, output
    assert stored.stat().st_mode & 0o777 == 0o600
    assert "correct horse" not in stored.read_text()

    status, output = at_terminal(["api_client.py", "call", str(stored)], [typed], env)
    assert status == code, output
    assert expected in output
    assert TOKEN not in output and typed not in output  # masked token, no echo
    if code == 0:
        assert f"token {'*' * (len(TOKEN) - 4)}4711" in output
        assert f"with a {len('Bearer ' + TOKEN)}-character Authorization header" in output
