// System errors and descriptors as the interpreter sees them on POSIX: errno values, and a
// descriptor is its own handle.
#include <cerrno>

#include "sources/platform.hpp"

namespace hush_vault::sources {

frame::VaultError os_error(secret::os::ErrorCode code, PyObject* filename) noexcept {
    errno = static_cast<int>(code);
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    return frame::VaultError::take_pending_or_system_error();
}

frame::Result<secret::os::FileHandle> handle_of_descriptor(int fd) noexcept {
    return secret::os::FileHandle{fd};
}

}  // namespace hush_vault::sources
