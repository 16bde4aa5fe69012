// Result objects handed to the interpreter, and the end of every call through the frame.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "frame/py_ref.hpp"
#include "frame/vault_error.hpp"
#include "secret/utf8.hpp"

namespace hush_vault::frame {

// A new str holding well-formed UTF-8 text, decoded by us straight into the string's own storage:
// the interpreter's decoder widens as it goes and frees the narrow copies unzeroed, so secret
// text never passes through it. Text that is not well-formed UTF-8, or the interpreter failing to
// make the object, is an internal fault.
[[nodiscard]] Ref new_str(std::string_view utf8) noexcept;
// The same for bytes whose shape measure_utf8 has already given.
[[nodiscard]] Ref new_str(std::span<const std::uint8_t> utf8, secret::TextShape shape) noexcept;

// A new bytes object; the interpreter failing to make it is an internal fault.
[[nodiscard]] inline Ref new_bytes(std::span<const std::uint8_t> bytes) noexcept {
    Ref object = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                      static_cast<Py_ssize_t>(bytes.size())));
    if (!object) {
        api_call_failed();
    }
    return object;
}

[[nodiscard]] inline Ref new_bool(bool value) noexcept {
    return Ref::borrow(value ? Py_True : Py_False);
}
[[nodiscard]] inline Ref new_none() noexcept {
    return Ref::borrow(Py_None);
}

// The error of a failed step, to return from a function that yields a Result.
template <class T>
[[nodiscard]] Unexpected<VaultError> propagate(Result<T>& failed) noexcept {
    return Unexpected(std::move(failed).error());
}

// Ends a call: the new reference for the interpreter, or null once the error is raised.
[[nodiscard]] inline PyObject* finish(Result<Ref> result) noexcept {
    if (!result) {
        std::move(result).error().raise();
        return nullptr;
    }
    return result->release();
}

}  // namespace hush_vault::frame
