"""from_prompt: a line typed with echo off, at a pseudo-terminal that is the child's controlling
terminal, and getpass's fallback to standard input where there is no terminal."""

import json
import mmap
import os
import pathlib
import select
import subprocess
import sys
import textwrap

import pytest

from conftest import real_memory_locks

POSIX = os.name == "posix"
TESTS = pathlib.Path(__file__).parent
PAGE = mmap.PAGESIZE

# The child reports what the vault holds (hex) or the exception's class, and whether the terminal's
# modes after the prompt equal those before it.
TERMINAL_CHILD = """
import fcntl, json, signal, sys, termios
import hush_vault_sources
signal.signal(signal.SIGINT, signal.default_int_handler)  # not the ignoring a background run gives
fcntl.ioctl(0, termios.TIOCSCTTY, 0)
before = termios.tcgetattr(0)
try:
    outcome = hush_vault_sources.from_prompt("Key: ").reveal_bytes().hex()
except BaseException as error:
    outcome = type(error).__name__
print("RESULT", json.dumps([outcome, termios.tcgetattr(0) == before]))
"""

#   typed at the terminal            the vault's bytes, or the exception
TERMINAL_ROWS = [
    (b"typed-s3cret\n",              b"typed-s3cret"),
    (b"\xc3\xa9t\xc3\xa9 \xe2\x82\xac\n", "été €".encode()),
    (b"\n",                          b""),
    (b"half\x03",                    "KeyboardInterrupt"),  # Ctrl-C
    (b"\x04",                        "EOFError"),           # Ctrl-D on an empty line
    (b"partial\x04\x04",             b"partial"),           # text, then the end of input
]


def read_until(master, marker, output=b""):
    """Reads the terminal's output until marker shows (None: until the child closes it)."""
    while marker is None or marker not in output:
        ready, _, _ = select.select([master], [], [], 30)
        assert ready, f"no {marker!r} from the child; it wrote {output!r}"
        try:
            chunk = os.read(master, 4096)
        except OSError:  # EIO: the child has closed the terminal
            chunk = b""
        if not chunk:
            assert marker is None, output
            return output
        output += chunk
    return output


@pytest.mark.skipif(not POSIX, reason="pseudo-terminals are POSIX, and the Windows console "
                    "cannot be typed into from a test (Wine gives a test run no console): "
                    "the standard-input rows run there")
@pytest.mark.parametrize("typed, expected", TERMINAL_ROWS)
def test_terminal_line_is_read_with_echo_off_and_the_mode_restored(typed, expected):
    import pty
    import termios

    master, slave = pty.openpty()
    child = subprocess.Popen([sys.executable, "-c", TERMINAL_CHILD], stdin=slave, stdout=slave,
                             stderr=slave, start_new_session=True)
    os.close(slave)
    try:
        shown = read_until(master, b"Key: ")
        assert not termios.tcgetattr(master)[3] & termios.ECHO, "echo is on while reading"
        os.write(master, typed)
        shown = read_until(master, None, shown)
    finally:
        os.close(master)
        child.wait(timeout=30)
    outcome, restored = json.loads(shown.split(b"RESULT ")[1].splitlines()[0])
    assert restored, shown
    if isinstance(expected, bytes):
        assert bytes.fromhex(outcome) == expected
        # getpass's line end follows the prompt, and nothing typed was shown.
        assert shown.startswith(b"Key: \r\nRESULT"), shown
    else:
        assert outcome == expected, shown
    secret = typed.strip(b"\n\x03\x04")
    assert not secret or secret not in shown, shown


STDIN_CHILD = """
import json, sys, warnings
import hush_vault_sources
warnings.simplefilter("always")
with warnings.catch_warnings(record=True) as caught:
    try:
        outcome = hush_vault_sources.from_prompt(**{keywords}).reveal_bytes().hex()
    except BaseException as error:
        outcome = type(error).__name__ + ": " + str(error)
print(json.dumps([outcome, [f"{{w.category.__name__}}: {{w.message}}" for w in caught],
                  sys.stdin.buffer.read().hex()]))
"""

LONG = 65536  # the longest line from_prompt keeps
WARNING = "GetPassWarning: Can not control echo on the terminal."
TOO_LONG = f"ValueError: from_prompt() read a line longer than {LONG} bytes; nothing was kept"

#   standard input                  keywords              vault's bytes or error   left unread
STDIN_ROWS = [
    (b"piped\nnext line\n",         {},                   b"piped",                b"next line\n"),
    (b"crlf\r\nrest",               {"prompt": "PIN? "},  b"crlf",                 b"rest"),
    (b"no line end",                {},                   b"no line end",          b""),
    (b"",                           {},                   "EOFError: from_prompt(): end of input before a line was read", b""),
    (b"x" * LONG + b"\r\nrest",     {},                   b"x" * LONG,             b"rest"),
    (b"x" * (LONG + 1) + b"\nrest", {},                   TOO_LONG,                b"rest"),
    (b"kept\n",                     {"ttl_sec": -1},      "OverflowError",         b"kept\n"),
]


@pytest.mark.parametrize("stdin, keywords, expected, unread", STDIN_ROWS)
def test_without_a_terminal_the_line_comes_from_standard_input_unbuffered(stdin, keywords,
                                                                          expected, unread):
    # No controlling terminal (a new session), no console (a detached process).
    detached = {"start_new_session": True} if POSIX else {"creationflags": 0x8}
    result = subprocess.run([sys.executable, "-c", STDIN_CHILD.format(keywords=keywords)],
                            input=stdin, capture_output=True, timeout=60, **detached)
    assert result.returncode == 0, result.stderr
    outcome, warned, rest = json.loads(result.stdout)
    assert bytes.fromhex(rest) == unread
    if isinstance(expected, bytes):
        assert bytes.fromhex(outcome) == expected
        assert warned == [WARNING]
        prompt = keywords.get("prompt", "Password: ")
        notice = "Warning: Password input may be echoed.\n" + prompt + "\n"
        assert result.stderr.decode().replace("\r\n", "\n") == notice
    else:
        assert outcome.startswith(expected), outcome



@real_memory_locks
def test_a_refused_lock_as_the_line_grows_leaves_nothing(run_unprivileged):
    # One page is locked for the line at first; a longer line needs more than the limit allows.
    result = run_unprivileged(f"""
        import json, os, sys
        sys.path.insert(0, {str(TESTS)!r})
        from secret_scan import Scanner, make_secret, type_at_prompt
        os.setsid()  # no controlling terminal: the line comes from standard input
        secret = make_secret("ascii", 3 * {PAGE})
        try:
            type_at_prompt(secret.data, terminal=False)
        except RuntimeError as error:
            refused = [str(error), error.__notes__]
        print(json.dumps([refused, Scanner().count(secret)]))
        """, memlock=2 * PAGE)
    assert result.returncode == 0, result.stderr
    (message, [note]), copies = json.loads(result.stdout)
    assert message.startswith("Failed to lock memory (VirtualLock): "), message
    assert "RLIMIT_MEMLOCK" in note
    assert copies == [1, 1]  # the caller's own, and no other
