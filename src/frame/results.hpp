// Result objects handed to the interpreter, and the end of every call through the frame.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "frame/py_ref.hpp"
#include "frame/vault_error.hpp"

namespace hush_vault::frame {

// A new str from UTF-8 text; the interpreter failing to make it is an internal fault.
[[nodiscard]] inline Ref new_str(std::string_view utf8) noexcept {
    Ref text =
        Ref::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
    if (!text) {
        api_call_failed();
    }
    return text;
}

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
