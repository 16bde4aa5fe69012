// String results built from UTF-8 without the interpreter's decoder.
#include "frame/results.hpp"

namespace hush_vault::frame {

Ref new_str(std::span<const std::uint8_t> utf8, secret::TextShape shape) noexcept {
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(shape.code_points),
                                        static_cast<Py_UCS4>(shape.max_code_point)));
    if (!text) {
        api_call_failed();
    }
    PyObject* object = text.get();
    switch (PyUnicode_KIND(object)) {
        case PyUnicode_1BYTE_KIND:
            secret::decode_utf8(utf8.data(), utf8.size(), PyUnicode_1BYTE_DATA(object));
            break;
        case PyUnicode_2BYTE_KIND:
            secret::decode_utf8(utf8.data(), utf8.size(), PyUnicode_2BYTE_DATA(object));
            break;
        default:
            secret::decode_utf8(utf8.data(), utf8.size(), PyUnicode_4BYTE_DATA(object));
            break;
    }
    return text;
}

Ref new_str(std::string_view utf8) noexcept {
    std::span bytes(reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size());
    auto shape = secret::measure_utf8(bytes.data(), bytes.size());
    if (!shape) {
        secret::internal_fault("text for a str is not well-formed UTF-8");
    }
    return new_str(bytes, *shape);
}

}  // namespace hush_vault::frame
