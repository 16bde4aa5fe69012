# Types for the hush_vault_sources extension module, shipped as a stub-only package beside
# hush_vault's. Each function returns an ordinary HushVault; the first parameter may be given by
# position or by keyword, the rest only by keyword. volatile and ttl_sec are checked as
# HushVault(...) checks them, before anything is read.
from collections.abc import Buffer
from os import PathLike
from typing import Protocol, SupportsIndex

from hush_vault import HushVault

class _HasFileno(Protocol):
    def fileno(self) -> int: ...

_Path = str | bytes | PathLike[str] | PathLike[bytes]

def from_file(
    path: _Path,
    *,
    volatile: bool = False,
    ttl_sec: SupportsIndex | None = None,
    strip_newline: bool = False,
    max_size: SupportsIndex = 65536,
) -> HushVault:
    """Read the whole file (regular file, FIFO, pipe or device) straight into locked memory and
    make a vault of it; no Python object but the vault ever holds the bytes.

    strip_newline drops one trailing "\\n" or "\\r\\n". Raises OSError subclasses with errno and
    filename (FileNotFoundError, PermissionError, IsADirectoryError, ...), ValueError past
    max_size bytes (nothing is kept), and HushVault's own errors.
    """

def from_fd(
    fd: int | _HasFileno,
    *,
    volatile: bool = False,
    ttl_sec: SupportsIndex | None = None,
    strip_newline: bool = False,
    max_size: SupportsIndex = 65536,
) -> HushVault:
    """Read from the descriptor to its end, as from_file does; the descriptor stays open.

    A closed or write-only descriptor raises OSError (EBADF).
    """

def from_credential(
    name: str,
    *,
    volatile: bool = False,
    ttl_sec: SupportsIndex | None = None,
    strip_newline: bool = False,
    max_size: SupportsIndex = 65536,
) -> HushVault:
    """Read the credential name from $CREDENTIALS_DIRECTORY (systemd), as from_file does.

    Raises ValueError for a name that is not a plain file name, FileNotFoundError when the
    process was given no credentials.
    """

def pop_env(var_name: str, *, volatile: bool = False, ttl_sec: SupportsIndex | None = None) -> HushVault:
    """HushVault.from_env's lookup, then the variable leaves the process: os.environ and the C
    environment no longer hold it, and the copies the process held are zeroed where it can
    reach them.

    Raises KeyError("Env var not found") with a note when the variable is missing or invalid;
    the environment is then unchanged.
    """

def from_buffer(buffer: Buffer, *, volatile: bool = False, ttl_sec: SupportsIndex | None = None) -> HushVault:
    """Make a vault of the bytes of a writable C-contiguous buffer (bytearray, memoryview, mmap,
    array), then zero the buffer, whatever the vault's making gave.

    Raises TypeError for a read-only or non-contiguous buffer, which is left untouched.
    """
