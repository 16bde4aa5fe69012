// The self step and the borrow flag's guards.
#include "frame/access.hpp"

#include "frame/vault_type.hpp"

namespace hush_vault::frame {
namespace {

VaultError refused(BorrowRefusal refusal) noexcept {
    std::string_view text = refusal_message(refusal);
    return VaultError::make(PyExc_RuntimeError, text.data());  // a literal: NUL-terminated
}

}  // namespace

Result<VaultObject*> check_vault(PyObject* object) noexcept {
    PyTypeObject* vault = vault_type_for_call();
    PyTypeObject* type = Py_TYPE(object);
    if (type != vault && PyType_IsSubtype(type, vault) == 0) {
        return Unexpected(VaultError::cast(type, vault));
    }
    return as_vault(object);
}

Result<SharedAccess> SharedAccess::take(PyObject* object, bool hold) noexcept {
    auto vault = check_vault(object);
    if (!vault) {
        return Unexpected(std::move(vault).error());
    }
    if (!(*vault)->borrow.take_shared()) {
        return Unexpected(refused(BorrowRefusal::mutably_borrowed));
    }
    return SharedAccess(*vault, hold ? Ref::borrow(object) : Ref());
}

Result<ExclusiveAccess> ExclusiveAccess::take(PyObject* object) noexcept {
    auto vault = check_vault(object);
    if (!vault) {
        return Unexpected(std::move(vault).error());
    }
    if (!(*vault)->borrow.take_exclusive()) {
        return Unexpected(refused(BorrowRefusal::borrowed));
    }
    return ExclusiveAccess(*vault);
}

}  // namespace hush_vault::frame
