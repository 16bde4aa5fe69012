// read_line: one line, a byte at a time, into the caller's span; shared by the prompts of every OS.
// Utf16Bytes: the bytes of a line a console delivers as UTF-16, for read_line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

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

// The UTF-8 form of the UTF-16 units read_unit(&unit) delivers one at a time (it returns nothing
// when it stored a unit, else the outcome that ends the read), a byte per call as read_line wants
// them. A code point's units wait in `units` (two, in locked memory) until its last byte is handed
// on, then are zeroed. An unpaired surrogate becomes U+FFFD. Ctrl-Z (U+001A) as the first unit is
// a console's end of input: the rest of its line is read and dropped.
template <class ReadUnit>
class Utf16Bytes {
  public:
    Utf16Bytes(std::span<char16_t> units, ReadUnit read_unit) noexcept
        : units_(units), read_unit_(std::move(read_unit)) {}
    Utf16Bytes(const Utf16Bytes&) = delete;
    Utf16Bytes& operator=(const Utf16Bytes&) = delete;
    Utf16Bytes(Utf16Bytes&&) = delete;
    Utf16Bytes& operator=(Utf16Bytes&&) = delete;
    ~Utf16Bytes() { secure_zero(units_.data(), units_.size_bytes()); }

    std::optional<PromptOutcome> operator()(std::uint8_t* into) noexcept {
        if (sent_ == size_) {
            if (auto end = next_code_point()) {
                return end;
            }
        }
        *into = byte_at(sent_++);
        if (sent_ == size_) {
            // A unit read in search of a partner it did not turn out to be stays for the next call.
            secure_zero(units_.data(), (carried_ ? 1 : 2) * sizeof(char16_t));
        }
        return std::nullopt;
    }

  private:
    static bool high(char16_t unit) noexcept { return unit >= 0xD800 && unit < 0xDC00; }
    static bool low(char16_t unit) noexcept { return unit >= 0xDC00 && unit < 0xE000; }

    // The next code point's units in units_[0] (and [1] for a pair), and its UTF-8 length.
    std::optional<PromptOutcome> next_code_point() noexcept {
        sent_ = 0;
        if (carried_) {
            units_[0] = std::exchange(units_[1], 0);
            carried_ = false;
        } else if (auto end = read_unit_(units_.data())) {
            return end;
        }
        if (first_ && units_[0] == 0x1A) {
            return end_of_input();
        }
        first_ = false;
        if (high(units_[0])) {
            if (auto end = read_unit_(&units_[1])) {
                return end;
            }
            if (low(units_[1])) {
                size_ = 4;
                return std::nullopt;
            }
            carried_ = true;
        }
        if (high(units_[0]) || low(units_[0])) {
            units_[0] = 0xFFFD;
        }
        size_ = units_[0] < 0x80 ? 1 : units_[0] < 0x800 ? 2 : 3;
        return std::nullopt;
    }

    std::optional<PromptOutcome> end_of_input() noexcept {
        while (units_[0] != u'\n') {
            if (auto end = read_unit_(units_.data())) {
                return end;
            }
        }
        units_[0] = 0;
        return PromptOutcome{PromptEnd::end_of_file, 0, error_success, nullptr};
    }

    // Byte i of the UTF-8 form of the code point in units_.
    [[nodiscard]] std::uint8_t byte_at(std::size_t i) const noexcept {
        const char32_t point = size_ == 4 ? 0x10000 + ((char32_t{units_[0]} - 0xD800) << 10) +
                                                (char32_t{units_[1]} - 0xDC00)
                                          : char32_t{units_[0]};
        static constexpr std::uint8_t lead[] = {0x00, 0x00, 0xC0, 0xE0, 0xF0};
        const unsigned shift = 6 * static_cast<unsigned>(size_ - 1 - i);
        if (i > 0) {
            return static_cast<std::uint8_t>(0x80 | ((point >> shift) & 0x3F));
        }
        return static_cast<std::uint8_t>(lead[size_] | (point >> shift));
    }

    std::span<char16_t> units_;
    ReadUnit read_unit_;
    std::size_t size_ = 0;
    std::size_t sent_ = 0;
    bool carried_ = false;
    bool first_ = true;
};

}  // namespace hush_vault::secret::os
