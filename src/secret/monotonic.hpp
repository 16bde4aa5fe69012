// The monotonic clock of the time to live: the performance counter in seconds and nanoseconds.
#pragma once

#include <compare>
#include <cstdint>

namespace hush_vault::secret {

// A reading of the counter, or a span between two readings; unrelated to wall-clock time.
struct MonotonicInstant {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;                                    // 0 to 999,999,999
    auto operator<=>(const MonotonicInstant&) const = default;  // NOLINT(modernize-use-nullptr)
};
using Duration = MonotonicInstant;

// ticks / frequency as seconds and nanoseconds, split so that the product cannot overflow.
[[nodiscard]] MonotonicInstant instant_from_ticks(std::uint64_t ticks,
                                                  std::uint64_t frequency) noexcept;

// Reads the counter; the frequency is read once per process. A failing counter, or a frequency
// of 0, is an internal fault.
[[nodiscard]] MonotonicInstant monotonic_now() noexcept;

// now - start, or zero when now reads earlier than start.
[[nodiscard]] Duration elapsed_between(MonotonicInstant start, MonotonicInstant now) noexcept;

// Whether a time to live of ttl that began at created has run out at now: strictly more than ttl
// has elapsed, so a vault is still live at exactly created + ttl.
[[nodiscard]] bool ttl_expired(MonotonicInstant created, MonotonicInstant now,
                               Duration ttl) noexcept;

}  // namespace hush_vault::secret
