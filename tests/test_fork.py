"""A forked child keeps its inherited secrets locked and out of core dumps, and locks new ones."""

import os
import pathlib

import pytest

from conftest import real_memory_locks, run_python

TESTS = pathlib.Path(__file__).parent

# Runs in a fresh interpreter: vaults made before the fork, then a child (os.fork or a
# multiprocessing worker) reports what it sees as a dict.
SCRIPT = """
import json, multiprocessing, os, sys
sys.path.insert(0, {tests!r})
from secret_scan import Scanner, make_secret, overwrite, page_flags
from hush_vault import HushVault

def locked_kib():
    for line in open("/proc/self/status"):
        if line.startswith("VmLck:"):
            return int(line.split()[1])

scanner = Scanner()
secrets = [make_secret("ascii", 40) for _ in range(50)] + [make_secret("ascii", 3 * 4096)]
vaults = [HushVault(s.data) for s in secrets]
for s in secrets:
    overwrite(s.data)

def flags_of(secrets):
    # A sample: scanning costs a pass over memory each; VmLck covers every vault.
    return [page_flags(scanner.addresses(s.head)[0])[0] for s in secrets[::25]]

def inspect():
    flags = flags_of(secrets)
    seen = dict(
        locked=locked_kib(),
        revealed=all(v.reveal_bytes() for v in vaults),
        inherited_locked=all("lo" in f for f in flags),
        inherited_undumped=all("dd" in f for f in flags),
    )
    more = [make_secret("ascii", 40) for _ in range(50)]
    fresh = [HushVault(s.data) for s in more]
    for s in more:
        overwrite(s.data)
    seen["fresh_locked"] = all("lo" in f for f in flags_of(more))
    seen["locked_after_more"] = locked_kib()
    return seen

def in_worker(queue):
    queue.put(inspect())

parent_before = locked_kib()
if {how!r} == "os.fork":
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.write(write, json.dumps(inspect()).encode())
        os._exit(0)
    os.close(write)
    child = json.loads(os.read(read, 1 << 16))
    os.waitpid(pid, 0)
else:
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    worker = context.Process(target=in_worker, args=(queue,))
    worker.start()
    child = queue.get(timeout=60)
    worker.join()
print(json.dumps(dict(parent_before=parent_before, parent_after=locked_kib(), child=child)))
"""


@real_memory_locks
@pytest.mark.parametrize("how", ["os.fork", "multiprocessing"])
def test_child_relocks_inherited_and_new_vaults(how):
    import json

    result = run_python(SCRIPT.format(tests=str(TESTS), how=how), timeout=120)
    assert result.returncode == 0, result.stderr
    seen = json.loads(result.stdout)
    child = seen.pop("child")
    assert child.pop("locked") == seen["parent_before"] > 0
    assert child.pop("locked_after_more") >= seen["parent_before"]
    assert child == dict(
        revealed=True, inherited_locked=True, inherited_undumped=True, fresh_locked=True
    )
    assert seen["parent_after"] == seen["parent_before"]


@real_memory_locks
def test_child_that_cannot_relock_warns_and_locks_again_later(run_unprivileged):
    """A child whose lock limit is 0 cannot relock; it says so, and a later lock succeeds."""
    result = run_unprivileged(
        """
        import os, resource, warnings
        from hush_vault import HushVault

        limit = resource.getrlimit(resource.RLIMIT_MEMLOCK)
        vault = HushVault(b"inherited secret")
        os.register_at_fork(
            before=lambda: resource.setrlimit(resource.RLIMIT_MEMLOCK, (0, limit[1])),
            after_in_parent=lambda: resource.setrlimit(resource.RLIMIT_MEMLOCK, limit),
        )
        pid = os.fork()
        if pid == 0:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                assert vault.reveal() == "inherited secret"
                assert vault.reveal() == "inherited secret"
            print([f"{w.category.__name__}: {w.message}" for w in caught])
            resource.setrlimit(resource.RLIMIT_MEMLOCK, limit)
            neighbour = HushVault(b"neighbour")
            print(int(open("/proc/self/status").read().split("VmLck:")[1].split()[0]) > 0)
            os._exit(0)
        os.waitpid(pid, 0)
        """
    )
    assert result.returncode == 0, result.stderr
    warned, relocked = result.stdout.splitlines()
    reason = f"{os.strerror(1)} (os error 1)"
    assert eval(warned) == [
        "RuntimeWarning: after fork, 1 page(s) holding secrets could not be locked again in this "
        f"process: {reason}; they can be swapped out until their vaults are wiped"
    ]
    assert relocked == "True"


# A child whose relock is refused (lock limit 0 at fork, no CAP_IPC_LOCK): 64 vaults of 40 bytes
# share a page or two; each scenario runs in the child and prints what it saw.
REFUSED_CHILD = """
import json, os, resource, sys, warnings
sys.path.insert(0, {tests!r})
from secret_scan import Scanner, make_secret, overwrite, page_flags
from hush_vault import HushVault

def locked_kib():
    return int(open("/proc/self/status").read().split("VmLck:")[1].split()[0])

def in_child(run):
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            seen = run()
        except BaseException as error:
            seen = repr(error)
        os.write(write, json.dumps(seen).encode())
        os._exit(0)
    os.close(write)
    seen = json.loads(os.read(read, 1 << 16))
    os.waitpid(pid, 0)
    return seen

def dump_exclusion():
    # Every other vault goes; refused constructions then reuse the freed blocks beside live ones.
    del vaults[1::2], secrets[1::2]
    refused = 0
    for _ in range(32):
        secret = make_secret("ascii", 40)
        try:
            HushVault(secret.data)
        except RuntimeError:
            refused += 1
        overwrite(secret.data)
    scanner = Scanner()
    flags = [page_flags(scanner.addresses(s.head)[0])[0] for s in secrets]
    return dict(refused=refused, excluded=sum("dd" in f for f in flags))

def grandchild():
    resource.setrlimit(resource.RLIMIT_MEMLOCK, limit)
    def first_call():
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            vaults[0].reveal_bytes()
        return dict(warned=[str(w.message) for w in caught], locked=locked_kib() > 0)
    return in_child(first_call)

def equality():
    answers = []
    for compare in (lambda v: v == 1, lambda v: v != 1):
        try:
            answers.append(repr(compare(vaults[0])))
        except Exception as error:
            answers.append(type(error).__name__)
    return answers

def attempt(call):
    try:
        return repr(call())
    except Exception as error:
        return type(error).__name__
def exit_keeps_the_blocks_error():
    reported = []
    sys.unraisablehook = lambda report: reported.append(type(report.exc_value).__name__)
    def block():
        with vaults[0]:
            raise LookupError("the block's own")
    return [attempt(block), reported, attempt(vaults[0].reveal)]

warnings.simplefilter("ignore")
{warnings}
limit = resource.getrlimit(resource.RLIMIT_MEMLOCK)
secrets = [make_secret("ascii", 40) for _ in range(64)]
vaults = [HushVault(s.data) for s in secrets]
for s in secrets:
    overwrite(s.data)
resource.setrlimit(resource.RLIMIT_MEMLOCK, (0, limit[1]))
print(json.dumps(in_child({scenario})))
"""


@real_memory_locks
@pytest.mark.parametrize("scenario, warnings, expected", [
    # A refused lock's clean-up leaves a live neighbour's page excluded from core dumps.
    ("dump_exclusion", "", dict(refused=32, excluded=32)),
    # The child of such a child relocks from its own state: no stale warning.
    ("grandchild", "", dict(warned=[], locked=True)),
    # Where the warning is an error, == raises it rather than answering by identity.
    ("equality", "warnings.simplefilter('error', RuntimeWarning)", ["RuntimeWarning", "TypeError"]),
    # A warning turned into an error follows the wipe; in __exit__ the block's exception goes on.
    ("lambda: [attempt(vaults[0].wipe_py), attempt(vaults[0].reveal)]",
     "warnings.simplefilter('error', RuntimeWarning)", ["RuntimeWarning", "ValueError"]),
    ("exit_keeps_the_blocks_error", "warnings.simplefilter('error', RuntimeWarning)",
     ["LookupError", ["RuntimeWarning"], "ValueError"]),
])
def test_child_whose_relock_was_refused(run_unprivileged, scenario, warnings, expected):
    import json

    code = REFUSED_CHILD.format(tests=str(TESTS), scenario=scenario, warnings=warnings)
    result = run_unprivileged(code)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == expected
