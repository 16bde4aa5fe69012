// UTF-8 validation, lossy decoding, the masked display and the UTF-16 conversions, all driven by
// one table of lead bytes and one scanner of multi-byte sequences.
#include "utf8.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#elif defined(__aarch64__) || defined(_M_ARM64)
#include <arm_neon.h>
#endif

#include "fault.hpp"
#include "inlining.hpp"

namespace hush_vault::secret {
namespace {

// What a lead byte allows: the length of its sequence (0: it never starts one) and the range of
// the second byte. The second byte's range is where overlong forms, surrogates and code points
// above U+10FFFF are excluded; every later byte is a plain continuation byte.
struct Lead {
    std::uint8_t length;
    std::uint8_t second_min;
    std::uint8_t second_max;
};

constexpr std::array<Lead, 256> make_lead_table() {
    std::array<Lead, 256> table{};
    for (unsigned b = 0x00; b <= 0x7F; ++b) table[b] = {1, 0, 0};
    for (unsigned b = 0xC2; b <= 0xDF; ++b) table[b] = {2, 0x80, 0xBF};
    for (unsigned b = 0xE1; b <= 0xEF; ++b) table[b] = {3, 0x80, 0xBF};
    for (unsigned b = 0xF1; b <= 0xF3; ++b) table[b] = {4, 0x80, 0xBF};
    table[0xE0] = {3, 0xA0, 0xBF};
    table[0xED] = {3, 0x80, 0x9F};
    table[0xF0] = {4, 0x90, 0xBF};
    table[0xF4] = {4, 0x80, 0x8F};
    return table;
}

constexpr std::array<Lead, 256> lead_table = make_lead_table();

constexpr bool is_continuation(std::uint8_t b) noexcept {
    return (b & 0xC0U) == 0x80U;
}

// A well-formed multi-byte sequence, or the maximal subpart of an ill-formed one: the longest
// start of some well-formed sequence, or the single byte that cannot start one.
struct Step {
    std::size_t length;
    bool well_formed;
};

// p[0] is not ASCII and remaining >= 1.
Step scan_sequence(const std::uint8_t* p, std::size_t remaining) noexcept {
    const Lead lead = lead_table[p[0]];
    if (lead.length == 0) {
        return {1, false};
    }
    std::size_t matched = 1;
    if (remaining > 1 && p[1] >= lead.second_min && p[1] <= lead.second_max) {
        matched = 2;
        while (matched < lead.length && matched < remaining && is_continuation(p[matched])) {
            ++matched;
        }
    }
    return {matched, matched == lead.length};
}

constexpr std::uint64_t high_bits = 0x8080808080808080U;

std::uint64_t load_word(const std::uint8_t* p) noexcept {
    std::uint64_t word = 0;
    std::memcpy(&word, p, sizeof word);  // any alignment, no aliasing questions
    return word;
}

// Whether the 64 bytes at p are all ASCII: four vector loads ORed together and one test of their
// high bits, on every processor the module is built for (SSE2 and NEON are baseline there).
bool ascii_block(const std::uint8_t* p) noexcept {
#if defined(__SSE2__) || defined(_M_X64)
    auto load = [p](int k) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));  // NOLINT
    };
    return _mm_movemask_epi8(
               _mm_or_si128(_mm_or_si128(load(0), load(1)), _mm_or_si128(load(2), load(3)))) == 0;
#elif defined(__aarch64__) || defined(_M_ARM64)
    const uint8x16_t any = vorrq_u8(vorrq_u8(vld1q_u8(p), vld1q_u8(p + 16)),
                                    vorrq_u8(vld1q_u8(p + 32), vld1q_u8(p + 48)));
    return vmaxvq_u8(any) < 0x80;
#else
    std::uint64_t any = 0;
    for (int k = 0; k < 8; ++k) {
        any |= load_word(p + 8 * k);
    }
    return (any & high_bits) == 0;
#endif
}

// The number of ASCII bytes at the start of p[0, n). Most secrets are ASCII, so long runs are
// tested 64 bytes at a time; words, two at a time and then one, find where the run ends. Inlined:
// a call would cost a short secret's reveal more than its scan.
HUSH_VAULT_ALWAYS_INLINE std::size_t ascii_run(const std::uint8_t* p, std::size_t n) noexcept {
    std::size_t i = 0;
    while (n - i >= 64 && ascii_block(p + i)) {
        i += 64;
    }
    while (n - i >= 16 && ((load_word(p + i) | load_word(p + i + 8)) & high_bits) == 0) {
        i += 16;
    }
    while (n - i >= 8 && (load_word(p + i) & high_bits) == 0) {
        i += 8;
    }
    while (i < n && p[i] < 0x80) {
        ++i;
    }
    return i;
}

// Feeds the input to the sink as ASCII runs, well-formed multi-byte sequences and maximal
// subparts of ill-formed ones, in order.
template <class Sink>
void walk_utf8(const std::uint8_t* bytes, std::size_t n, Sink& sink) noexcept {
    std::size_t i = 0;
    while (i < n) {
        const std::size_t run = ascii_run(bytes + i, n - i);
        if (run != 0) {
            sink.ascii(bytes + i, run);
            i += run;
            continue;
        }
        const Step step = scan_sequence(bytes + i, n - i);
        if (step.well_formed) {
            sink.sequence(bytes + i, step.length);
        } else {
            sink.ill_formed(bytes + i, step.length);
        }
        i += step.length;
    }
}

constexpr std::array<char, 3> replacement = {'\xEF', '\xBF', '\xBD'};

struct LossySize {
    std::size_t total = 0;
    void ascii(const std::uint8_t* /*p*/, std::size_t n) noexcept { total += n; }
    void sequence(const std::uint8_t* /*p*/, std::size_t n) noexcept { total += n; }
    void ill_formed(const std::uint8_t* /*p*/, std::size_t /*n*/) noexcept {
        total += replacement.size();
    }
};

struct LossyWriter {
    char* out;
    void ascii(const std::uint8_t* p, std::size_t n) noexcept { copy(p, n); }
    void sequence(const std::uint8_t* p, std::size_t n) noexcept { copy(p, n); }
    void ill_formed(const std::uint8_t* /*p*/, std::size_t /*n*/) noexcept {
        out = std::copy(replacement.begin(), replacement.end(), out);
    }
    void copy(const std::uint8_t* p, std::size_t n) noexcept {
        std::memcpy(out, p, n);
        out += n;
    }
};

// The size of the lossy decoding; it is at most three bytes per input byte.
std::size_t lossy_size(const std::uint8_t* bytes, std::size_t n) noexcept {
    if (n > std::numeric_limits<std::size_t>::max() / replacement.size()) {
        internal_fault("text too large to decode");
    }
    LossySize size;
    walk_utf8(bytes, n, size);
    return size.total;
}

char32_t decode_sequence(const std::uint8_t* p, std::size_t length) noexcept {
    constexpr std::array<std::uint8_t, 5> lead_payload = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t code_point = p[0] & lead_payload[length];
    for (std::size_t i = 1; i < length; ++i) {
        code_point = (code_point << 6U) | (p[i] & 0x3FU);
    }
    return code_point;
}

// A byte outside any well-formed sequence, kept as a lone low surrogate.
constexpr char16_t escaped_byte(std::uint8_t b) noexcept {
    return static_cast<char16_t>(0xDC00U + b);
}

struct Utf16Size {
    std::size_t total = 0;
    void ascii(const std::uint8_t* /*p*/, std::size_t n) noexcept { total += n; }
    void sequence(const std::uint8_t* /*p*/, std::size_t n) noexcept { total += n == 4 ? 2 : 1; }
    void ill_formed(const std::uint8_t* /*p*/, std::size_t n) noexcept { total += n; }
};

struct Utf16Writer {
    char16_t* out;
    void ascii(const std::uint8_t* p, std::size_t n) noexcept { out = std::copy(p, p + n, out); }
    void sequence(const std::uint8_t* p, std::size_t n) noexcept {
        const char32_t code_point = decode_sequence(p, n);
        if (code_point < 0x10000) {
            *out++ = static_cast<char16_t>(code_point);
        } else {
            const char32_t offset = code_point - 0x10000;
            *out++ = static_cast<char16_t>(0xD800U + (offset >> 10U));
            *out++ = static_cast<char16_t>(0xDC00U + (offset & 0x3FFU));
        }
    }
    void ill_formed(const std::uint8_t* p, std::size_t n) noexcept {
        out = std::transform(p, p + n, out, escaped_byte);
    }
};

constexpr bool is_high_surrogate(char32_t u) noexcept {
    return u >= 0xD800 && u <= 0xDBFF;
}
constexpr bool is_low_surrogate(char32_t u) noexcept {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// Feeds the code points of the units to the sink; false at the first unpaired surrogate.
template <class Sink>
bool walk_utf16(const char16_t* units, std::size_t n, Sink& sink) noexcept {
    std::size_t i = 0;
    while (i < n) {
        const char32_t unit = units[i];
        if (!is_high_surrogate(unit) && !is_low_surrogate(unit)) {
            sink.code_point(unit);
            i += 1;
        } else if (is_high_surrogate(unit) && i + 1 < n && is_low_surrogate(units[i + 1])) {
            sink.code_point(0x10000 + ((unit - 0xD800) << 10U) + (units[i + 1] - 0xDC00U));
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

constexpr std::size_t utf8_length(char32_t code_point) noexcept {
    return code_point < 0x80 ? 1 : code_point < 0x800 ? 2 : code_point < 0x10000 ? 3 : 4;
}

struct Utf8Size {
    std::size_t total = 0;
    void code_point(char32_t c) noexcept { total += utf8_length(c); }
};

struct Utf8Writer {
    char* out;
    void code_point(char32_t c) noexcept {
        const std::size_t length = utf8_length(c);
        constexpr std::array<std::uint8_t, 5> lead_marker = {0, 0x00, 0xC0, 0xE0, 0xF0};
        for (std::size_t i = length - 1; i > 0; --i) {
            out[i] = static_cast<char>(0x80U | (c & 0x3FU));
            c >>= 6U;
        }
        out[0] = static_cast<char>(lead_marker[length] | c);
        out += length;
    }
};

// The number of well-formed two-byte sequences (C2..DF, then 80..BF) at the start of p[0, n),
// counted eight bytes at a time; raises widest to DF when one of them is U+0100 or above (a
// lead from C4 on), which is all the string's width needs to know.
std::size_t two_byte_run(const std::uint8_t* p, std::size_t n, unsigned& widest) noexcept {
    // Per 16-bit lane, low byte first: 110xxxxx then 10xxxxxx, and a lead not C0/C1.
    static_assert(std::endian::native == std::endian::little, "lanes are read low byte first");
    constexpr std::uint64_t shape_mask = 0xC0E0C0E0C0E0C0E0U;
    constexpr std::uint64_t shape = 0x80C080C080C080C0U;
    constexpr std::uint64_t lead_bits = 0x001E001E001E001EU;
    constexpr std::uint64_t lane_carry = 0x7FFF7FFF7FFF7FFFU;  // bit 15 of a lane: lead bits > 0
    constexpr std::uint64_t lane_tops = 0x8000800080008000U;
    constexpr std::uint64_t wide_bits = 0x001C001C001C001CU;  // any set: a lead from C4 on
    std::size_t i = 0;
    std::uint64_t wide = 0;
    while (n - i >= 8) {
        const std::uint64_t word = load_word(p + i);
        if ((word & shape_mask) != shape ||
            (((word & lead_bits) + lane_carry) & lane_tops) != lane_tops) {
            break;
        }
        wide |= word & wide_bits;
        i += 8;
    }
    if (i != 0) {
        widest = std::max(widest, wide != 0 ? 0xDFU : 0xC3U);
    }
    return i / 2;
}

// The measure of text whose first non-ASCII byte is at i: apart, so that the all-ASCII call pays
// nothing of its set-up.
HUSH_VAULT_NOINLINE std::optional<TextShape> measure_from(const std::uint8_t* bytes, std::size_t n,
                                                          std::size_t i) noexcept {
    std::size_t code_points = i;
    unsigned widest = 0;  // the largest lead byte
    while (i < n) {
        const unsigned first = bytes[i];
        if (first < 0x80) {
            const std::size_t run = ascii_run(bytes + i, n - i);
            code_points += run;
            i += run;
            continue;
        }
        // Off the ASCII path, each sequence is checked where it stands, two-byte ones (accented
        // Latin, Greek, Cyrillic...) first: text in one script repeats one lead length, so the
        // branches are predicted, where a byte-serial automaton paid a dependent step per byte.
        // Each branch steps by a constant: a length loaded from the table would chain two loads
        // from one sequence to the next.
        const Lead& lead = lead_table[first];
        const std::size_t left = n - i;
        std::size_t length = 2;
        if (first >= 0xC2 && first <= 0xDF) {
            // Four at a time while they last: accented Latin, Greek, Cyrillic.
            if (const std::size_t pairs = two_byte_run(bytes + i, left, widest); pairs != 0) {
                code_points += pairs;
                i += 2 * pairs;
                continue;
            }
            if (left < 2 || !is_continuation(bytes[i + 1])) {
                return std::nullopt;
            }
        } else if (first >= 0xE0 && first <= 0xEF) {
            if (left < 3 || bytes[i + 1] < lead.second_min || bytes[i + 1] > lead.second_max ||
                !is_continuation(bytes[i + 2])) {
                return std::nullopt;
            }
            length = 3;
        } else {
            if (lead.length != 4 || left < 4 || bytes[i + 1] < lead.second_min ||
                bytes[i + 1] > lead.second_max || !is_continuation(bytes[i + 2]) ||
                !is_continuation(bytes[i + 3])) {
                return std::nullopt;
            }
            length = 4;
        }
        widest = std::max(widest, first);
        ++code_points;
        i += length;
    }
    // The lead byte bounds the code point: C2/C3 stay below U+0100, F0..F4 go beyond U+FFFF.
    char32_t max_code_point = widest >= 0xF0   ? 0x10FFFF
                              : widest >= 0xC4 ? 0xFFFF
                              : widest >= 0x80 ? 0xFF
                                               : 0x7F;
    return TextShape{code_points, max_code_point};
}

}  // namespace

std::optional<TextShape> measure_utf8(const std::uint8_t* bytes, std::size_t n) noexcept {
    const std::size_t i = ascii_run(bytes, n);
    // All ASCII, as most secrets are: one scan and nothing counted.
    if (i == n) {
        return TextShape{n, 0x7F};
    }
    return measure_from(bytes, n, i);
}

namespace {

template <class Unit>
void decode_into(const std::uint8_t* bytes, std::size_t n, Unit* out) noexcept {
    std::size_t i = 0;
    while (i < n) {
        const unsigned first = bytes[i];
        if (first < 0x80) {
            const std::size_t run = ascii_run(bytes + i, n - i);
            out = std::copy(bytes + i, bytes + i + run, out);
            i += run;
            continue;
        }
        // Measured already: the lead alone tells the length, and no ASCII run is looked for
        // between two sequences of a non-Latin script.
        if (first < 0xE0) {
            *out++ = static_cast<Unit>(((first & 0x1FU) << 6U) | (bytes[i + 1] & 0x3FU));
            i += 2;
        } else if (first < 0xF0) {
            *out++ = static_cast<Unit>(((first & 0x0FU) << 12U) | ((bytes[i + 1] & 0x3FU) << 6U) |
                                       (bytes[i + 2] & 0x3FU));
            i += 3;
        } else {
            *out++ = static_cast<Unit>(((first & 0x07U) << 18U) | ((bytes[i + 1] & 0x3FU) << 12U) |
                                       ((bytes[i + 2] & 0x3FU) << 6U) | (bytes[i + 3] & 0x3FU));
            i += 4;
        }
    }
}

}  // namespace

void decode_utf8(const std::uint8_t* bytes, std::size_t n, std::uint8_t* out) noexcept {
    decode_into(bytes, n, out);
}

void decode_utf8(const std::uint8_t* bytes, std::size_t n, std::uint16_t* out) noexcept {
    decode_into(bytes, n, out);
}

void decode_utf8(const std::uint8_t* bytes, std::size_t n, std::uint32_t* out) noexcept {
    decode_into(bytes, n, out);
}

ScrubbedBuffer<char> decode_lossy(const std::uint8_t* bytes, std::size_t n) noexcept {
    ScrubbedBuffer<char> text(lossy_size(bytes, n));
    LossyWriter writer{text.data()};
    walk_utf8(bytes, n, writer);
    text.set_length(text.capacity());
    return text;
}

ScrubbedBuffer<char> mask_secret(const std::uint8_t* bytes, std::size_t n,
                                 std::uint64_t suffix_len) noexcept {
    const std::size_t hidden = suffix_len < n ? n - static_cast<std::size_t>(suffix_len) : 0;
    const std::uint8_t* shown = bytes + hidden;
    const std::size_t shown_length = n - hidden;

    ScrubbedBuffer<char> text(hidden + lossy_size(shown, shown_length));
    std::fill_n(text.data(), hidden, '*');
    LossyWriter writer{text.data() + hidden};
    walk_utf8(shown, shown_length, writer);
    text.set_length(text.capacity());
    return text;
}

ScrubbedBuffer<char16_t> utf8_to_utf16(const std::uint8_t* bytes, std::size_t n) noexcept {
    Utf16Size size;
    walk_utf8(bytes, n, size);
    ScrubbedBuffer<char16_t> units(size.total);
    Utf16Writer writer{units.data()};
    walk_utf8(bytes, n, writer);
    units.set_length(units.capacity());
    return units;
}

std::optional<ScrubbedBuffer<char>> utf16_to_utf8(const char16_t* units, std::size_t n) noexcept {
    Utf8Size size;
    if (!walk_utf16(units, n, size)) {
        return std::nullopt;
    }
    ScrubbedBuffer<char> text(size.total);
    Utf8Writer writer{text.data()};
    walk_utf16(units, n, writer);
    text.set_length(text.capacity());
    return text;
}

}  // namespace hush_vault::secret
