// read_env_var: a variable of the process environment, read as Windows does it, into buffers
// that are zeroed before release.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "os.hpp"
#include "result.hpp"
#include "scrubbed_buffer.hpp"

namespace hush_vault::secret {

// The environment calls read_env_var makes; the process uses the OS layer, tests a fake.
struct EnvSystem {
    void (*set_last_error)(os::ErrorCode code) noexcept;
    os::ErrorCode (*last_error)() noexcept;
    std::uint32_t (*get_environment_variable)(const char16_t* name, char16_t* buffer,
                                              std::uint32_t size) noexcept;
};

// A value read from the environment: up to 511 units live in the fixed first buffer, longer
// ones in a heap buffer. Both are zeroed when the value goes.
class EnvValue {
  public:
    static constexpr std::uint32_t first_buffer_units = 512;

    EnvValue() noexcept = default;
    EnvValue(EnvValue&& other) noexcept;
    EnvValue& operator=(EnvValue&&) = delete;
    EnvValue(const EnvValue&) = delete;
    EnvValue& operator=(const EnvValue&) = delete;
    ~EnvValue();

    [[nodiscard]] const char16_t* data() const noexcept;
    [[nodiscard]] std::size_t length() const noexcept { return length_; }

  private:
    friend std::optional<EnvValue> read_env_var(std::string_view name,
                                                const EnvSystem& system) noexcept;

    char16_t first_[first_buffer_units] = {};
    ScrubbedBuffer<char16_t> heap_;
    bool on_heap_ = false;
    std::size_t length_ = 0;
};

// The value of the variable named by the UTF-8 text `name`, as UTF-16; nothing when the variable
// is missing, the name holds U+0000 or '=' (never looked up: the lookup would match another
// variable's name and value, or Windows' hidden "=C:" ones), or the system refuses. The first call
// offers 512 units; a larger need is met by a heap buffer of the size the system reports (or
// doubled, when it reports ERROR_INSUFFICIENT_BUFFER). Any other result is an internal fault.
[[nodiscard]] std::optional<EnvValue> read_env_var(std::string_view name) noexcept;
[[nodiscard]] std::optional<EnvValue> read_env_var(std::string_view name,
                                                   const EnvSystem& system) noexcept;

// Why read_env_utf8 found nothing.
enum class EnvMiss {
    not_set,        // missing, or the system refused
    invalid_value,  // not valid UTF-16 (on POSIX: its bytes are not valid UTF-8)
    invalid_name,   // the name holds U+0000 or '='
};

// The variable's value as UTF-8 bytes, or why there is none.
[[nodiscard]] Expected<ScrubbedBuffer<char>, EnvMiss> read_env_utf8(std::string_view name) noexcept;
[[nodiscard]] Expected<ScrubbedBuffer<char>, EnvMiss> read_env_utf8(
    std::string_view name, const EnvSystem& system) noexcept;

}  // namespace hush_vault::secret
