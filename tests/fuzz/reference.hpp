// Plain references for the differential fuzzers: code-point arithmetic instead of tables, one
// byte at a time, std::string instead of the product's containers. Slow and obvious on purpose.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace fuzz {

// Reports a mismatch and aborts, so that libFuzzer saves the input (and the replay fails).
[[noreturn]] inline void mismatch(const char* harness, const char* what) {
    std::fprintf(stderr, "%s: mismatch: %s\n", harness, what);
    std::abort();
}

inline std::string_view as_text(const std::uint8_t* p, std::size_t n) {
    return {reinterpret_cast<const char*>(p), n};
}

// One step of decoding: a well-formed character, or the maximal subpart of an ill-formed one.
struct RefStep {
    std::size_t length;
    bool well_formed;
    char32_t code_point;
};

// The sequence length a lead byte announces by its bit pattern (0: not a lead byte).
inline std::size_t announced_length(std::uint8_t b) {
    if (b < 0x80) return 1;
    if ((b & 0xE0) == 0xC0) return 2;
    if ((b & 0xF0) == 0xE0) return 3;
    if ((b & 0xF8) == 0xF0) return 4;
    return 0;
}

// Whether the k bytes at p start some well-formed sequence of the announced length: the code
// points its completions can reach, [low, high], must meet the scalar values of that length.
inline bool viable_prefix(const std::uint8_t* p, std::size_t k, std::size_t length) {
    static constexpr char32_t min_for_length[] = {0, 0, 0x80, 0x800, 0x10000};
    static constexpr char32_t max_for_length[] = {0, 0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
    static constexpr std::uint8_t payload_mask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t low = p[0] & payload_mask[length];
    for (std::size_t i = 1; i < k; ++i) {
        if ((p[i] & 0xC0) != 0x80) return false;
        low = (low << 6) | (p[i] & 0x3F);
    }
    char32_t high = low;
    for (std::size_t i = k; i < length; ++i) {
        low = low << 6;
        high = (high << 6) | 0x3F;
    }
    low = std::max(low, min_for_length[length]);
    high = std::min(high, max_for_length[length]);
    if (low > high) return false;
    const bool all_surrogates = low >= 0xD800 && high <= 0xDFFF;
    return !all_surrogates;
}

inline RefStep ref_step(const std::uint8_t* p, std::size_t remaining) {
    const std::size_t length = announced_length(p[0]);
    if (length == 1) return {1, true, p[0]};
    if (length == 0 || !viable_prefix(p, 1, length)) return {1, false, 0};
    std::size_t k = 1;
    while (k < length && k < remaining && viable_prefix(p, k + 1, length)) ++k;
    if (k < length) return {k, false, 0};
    char32_t cp = p[0] & (0xFF >> (length + 1));
    for (std::size_t i = 1; i < length; ++i) cp = (cp << 6) | (p[i] & 0x3F);
    return {length, true, cp};
}

inline bool ref_valid(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n;) {
        const RefStep s = ref_step(p + i, n - i);
        if (!s.well_formed) return false;
        i += s.length;
    }
    return true;
}

inline std::string ref_lossy(const std::uint8_t* p, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n;) {
        const RefStep s = ref_step(p + i, n - i);
        out += s.well_formed ? std::string(as_text(p + i, s.length)) : "\xEF\xBF\xBD";
        i += s.length;
    }
    return out;
}

inline void append_utf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out += static_cast<char16_t>(cp);
    } else {
        out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
        out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
}

// UTF-8 to UTF-16; each byte of an ill-formed subpart becomes the lone surrogate DC00 + byte.
inline std::u16string ref_utf8_to_utf16(const std::uint8_t* p, std::size_t n) {
    std::u16string out;
    for (std::size_t i = 0; i < n;) {
        const RefStep s = ref_step(p + i, n - i);
        if (s.well_formed) {
            append_utf16(out, s.code_point);
        } else {
            for (std::size_t j = 0; j < s.length; ++j)
                out += static_cast<char16_t>(0xDC00 + p[i + j]);
        }
        i += s.length;
    }
    return out;
}

inline void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// UTF-16 to UTF-8; nothing at the first unpaired surrogate.
inline std::optional<std::string> ref_utf16_to_utf8(const char16_t* u, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        const char32_t unit = u[i];
        if (unit < 0xD800 || unit > 0xDFFF) {
            append_utf8(out, unit);
        } else if (unit <= 0xDBFF && i + 1 < n && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF) {
            append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (u[i + 1] - 0xDC00));
            ++i;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

}  // namespace fuzz
