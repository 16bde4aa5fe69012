"""What the runtime refuses with TypeError is a type error too: every marked line must be flagged.

mypy --strict reports an unused "type: ignore" and pyright an unnecessary "pyright: ignore", so a
line that stops being an error fails the check. bytearray and memoryview pass for bytes only in a
mypy older than 1.16 (the floor of the typing extra); == and != are flagged as deprecated (mypy
with --enable-error-code deprecated; pyright's strict mode).
"""

import hush_vault_sources
from hush_vault import HushVault

vault = HushVault(b"s3cr3t")

HushVault("text")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
HushVault(bytearray(b"s3cr3t"))  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
HushVault(b"s", volatile=1)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
HushVault(b"s", ttl_sec=1.5)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
HushVault(b"s", secret=True)  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue]
HushVault.from_env(b"API_KEY")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
vault.verify("str")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
vault.verify(memoryview(b"s3cr3t"))  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
vault.compare(b"s3cr3t")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
vault.reveal_masked("2")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
vault.reveal(1)  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue]
text: str = vault.reveal_bytes()  # type: ignore[assignment]  # pyright: ignore[reportAssignmentType]
vault.wipe()  # type: ignore[attr-defined]  # pyright: ignore[reportAttributeAccessIssue, reportUnknownMemberType]

if vault == HushVault(b"s3cr3t"):  # type: ignore[deprecated]  # pyright: ignore[reportDeprecated]
    pass
if vault != b"s3cr3t":  # type: ignore[deprecated]  # pyright: ignore[reportDeprecated]
    pass


class Derived(HushVault):  # type: ignore[misc]  # pyright: ignore[reportGeneralTypeIssues]
    pass

hush_vault_sources.from_file("p", True)  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue]
