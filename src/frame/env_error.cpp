// The KeyError of a missing or unusable environment variable, and its note.
#include "frame/env_error.hpp"

#include "secret/os.hpp"

namespace hush_vault::frame {
namespace {

// Which variable, and why it gave no value. The name is shown as Python's repr shows it, so that
// a U+0000 or a trailing space is visible. The note is an addition to the error: when the
// interpreter cannot show the name (out of memory), it says so instead.
Text not_found_note(std::string_view name, secret::EnvMiss miss) noexcept {
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace"));
    Ref shown = text ? Ref::steal(PyObject_Repr(text.get())) : Ref();
    Text note("environment variable ");
    note += shown ? format_object(shown.get()) : Text("(unprintable name)");
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

VaultError env_var_not_found(std::string_view name, secret::EnvMiss miss) noexcept {
    auto error = VaultError::make(PyExc_KeyError, "Env var not found");
    error.add_note(not_found_note(name, miss));
    return error;
}

}  // namespace hush_vault::frame
