// The environment constructor: a vault filled from a variable of the process environment.
#include "frame/env_error.hpp"
#include "lib/operations.hpp"
#include "secret/env_lookup.hpp"

namespace hush_vault::lib {

Result<VaultRecord> record_from_env(std::string_view name, bool is_volatile) noexcept {
    auto value = secret::read_env_utf8(name);
    if (!value) {
        return Unexpected(frame::env_var_not_found(name, value.error()));
    }
    auto buffer = secret::SecretBuffer::from_bytes(
        reinterpret_cast<const std::uint8_t*>(value->data()), value->length());
    auto created_at = secret::monotonic_now();
    auto locked = buffer.lock();
    // The intermediate UTF-8 copy is zeroed and released whatever the lock gave.
    value = Unexpected(secret::EnvMiss::not_set);
    if (!locked) {
        buffer.wipe();
        return Unexpected(lock_refused(locked.error()));
    }
    return VaultRecord(std::move(buffer), created_at, std::nullopt, is_volatile);
}

}  // namespace hush_vault::lib
