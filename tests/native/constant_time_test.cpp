// Constant-time equality gives the right answer for every byte pair, position and length, and
// reads every byte whatever it finds. That its time does not depend on the bytes is checked under
// valgrind (tests/native/valgrind).
#include "secret/constant_time.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "support/platform.hpp"

namespace hush_vault::secret {
namespace {

TEST(ConstantTime, EveryPairOfBytesIsEqualExactlyWhenIdentical) {
    for (unsigned x = 0; x < 256; ++x) {
        const auto a = static_cast<std::uint8_t>(x);
        ASSERT_EQ(value_barrier(a), a);
        for (unsigned y = 0; y < 256; ++y) {
            const auto b = static_cast<std::uint8_t>(y);
            ASSERT_EQ(constant_time_eq(&a, &b, 1), x == y) << x << " " << y;
        }
    }
}

TEST(ConstantTime, AnyDifferenceAtAnyPositionMakesSequencesUnequalAndEmptyOnesAreEqual) {
    EXPECT_TRUE(constant_time_eq(nullptr, nullptr, 0));
    std::mt19937 rng(11);
    for (std::size_t n : {1, 2, 7, 8, 9, 16, 31, 64, 257}) {
        std::vector<std::uint8_t> a(n);
        for (auto& byte : a) byte = static_cast<std::uint8_t>(rng());
        std::vector<std::uint8_t> b = a;
        EXPECT_TRUE(constant_time_eq(a.data(), b.data(), n)) << n;
        for (std::size_t i = 0; i < n; ++i) {
            for (unsigned flip : {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0xFF}) {
                b[i] ^= flip;
                EXPECT_FALSE(constant_time_eq(a.data(), b.data(), n)) << n << " " << i;
                EXPECT_TRUE(constant_time_eq(a.data(), b.data(), i)) << n << " " << i;
                b[i] ^= flip;
            }
        }
    }
}

TEST(ConstantTime, ReadsTheLastByteWhereverTheFirstDifferenceIs) {
    // The last byte of `a` sits alone on a watched page: a comparison that stopped at an earlier
    // difference would never touch it.
    test::WatchedPages pages;
    for (std::size_t n : {2, 9, 64}) {
        std::uint8_t* a = pages.data() + pages.page_size() - (n - 1);
        for (std::size_t i = 0; i < n; ++i) a[i] = static_cast<std::uint8_t>(0x41 + i);
        for (std::size_t differ_at : {std::size_t{0}, n / 2, n - 2}) {
            std::vector<std::uint8_t> b(a, a + n);
            b[differ_at] ^= 0x5A;
            pages.watch();
            EXPECT_FALSE(constant_time_eq(a, b.data(), n));
            EXPECT_TRUE(pages.second_page_touched()) << n << " " << differ_at;
        }
    }
}

}  // namespace
}  // namespace hush_vault::secret
