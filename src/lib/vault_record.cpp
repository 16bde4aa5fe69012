// A vault's life: construction into locked memory, the time to live, and the wipe.
#include "lib/vault_record.hpp"

#include <utility>

namespace hush_vault::lib {

VaultRecord::VaultRecord(secret::SecretBuffer secret, secret::MonotonicInstant created,
                         std::optional<secret::Duration> time_to_live,
                         bool burn_after_reading) noexcept
    : buffer(std::move(secret)),
      created_at(created),
      ttl(time_to_live),
      is_volatile(burn_after_reading) {}

void VaultRecord::wipe_now() noexcept {
    buffer.wipe();
    wiped = true;
}

Result<void> VaultRecord::expire_or_refuse() noexcept {
    if (ttl && secret::ttl_expired(created_at, secret::monotonic_now(), *ttl)) {
        wipe();
        return Unexpected(VaultError::make(PyExc_ValueError, "TTL expired"));
    }
    if (wiped) {
        return Unexpected(wiped_error());
    }
    return {};
}

Result<VaultRecord> make_record(std::span<const std::uint8_t> data, bool is_volatile,
                                std::optional<std::uint64_t> ttl_sec) noexcept {
    auto buffer = secret::SecretBuffer::from_bytes(data.data(), data.size());
    auto created_at = secret::monotonic_now();
    if (auto locked = buffer.lock(); !locked) {
        buffer.wipe();
        return Unexpected(lock_refused(locked.error()));
    }
    std::optional<secret::Duration> ttl;
    if (ttl_sec) {
        ttl = secret::Duration{*ttl_sec, 0};
    }
    return VaultRecord(std::move(buffer), created_at, ttl, is_volatile);
}

VaultError lock_refused(const secret::LockFailure& failure) noexcept {
    auto error = VaultError::make(PyExc_RuntimeError, failure.message());
    error.add_note(secret::os::lock_limit_note(failure.code, failure.bytes));
    return error;
}

VaultError wiped_error() noexcept {
    return VaultError::make(PyExc_ValueError, "Vault is wiped.");
}

}  // namespace hush_vault::lib
