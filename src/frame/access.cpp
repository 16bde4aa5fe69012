// The self step and the borrow flag's guards.
#include "frame/access.hpp"

#include <initializer_list>
#include <string_view>

#include "frame/vault_type.hpp"
#include "secret/os_error_text.hpp"
#include "secret/page_locks.hpp"

namespace hush_vault::frame {
namespace {

VaultError refused(BorrowRefusal refusal) noexcept {
    std::string_view text = refusal_message(refusal);
    return VaultError::make(PyExc_RuntimeError, text.data());  // a literal: NUL-terminated
}

Result<void> warn(std::initializer_list<std::string_view> parts) noexcept {
    Text text;
    for (std::string_view part : parts) {
        text.append(part.data(), part.size());
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) < 0) {
        return Unexpected(VaultError::take_pending_or_system_error());
    }
    return {};
}

Text reason(secret::os::ErrorCode code) {
    return secret::os_error_text(static_cast<std::int32_t>(code));
}

}  // namespace

Result<void> deliver_unlocked_page_warnings() noexcept {
    auto& locks = secret::PageLocks::process();
    if (auto failure = locks.take_relock_failure()) {
        auto warned =
            warn({"after fork, ", secret::decimal(failure->pages),
                  " page(s) holding secrets could not be locked again in this process: ",
                  reason(failure->code), "; they can be swapped out until their vaults are wiped"});
        if (!warned) {
            return warned;
        }
    }
    if (auto failure = locks.take_unlock_failure()) {
        // The system may refuse the unlock itself, or (Linux) letting the unlocked pages back
        // into core dumps: the words hold for both.
        return warn({secret::decimal(failure->pages),
                     " page(s) that held secrets, zeroed since, could not be unlocked, or not let "
                     "back into core dumps once unlocked: ",
                     reason(failure->code),
                     "; until a later wipe can finish this, they stay locked (and count against "
                     "the lock limit) or out of core dumps"});
    }
    return {};
}

namespace {

Result<VaultObject*> check_type(PyObject* object) noexcept {
    PyTypeObject* vault = vault_type_for_call();
    PyTypeObject* type = Py_TYPE(object);
    if (type != vault && PyType_IsSubtype(type, vault) == 0) {
        return Unexpected(VaultError::cast(type, vault));
    }
    return as_vault(object);
}

}  // namespace

Result<VaultObject*> check_vault(PyObject* object) noexcept {
    auto vault = check_type(object);
    if (!vault) {
        return vault;
    }
    if (auto warned = warn_of_unlocked_pages(); !warned) {
        return Unexpected(std::move(warned).error());
    }
    return as_vault(object);
}

Result<SharedAccess> SharedAccess::take_checked(Result<VaultObject*> vault, Ref held) noexcept {
    if (!vault) {
        return Unexpected(std::move(vault).error());
    }
    if (!(*vault)->borrow.take_shared()) {
        return Unexpected(refused(BorrowRefusal::mutably_borrowed));
    }
    return SharedAccess(*vault, std::move(held));
}

Result<SharedAccess> SharedAccess::take(PyObject* object, bool hold) noexcept {
    return take_checked(check_vault(object), hold ? Ref::borrow(object) : Ref());
}

Result<SharedAccess> SharedAccess::take_unwarned(PyObject* object) noexcept {
    return take_checked(check_type(object), Ref());
}

Result<ExclusiveAccess> ExclusiveAccess::take_checked(Result<VaultObject*> vault) noexcept {
    if (!vault) {
        return Unexpected(std::move(vault).error());
    }
    if (!(*vault)->borrow.take_exclusive()) {
        return Unexpected(refused(BorrowRefusal::borrowed));
    }
    return ExclusiveAccess(*vault);
}

Result<ExclusiveAccess> ExclusiveAccess::take(PyObject* object) noexcept {
    return take_checked(check_vault(object));
}

Result<ExclusiveAccess> ExclusiveAccess::take_unwarned(PyObject* object) noexcept {
    return take_checked(check_type(object));
}

}  // namespace hush_vault::frame
