// The HushVault type object: built once per process from its spec, kept until the process ends.
#pragma once

#include "frame/py_ref.hpp"
#include "frame/vault_error.hpp"
#include "lib/vault_record.hpp"

namespace hush_vault::frame {

// The type (borrowed), created on first use. A failed creation is a RuntimeError "An error
// occurred while initializing class HushVault" whose cause is the interpreter's error; nothing is
// cached then, so a later call tries again.
[[nodiscard]] Result<PyTypeObject*> vault_type() noexcept;

// The same lookup for a method call, which cannot fail: a creation failure is reported as
// unraisable and is then an internal fault.
[[nodiscard]] PyTypeObject* vault_type_for_call() noexcept;

// A new instance of type holding record, its borrow flag free. When the interpreter cannot
// allocate it, the record is destroyed (wiped) and the interpreter's error returned.
[[nodiscard]] Result<Ref> new_vault(PyTypeObject* type, lib::VaultRecord&& record) noexcept;

}  // namespace hush_vault::frame
