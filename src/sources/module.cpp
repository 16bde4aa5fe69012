// The entry point of hush_vault_sources: its functions, each returning an ordinary
// hush_vault.HushVault.
#include <atomic>
#include <cstdint>

#include "frame/interpreter_binding.hpp"
#include "frame/results.hpp"
#include "sources/entries.hpp"
#include "sources/prompt.hpp"
#include "sources/vault_maker.hpp"

namespace hush_vault::sources {
namespace {

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

// Typed rows: the compiler checks each function against its calling convention.
PyMethodDef fastcall(const char* name, FastCall function, const char* doc) noexcept {
    // The interpreter calls through the flags; PyCFunction is only the table's storage type.
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

namespace e = entries;

// clang-format off
PyMethodDef source_functions[] = {
    //       name               function            signature block
    fastcall("from_file",       e::from_file,       "from_file($module, path, *, volatile=False, ttl_sec=None, strip_newline=False, max_size=65536)\n--\n\n"),
    fastcall("from_fd",         e::from_fd,         "from_fd($module, fd, *, volatile=False, ttl_sec=None, strip_newline=False, max_size=65536)\n--\n\n"),
    fastcall("from_credential", e::from_credential, "from_credential($module, name, *, volatile=False, ttl_sec=None, strip_newline=False, max_size=65536)\n--\n\n"),
    fastcall("pop_env",         e::pop_env,         "pop_env($module, var_name, *, volatile=False, ttl_sec=None)\n--\n\n"),
    fastcall("from_buffer",     e::from_buffer,     "from_buffer($module, buffer, *, volatile=False, ttl_sec=None)\n--\n\n"),
    fastcall("from_prompt",     e::from_prompt,     "from_prompt($module, prompt='Password: ', *, volatile=False, ttl_sec=None)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};
// clang-format on

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "hush_vault_sources",
    "Ways a secret gets into a hush_vault.HushVault without leaving a copy behind.",
    0,
    source_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first imported the module; -1 until then. The vault class it caches
// belongs to that interpreter.
std::atomic<std::int64_t> bound_interpreter_id{-1};

Result<Ref> init_module() noexcept {
    if (auto bound = frame::bind_to_first_interpreter(bound_interpreter_id, "hush_vault_sources");
        !bound) {
        return frame::propagate(bound);
    }
    // hush_vault first: a process that cannot load the class cannot use this module either.
    auto vault_type = vault_class();
    if (!vault_type) return frame::propagate(vault_type);
    Ref module = Ref::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    if (!module) {
        return Unexpected(VaultError::take_pending_or_system_error());
    }
    return module;
}

}  // namespace
}  // namespace hush_vault::sources

// NOLINTNEXTLINE(readability-identifier-naming): the name the import system looks for
PyMODINIT_FUNC PyInit_hush_vault_sources() noexcept {
    return hush_vault::frame::finish(hush_vault::sources::init_module());
}
