// Equality of two byte sequences in time that depends only on their length.
#include "constant_time.hpp"

#include "inlining.hpp"

namespace hush_vault::secret {
namespace {

// 1 when x equals y, else 0, without a branch: widened so that a difference of 0, and only 0,
// borrows into bit 8 when 1 is taken away; equality becomes arithmetic rather than a comparison
// the compiler may branch on.
inline std::uint8_t equal_bit(std::uint8_t x, std::uint8_t y) noexcept {
    const auto difference = static_cast<std::uint32_t>(x ^ y);
    return static_cast<std::uint8_t>(((difference - 1U) >> 8U) & 1U);
}

constexpr std::size_t bytes_per_turn = 8;

}  // namespace

// Out of line and through a volatile slot, so that the optimiser cannot know the value it
// returns: without that it could prove the accumulator is 0 after a mismatch and stop the loop,
// or turn the whole loop into a library comparison that stops early.
HUSH_VAULT_NOINLINE std::uint8_t value_barrier(std::uint8_t value) noexcept {
    volatile std::uint8_t slot = value;
    return slot;
}

bool constant_time_eq(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept {
    std::uint8_t accumulator = 1;
    std::size_t i = 0;
    // Eight bytes a turn, each still through its own barrier and in order: the barrier's call
    // and return are taken branches, and the loop's own branch was a third of them.
    for (; n - i >= bytes_per_turn; i += bytes_per_turn) {
        accumulator &= value_barrier(equal_bit(a[i], b[i]));
        accumulator &= value_barrier(equal_bit(a[i + 1], b[i + 1]));
        accumulator &= value_barrier(equal_bit(a[i + 2], b[i + 2]));
        accumulator &= value_barrier(equal_bit(a[i + 3], b[i + 3]));
        accumulator &= value_barrier(equal_bit(a[i + 4], b[i + 4]));
        accumulator &= value_barrier(equal_bit(a[i + 5], b[i + 5]));
        accumulator &= value_barrier(equal_bit(a[i + 6], b[i + 6]));
        accumulator &= value_barrier(equal_bit(a[i + 7], b[i + 7]));
    }
    for (; i < n; ++i) {
        accumulator &= value_barrier(equal_bit(a[i], b[i]));
    }
    return value_barrier(accumulator) != 0;
}

}  // namespace hush_vault::secret
