// VaultError: the error value every fallible operation returns, raised only at the boundary.
// Lazy errors (a built-in class and a text, or the two types of a cast error) make no Python
// object until they are raised; captured errors hold an exception taken from the interpreter.
#pragma once

#include <optional>
#include <string_view>
#include <variant>

#include "frame/py_ref.hpp"
#include "secret/fault.hpp"
#include "secret/memory.hpp"
#include "secret/result.hpp"

namespace hush_vault::frame {

using secret::Text;

class VaultError {
  public:
    // A lazy error with a text of static storage duration (never copied).
    [[nodiscard]] static VaultError make(PyObject* exception_class, const char* fixed) noexcept;
    // A lazy error with a text built now and owned by the error.
    [[nodiscard]] static VaultError make(PyObject* exception_class, Text text) noexcept;
    // TypeError "'{from}' object cannot be cast as '{to}'", its text built when raised.
    [[nodiscard]] static VaultError cast(PyTypeObject* from, PyTypeObject* to) noexcept;
    // The interpreter's pending exception, if any, taken out of the interpreter.
    [[nodiscard]] static std::optional<VaultError> take_pending() noexcept;
    // The pending exception, or SystemError "attempted to fetch exception but none was set".
    [[nodiscard]] static VaultError take_pending_or_system_error() noexcept;

    VaultError(VaultError&&) noexcept = default;
    VaultError& operator=(VaultError&&) noexcept = default;
    VaultError(const VaultError&) = delete;
    VaultError& operator=(const VaultError&) = delete;
    ~VaultError() = default;

    // Makes the error the interpreter's pending exception; the error is consumed.
    void raise() && noexcept;

    // Turns a lazy error into a captured one, not left pending, and lends the instance.
    PyObject* materialise() noexcept;

    // Attaches a note to the error (BaseException.add_note), materialising it. When the note
    // cannot be attached, the error becomes the interpreter's reason why.
    void add_note(std::string_view note) noexcept;

    // True when the error's class is exactly TypeError (no subclass). Decided on the materialised
    // instance: materialising can itself fail, with a MemoryError in place of the lazy error.
    [[nodiscard]] bool is_exactly_type_error() noexcept;

  private:
    struct Lazy {
        PyObject* exception_class;  // a built-in class: referenced only when raised
        const char* fixed;          // the text, when it is of static storage duration
        Text owned;                 // the text otherwise
    };
    struct Cast {
        Ref from;
        Ref to;
    };
    struct Captured {
        Ref instance;
    };

    explicit VaultError(std::variant<Lazy, Cast, Captured> state) noexcept
        : state_(std::move(state)) {}
    void set_pending() && noexcept;

    std::variant<Lazy, Cast, Captured> state_;
    bool materialising_ = false;
};

template <class T>
using Result = secret::Expected<T, VaultError>;
using secret::Unexpected;

// The text of an object for a message: str(object) as UTF-8, each byte that is not valid UTF-8
// shown as U+FFFD. A failing str() is reported as unraisable and gives
// "<unprintable {type name} object>" (or "<unprintable object>").
[[nodiscard]] Text format_object(PyObject* object) noexcept;

// The interpreter could not make an object it must make: print its error, then end the process.
[[noreturn]] void api_call_failed(
    secret::SourcePosition where = secret::SourcePosition::current()) noexcept;

}  // namespace hush_vault::frame
