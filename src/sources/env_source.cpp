// pop_env: a variable of the environment into a vault, then out of the process: removed from the
// C environment and os.environ, and the copies the process can reach zeroed.
#include "frame/binding.hpp"
#include "frame/convert.hpp"
#include "frame/env_error.hpp"
#include "frame/pure/binding_messages.hpp"
#include "frame/results.hpp"
#include "secret/env_lookup.hpp"
#include "secret/memory.hpp"
#include "secret/os_sources.hpp"
#include "sources/entries.hpp"
#include "sources/specs.hpp"
#include "sources/vault_maker.hpp"

namespace hush_vault::sources {
namespace {

using frame::propagate;

// Zeroes a value object of os.environ or of the interpreter's start-up copy once it is ours
// alone; an object someone else still holds (or an immortal one) is left as it is.
void zero_if_sole(Ref& value) noexcept {
    if (!value || Py_REFCNT(value.get()) != 1) {
        return;
    }
    if (PyBytes_CheckExact(value.get())) {
        secret::secure_zero(PyBytes_AS_STRING(value.get()),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(value.get())));
    } else if (PyUnicode_CheckExact(value.get())) {
        secret::secure_zero(PyUnicode_DATA(value.get()),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(value.get())) *
                                PyUnicode_KIND(value.get()));
    }
}

// Takes `key` out of `mapping` (a dict), returning its value; nothing when it is not there.
Ref pop_item(PyObject* mapping, PyObject* key) noexcept {
    if (mapping == nullptr || !PyDict_Check(mapping)) {
        return {};
    }
    Ref value = Ref::borrow(PyDict_GetItemWithError(mapping, key));
    if (value && PyDict_DelItem(mapping, key) != 0) {
        PyErr_Clear();
    }
    PyErr_Clear();
    return value;
}

// The interpreter's copies of the variable: os.environ's value (os.environ._data, keyed by
// encodekey(name)) and the start-up copy in posix.environ (nt.environ on Windows), which usually
// is the very same object. Both are taken out of their dictionaries and zeroed when nobody else
// holds them. Failures here change nothing already done and raise nothing: the vault exists and
// the C environment no longer holds the variable.
void forget_python_copies(PyObject* name) noexcept {
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    Ref os_environ = os ? Ref::steal(PyObject_GetAttrString(os.get(), "environ")) : Ref();
    Ref data = os_environ ? Ref::steal(PyObject_GetAttrString(os_environ.get(), "_data")) : Ref();
    Ref key = os_environ ? Ref::steal(PyObject_CallMethod(os_environ.get(), "encodekey", "O", name))
                         : Ref();
    Ref system_name = os ? Ref::steal(PyObject_GetAttrString(os.get(), "name")) : Ref();
    Ref system = system_name ? Ref::steal(PyImport_Import(system_name.get())) : Ref();
    Ref startup = system ? Ref::steal(PyObject_GetAttrString(system.get(), "environ")) : Ref();
    PyErr_Clear();
    Ref value = key ? pop_item(data.get(), key.get()) : Ref();
    // The start-up copy is keyed by the name as the system gave it: bytes on POSIX, str on Windows.
    Ref startup_value = key ? pop_item(startup.get(), key.get()) : Ref();
    if (!startup_value) {
        startup_value = pop_item(startup.get(), name);
    }
    // The C runtime's own table (Windows keeps one beside the system's block): the
    // interpreter's unsetenv clears both. Elsewhere the variable is already gone.
    if (os) {
        Ref unset = Ref::steal(PyObject_CallMethod(os.get(), "unsetenv", "O", name));
        PyErr_Clear();
    }
    if (startup_value.get() == value.get()) {
        startup_value = Ref();
    }
    zero_if_sole(value);
    zero_if_sole(startup_value);
}

Result<Ref> pop_env_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const auto& spec = pop_env_spec;
    auto bound = frame::bind_fastcall(spec, args, nargs, kwnames);
    if (!bound) return propagate(bound);
    auto name = frame::argument("var_name", frame::to_text((*bound)[0]), frame::full_name(spec));
    if (!name) return propagate(name);
    auto options = vault_options(spec, (*bound)[1], (*bound)[2]);
    if (!options) return propagate(options);
    Ref vault;
    {
        auto value = secret::read_env_utf8(*name);
        if (!value) {
            return Unexpected(frame::env_var_not_found(*name, value.error()));
        }
        auto made = make_vault(
            {reinterpret_cast<const std::uint8_t*>(value->data()), value->length()}, *options);
        // A vault that could not be made leaves the variable where it was.
        if (!made) return propagate(made);
        vault = std::move(*made);
    }
    // The name is valid here: the lookup refuses names holding '=' or U+0000.
    secret::os::erase_environment_variable(Text(*name).c_str());
    forget_python_copies((*bound)[0]);
    return vault;
}

}  // namespace

namespace entries {

PyObject* pop_env(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
    return frame::finish(pop_env_call(args, nargs, kwnames));
}

}  // namespace entries
}  // namespace hush_vault::sources
