"""The fault sweep's scenarios and checks: each case runs one scenario in a fresh interpreter,
against the module built with HUSH_VAULT_FAULT_INJECTION and under the rules of HUSH_INJECT; it
checks itself and prints its problems as one JSON line per process. tools/fault_sweep.py runs
every case (tools/check_faults.sh)."""

import ctypes
import errno
import gc
import json
import mmap
import os
import re
import sys
import tempfile
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from secret_scan import MASK, NEEDLE, Scanner, make_secret, overwrite, page_flags, setenv_secret

PAGE = mmap.PAGESIZE
WINDOWS = sys.platform == "win32"

# name: (HUSH_INJECT rules of every case, the code). The checks end the vaults the code leaves.
SCENARIOS = {
    "construct": ("", "v, s = make(100); live(v, s)"),
    "shared page": ("", "a, sa, b, sb = neighbours(); live(a, sa, b, sb); del b; live(a, sa)"),
    "multi-page": ("", "v, s = make(3 * PAGE); live(v, s)"),
    "wipe": ("", "v, s = make(100); call(v.wipe_py); gone(s)"),
    "volatile reveal": ("", "v, s = make(100, volatile=True); same(call(v.reveal_bytes), s)"),
    "ttl reveal": ("", "v, s = make(100, ttl_sec=3600); same(call(v.reveal_bytes), s); live(v, s)"),
    "from_env": ("", "v, s = make(200, env=True); live(v, s); same(call(v.reveal_bytes), s)"),
    "fork": ("", "a, sa = make(64); b, sb = make(2 * PAGE); in_child(lambda: ("
             "same(call(a.reveal_bytes), sa), live(a, sa, b, sb), call(b.wipe_py), gone(sb), "
             "live(*make(64))))"),
    "refused lock": ("mlock:1:ENOMEM", "v, s = make(100); gone(s)"),
    # With warnings as errors (-W error), a wipe while a refused unlock's warning is pending.
    "pending warning": ("munlock:1:EPERM", "a, sa = make(64); b, sb = make(3 * PAGE); "
                        "call(a.wipe_py); as_errors(); call(b.wipe_py); gone(sb)"),
    # A vault released, its unlock refused, while that warning is being shown.
    "unlock in a warning": ("munlock:*:EPERM", "a, sa = make(64); b, sb = make(3 * PAGE); "
                            "call(a.wipe_py); on_warning(lambda: scope.pop('b', 0)); "
                            "call(lambda: Vault(b'').wipe_py()); "
                            "isinstance(a, Refused) or gone(sb)"),
    # The companion module's ways in: each gives a vault of the bytes or a documented error.
    "from_file": ("", "v, s = take('file', 100); live(v, s); same(call(v.reveal_bytes), s)"),
    "from_fd": ("", "v, s = take('pipe', 5000); live(v, s)"),
    "from_credential": ("", "v, s = take('credential', 100); live(v, s)"),
    "pop_env": ("", "v, s = take('env', 100); live(v, s); same(call(v.reveal_bytes), s)"),
    "from_buffer": ("", "v, s = take('buffer', 100); live(v, s)"),
    # Standard input in a session without a controlling terminal: the fallback of the prompt.
    "from_prompt": ("", "v, s = take('prompt', 100); live(v, s)"),
}

# Faults known and being mended: (scenario, problem pattern) -> the fault. Their cases are listed,
# not failed; a row that no case shows any more fails the sweep, so that it is removed.
KNOWN = {}

# The calls whose failure ends the process through the fail-fast report, and that report.
FAIL_FAST = {"heap": r"memory allocation of \d+ bytes failed",
             "mmap": r"memory allocation of \d+ bytes failed",
             "clock": r"hush_vault: internal fault: QueryPerformanceCounter failed",
             "at_fork": r"hush_vault: internal fault: the fork handlers"}

# A lookup that fails finds no variable.
NO_CREDENTIALS = ("from_credential(): this process was given no credentials: "
                  "CREDENTIALS_DIRECTORY is not set")
LOCK_REFUSED = re.compile(r"Failed to lock memory \(VirtualLock\): .+ \(os error \d+\)")
WARNED = re.compile(r"after fork, \d+ page\(s\) holding secrets could not be locked again|"
                    r"(\d+) page\(s\) that held secrets, zeroed since, could not be unlocked")


# Stands for a vault whose construction was refused: its methods do nothing.
Refused = type("Refused", (), {"__getattr__": lambda self, name: lambda: None})


def locked_kib():
    if WINDOWS:  # no figure to check against: Wine leaves QueryWorkingSetEx's locked bit unset
        return 0
    with open("/proc/self/status") as status:
        return int(status.read().split("VmLck:")[1].split()[0])


def child(name):
    from hush_vault import HushVault

    problems, secrets, stuck, scanner, baseline = [], [], [0], Scanner(), locked_kib()
    seen, hooks = [], []  # the warnings shown; callbacks run as the next one is shown
    warnings.simplefilter("always")
    warnings._showwarnmsg_impl = lambda shown: (seen.append(shown), hooks and hooks.pop()())

    def warned(warning):
        found = WARNED.search(str(warning))
        if type(warning) is not RuntimeWarning or not found:
            problems.append(f"undocumented warning: {warning!r}")
        stuck[0] += int(found[1] or 0) if found else 0

    def call(fn):
        try:
            return fn()
        except RuntimeWarning as error:
            warned(error)
        except Exception as error:  # noqa: BLE001: all but the documented ones are findings
            notes = getattr(error, "__notes__", [])
            if not (type(error) is RuntimeError and LOCK_REFUSED.fullmatch(str(error))
                    and len(notes) == 1 or type(error) is KeyError
                    and error.args == ("Env var not found",) or isinstance(error, OSError)
                    and error.errno and error.filename == scope.get("path")
                    and error.errno != errno.EINTR or type(error) is FileNotFoundError
                    and str(error) == NO_CREDENTIALS):
                problems.append(f"undocumented: {error!r} {notes}")

    def make(size, env=False, **flags):
        secret = make_secret("ascii", size)
        secrets.append(secret)
        if env:
            setenv_secret("HUSH_SWEEP", secret)
        vault = call(lambda: (HushVault.from_env("HUSH_SWEEP", **flags) if env
                              else HushVault(secret.data, **flags))) or Refused()
        if env:
            libc = ctypes.CDLL(None)
            libc.getenv.restype = ctypes.c_void_p
            ctypes.memset(libc.getenv(b"HUSH_SWEEP"), 0, size)
        overwrite(secret.data)
        return vault, secret

    def take(way, size):
        """A vault the companion module makes of a secret put where `way` reads it from."""
        import hush_vault_sources as sources

        secret = make_secret("ascii", size)
        secrets.append(secret)
        folder = tempfile.mkdtemp()
        path = os.path.join(folder, "secret")
        reader, writer = os.pipe()
        if way in ("file", "credential"):
            with open(path, "wb", buffering=0) as file:
                file.write(secret.data)
            scope["path"] = path if way == "file" else os.path.join(folder, "secret")
            os.environ["CREDENTIALS_DIRECTORY"] = folder
        elif way in ("pipe", "prompt"):
            os.write(writer, secret.data)
            os.write(writer, b"\n")
        elif way == "env":
            setenv_secret("HUSH_SWEEP", secret)
            libc = ctypes.CDLL(None)
            libc.getenv.restype = ctypes.c_void_p
            value = libc.getenv(b"HUSH_SWEEP")
        buffer = bytearray(secret.data) if way == "buffer" else None
        overwrite(secret.data)
        os.close(writer)
        if way == "prompt":
            os.setsid()  # no controlling terminal: the line comes from standard input
            os.dup2(reader, 0)
            warnings.filterwarnings("ignore", "Can not control echo")
        vault = call({"file": lambda: sources.from_file(path),
                      "pipe": lambda: sources.from_fd(reader),
                      "credential": lambda: sources.from_credential("secret"),
                      "env": lambda: sources.pop_env("HUSH_SWEEP"),
                      "buffer": lambda: sources.from_buffer(buffer),
                      "prompt": lambda: sources.from_prompt("")}[way]) or Refused()
        if way == "env":  # the C library's own copy from setenv: never freed, not the module's
            ctypes.memset(value, 0, size)
        if buffer is not None and any(buffer):
            problems.append("from_buffer left the caller's buffer filled")
            buffer[:] = bytes(len(buffer))
        os.close(reader)
        os.unlink(path) if os.path.exists(path) else None
        return vault, secret

    def live(*pairs):  # vault, secret, vault, secret...
        for vault, secret in zip(pairs[::2], pairs[1::2]):
            skip = WINDOWS or isinstance(vault, Refused)  # Windows: no smaps, no locked bit
            for at in [] if skip else scanner.addresses(secret.head):
                flags = page_flags(at)[0]
                if "dd" not in flags:
                    problems.append(f"a live secret's page at {at:#x} goes into core dumps")
                # Unlocked only after a refused relock in a child, which the class warns of.
                if "lo" not in flags and not any("after fork" in str(w.message) for w in seen):
                    problems.append(f"a live secret's page at {at:#x} is not locked, unreported")

    def neighbours():
        """Two vaults made one after the other whose blocks share a page; the heap hands out
        scattered free blocks first, so it takes a few tries. The others stay live."""
        made, pages = [], [None]
        shared = lambda: None not in pages[-2:] and pages[-1] == pages[-2]  # noqa: E731
        while len(made) < 16 and not shared():
            made.append(make(64))
            vault, secret = made[-1]
            found = [] if isinstance(vault, Refused) else scanner.addresses(secret.head)
            pages.append(found[0] // PAGE if found else None)
        if not shared() and not os.environ.get("HUSH_INJECT"):  # a fault may refuse them all
            problems.append("no two vaults made in a row share a page: the scenario missed")
        scope["others"] = made[:-2]
        return (*made[-2], *made[-1])

    def same(revealed, secret):
        if revealed is not None:
            if bytes(b ^ MASK for b in revealed[:NEEDLE]) != secret.head:
                problems.append("a reveal returned other bytes than the secret")
            overwrite(revealed)

    def gone(secret):
        if scanner.count(secret) != (0, 0):
            problems.append(f"{scanner.count(secret)} copies of a wiped secret remain")

    def finish(**report):
        for key in [k for k, v in scope.items() if isinstance(v, (HushVault, tuple, list))]:
            del scope[key]
        gc.collect()
        call(lambda: HushVault(b"").wipe_py())  # delivers a pending warning
        for warning in seen:
            warned(warning.message)
        for secret in secrets:
            gone(secret)
        # At most the pages reported stuck: a later release's retry may have unlocked some since.
        if not 0 <= locked_kib() - baseline <= stuck[0] * PAGE // 1024:
            problems.append(f"VmLck {locked_kib() - baseline} KiB over its baseline, "
                            f"{stuck[0]} page(s) reported stuck")
        print(json.dumps(dict(problems=problems, **report)), flush=True)

    def in_child(body):
        pid = os.fork()
        if pid == 0:
            body()
            finish(child=True)
            os._exit(0)
        scope["child_status"] = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])

    scope = dict(make=make, take=take, live=live, same=same, gone=gone, call=call, in_child=in_child,
                 neighbours=neighbours,
                 PAGE=PAGE, Vault=HushVault, Refused=Refused, on_warning=hooks.append,
                 as_errors=lambda: warnings.simplefilter("error"))
    scope["scope"] = scope
    exec(SCENARIOS[name][1], scope)  # noqa: S102: the table above
    finish(child_status=scope.get("child_status"))


def judge(result, kind):
    """The problems of one case; none when it kept every promise."""
    if result is None:
        return ["hung (no end within 60 s)"]
    reports = [json.loads(line) for line in result.stdout.splitlines() if line.startswith("{")]
    parent = [r for r in reports if not r.get("child")]
    problems = [p for report in reports for p in report["problems"]]
    fail_fast = kind in FAIL_FAST and re.search(FAIL_FAST[kind], result.stderr)
    statuses = [result.returncode] + [r["child_status"] or 0 for r in parent]
    if any(statuses) and not fail_fast or not any(statuses) and len(parent) != 1:
        problems.append(f"exit {statuses}: {result.stderr.strip()[-300:]}")
    return problems


if __name__ == "__main__":
    # Not PYTHONPATH: the embeddable interpreter for Windows takes its path from a file only.
    sys.path.insert(0, os.environ["HUSH_SWEEP_BUILD"])
    import hush_vault

    assert hush_vault.__file__.startswith(os.environ["HUSH_SWEEP_BUILD"]), hush_vault.__file__
    child(sys.argv[1])
