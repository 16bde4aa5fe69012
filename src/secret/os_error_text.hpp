// os_error_text: a system error code as text, "{system text} (os error {code})".
#pragma once

#include <cstdint>

#include "memory.hpp"
#include "os.hpp"

namespace hush_vault::secret {

// The message-table calls os_error_text makes; the process uses the OS layer, tests a fake.
struct MessageSystem {
    os::ModuleHandle (*ntdll_handle)() noexcept;
    std::uint32_t (*format_message)(std::uint32_t flags, os::ModuleHandle source, std::uint32_t id,
                                    char16_t* buffer, std::uint32_t size) noexcept;
    os::ErrorCode (*last_error)() noexcept;
};

// The system's text for code with trailing white space removed, then " (os error {code})".
// Codes with bit 0x10000000 (the NT facility) are looked up in NTDLL.DLL with the bit cleared.
// When there is no text: "OS Error {id} (FormatMessageW() returned error {e})"; when the text is
// not valid UTF-16: "OS Error {id} (FormatMessageW() returned invalid UTF-16)". Never fails.
[[nodiscard]] Text os_error_text(std::int32_t code);
[[nodiscard]] Text os_error_text(std::int32_t code, const MessageSystem& system);

}  // namespace hush_vault::secret
