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
#include "support/platform.hpp"

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
LockCall relock_of(std::uintptr_t first, std::uintptr_t pages) {
    return {true, base + first * page, pages * page, true};
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
    EXPECT_FALSE(locks.release(at_page(9, 1), 8 * page - 1, nullptr));
    EXPECT_EQ(fake.calls, (std::vector{unlock_of(9, 1), unlock_of(16, 1)}));
    fake.calls.clear();
    EXPECT_FALSE(
        locks.release(at_page(11), 5 * page, nullptr));  // 13..15 reach 0, 11 and 12 stay held
    EXPECT_EQ(fake.calls, (std::vector{unlock_of(13, 3)}));
    EXPECT_EQ(counts(locks, 9, 16), (std::vector<std::uint32_t>{0, 1, 1, 1, 0, 0, 0, 0}));
    fake.calls.clear();
    EXPECT_FALSE(locks.release(at_page(10, 100), 3 * page - 200, nullptr));
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
    EXPECT_FALSE(locks.release(at_page(4, 16), 8, nullptr));
    EXPECT_FALSE(locks.release(at_page(4, 8), 0, nullptr));
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_EQ(locks.count(at_page(4)), 1U);
    EXPECT_FALSE(locks.release(at_page(4, 100), 50, nullptr));
    EXPECT_FALSE(locks.release(at_page(5, page - 4), 8, nullptr));
    EXPECT_EQ(fake.calls, (std::vector{unlock_of(4, 1), unlock_of(5, 2)}));
    EXPECT_EQ(counts(locks, 4, 6), (std::vector<std::uint32_t>{0, 0, 0}));
}

TEST(PageLocks, BlocksWithinOnePageShareOneLockAndARefusalLeavesNoCount) {
    FakeLockBackend fake(page);
    PageLocks locks(fake.backend());
    ASSERT_TRUE(locks.acquire(at_page(7, 100), 32).has_value());
    ASSERT_TRUE(locks.acquire(at_page(7, 200), 32).has_value());
    EXPECT_EQ(fake.calls, (std::vector{lock_of(7, 1)}));
    EXPECT_EQ(locks.count(at_page(7)), 2U);
    EXPECT_FALSE(locks.release(at_page(7, 100), 32, nullptr));
    EXPECT_FALSE(locks.release(at_page(7, 200), 32, nullptr));
    EXPECT_EQ(fake.calls, (std::vector{lock_of(7, 1), unlock_of(7, 1)}));

    fake.calls.clear();
    fake.refuse_at(base + 7 * page, 1453);
    auto refused = locks.acquire(at_page(7, 100), 32);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().code, 1453U);
    EXPECT_EQ(refused.error().locking_bytes, page);
    EXPECT_EQ(fake.calls, (std::vector{lock_of(7, 1)}));
    EXPECT_FALSE(locks.undo(refused.error(), nullptr));
    EXPECT_EQ(fake.calls, (std::vector{lock_of(7, 1), unlock_of(7, 1)}));
    EXPECT_EQ(locks.count(at_page(7)), 0U);
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
    EXPECT_EQ(refused.error().code, 1453U);
    // What a lock limit weighed: the four pages asked for, not the one already locked.
    EXPECT_EQ(refused.error().locking_bytes, 4 * page);
    // Undone once the caller has zeroed its bytes, the refused run too (it may be partly locked).
    EXPECT_EQ(fake.calls, (std::vector{lock_of(10, 2), lock_of(13, 2)}));
    EXPECT_FALSE(locks.undo(refused.error(), nullptr));
    EXPECT_EQ(fake.calls,
              (std::vector{lock_of(10, 2), lock_of(13, 2), unlock_of(10, 2), unlock_of(13, 2)}));
    EXPECT_EQ(counts(locks, 9, 15), (std::vector<std::uint32_t>{0, 0, 0, 1, 0, 0, 0}));

    // Refused at the first run: only that run is undone.
    fake.calls.clear();
    fake.refuse_at(base + 10 * page, 1453);
    refused = locks.acquire(at_page(10), 5 * page);
    ASSERT_FALSE(refused.has_value());
    EXPECT_FALSE(locks.undo(refused.error(), nullptr));
    EXPECT_EQ(fake.calls, (std::vector{lock_of(10, 2), unlock_of(10, 2)}));
    EXPECT_EQ(counts(locks, 9, 15), (std::vector<std::uint32_t>{0, 0, 0, 1, 0, 0, 0}));
}

std::vector<LockCall> by_address(std::vector<LockCall> calls) {
    std::stable_sort(calls.begin(), calls.end(),
                     [](const LockCall& a, const LockCall& b) { return a.address < b.address; });
    return calls;
}

TEST(PageLocks, ForkChildRelocksCountedRunsAndKeepsWhatItCannot) {
    FakeLockBackend fake(page);
    PageLocks locks(fake.backend());
    ASSERT_TRUE(locks.acquire(at_page(3), 2 * page).has_value());
    ASSERT_TRUE(locks.acquire(at_page(8, 100), 16).has_value());
    ASSERT_TRUE(locks.acquire(at_page(9, 100), 16).has_value());
    ASSERT_TRUE(locks.acquire(at_page(20, 100), 16).has_value());
    EXPECT_FALSE(locks.take_relock_failure().has_value());

    // Contiguous counted pages are relocked as one run, whatever blocks they came from, in place.
    fake.calls.clear();
    locks.relock_after_fork();
    EXPECT_EQ(by_address(fake.calls),
              (std::vector{relock_of(3, 2), relock_of(8, 2), relock_of(20, 1)}));
    EXPECT_EQ(locks.unlocked_pages(), 0U);

    // A refused run is retried page by page, so that what can be locked is, and the count of
    // refused pages is exact: page 4 stays counted and is reported once.
    fake.refuse_at(base + 4 * page, 12);
    fake.calls.clear();
    locks.relock_after_fork();
    EXPECT_EQ(by_address(fake.calls),
              (std::vector{relock_of(3, 2), relock_of(3, 1), relock_of(4, 1), relock_of(8, 2),
                           relock_of(20, 1)}));
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

    // A refused child that forks before anyone asks: its child relocks from its own state.
    fake.refuse_at(base + 20 * page, 1);
    locks.relock_after_fork();
    ASSERT_EQ(locks.unlocked_pages(), 1U);
    fake.refuse_at(0, 0);
    locks.relock_after_fork();
    EXPECT_EQ(locks.unlocked_pages(), 0U);
    EXPECT_FALSE(locks.failure_pending());

    // A page forgotten or newly counted since the last fork is left out of, or joins, the next.
    EXPECT_FALSE(locks.release(at_page(20, 100), 16, nullptr));
    fake.calls.clear();
    locks.relock_after_fork();
    EXPECT_EQ(by_address(fake.calls), (std::vector{relock_of(3, 2), relock_of(8, 2)}));
    ASSERT_TRUE(locks.acquire(at_page(10), page).has_value());
    fake.calls.clear();
    locks.relock_after_fork();
    EXPECT_EQ(by_address(fake.calls), (std::vector{relock_of(3, 2), relock_of(8, 3)}));
}

TEST(PageLocks, ForkChildWithoutLockInPlaceRelocksPlainAndCountsRefusalsAlike) {
    FakeLockBackend fake(page);
    PageLocks locks(fake.backend());
    ASSERT_TRUE(locks.acquire(at_page(3), 2 * page).has_value());
    ASSERT_TRUE(locks.acquire(at_page(20, 100), 16).has_value());

    // One attempt in place; every other run and page goes straight to the plain lock.
    fake.refuse_in_place(os::error_not_supported);
    fake.refuse_at(base + 4 * page, 12);
    fake.calls.clear();
    locks.relock_after_fork();
    auto calls = fake.calls;
    ASSERT_FALSE(calls.empty());
    EXPECT_TRUE(calls.front().in_place);
    calls.erase(calls.begin());
    EXPECT_EQ(by_address(calls),
              (std::vector{lock_of(3, 2), lock_of(3, 1), lock_of(4, 1), lock_of(20, 1)}));
    auto failure = locks.take_relock_failure();
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->pages, 1U);
    EXPECT_EQ(failure->code, 12U);
    EXPECT_EQ(locks.unlocked_pages(), 1U);
}

TEST(PageLocks, RefusedLockNeverUndoesAPageThatHoldsALiveSecret) {
    FakeLockBackend fake(page);
    PageLocks locks(fake.backend());
    ASSERT_TRUE(locks.acquire(at_page(7, 100), 16).has_value());
    fake.refuse_at(base + 7 * page, 1);
    locks.relock_after_fork();  // page 7: counted, not locked, still excluded from dumps

    // Refused again for a neighbour on the same page: the clean-up leaves page 7 alone.
    fake.calls.clear();
    auto refused = locks.acquire(at_page(7, 200), 16);
    ASSERT_FALSE(refused.has_value());
    EXPECT_FALSE(locks.undo(refused.error(), nullptr));
    EXPECT_EQ(fake.calls, (std::vector{lock_of(7, 1)}));
    // A range over new pages around it: only the new pages are undone.
    fake.refuse_at(base + 8 * page, 1);
    fake.calls.clear();
    refused = locks.acquire(at_page(6), 3 * page);
    ASSERT_FALSE(refused.has_value());
    EXPECT_FALSE(locks.undo(refused.error(), nullptr));
    EXPECT_EQ(fake.calls, (std::vector{lock_of(6, 3), unlock_of(6, 1), unlock_of(8, 1)}));
    EXPECT_EQ(counts(locks, 6, 8), (std::vector<std::uint32_t>{0, 1, 0}));
    EXPECT_EQ(locks.unlocked_pages(), 1U);
}

TEST(PageLocks, ARefusedUnlockKeepsTheBlockUntilALaterReleaseUnlocksItsPages) {
    FakeLockBackend fake(page);
    PageLocks locks(fake.backend());
    void* blocks[] = {allocate(1), allocate(1)};                   // the heap blocks being released
    ASSERT_TRUE(locks.acquire(at_page(2), 3 * page).has_value());  // pages 2..4
    ASSERT_TRUE(locks.acquire(at_page(9, 8), 8).has_value());
    ASSERT_TRUE(locks.acquire(at_page(11, 8), 8).has_value());

    // Out of mappings: the registry keeps the block, so that no one can unmap or reuse its pages.
    fake.refuse_unlock_at(base + 3 * page, 12);
    EXPECT_TRUE(locks.release(at_page(2), 3 * page, blocks[0]));
    EXPECT_EQ(locks.stuck_pages(), 3U);
    ASSERT_TRUE(locks.failure_pending());
    auto failure = locks.take_unlock_failure();
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->pages, 3U);
    EXPECT_EQ(failure->code, 12U);
    EXPECT_FALSE(locks.failure_pending());

    // A release whose own unlock is refused freed no mapping: nothing else is tried.
    fake.refuse_unlock_at(base + 2 * page, 12, 10 * page);
    fake.calls.clear();
    EXPECT_TRUE(locks.release(at_page(9, 8), 8, blocks[1]));
    EXPECT_EQ(fake.calls, (std::vector{unlock_of(9, 1)}));
    EXPECT_EQ(locks.take_unlock_failure()->pages, 1U);
    // Once an unlock goes through, the kept blocks are tried again, unlocked and freed.
    fake.refuse_unlock_at(0, 0);
    fake.calls.clear();
    EXPECT_FALSE(locks.release(at_page(11, 8), 8, nullptr));
    EXPECT_EQ(fake.calls, (std::vector{unlock_of(11, 1), unlock_of(2, 3), unlock_of(9, 1)}));
    EXPECT_EQ(fake.freed, (std::vector<void*>{blocks[0], blocks[1]}));
    EXPECT_EQ(locks.stuck_pages(), 0U);

    // Windows refuses to unlock what is not locked: that is no failure.
    fake.refuse_unlock_at(base + 9 * page, os::error_not_locked);
    ASSERT_TRUE(locks.acquire(at_page(9, 8), 8).has_value());
    EXPECT_FALSE(locks.release(at_page(9, 8), 8, nullptr));
    EXPECT_FALSE(locks.failure_pending());

    // A stuck page locked again for a new secret is counted, and no longer stuck.
    fake.refuse_unlock_at(base + 6 * page, 12);
    ASSERT_TRUE(locks.acquire(at_page(6, 8), 8).has_value());
    EXPECT_TRUE(locks.release(at_page(6, 8), 8, nullptr));
    ASSERT_EQ(locks.stuck_pages(), 1U);
    ASSERT_TRUE(locks.acquire(at_page(6, 8), 8).has_value());
    EXPECT_EQ(locks.stuck_pages(), 0U);
}

TEST(PageLocks, AtTheMappingLimitAReleaseRetriesOnlyOnceAnUnlockGoesThrough) {
    FakeLockBackend fake(page);
    PageLocks locks(fake.backend());
    constexpr std::uintptr_t vaults = 2000;
    for (std::uintptr_t n = 0; n < vaults; ++n) {
        ASSERT_TRUE(locks.acquire(at_page(2 * n, 8), 8).has_value());
    }
    // Each refused release costs its own call and allocates nothing (no room: a fail-fast end).
    fake.refuse_unlock_at(base, 12, 2 * vaults * page);
    fake.calls.clear();
    for (std::uintptr_t n = 0; n + 1 < vaults; ++n) {
        EXPECT_TRUE(locks.release(at_page(2 * n, 8), 8, nullptr));
    }
    EXPECT_EQ(fake.calls.size(), vaults - 1);
    // The first unlock that goes through has every kept page unlocked, each once.
    fake.refuse_unlock_at(0, 0);
    fake.calls.clear();
    EXPECT_FALSE(locks.release(at_page(2 * (vaults - 1), 8), 8, nullptr));
    EXPECT_EQ(fake.calls.size(), vaults);
    EXPECT_EQ(locks.stuck_pages(), 0U);
}

TEST(PageLocks, AStuckRunThatStaysRefusedHoldsNoOtherBack) {
    FakeLockBackend fake(page);
    PageLocks locks(fake.backend());
    for (std::uintptr_t n : {2, 5, 9, 12}) {
        ASSERT_TRUE(locks.acquire(at_page(n, 8), 8).has_value());
    }
    fake.refuse_unlock_at(base + 2 * page, 12, 4 * page);
    EXPECT_TRUE(locks.release(at_page(2, 8), 8, nullptr));
    EXPECT_TRUE(locks.release(at_page(5, 8), 8, nullptr));
    ASSERT_EQ(locks.stuck_pages(), 2U);

    // Page 2 stays refused; a retry stops there, and the next one starts past it.
    fake.refuse_unlock_at(base + 2 * page, 12);
    fake.calls.clear();
    EXPECT_FALSE(locks.release(at_page(9, 8), 8, nullptr));
    EXPECT_EQ(fake.calls, (std::vector{unlock_of(9, 1), unlock_of(2, 1)}));
    fake.calls.clear();
    EXPECT_FALSE(locks.release(at_page(12, 8), 8, nullptr));
    EXPECT_EQ(fake.calls, (std::vector{unlock_of(12, 1), unlock_of(5, 1), unlock_of(2, 1)}));
    EXPECT_EQ(locks.stuck_pages(), 1U);
}

#if defined(__linux__)
TEST(PageLocks, APageGivenBackToTheSystemIsNeverKeptAsStuck) {
    if (!test::memory_locks_are_real) {
        GTEST_SKIP() << "mlock is a no-op here";
    }
    PageLocks locks(LockBackend{os::virtual_lock, os::virtual_lock_in_place, os::virtual_unlock,
                                os::last_error, deallocate, os::page_size()});
    void* mapped = test::map_page();
    ASSERT_NE(mapped, nullptr);
    ASSERT_TRUE(locks.acquire(mapped, 16).has_value());
    // Unmapping ends the lock with the page; unlocking it then fails, and nothing is left to undo.
    test::unmap_page(mapped);
    EXPECT_FALSE(locks.release(mapped, 16, nullptr));
    EXPECT_EQ(locks.stuck_pages(), 0U);
    EXPECT_FALSE(locks.failure_pending());
}
#endif

TEST(PageLocks, RealSystemRefusalLeavesNothingCounted) {
    PageLocks locks(LockBackend{os::virtual_lock, os::virtual_lock_in_place, os::virtual_unlock,
                                os::last_error, deallocate, os::page_size()});
    // The second page of the address space is never mapped (Windows keeps the first 64 KiB free,
    // Linux refuses to map below its minimum address).
    const void* unmapped =
        reinterpret_cast<const void*>(os::page_size());  // NOLINT(performance-no-int-to-ptr)
    auto refused = locks.acquire(unmapped, 16);
    ASSERT_FALSE(refused.has_value());
    EXPECT_NE(refused.error().code, os::error_success);
    // Linux unlocks an unmapped range as holding no lock; Windows refuses it, so it is kept there
    // (no heap block is ever unmapped while the registry holds it). Where mlock is a no-op
    // (AddressSanitizer) munlock "succeeds" and letting the range back into core dumps fails, so
    // it is kept as well.
    const bool kept = locks.undo(refused.error(), nullptr);
    if constexpr (test::memory_locks_are_real) {
        EXPECT_EQ(kept, test::on_windows());
    }
    EXPECT_EQ(locks.count(unmapped), 0U);
    Text text = os_error_text(static_cast<std::int32_t>(refused.error().code));
    EXPECT_EQ(text.rfind("OS Error ", 0), Text::npos) << text;
}

}  // namespace
}  // namespace hush_vault::secret
