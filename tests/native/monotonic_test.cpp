// The monotonic clock: ticks to seconds and nanoseconds, the order of instants, the span between
// two of them, and readings of the real counter.
#include "secret/monotonic.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "secret/os.hpp"
#include "support/platform.hpp"

namespace hush_vault::secret {
namespace {

constexpr std::uint64_t billion = 1'000'000'000;
constexpr std::uint64_t two_to_63 = std::uint64_t{1} << 63;

// The clock is defined in 64-bit arithmetic, so the exact quotient ticks * 10^9 / frequency,
// rounded down and reduced modulo 2^64 (a wrap only past 58,000 years of uptime at 10 MHz).
// The product needs up to 94 bits and not every compiler has a 128-bit integer: it is held in two
// halves and divided by schoolbook long division, one bit at a time.
MonotonicInstant exact(std::uint64_t ticks, std::uint64_t frequency) {
    const std::uint64_t low_part = (ticks & 0xFFFF'FFFFU) * billion;  // below 2^62
    const std::uint64_t high_part = (ticks >> 32U) * billion;         // below 2^62, times 2^32
    const std::uint64_t low = low_part + (high_part << 32U);
    const std::uint64_t high = (high_part >> 32U) + (low < low_part ? 1U : 0U);

    std::uint64_t nanos = 0;
    std::uint64_t remainder = 0;  // below frequency, so shifting it left never overflows
    for (int bit = 127; bit >= 0; --bit) {
        const std::uint64_t word = bit >= 64 ? high : low;
        remainder = (remainder << 1U) | ((word >> (static_cast<unsigned>(bit) % 64U)) & 1U);
        nanos <<= 1U;
        if (remainder >= frequency) {
            remainder -= frequency;
            nanos |= 1U;
        }
    }
    return {nanos / billion, static_cast<std::uint32_t>(nanos % billion)};
}

TEST(Monotonic, TicksBecomeSecondsAndNanosecondsRoundedDown) {
    struct Case {
        std::uint64_t ticks;
        std::uint64_t frequency;
        MonotonicInstant expected;
    };
    // Worked out by hand (and with Python's integers for the large ones).
    const std::vector<Case> cases = {
        {0, 10'000'000, {0, 0}},
        {1, 10'000'000, {0, 100}},
        {9'999'999, 10'000'000, {0, 999'999'900}},
        {10'000'000, 10'000'000, {1, 0}},
        {123'456'789'012, 10'000'000, {12'345, 678'901'200}},
        {1, 3'579'545, {0, 279}},
        {3'579'544, 3'579'545, {0, 999'999'720}},
        {3'579'545ULL * 86'400 + 1, 3'579'545, {86'400, 279}},
        {two_to_63 - 1, 1'000'000'000, {9'223'372'036, 854'775'807}},
        {two_to_63 - 1, 10'000'000, {18'446'744'073, 709'551'516}},
        {two_to_63, 10'000'000, {0, 0}},
        {two_to_63 - 1, 3'579'545, {12'590'962'042, 485'984'234}},
        {two_to_63, 3'579'545, {12'590'962'042, 485'984'514}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ticks << " ticks at " << c.frequency << " Hz");
        EXPECT_EQ(instant_from_ticks(c.ticks, c.frequency), c.expected);
    }

    for (std::uint64_t frequency : {10'000'000ULL, 3'579'545ULL, 1'000'000'000ULL, 24'000'000ULL}) {
        for (std::uint64_t delta = 0; delta < 5'000'000; delta += 4'999) {
            for (std::uint64_t ticks :
                 {two_to_63 - delta, two_to_63 + delta, ~std::uint64_t{0} - delta, delta * 7'919}) {
                MonotonicInstant got = instant_from_ticks(ticks, frequency);
                ASSERT_EQ(got, exact(ticks, frequency)) << ticks << " ticks at " << frequency;
                ASSERT_LT(got.nanos, billion);
            }
        }
    }
}

TEST(Monotonic, InstantsOrderBySecondsThenNanoseconds) {
    EXPECT_LT((MonotonicInstant{1, 999'999'999}), (MonotonicInstant{2, 0}));
    EXPECT_LT((MonotonicInstant{7, 5}), (MonotonicInstant{7, 6}));
    EXPECT_GT((MonotonicInstant{3, 0}), (MonotonicInstant{2, 999'999'999}));
    EXPECT_EQ((MonotonicInstant{4, 12}), (MonotonicInstant{4, 12}));
    EXPECT_NE((MonotonicInstant{4, 12}), (MonotonicInstant{12, 4}));
}

TEST(Monotonic, ElapsedBetweenBorrowsAcrossSecondsAndIsZeroBackwards) {
    EXPECT_EQ(elapsed_between({5, 900'000'000}, {7, 100'000'000}), (Duration{1, 200'000'000}));
    EXPECT_EQ(elapsed_between({5, 100}, {7, 100}), (Duration{2, 0}));
    EXPECT_EQ(elapsed_between({5, 100}, {5, 99}), (Duration{0, 0}));
    EXPECT_EQ(elapsed_between({6, 0}, {5, 999'999'999}), (Duration{0, 0}));
    EXPECT_EQ(elapsed_between({9, 9}, {9, 9}), (Duration{0, 0}));
    EXPECT_EQ(elapsed_between({0, 999'999'999}, {~std::uint64_t{0}, 0}),
              (Duration{~std::uint64_t{0} - 1, 1}));

    // At 1 GHz a tick is a nanosecond, so the span of two readings is the reading of their
    // difference in ticks.
    for (std::uint64_t start = 0; start < 40'000'000'000; start += 1'234'567'891) {
        for (std::uint64_t span :
             {0ULL, 1ULL, 999'999'999ULL, 1'000'000'000ULL, 86'399'123'456'789ULL}) {
            MonotonicInstant a = instant_from_ticks(start, billion);
            MonotonicInstant b = instant_from_ticks(start + span, billion);
            ASSERT_EQ(elapsed_between(a, b), instant_from_ticks(span, billion));
            ASSERT_EQ(elapsed_between(b, a), (Duration{}));
        }
    }
}

TEST(Monotonic, TimeToLiveRunsOutOnlyOnceStrictlyMoreThanItHasElapsed) {
    // Readings of a clock driven by hand: created, now, ttl, expired.
    struct Case {
        MonotonicInstant created;
        MonotonicInstant now;
        Duration ttl;
        bool expired;
    };
    const Case cases[] = {
        {{10, 0}, {40, 0}, {30, 0}, false},                      // exactly the ttl: still live
        {{10, 0}, {40, 1}, {30, 0}, true},                       // one nanosecond more
        {{10, 500}, {40, 499}, {30, 0}, false},                  // a nanosecond short, borrowing
        {{10, 999'999'999}, {41, 0}, {30, 0}, true},             // the borrow across a second
        {{10, 999'999'999}, {40, 999'999'999}, {30, 0}, false},  // exactly, with nanoseconds
        {{7, 7}, {7, 7}, {0, 0}, false},                         // ttl 0, no time has passed
        {{7, 7}, {7, 8}, {0, 0}, true},                          // ttl 0, any time has passed
        {{50, 0}, {20, 0}, {0, 0}, false},                       // a clock read backwards
        {{0, 0}, {~std::uint64_t{0}, 999'999'999}, {~std::uint64_t{0}, 999'999'999}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ttl_expired(c.created, c.now, c.ttl), c.expired)
            << c.created.secs << "." << c.created.nanos << " -> " << c.now.secs << "."
            << c.now.nanos << " ttl " << c.ttl.secs << "." << c.ttl.nanos;
    }
}

TEST(Monotonic, RealReadingsNeverGoBack) {
    std::int64_t frequency = 0;
    ASSERT_TRUE(os::query_performance_frequency(&frequency));
    EXPECT_GT(frequency, 0);
    if (!test::on_windows()) {
        EXPECT_EQ(frequency, 1'000'000'000) << "the POSIX counter counts nanoseconds";
    }

    std::int64_t previous_ticks = 0;
    MonotonicInstant previous = monotonic_now();
    for (int i = 0; i < 10'000; ++i) {
        std::int64_t ticks = 0;
        ASSERT_TRUE(os::query_performance_counter(&ticks));
        ASSERT_GE(ticks, previous_ticks);
        previous_ticks = ticks;
        MonotonicInstant now = monotonic_now();
        ASSERT_GE(now, previous);
        ASSERT_LT(now.nanos, billion);
        previous = now;
    }
}

}  // namespace
}  // namespace hush_vault::secret
