// Shared and exclusive access to a vault's record for one call. Each guard is released on every
// path out of the call; give it an inner scope so that it ends before the result is returned or
// the error raised.
#pragma once

#include <optional>
#include <utility>

#include "frame/vault_error.hpp"
#include "frame/vault_object.hpp"
#include "frame/vault_type.hpp"
#include "secret/page_locks.hpp"

namespace hush_vault::frame {

[[nodiscard]] Result<void> deliver_unlocked_page_warnings() noexcept;  // the warnings below

// After a fork whose child could not lock every secret's pages again, the first call into the
// class in that child warns (RuntimeWarning) how many pages are unlocked and why; after a wipe
// whose pages the system refused to unlock, the next call warns of those. Fails only when the
// warning is turned into an error. Inline: every construction and call asks, and the answer is
// almost always no.
[[nodiscard]] inline Result<void> warn_of_unlocked_pages() noexcept {
    if (!secret::PageLocks::process().failure_pending()) {
        return {};
    }
    return deliver_unlocked_page_warnings();
}

// The self step: TypeError "'{from}' object cannot be cast as 'HushVault'" unless object is a
// HushVault (or derives from it).
[[nodiscard]] Result<VaultObject*> check_vault(PyObject* object) noexcept;

// The usual call's self: exactly the class, and no warning of unlocked pages due; nullptr
// otherwise. Before the type exists no object can be exactly it, so the published type serves.
[[nodiscard]] inline VaultObject* plain_vault(PyObject* object) noexcept {
    if (Py_TYPE(object) != created_vault_type() || secret::PageLocks::process().failure_pending()) {
        return nullptr;
    }
    return as_vault(object);
}

class SharedAccess {
  public:
    // The self step, then shared access; RuntimeError "Already mutably borrowed" while exclusive
    // access is held. With `hold`, the guard also keeps a reference to the object.
    [[nodiscard]] static Result<SharedAccess> take(PyObject* object, bool hold = false) noexcept;

    // take() without delivering a pending warning of unlocked pages, for __enter__: a with
    // statement refused at its entry would never run its wipe.
    [[nodiscard]] static Result<SharedAccess> take_unwarned(PyObject* object) noexcept;

    // take() of the usual call, building no error: object is exactly a HushVault, no warning of
    // unlocked pages is due and shared access is free. Nothing otherwise, and nothing taken: the
    // caller then runs the general path, which reports the failure in its order.
    // Inline: it runs on every usual call.
    [[nodiscard]] static std::optional<SharedAccess> try_take(PyObject* object) noexcept {
        VaultObject* vault = plain_vault(object);
        if (vault == nullptr || !vault->borrow.take_shared()) {
            return std::nullopt;
        }
        return SharedAccess(vault, Ref());
    }

    SharedAccess(SharedAccess&& other) noexcept
        : vault_(std::exchange(other.vault_, nullptr)), held_(std::move(other.held_)) {}
    SharedAccess& operator=(SharedAccess&&) = delete;
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;
    ~SharedAccess() {
        if (vault_ != nullptr) {
            vault_->borrow.release_shared();
        }
    }

    [[nodiscard]] const lib::VaultRecord& record() const noexcept { return vault_->record; }

  private:
    SharedAccess(VaultObject* vault, Ref held) noexcept : vault_(vault), held_(std::move(held)) {}
    // Shared access to a vault whose self step is done (or failed).
    [[nodiscard]] static Result<SharedAccess> take_checked(Result<VaultObject*> vault,
                                                           Ref held) noexcept;
    VaultObject* vault_;
    Ref held_;  // released after the flag (members are destroyed after the body)
};

class ExclusiveAccess {
  public:
    // The self step, then exclusive access; RuntimeError "Already borrowed" while any access is
    // held.
    [[nodiscard]] static Result<ExclusiveAccess> take(PyObject* object) noexcept;

    // take() of the usual call, as SharedAccess::try_take.
    [[nodiscard]] static std::optional<ExclusiveAccess> try_take(PyObject* object) noexcept {
        VaultObject* vault = plain_vault(object);
        if (vault == nullptr || !vault->borrow.take_exclusive()) {
            return std::nullopt;
        }
        return ExclusiveAccess(vault);
    }

    // take() without delivering a pending warning of unlocked pages, for the wipes: a warning
    // turned into an error must not stop one. The caller warns once the wipe is done.
    [[nodiscard]] static Result<ExclusiveAccess> take_unwarned(PyObject* object) noexcept;

    ExclusiveAccess(ExclusiveAccess&& other) noexcept
        : vault_(std::exchange(other.vault_, nullptr)) {}
    ExclusiveAccess& operator=(ExclusiveAccess&&) = delete;
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
    ~ExclusiveAccess() {
        if (vault_ != nullptr) {
            vault_->borrow.release_exclusive();
        }
    }

    [[nodiscard]] lib::VaultRecord& record() const noexcept { return vault_->record; }

  private:
    explicit ExclusiveAccess(VaultObject* vault) noexcept : vault_(vault) {}
    // Exclusive access to a vault whose self step is done (or failed).
    [[nodiscard]] static Result<ExclusiveAccess> take_checked(Result<VaultObject*> vault) noexcept;
    VaultObject* vault_;
};

}  // namespace hush_vault::frame
