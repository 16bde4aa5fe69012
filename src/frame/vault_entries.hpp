// The functions the interpreter calls on HushVault: one per slot and method-table entry. Each
// binds and converts its arguments, takes access to the record, runs the vault operation and
// returns a new reference, or null with the exception set.
#pragma once

#include "frame/python.hpp"

namespace hush_vault::frame::entries {

// Slots.
PyObject* vault_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
PyObject* vault_repr(PyObject* self) noexcept;
PyObject* vault_richcompare(PyObject* self, PyObject* other, int op) noexcept;
void vault_dealloc(PyObject* self) noexcept;

// METH_FASTCALL | METH_KEYWORDS methods (from_env receives the class).
PyObject* from_env(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept;
PyObject* verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept;
PyObject* reveal_masked(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;
PyObject* compare(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept;
PyObject* exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept;

// METH_NOARGS methods.
PyObject* reveal(PyObject* self, PyObject* unused) noexcept;
PyObject* reveal_bytes(PyObject* self, PyObject* unused) noexcept;
PyObject* wipe_py(PyObject* self, PyObject* unused) noexcept;
PyObject* enter(PyObject* self, PyObject* unused) noexcept;
PyObject* getstate(PyObject* self, PyObject* unused) noexcept;

}  // namespace hush_vault::frame::entries
