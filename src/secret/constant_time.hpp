// Equality of two byte sequences in time that depends only on their length.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hush_vault::secret {

// Returns its argument through a store and a volatile load the optimiser cannot see through.
// Never inlined.
[[nodiscard]] std::uint8_t value_barrier(std::uint8_t value) noexcept;

// True when the n bytes at a and b are equal. Visits every byte, with no branch and no memory
// access that depends on their values; callers compare the lengths themselves. n == 0 is true.
[[nodiscard]] bool constant_time_eq(const std::uint8_t* a, const std::uint8_t* b,
                                    std::size_t n) noexcept;

}  // namespace hush_vault::secret
