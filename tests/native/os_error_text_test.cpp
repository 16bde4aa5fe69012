// os_error_text over a fake message table: the arguments of the lookup, the NT facility rule, the
// trimming, the two fallbacks and the appended code.
#include "secret/os_error_text.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace hush_vault::secret {
namespace {

// What the fake message table answers, and what it was asked.
struct FakeMessages {
    std::u16string text;        // returned when failure == 0
    os::ErrorCode failure = 0;  // non-zero: return 0 with this last error
    os::ModuleHandle ntdll = nullptr;
    std::uint32_t flags = 0;
    os::ModuleHandle source = nullptr;
    std::uint32_t id = 0;
    std::uint32_t size = 0;
    bool buffer_was_zeroed = false;
    int calls = 0;
};
FakeMessages fake;

MessageSystem fake_system() {
    return {
        []() noexcept { return fake.ntdll; },
        [](std::uint32_t flags, os::ModuleHandle source, std::uint32_t id, char16_t* buffer,
           std::uint32_t size) noexcept -> std::uint32_t {
            ++fake.calls;
            fake.flags = flags;
            fake.source = source;
            fake.id = id;
            fake.size = size;
            fake.buffer_was_zeroed =
                std::all_of(buffer, buffer + size, [](char16_t u) { return u == 0; });
            if (fake.failure != 0) {
                return 0;
            }
            std::copy(fake.text.begin(), fake.text.end(), buffer);
            return static_cast<std::uint32_t>(fake.text.size());
        },
        []() noexcept { return fake.failure; },
    };
}

std::string render(std::int32_t code, std::u16string text, os::ErrorCode failure = 0) {
    fake = FakeMessages{};
    fake.text = std::move(text);
    fake.failure = failure;
    Text rendered = os_error_text(code, fake_system());
    return {rendered.begin(), rendered.end()};
}

TEST(OsErrorText, AsksTheSystemTableAndTrimsTrailingWhiteSpace) {
    EXPECT_EQ(render(5, u"Access is denied.\r\n"), "Access is denied. (os error 5)");
    EXPECT_EQ(fake.calls, 1);
    EXPECT_EQ(fake.flags, 0x1200U);
    EXPECT_EQ(fake.source, nullptr);
    EXPECT_EQ(fake.id, 5U);
    EXPECT_EQ(fake.size, 2048U);
    EXPECT_TRUE(fake.buffer_was_zeroed);

    // Every trailing White_Space character goes, whatever its plane; inner and leading ones stay.
    EXPECT_EQ(render(5,
                     u"  two  words\t\v\f \u0085\u00A0\u1680\u2000\u200A\u2028\u2029\u202F"
                     u"\u205F\u3000\r\n"),
              "  two  words (os error 5)");
    // Not White_Space: zero-width space, byte-order mark, and U+180E (no longer a space).
    EXPECT_EQ(render(5, u"x\u200B\uFEFF\u180E"), "x\u200B\uFEFF\u180E (os error 5)");
    EXPECT_EQ(render(5, u" \r\n\u3000"), " (os error 5)");
    EXPECT_EQ(render(112, u"Espace insuffisant sur le disque – réessayez 😀.\r\n"),
              "Espace insuffisant sur le disque – réessayez 😀. (os error 112)");
}

TEST(OsErrorText, TextThatIsNotUtf16FallsBackWithTheLookedUpId) {
    EXPECT_EQ(render(5, std::u16string(u"bad \xD800 pair\r\n")),
              "OS Error 5 (FormatMessageW() returned invalid UTF-16) (os error 5)");
    EXPECT_EQ(render(5, std::u16string(u"ends high \xD83D\r\n")),
              "OS Error 5 (FormatMessageW() returned invalid UTF-16) (os error 5)");
    EXPECT_EQ(render(5, std::u16string(u"\xDE00 low first")),
              "OS Error 5 (FormatMessageW() returned invalid UTF-16) (os error 5)");
}

TEST(OsErrorText, MissingTextFallsBackWithBothCodesSigned) {
    EXPECT_EQ(render(15100, u"", 317),
              "OS Error 15100 (FormatMessageW() returned error 317) (os error 15100)");
    // Codes with the top bit set print as negative 32-bit numbers, in the fallback and the tail.
    EXPECT_EQ(render(static_cast<std::int32_t>(0x80070005U), u"", 0x8007000EU),
              "OS Error -2147024891 (FormatMessageW() returned error -2147024882) "
              "(os error -2147024891)");
}

TEST(OsErrorText, NtFacilityCodesAreLookedUpInNtdllWithoutTheBit) {
    constexpr auto code =
        static_cast<std::int32_t>(0xD0000022U);  // STATUS_ACCESS_DENIED | 0x1000_0000
    int ntdll_stand_in = 0;

    fake = FakeMessages{};
    fake.ntdll = &ntdll_stand_in;
    fake.failure = 317;
    Text rendered = os_error_text(code, fake_system());
    EXPECT_EQ(fake.flags, 0x1A00U);
    EXPECT_EQ(fake.source, &ntdll_stand_in);
    EXPECT_EQ(fake.id, 0xC0000022U);
    // The fallback names the id that was looked up; the tail, the code as passed.
    EXPECT_EQ(rendered,
              "OS Error -1073741790 (FormatMessageW() returned error 317) (os error -805306334)");

    fake = FakeMessages{};
    fake.ntdll = &ntdll_stand_in;
    fake.text = u"{Access Denied}\r\n";
    EXPECT_EQ(os_error_text(code, fake_system()), "{Access Denied} (os error -805306334)");

    // Without NTDLL the code is looked up as it is, in the system table.
    fake = FakeMessages{};
    fake.failure = 317;
    rendered = os_error_text(code, fake_system());
    EXPECT_EQ(fake.flags, 0x1200U);
    EXPECT_EQ(fake.source, nullptr);
    EXPECT_EQ(fake.id, 0xD0000022U);
    EXPECT_EQ(rendered,
              "OS Error -805306334 (FormatMessageW() returned error 317) (os error -805306334)");
}

}  // namespace
}  // namespace hush_vault::secret
