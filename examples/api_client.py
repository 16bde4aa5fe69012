"""A small API client that keeps each secret's life short.

    python api_client.py enrol PASSWORD_FILE   # asks for a password, stores a check of it
    API_TOKEN=... python api_client.py call PASSWORD_FILE

`call` asks for the user's password with getpass and checks it with `verify` against the stored
scrypt digest, held in a vault for the length of the check only. It then takes the API token from
the environment with `from_env` into a volatile vault inside a `with` block: the token is revealed
once, to build the request, and the vault wipes itself right after (burn after reading) and again
when the block ends.
"""

from __future__ import annotations

import argparse
import getpass
import hashlib
import os
import sys
from pathlib import Path

from hush_vault import HushVault

TOKEN_VARIABLE = "API_TOKEN"


def digest(password: str, salt: bytes) -> bytes:
    """A slow salted hash: the file holds no password, only what this gives."""
    return hashlib.scrypt(password.encode(), salt=salt, n=2**14, r=8, p=1, dklen=32)


def enrol(path: Path) -> int:
    password = getpass.getpass("New password: ")
    if password != getpass.getpass("Repeat password: "):
        print("the passwords differ", file=sys.stderr)
        return 2
    salt = os.urandom(16)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as out:
        out.write(f"{salt.hex()}:{digest(password, salt).hex()}\n")
    print(f"stored a password check in {path}")
    return 0


def password_matches(path: Path) -> bool:
    salt_hex, digest_hex = path.read_text().strip().split(":")
    # The stored digest lives in a vault only while it is needed, and verify compares in
    # constant time, whatever the position of the first differing byte.
    with HushVault(bytes.fromhex(digest_hex)) as stored:
        return stored.verify(digest(getpass.getpass("Password: "), bytes.fromhex(salt_hex)))


def send(headers: dict[str, str]) -> None:
    """Stands in for the HTTP call; it never prints the header's value."""
    size = len(headers["Authorization"])
    print(f"GET https://api.example.invalid/v1/me with a {size}-character Authorization header")


def call(path: Path) -> int:
    if not password_matches(path):
        print("wrong password", file=sys.stderr)
        return 1
    try:
        token = HushVault.from_env(TOKEN_VARIABLE, volatile=True)
    except KeyError:
        print(f"{TOKEN_VARIABLE} is not set", file=sys.stderr)
        return 2
    with token:
        print(f"token {token.reveal_masked(4)}")
        # The one reveal: the str lives only as long as this request.
        send({"Authorization": f"Bearer {token.reveal()}"})
        try:
            token.reveal()
        except ValueError as error:
            print(f"a second reveal: {error}")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("command", choices=["enrol", "call"])
    parser.add_argument("password_file", type=Path)
    args = parser.parse_args(argv)
    if args.command == "enrol":
        return enrol(args.password_file)
    return call(args.password_file)


if __name__ == "__main__":
    sys.exit(main())
