// The reveals: the secret handed to Python as str, bytes or masked text, built straight from the
// locked buffer.
#include "frame/results.hpp"
#include "lib/operations.hpp"
#include "secret/utf8.hpp"

namespace hush_vault::lib {
namespace {

// The burn: a volatile vault wipes itself once a reveal has succeeded.
void burn_if_volatile(VaultRecord& record) noexcept {
    if (record.is_volatile) {
        record.wipe();
    }
}

}  // namespace

Result<Ref> reveal(VaultRecord& record) noexcept {
    if (auto passed = record.guard(); !passed) {
        return frame::propagate(passed);
    }
    auto secret = record.secret();
    // Validated here, not by the interpreter's decoder: its error would carry a copy of the bytes.
    if (!secret::is_valid_utf8(secret.data(), secret.size())) {
        return Unexpected(VaultError::make(PyExc_ValueError, "Data is not valid UTF-8"));
    }
    Ref text = frame::new_str(
        std::string_view(reinterpret_cast<const char*>(secret.data()), secret.size()));
    burn_if_volatile(record);
    return text;
}

Result<Ref> reveal_bytes(VaultRecord& record) noexcept {
    if (auto passed = record.guard(); !passed) {
        return frame::propagate(passed);
    }
    Ref bytes = frame::new_bytes(record.secret());
    burn_if_volatile(record);
    return bytes;
}

Result<Ref> reveal_masked(const VaultRecord& record, std::uint64_t suffix_len) noexcept {
    if (record.wiped) {
        return Unexpected(wiped_error());
    }
    auto secret = record.secret();
    auto masked = secret::mask_secret(secret.data(), secret.size(), suffix_len);
    return frame::new_str(std::string_view(masked.data(), masked.length()));
}

}  // namespace hush_vault::lib
