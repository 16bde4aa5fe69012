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

Ref text_of(VaultRecord& record) noexcept {
    auto secret = record.secret();
    // Validated and decoded here, never by the interpreter: its decode error would carry a copy
    // of the bytes, and its decoder leaves narrow copies behind in freed memory.
    auto shape = secret::measure_utf8(secret.data(), secret.size());
    if (!shape) {
        return Ref();
    }
    Ref text = frame::new_str(secret, *shape);
    burn_if_volatile(record);
    return text;
}

Ref bytes_of(VaultRecord& record) noexcept {
    Ref bytes = frame::new_bytes(record.secret());
    burn_if_volatile(record);
    return bytes;
}

Result<Ref> reveal(VaultRecord& record) noexcept {
    if (auto passed = record.guard(); !passed) {
        return frame::propagate(passed);
    }
    Ref text = text_of(record);
    if (!text) {
        return Unexpected(VaultError::make(PyExc_ValueError, "Data is not valid UTF-8"));
    }
    return text;
}

Result<Ref> reveal_bytes(VaultRecord& record) noexcept {
    if (auto passed = record.guard(); !passed) {
        return frame::propagate(passed);
    }
    return bytes_of(record);
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
