// Raising, taking and materialising errors, and formatting objects for messages.
#include "frame/vault_error.hpp"

#include "frame/pure/binding_messages.hpp"
#include "secret/fault.hpp"
#include "secret/utf8.hpp"

namespace hush_vault::frame {
namespace {

// __qualname__ of a type for a cast error, or the placeholder when it cannot be had.
Text qualified_name(PyTypeObject* type) noexcept {
    Ref name = Ref::steal(PyType_GetQualName(type));
    if (!name) {
        PyErr_Clear();
        return Text("<failed to extract type name>");
    }
    return format_object(name.get());
}

// Bytes as text, every byte that is not part of valid UTF-8 shown as U+FFFD.
Text replace_invalid(const char* bytes, Py_ssize_t n) noexcept {
    auto decoded = secret::decode_lossy(reinterpret_cast<const std::uint8_t*>(bytes),
                                        static_cast<std::size_t>(n));
    return Text(decoded.data(), decoded.length());
}

}  // namespace

VaultError VaultError::make(PyObject* exception_class, const char* fixed) noexcept {
    return VaultError(Lazy{exception_class, fixed, Text()});
}

VaultError VaultError::make(PyObject* exception_class, Text text) noexcept {
    return VaultError(Lazy{exception_class, nullptr, std::move(text)});
}

VaultError VaultError::cast(PyTypeObject* from, PyTypeObject* to) noexcept {
    return VaultError(Cast{Ref::borrow(reinterpret_cast<PyObject*>(from)),
                           Ref::borrow(reinterpret_cast<PyObject*>(to))});
}

std::optional<VaultError> VaultError::take_pending() noexcept {
    PyObject* instance = PyErr_GetRaisedException();
    if (instance == nullptr) {
        return std::nullopt;
    }
    return VaultError(Captured{Ref::steal(instance)});
}

VaultError VaultError::take_pending_or_system_error() noexcept {
    if (auto pending = take_pending()) {
        return std::move(*pending);
    }
    return make(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void VaultError::raise() && noexcept {
    std::move(*this).set_pending();
}

void VaultError::set_pending() && noexcept {
    if (auto* captured = std::get_if<Captured>(&state_)) {
        PyErr_SetRaisedException(captured->instance.release());
        return;
    }
    PyObject* exception_class = PyExc_TypeError;
    Text built;
    std::string_view text;
    if (auto* lazy = std::get_if<Lazy>(&state_)) {
        exception_class = lazy->exception_class;
        text =
            lazy->fixed != nullptr ? std::string_view(lazy->fixed) : std::string_view(lazy->owned);
    } else if (auto* cast_types = std::get_if<Cast>(&state_)) {
        auto& cast = *cast_types;
        built = cast_error_message(qualified_name(reinterpret_cast<PyTypeObject*>(cast.from.get())),
                                   qualified_name(reinterpret_cast<PyTypeObject*>(cast.to.get())));
        text = built;
    }
    Ref message =
        Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!message) {
        api_call_failed();
    }
    if (PyExceptionClass_Check(exception_class)) {
        Ref keep = Ref::borrow(exception_class);
        PyErr_SetObject(keep.get(), message.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

PyObject* VaultError::materialise() noexcept {
    if (auto* captured = std::get_if<Captured>(&state_)) {
        return captured->instance.get();
    }
    if (materialising_) {
        secret::internal_fault("an error was materialised from within its own materialisation");
    }
    materialising_ = true;
    VaultError lazy(std::move(state_));
    std::move(lazy).set_pending();
    PyObject* instance = PyErr_GetRaisedException();
    if (instance == nullptr) {
        secret::internal_fault("exception missing after writing to the interpreter");
    }
    state_ = Captured{Ref::steal(instance)};
    materialising_ = false;
    return instance;
}

void VaultError::add_note(std::string_view note) noexcept {
    PyObject* instance = materialise();
    Ref text =
        Ref::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    if (!text) {
        api_call_failed();
    }
    Ref added = Ref::steal(PyObject_CallMethod(instance, "add_note", "O", text.get()));
    if (!added) {
        *this = take_pending_or_system_error();
    }
}

bool VaultError::is_exactly_type_error() noexcept {
    return reinterpret_cast<PyObject*>(Py_TYPE(materialise())) == PyExc_TypeError;
}

Text format_object(PyObject* object) noexcept {
    Ref text = Ref::steal(PyObject_Str(object));
    if (!text) {
        PyErr_WriteUnraisable(object);
        Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
        const char* utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
        if (utf8 == nullptr) {
            PyErr_Clear();
            return Text("<unprintable object>");
        }
        Text fallback("<unprintable ");
        fallback += utf8;
        fallback += " object>";
        return fallback;
    }
    Py_ssize_t n = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &n)) {
        return Text(utf8, static_cast<std::size_t>(n));
    }
    PyErr_Clear();
    Ref encoded = Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    if (!encoded) {
        PyErr_Clear();
        return Text();
    }
    return replace_invalid(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()));
}

void api_call_failed(secret::SourcePosition where) noexcept {
    if (PyErr_Occurred() != nullptr) {
        PyErr_Print();
    }
    secret::internal_fault("Python API call failed", where);
}

}  // namespace hush_vault::frame
