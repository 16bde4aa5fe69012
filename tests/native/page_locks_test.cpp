// The per-page lock registry: which system calls it makes, what it counts, and how it undoes a
// refused lock. Fake addresses throughout, except for one check of the real system's refusal.
#include "secret/page_locks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "secret/os.hpp"
#include "secret/os_error_text.hpp"
#include "support/fake_lock_backend.hpp"

namespace hush_vault::secret {
namespace {

using test::FakeLockBackend;
using test::LockCall;

constexpr std::size_t page = 4096;
constexpr std::uintptr_t base = 0x7f0000000000;

// An address the fake backend is told about; nothing is ever read or written there.
const void* at_page(std::uintptr_t n, std::uintptr_t offset = 0) {
    std::uintptr_t address = base + n * page + offset;
    return reinterpret_cast<const void*>(address);  // NOLINT(performance-no-int-to-ptr)
}
LockCall lock_of(std::uintptr_t first, std::uintptr_t pages) {
    return {true, base + first * page, pages * page};
}
LockCall unlock_of(std::uintptr_t first, std::uintptr_t pages) {
    return {false, base + first * page, pages * page};
}

std::vector<std::uint32_t> counts(const PageLocks& locks, std::uintptr_t first,
                                  std::uintptr_t last) {
    std::vector<std::uint32_t> result;
    for (std::uintptr_t n = first; n <= last; ++n) {
        result.push_back(locks.count(at_page(n)));
    }
    return result;
}

TEST(PageLocks, LocksAndUnlocksEachRunOfPagesWithOneCall) {
    FakeLockBackend fake(page);
    PageLocks locks(fake.backend());

    ASSERT_TRUE(locks.acquire(at_page(10, 100), 3 * page - 200).has_value());  // pages 10..12
    ASSERT_TRUE(locks.acquire(at_page(11), 5 * page).has_value());             // pages 11..15
    // Pages 9 and 16 are new, 10..15 already held: two separate runs, two calls.
    ASSERT_TRUE(locks.acquire(at_page(9, 1), 8 * page - 1).has_value());  // pages 9..16
    EXPECT_EQ(fake.calls,
              (std::vector{lock_of(10, 3), lock_of(13, 3), lock_of(9, 1), lock_of(16, 1)}));
    EXPECT_EQ(counts(locks, 8, 17), (std::vector<std::uint32_t>{0, 1, 2, 3, 3, 2, 2, 2, 1, 0}));

    fake.calls.clear();
    locks.release(at_page(9, 1), 8 * page - 1);
    EXPECT_EQ(fake.calls, (std::vector{unlock_of(9, 1), unlock_of(16, 1)}));
    fake.calls.clear();
    locks.release(at_page(11), 5 * page);  // 13..15 reach 0, 11 and 12 stay held
    EXPECT_EQ(fake.calls, (std::vector{unlock_of(13, 3)}));
    EXPECT_EQ(counts(locks, 9, 16), (std::vector<std::uint32_t>{0, 1, 1, 1, 0, 0, 0, 0}));
    fake.calls.clear();
    locks.release(at_page(10, 100), 3 * page - 200);
    EXPECT_EQ(fake.calls, (std::vector{unlock_of(10, 3)}));
    EXPECT_EQ(counts(locks, 9, 16), std::vector<std::uint32_t>(8, 0));
}

TEST(PageLocks, RangesSharingAPageKeepItLockedUntilTheLastGoes) {
    FakeLockBackend fake(page);
    PageLocks locks(fake.backend());

    ASSERT_TRUE(locks.acquire(at_page(4, 16), 8).has_value());
    ASSERT_TRUE(locks.acquire(at_page(4, 100), 50).has_value());
    // Four bytes either side of a page boundary touch two pages.
    ASSERT_TRUE(locks.acquire(at_page(5, page - 4), 8).has_value());
    ASSERT_TRUE(locks.acquire(at_page(4, 8), 0).has_value());
    EXPECT_EQ(fake.calls, (std::vector{lock_of(4, 1), lock_of(5, 2)}));
    EXPECT_EQ(counts(locks, 4, 6), (std::vector<std::uint32_t>{2, 1, 1}));

    fake.calls.clear();
    locks.release(at_page(4, 16), 8);
    locks.release(at_page(4, 8), 0);
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_EQ(locks.count(at_page(4)), 1U);
    locks.release(at_page(4, 100), 50);
    locks.release(at_page(5, page - 4), 8);
    EXPECT_EQ(fake.calls, (std::vector{unlock_of(4, 1), unlock_of(5, 2)}));
    EXPECT_EQ(counts(locks, 4, 6), (std::vector<std::uint32_t>{0, 0, 0}));
}

TEST(PageLocks, RefusedLockUndoesWhatThisCallLockedAndKeepsEveryCount) {
    FakeLockBackend fake(page);
    PageLocks locks(fake.backend());
    ASSERT_TRUE(locks.acquire(at_page(12), page).has_value());

    // Pages 10..14 need two runs, 10..11 and 13..14; the second is refused.
    fake.refuse_at(base + 13 * page, 1453);
    fake.calls.clear();
    auto refused = locks.acquire(at_page(10), 5 * page);
    ASSERT_FALSE(refused.has_value());
    // The code of the refusal itself, not of the clean-up that followed it.
    EXPECT_EQ(refused.error(), 1453U);
    // The refused run is undone too: the system may have locked part of it before giving up.
    EXPECT_EQ(fake.calls,
              (std::vector{lock_of(10, 2), lock_of(13, 2), unlock_of(10, 2), unlock_of(13, 2)}));
    EXPECT_EQ(counts(locks, 9, 15), (std::vector<std::uint32_t>{0, 0, 0, 1, 0, 0, 0}));

    // Refused at the first run: only that run is undone.
    fake.calls.clear();
    fake.refuse_at(base + 10 * page, 1453);
    EXPECT_FALSE(locks.acquire(at_page(10), 5 * page).has_value());
    EXPECT_EQ(fake.calls, (std::vector{lock_of(10, 2), unlock_of(10, 2)}));
    EXPECT_EQ(counts(locks, 9, 15), (std::vector<std::uint32_t>{0, 0, 0, 1, 0, 0, 0}));
}

TEST(PageLocks, ForkChildRelocksEveryCountedPageAndKeepsWhatItCannot) {
    FakeLockBackend fake(page);
    PageLocks locks(fake.backend());
    ASSERT_TRUE(locks.acquire(at_page(3), 2 * page).has_value());
    ASSERT_TRUE(locks.acquire(at_page(8, 100), 16).has_value());
    EXPECT_FALSE(locks.take_relock_failure().has_value());

    // The child's relock is refused for page 4: it stays counted and is reported once.
    fake.refuse_at(base + 4 * page, 12);
    fake.calls.clear();
    locks.relock_after_fork();
    std::vector<LockCall> sorted = fake.calls;
    std::sort(sorted.begin(), sorted.end(),
              [](const LockCall& a, const LockCall& b) { return a.address < b.address; });
    EXPECT_EQ(sorted, (std::vector{lock_of(3, 1), lock_of(4, 1), lock_of(8, 1)}));
    EXPECT_EQ(locks.unlocked_pages(), 1U);
    auto failure = locks.take_relock_failure();
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->pages, 1U);
    EXPECT_EQ(failure->code, 12U);
    EXPECT_FALSE(locks.take_relock_failure().has_value());
    EXPECT_EQ(counts(locks, 3, 4), (std::vector<std::uint32_t>{1, 1}));

    // A new lock on the unlocked page tries the system again, and succeeds once it allows it.
    fake.refuse_at(0, 0);
    fake.calls.clear();
    ASSERT_TRUE(locks.acquire(at_page(4, 8), 8).has_value());
    EXPECT_EQ(fake.calls, (std::vector{lock_of(4, 1)}));
    EXPECT_EQ(locks.unlocked_pages(), 0U);
    EXPECT_EQ(counts(locks, 3, 4), (std::vector<std::uint32_t>{1, 2}));
}

TEST(PageLocks, RealSystemRefusalLeavesNothingCounted) {
    PageLocks locks(
        LockBackend{os::virtual_lock, os::virtual_unlock, os::last_error, os::page_size()});
    // The second page of the address space is never mapped (Windows keeps the first 64 KiB free,
    // Linux refuses to map below its minimum address).
    const void* unmapped =
        reinterpret_cast<const void*>(os::page_size());  // NOLINT(performance-no-int-to-ptr)
    auto refused = locks.acquire(unmapped, 16);
    ASSERT_FALSE(refused.has_value());
    EXPECT_NE(refused.error(), os::error_success);
    EXPECT_EQ(locks.count(unmapped), 0U);
    Text text = os_error_text(static_cast<std::int32_t>(refused.error()));
    EXPECT_EQ(text.rfind("OS Error ", 0), Text::npos) << text;
}

}  // namespace
}  // namespace hush_vault::secret
