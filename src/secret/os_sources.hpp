// The operating-system services the companion module's sources need: files and descriptors,
// scratch mappings of their own, and erasing a variable from the process environment. Each is one
// system call (or a short fixed sequence) so that a fault-injection wrapper can stand in front of
// it. os_sources_posix.cpp and os_sources_windows.cpp give the same contracts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "os.hpp"

namespace hush_vault::secret::os {

// A descriptor on POSIX, a HANDLE on Windows.
using FileHandle = std::intptr_t;
inline constexpr FileHandle no_file = -1;

// Opens the file at path for reading: the file system's bytes on POSIX, UTF-8 on Windows. The
// handle is never inherited by child processes (O_CLOEXEC; not inheritable on Windows) and never
// becomes a controlling terminal. no_file on failure, with the reason in last_error().
[[nodiscard]] FileHandle open_for_reading(const char* path) noexcept;

// Closes a handle open_for_reading gave; failures are ignored (nothing was written).
void close_file(FileHandle file) noexcept;

// Reads up to n bytes: the count read, 0 at end of file (a pipe whose writers are gone included),
// or -1 with the reason in last_error(). An interrupted read is -1 with interrupted() true.
[[nodiscard]] std::int64_t read_file(FileHandle file, void* buffer, std::size_t n) noexcept;

// Whether code is the system's "interrupted by a signal" (EINTR); never on Windows.
[[nodiscard]] bool interrupted(ErrorCode code) noexcept;

// Whether last_error() codes are Windows error codes (true on Windows) or errno values.
[[nodiscard]] bool error_codes_are_windows() noexcept;

// n bytes (a multiple of page_size()) of fresh zeroed read-write memory in a mapping of its own,
// never shared with the heap, so that no other lock registry counts its pages. Null when refused.
[[nodiscard]] void* map_pages(std::size_t n) noexcept;
// Gives back a mapping map_pages made; failures are ignored.
void unmap_pages(void* address, std::size_t n) noexcept;

// The characters that separate the components of a path: "/" on POSIX, "\\/" on Windows.
[[nodiscard]] const char* path_separators() noexcept;

// Removes the variable `name` (UTF-8, valid: no '=' and no U+0000) from the process environment,
// so that children no longer inherit it. First overwrites with zeros the value of every
// "name=value" string in the environment block the process started with (on Linux, what
// /proc/PID/environ shows). Returns how many such values were zeroed (always 0 on Windows, whose
// block belongs to the system).
std::size_t erase_environment_variable(const char* name) noexcept;

}  // namespace hush_vault::secret::os
