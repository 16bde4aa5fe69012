// The module body: what a fresh hush_vault module holds, its __all__ and its one class.
#include "frame/once_cell.hpp"
#include "frame/results.hpp"
#include "frame/vault_type.hpp"
#include "lib/operations.hpp"
#include "secret/fault.hpp"
#include "secret/leaked.hpp"

namespace hush_vault::lib {
namespace {

struct AllNameTag {};

// The interned name "__all__", made once per process.
PyObject* all_name() noexcept {
    auto& cell = secret::leaked<frame::OnceCell, AllNameTag>();
    auto name = cell.get_or_fill([]() -> Result<Ref> {
        PyObject* text = PyUnicode_FromStringAndSize("__all__", 7);
        if (text == nullptr) {
            frame::api_call_failed();
        }
        PyUnicode_InternInPlace(&text);
        return Ref::steal(text);
    });
    if (!name) {
        // make() above cannot fail without ending the process.
        secret::internal_fault("the name __all__ could not be made");
    }
    return *name;
}

// The module's __all__ list, created empty when the module has none.
Result<Ref> all_list(PyObject* module) noexcept {
    PyObject* name = all_name();
    Ref list = Ref::steal(PyObject_GetAttr(module, name));
    if (list) {
        return list;
    }
    auto error = VaultError::take_pending_or_system_error();
    if (PyErr_GivenExceptionMatches(error.materialise(), PyExc_AttributeError) == 0) {
        return Unexpected(std::move(error));
    }
    list = Ref::steal(PyList_New(0));
    if (!list) {
        frame::api_call_failed();
    }
    if (PyObject_SetAttr(module, name, list.get()) < 0) {
        return Unexpected(VaultError::take_pending_or_system_error());
    }
    return list;
}

}  // namespace

Result<void> add_vault_class(PyObject* module) noexcept {
    auto type = frame::vault_type();
    if (!type) {
        return frame::propagate(type);
    }
    Ref class_name = Ref::steal(PyUnicode_FromStringAndSize("HushVault", 9));
    if (!class_name) {
        frame::api_call_failed();
    }
    {
        auto list = all_list(module);
        if (!list) {
            return frame::propagate(list);
        }
        if (PyList_Append(list->get(), class_name.get()) < 0) {
            auto error = VaultError::take_pending_or_system_error();
            PyObject* instance = error.materialise();
            secret::Text message("could not append __name__ to __all__: ");
            secret::Text text = frame::format_object(instance);
            // A bare MemoryError has no text; the report must still say what happened.
            message += text.empty()
                           ? frame::format_object(reinterpret_cast<PyObject*>(Py_TYPE(instance)))
                           : text;
            secret::internal_fault(message);
        }
    }
    if (PyObject_SetAttr(module, class_name.get(), reinterpret_cast<PyObject*>(*type)) < 0) {
        return Unexpected(VaultError::take_pending_or_system_error());
    }
    return {};
}

}  // namespace hush_vault::lib
