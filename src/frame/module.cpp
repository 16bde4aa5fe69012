// The module's entry point: one module object per process, bound to the first interpreter.
#include <atomic>
#include <cstdint>

#include "frame/interpreter_binding.hpp"
#include "frame/once_cell.hpp"
#include "frame/results.hpp"
#include "lib/operations.hpp"
#include "secret/leaked.hpp"

namespace hush_vault::frame {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "hush_vault",
    "",  // an empty __doc__, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first ran the entry point; -1 until then. Bound for the process's life.
std::atomic<std::int64_t> bound_interpreter_id{-1};

struct ModuleCacheTag {};

Result<Ref> create_module() noexcept {
    Ref module = Ref::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    if (!module) {
        return Unexpected(VaultError::take_pending_or_system_error());
    }
    if (auto added = lib::add_vault_class(module.get()); !added) {
        return propagate(added);
    }
    return module;
}

Result<Ref> init_module() noexcept {
    if (auto bound = bind_to_first_interpreter(bound_interpreter_id, "hush_vault"); !bound) {
        return propagate(bound);
    }
    auto module = secret::leaked<OnceCell, ModuleCacheTag>().get_or_fill(create_module);
    if (!module) {
        return propagate(module);
    }
    return Ref::borrow(*module);
}

}  // namespace
}  // namespace hush_vault::frame

// NOLINTNEXTLINE(readability-identifier-naming): the name the import system looks for
PyMODINIT_FUNC PyInit_hush_vault() noexcept {
    return hush_vault::frame::finish(hush_vault::frame::init_module());
}
