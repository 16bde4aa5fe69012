"""Hot-path costs of a vault, each measured beside the plain-Python floor it wraps.

Prints one line per operation: the vault's time per call, the floor's, and their ratio.
Run: .venv/bin/python bench/bench_vault.py
"""

import hmac
import os
import timeit

from hush_vault import HushVault

ASCII_4K = b"a" * 4096
UTF8_4K = ("é" * 2048).encode()
TOKEN = os.urandom(32)


def per_call(statement, number):
    best = min(timeit.repeat(statement, number=number, repeat=5))
    return best / number


def row(name, vault_statement, floor_statement, number=200_000):
    ours = per_call(vault_statement, number)
    floor = per_call(floor_statement, number)
    print(f"{name:<38} {ours * 1e9:9.0f} ns  {floor * 1e9:9.0f} ns  {ours / floor:6.2f}x")


def main():
    ascii_vault = HushVault(ASCII_4K)
    utf8_vault = HushVault(UTF8_4K)
    token_vault = HushVault(TOKEN)
    candidate = bytes(TOKEN)
    print(f"{'operation (vault vs floor)':<38} {'vault':>12}  {'floor':>12}  ratio")
    row("reveal() 4 KiB ASCII vs decode", ascii_vault.reveal, lambda: ASCII_4K.decode(), 100_000)
    row("reveal() 4 KiB UTF-8 vs decode", utf8_vault.reveal, lambda: UTF8_4K.decode(), 50_000)
    row("reveal_bytes() 4 KiB vs bytes copy", ascii_vault.reveal_bytes, lambda: bytes(bytearray(ASCII_4K)), 100_000)
    row("verify() 32 B vs hmac.compare_digest",
        lambda: token_vault.verify(candidate), lambda: hmac.compare_digest(TOKEN, candidate))
    row("reveal_masked(4) 32 B vs slice+decode",
        lambda: token_vault.reveal_masked(4), lambda: "*" * 28 + TOKEN[28:].decode("utf-8", "replace"))
    row("HushVault(32 B) vs bytearray(32 B)", lambda: HushVault(TOKEN), lambda: bytearray(TOKEN), 100_000)
    row("repr() vs object.__repr__", lambda: repr(token_vault), lambda: object.__repr__(token_vault))


if __name__ == "__main__":
    main()
