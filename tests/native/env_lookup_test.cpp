// The environment lookup, driven through a fake system that keeps the system's conventions, and
// once through the real process environment.
#include "secret/env_lookup.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/platform.hpp"

namespace hush_vault::secret {
namespace {

// Global, because the system interface is plain function pointers.
struct FakeEnvironment {
    std::optional<std::u16string> value;       // none: the variable is not set
    std::vector<std::u16string> later_values;  // what the value becomes after each call, in turn
    os::ErrorCode short_buffer_error = 0;      // non-zero: a short buffer gives k == size
    os::ErrorCode last_error = 2;              // stale, as a thread's last error often is
    std::u16string name_seen;
    std::vector<std::uint32_t> sizes_offered;
} fake;

void fake_set_last_error(os::ErrorCode code) noexcept {
    fake.last_error = code;
}
os::ErrorCode fake_last_error() noexcept {
    return fake.last_error;
}

std::uint32_t fake_get(const char16_t* name, char16_t* buffer, std::uint32_t size) noexcept {
    fake.name_seen = name;
    fake.sizes_offered.push_back(size);
    const std::optional<std::u16string> value = fake.value;
    if (!fake.later_values.empty()) {
        fake.value = fake.later_values.front();
        fake.later_values.erase(fake.later_values.begin());
    }
    if (!value) {
        fake.last_error = os::error_envvar_not_found;
        return 0;
    }
    const auto length = static_cast<std::uint32_t>(value->size());
    if (length < size) {
        buffer[value->copy(buffer, length)] = u'\0';
        return length;  // an empty value leaves the last error as it was
    }
    if (fake.short_buffer_error != 0) {
        std::fill_n(buffer, size, u'?');  // the whole offered size must really be there
        fake.last_error = fake.short_buffer_error;
        return size;
    }
    return length + 1;
}

constexpr EnvSystem fake_system = {&fake_set_last_error, &fake_last_error, &fake_get};

void reset(std::optional<std::u16string> value, std::vector<std::u16string> later_values = {},
           os::ErrorCode short_buffer_error = 0) {
    fake = FakeEnvironment{};
    fake.value = std::move(value);
    fake.later_values = std::move(later_values);
    fake.short_buffer_error = short_buffer_error;
}

// Units of every width (ASCII, Latin-1, BMP, a surrogate pair), cut wherever n says.
std::u16string value_of_length(std::size_t n) {
    std::u16string out;
    while (out.size() < n) out += u"k\u00e9y\u20ac\U0001F511";
    out.resize(n);
    return out;
}

// Long values are reported by length and first difference rather than printed whole.
testing::AssertionResult holds(const EnvValue& got, const std::u16string& value) {
    const std::u16string units(got.data(), got.length());
    if (units == value) return testing::AssertionSuccess();
    const auto at = std::mismatch(units.begin(), units.end(), value.begin(), value.end());
    return testing::AssertionFailure()
           << "read " << units.size() << " units, expected " << value.size()
           << ", first difference at " << (at.first - units.begin());
}

testing::AssertionResult holds(const std::optional<EnvValue>& got, const std::u16string& value) {
    return got ? holds(*got, value) : testing::AssertionFailure() << "nothing read";
}

TEST(EnvLookup, ValuesAroundTheFixedBufferComeBackWholeAfterTheCallsTheSystemAskedFor) {
    const char* name = "S\u00e9same_\U0001F511";
    for (std::size_t length : {0, 1, 511, 512, 513, 5000}) {
        reset(value_of_length(length));
        const std::optional<EnvValue> read = read_env_var(name, fake_system);
        ASSERT_TRUE(holds(read, *fake.value)) << length;
        EXPECT_EQ(fake.name_seen, u"S\u00e9same_\U0001F511");
        std::vector<std::uint32_t> expected = {EnvValue::first_buffer_units};
        if (length >= EnvValue::first_buffer_units) expected.push_back(length + 1);
        EXPECT_EQ(fake.sizes_offered, expected) << length;

        // Short values stay inside the EnvValue itself, so a move must copy and clear them.
        const auto* inside = reinterpret_cast<const char*>(&*read);
        const auto* data = reinterpret_cast<const char*>(read->data());
        EXPECT_EQ(data >= inside && data < inside + sizeof(EnvValue), length < 512) << length;
        std::optional<EnvValue> source = read_env_var(name, fake_system);
        const EnvValue moved(std::move(*source));
        EXPECT_TRUE(holds(moved, *fake.value));
        EXPECT_TRUE(holds(source, u"")) << length;
        EXPECT_TRUE(std::all_of(source->data(), source->data() + EnvValue::first_buffer_units,
                                [](char16_t u) { return u == 0; }));
    }
}

TEST(EnvLookup, AShortBufferErrorDoublesTheOfferUntilTheValueFits) {
    reset(value_of_length(5000), {}, os::error_insufficient_buffer);
    EXPECT_TRUE(holds(read_env_var("S", fake_system), *fake.value));
    std::vector<std::uint32_t> expected = {EnvValue::first_buffer_units};
    while (expected.back() <= 5000) expected.push_back(2 * expected.back());
    EXPECT_EQ(fake.sizes_offered, expected);
}

TEST(EnvLookupDeathTest, AFullBufferForAnyOtherReasonIsAnInternalFault) {
    reset(value_of_length(600), {}, 5);
    EXPECT_EXIT((void)read_env_var("S", fake_system), test::ended_by_fast_fail, "internal fault");
}

TEST(EnvLookup, AValueThatChangesBetweenCallsIsReadAsItIsAtTheLastCall) {
    reset(value_of_length(600), {value_of_length(5000)});
    EXPECT_TRUE(holds(read_env_var("S", fake_system), value_of_length(5000)));
    EXPECT_EQ(fake.sizes_offered, (std::vector<std::uint32_t>{512, 601, 5001}));

    reset(value_of_length(5000), {value_of_length(3)});
    EXPECT_TRUE(holds(read_env_var("S", fake_system), value_of_length(3)));
}

TEST(EnvLookup, MissingVariablesAndNamesHoldingNulOrEqualsGiveNothing) {
    reset(std::nullopt);
    EXPECT_FALSE(read_env_var("S", fake_system).has_value());
    EXPECT_EQ(read_env_utf8("S", fake_system).error(), EnvMiss::not_set);
    EXPECT_EQ(fake.sizes_offered.size(), 2U);

    // A name holding '=' would match the start of another entry ("S=T=x" for "S=T").
    reset(u"x");
    for (std::string_view name : {std::string_view("S\0T", 3), std::string_view("S=T"),
                                  std::string_view("=S"), std::string_view("S=")}) {
        EXPECT_FALSE(read_env_var(name, fake_system).has_value()) << name;
        EXPECT_EQ(read_env_utf8(name, fake_system).error(), EnvMiss::invalid_name) << name;
    }
    EXPECT_TRUE(fake.sizes_offered.empty());  // the system was never asked
}

TEST(EnvLookup, Utf8FormIsTheValueEncodedOrNothingForAnUnpairedSurrogate) {
    reset(u"caf\u00e9\U0001F511");
    const auto text = read_env_utf8("S", fake_system);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(std::string(text->data(), text->length()), "caf\xC3\xA9\xF0\x9F\x94\x91");

    for (const char16_t* invalid : {u"ab\xD800", u"\xDC00-ab", u"\xDBFF\xDBFF"}) {
        reset(invalid);
        EXPECT_TRUE(read_env_var("S", fake_system).has_value());
        EXPECT_EQ(read_env_utf8("S", fake_system).error(), EnvMiss::invalid_value);
    }
}

TEST(EnvLookup, ReadsTheProcessEnvironment) {
    const char* name = "HUSH_VAULT_ENV_LOOKUP_TEST_\xC3\x89";
    const auto read = [&]() -> std::optional<std::string> {
        auto text = read_env_utf8(name);
        return text ? std::optional(std::string(text->data(), text->length())) : std::nullopt;
    };
    for (const std::string& value :
         {std::string(), std::string("caf\xC3\xA9\xF0\x9F\x94\x91"), std::string(5000, 'x')}) {
        test::set_env(name, value.c_str());
        EXPECT_EQ(read(), value);
    }
    if (!test::on_windows()) {  // only POSIX can hold bytes that are not UTF-8
        test::set_env(name, "bad\xFF");
        EXPECT_TRUE(read_env_var(name).has_value());
        EXPECT_EQ(read(), std::nullopt);
    }
    test::unset_env(name);
    EXPECT_EQ(read(), std::nullopt);
}

}  // namespace
}  // namespace hush_vault::secret
