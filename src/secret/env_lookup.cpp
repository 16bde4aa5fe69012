// read_env_var: the environment lookup as Windows does it, into buffers zeroed before release.
#include "env_lookup.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "fault.hpp"
#include "memory.hpp"
#include "utf8.hpp"

namespace hush_vault::secret {
namespace {

constexpr std::uint32_t max_units = std::numeric_limits<std::uint32_t>::max();

constexpr EnvSystem process_environment = {
    &os::set_last_error,
    &os::last_error,
    &os::get_environment_variable,
};

// Whether the name is refused: the system would read only the part before a U+0000, and a name
// holding '=' would match the start of another variable's "name=value" entry (or, on Windows, a
// hidden "=C:" variable, which is no secret).
bool invalid_name(std::string_view name) noexcept {
    return name.find_first_of(std::string_view("=\0", 2)) != std::string_view::npos;
}

// The name as the system takes it, UTF-16 with a terminating zero unit; nothing for an invalid
// name.
std::optional<ScrubbedBuffer<char16_t>> terminated_name(std::string_view name) noexcept {
    if (invalid_name(name)) {
        return std::nullopt;
    }
    const ScrubbedBuffer<char16_t> units =
        utf8_to_utf16(reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
    const char16_t* begin = units.data();
    const char16_t* end = begin + units.length();
    ScrubbedBuffer<char16_t> terminated(units.length() + 1);
    *std::copy(begin, end, terminated.data()) = u'\0';
    terminated.set_length(terminated.capacity());
    return terminated;
}

}  // namespace

EnvValue::EnvValue(EnvValue&& other) noexcept
    : heap_(std::move(other.heap_)),
      on_heap_(std::exchange(other.on_heap_, false)),
      length_(std::exchange(other.length_, 0)) {
    if (!on_heap_) {
        std::copy_n(other.first_, length_, first_);
    }
    secure_zero(other.first_, sizeof other.first_);
}

EnvValue::~EnvValue() {
    secure_zero(first_, sizeof first_);
}

const char16_t* EnvValue::data() const noexcept {
    return on_heap_ ? heap_.data() : first_;
}

std::optional<EnvValue> read_env_var(std::string_view name, const EnvSystem& system) noexcept {
    // One value object, returned on every path, so that it is built in place: a move would copy
    // (and then have to zero) the fixed buffer.
    std::optional<EnvValue> value(std::in_place);
    const std::optional<ScrubbedBuffer<char16_t>> wide_name = terminated_name(name);
    if (!wide_name) {
        value.reset();
        return value;
    }
    char16_t* buffer = value->first_;
    std::uint32_t n = EnvValue::first_buffer_units;
    while (true) {
        // The system leaves the last error alone for an empty value, so a stale code would
        // make an empty variable look missing.
        system.set_last_error(os::error_success);
        const std::uint32_t k = system.get_environment_variable(wide_name->data(), buffer, n);
        if (k == 0) {
            if (system.last_error() != os::error_success) {
                value.reset();
                return value;
            }
            value->length_ = 0;
            return value;
        }
        if (k < n) {
            value->length_ = k;
            return value;
        }
        if (k == n) {
            if (system.last_error() != os::error_insufficient_buffer) {
                internal_fault("the environment lookup filled its buffer for no stated reason");
            }
            if (n == max_units) {
                // Doubling cannot go on: asking again would ask forever.
                internal_fault("the environment lookup needs more than the largest buffer");
            }
            n = n > max_units / 2 ? max_units : 2 * n;
        } else {
            n = k;  // the size the value needs, its terminator included
        }
        // Every buffer offered so far was offered whole, so the new need always exceeds it: the
        // heap buffer only ever grows, and the old one is zeroed as it goes.
        value->heap_ = ScrubbedBuffer<char16_t>(n);
        value->on_heap_ = true;
        buffer = value->heap_.data();
    }
}

std::optional<EnvValue> read_env_var(std::string_view name) noexcept {
    return read_env_var(name, process_environment);
}

Expected<ScrubbedBuffer<char>, EnvMiss> read_env_utf8(std::string_view name,
                                                      const EnvSystem& system) noexcept {
    if (invalid_name(name)) {
        return Unexpected(EnvMiss::invalid_name);
    }
    const std::optional<EnvValue> value = read_env_var(name, system);
    if (!value) {
        return Unexpected(EnvMiss::not_set);
    }
    auto text = utf16_to_utf8(value->data(), value->length());
    if (!text) {
        return Unexpected(EnvMiss::invalid_value);
    }
    return std::move(*text);
}

Expected<ScrubbedBuffer<char>, EnvMiss> read_env_utf8(std::string_view name) noexcept {
    return read_env_utf8(name, process_environment);
}

}  // namespace hush_vault::secret
