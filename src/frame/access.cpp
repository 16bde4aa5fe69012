// The self step and the borrow flag's guards.
#include "frame/access.hpp"

#include <charconv>

#include "frame/vault_type.hpp"
#include "secret/os_error_text.hpp"
#include "secret/page_locks.hpp"

namespace hush_vault::frame {
namespace {

VaultError refused(BorrowRefusal refusal) noexcept {
    std::string_view text = refusal_message(refusal);
    return VaultError::make(PyExc_RuntimeError, text.data());  // a literal: NUL-terminated
}

}  // namespace

Result<void> warn_of_unlocked_pages() noexcept {
    auto failure = secret::PageLocks::process().take_relock_failure();
    if (!failure) {
        return {};
    }
    char digits[24];
    auto [end, error] = std::to_chars(digits, digits + sizeof digits, failure->pages);
    const Text reason = secret::os_error_text(static_cast<std::int32_t>(failure->code));
    const std::string_view parts[] = {
        "after fork, ", std::string_view(digits, static_cast<std::size_t>(end - digits)),
        " page(s) holding secrets could not be locked again in this process: ", reason,
        "; they can be swapped out until their vaults are wiped"};
    Text text;
    for (std::string_view part : parts) {
        text.append(part.data(), part.size());
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) < 0) {
        return Unexpected(VaultError::take_pending_or_system_error());
    }
    return {};
}

Result<VaultObject*> check_vault(PyObject* object) noexcept {
    PyTypeObject* vault = vault_type_for_call();
    PyTypeObject* type = Py_TYPE(object);
    if (type != vault && PyType_IsSubtype(type, vault) == 0) {
        return Unexpected(VaultError::cast(type, vault));
    }
    if (auto warned = warn_of_unlocked_pages(); !warned) {
        return Unexpected(std::move(warned).error());
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
