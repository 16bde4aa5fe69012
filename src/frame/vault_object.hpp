// The layout of a HushVault instance: the object header, the record inline, the borrow flag.
#pragma once

#include "frame/pure/borrow_flag.hpp"
#include "frame/python.hpp"
#include "lib/vault_record.hpp"

namespace hush_vault::frame {

struct VaultObject {
    PyObject_HEAD lib::VaultRecord record;
    BorrowFlag borrow;
};

[[nodiscard]] inline VaultObject* as_vault(PyObject* object) noexcept {
    return reinterpret_cast<VaultObject*>(object);
}

}  // namespace hush_vault::frame
