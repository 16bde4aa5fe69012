// os_error_text: the system's message for an error code, trimmed, with the code appended.
#include "os_error_text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>

#include "utf8.hpp"

namespace hush_vault::secret {
namespace {

constexpr std::uint32_t nt_facility = 0x10000000;
constexpr std::uint32_t message_units = 2048;

void append_signed(Text& text, std::uint32_t value) {
    std::array<char, 16> digits{};
    auto [end, error] = std::to_chars(digits.data(), digits.data() + digits.size(),
                                      static_cast<std::int32_t>(value));
    text.append(digits.data(), end);
}

// The characters with the Unicode White_Space property; all lie in the Basic Multilingual Plane,
// so a UTF-16 unit that is one of them is never half of a pair.
bool is_white_space(char16_t unit) noexcept {
    return (unit >= 0x0009 && unit <= 0x000D) || unit == 0x0020 || unit == 0x0085 ||
           unit == 0x00A0 || unit == 0x1680 || (unit >= 0x2000 && unit <= 0x200A) ||
           unit == 0x2028 || unit == 0x2029 || unit == 0x202F || unit == 0x205F || unit == 0x3000;
}

}  // namespace

Text os_error_text(std::int32_t code) {
    return os_error_text(code, MessageSystem{os::ntdll_handle, os::format_message, os::last_error});
}

Text os_error_text(std::int32_t code, const MessageSystem& system) {
    auto id = static_cast<std::uint32_t>(code);
    std::uint32_t flags = os::format_message_from_system | os::format_message_ignore_inserts;
    os::ModuleHandle source = nullptr;
    // NT status codes have their texts in NTDLL's message table, under the id without the bit.
    if ((id & nt_facility) != 0) {
        if (os::ModuleHandle ntdll = system.ntdll_handle(); ntdll != nullptr) {
            id &= ~nt_facility;
            flags |= os::format_message_from_hmodule;
            source = ntdll;
        }
    }

    std::array<char16_t, message_units> units{};
    std::uint32_t written = system.format_message(flags, source, id, units.data(), message_units);
    Text text;
    if (written == 0) {
        os::ErrorCode error = system.last_error();
        text = "OS Error ";
        append_signed(text, id);
        text += " (FormatMessageW() returned error ";
        append_signed(text, error);
        text += ")";
    } else {
        std::size_t length = std::min(written, message_units);
        while (length > 0 && is_white_space(units[length - 1])) {
            --length;
        }
        if (auto utf8 = utf16_to_utf8(units.data(), length); utf8) {
            text.assign(utf8->data(), utf8->length());
        } else {
            text = "OS Error ";
            append_signed(text, id);
            text += " (FormatMessageW() returned invalid UTF-16)";
        }
    }
    text += " (os error ";
    append_signed(text, static_cast<std::uint32_t>(code));
    text += ")";
    return text;
}

}  // namespace hush_vault::secret
