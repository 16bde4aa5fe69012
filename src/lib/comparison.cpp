// Comparing a vault's secret without revealing it: in constant time, or not at all.
#include "lib/operations.hpp"
#include "secret/constant_time.hpp"

namespace hush_vault::lib {

bool verify(const VaultRecord& record, std::span<const std::uint8_t> candidate) noexcept {
    if (record.wiped) {
        return false;
    }
    auto secret = record.secret();
    // Lengths are not secret: a mismatch answers at once.
    if (candidate.size() != secret.size()) {
        return false;
    }
    return secret::constant_time_eq(secret.data(), candidate.data(), secret.size());
}

Result<bool> compare(const VaultRecord& record, const VaultRecord& other) noexcept {
    if (record.wiped || other.wiped) {
        return Unexpected(
            VaultError::make(PyExc_ValueError, "Cannot compare: one or both vaults are wiped."));
    }
    auto mine = record.secret();
    auto theirs = other.secret();
    if (mine.size() != theirs.size()) {
        return false;
    }
    return secret::constant_time_eq(mine.data(), theirs.data(), mine.size());
}

VaultError equality_refused() noexcept {
    return VaultError::make(PyExc_TypeError,
                            "Direct equality comparison is disabled for security. Use .verify() "
                            "for constant-time comparison.");
}

}  // namespace hush_vault::lib
