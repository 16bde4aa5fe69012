// SecretBuffer: the one heap block of exactly the secret's size that holds a vault's secret.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "memory.hpp"
#include "os.hpp"
#include "page_locks.hpp"
#include "result.hpp"

namespace hush_vault::secret {

// A refused memory lock, with the system's error code.
struct LockFailure {
    os::ErrorCode code;
    std::size_t bytes;  // the pages the refused call was locking, in bytes
    // "Failed to lock memory (VirtualLock): " followed by os_error_text(code).
    [[nodiscard]] Text message() const;
};

class SecretBuffer {
  public:
    SecretBuffer() noexcept = default;  // empty: no block
    // Inline, as the destructor's test: a construction hands its buffer on twice.
    SecretBuffer(SecretBuffer&& other) noexcept
        : capacity_(std::exchange(other.capacity_, 0)),
          block_(std::exchange(other.block_, nullptr)),
          length_(std::exchange(other.length_, 0)),
          locks_(std::exchange(other.locks_, nullptr)),
          locked_bytes_(std::exchange(other.locked_bytes_, 0)) {}
    SecretBuffer& operator=(SecretBuffer&& other) noexcept;
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;
    // Zeroises again, gives back any page locks still held, and frees the block.
    ~SecretBuffer() {
        // Moved from, or never given a block: no bytes and no lock to end.
        if (block_ != nullptr) {
            end_block();
        }
    }

    // Copies n bytes into a new block of exactly n bytes (none when n is 0). Unlocked.
    // Memory exhaustion is an internal fault.
    [[nodiscard]] static SecretBuffer from_bytes(const std::uint8_t* source,
                                                 std::size_t n) noexcept;

    // Locks the secret's pages into memory (through `locks`, which counts pages shared with other
    // blocks). An empty secret succeeds without a system call. On failure the secret is wiped
    // (zeroed, then what the refused call may have locked is unlocked): nothing stays locked.
    Expected<void, LockFailure> lock(PageLocks& locks = PageLocks::process()) noexcept;

    // The end of a secret: zeroes the first length bytes, sets length to 0, zeroes all capacity
    // bytes, then gives back the page locks (none when not locked). Zeroing first keeps the
    // plaintext out of the page file: on Windows, unlocking can page the range out at once. Where
    // the system refuses to unlock, the registry takes the zeroed block (and frees it once its
    // pages unlock): the buffer is then empty, without a block.
    void wipe() noexcept;

    [[nodiscard]] std::uint64_t capacity() const noexcept { return capacity_; }
    [[nodiscard]] std::uint64_t length() const noexcept { return length_; }
    [[nodiscard]] const std::uint8_t* data() const noexcept { return block_; }
    [[nodiscard]] bool locked() const noexcept { return locks_ != nullptr; }

  private:
    void zeroise() noexcept;
    void end_block() noexcept;        // the destructor's work, for a buffer holding a block
    void hand_over_block() noexcept;  // the registry took the block: forget it

    std::uint64_t capacity_ = 0;
    std::uint8_t* block_ = nullptr;
    std::uint64_t length_ = 0;
    PageLocks* locks_ = nullptr;      // the registry holding our pages, while locked
    std::uint64_t locked_bytes_ = 0;  // the range [block_, block_ + locked_bytes_) it holds
};

}  // namespace hush_vault::secret
