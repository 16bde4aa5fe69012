// The borrow flag: shared holders stack, an exclusive holder excludes everyone.
#include "frame/pure/borrow_flag.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace hush_vault::frame {
namespace {

TEST(BorrowFlag, SharedAndExclusiveExcludeEachOther) {
    BorrowFlag flag;
    ASSERT_TRUE(flag.take_shared());
    ASSERT_TRUE(flag.take_shared());
    EXPECT_EQ(flag.value(), 2);
    EXPECT_FALSE(flag.take_exclusive());  // "Already borrowed"
    EXPECT_EQ(flag.value(), 2);
    flag.release_shared();
    flag.release_shared();
    ASSERT_TRUE(flag.take_exclusive());
    EXPECT_FALSE(flag.take_shared());  // "Already mutably borrowed"
    EXPECT_FALSE(flag.take_exclusive());
    EXPECT_EQ(flag.value(), BorrowFlag::exclusive);
    flag.release_exclusive();
    EXPECT_EQ(flag.value(), 0);
}

TEST(BorrowFlag, ConcurrentSharedHoldersAreAllCounted) {
    BorrowFlag flag;
    constexpr int threads = 4;
    constexpr int rounds = 20000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&flag] {
            for (int i = 0; i < rounds; ++i) {
                if (flag.take_shared()) {
                    flag.release_shared();
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(flag.value(), 0);
    EXPECT_TRUE(flag.take_exclusive());
}

}  // namespace
}  // namespace hush_vault::frame
