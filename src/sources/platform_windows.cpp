// System errors and descriptors as the interpreter sees them on Windows: winerror codes, and a
// descriptor of the interpreter's C runtime, whose handle only that runtime can tell.
#include "frame/py_ref.hpp"
#include "sources/platform.hpp"

namespace hush_vault::sources {

frame::VaultError os_error(secret::os::ErrorCode code, PyObject* filename) noexcept {
    PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, static_cast<int>(code), filename);
    return frame::VaultError::take_pending_or_system_error();
}

frame::Result<secret::os::FileHandle> handle_of_descriptor(int fd) noexcept {
    // This module links another C runtime than the interpreter: ask the interpreter's.
    frame::Ref runtime = frame::Ref::steal(PyImport_ImportModule("msvcrt"));
    frame::Ref handle =
        runtime ? frame::Ref::steal(PyObject_CallMethod(runtime.get(), "get_osfhandle", "i", fd))
                : frame::Ref();
    if (!handle) {
        return frame::Unexpected(frame::VaultError::take_pending_or_system_error());
    }
    auto value = static_cast<secret::os::FileHandle>(PyLong_AsSsize_t(handle.get()));
    if (value == -1 && PyErr_Occurred() != nullptr) {
        return frame::Unexpected(frame::VaultError::take_pending_or_system_error());
    }
    return value;
}

}  // namespace hush_vault::sources
