// Internal faults: violated assumptions that end the process at once, after a report on stderr.
#pragma once

#include <cstddef>
#include <string_view>

namespace hush_vault::secret {

// Where a fault was detected. std::source_location is not available to every compiler we build
// with; the builtins behind it are.
struct SourcePosition {
    const char* file;
    unsigned line;
    const char* function;

    static constexpr SourcePosition current(const char* file = __builtin_FILE(),
                                            unsigned line = __builtin_LINE(),
                                            const char* function = __builtin_FUNCTION()) noexcept {
        return {file, line, function};
    }
};

// Writes "hush_vault: internal fault: {message}" and the source position to standard error,
// flushes it, and ends the process through the system's fail-fast mechanism (code 7).
[[noreturn]] void internal_fault(std::string_view message,
                                 SourcePosition where = SourcePosition::current()) noexcept;

// Writes "memory allocation of {n} bytes failed" and a line feed, then fails fast (code 7).
[[noreturn]] void allocation_failure(std::size_t n) noexcept;

}  // namespace hush_vault::secret
