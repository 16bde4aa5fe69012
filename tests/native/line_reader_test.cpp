// The prompt's line reading over scripted input: line ends, growing room, lines too long, stops,
// and the console's UTF-16 handed on as UTF-8 (checked against the UTF-16 conversion of utf8.hpp).
#include "secret/line_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "secret/utf8.hpp"

namespace hush_vault::secret::os {
namespace {

constexpr char stop_mark = '\x03';  // in scripted input: a hook stops the prompt here

PromptOutcome ended(PromptEnd end) {
    return {end, 0, error_success, nullptr};
}

// Input from a string, a unit at a time; what is not taken stays in `rest`.
template <class Unit>
struct Script {
    std::basic_string<Unit> rest;
    std::optional<PromptOutcome> operator()(Unit* into) {
        if (rest.empty()) return ended(PromptEnd::end_of_file);
        if (rest.front() == Unit{stop_mark}) return ended(PromptEnd::stopped);
        *into = rest.front();
        rest.erase(0, 1);
        return std::nullopt;
    }
};

// Room that starts at `first` bytes and doubles up to `most`; none at all when `refuse`.
struct Room {
    std::vector<std::vector<std::uint8_t>> spans;
    std::size_t most;
    bool refuse;

    static std::span<std::uint8_t> more(void* context, std::span<std::uint8_t> full) noexcept {
        auto& room = *static_cast<Room*>(context);
        if (room.refuse) return {};
        if (full.size() >= room.most) return full;
        room.spans.emplace_back(std::min(full.size() * 2, room.most), 0xEE);
        std::copy(full.begin(), full.end(), room.spans.back().begin());
        return room.spans.back();
    }
};

struct LineRow {
    std::string input;
    std::size_t first, most;
    bool refuse;
    PromptEnd end;
    std::string line;  // the bytes kept (line, end_of_file)
    std::string rest;  // left unread
};

class ReadLine : public testing::TestWithParam<LineRow> {};

TEST_P(ReadLine, KeepsTheLineWithoutItsEnd) {
    const LineRow& row = GetParam();
    Room room{{std::vector<std::uint8_t>(row.first, 0xEE)}, row.most, row.refuse};
    const PromptHooks hooks{&room, nullptr, nullptr, Room::more};
    Script<char> script{row.input};
    const PromptOutcome got = read_line(room.spans.front(), hooks, [&](std::uint8_t* byte) {
        return script(reinterpret_cast<char*>(byte));
    });
    EXPECT_EQ(got.end, row.end);
    EXPECT_EQ(script.rest, row.rest);
    const auto& last = room.spans.back();
    EXPECT_EQ(std::string(last.begin(), last.begin() + static_cast<std::ptrdiff_t>(got.length)),
              row.line);
}

const std::string ten(10, 'x');
const std::string seventeen(17, 'x');

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, ReadLine, testing::Values(
    //      input                      first most refuse  end                      line           rest
    LineRow{"s3cret\nnext",            64,   64,  false,  PromptEnd::line,         "s3cret",      "next"},
    LineRow{"s3cret\r\n",              64,   64,  false,  PromptEnd::line,         "s3cret",      ""},
    LineRow{"a\rb\n",                  64,   64,  false,  PromptEnd::line,         "a\rb",        ""},
    LineRow{"\n",                      64,   64,  false,  PromptEnd::line,         "",            ""},
    LineRow{"partial",                 64,   64,  false,  PromptEnd::end_of_file,  "partial",     ""},
    LineRow{"",                        64,   64,  false,  PromptEnd::end_of_file,  "",            ""},
    LineRow{"half\x03tail\n",          64,   64,  false,  PromptEnd::stopped,      "",            "\x03tail\n"},
    LineRow{ten + "\n",                4,    16,  false,  PromptEnd::line,         ten,           ""},
    LineRow{ten + "\r\n",              4,    12,  false,  PromptEnd::line,         ten,           ""},
    LineRow{seventeen + "\nafter",     4,    16,  false,  PromptEnd::too_long,     "",            "after"},
    LineRow{seventeen + "\x03\nafter", 4,    16,  false,  PromptEnd::stopped,      "",            "\x03\nafter"},
    LineRow{ten + "\n",                4,    16,  true,   PromptEnd::stopped,      "",            "xxxxxx\n"}));
// clang-format on

struct UnitsRow {
    std::u16string input;
    PromptEnd end;
    std::string line;  // empty: the UTF-8 form of the input up to its line end
    std::u16string rest;
};

class Utf16Line : public testing::TestWithParam<UnitsRow> {};

TEST_P(Utf16Line, IsHandedOnAsUtf8) {
    const UnitsRow& row = GetParam();
    std::string expected = row.line;
    if (expected.empty() && row.end == PromptEnd::line) {
        std::size_t end = row.input.find(u'\n');
        end -= end > 0 && row.input[end - 1] == u'\r' ? 1 : 0;
        auto utf8 = utf16_to_utf8(row.input.data(), end);
        ASSERT_TRUE(utf8);
        expected.assign(utf8->data(), utf8->length());
    }
    Room room{{std::vector<std::uint8_t>(64)}, 64, false};
    const PromptHooks hooks{&room, nullptr, nullptr, Room::more};
    Script<char16_t> script{row.input};
    char16_t units[2] = {};
    PromptOutcome got{};
    {
        Utf16Bytes bytes(units, [&](char16_t* unit) { return script(unit); });
        got = read_line(room.spans.front(), hooks, bytes);
    }
    EXPECT_EQ(got.end, row.end);
    EXPECT_EQ(script.rest, row.rest);
    EXPECT_EQ(std::string(room.spans.back().begin(),
                          room.spans.back().begin() + static_cast<std::ptrdiff_t>(got.length)),
              expected);
    EXPECT_EQ(units[0] | units[1], 0) << "the units are zeroed";
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, Utf16Line, testing::Values(
    //       input                           end                      line                        rest
    UnitsRow{u"abc\nnext",                   PromptEnd::line,         "",                         u"next"},
    UnitsRow{u"\u00e9t\u00e9 \u20ac\r\n",    PromptEnd::line,         "",                         u""},
    UnitsRow{u"\U0001F600\U00010000!\n",     PromptEnd::line,         "",                         u""},
    UnitsRow{u"\xD800" u"a\n",               PromptEnd::line,         "\xEF\xBF\xBD" "a",         u""},
    UnitsRow{u"\xD800\xD83D\xDE00\n",        PromptEnd::line,         "\xEF\xBF\xBD\xF0\x9F\x98\x80", u""},
    UnitsRow{u"b\xDC00\n",                   PromptEnd::line,         "b\xEF\xBF\xBD",            u""},
    UnitsRow{u"\xD83D\n",                    PromptEnd::line,         "\xEF\xBF\xBD",             u""},
    UnitsRow{u"\x1A\r\nnext",                PromptEnd::end_of_file,  "",                         u"next"},
    UnitsRow{u"a\x1A\n",                     PromptEnd::line,         "a\x1A",                    u""}));
// clang-format on

}  // namespace
}  // namespace hush_vault::secret::os
