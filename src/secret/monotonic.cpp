// The monotonic clock of the time to live, read from the performance counter.
#include "monotonic.hpp"

#include <atomic>

#include "fault.hpp"
#include "os.hpp"

namespace hush_vault::secret {
namespace {

constexpr std::uint64_t nanos_per_second = 1'000'000'000;

// The counter's frequency, 0 until first read. Every reader that finds 0 stores the same value,
// so relaxed loads and stores suffice; atomic only so that the race is not undefined behaviour.
std::atomic<std::uint64_t> cached_frequency{0};

}  // namespace

MonotonicInstant instant_from_ticks(std::uint64_t ticks, std::uint64_t frequency) noexcept {
    // Whole seconds and the remainder apart: ticks * 10^9 would overflow within days at 10 MHz.
    std::uint64_t nanos = (ticks / frequency) * nanos_per_second +
                          ((ticks % frequency) * nanos_per_second) / frequency;
    return {nanos / nanos_per_second, static_cast<std::uint32_t>(nanos % nanos_per_second)};
}

MonotonicInstant monotonic_now() noexcept {
    std::int64_t ticks = 0;
    if (!os::query_performance_counter(&ticks)) {
        internal_fault("QueryPerformanceCounter failed");
    }
    std::uint64_t frequency = cached_frequency.load(std::memory_order_relaxed);
    if (frequency == 0) {
        std::int64_t read = 0;
        if (!os::query_performance_frequency(&read) || read == 0) {
            internal_fault("QueryPerformanceFrequency failed");
        }
        frequency = static_cast<std::uint64_t>(read);
        cached_frequency.store(frequency, std::memory_order_relaxed);
    }
    return instant_from_ticks(static_cast<std::uint64_t>(ticks), frequency);
}

Duration elapsed_between(MonotonicInstant start, MonotonicInstant now) noexcept {
    if (now <= start) {
        return {};
    }
    if (now.nanos >= start.nanos) {
        return {now.secs - start.secs, now.nanos - start.nanos};
    }
    return {now.secs - start.secs - 1,
            static_cast<std::uint32_t>(nanos_per_second - start.nanos + now.nanos)};
}

bool ttl_expired(MonotonicInstant created, MonotonicInstant now, Duration ttl) noexcept {
    return elapsed_between(created, now) > ttl;
}

}  // namespace hush_vault::secret
