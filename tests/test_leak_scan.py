"""No copy of a secret is left in the process after any way a vault's secret ends.

Each row runs in a fresh interpreter with the default allocators and scans the process's memory
(tests/secret_scan.py): the live vault must hold the one copy the scanner sees, and after the
secret's end nothing may remain, for secrets of every size class and of ASCII, two-, three- and
four-byte text. UTF-16 copies are counted too: Windows hands the environment over in that form.
"""

import json
import os
import pathlib
import sys
import textwrap

import pytest

from conftest import run_python

TESTS = pathlib.Path(__file__).parent

pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux") and sys.platform != "win32",
    reason="the scanner reads memory through /proc (Linux) or the Win32 API",
)

# Sizes that land in the small-object pools, the C allocator's caches and its large blocks.
SIZES = (24, 600, 200_000)
TEXT_KINDS = ("ascii", "two-byte", "three-byte", "four-byte", "ascii-then-euro")

# How each secret ends. Each body gets `secret` (its `data` the caller's only copy) and returns
# the vault, made from `data`, after the end; the harness scans while the vault is live (in
# `live()`) and after the body.
ENDINGS = {
    "wipe_py": """
        vault = HushVault(take(secret)); live(); vault.wipe_py()
    """,
    "with block": """
        with HushVault(take(secret)) as vault:
            live()
    """,
    "burn after reveal": """
        vault = HushVault(take(secret), volatile=True); live()
        overwrite(vault.reveal())
    """,
    "burn after reveal_bytes": """
        vault = HushVault(take(secret), volatile=True); live()
        overwrite(bytes(vault))
    """,
    "time to live": """
        vault = HushVault(take(secret), ttl_sec=0); live()
        time.sleep(0.002)
        expect(ValueError, "TTL expired", vault.reveal)
    """,
    "last reference dropped": """
        vault = HushVault(take(secret)); live(); del vault; vault = None
    """,
    "reveal_masked, then wipe": """
        vault = HushVault(take(secret)); live()
        overwrite(vault.reveal_masked(len(secret.data) // 2)); vault.wipe_py()
    """,
    "verify and compare with a wrong candidate": """
        vault = HushVault(take(secret))
        wrong = make_secret("invalid", len(secret.data)).data
        other = HushVault(wrong)
        assert not vault.verify(wrong) and not vault.compare(other)
        live(); vault.wipe_py()
    """,
    "from_env": """
        setenv_secret("HUSH_SCAN", secret)
        overwrite(secret.data)
        baseline(); vault = HushVault.from_env("HUSH_SCAN"); live(); vault.wipe_py()
    """,
}

# The ways in of hush_vault_sources: the secret reaches the source (a file, a pipe, a buffer) with
# the caller's copy overwritten first, so the live vault is the one copy; the page cache holding a
# file is the kernel's, outside the process.
SOURCES = {
    "from_file": """
        path = write_file(secret); overwrite(secret.data)
        vault = hush_vault_sources.from_file(path, max_size=1 << 20); live(); vault.wipe_py()
    """,
    "from_credential": """
        os.environ["CREDENTIALS_DIRECTORY"] = os.path.dirname(write_file(secret))
        overwrite(secret.data)
        vault = hush_vault_sources.from_credential("secret", max_size=1 << 20); live()
        vault.wipe_py()
    """,
    "from_fd, a pipe fed as it is read": """
        read_end, write_end = os.pipe()
        feed = lambda: (os.write(write_end, secret.data), os.close(write_end))
        # Fed by another process where there is fork: a feeding thread's stack may keep a piece
        # of what it wrote, a copy the test made in this process, not the way in.
        writer = os.fork() if hasattr(os, "fork") else threading.Thread(target=feed)
        if writer == 0:
            feed(); os._exit(0)
        if isinstance(writer, int):
            os.close(write_end)
        else:
            writer.start()
        vault = hush_vault_sources.from_fd(read_end, max_size=1 << 20)
        os.waitpid(writer, 0) if isinstance(writer, int) else writer.join()
        os.close(read_end); overwrite(secret.data); live(); vault.wipe_py()
    """,
    "from_buffer": """
        buffer = bytearray(len(secret.data)); buffer[:] = secret.data; overwrite(secret.data)
        vault = hush_vault_sources.from_buffer(memoryview(buffer)); live(); vault.wipe_py()
        assert not any(buffer)
    """,
    "from_prompt at a terminal": """
        vault = type_at_prompt(take(secret), terminal=True); live(); vault.wipe_py()
    """,
    "from_prompt from standard input": """
        vault = type_at_prompt(take(secret), terminal=False); live(); vault.wipe_py()
    """,
}

SCRIPT = """
import json, os, sys, tempfile, threading, time
sys.path.insert(0, {tests!r})
from secret_scan import Scanner, make_secret, overwrite, setenv_secret, type_at_prompt
from hush_vault import HushVault
import hush_vault_sources

scanner = Scanner()
folder = tempfile.mkdtemp()

def write_file(secret):
    path = os.path.join(folder, "secret")
    # Binary: a text-mode write on Windows translates through a buffer of the C runtime's own.
    binary = getattr(os, "O_BINARY", 0)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | binary, 0o600)
    os.write(fd, secret.data)
    os.close(fd)
    return path
rows = []

def take(secret):
    # The vault copies the caller's bytes; the caller then overwrites its own copy.
    data = secret.data
    global pending
    pending = data
    return data

def expect(kind, message, call):
    try:
        call()
    except kind as error:
        assert str(error) == message, error
    else:
        raise AssertionError("no " + kind.__name__)

for kind in {kinds!r}:
    for size in {sizes!r}:
        secret = make_secret(kind, size)
        row = {{"kind": kind, "size": size, "baseline": [0, 0, 0, 0]}}
        pending = None
        def baseline():
            row["baseline"] = scanner.count_all(secret)
        def live():
            if pending is not None:
                overwrite(pending)
            row["live"] = scanner.count_all(secret)
{body}
        overwrite(secret.data)
        del vault
        row["after"] = scanner.count_all(secret)
        rows.append(row)
print(json.dumps(rows))
"""


def scan(body, kinds, sizes=SIZES, **kwargs):
    indented = textwrap.indent(textwrap.dedent(body).strip(), " " * 8)
    code = SCRIPT.format(tests=str(TESTS), kinds=kinds, sizes=sizes, body=indented)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONMALLOC"}
    result = run_python(code, env=env, timeout=300, **kwargs)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def wrong_rows(rows):
    """Rows where the live vault was not exactly one more copy (UTF-8: UTF-16 copies are never
    the vault's), or something stayed behind."""
    return [
        row
        for row in rows
        if [n - b for n, b in zip(row["live"], row["baseline"])] != [1, 1, 0, 0]
        or row["after"] != row["baseline"]
    ]


@pytest.mark.parametrize("ending", ENDINGS)
def test_no_copy_left_after_the_secret_ends(ending):
    kinds = TEXT_KINDS if "reveal" in ending and "bytes" not in ending else TEXT_KINDS + ("invalid",)
    sizes = SIZES
    if ending == "from_env":
        kinds = TEXT_KINDS  # an environment value is text
        if sys.platform == "win32":
            sizes = SIZES[:-1] + (30_000,)  # a Windows variable holds at most 32,767 characters
    assert wrong_rows(scan(ENDINGS[ending], kinds, sizes)) == []


@pytest.mark.parametrize("source", SOURCES)
def test_no_copy_left_by_a_way_in(source):
    kinds, sizes, options = ("ascii", "invalid"), SIZES, {}
    if source.startswith("from_prompt"):
        if sys.platform == "win32":
            pytest.skip("the console cannot be typed into here, nor left for standard input")
        kinds = ("ascii", "four-byte")  # a line holds no line feed
        # A terminal's line holds at most 4095 bytes; a pipe's a whole line, grown into.
        sizes = SIZES[:-1] + (3000 if "terminal" in source else 60_000,)
        options = {"preexec_fn": os.setsid}  # no controlling terminal but the test's own
    assert wrong_rows(scan(SOURCES[source], kinds, sizes, **options)) == []


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/environ (Linux)")
@pytest.mark.parametrize("size", (24, 600, 100_000))  # one string of the block holds 128 KiB
def test_pop_env_leaves_no_copy_of_a_startup_variable(size):
    # The value comes in the block the interpreter starts with, as a service's would; the child
    # knows it only masked, as the scanner's needles.
    value = os.urandom(size).hex()[:size].encode()
    needles = [bytes(b ^ 0x5A for b in part).hex() for part in (value[:32], value[-33:-1])]
    env = {k: v for k, v in os.environ.items() if k != "PYTHONMALLOC"}
    env.update(HUSH_SCAN=value.decode(), HUSH_NEEDLES=" ".join(needles))
    code = f"""
        import os, sys
        sys.path.insert(0, {str(TESTS)!r})
        from secret_scan import Scanner, Secret
        import hush_vault_sources
        head, tail = (bytes.fromhex(n) for n in os.environ.pop("HUSH_NEEDLES").split())
        secret, scanner = Secret(b"", head, tail), Scanner()
        vault = hush_vault_sources.pop_env("HUSH_SCAN")
        assert "HUSH_SCAN" not in os.environ and os.getenv("HUSH_SCAN") is None
        live = scanner.count(secret)
        vault.wipe_py()
        with open("/proc/self/environ", "rb") as block:
            shown = bytes(b ^ 0x5A for b in block.read())
        print(live, scanner.count(secret), head in shown or tail in shown)
    """
    result = run_python(code, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["(1,", "1)", "(0,", "0)", "False"]


def test_no_copy_left_by_an_invalid_utf8_reveal():
    body = """
        vault = HushVault(take(secret), volatile=True); live()
        expect(ValueError, "Data is not valid UTF-8", vault.reveal)
        vault.wipe_py()
    """
    assert wrong_rows(scan(body, ("invalid",))) == []
