// The OS layer on the system it was built for: the same contracts hold on POSIX as under Windows
// (or Wine), checked through the calls the vault makes.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "secret/fault.hpp"
#include "secret/memory.hpp"
#include "secret/os.hpp"
#include "secret/os_error_text.hpp"
#include "support/platform.hpp"

namespace hush_vault::secret {
namespace {

// Calls the lookup with a buffer of size units; the last error is set to `before` first.
struct Lookup {
    std::uint32_t result;
    os::ErrorCode error;
    std::u16string value;  // the units written, when the value fitted
};
Lookup lookup(const char16_t* name, std::uint32_t size, os::ErrorCode before = 0) {
    std::vector<char16_t> buffer(size + 1, u'#');
    os::set_last_error(before);
    std::uint32_t result = os::get_environment_variable(name, buffer.data(), size);
    Lookup out{result, os::last_error(), {}};
    if (result != 0 && result < size) {
        EXPECT_EQ(buffer[result], u'\0') << "the value is terminated";
        out.value.assign(buffer.data(), result);
    }
    return out;
}

TEST(OsLayer, EnvironmentLookupFollowsGetEnvironmentVariableW) {
    test::set_env("HUSH_VAULT_TEST_VALUE", "pässwörd €😀");
    const std::u16string expected = u"pässwörd €😀";  // 12 units: the emoji takes two
    const auto units = static_cast<std::uint32_t>(expected.size());
    const char16_t* name = u"HUSH_VAULT_TEST_VALUE";

    Lookup fits = lookup(name, units + 1, 77);
    EXPECT_EQ(fits.result, units);
    EXPECT_EQ(fits.value, expected);
    EXPECT_EQ(fits.error, 77U);
    // Too small, even by the terminator alone: the size needed, terminator included.
    EXPECT_EQ(lookup(name, units).result, units + 1);
    EXPECT_EQ(lookup(name, 1).result, units + 1);
    EXPECT_EQ(os::get_environment_variable(name, nullptr, 0), units + 1);

    test::unset_env("HUSH_VAULT_TEST_MISSING");
    Lookup missing = lookup(u"HUSH_VAULT_TEST_MISSING", 64);
    EXPECT_EQ(missing.result, 0U);
    EXPECT_EQ(missing.error, os::error_envvar_not_found);

    test::set_env("HUSH_VAULT_TEST_EMPTY", "");
    Lookup empty = lookup(u"HUSH_VAULT_TEST_EMPTY", 64);
    EXPECT_EQ(empty.result, 0U);
    EXPECT_EQ(empty.error, os::error_success) << "an empty value is not a missing one";

    test::unset_env("HUSH_VAULT_TEST_VALUE");
    test::unset_env("HUSH_VAULT_TEST_EMPTY");
    EXPECT_EQ(lookup(name, 64).error, os::error_envvar_not_found);
}

TEST(OsLayer, EnvironmentBytesThatAreNotUtf8BecomeLoneSurrogates) {
    if (test::on_windows()) {
        GTEST_SKIP() << "the Windows environment holds UTF-16, not bytes";
    }
    for (unsigned byte = 0x80; byte <= 0xFF; ++byte) {
        const char value[] = {'k', static_cast<char>(byte), 'v', '\0'};
        test::set_env("HUSH_VAULT_TEST_BYTES", value);
        Lookup got = lookup(u"HUSH_VAULT_TEST_BYTES", 16);
        EXPECT_EQ(got.value, (std::u16string{u'k', static_cast<char16_t>(0xDC00 + byte), u'v'}))
            << "byte " << byte;
    }
    // A cut-short sequence, an overlong form and an encoded surrogate, beside well-formed text.
    test::set_env("HUSH_VAULT_TEST_BYTES", "\xE2\x82|\xC0\xAF|\xED\xA0\x80|\xE2\x82\xAC");
    EXPECT_EQ(lookup(u"HUSH_VAULT_TEST_BYTES", 32).value,
              (std::u16string{0xDCE2, 0xDC82, u'|', 0xDCC0, 0xDCAF, u'|', 0xDCED, 0xDCA0, 0xDC80,
                              u'|', u'€'}));
    test::unset_env("HUSH_VAULT_TEST_BYTES");
}

TEST(OsLayer, ErrorTextsComeFromTheSystemTrimmedAndCoded) {
    // 5 is ERROR_ACCESS_DENIED on Windows and EIO on POSIX: both have a text of their own.
    const Text five = os_error_text(5);
    EXPECT_TRUE(five.ends_with(" (os error 5)")) << five;
    EXPECT_FALSE(five.starts_with("OS Error ")) << five;
    const std::string_view system_text(five.data(),
                                       five.size() - std::string_view(" (os error 5)").size());
    ASSERT_FALSE(system_text.empty());
    EXPECT_NE(system_text.back(), ' ');
    EXPECT_EQ(system_text.find_first_of("\r\n\t"), std::string_view::npos) << five;

    // A code no table knows fails the lookup with ERROR_MR_MID_NOT_FOUND everywhere.
    EXPECT_EQ(os_error_text(0x0FFFFFF0),
              "OS Error 268435440 (FormatMessageW() returned error 317) (os error 268435440)");

    // A buffer too small for the text and its terminator is refused, not filled with a part.
    std::array<char16_t, 4> small{};
    os::set_last_error(0);
    EXPECT_EQ(os::format_message(0x1200, nullptr, 5, small.data(), small.size()), 0U);
    EXPECT_EQ(os::last_error(), os::error_insufficient_buffer);
}

TEST(OsLayer, SmallRangesLockAndUnlock) {
    Vector<std::uint8_t> block(64, 0x42);
    ASSERT_TRUE(os::virtual_lock(block.data(), block.size())) << os::last_error();
    EXPECT_TRUE(os::virtual_unlock(block.data(), block.size())) << os::last_error();
    EXPECT_GT(os::page_size(), 0U);
    EXPECT_EQ(os::page_size() & (os::page_size() - 1), 0U) << "a power of two";
}

TEST(OsLayerDeathTest, FastFailEndsTheProcessWithTheSystemsFailFastStatus) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Under Windows this is interrupt 0x29, which no handler can catch; a wrong instruction or
    // code would end the process some other way, or not at all.
    EXPECT_EXIT(os::fast_fail(os::fast_fail_fatal_app_exit), test::ended_by_fast_fail, "");
    EXPECT_EXIT(internal_fault("counter went sideways"), test::ended_by_fast_fail,
                "internal fault: counter went sideways");
}

}  // namespace
}  // namespace hush_vault::secret
