"""A tour of a vault's life: from creation to the last zeroed byte."""

import copy
import os
import pickle
import time

from hush_vault import HushVault


def show(label, value):
    print(f"{label:<34} {value}")


def refused(action):
    try:
        action()
    except (TypeError, ValueError, KeyError, RuntimeError) as error:
        return f"{type(error).__name__}: {error}"
    return "allowed (unexpected!)"


# A vault holds one secret in a locked heap block of exactly its size.
token = HushVault(b"s3cr3t-t0ken-4711")
show("repr / str never show it:", f"{token!r} / {token}")
show("reveal() gives str:", token.reveal())
show("reveal_bytes() gives bytes:", token.reveal_bytes())
show("reveal_masked(4) for display:", token.reveal_masked(4))

# Checks without revealing: constant time, whatever the position of a mismatch.
show("verify(right):", token.verify(b"s3cr3t-t0ken-4711"))
show("verify(wrong):", token.verify(b"s3cr3t-t0ken-0000"))
same = HushVault(b"s3cr3t-t0ken-4711")
show("compare(another vault):", token.compare(same))
show("== is refused:", refused(lambda: token == same))

# Nothing copies it: no pickling, no copy, no deepcopy.
show("pickle.dumps:", refused(lambda: pickle.dumps(token)))
show("copy.copy:", refused(lambda: copy.copy(token)))
show("copy.deepcopy:", refused(lambda: copy.deepcopy(token)))

# Burn after reading: a volatile vault wipes itself after its first reveal.
once = HushVault(b"one-time-code", volatile=True)
show("volatile, first reveal:", once.reveal())
show("volatile, second reveal:", refused(once.reveal))

# A time to live, in whole seconds.
short = HushVault(b"short-lived", ttl_sec=1)
show("within its time to live:", short.reveal())
time.sleep(1.1)
show("after it:", refused(short.reveal))

# Explicit wipes, and the with statement.
token.wipe_py()
show("after wipe_py():", refused(token.reveal))
with HushVault(b"scoped") as scoped:
    show("inside with:", scoped.reveal())
show("after with:", refused(scoped.reveal))

# From the environment: the value's UTF-8 bytes; the variable itself is left as it was.
os.environ["QUICKSTART_API_KEY"] = "clé-ABC"
from_env = HushVault.from_env("QUICKSTART_API_KEY")
show("from_env reveal_bytes():", from_env.reveal_bytes())
show("missing variable:", refused(lambda: HushVault.from_env("QUICKSTART_NOT_SET")))
