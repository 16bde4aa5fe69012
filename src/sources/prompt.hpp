// from_prompt: a line typed at the terminal with echo off, as getpass reads it, straight into
// locked memory and from there into a vault; it never becomes a str.
#pragma once

#include <cstddef>

#include "frame/python.hpp"

namespace hush_vault::sources {

// The longest line from_prompt keeps, in bytes without its line end: the default max_size of the
// file sources. Longer lines are a ValueError and nothing is kept.
inline constexpr std::size_t prompt_max_line = 65536;

namespace entries {

// from_prompt(prompt="Password: ", *, volatile=False, ttl_sec=None) as the interpreter calls it
// (METH_FASTCALL | METH_KEYWORDS). New reference, or null with the error raised.
PyObject* from_prompt(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;

}  // namespace entries
}  // namespace hush_vault::sources
