"""hush_vault_sources: each way in gives an ordinary vault holding exactly the bytes it read, and
each bad input the interpreter's usual exception with a clear message, leaving nothing behind."""

import array
import errno
import os
import subprocess
import sys
import threading

import pytest

import hush_vault_sources as sources
from hush_vault import HushVault

POSIX = sys.platform != "win32"


def test_each_way_in_gives_the_bytes_it_read(tmp_path, monkeypatch):
    secret = os.urandom(3000) + b"\r\n"
    path = tmp_path / "secret"
    path.write_bytes(secret)
    monkeypatch.setenv("CREDENTIALS_DIRECTORY", str(tmp_path))
    with open(path, "rb") as opened:
        made = {
            "str path": sources.from_file(str(path)),
            "bytes path": sources.from_file(os.fsencode(path), volatile=True),
            "os.PathLike": sources.from_file(path, ttl_sec=60),
            "descriptor": sources.from_fd(opened.fileno()),
            "credential": sources.from_credential("secret"),
        }
        os.fstat(opened.fileno())  # from_fd leaves the descriptor open
    for how, vault in made.items():
        assert type(vault) is HushVault and vault.reveal_bytes() == secret, how
    # One trailing "\n" or "\r\n" goes, nothing more; the default keeps the bytes as stored.
    for stored, kept in [(b"k\n\n", b"k\n"), (b"k\r\n", b"k"), (b"k\r", b"k\r"), (b"", b"")]:
        path.write_bytes(stored)
        assert sources.from_file(path, strip_newline=True).reveal_bytes() == kept
    path.write_bytes(b"1234")
    assert sources.from_file(path, max_size=4).reveal_bytes() == b"1234"
    # A size the system reports is no promise: /proc files report 0 and hold more.
    if sys.platform.startswith("linux"):
        with open("/proc/version", "rb") as version:
            assert sources.from_file("/proc/version").reveal_bytes() == version.read()
    for buffer in (bytearray(b"buf"), memoryview(bytearray(b"buf")), array.array("B", b"buf")):
        assert sources.from_buffer(buffer, volatile=True).reveal_bytes() == b"buf"
        assert not any(bytes(buffer))


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="FIFOs are POSIX")
@pytest.mark.parametrize("fed, limit, error", [
    (b"x" * 200_000, 1 << 20, None),  # more than the pipe holds: read while it is written
    (b"x" * 5000, 4096, "from_file() read more than max_size=4096 bytes; nothing was kept"),
])
def test_a_fifo_fed_while_read(tmp_path, fed, limit, error):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    def feed():
        with open(fifo, "wb") as writer:
            try:
                writer.write(fed)
            except BrokenPipeError:
                pass  # the reader stopped at its limit

    feeder = threading.Thread(target=feed)
    feeder.start()
    try:
        if error is None:
            assert sources.from_file(fifo, max_size=limit).reveal_bytes() == fed
        else:
            with pytest.raises(ValueError) as raised:
                sources.from_file(fifo, max_size=limit)
            assert str(raised.value) == error
    finally:
        feeder.join()


def bad_inputs(tmp_path):
    """(call, exception class, message or errno) rows; `tmp_path` holds a 5-byte file."""
    path = tmp_path / "secret"
    path.write_bytes(b"12345")
    write_only = os.open(path, os.O_WRONLY)
    closed = os.open(path, os.O_RDONLY)
    os.close(closed)
    return [
        (lambda: sources.from_file(tmp_path / "missing"), FileNotFoundError, errno.ENOENT),
        (lambda: sources.from_file(tmp_path), IsADirectoryError if POSIX else PermissionError,
         errno.EISDIR if POSIX else errno.EACCES),
        (lambda: sources.from_fd(closed), OSError, errno.EBADF),
        (lambda: sources.from_fd(write_only), OSError if POSIX else PermissionError,
         errno.EBADF if POSIX else errno.EACCES),
        (lambda: sources.from_file(path, max_size=4), ValueError,
         "from_file() read more than max_size=4 bytes; nothing was kept"),
        (lambda: sources.from_file(path, volatile=1), TypeError,
         "from_file() argument 'volatile': 'int' object cannot be cast as 'bool'"),
        (lambda: sources.from_fd(0, ttl_sec=1.5), TypeError,
         "from_fd() argument 'ttl_sec': 'float' object cannot be interpreted as an integer"),
        (lambda: sources.from_file(path, ttl_sec=-1), OverflowError,
         "can't convert negative int to unsigned"),
        (lambda: sources.from_file(path, strip_newline=None), TypeError,
         "from_file() argument 'strip_newline': 'NoneType' object cannot be cast as 'bool'"),
        (lambda: sources.from_file(1.5), TypeError,
         "from_file() argument 'path': expected str, bytes or os.PathLike object, not float"),
        (lambda: sources.from_file(path, 1), TypeError,
         "from_file() takes 1 positional arguments but 2 were given"),
        (lambda: sources.from_credential("a/b"), ValueError,
         "from_credential() argument 'name': a credential name is a file name: not empty, '.' or "
         "'..', and holding no path separator"),
        (lambda: sources.from_credential(".."), ValueError, None),
        (lambda: sources.from_credential(""), ValueError, None),
        (lambda: sources.pop_env("HUSH_SOURCES_MISSING"), KeyError, "'Env var not found'"),
        (lambda: sources.pop_env("HUSH_SOURCES_SET", volatile=None), TypeError,
         "pop_env() argument 'volatile': 'NoneType' object cannot be cast as 'bool'"),
        (lambda: sources.from_buffer(b"read-only"), TypeError,
         "from_buffer() argument 'buffer': the buffer is read-only, so it could not be zeroed"),
        (lambda: sources.from_buffer(memoryview(bytearray(b"1234"))[::2]), TypeError,
         "from_buffer() argument 'buffer': the buffer is not C-contiguous"),
        (lambda: sources.from_buffer("text"), TypeError,
         "from_buffer() argument 'buffer': a writable bytes-like object is required, not 'str'"),
    ]


def test_bad_inputs_raise_the_usual_exception_and_leave_nothing(tmp_path, monkeypatch):
    monkeypatch.setenv("HUSH_SOURCES_SET", "kept")
    monkeypatch.delenv("HUSH_SOURCES_MISSING", raising=False)
    monkeypatch.delenv("CREDENTIALS_DIRECTORY", raising=False)
    for call, kind, expected in bad_inputs(tmp_path):
        with pytest.raises(kind) as raised:
            call()
        assert type(raised.value) is kind
        if isinstance(expected, int):
            assert raised.value.errno == expected
        elif expected is not None:
            assert str(raised.value) == expected
    assert os.environ["HUSH_SOURCES_SET"] == "kept"  # a refused pop_env leaves the variable
    with pytest.raises(FileNotFoundError, match="this process was given no credentials"):
        sources.from_credential("db")
    missing = tmp_path / "missing"
    with pytest.raises(FileNotFoundError) as raised:
        sources.from_file(missing)
    assert raised.value.filename is missing


def test_pop_env_takes_the_variable_out_of_the_process(monkeypatch):
    monkeypatch.setenv("HUSH_SOURCES_POP", "s3cret-é")
    vault = sources.pop_env("HUSH_SOURCES_POP", ttl_sec=60)
    assert vault.reveal() == "s3cret-é"
    assert "HUSH_SOURCES_POP" not in os.environ and os.getenv("HUSH_SOURCES_POP") is None
    assert os.environ.encodekey("HUSH_SOURCES_POP") not in os.environ._data
    # Children no longer inherit it.
    shown = subprocess.run([sys.executable, "-c", "import os; print(os.getenv('HUSH_SOURCES_POP'))"],
                           capture_output=True, text=True, check=True).stdout
    assert shown.strip() == "None"
    if not POSIX:
        return  # the environment holds UTF-16 on Windows: no invalid bytes can be put there
    monkeypatch.setattr(os, "environb", os.environb)
    os.environb[b"HUSH_SOURCES_BAD"] = b"\xff"
    with pytest.raises(KeyError) as raised:
        sources.pop_env("HUSH_SOURCES_BAD")
    assert raised.value.__notes__ == [
        "environment variable 'HUSH_SOURCES_BAD': its value is not valid UTF-8"]
    assert os.environb[b"HUSH_SOURCES_BAD"] == b"\xff"
    del os.environb[b"HUSH_SOURCES_BAD"]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the scanner reads /proc (Linux)")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the scanner would read AddressSanitizer's shadow memory: minutes")
def test_ctrl_c_during_a_blocking_read_zeroes_what_was_read():
    from conftest import run_python

    result = run_python(f"""
        import os, signal, sys, threading
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from secret_scan import Scanner, make_secret, overwrite
        import hush_vault_sources

        secret, scanner = make_secret("ascii", 3000), Scanner()
        read_end, write_end = os.pipe()  # the writer stays open: the read blocks after the secret
        os.write(write_end, secret.data); overwrite(secret.data)
        main = threading.get_ident()
        signal.signal(signal.SIGINT, signal.default_int_handler)  # a background run ignores it
        threading.Timer(0.2, lambda: signal.pthread_kill(main, signal.SIGINT)).start()
        try:
            hush_vault_sources.from_fd(read_end)
        except KeyboardInterrupt:
            print("interrupted", scanner.count(secret))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["interrupted", "(0,", "0)"]
