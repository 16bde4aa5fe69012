// UTF-8 rules: validation (RFC 3629), lossy decoding by maximal subparts, and the UTF-16
// conversions of the environment lookup. All results that may hold secret text are scrubbed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "scrubbed_buffer.hpp"

namespace hush_vault::secret {

// What a string object needs to hold well-formed UTF-8 text: its number of code points, and the
// bound of the narrowest storage class that holds them all (0x7F, 0xFF, 0xFFFF or 0x10FFFF).
struct TextShape {
    std::size_t code_points;
    char32_t max_code_point;
};

// The shape of the bytes when they are well-formed UTF-8 (no overlong forms, no encoded
// surrogates, nothing above U+10FFFF, no sequence cut short); nothing otherwise. One pass; ASCII
// runs are checked a machine word at a time.
[[nodiscard]] std::optional<TextShape> measure_utf8(const std::uint8_t* bytes,
                                                    std::size_t n) noexcept;

// True when the bytes are well-formed UTF-8.
[[nodiscard]] inline bool is_valid_utf8(const std::uint8_t* bytes, std::size_t n) noexcept {
    return measure_utf8(bytes, n).has_value();
}

// Decodes bytes that measure_utf8 accepted straight into the code units of a string object:
// shape.code_points units, each of the width that shape.max_code_point calls for (one byte up to
// 0xFF, two up to 0xFFFF, four beyond). No other copy of the text is made.
void decode_utf8(const std::uint8_t* bytes, std::size_t n, std::uint8_t* out) noexcept;
void decode_utf8(const std::uint8_t* bytes, std::size_t n, std::uint16_t* out) noexcept;
void decode_utf8(const std::uint8_t* bytes, std::size_t n, std::uint32_t* out) noexcept;

// The bytes decoded as UTF-8, each maximal subpart of an ill-formed sequence replaced by one
// U+FFFD (EF BF BD). The result's block is exactly its length.
[[nodiscard]] ScrubbedBuffer<char> decode_lossy(const std::uint8_t* bytes, std::size_t n) noexcept;

// The masked display of a secret: (n - suffix_len) asterisks, one per hidden byte, then the
// lossy decoding of the last suffix_len bytes; the lossy decoding of all n bytes when
// suffix_len >= n. Hidden bytes are never decoded.
[[nodiscard]] ScrubbedBuffer<char> mask_secret(const std::uint8_t* bytes, std::size_t n,
                                               std::uint64_t suffix_len) noexcept;

// UTF-8 to UTF-16. Bytes that are not part of a well-formed sequence become the lone surrogate
// U+DC00 + byte, so that utf16_to_utf8 refuses them later.
[[nodiscard]] ScrubbedBuffer<char16_t> utf8_to_utf16(const std::uint8_t* bytes,
                                                     std::size_t n) noexcept;

// UTF-16 to UTF-8; nothing when the units hold an unpaired surrogate.
[[nodiscard]] std::optional<ScrubbedBuffer<char>> utf16_to_utf8(const char16_t* units,
                                                                std::size_t n) noexcept;

}  // namespace hush_vault::secret
