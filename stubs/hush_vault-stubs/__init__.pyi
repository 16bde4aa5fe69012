# Types for the hush_vault extension module, shipped as a stub-only package in the same wheel.
# Parameter kinds and names follow the runtime's text signatures: every parameter may be given by
# position or by keyword. Types are as strict as the runtime's checks: data and other are bytes
# (str, bytearray and memoryview are refused), volatile is a bool (an int is refused).
# The docstrings are what editors show on hover; docs/api.rst has the whole story.
from types import TracebackType
from typing import ClassVar, NoReturn, Self, SupportsIndex, final

from typing_extensions import deprecated

__all__ = ["HushVault"]

@final
class HushVault:
    """One secret in a locked, zeroed block; reveal it, compare it in constant time, wipe it.

    repr and str show <HushVault: [REDACTED]>; ==, hashing, pickling and copying are refused.
    """

    def __new__(
        cls, data: bytes, volatile: bool = False, ttl_sec: SupportsIndex | None = None
    ) -> Self:
        """Copy data into a new locked block; ttl_sec limits its life in whole seconds, volatile
        burns it after the first reveal.

        Raises TypeError (data not bytes, volatile not bool), OverflowError (ttl_sec out of
        range), RuntimeError (the system refused to lock the memory).
        """
    @classmethod
    def from_env(cls, var_name: str, volatile: bool = False) -> HushVault:
        """A vault holding the environment variable's UTF-8 value, which never becomes a str.

        Raises KeyError "Env var not found", TypeError, RuntimeError (lock refused).
        """
    def verify(self, other: bytes) -> bool:
        """Whether other equals the secret, in constant time; False once wiped. Never burns.

        Raises TypeError (other not bytes).
        """
    def reveal(self) -> str:
        """The secret as str; burns a volatile vault.

        Raises ValueError "TTL expired", "Vault is wiped." or "Data is not valid UTF-8".
        """
    def reveal_bytes(self) -> bytes:
        """The secret as bytes; burns a volatile vault.

        Raises ValueError "TTL expired" or "Vault is wiped.".
        """
    def reveal_masked(self, suffix_len: SupportsIndex) -> str:
        """'*' for each byte but the last suffix_len, then those bytes as text. Never burns.

        Raises ValueError "Vault is wiped.", TypeError, OverflowError (suffix_len out of range).
        """
    def compare(self, other: HushVault) -> bool:
        """Whether other holds the same secret, in constant time. Never burns.

        Raises ValueError "Cannot compare: one or both vaults are wiped.", TypeError.
        """
    def wipe_py(self) -> None:
        """Zero the secret and unlock its pages now; a second call does nothing."""
    def __bytes__(self) -> bytes:
        """bytes(vault): the same as reveal_bytes(), with the same ValueError."""
    def __enter__(self) -> Self:
        """The vault itself; the with block wipes it on the way out."""
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> None:
        """Wipe the vault as wipe_py() does; an exception from the block goes on."""
    # Refused: == and != raise TypeError (use verify or compare); instances are unhashable;
    # pickling, copy and deepcopy raise TypeError. The deprecation makes checkers flag a == b where
    # it is written: mypy with its deprecated error code, pyright in strict mode.
    @deprecated(
        "HushVault refuses == and != (TypeError): use .verify(bytes) or .compare(HushVault)"
    )
    def __eq__(self, value: object, /) -> NoReturn:
        """Always raises TypeError: use verify() or compare()."""
    @deprecated(
        "HushVault refuses == and != (TypeError): use .verify(bytes) or .compare(HushVault)"
    )
    def __ne__(self, value: object, /) -> NoReturn:
        """Always raises TypeError: use verify() or compare()."""
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __getstate__(self) -> NoReturn:
        """Always raises TypeError: a vault cannot be pickled."""
    def __copy__(self) -> NoReturn:
        """Always raises TypeError: a vault cannot be copied."""
    def __deepcopy__(self, _memo: object) -> NoReturn:
        """Always raises TypeError: a vault cannot be copied."""
