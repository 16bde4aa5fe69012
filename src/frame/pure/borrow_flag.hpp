// The borrow flag of one vault: shared or exclusive access to its record for one call.
// 0 is free, n > 0 is n shared holders, -1 is one exclusive holder.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

namespace hush_vault::frame {

enum class BorrowRefusal {
    mutably_borrowed,  // shared access asked while exclusive access is held
    borrowed,          // exclusive access asked while any access is held
};

// "Already mutably borrowed" / "Already borrowed".
[[nodiscard]] constexpr std::string_view refusal_message(BorrowRefusal refusal) noexcept {
    return refusal == BorrowRefusal::mutably_borrowed ? "Already mutably borrowed"
                                                      : "Already borrowed";
}

class BorrowFlag {
  public:
    static constexpr std::int64_t exclusive = -1;

    // True when shared access was taken; false when exclusive access is held.
    [[nodiscard]] bool take_shared() noexcept {
        std::int64_t seen = value_.load(std::memory_order_relaxed);
        do {
            if (seen == exclusive) {
                return false;
            }
        } while (!value_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { value_.fetch_sub(1, std::memory_order_release); }

    // True when exclusive access was taken; false when any access is held.
    [[nodiscard]] bool take_exclusive() noexcept {
        std::int64_t expected = 0;
        return value_.compare_exchange_strong(expected, exclusive, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void release_exclusive() noexcept { value_.store(0, std::memory_order_release); }

    [[nodiscard]] std::int64_t value() const noexcept {
        return value_.load(std::memory_order_relaxed);
    }

  private:
    std::atomic<std::int64_t> value_{0};
};

}  // namespace hush_vault::frame
