// ScrubbedBuffer: a heap block for transient copies of secret material (a decoded text, an
// environment value). Zeroed in two passes, its units and then its whole block, before release.
#pragma once

#include <cstddef>
#include <utility>

#include "memory.hpp"

namespace hush_vault::secret {

template <class Unit>
class ScrubbedBuffer {
  public:
    ScrubbedBuffer() noexcept = default;
    // A block of exactly `capacity` units (none when 0), length 0. Exhaustion is a fault.
    explicit ScrubbedBuffer(std::size_t capacity) noexcept
        : block_(static_cast<Unit*>(allocate(capacity * sizeof(Unit)))), capacity_(capacity) {}
    ScrubbedBuffer(ScrubbedBuffer&& other) noexcept
        : block_(std::exchange(other.block_, nullptr)),
          capacity_(std::exchange(other.capacity_, 0)),
          length_(std::exchange(other.length_, 0)) {}
    ScrubbedBuffer& operator=(ScrubbedBuffer&& other) noexcept {
        if (this != &other) {
            release();
            block_ = std::exchange(other.block_, nullptr);
            capacity_ = std::exchange(other.capacity_, 0);
            length_ = std::exchange(other.length_, 0);
        }
        return *this;
    }
    ScrubbedBuffer(const ScrubbedBuffer&) = delete;
    ScrubbedBuffer& operator=(const ScrubbedBuffer&) = delete;
    ~ScrubbedBuffer() { release(); }

    [[nodiscard]] Unit* data() noexcept { return block_; }
    [[nodiscard]] const Unit* data() const noexcept { return block_; }
    [[nodiscard]] std::size_t length() const noexcept { return length_; }
    [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
    // The caller has written the first n units (n <= capacity).
    void set_length(std::size_t n) noexcept { length_ = n; }

  private:
    void release() noexcept {
        secure_zero(block_, length_ * sizeof(Unit));
        length_ = 0;
        secure_zero(block_, capacity_ * sizeof(Unit));
        deallocate(block_);
        block_ = nullptr;
        capacity_ = 0;
    }

    Unit* block_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t length_ = 0;
};

}  // namespace hush_vault::secret
