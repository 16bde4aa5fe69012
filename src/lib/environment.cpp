// The environment constructor: a vault filled from a variable of the process environment.
#include "lib/operations.hpp"
#include "secret/env_lookup.hpp"

namespace hush_vault::lib {
namespace {

// The KeyError's note: which variable, and why it gave no value. The name is shown as Python's
// repr shows it, so that a U+0000 or a trailing space is visible. The note is an addition to the
// error: when the interpreter cannot show the name (out of memory), it says so instead.
secret::Text not_found_note(std::string_view name, secret::EnvMiss miss) noexcept {
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace"));
    Ref shown = text ? Ref::steal(PyObject_Repr(text.get())) : Ref();
    secret::Text note("environment variable ");
    note += shown ? frame::format_object(shown.get()) : secret::Text("(unprintable name)");
    PyErr_Clear();
    switch (miss) {
        case secret::EnvMiss::not_set:
            note += " is not set";
            break;
        case secret::EnvMiss::invalid_value:
            note += ": its value is not valid ";
            note += secret::os::environment_encoding();
            break;
        case secret::EnvMiss::invalid_name:
            // Not "no variable can have it": Windows keeps hidden variables named "=C:" and alike.
            note += ": a name holding '=' or U+0000 is never looked up";
            break;
    }
    return note;
}

}  // namespace

Result<VaultRecord> record_from_env(std::string_view name, bool is_volatile) noexcept {
    auto value = secret::read_env_utf8(name);
    if (!value) {
        auto error = VaultError::make(PyExc_KeyError, "Env var not found");
        error.add_note(not_found_note(name, value.error()));
        return Unexpected(std::move(error));
    }
    auto buffer = secret::SecretBuffer::from_bytes(
        reinterpret_cast<const std::uint8_t*>(value->data()), value->length());
    auto created_at = secret::monotonic_now();
    auto locked = buffer.lock();
    // The intermediate UTF-8 copy is zeroed and released whatever the lock gave.
    value = Unexpected(secret::EnvMiss::not_set);
    if (!locked) {
        buffer.wipe();
        return Unexpected(lock_refused(locked.error()));
    }
    return VaultRecord(std::move(buffer), created_at, std::nullopt, is_volatile);
}

}  // namespace hush_vault::lib
