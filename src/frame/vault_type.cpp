// The HushVault type: its spec, slots and method table, the process-wide type cache, instance
// allocation and deallocation.
#include "frame/vault_type.hpp"

#include <atomic>
#include <new>

#include "frame/vault_entries.hpp"
#include "frame/vault_object.hpp"
#include "secret/fault.hpp"

namespace hush_vault::frame {
namespace {

using NoArgs = PyObject* (*)(PyObject*, PyObject*) noexcept;
using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

// Typed rows: the compiler checks each function against its calling convention.
PyMethodDef noargs(const char* name, NoArgs function, const char* doc) noexcept {
    return {name, function, METH_NOARGS, doc};
}
PyMethodDef fastcall(const char* name, FastCall function, const char* doc, int extra = 0) noexcept {
    // The interpreter calls through the flags; PyCFunction is only the table's storage type.
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            METH_FASTCALL | METH_KEYWORDS | extra, doc};
}

namespace e = entries;

// clang-format off
PyMethodDef vault_methods[] = {
    //       name             function         signature block
    fastcall("from_env",      e::from_env,      "from_env($cls, var_name, volatile=False)\n--\n\n", METH_CLASS),
    fastcall("verify",        e::verify,        "verify($self, other)\n--\n\n"),
    noargs(  "reveal",        e::reveal,        "reveal($self)\n--\n\n"),
    noargs(  "reveal_bytes",  e::reveal_bytes,  "reveal_bytes($self)\n--\n\n"),
    fastcall("reveal_masked", e::reveal_masked, "reveal_masked($self, suffix_len)\n--\n\n"),
    fastcall("compare",       e::compare,       "compare($self, other)\n--\n\n"),
    noargs(  "wipe_py",       e::wipe_py,       "wipe_py($self)\n--\n\n"),
    noargs(  "__bytes__",     e::reveal_bytes,  "__bytes__($self)\n--\n\n"),
    noargs(  "__enter__",     e::enter,         "__enter__($self)\n--\n\n"),
    fastcall("__exit__",      e::exit,          "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"),
    noargs(  "__getstate__",  e::getstate,      "__getstate__($self)\n--\n\n"),
    fastcall("__deepcopy__",  e::deepcopy,      "__deepcopy__($self, _memo)\n--\n\n"),
    noargs(  "__copy__",      e::getstate,      "__copy__($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

// Typed slot rows: each function is checked against the signature its slot is called with.
PyType_Slot new_slot(newfunc function) noexcept {
    return {Py_tp_new, reinterpret_cast<void*>(function)};
}
PyType_Slot text_slot(int id, reprfunc function) noexcept {
    return {id, reinterpret_cast<void*>(function)};
}
PyType_Slot richcompare_slot(richcmpfunc function) noexcept {
    return {Py_tp_richcompare, reinterpret_cast<void*>(function)};
}
PyType_Slot dealloc_slot(destructor function) noexcept {
    return {Py_tp_dealloc, reinterpret_cast<void*>(function)};
}

// The class docstring is only the constructor's signature block.
char vault_doc[] = "HushVault(data, volatile=False, ttl_sec=None)\n--\n\n";

PyType_Slot vault_slots[] = {
    {Py_tp_doc, vault_doc},
    new_slot(e::vault_new),
    text_slot(Py_tp_repr, e::vault_repr),
    text_slot(Py_tp_str, e::vault_repr),  // str() is redacted the same way
    richcompare_slot(e::vault_richcompare),
    {Py_tp_methods, vault_methods},
    {Py_tp_base, &PyBaseObject_Type},
    dealloc_slot(e::vault_dealloc),
    {0, nullptr},
};
// clang-format on

PyType_Spec vault_spec = {
    "builtins.HushVault",
    static_cast<int>(sizeof(VaultObject)),
    0,
    // Not a base type, not tracked by the collector, not immutable: the interpreter's defaults.
    Py_TPFLAGS_DEFAULT,
    vault_slots,
};

Result<Ref> create_vault_type() noexcept {
    Ref type = Ref::steal(PyType_FromSpec(&vault_spec));
    if (!type) {
        return Unexpected(VaultError::take_pending_or_system_error());
    }
    return type;
}

VaultError initialisation_error(VaultError cause) noexcept {
    VaultError error = VaultError::make(PyExc_RuntimeError,
                                        "An error occurred while initializing class HushVault");
    PyObject* instance = error.materialise();
    PyException_SetCause(instance, Py_NewRef(cause.materialise()));
    return error;
}

// The type cache: filled by the first creation to store its type, never emptied. The type is
// published (created_vault_type) once the cache is complete.
std::atomic<PyObject*> cached_type{nullptr};

PyTypeObject* as_type(PyObject* object) noexcept {
    return reinterpret_cast<PyTypeObject*>(object);
}

}  // namespace

Result<PyTypeObject*> vault_type() noexcept {
    if (PyTypeObject* type = created_vault_type()) {
        return type;
    }
    if (cached_type.load(std::memory_order_acquire) == nullptr) {
        auto created = create_vault_type();
        if (!created) {
            return Unexpected(initialisation_error(std::move(created).error()));
        }
        PyObject* expected = nullptr;
        // The first creation to store wins; a later one drops its own type with `created`.
        if (cached_type.compare_exchange_strong(expected, created->get(),
                                                std::memory_order_acq_rel)) {
            (void)created->release();
        }
    }
    PyTypeObject* type = as_type(cached_type.load(std::memory_order_acquire));
    published_vault_type.store(type, std::memory_order_release);
    return type;
}

PyTypeObject* create_vault_type_for_call() noexcept {
    auto type = vault_type();
    if (!type) {
        std::move(type).error().raise();
        PyErr_WriteUnraisable(nullptr);
        secret::internal_fault("failed to create type object for `HushVault`");
    }
    return *type;
}

Result<Ref> new_vault(PyTypeObject* type, lib::VaultRecord&& record) noexcept {
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    Ref object = Ref::steal(alloc(type, 0));
    if (!object) {
        lib::VaultRecord dropped(std::move(record));
        return Unexpected(VaultError::take_pending_or_system_error());
    }
    VaultObject* vault = as_vault(object.get());
    ::new (static_cast<void*>(&vault->record)) lib::VaultRecord(std::move(record));
    ::new (static_cast<void*>(&vault->borrow)) BorrowFlag();
    return object;
}

void entries::vault_dealloc(PyObject* self) noexcept {
    VaultObject* vault = as_vault(self);
    vault->record.~VaultRecord();
    PyTypeObject* type = Py_TYPE(self);
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    if (free == nullptr) {
        secret::internal_fault("PyBaseObject_Type should have tp_free");
    }
    free(self);
    Py_DECREF(type);
}

}  // namespace hush_vault::frame
