// Internal faults: violated assumptions that end the process at once, after a report on stderr.
#pragma once

#include <cstddef>
#include <source_location>
#include <string_view>

namespace hush_vault::secret {

// Writes "hush_vault: internal fault: {message}" and the source position to standard error,
// flushes it, and ends the process through the system's fail-fast mechanism (code 7).
[[noreturn]] void internal_fault(std::string_view message,
                                 std::source_location where = std::source_location::current()) noexcept;

// Writes "memory allocation of {n} bytes failed" and a line feed, then fails fast (code 7).
[[noreturn]] void allocation_failure(std::size_t n) noexcept;

}  // namespace hush_vault::secret
