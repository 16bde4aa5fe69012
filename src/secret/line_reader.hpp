// read_line: one line, a byte at a time, into the caller's span; shared by the prompts of every OS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "os_terminal.hpp"

namespace hush_vault::secret::os {

// Stores the bytes next(&byte) yields into bytes until a line feed, which ends the line and is
// not kept (nor a carriage return just before it). next returns nothing when it stored a byte,
// else the outcome that ends the read (end_of_file's length is filled in here). When bytes fills
// first, hooks.more_room gives the next span; one without more room makes the line too long: the
// rest of it is read and dropped.
template <class Next>
[[nodiscard]] PromptOutcome read_line(std::span<std::uint8_t> bytes, const PromptHooks& hooks,
                                      Next&& next) noexcept {
    std::size_t length = 0;
    while (true) {
        if (length == bytes.size()) {
            bytes = hooks.more_room(hooks.context, bytes);
            if (bytes.empty()) {
                return {PromptEnd::stopped, 0, error_success, nullptr};
            }
            if (length == bytes.size()) {
                break;
            }
        }
        if (auto end = next(&bytes[length])) {
            end->length = end->end == PromptEnd::end_of_file ? length : 0;
            return *end;
        }
        if (bytes[length] == '\n') {
            bytes[length] = 0;
            if (length > 0 && bytes[length - 1] == '\r') {
                bytes[--length] = 0;
            }
            return {PromptEnd::line, length, error_success, nullptr};
        }
        ++length;
    }
    std::uint8_t dropped = 0;
    std::optional<PromptOutcome> end;
    while (!(end = next(&dropped)) && dropped != '\n') {
    }
    secure_zero(&dropped, 1);
    if (end && end->end == PromptEnd::stopped) {
        return *end;
    }
    return {PromptEnd::too_long, 0, error_success, nullptr};
}

}  // namespace hush_vault::secret::os
