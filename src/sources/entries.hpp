// The functions of hush_vault_sources as the interpreter calls them (METH_FASTCALL |
// METH_KEYWORDS): each binds its arguments, checks the vault options before reading anything,
// gathers the secret and hands it to make_vault (vault_maker.hpp). New reference, or null with
// the error raised.
#pragma once

#include "frame/python.hpp"

namespace hush_vault::sources::entries {

PyObject* from_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept;
PyObject* from_fd(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept;
PyObject* from_credential(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept;
PyObject* pop_env(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept;
PyObject* from_buffer(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;

}  // namespace hush_vault::sources::entries
