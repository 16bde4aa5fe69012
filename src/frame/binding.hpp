// Binding: the interpreter's arguments matched to the parameters of an ArgumentSpec.
#pragma once

#include <array>
#include <cstddef>

#include "frame/pure/argument_spec.hpp"
#include "frame/vault_error.hpp"

namespace hush_vault::frame {

// One borrowed object per parameter, or null where the parameter was not given. Lives on the
// stack for one call; binding makes no heap allocation unless it fails.
struct BoundArguments {
    std::array<PyObject*, max_parameters> slots{};
    [[nodiscard]] PyObject* operator[](std::size_t i) const noexcept { return slots[i]; }
};

// A METH_FASTCALL | METH_KEYWORDS call: positional arguments, then the values of kwnames.
[[nodiscard]] Result<BoundArguments> bind_fastcall(const ArgumentSpec& spec, PyObject* const* args,
                                                   Py_ssize_t nargs, PyObject* kwnames) noexcept;

// A tp_new call: an argument tuple and a keyword dictionary (or null).
[[nodiscard]] Result<BoundArguments> bind_tuple(const ArgumentSpec& spec, PyObject* args,
                                                PyObject* kwargs) noexcept;

}  // namespace hush_vault::frame
