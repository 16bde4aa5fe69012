// The HushVault type object: built once per process from its spec, kept until the process ends.
#pragma once

#include <atomic>

#include "frame/py_ref.hpp"
#include "frame/vault_error.hpp"
#include "lib/vault_record.hpp"

namespace hush_vault::frame {

// The type (borrowed), created on first use. A failed creation is a RuntimeError "An error
// occurred while initializing class HushVault" whose cause is the interpreter's error; nothing is
// cached then, so a later call tries again.
[[nodiscard]] Result<PyTypeObject*> vault_type() noexcept;

// The type once vault_type() has created and cached it, nullptr before. Inline so that the
// usual call's self test is one load and one compare.
inline std::atomic<PyTypeObject*> published_vault_type{nullptr};

[[nodiscard]] inline PyTypeObject* created_vault_type() noexcept {
    return published_vault_type.load(std::memory_order_acquire);
}

// vault_type_for_call() before the type is published.
[[nodiscard]] PyTypeObject* create_vault_type_for_call() noexcept;

// The same lookup for a method call, which cannot fail: a creation failure is reported as
// unraisable and is then an internal fault.
[[nodiscard]] inline PyTypeObject* vault_type_for_call() noexcept {
    if (PyTypeObject* type = created_vault_type()) {
        return type;
    }
    return create_vault_type_for_call();
}

// A new instance of type holding record, its borrow flag free. When the interpreter cannot
// allocate it, the record is destroyed (wiped) and the interpreter's error returned.
[[nodiscard]] Result<Ref> new_vault(PyTypeObject* type, lib::VaultRecord&& record) noexcept;

}  // namespace hush_vault::frame
