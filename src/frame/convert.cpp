// Argument conversions and the argument-error wrapping.
#include "frame/convert.hpp"

#include "frame/pure/binding_messages.hpp"

namespace hush_vault::frame {
namespace {

// NumPy's boolean scalar, recognised by its module and name without importing NumPy.
bool is_numpy_bool_type(PyTypeObject* type) noexcept {
    Ref module =
        Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) ||
        PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
        return false;
    }
    Ref name = Ref::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

Result<std::uint64_t> long_to_u64(PyObject* integer) noexcept {
    unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        return Unexpected(VaultError::take_pending_or_system_error());
    }
    return static_cast<std::uint64_t>(value);
}

}  // namespace

Result<std::span<const std::uint8_t>> to_bytes(PyObject* object) noexcept {
    if (!PyBytes_Check(object)) {
        return Unexpected(VaultError::cast(Py_TYPE(object), &PyBytes_Type));
    }
    return bytes_view(object);
}

Result<std::string_view> to_text(PyObject* object) noexcept {
    if (!PyUnicode_Check(object)) {
        return Unexpected(VaultError::cast(Py_TYPE(object), &PyUnicode_Type));
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) {
        return Unexpected(VaultError::take_pending_or_system_error());
    }
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

Result<bool> to_bool(PyObject* object) noexcept {
    if (object == nullptr) {
        return false;
    }
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyBool_Type) {
        return object == Py_True;
    }
    if (is_numpy_bool_type(type)) {
        inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
        if (truth == nullptr) {
            Text text("object of type '");
            text += format_object(reinterpret_cast<PyObject*>(type));
            text += "' does not define a '__bool__' conversion";
            return Unexpected(VaultError::make(PyExc_TypeError, std::move(text)));
        }
        int answer = truth(object);
        if (answer == 0 || answer == 1) {
            return answer == 1;
        }
        return Unexpected(VaultError::take_pending_or_system_error());
    }
    return Unexpected(VaultError::cast(type, &PyBool_Type));
}

Result<std::uint64_t> to_u64(PyObject* object) noexcept {
    if (PyLong_Check(object)) {
        return long_to_u64(object);
    }
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) {
        return Unexpected(VaultError::take_pending_or_system_error());
    }
    return long_to_u64(index.get());
}

Result<std::optional<std::uint64_t>> to_optional_u64(PyObject* object) noexcept {
    if (object == nullptr || object == Py_None) {
        return std::optional<std::uint64_t>();
    }
    auto value = to_u64(object);
    if (!value) {
        return Unexpected(std::move(value).error());
    }
    return std::optional<std::uint64_t>(*value);
}

VaultError argument_error(std::string_view name, VaultError inner,
                          std::string_view function) noexcept {
    if (!inner.is_exactly_type_error()) {
        return inner;
    }
    PyObject* inner_instance = inner.materialise();
    Text text(function);
    if (!function.empty()) {
        text += ' ';
    }
    text += argument_error_message(name, format_object(inner_instance));
    VaultError outer = VaultError::make(PyExc_TypeError, std::move(text));
    PyObject* outer_instance = outer.materialise();
    // Setting the cause, even to none, also marks the context as suppressed.
    PyException_SetCause(outer_instance, PyException_GetCause(inner_instance));
    return outer;
}

}  // namespace hush_vault::frame
