// Equality of two byte sequences in time that depends only on their length.
#include "constant_time.hpp"

// cl.exe knows only its own spelling; GCC and Clang (clang-cl too) take the standard one.
#if defined(_MSC_VER)
#define HUSH_VAULT_NOINLINE __declspec(noinline)
#else
#define HUSH_VAULT_NOINLINE [[gnu::noinline]]
#endif

namespace hush_vault::secret {

// Out of line and through a volatile slot, so that the optimiser cannot know the value it
// returns: without that it could prove the accumulator is 0 after a mismatch and stop the loop,
// or turn the whole loop into a library comparison that stops early.
HUSH_VAULT_NOINLINE std::uint8_t value_barrier(std::uint8_t value) noexcept {
    volatile std::uint8_t slot = value;
    return slot;
}

bool constant_time_eq(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept {
    std::uint8_t accumulator = 1;
    for (std::size_t i = 0; i < n; ++i) {
        // Widened so that a difference of 0, and only 0, borrows into bit 8 when 1 is taken
        // away: equality becomes arithmetic rather than a comparison the compiler may branch on.
        const auto difference = static_cast<std::uint32_t>(a[i] ^ b[i]);
        const auto equal = static_cast<std::uint8_t>(((difference - 1U) >> 8U) & 1U);
        accumulator &= value_barrier(equal);
    }
    return value_barrier(accumulator) != 0;
}

}  // namespace hush_vault::secret
