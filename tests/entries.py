"""Every entry of the class and of hush_vault_sources, on its success path and on each error path, as replayable text.

The leak table and the memory-exhaustion sweep run these rows. Each row is one Python
expression evaluated after SETUP (and the row's own setup); `raises` and `message` give the
documented exception of an error path, None for a success path. Calls that change their vault
build it in the same expression, so a row can run any number of times.
"""

from typing import NamedTuple

SETUP = """\
import os
from hush_vault import HushVault
os.environ["HUSH_PROOF_VAR"] = "secret"
os.environ.pop("HUSH_PROOF_MISSING", None)
v = HushVault(b"secret")
u = HushVault(b"secret")
w = HushVault(b"secret")
w.wipe_py()
class Reenter:
    __index__ = v.wipe_py  # called while reveal_masked holds v
"""


# hush_vault_sources: a 6-byte file and a descriptor open on it.
SOURCES = """\
import tempfile
import hush_vault_sources as sources
path = os.path.join(tempfile.mkdtemp(), "secret")
with open(path, "wb") as file:
    file.write(b"secret")
fd = os.open(path, os.O_RDONLY)
"""


class Entry(NamedTuple):
    id: str
    call: str
    raises: type | None = None
    message: str | None = None
    setup: str = ""
    exhausted: tuple = ()  # a further documented outcome when an allocation fails


PICKLED = "HushVault objects cannot be serialized (pickled) for security reasons."
EQUALITY = (
    "Direct equality comparison is disabled for security. "
    "Use .verify() for constant-time comparison."
)

# fmt: off
ENTRIES = [
    # constructor
    Entry("new",                 'HushVault(b"secret", volatile=True, ttl_sec=60)'),
    # A failed lookup of the type's __module__ is dropped, so exhaustion there ends in the cast error.
    Entry("new-numpy-bool",      'HushVault(b"s", volatile=np_true)', setup="import numpy\nnp_true = numpy.bool_(True)",
          exhausted=(TypeError, "argument 'volatile': 'bool' object cannot be cast as 'bool'")),
    Entry("new-missing",         "HushVault()", TypeError, "HushVault.__new__() missing 1 required positional argument: 'data'"),
    Entry("new-too-many",        'HushVault(b"s", False, None, 4)', TypeError, "HushVault.__new__() takes from 1 to 3 positional arguments but 4 were given"),
    Entry("new-unknown-keyword", 'HushVault(b"s", nope=1)', TypeError, "HushVault.__new__() got an unexpected keyword argument 'nope'"),
    Entry("new-twice",           'HushVault(b"s", data=b"s")', TypeError, "HushVault.__new__() got multiple values for argument 'data'"),
    Entry("new-data-cast",       'HushVault("s")', TypeError, "argument 'data': 'str' object cannot be cast as 'bytes'"),
    Entry("new-volatile-cast",   'HushVault(b"s", volatile=1)', TypeError, "argument 'volatile': 'int' object cannot be cast as 'bool'"),
    Entry("new-ttl-index",       'HushVault(b"s", ttl_sec=1.5)', TypeError, "argument 'ttl_sec': 'float' object cannot be interpreted as an integer"),
    Entry("new-ttl-negative",    'HushVault(b"s", ttl_sec=-1)', OverflowError, "can't convert negative int to unsigned"),
    # from_env
    Entry("from-env",            'HushVault.from_env("HUSH_PROOF_VAR", volatile=False)'),
    Entry("from-env-missing",    'HushVault.from_env("HUSH_PROOF_MISSING")', KeyError, "'Env var not found'"),
    Entry("from-env-cast",       "HushVault.from_env(1)", TypeError, "argument 'var_name': 'int' object cannot be cast as 'str'"),
    Entry("from-env-surrogate",  'HushVault.from_env("\\udc80")', UnicodeEncodeError, "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"),
    # reveals
    Entry("reveal",              "v.reveal()"),
    Entry("reveal-burn",         'HushVault(b"secret", volatile=True).reveal()'),
    Entry("reveal-wiped",        "w.reveal()", ValueError, "Vault is wiped."),
    Entry("reveal-expired",      'HushVault(b"s", ttl_sec=0).reveal()', ValueError, "TTL expired"),
    Entry("reveal-not-utf8",     'HushVault(b"\\xff").reveal()', ValueError, "Data is not valid UTF-8"),
    Entry("reveal-bytes",        "v.reveal_bytes()"),
    Entry("bytes",               "bytes(v)"),
    Entry("bytes-wiped",         "bytes(w)", ValueError, "Vault is wiped."),
    Entry("reveal-masked",       "v.reveal_masked(2)"),
    Entry("reveal-masked-index", 'v.reveal_masked("2")', TypeError, "argument 'suffix_len': 'str' object cannot be interpreted as an integer"),
    Entry("reveal-masked-neg",   "v.reveal_masked(-1)", OverflowError, "can't convert negative int to unsigned"),
    Entry("reveal-masked-wiped", "w.reveal_masked(1)", ValueError, "Vault is wiped."),
    Entry("reveal-masked-busy",  "v.reveal_masked(Reenter())", RuntimeError, "Already borrowed"),
    # comparison
    Entry("verify-equal",        'v.verify(b"secret")'),
    Entry("verify-differ",       'v.verify(b"secreT")'),
    Entry("verify-missing",      "v.verify()", TypeError, "HushVault.verify() missing 1 required positional argument: 'other'"),
    Entry("verify-too-many",     'v.verify(b"a", b"b")', TypeError, "HushVault.verify() takes 1 positional arguments but 2 were given"),
    Entry("verify-keyword",      'v.verify(x=b"a")', TypeError, "HushVault.verify() got an unexpected keyword argument 'x'"),
    Entry("verify-cast",         'v.verify("secret")', TypeError, "argument 'other': 'str' object cannot be cast as 'bytes'"),
    Entry("compare",             "v.compare(u)"),
    Entry("compare-cast",        'v.compare(b"x")', TypeError, "argument 'other': 'bytes' object cannot be cast as 'HushVault'"),
    Entry("compare-wiped",       "v.compare(w)", ValueError, "Cannot compare: one or both vaults are wiped."),
    Entry("equal",               "v == u", TypeError, EQUALITY),
    Entry("order",               "v < u", TypeError, "'<' not supported between instances of 'builtins.HushVault' and 'builtins.HushVault'"),
    # lifetime
    Entry("wipe",                "w.wipe_py()"),
    Entry("enter",               "v.__enter__()"),
    Entry("exit",                'HushVault(b"s").__exit__(None, None, None)'),
    Entry("exit-missing",        "v.__exit__()", TypeError, "HushVault.__exit__() missing 3 required positional arguments: '_exc_type', '_exc_value', and '_traceback'"),
    # redaction and copy refusal
    Entry("repr",                "repr(v)"),
    Entry("str",                 "str(w)"),
    Entry("getstate",            "v.__getstate__()", TypeError, PICKLED),
    Entry("copy",                "v.__copy__()", TypeError, PICKLED),
    Entry("deepcopy",            "v.__deepcopy__({})", TypeError, PICKLED),
    # hush_vault_sources
    Entry("src-file",            "sources.from_file(path, strip_newline=True, ttl_sec=60)", setup=SOURCES),
    Entry("src-file-missing",    'sources.from_file("/nonexistent/hush")', FileNotFoundError, "[Errno 2] No such file or directory: '/nonexistent/hush'", setup=SOURCES),
    Entry("src-file-too-large",  "sources.from_file(path, max_size=5)", ValueError, "from_file() read more than max_size=5 bytes; nothing was kept", setup=SOURCES),
    Entry("src-file-volatile",   "sources.from_file(path, volatile=1)", TypeError, "from_file() argument 'volatile': 'int' object cannot be cast as 'bool'", setup=SOURCES),
    Entry("src-fd",              "sources.from_fd(fd, volatile=True)", setup=SOURCES),
    Entry("src-credential-name", 'sources.from_credential("..")', ValueError, "from_credential() argument 'name': a credential name is a file name: not empty, '.' or '..', and holding no path separator", setup=SOURCES),
    Entry("src-pop-env",         'os.environ.__setitem__("HUSH_PROOF_POP", "secret") or sources.pop_env("HUSH_PROOF_POP")', setup=SOURCES),
    Entry("src-pop-env-missing", 'sources.pop_env("HUSH_PROOF_MISSING")', KeyError, "'Env var not found'", setup=SOURCES),
    Entry("src-buffer",          'sources.from_buffer(bytearray(b"secret"))', setup=SOURCES),
    Entry("src-buffer-read-only", 'sources.from_buffer(b"secret")', TypeError, "from_buffer() argument 'buffer': the buffer is read-only, so it could not be zeroed", setup=SOURCES),
]
# fmt: on


def namespace(entry):
    """The names a row's expression runs against."""
    names = {}
    exec(SETUP, names)
    exec(entry.setup, names)
    return names


def replay(entry, before=""):
    """The row as a script that can be pasted into a fresh interpreter."""
    return "\n".join(part for part in (SETUP, entry.setup, before, entry.call) if part)
