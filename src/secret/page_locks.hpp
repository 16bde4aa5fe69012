// Process-wide count of live memory locks per page. Memory locks do not stack (mlock, VirtualLock)
// and small heap blocks share pages, so unlocking one secret must not unlock a neighbour's page:
// a page is locked when its count leaves 0 and unlocked when it returns to 0.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "memory.hpp"
#include "os.hpp"
#include "result.hpp"

namespace hush_vault::secret {

// Pages that a child process could not lock again after fork, and the system's reason.
struct RelockFailure {
    std::size_t pages;
    os::ErrorCode code;
};

// Pages whose count returned to 0 but which the system refused to unlock (a process out of memory
// mappings: unlocking part of a locked run splits it), and the system's reason.
struct UnlockFailure {
    std::size_t pages;
    os::ErrorCode code;
};

// The system calls the registry makes; the process registry uses the OS layer, tests a fake.
struct LockBackend {
    bool (*lock)(void* address, std::size_t n) noexcept;
    // The relock after fork: without copying inherited pages, or error_not_supported.
    bool (*lock_in_place)(void* address, std::size_t n) noexcept;
    bool (*unlock)(void* address, std::size_t n) noexcept;
    os::ErrorCode (*last_error)() noexcept;
    std::size_t page_size;
};

class PageLocks {
  public:
    explicit PageLocks(LockBackend backend) noexcept;
    PageLocks(const PageLocks&) = delete;
    PageLocks& operator=(const PageLocks&) = delete;
    PageLocks(PageLocks&&) = delete;
    PageLocks& operator=(PageLocks&&) = delete;
    ~PageLocks() = default;

    // The registry over the OS layer; created on first use and never destroyed.
    static PageLocks& process() noexcept;

    // Counts one more lock on every page that [address, address + n) touches, locking the pages
    // whose count leaves 0 (one system call per run of such pages). On failure returns the
    // system's error code, unlocks what this call locked and leaves every count as it was.
    // n == 0 succeeds without a system call.
    Expected<void, os::ErrorCode> acquire(const void* address, std::size_t n) noexcept;

    // Undoes one acquire of the same range: pages whose count returns to 0 are unlocked. Pages the
    // system refuses to unlock are kept (stuck_pages) and the failure is kept for
    // take_unlock_failure(); every release tries them again, until the system allows it.
    void release(const void* address, std::size_t n) noexcept;

    // The live lock count of the page holding address (for tests and diagnostics).
    [[nodiscard]] std::uint32_t count(const void* address) const noexcept;

    // Memory locks are not inherited across fork, but the counts are. In a child just made by
    // fork this locks every counted page again, one system call per run of contiguous pages (a
    // refused run is tried again page by page), in place where the system can (the child does
    // not copy the pages it shares with its parent), with the plain lock where it cannot. It starts
    // from this process's own state: what the parent could not lock, or unlock, is not taken over.
    // Pages the system refuses stay counted and are remembered as unlocked: the next acquire
    // touching one tries again, and the failure is kept for take_relock_failure(). The process
    // registry runs this from its fork handler.
    void relock_after_fork() noexcept;

    // The pages counted by live locks that are not locked now (the child's relock was refused).
    [[nodiscard]] std::size_t unlocked_pages() const noexcept;

    // The pages no live lock counts that stay locked because the system refused to unlock them.
    [[nodiscard]] std::size_t stuck_pages() const noexcept;

    // The relock failure of the last fork, once; nothing when there was none or it was taken.
    [[nodiscard]] std::optional<RelockFailure> take_relock_failure() noexcept;

    // The unlock failures since the last take, once (pages summed, the first reason).
    [[nodiscard]] std::optional<UnlockFailure> take_unlock_failure() noexcept;

    // Whether either take_ above has a failure to hand out: one atomic load, so that callers may
    // ask on every call.
    [[nodiscard]] bool failure_pending() const noexcept {
        return failure_pending_.load(std::memory_order_acquire);
    }

  private:
    using Counts =
        std::unordered_map<std::uintptr_t, std::uint32_t, std::hash<std::uintptr_t>,
                           std::equal_to<>,
                           FailFastAllocator<std::pair<const std::uintptr_t, std::uint32_t>>>;

    using PageSet = std::unordered_set<std::uintptr_t, std::hash<std::uintptr_t>, std::equal_to<>,
                                       FailFastAllocator<std::uintptr_t>>;

    // Whether acquire has to call the system for this page: nobody holds it, or a relock after
    // fork was refused for it.
    [[nodiscard]] bool needs_lock(std::uintptr_t page) const noexcept;

    void relock_after_fork_locked() noexcept;  // relock_after_fork with mutex_ held

    // Unlocks pages first..last; true when they are unlocked now.
    [[nodiscard]] bool unlock_run(std::uintptr_t first, std::uintptr_t last) const noexcept;
    // Unlocks pages first..last, which no live lock counts; a refusal keeps them in stuck_.
    void unlock_uncounted(std::uintptr_t first, std::uintptr_t last) noexcept;
    // Tries the stuck pages again, run by run; those the system still refuses stay stuck.
    void retry_stuck() noexcept;
    void note_pending() noexcept;  // with mutex_ held: a failure is waiting to be taken

    friend struct ProcessForkHandlers;

    LockBackend backend_;
    mutable std::mutex mutex_;
    Counts counts_;     // page number -> live locks; pages at 0 are not stored
    PageSet unlocked_;  // counted pages whose relock after fork was refused
    // Uncounted pages still locked because unlocking them was refused; ordered, so that they are
    // tried again as runs (each page alone could split a locked run further).
    std::set<std::uintptr_t, std::less<>, FailFastAllocator<std::uintptr_t>> stuck_;
    std::optional<RelockFailure> relock_failure_;  // not yet taken
    std::optional<UnlockFailure> unlock_failure_;  // not yet taken
    std::atomic<bool> failure_pending_{false};     // either is set: the cheap test
};

}  // namespace hush_vault::secret
