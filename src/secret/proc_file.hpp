// Small files of /proc, read whole (Linux; POSIX builds other than macOS, which has no /proc).
#pragma once

#include <cstddef>

namespace hush_vault::secret::os {

// The whole of a small /proc file (at most size - 1 bytes), zero-terminated; 0 when unreadable.
// One open, reads until the end (EINTR retried) and one close, each under the fault counter.
std::size_t read_proc(const char* path, char* buffer, std::size_t size) noexcept;

}  // namespace hush_vault::secret::os
