"""The timed statements: each vault path beside its floor and the peers a Python user would pick.

Every case builds only what it times, in its own worker process, so that no other vault shares
(and keeps locked) the page a construction case is meant to lock afresh.
"""

import hmac
import os

from hush_vault import HushVault

import floor
import peers

UNROLL = 10  # statements per loop turn: the loop's own cost stays small beside a call

TOKEN_32 = os.urandom(16).hex().encode()  # 32 bytes of valid UTF-8
CANDIDATE_32 = bytes(TOKEN_32)  # equal but not the same object: every byte is compared
BLOCK_4K = os.urandom(2048).hex().encode()
ASCII_4K = b"a" * 4096
TWO_BYTE_4K = ("\u00e9" * 2048).encode()
BLOCK_64K = os.urandom(32768).hex().encode()
CANDIDATE_64K = bytes(BLOCK_64K)
TOKENS_1000 = [os.urandom(16).hex().encode() for _ in range(1000)]


def _pydantic():
    from pydantic import SecretBytes, SecretStr

    return SecretBytes, SecretStr


# name: (statement, setup returning the statement's locals, statements per timed call)
CASES = {
    # construction + destruction: the result is dropped at once
    "ctor32.vault": ("V(t)", lambda: {"V": HushVault, "t": TOKEN_32}),
    "ctor32.lock_cycle": ("f.lock_cycle(t)", lambda: {"f": floor.Floor(b""), "t": TOKEN_32}),
    "ctor32.plain_cycle": ("f.plain_cycle(t)", lambda: {"f": floor.Floor(b""), "t": TOKEN_32}),
    "ctor32.plain_class": ("P(t)", lambda: {"P": peers.PlainSecret, "t": TOKEN_32}),
    "ctor32.pydantic": ("S(t)", lambda: {"S": _pydantic()[0], "t": TOKEN_32}),
    "ctor4k.vault": ("V(t)", lambda: {"V": HushVault, "t": BLOCK_4K}),
    "ctor4k.lock_cycle": ("f.lock_cycle(t)", lambda: {"f": floor.Floor(b""), "t": BLOCK_4K}),
    # 1,000 live at once, then all destroyed
    "live1000.vault": ("[V(t) for t in ts]", lambda: {"V": HushVault, "ts": TOKENS_1000}, 1),
    "live1000.plain_cycle": (
        "[c(t) for t in ts]", lambda: {"c": floor.Floor(b"").plain_cycle, "ts": TOKENS_1000}, 1),
    # reveals
    "reveal_bytes32.vault": ("v.reveal_bytes()", lambda: {"v": HushVault(TOKEN_32)}),
    "reveal_bytes32.plain_class": ("p.reveal_bytes()", lambda: {"p": peers.PlainSecret(TOKEN_32)}),
    "reveal_bytes32.pydantic": (
        "s.get_secret_value()", lambda: {"s": _pydantic()[0](TOKEN_32)}),
    "reveal_bytes32.floor": ("f.to_bytes()", lambda: {"f": floor.Floor(TOKEN_32)}),
    "reveal32.vault": ("v.reveal()", lambda: {"v": HushVault(TOKEN_32)}),
    "reveal32.plain_class": ("p.reveal()", lambda: {"p": peers.PlainSecret(TOKEN_32)}),
    "reveal32.pydantic": (
        "s.get_secret_value()", lambda: {"s": _pydantic()[1](TOKEN_32.decode())}),
    "reveal32.floor": ("f.to_str()", lambda: {"f": floor.Floor(TOKEN_32)}),
    "reveal4k_ascii.vault": ("v.reveal()", lambda: {"v": HushVault(ASCII_4K)}),
    "reveal4k_ascii.decode": ('b.decode("utf-8")', lambda: {"b": ASCII_4K}),
    "reveal4k_utf8.vault": ("v.reveal()", lambda: {"v": HushVault(TWO_BYTE_4K)}),
    "reveal4k_utf8.decode": ('b.decode("utf-8")', lambda: {"b": TWO_BYTE_4K}),
    # comparison
    "verify32.vault": ("v.verify(c)", lambda: {"v": HushVault(TOKEN_32), "c": CANDIDATE_32}),
    "verify32.floor": ("f.eq(c)", lambda: {"f": floor.Floor(TOKEN_32), "c": CANDIDATE_32}),
    "verify32.plain_class": (
        "p.verify(c)", lambda: {"p": peers.PlainSecret(TOKEN_32), "c": CANDIDATE_32}),
    "verify32.compare_digest": (
        "d(s, c)", lambda: {"d": hmac.compare_digest, "s": TOKEN_32, "c": CANDIDATE_32}),
    "verify64k.vault": ("v.verify(c)", lambda: {"v": HushVault(BLOCK_64K), "c": CANDIDATE_64K}),
    "verify64k.floor": ("f.eq(c)", lambda: {"f": floor.Floor(BLOCK_64K), "c": CANDIDATE_64K}),
    "verify64k.compare_digest": (
        "d(s, c)", lambda: {"d": hmac.compare_digest, "s": BLOCK_64K, "c": CANDIDATE_64K}),
}


def timer(name):
    """A pyperf time function for the case, and the number of statements one call times."""
    statement, setup, *rest = CASES[name]
    repeat = rest[0] if rest else UNROLL
    names = setup()
    source = ["def timer(loops):"]
    source += [f"    {local} = names[{local!r}]" for local in names]
    source += ["    start = perf_counter()", "    for _ in range(loops):"]
    source += [f"        {statement}"] * repeat
    source += ["    return perf_counter() - start"]
    scope = {"names": names, "perf_counter": __import__("time").perf_counter}
    exec("\n".join(source), scope)  # noqa: S102 - our own fixed statements, unrolled
    return scope["timer"], repeat
