// Redaction: what printing, pickling and copying get instead of the secret.
#include "frame/results.hpp"
#include "lib/operations.hpp"

namespace hush_vault::lib {

Ref redacted_text() noexcept {
    return frame::new_str("<HushVault: [REDACTED]>");
}

VaultError serialization_refused() noexcept {
    return VaultError::make(
        PyExc_TypeError, "HushVault objects cannot be serialized (pickled) for security reasons.");
}

}  // namespace hush_vault::lib
