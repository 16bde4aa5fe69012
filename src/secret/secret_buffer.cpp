// SecretBuffer: one exact-size heap block per secret, locked while live, zeroed before release.
#include "secret_buffer.hpp"

#include <algorithm>
#include <utility>

#include "os_error_text.hpp"

namespace hush_vault::secret {

Text LockFailure::message() const {
    Text text = "Failed to lock memory (VirtualLock): ";
    text += os_error_text(static_cast<std::int32_t>(code));
    return text;
}

SecretBuffer& SecretBuffer::operator=(SecretBuffer&& other) noexcept {
    if (this != &other) {
        SecretBuffer old(std::move(*this));
        capacity_ = std::exchange(other.capacity_, 0);
        block_ = std::exchange(other.block_, nullptr);
        length_ = std::exchange(other.length_, 0);
        locks_ = std::exchange(other.locks_, nullptr);
        locked_bytes_ = std::exchange(other.locked_bytes_, 0);
    }
    return *this;
}

void SecretBuffer::end_block() noexcept {
    // Normally the wipe has run already; zeroing again costs little and covers every other path.
    wipe();
    deallocate(block_);
}

SecretBuffer SecretBuffer::from_bytes(const std::uint8_t* source, std::size_t n) noexcept {
    SecretBuffer buffer;
    if (n == 0) {
        return buffer;
    }
    buffer.block_ = static_cast<std::uint8_t*>(allocate(n));
    std::copy_n(source, n, buffer.block_);
    buffer.capacity_ = n;
    buffer.length_ = n;
    return buffer;
}

Expected<void, LockFailure> SecretBuffer::lock(PageLocks& locks) noexcept {
    // Nothing to lock, or locked already: counting the pages twice would keep them locked forever.
    if (length_ == 0 || locks_ != nullptr) {
        return {};
    }
    auto locked = locks.acquire(block_, length_);
    if (!locked) {
        const RefusedLock& refused = locked.error();
        zeroise();
        if (locks.undo(refused, block_)) {
            hand_over_block();
        }
        return Unexpected(LockFailure{refused.code, refused.locking_bytes});
    }
    locks_ = &locks;
    locked_bytes_ = length_;
    return {};
}

void SecretBuffer::zeroise() noexcept {
    secure_zero(block_, length_);
    length_ = 0;
    secure_zero(block_, capacity_);
}

void SecretBuffer::hand_over_block() noexcept {
    block_ = nullptr;
    capacity_ = 0;
}

void SecretBuffer::wipe() noexcept {
    // Zeroing comes first: on Windows, unlocking can page the range out at once, plaintext and all.
    zeroise();
    if (locks_ == nullptr) {
        return;
    }
    if (std::exchange(locks_, nullptr)->release(block_, std::exchange(locked_bytes_, 0), block_)) {
        hand_over_block();
    }
}

}  // namespace hush_vault::secret
