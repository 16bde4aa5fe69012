// UTF-8 validation, lossy decoding, masked display and the UTF-16 conversions, checked against a
// reference written here from the definition of well-formed UTF-8.
#include "secret/utf8.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace hush_vault::secret {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The reference: a well-formed sequence is the UTF-8 encoding of one Unicode scalar value
// (U+0000..U+D7FF, U+E000..U+10FFFF); an ill-formed stretch is cut into maximal subparts, each
// the longest start of some such encoding, or else a single byte. Slow, but plainly right.

bool is_scalar(char32_t c) {
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

// The bit distribution: 0xxxxxxx, 110xxxxx 10xxxxxx, 1110xxxx 10xxxxxx 10xxxxxx, 11110xxx ...
Bytes encode(char32_t c) {
    if (c < 0x80) return {static_cast<std::uint8_t>(c)};
    Bytes out(c < 0x800 ? 2 : c < 0x10000 ? 3 : 4);
    const std::uint8_t marker[] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (std::size_t i = out.size() - 1; i > 0; --i, c >>= 6) out[i] = 0x80 | (c & 0x3F);
    out[0] = static_cast<std::uint8_t>(marker[out.size()] | c);
    return out;
}

// The scalar value that p[0, length) encodes, if any: decoded by the bit distribution its lead
// byte announces, and accepted only if encoding the result gives the same bytes back.
std::optional<char32_t> decode_one(const std::uint8_t* p, std::size_t length) {
    const std::size_t announced = p[0] < 0x80         ? 1
                                  : p[0] >> 5 == 0x6  ? 2
                                  : p[0] >> 4 == 0xE  ? 3
                                  : p[0] >> 3 == 0x1E ? 4
                                                      : 0;
    if (announced != length) return std::nullopt;
    char32_t c = p[0] & (length == 1 ? 0x7F : 0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) c = c << 6 | (p[i] & 0x3F);
    if (!is_scalar(c) || encode(c) != Bytes(p, p + length)) return std::nullopt;
    return c;
}

void append_utf16(std::u16string& out, char32_t c) {
    if (c >= 0x10000) {
        out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        c = 0xDC00 + ((c - 0x10000) & 0x3FF);
    }
    out += static_cast<char16_t>(c);
}

struct Analysis {
    bool valid = true;
    std::string lossy;
    std::u16string utf16;    // ill-formed bytes escaped as U+DC00 + byte
    std::u32string scalars;  // the well-formed characters
};

class Reference {
  public:
    Reference() : proper_starts_(0x100 + 0x10000 + 0x1000000) {
        for (char32_t c = 0; c <= 0x10FFFF; ++c) {
            const Bytes e = is_scalar(c) ? encode(c) : Bytes();
            for (std::size_t k = 1; k < e.size(); ++k) proper_starts_[key(e.data(), k)] = true;
        }
    }

    Analysis analyse(const Bytes& s) const {
        Analysis out;
        for (std::size_t i = 0, length = 0; i < s.size(); i += length) {
            const std::size_t remaining = std::min<std::size_t>(4, s.size() - i);
            std::optional<char32_t> c;
            length = 0;
            while (!c && length < remaining) c = decode_one(&s[i], ++length);
            if (c) {
                out.lossy.append(&s[i], &s[i] + length);
                append_utf16(out.utf16, *c);
                out.scalars += *c;
                continue;
            }
            length = 1;  // the longest proper start of an encoding, or a single byte
            for (std::size_t k = 2; k <= std::min<std::size_t>(3, remaining); ++k) {
                if (proper_starts_[key(&s[i], k)]) length = k;
            }
            out.valid = false;
            out.lossy += "\xEF\xBF\xBD";
            for (std::size_t j = i; j < i + length; ++j) out.utf16 += char16_t(0xDC00 + s[j]);
        }
        return out;
    }

  private:
    // Starts of length 1, 2 and 3, each length in a range of keys of its own.
    static std::size_t key(const std::uint8_t* p, std::size_t length) {
        std::size_t packed = 0;
        for (std::size_t i = 0; i < length; ++i) packed = packed << 8 | p[i];
        return packed + (length == 1 ? 0 : length == 2 ? 0x100 : 0x10100);
    }

    std::vector<bool> proper_starts_;
};

const Reference& reference() {
    static const Reference instance;
    return instance;
}

std::string as_string(const ScrubbedBuffer<char>& b) {
    return {b.data(), b.length()};
}

// Counts the inputs on which the unit and the reference disagree, reporting the first few. Each
// result must also fill its block exactly, and valid text must survive the UTF-16 round trip.
class Agreement {
  public:
    void check(const Bytes& s) {
        const Analysis expected = reference().analyse(s);
        const ScrubbedBuffer<char> lossy = decode_lossy(s.data(), s.size());
        const ScrubbedBuffer<char16_t> wide = utf8_to_utf16(s.data(), s.size());
        const auto back = utf16_to_utf8(wide.data(), wide.length());
        const bool agree =
            is_valid_utf8(s.data(), s.size()) == expected.valid &&
            as_string(lossy) == expected.lossy && lossy.capacity() == lossy.length() &&
            std::u16string(wide.data(), wide.length()) == expected.utf16 &&
            back.has_value() == expected.valid && (!back || as_string(*back) == expected.lossy);
        if (!agree || !measures_and_decodes(s, expected)) {
            if (++failures_ <= 10) ADD_FAILURE() << testing::PrintToString(s);
        }
    }
    ~Agreement() { EXPECT_EQ(failures_, 0); }

  private:
    // The shape of valid text (code points and the width they need) and its decoding.
    static bool measures_and_decodes(const Bytes& s, const Analysis& expected) {
        const auto shape = measure_utf8(s.data(), s.size());
        if (!shape || !expected.valid) return shape.has_value() == expected.valid;
        char32_t widest = 0;
        for (char32_t c : expected.scalars) widest = std::max(widest, c);
        const char32_t width = widest < 0x80      ? 0x7F
                               : widest < 0x100   ? 0xFF
                               : widest < 0x10000 ? 0xFFFF
                                                  : 0x10FFFF;
        std::u32string decoded(shape->code_points, U'\0');
        decode_utf8(s.data(), s.size(), reinterpret_cast<std::uint32_t*>(decoded.data()));
        return shape->code_points == expected.scalars.size() && decoded == expected.scalars &&
               shape->max_code_point == width;
    }

    int failures_ = 0;
};

TEST(Utf8, AgreesWithTheReferenceOnEveryInputUpToThreeBytesAndOnRangeBoundaries) {
    Agreement agreement;
    for (std::size_t length = 0; length <= 3; ++length) {
        Bytes s;
        for (std::uint32_t packed = 0; packed < (1U << (8 * length)); ++packed) {
            s.clear();
            for (std::size_t i = length; i-- > 0;) s.push_back(packed >> (8 * i));
            agreement.check(s);
        }
    }
    // Four bytes, each at an edge of a range of the definition or just past one.
    const std::uint8_t edges[] = {0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                  0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED,
                                  0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
    for (std::uint8_t a : edges)
        for (std::uint8_t b : edges)
            for (std::uint8_t c : edges)
                for (std::uint8_t d : edges) agreement.check({a, b, c, d});
}

// Runs of two-byte characters, read eight bytes at a time, with one spot made ASCII, overlong,
// truncated, wider or stray at every offset of the run.
TEST(Utf8, AgreesWithTheReferenceOnTwoByteRunsBrokenAtEveryOffset) {
    Agreement agreement;
    const Bytes spots[] = {{'a'},        {0xC0, 0x80}, {0xC1, 0xBF},
                           {0xC2},       {0x80},       {0xC2, 'a'},
                           {0xC4, 0x80}, {0xDF, 0xBF}, {0xE2, 0x82, 0xAC}};
    for (std::size_t pairs : {4, 5, 9, 12}) {
        for (const Bytes& base : {Bytes{0xC3, 0xA9}, Bytes{0xD0, 0x96}}) {
            Bytes run;
            for (std::size_t k = 0; k < pairs; ++k) run.insert(run.end(), base.begin(), base.end());
            agreement.check(run);
            for (std::size_t at = 0; at <= run.size(); ++at) {
                for (const Bytes& spot : spots) {
                    Bytes s = run;
                    s.insert(s.begin() + static_cast<std::ptrdiff_t>(at), spot.begin(), spot.end());
                    agreement.check(s);
                }
            }
        }
    }
}

// ASCII runs long enough for the 64-byte blocks, with one non-ASCII spot at every offset.
TEST(Utf8, AgreesWithTheReferenceOnLongAsciiRunsBrokenAtEveryOffset) {
    Agreement agreement;
    const Bytes spots[] = {{0x80}, {0xC3, 0xA9}, {0xFF}};
    for (std::size_t length : {63, 64, 65, 130, 200}) {
        for (std::size_t at = 0; at <= length; ++at) {
            for (const Bytes& spot : spots) {
                Bytes s(length, 'k');
                s.insert(s.begin() + static_cast<std::ptrdiff_t>(at), spot.begin(), spot.end());
                agreement.check(s);
            }
        }
    }
}

std::string masked(const Bytes& s, std::uint64_t suffix_len) {
    const ScrubbedBuffer<char> out = mask_secret(s.data(), s.size(), suffix_len);
    EXPECT_EQ(out.capacity(), out.length());
    return as_string(out);
}

// ASCII runs of every length between scalars, truncated encodings and stray bytes, at every
// alignment, so that the word-at-a-time path meets a non-ASCII byte at every offset.
TEST(Utf8, AgreesWithTheReferenceOnRandomTextAndMasksItAtEveryCut) {
    std::mt19937_64 rng(20240607);
    Agreement agreement;
    for (int round = 0; round < 3000; ++round) {
        Bytes s(rng() % 8, 'x');
        for (int piece = static_cast<int>(rng() % 8); piece > 0; --piece) {
            s.insert(s.end(), rng() % 40, static_cast<std::uint8_t>(rng() % 0x80));
            const auto c = static_cast<char32_t>(rng() % 0x110000);
            Bytes e = is_scalar(c) ? encode(c) : Bytes{0xED, 0xA0, 0x80};
            e.resize(rng() % 2 == 0 ? e.size() : 1 + rng() % e.size());
            if (rng() % 4 == 0) e = {static_cast<std::uint8_t>(rng())};
            s.insert(s.end(), e.begin(), e.end());
        }
        agreement.check(s);
        for (std::size_t suffix = 0; suffix <= s.size() + 1 && round < 500; ++suffix) {
            const std::size_t hidden = suffix < s.size() ? s.size() - suffix : 0;
            const Bytes tail(s.begin() + static_cast<std::ptrdiff_t>(hidden), s.end());
            ASSERT_EQ(masked(s, suffix),
                      std::string(hidden, '*') + reference().analyse(tail).lossy);
        }
    }
}

TEST(Utf8, MaskShowsAnAsteriskPerHiddenByteThenTheDecodedSuffix) {
    const Bytes six = {'s', 'e', 'c', 'r', 'e', 't'};
    EXPECT_EQ(masked(six, 2), "****et");
    EXPECT_EQ(masked(six, 0), "******");
    EXPECT_EQ(masked(six, 6), "secret");
    EXPECT_EQ(masked(six, 100), "secret");
    EXPECT_EQ(masked(six, std::numeric_limits<std::uint64_t>::max()), "secret");

    const Bytes cafe = {'c', 'a', 'f', 0xC3, 0xA9};
    EXPECT_EQ(masked(cafe, 1), "****\xEF\xBF\xBD");
    EXPECT_EQ(masked(cafe, 2), "***\xC3\xA9");

    const Bytes invalid = {0xFF, 'a', 'b', 0xE0, 0x80, 0xF0, 0x9F, 0x98};
    EXPECT_EQ(masked(invalid, 8),
              "\xEF\xBF\xBD"
              "ab"
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(masked(invalid, 3), "*****\xEF\xBF\xBD");  // a truncated sequence is one subpart

    for (std::uint64_t suffix : {std::uint64_t{0}, std::uint64_t{1}, ~std::uint64_t{0}}) {
        EXPECT_EQ(mask_secret(nullptr, 0, suffix).length(), 0U);
    }
}

// Pairs of surrogates join into one scalar value; any other surrogate refuses the whole text.
std::optional<std::string> reference_from_utf16(const std::u16string& units) {
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        const char32_t next = i + 1 < units.size() ? units[i + 1] : 0;
        if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
            ++i;
        }
        if (!is_scalar(c)) return std::nullopt;
        const Bytes e = encode(c);
        out.append(e.begin(), e.end());
    }
    return out;
}

TEST(Utf8, Utf16ToUtf8AgreesWithTheReferenceOnEveryUnitAndOnTriplesOfEdges) {
    std::vector<std::u16string> inputs;
    for (char32_t u = 0; u <= 0xFFFF; ++u) inputs.emplace_back(1, static_cast<char16_t>(u));
    const char16_t edges[] = {0x0,    0x7F,   0x80,   0x7FF,  0x800,  0xD7FF, 0xD800,
                              0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFD, 0xFFFF};
    for (char16_t a : edges)
        for (char16_t b : edges)
            for (char16_t c : edges) inputs.push_back({a, b, c});
    for (const std::u16string& units : inputs) {
        const auto text = utf16_to_utf8(units.data(), units.size());
        const auto got = text ? std::optional<std::string>(as_string(*text)) : std::nullopt;
        ASSERT_EQ(got, reference_from_utf16(units)) << testing::PrintToString(units);
        ASSERT_TRUE(!text || text->capacity() == text->length());
    }
}

}  // namespace
}  // namespace hush_vault::secret
