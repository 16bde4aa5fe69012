"""User-space instructions per vault operation, counted by callgrind inside the module's entries.

Collection is switched on only inside the entry functions (and everything they call: the heap,
the system-call wrappers, the interpreter's allocators), and each operation runs twice as often
in a second process: the difference divided by the extra operations is the steady cost of one,
without the first call's one-time work.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

# operation: (the entry functions counted, the statement repeated)
OPERATIONS = {
    "construct": (["*entries::vault_new*", "*entries::vault_dealloc*"], "V(t)"),
    "verify": (["*entries::verify*"], "v.verify(c)"),
}

SCRIPT = """
import sys
from hush_vault import HushVault as V
t = b"0123456789abcdef0123456789abcdef"
c = bytes(t)
v = V(t)
for _ in range(int(sys.argv[1])):
    {statement}
"""


def instructions(patterns, statement, repeat):
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "callgrind.out")
        command = ["valgrind", "--tool=callgrind", "--quiet", f"--callgrind-out-file={out}",
                   "--collect-atstart=no"]
        command += [f"--toggle-collect={pattern}" for pattern in patterns]
        command += [sys.executable, "-c", SCRIPT.format(statement=statement), str(repeat)]
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        with open(out) as text:
            totals = re.search(r"^(?:summary|totals): (\d+)", text.read(), re.MULTILINE)
        return int(totals.group(1))


def measure(short=False):
    if shutil.which("valgrind") is None:
        print("valgrind not found: no instruction counts (tools/deps.sh installs it)")
        return {}
    few, many = (10, 20) if short else (200, 400)
    counts = {}
    for name, (patterns, statement) in OPERATIONS.items():
        extra = instructions(patterns, statement, many) - instructions(patterns, statement, few)
        counts[name] = round(extra / (many - few))
    return counts


if __name__ == "__main__":
    print(measure("--short" in sys.argv))
