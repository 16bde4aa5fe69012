"""Memory exhaustion: every entry, with each of its allocations made to fail in turn.

The interpreter's test hook fails exactly one allocation, counted from just before the call. The
only acceptable outcomes are the outcome of the call without the fault, a MemoryError, or the
module's fail-fast report of an interpreter that could not create an object.
"""

import json
import re
import signal
import subprocess
import sys

import pytest

from entries import ENTRIES, SETUP, replay

pytest.importorskip("_testcapi")
resource = pytest.importorskip("resource")  # the children's limits are POSIX rlimits

# The hook cannot say how many allocations a call made: the sweep ends once this many indices in
# a row after the last one that changed the outcome left the call as it was without the fault.
QUIET_TAIL = 30
MAX_INDEX = 400
FAIL_FAST_REPORT = "hush_vault: internal fault: Python API call failed"
UNNAMED = "<failed to extract type name>"

# The call sits in the driver's own frame, whose frame object exists before the hook is set: a
# frame object made lazily while the error unwinds would be an interpreter allocation that drops
# the exception when it fails.
DRIVER = '''
import gc, json, sys, _testcapi
names = {"sys": sys, "_testcapi": _testcapi}
exec(sys.argv[1], names)
exec("""
def run(index):
    sys._getframe()
    result = error = None
    if index >= 0:
        _testcapi.set_nomemory(index, index + 1)
    try:
        result = CALL
    except BaseException as caught:
        error = caught
    _testcapi.remove_mem_hooks()
    if error is not None:
        return [type(error).__name__, str(error)]
    return ["value", repr(result)]
""".replace("CALL", sys.argv[2]), names)
run = names["run"]
gc.disable()
clean = run(-1)
print(json.dumps([-1] + clean), flush=True)
quiet = 0
for index in range(int(sys.argv[3]), int(sys.argv[4])):
    got = run(index)
    print(json.dumps([index] + got), flush=True)
    quiet = quiet + 1 if got == clean else 0
    if quiet >= int(sys.argv[5]):
        break
'''


def _no_core_dump():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def _fallbacks(entry):
    """Outcomes documented for a failure inside the call beside MemoryError."""
    if entry.exhausted:
        yield [entry.exhausted[0].__name__, entry.exhausted[1]]
    # A type name that cannot be had is replaced in a cast error's text, on either side.
    cast = re.fullmatch(r"(.*)'(.+)' object cannot be cast as '(.+)'", entry.message or "")
    if cast:
        prefix, source, target = cast.groups()
        for names in ((UNNAMED, target), (source, UNNAMED)):
            yield ["TypeError", prefix + "'{}' object cannot be cast as '{}'".format(*names)]


def _sweep(entry):
    """Runs the driver from index 0, restarting after each fail-fast; yields judged outcomes."""
    setup = SETUP + entry.setup
    start, last_change = 0, -1
    while start < MAX_INDEX:
        done = subprocess.run(
            [sys.executable, "-c", DRIVER, setup, entry.call, str(start), str(MAX_INDEX),
             str(QUIET_TAIL)],
            capture_output=True, text=True, preexec_fn=_no_core_dump, timeout=120,
        )
        rows = [json.loads(line) for line in done.stdout.splitlines()]
        clean = rows[0][1:]
        expected = ["value"] if entry.raises is None else [entry.raises.__name__, entry.message]
        if clean[: len(expected)] != expected:
            yield -1, f"without a fault: {clean}, expected {expected}"
            return
        documented = [clean, ["MemoryError", ""], *_fallbacks(entry)]
        for index, *got in rows[1:]:
            if got != clean:
                last_change = index
                if got not in documented:
                    yield index, f"{got[0]}: {got[1]!r}"
        if done.returncode == 0:
            if rows[-1][0] - last_change < QUIET_TAIL:
                yield rows[-1][0], f"still changing at the limit of {MAX_INDEX} allocations"
            return
        index = rows[-1][0] + 1 if len(rows) > 1 else start
        last_change = index
        if done.returncode != -signal.SIGABRT or FAIL_FAST_REPORT not in done.stderr:
            yield index, f"ended with status {done.returncode}: {done.stderr[-600:]!r}"
            return
        start = index + 1


@pytest.mark.skipif(sys.platform != "linux", reason="fail-fast status is SIGABRT on Linux")
@pytest.mark.parametrize("entry", ENTRIES, ids=lambda entry: entry.id)
def test_exhaustion_gives_memoryerror_or_fail_fast(entry):
    wrong = list(_sweep(entry))
    replays = "\n\n".join(
        f"# allocation {index}: {what}\n"
        + replay(entry, f"import _testcapi\n_testcapi.set_nomemory({index}, {index + 1})")
        for index, what in wrong
    )
    assert not wrong, f"wrong outcomes under memory exhaustion; replay each with python -c:\n{replays}"
