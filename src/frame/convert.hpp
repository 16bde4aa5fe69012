// Conversions of bound arguments to the native values the vault takes. Each returns the raw
// failure; `argument` gives a failing TypeError the parameter's name.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "frame/vault_error.hpp"

namespace hush_vault::frame {

// The buffer of an object already known to be bytes or a subclass (borrowed from it).
[[nodiscard]] inline std::span<const std::uint8_t> bytes_view(PyObject* bytes) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes)),
            static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

// bytes or a subclass: the object's own buffer (borrowed from it).
[[nodiscard]] Result<std::span<const std::uint8_t>> to_bytes(PyObject* object) noexcept;

// str or a subclass: its UTF-8 text, cached by the interpreter in the object.
[[nodiscard]] Result<std::string_view> to_text(PyObject* object) noexcept;

// Exactly bool, or NumPy's boolean scalar; null (not given) is false.
[[nodiscard]] Result<bool> to_bool(PyObject* object) noexcept;

// An int, or anything with __index__, from 0 to 2**64 - 1.
[[nodiscard]] Result<std::uint64_t> to_u64(PyObject* object) noexcept;

// As to_u64; null (not given) and None are nothing.
[[nodiscard]] Result<std::optional<std::uint64_t>> to_optional_u64(PyObject* object) noexcept;

// "argument '{name}': {inner}" when the failure is exactly a TypeError, with the inner error's
// cause as its cause (and so its context suppressed); any other error unchanged. A module
// function names itself first: "{function} argument '{name}': {inner}".
[[nodiscard]] VaultError argument_error(std::string_view name, VaultError inner,
                                        std::string_view function = {}) noexcept;

template <class T>
[[nodiscard]] Result<T> argument(std::string_view name, Result<T> converted,
                                 std::string_view function = {}) noexcept {
    if (!converted) {
        return Unexpected(argument_error(name, std::move(converted).error(), function));
    }
    return converted;
}

}  // namespace hush_vault::frame
