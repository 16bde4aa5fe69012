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
    "from_prompt at a terminal": """
        vault = type_at_prompt(take(secret), terminal=True); live(); vault.wipe_py()
    """,
    "from_prompt from standard input": """
        vault = type_at_prompt(take(secret), terminal=False); live(); vault.wipe_py()
    """,
}

SCRIPT = """
import json, sys, time
sys.path.insert(0, {tests!r})
from secret_scan import Scanner, make_secret, overwrite, setenv_secret, type_at_prompt
from hush_vault import HushVault

scanner = Scanner()
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
    options = {}
    if ending.startswith("from_prompt"):
        if sys.platform == "win32":
            pytest.skip("the console cannot be typed into here, nor left for standard input")
        kinds = TEXT_KINDS  # a line holds no line feed
        # A terminal's line holds at most 4095 bytes; a pipe's a whole line, grown into.
        sizes = SIZES[:-1] + (3000 if "terminal" in ending else 60_000,)
        options = {"preexec_fn": os.setsid}  # no controlling terminal but the test's own
    assert wrong_rows(scan(ENDINGS[ending], kinds, sizes, **options)) == []


def test_no_copy_left_by_an_invalid_utf8_reveal():
    body = """
        vault = HushVault(take(secret), volatile=True); live()
        expect(ValueError, "Data is not valid UTF-8", vault.reveal)
        vault.wipe_py()
    """
    assert wrong_rows(scan(body, ("invalid",))) == []
