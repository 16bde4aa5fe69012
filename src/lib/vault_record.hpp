// VaultRecord: the native state of one vault, its wipe and the access guard of guarded reveals.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "frame/vault_error.hpp"
#include "secret/monotonic.hpp"
#include "secret/secret_buffer.hpp"

namespace hush_vault::lib {

using frame::Result;
using frame::Unexpected;
using frame::VaultError;

struct VaultRecord {
    secret::SecretBuffer buffer;          // the secret; locked while the vault is live
    secret::MonotonicInstant created_at;  // read after the copy, before the lock
    std::optional<secret::Duration> ttl;  // none: the vault never expires
    bool is_volatile = false;             // `volatile` is a C++ keyword; burn after one reveal
    bool wiped = false;

    VaultRecord(secret::SecretBuffer secret, secret::MonotonicInstant created,
                std::optional<secret::Duration> time_to_live, bool burn_after_reading) noexcept;
    // The moved-from record counts as wiped: it holds no secret and no lock any more.
    VaultRecord(VaultRecord&& other) noexcept
        : buffer(std::move(other.buffer)),
          created_at(other.created_at),
          ttl(other.ttl),
          is_volatile(other.is_volatile),
          wiped(std::exchange(other.wiped, true)) {}
    VaultRecord& operator=(VaultRecord&&) = delete;
    VaultRecord(const VaultRecord&) = delete;
    VaultRecord& operator=(const VaultRecord&) = delete;
    // Wipes the record if it is live; the buffer then zeroes its block again and frees it.
    ~VaultRecord() { wipe(); }

    // Zeroes and unlocks the secret, once; later calls do nothing. Never fails.
    void wipe() noexcept {
        if (!wiped) {
            wipe_now();
        }
    }

    // Guarded reveals run this first, under exclusive access: once the time to live has run out
    // (strictly), wipes and fails with "TTL expired", whether or not the vault was wiped
    // before; a wiped vault fails with "Vault is wiped.".
    [[nodiscard]] Result<void> guard() noexcept {
        // A live vault without a time to live, the usual one, passes without a call.
        if (passes_at_once()) {
            return {};
        }
        return expire_or_refuse();
    }

    // Whether guard() passes without reading the clock or failing: live, with no time to live.
    [[nodiscard]] bool passes_at_once() const noexcept { return !ttl && !wiped; }
    // guard() for a vault with a time to live or a wiped one.
    [[nodiscard]] Result<void> expire_or_refuse() noexcept;

    [[nodiscard]] std::span<const std::uint8_t> secret() const noexcept {
        return {buffer.data(), static_cast<std::size_t>(buffer.length())};
    }

  private:
    void wipe_now() noexcept;  // wipe() of a live record
};

// A new live record holding a copy of data, locked into memory. A refused lock leaves nothing:
// the copy is zeroed and freed, and the error is the lock's RuntimeError.
[[nodiscard]] Result<VaultRecord> make_record(std::span<const std::uint8_t> data, bool is_volatile,
                                              std::optional<std::uint64_t> ttl_sec) noexcept;

// RuntimeError "Failed to lock memory (VirtualLock): {system text}", with a note naming the limit
// on locked memory and how to raise it.
[[nodiscard]] VaultError lock_refused(const secret::LockFailure& failure) noexcept;

// ValueError "Vault is wiped."
[[nodiscard]] VaultError wiped_error() noexcept;

}  // namespace hush_vault::lib
