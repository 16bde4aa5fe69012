// Binding positional and keyword arguments, with the interpreter's familiar messages.
#include "frame/binding.hpp"

#include <string_view>

#include "frame/pure/binding_messages.hpp"

namespace hush_vault::frame {
namespace {

VaultError type_error(Text text) noexcept {
    return VaultError::make(PyExc_TypeError, std::move(text));
}

// Puts one keyword argument into its slot; the first failing keyword ends binding.
Result<void> bind_keyword(const ArgumentSpec& spec, BoundArguments& bound, PyObject* key,
                          PyObject* value) noexcept {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return Unexpected(type_error(unexpected_keyword_message(spec, format_object(key))));
    }
    std::string_view name(utf8, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < spec.count; ++i) {
        if (spec.names[i] == name) {
            if (bound.slots[i] != nullptr) {
                return Unexpected(type_error(multiple_values_message(spec, spec.names[i])));
            }
            bound.slots[i] = value;
            return {};
        }
    }
    return Unexpected(type_error(unexpected_keyword_message(spec, format_object(key))));
}

Result<BoundArguments> check_required(const ArgumentSpec& spec, BoundArguments bound) noexcept {
    std::array<std::string_view, max_parameters> missing;
    std::size_t n = 0;
    for (std::size_t i = 0; i < spec.required; ++i) {
        if (bound.slots[i] == nullptr) {
            missing[n++] = spec.names[i];
        }
    }
    if (n != 0) {
        return Unexpected(type_error(missing_message(spec, std::span(missing.data(), n))));
    }
    return bound;
}

}  // namespace

Result<BoundArguments> bind_fastcall(const ArgumentSpec& spec, PyObject* const* args,
                                     Py_ssize_t nargs, PyObject* kwnames) noexcept {
    BoundArguments bound;
    auto given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < given && i < spec.positional; ++i) {
        bound.slots[i] = args[i];
    }
    if (given > spec.positional) {
        return Unexpected(type_error(too_many_message(spec, given)));
    }
    if (kwnames != nullptr) {
        Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            auto result = bind_keyword(spec, bound, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
            if (!result) {
                return Unexpected(std::move(result).error());
            }
        }
    }
    return check_required(spec, bound);
}

Result<BoundArguments> bind_tuple(const ArgumentSpec& spec, PyObject* args,
                                  PyObject* kwargs) noexcept {
    BoundArguments bound;
    auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    for (std::size_t i = 0; i < given && i < spec.positional; ++i) {
        bound.slots[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    }
    if (given > spec.positional) {
        return Unexpected(type_error(too_many_message(spec, given)));
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value) != 0) {
            auto result = bind_keyword(spec, bound, key, value);
            if (!result) {
                return Unexpected(std::move(result).error());
            }
        }
    }
    return check_required(spec, bound);
}

}  // namespace hush_vault::frame
