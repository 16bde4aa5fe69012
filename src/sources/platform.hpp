// What the interpreter does differently per system for the file sources: how a system error
// becomes an OSError, and how a descriptor number reaches its handle. platform_posix.cpp and
// platform_windows.cpp, chosen by the build.
#pragma once

#include "frame/vault_error.hpp"
#include "secret/os_sources.hpp"

namespace hush_vault::sources {

// The interpreter's OSError subclass for the system error `code` (FileNotFoundError,
// PermissionError, IsADirectoryError, ...), with errno (and winerror on Windows) set and
// `filename` (borrowed; null for none) attached.
[[nodiscard]] frame::VaultError os_error(secret::os::ErrorCode code, PyObject* filename) noexcept;

// The handle behind the C runtime descriptor fd, borrowed (the caller never closes it). A
// descriptor that names nothing is the usual OSError (EBADF).
[[nodiscard]] frame::Result<secret::os::FileHandle> handle_of_descriptor(int fd) noexcept;

}  // namespace hush_vault::sources
