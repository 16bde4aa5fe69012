// SecretBuffer: the copy, the lock through the page registry, the wipe, the refused lock and the
// release, over a fake lock backend, and the lock of shared pages on the real system.
#include "secret/secret_buffer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <numeric>
#include <optional>
#include <utility>
#include <vector>

#include "secret/os.hpp"
#include "secret/os_error_text.hpp"
#include "support/fake_lock_backend.hpp"
#include "support/platform.hpp"

namespace hush_vault::secret {
namespace {

using test::FakeLockBackend;

std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{0xA5});
    std::replace(bytes.begin(), bytes.end(), std::uint8_t{0}, std::uint8_t{0x5A});
    return bytes;
}

bool all_zero(const std::uint8_t* bytes, std::size_t n) {
    return std::all_of(bytes, bytes + n, [](std::uint8_t b) { return b == 0; });
}

TEST(SecretBuffer, WipeZeroesTheWholeBlockAndKeepsItUntilDestruction) {
    for (std::size_t n : {1, 7, 8, 9, 4096}) {
        SCOPED_TRACE(n);
        FakeLockBackend fake(os::page_size());
        PageLocks locks(fake.backend());
        const std::vector<std::uint8_t> secret = pattern(n);

        std::optional<SecretBuffer> owner(SecretBuffer::from_bytes(secret.data(), n));
        SecretBuffer& buffer = *owner;
        ASSERT_EQ(buffer.capacity(), n);
        ASSERT_EQ(buffer.length(), n);
        ASSERT_NE(buffer.data(), secret.data());
        ASSERT_TRUE(std::equal(secret.begin(), secret.end(), buffer.data()));
        ASSERT_FALSE(buffer.locked());

        ASSERT_TRUE(buffer.lock(locks).has_value());
        EXPECT_TRUE(buffer.locked());
        EXPECT_EQ(locks.count(buffer.data()), 1U);
        EXPECT_EQ(locks.count(buffer.data() + n - 1), 1U);
        const std::uint8_t* block = buffer.data();

        buffer.wipe();
        EXPECT_EQ(buffer.length(), 0U);
        EXPECT_EQ(buffer.capacity(), n);
        EXPECT_EQ(buffer.data(), block);
        EXPECT_TRUE(all_zero(buffer.data(), n));
        EXPECT_FALSE(buffer.locked());
        EXPECT_EQ(locks.count(block), 0U);
        EXPECT_EQ(locks.count(block + n - 1), 0U);
        ASSERT_FALSE(fake.calls.empty());
        EXPECT_TRUE(fake.calls.front().lock);
        EXPECT_FALSE(fake.calls.back().lock);

        // A second wipe, and the destructor after it, make no further system call.
        const std::size_t calls = fake.calls.size();
        buffer.wipe();
        owner.reset();
        EXPECT_EQ(fake.calls.size(), calls);
    }
}

TEST(SecretBuffer, EveryEndOfALockedSecretZeroesItBeforeUnlocking) {
    // Each way a locked buffer ends; the fake checks the block at the moment it is unlocked.
    using End = void (*)(std::optional<SecretBuffer>&);
    const std::pair<const char*, End> ends[] = {
        {"wipe", [](std::optional<SecretBuffer>& b) { b->wipe(); }},
        {"destruction", [](std::optional<SecretBuffer>& b) { b.reset(); }},
        {"assignment over it", [](std::optional<SecretBuffer>& b) { *b = SecretBuffer(); }},
    };
    for (const auto& [name, end] : ends) {
        SCOPED_TRACE(name);
        FakeLockBackend fake(os::page_size());
        PageLocks locks(fake.backend());
        const std::vector<std::uint8_t> secret = pattern(100);
        std::optional<SecretBuffer> buffer(SecretBuffer::from_bytes(secret.data(), secret.size()));
        ASSERT_TRUE(buffer->lock(locks).has_value());
        fake.watch_block(buffer->data(), secret.size());
        end(buffer);
        EXPECT_EQ(fake.watched_unlocks, 1U);
        EXPECT_EQ(fake.plaintext_unlocks, 0U);
    }
}

TEST(SecretBuffer, EmptySecretTakesNoBlockAndMakesNoLockCall) {
    FakeLockBackend fake(os::page_size());
    PageLocks locks(fake.backend());
    const std::uint8_t ignored = 0x41;
    {
        SecretBuffer buffer = SecretBuffer::from_bytes(&ignored, 0);
        EXPECT_EQ(buffer.data(), nullptr);
        EXPECT_EQ(buffer.capacity(), 0U);
        EXPECT_EQ(buffer.length(), 0U);
        EXPECT_TRUE(buffer.lock(locks).has_value());
        EXPECT_FALSE(buffer.locked());
        buffer.wipe();
        EXPECT_EQ(buffer.capacity(), 0U);
    }
    EXPECT_TRUE(fake.calls.empty());
}

TEST(SecretBuffer, RefusedLockNamesTheSystemErrorAndZeroesTheBufferBeforeUndoingIt) {
    FakeLockBackend fake(os::page_size());
    PageLocks locks(fake.backend());
    const std::vector<std::uint8_t> secret = pattern(9);
    SecretBuffer buffer = SecretBuffer::from_bytes(secret.data(), secret.size());
    // 1453 is ERROR_WORKING_SET_QUOTA, what Windows gives once the locked pages would pass the
    // process's minimum working set (Wine answers 5, ERROR_ACCESS_DENIED, for a refused mlock).
    fake.refuse_at(reinterpret_cast<std::uintptr_t>(buffer.data()), 1453);
    fake.watch_block(buffer.data(), secret.size());

    auto refused = buffer.lock(locks);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().code, 1453U);
    const Text message = refused.error().message();
    EXPECT_EQ(message, "Failed to lock memory (VirtualLock): " + os_error_text(1453));
    EXPECT_TRUE(message.ends_with(" (os error 1453)")) << message;

    // The clean-up unlocked the refused run only once the secret was zero.
    EXPECT_EQ(fake.watched_unlocks, 1U);
    EXPECT_EQ(fake.plaintext_unlocks, 0U);
    EXPECT_FALSE(buffer.locked());
    EXPECT_EQ(locks.count(buffer.data()), 0U);
    EXPECT_EQ(buffer.length(), 0U);
    EXPECT_TRUE(all_zero(buffer.data(), secret.size()));
}

TEST(SecretBuffer, ARefusedUnlockHandsTheZeroedBlockToTheRegistry) {
    FakeLockBackend fake(os::page_size());
    PageLocks locks(fake.backend());
    const std::vector<std::uint8_t> secret = pattern(100);
    SecretBuffer buffer = SecretBuffer::from_bytes(secret.data(), secret.size());
    ASSERT_TRUE(buffer.lock(locks).has_value());
    auto* block = const_cast<std::uint8_t*>(buffer.data());
    fake.refuse_unlock_at(reinterpret_cast<std::uintptr_t>(block), 12);
    buffer.wipe();
    EXPECT_EQ(buffer.data(), nullptr);  // the registry holds it: its pages stay the heap's
    EXPECT_TRUE(all_zero(block, secret.size()));
    // The next release whose unlock goes through unlocks its pages and frees it.
    fake.refuse_unlock_at(0, 0);
    SecretBuffer other = SecretBuffer::from_bytes(secret.data(), secret.size());
    ASSERT_TRUE(other.lock(locks).has_value());
    other.wipe();
    EXPECT_EQ(fake.freed, (std::vector<void*>{block}));
}

TEST(SecretBuffer, DestructionAndMovesHandOverOrReleaseTheLocks) {
    FakeLockBackend fake(os::page_size());
    PageLocks locks(fake.backend());
    const std::vector<std::uint8_t> first = pattern(24);
    const std::vector<std::uint8_t> second = pattern(40);

    auto held = std::make_unique<SecretBuffer>(SecretBuffer::from_bytes(first.data(), 24));
    ASSERT_TRUE(held->lock(locks).has_value());
    const std::uint8_t* first_block = held->data();

    SecretBuffer moved(std::move(*held));
    EXPECT_EQ(held->data(), nullptr);
    EXPECT_EQ(held->capacity(), 0U);
    EXPECT_FALSE(held->locked());
    EXPECT_TRUE(moved.locked());
    EXPECT_EQ(moved.data(), first_block);
    const std::size_t calls = fake.calls.size();
    held.reset();  // the moved-from shell holds nothing to unlock
    EXPECT_EQ(fake.calls.size(), calls);
    EXPECT_EQ(locks.count(first_block), 1U);

    // Assigning over a locked buffer releases its pages and takes over the other's.
    SecretBuffer other = SecretBuffer::from_bytes(second.data(), 40);
    ASSERT_TRUE(other.lock(locks).has_value());
    const std::uint8_t* second_block = other.data();
    const std::uint32_t shared = locks.count(first_block);  // 2 when both blocks share a page
    moved = std::move(other);
    EXPECT_EQ(locks.count(first_block), shared - 1);
    EXPECT_EQ(moved.data(), second_block);
    EXPECT_TRUE(moved.locked());
    EXPECT_TRUE(std::equal(second.begin(), second.end(), moved.data()));

    {
        SecretBuffer last(std::move(moved));
        EXPECT_EQ(locks.count(second_block), 1U);
    }  // destroyed while locked: the destructor gives the pages back
    EXPECT_EQ(locks.count(second_block), 0U);
    EXPECT_FALSE(fake.calls.back().lock);
}

// Two small buffers whose blocks share a page; nothing when the heap spreads them out.
std::optional<std::pair<SecretBuffer, SecretBuffer>> neighbours(
    const std::vector<std::uint8_t>& secret) {
    const std::uintptr_t page = os::page_size();
    std::vector<SecretBuffer> made;
    for (int i = 0; i < 64; ++i) {
        made.push_back(SecretBuffer::from_bytes(secret.data(), secret.size()));
        auto here = reinterpret_cast<std::uintptr_t>(made.back().data());
        for (std::size_t j = 0; j + 1 < made.size(); ++j) {
            auto there = reinterpret_cast<std::uintptr_t>(made[j].data());
            if (here / page == there / page && (here + secret.size() - 1) / page == here / page &&
                (there + secret.size() - 1) / page == there / page) {
                return std::pair(std::move(made[j]), std::move(made.back()));
            }
        }
    }
    return std::nullopt;
}

// Checks what the system itself reports about the page: locked, and on Linux kept from dumps.
void expect_page_locked(const void* address, bool locked) {
    if (!test::memory_locks_are_real) {
        return;
    }
    auto state = test::page_state(address);
    if (!state) {
        EXPECT_TRUE(test::on_windows()) << "Linux lists every mapping in /proc/self/smaps";
        return;
    }
    EXPECT_EQ(state->locked, locked);
    if (state->kept_from_dumps) {
        EXPECT_EQ(*state->kept_from_dumps, locked);
    }
}

TEST(SecretBuffer, NeighboursOnOnePageKeepItLockedUntilBothAreGone) {
    const std::vector<std::uint8_t> secret = pattern(16);
    auto pair = neighbours(secret);
    ASSERT_TRUE(pair.has_value()) << "the heap gave no two small blocks on one page";
    auto first = std::make_unique<SecretBuffer>(std::move(pair->first));
    auto second = std::make_unique<SecretBuffer>(std::move(pair->second));
    const std::uint8_t* page_of_both = second->data();
    PageLocks& locks = PageLocks::process();

    ASSERT_TRUE(first->lock().has_value());
    ASSERT_TRUE(second->lock().has_value());
    EXPECT_EQ(locks.count(page_of_both), 2U);
    expect_page_locked(page_of_both, true);

    first.reset();
    EXPECT_EQ(locks.count(page_of_both), 1U);
    {
        SCOPED_TRACE("one neighbour destroyed");
        expect_page_locked(page_of_both, true);
    }

    second.reset();
    EXPECT_EQ(locks.count(page_of_both), 0U);
    expect_page_locked(page_of_both, false);
}

}  // namespace
}  // namespace hush_vault::secret
