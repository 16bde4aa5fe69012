// Process-wide count of live memory locks per page. Memory locks do not stack (mlock, VirtualLock)
// and small heap blocks share pages, so unlocking one secret must not unlock a neighbour's page:
// a page is locked when its count leaves 0 and unlocked when it returns to 0.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
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
    void (*free_block)(void* block) noexcept;  // gives back a heap block the registry was handed
    std::size_t page_size;
};

// A refused acquire: the system's reason, the size of the pages the call asked the system to
// lock up to the refusal (what a lock limit weighed), and the pages the call may have left locked,
// for undo().
struct RefusedLock {
    os::ErrorCode code;
    std::size_t locking_bytes;
    std::uintptr_t first;
    std::uintptr_t last;
};

class PageLocks {
  public:
    explicit PageLocks(LockBackend backend) noexcept;
    PageLocks(const PageLocks&) = delete;
    PageLocks& operator=(const PageLocks&) = delete;
    PageLocks(PageLocks&&) = delete;
    PageLocks& operator=(PageLocks&&) = delete;
    ~PageLocks() = default;

    // The registry over the OS layer; created on first use and never destroyed. Inline: every
    // call into a vault asks it whether a failure is pending.
    static PageLocks& process() noexcept {
        if (PageLocks* locks = process_registry_.load(std::memory_order_acquire)) {
            return *locks;
        }
        return create_process();
    }

    // Counts one more lock on every page that [address, address + n) touches, locking the pages
    // whose count leaves 0 (one system call per run of such pages). On failure leaves every count
    // as it was and returns what the caller must pass to undo() once the range's bytes are zeroed:
    // the system may have locked part of it before giving up. n == 0 succeeds without a system
    // call. May allocate (storage for a later refused unlock is reserved here).
    Expected<void, RefusedLock> acquire(const void* address, std::size_t n) noexcept;

    // After a refused acquire of a range inside `block` (a heap block from allocate()): unlocks
    // the pages that call may have locked and no live lock counts. True when the system refused
    // and the registry took the block (see release()); the caller must then forget it.
    [[nodiscard]] bool undo(const RefusedLock& refused, void* block) noexcept;

    // Undoes one acquire of [address, address + n), a range inside `block` (a heap block from
    // allocate()): pages whose count returns to 0 are unlocked. When the system refuses, the
    // registry takes the block and returns true (the caller must forget it): while the block is
    // allocated no one can unmap or reuse its pages, so they stay the memory they were until a
    // later release unlocks them and frees the block. The failure is kept for
    // take_unlock_failure(). Kept blocks are tried again after a release whose own unlock
    // succeeded (mappings were freed), one refusal at most per release. Never allocates.
    [[nodiscard]] bool release(const void* address, std::size_t n, void* block) noexcept;

    // The live lock count of the page holding address (for tests and diagnostics).
    [[nodiscard]] std::uint32_t count(const void* address) const noexcept;

    // Memory locks are not inherited across fork, but the counts are. In a child just made by
    // fork this locks every counted page again, one system call per run of contiguous pages (a
    // refused run is tried again page by page), in place where the system can (the child does
    // not copy the pages it shares with its parent), with the plain lock where it cannot. It starts
    // from this process's own state: what the parent could not lock is not taken over, nor a
    // failure it had not reported; blocks kept for a refused unlock stay kept (their pages are out
    // of core dumps here too, until a retry lets them back). Pages the system refuses stay counted
    // and are remembered as unlocked: the next acquire touching one tries again, and the failure is
    // kept for take_relock_failure(). The process registry runs this from its fork handler.
    void relock_after_fork() noexcept;

    // The pages counted by live locks that are not locked now (the child's relock was refused).
    [[nodiscard]] std::size_t unlocked_pages() const noexcept;

    // The pages no live lock counts that stay locked because the system refused to unlock them
    // (pages of kept blocks' refused runs, counted per block).
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
    // Brings sorted_pages_ up to date with the counted pages.
    void sort_pages() noexcept;

    // A page's first live lock, in the node its last count left behind when there is one.
    void count_first(std::uintptr_t page) noexcept;
    // A page whose count returned to 0; its node is kept for the next count_first.
    void forget(Counts::iterator entry) noexcept;

    // A heap block kept because unlocking pages first..last of it was refused.
    struct KeptBlock {
        std::uintptr_t first;
        std::uintptr_t last;
        void* block;
    };

    // What unlock_uncounted did: how many runs it unlocked or tried, and the refused ones (their
    // pages, the span from the first to the last, the first one's reason).
    struct Unlocked {
        std::size_t runs = 0;
        std::size_t refused_pages = 0;
        std::uintptr_t first = 0;
        std::uintptr_t last = 0;
        os::ErrorCode code = os::error_success;
    };

    // Unlocks pages first..last; true when they are unlocked now.
    [[nodiscard]] bool unlock_run(std::uintptr_t first, std::uintptr_t last) const noexcept;
    // Unlocks the pages in first..last that no live lock counts, one call per run.
    Unlocked unlock_uncounted(std::uintptr_t first, std::uintptr_t last) const noexcept;
    // Keeps `block` for a refused unlock (in storage reserved by acquire) and notes the failure.
    void keep(const Unlocked& refused, void* block) noexcept;
    // Tries kept blocks again, from where the last retry stopped, until the system refuses one.
    void retry_kept() noexcept;
    // Room for one kept block per live lock and per refused acquire not yet undone.
    void reserve_for_refusals() noexcept;
    void note_pending() noexcept;  // with mutex_ held: a failure is waiting to be taken

    static PageLocks& create_process() noexcept;  // process() on first use

    friend struct ProcessForkHandlers;

    static inline std::atomic<PageLocks*> process_registry_{nullptr};  // once created

    LockBackend backend_;
    mutable std::mutex mutex_;
    Counts counts_;  // page number -> live locks; pages at 0 are not stored
    // A block locked and released over and over (one vault made and dropped at a time) would
    // otherwise allocate and free a node on each cycle.
    Counts::node_type spare_;
    PageSet unlocked_;  // counted pages whose relock after fork was refused
    // The counted pages in address order, for the relock after fork: sorted by the parent before
    // it forks, and only when a page was counted or forgotten since, so that a child finds its
    // runs in one pass instead of looking up both neighbours of every page (with 20,000 pages
    // that search cost more than the fork itself).
    Vector<std::uintptr_t> sorted_pages_;
    bool pages_changed_ = false;     // since sorted_pages_ was sorted
    Vector<KeptBlock> kept_;         // capacity reserved ahead: a refusal never allocates
    std::size_t next_retry_ = 0;     // where the next retry of kept_ starts
    std::size_t live_ranges_ = 0;    // acquired and not yet released
    std::size_t pending_undos_ = 0;  // refused acquires not yet undone
    std::optional<RelockFailure> relock_failure_;  // not yet taken
    std::optional<UnlockFailure> unlock_failure_;  // not yet taken
    std::atomic<bool> failure_pending_{false};     // either is set: the cheap test
};

}  // namespace hush_vault::secret
