// The one native allocation function, and the containers built on it.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hush_vault::secret {

// Takes n bytes from the process heap. Never returns null: exhausted memory ends the process
// with the report "memory allocation of {n} bytes failed". allocate(0) returns null.
[[nodiscard]] void* allocate(std::size_t n) noexcept;

// Gives a block from allocate back to the heap; null is ignored. Does not zero anything.
void deallocate(void* block) noexcept;

// Standard allocator over allocate/deallocate, so that containers fail the documented way.
template <class T>
struct FailFastAllocator {
    using value_type = T;
    FailFastAllocator() noexcept = default;
    template <class U>
    FailFastAllocator(const FailFastAllocator<U>& /*other*/) noexcept {
    }  // NOLINT(google-explicit-constructor)
    T* allocate(std::size_t n) noexcept {
        // T may itself be a pointer (a hash table's buckets): sizeof(T) is what is meant.
        return static_cast<T*>(
            secret::allocate(n * sizeof(T)));  // NOLINT(bugprone-sizeof-expression)
    }
    void deallocate(T* p, std::size_t /*n*/) noexcept { secret::deallocate(p); }
    template <class U>
    bool operator==(const FailFastAllocator<U>& /*other*/) const noexcept {
        return true;
    }
};

// Message text. Never holds a secret: secrets live only in SecretBuffer and zeroing buffers.
using Text = std::basic_string<char, std::char_traits<char>, FailFastAllocator<char>>;

// n in decimal, for counts in messages.
inline Text decimal(std::uint64_t n) {
    char digits[24];
    auto [end, error] = std::to_chars(digits, digits + sizeof digits, n);
    return Text(digits, end);
}

template <class T>
using Vector = std::vector<T, FailFastAllocator<T>>;

// Zeroes n bytes through stores the optimiser may not remove.
void secure_zero(void* p, std::size_t n) noexcept;

}  // namespace hush_vault::secret
