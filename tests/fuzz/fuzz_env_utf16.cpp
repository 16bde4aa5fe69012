// Differential fuzzer: the environment lookup's UTF-16 conversions, and the whole lookup through
// a fake system that keeps the system's conventions. Input: a flags byte, the name's length and
// bytes, then the value's UTF-16 units (little-endian), repeated to reach the heap-buffer path.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "reference.hpp"
#include "secret/env_lookup.hpp"
#include "secret/utf8.hpp"

namespace {

using namespace hush_vault::secret;

// Global, because the system interface is plain function pointers.
struct FakeSystem {
    std::optional<std::u16string> value;  // none: the variable is not set
    bool short_buffer_fills = false;      // a short buffer gives k == size, as older systems do
    os::ErrorCode last_error = 0;
    std::u16string name_seen;
    bool called = false;
} fake;

void fake_set_last_error(os::ErrorCode code) noexcept {
    fake.last_error = code;
}
os::ErrorCode fake_last_error() noexcept {
    return fake.last_error;
}
std::uint32_t fake_get(const char16_t* name, char16_t* buffer, std::uint32_t size) noexcept {
    fake.called = true;
    fake.name_seen = name;
    if (!fake.value) {
        fake.last_error = os::error_envvar_not_found;
        return 0;
    }
    const auto length = static_cast<std::uint32_t>(fake.value->size());
    if (length < size) {
        buffer[fake.value->copy(buffer, length)] = u'\0';
        return length;
    }
    if (fake.short_buffer_fills) {
        std::fill_n(buffer, size, u'?');  // the whole offered size must really be there
        fake.last_error = os::error_insufficient_buffer;
        return size;
    }
    return length + 1;
}
constexpr EnvSystem fake_system = {&fake_set_last_error, &fake_last_error, &fake_get};

constexpr std::size_t max_value_units = 3000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t flags = data[0];
    const std::size_t name_length = std::min<std::size_t>(data[1], size - 2);
    const std::uint8_t* name = data + 2;
    const std::uint8_t* rest = name + name_length;
    const std::size_t rest_size = size - 2 - name_length;

    const std::u16string wide_name = fuzz::ref_utf8_to_utf16(name, name_length);
    const ScrubbedBuffer<char16_t> converted = utf8_to_utf16(name, name_length);
    if (std::u16string(converted.data(), converted.length()) != wide_name) {
        fuzz::mismatch("env_utf16", "utf8_to_utf16 differs");
    }

    std::u16string units;
    for (std::size_t i = 0; i + 1 < rest_size; i += 2) {
        units += static_cast<char16_t>(rest[i] | (rest[i + 1] << 8));
    }
    const std::optional<std::string> expected = fuzz::ref_utf16_to_utf8(units.data(), units.size());
    const std::optional<ScrubbedBuffer<char>> back = utf16_to_utf8(units.data(), units.size());
    if (back.has_value() != expected.has_value() ||
        (back && std::string(back->data(), back->length()) != *expected)) {
        fuzz::mismatch("env_utf16", "utf16_to_utf8 differs");
    }

    // The lookup as a whole: the value repeated (flags bits 2..4) to pass the first buffer.
    std::u16string value = units;
    for (unsigned r = (flags >> 2) & 7U; r > 0 && !units.empty(); --r) {
        while (value.size() < max_value_units / 8 * r) value += units;
    }
    fake = FakeSystem{};
    if ((flags & 1U) == 0) fake.value = value;
    fake.short_buffer_fills = (flags & 2U) != 0;
    fake.last_error = flags >> 5;  // a stale code must not make an empty value look missing

    const auto got = read_env_utf8(fuzz::as_text(name, name_length), fake_system);
    // No variable is named with U+0000 or '=': the system is not asked.
    const bool refused_name = wide_name.find_first_of(u"=\0", 0, 2) != std::u16string::npos;
    std::optional<std::string> want;
    if (!refused_name && fake.value) want = fuzz::ref_utf16_to_utf8(value.data(), value.size());
    if (got.has_value() != want.has_value() ||
        (got && std::string(got->data(), got->length()) != *want)) {
        fuzz::mismatch("env_utf16", "read_env_utf8 differs");
    }
    if (refused_name ? fake.called : fake.name_seen != wide_name) {
        fuzz::mismatch("env_utf16", "the system saw the wrong name");
    }
    return 0;
}
