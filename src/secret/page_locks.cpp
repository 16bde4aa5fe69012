// The process-wide registry of memory locks, counted per page so that neighbours sharing a page
// never unlock each other.
#include "page_locks.hpp"

#include <utility>

#include "fault.hpp"
#include "leaked.hpp"

namespace hush_vault::secret {
namespace {

// The pages that [address, address + n) touches, as page numbers first..last (n > 0).
struct PageSpan {
    std::uintptr_t first;
    std::uintptr_t last;
};

PageSpan span_of(const void* address, std::size_t n, std::size_t page_size) noexcept {
    auto start = reinterpret_cast<std::uintptr_t>(address);
    return {start / page_size, (start + (n - 1)) / page_size};
}

// The registry works in page numbers; the system calls want addresses back.
void* page_address(std::uintptr_t page, std::size_t page_size) noexcept {
    return reinterpret_cast<void*>(page * page_size);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

PageLocks::PageLocks(LockBackend backend) noexcept : backend_(backend) {}

// The process registry's fork handlers. The registry's mutex is held across fork, so the child
// never inherits it locked by a thread that does not exist there, and no count changes between
// the fork and the child's relock.
struct ProcessForkHandlers {
    static void prepare() noexcept { PageLocks::process().mutex_.lock(); }
    static void parent() noexcept { PageLocks::process().mutex_.unlock(); }
    static void child() noexcept {
        PageLocks& locks = PageLocks::process();
        locks.relock_after_fork_locked();
        locks.mutex_.unlock();
    }
};

PageLocks& PageLocks::process() noexcept {
    // Leaked: a vault can be released by a finaliser after static destructors have run, and it
    // must still find its pages here.
    static PageLocks& registry = []() -> PageLocks& {
        auto& locks =
            leaked<PageLocks>(LockBackend{os::virtual_lock, os::virtual_lock_in_place,
                                          os::virtual_unlock, os::last_error, os::page_size()});
        if (!os::at_fork(ProcessForkHandlers::prepare, ProcessForkHandlers::parent,
                         ProcessForkHandlers::child)) {
            internal_fault("the fork handlers of the page-lock registry could not be installed");
        }
        return locks;
    }();
    return registry;
}

bool PageLocks::needs_lock(std::uintptr_t page) const noexcept {
    return counts_.find(page) == counts_.end() ||
           (!unlocked_.empty() && unlocked_.find(page) != unlocked_.end());
}

void PageLocks::note_pending() noexcept {
    failure_pending_.store(true, std::memory_order_release);
}

bool PageLocks::unlock_run(std::uintptr_t first, std::uintptr_t last) const noexcept {
    const std::size_t page_size = backend_.page_size;
    // Windows refuses to unlock what is not locked (a refused lock's clean-up): unlocked all
    // the same.
    return backend_.unlock(page_address(first, page_size), (last - first + 1) * page_size) ||
           backend_.last_error() == os::error_not_locked;
}

void PageLocks::unlock_uncounted(std::uintptr_t first, std::uintptr_t last) noexcept {
    if (unlock_run(first, last)) {
        if (!stuck_.empty()) {
            stuck_.erase(stuck_.lower_bound(first), stuck_.upper_bound(last));
        }
        return;
    }
    // Still locked, with no secret in it: kept, so that a later release unlocks it when the
    // system allows (unlocking merges mappings back), and reported.
    // Only pages not stuck before are news: one already kept was reported when it first stuck.
    const os::ErrorCode code = backend_.last_error();
    std::size_t added = 0;
    for (std::uintptr_t page = first; page <= last; ++page) {
        added += stuck_.insert(page).second ? 1 : 0;
    }
    if (added == 0) {
        return;
    }
    if (!unlock_failure_) {
        unlock_failure_ = UnlockFailure{0, code};
    }
    unlock_failure_->pages += added;
    note_pending();
}

void PageLocks::retry_stuck() noexcept {
    // Every run is tried: one the system keeps refusing must not hold back the others.
    for (auto run = stuck_.begin(); run != stuck_.end();) {
        const auto start = run;
        std::uintptr_t last = *run;
        for (++run; run != stuck_.end() && *run == last + 1; ++run) {
            ++last;
        }
        if (unlock_run(*start, last)) {
            run = stuck_.erase(start, run);
        }
    }
}

Expected<void, os::ErrorCode> PageLocks::acquire(const void* address, std::size_t n) noexcept {
    if (n == 0) {
        return {};
    }
    const std::size_t page_size = backend_.page_size;
    const PageSpan span = span_of(address, n, page_size);
    std::lock_guard guard(mutex_);

    // A block within one page, as most secrets are: one lookup of the page, not two.
    if (span.first == span.last && unlocked_.empty() && stuck_.empty()) {
        if (auto entry = counts_.find(span.first); entry != counts_.end()) {
            ++entry->second;
            return {};
        }
        void* page = page_address(span.first, page_size);
        if (!backend_.lock(page, page_size)) {
            os::ErrorCode failure = backend_.last_error();
            // The system may have locked it before giving up.
            unlock_uncounted(span.first, span.first);
            return Unexpected(failure);
        }
        counts_.emplace(span.first, 1);
        return {};
    }

    // The runs of pages in from..to for which `include` holds.
    auto for_each_run = [](std::uintptr_t from, std::uintptr_t to, auto&& include, auto&& visit) {
        for (std::uintptr_t page = from; page <= to;) {
            if (!include(page)) {
                ++page;
                continue;
            }
            std::uintptr_t end = page;
            while (end < to && include(end + 1)) {
                ++end;
            }
            if (!visit(page, end)) {
                return false;
            }
            page = end + 1;
        }
        return true;
    };
    auto to_lock = [&](std::uintptr_t page) { return needs_lock(page); };

    // Counts change only once every lock has succeeded, so until then needs_lock still marks
    // exactly the pages this call has to lock.
    std::uintptr_t failed_last = 0;
    os::ErrorCode failure = os::error_success;
    bool locked_all = for_each_run(span.first, span.last, to_lock, [&](auto first, auto last) {
        if (backend_.lock(page_address(first, page_size), (last - first + 1) * page_size)) {
            return true;
        }
        failure = backend_.last_error();
        failed_last = last;
        return false;
    });
    if (!locked_all) {
        // The refused run too: the system may have locked part of it before giving up. A page
        // another lock counts keeps its state: it holds a live secret, and unlocking it would
        // also let it into core dumps.
        auto uncounted = [&](std::uintptr_t page) { return counts_.find(page) == counts_.end(); };
        for_each_run(span.first, failed_last, uncounted, [&](auto first, auto last) {
            unlock_uncounted(first, last);
            return true;
        });
        return Unexpected(failure);
    }

    for (std::uintptr_t page = span.first; page <= span.last; ++page) {
        ++counts_[page];
    }
    if (!unlocked_.empty()) {
        for (std::uintptr_t page = span.first; page <= span.last; ++page) {
            unlocked_.erase(page);
        }
    }
    if (!stuck_.empty()) {
        stuck_.erase(stuck_.lower_bound(span.first), stuck_.upper_bound(span.last));
    }
    return {};
}

void PageLocks::release(const void* address, std::size_t n) noexcept {
    if (n == 0) {
        return;
    }
    const PageSpan span = span_of(address, n, backend_.page_size);
    std::lock_guard guard(mutex_);

    // Stuck pages are tried first: the system may allow it now, and this release's own unlock
    // then has mappings to spare.
    if (!stuck_.empty()) {
        retry_stuck();
    }
    bool in_run = false;
    std::uintptr_t run_first = 0;
    for (std::uintptr_t page = span.first; page <= span.last; ++page) {
        auto entry = counts_.find(page);
        if (entry == counts_.end()) {
            internal_fault("page lock released more often than it was taken");
        }
        if (--entry->second != 0) {
            if (in_run) {
                unlock_uncounted(run_first, page - 1);
                in_run = false;
            }
            continue;
        }
        counts_.erase(entry);
        if (!unlocked_.empty()) {
            unlocked_.erase(page);
        }
        if (!in_run) {
            run_first = page;
            in_run = true;
        }
    }
    if (in_run) {
        unlock_uncounted(run_first, span.last);
    }
}

std::uint32_t PageLocks::count(const void* address) const noexcept {
    auto page = reinterpret_cast<std::uintptr_t>(address) / backend_.page_size;
    std::lock_guard guard(mutex_);
    auto entry = counts_.find(page);
    return entry == counts_.end() ? 0 : entry->second;
}

void PageLocks::relock_after_fork() noexcept {
    std::lock_guard guard(mutex_);
    relock_after_fork_locked();
}

void PageLocks::relock_after_fork_locked() noexcept {
    // This process holds no memory locks yet: what its parent could not lock or unlock is no
    // verdict here, and a failure the parent had not yet reported is the parent's.
    unlocked_.clear();
    stuck_.clear();
    relock_failure_.reset();
    unlock_failure_.reset();
    failure_pending_.store(false, std::memory_order_relaxed);

    // Runs of contiguous pages, one lock each: a run starts at a page whose predecessor is not
    // counted. Found by lookups in place rather than by sorting a copy of the pages, so that a
    // child on its way to exec pays no large allocation. It still uses the heap (clear() above
    // frees, a refused page is inserted into unlocked_): glibc resets its malloc locks in the child
    // before the atfork child handlers run, and an allocation that fails ends the process
    // (fail-fast).
    const std::size_t page_size = backend_.page_size;
    auto counted = [&](std::uintptr_t page) { return counts_.find(page) != counts_.end(); };
    // Locking in place leaves the child's pages shared with its parent; the plain lock makes the
    // child copy every one. Once the system says it has no lock in place, the rest go plain.
    bool in_place = true;
    auto relock = [&](std::uintptr_t first, std::uintptr_t last) {
        void* address = page_address(first, page_size);
        const std::size_t n = (last - first + 1) * page_size;
        if (in_place) {
            if (backend_.lock_in_place(address, n)) {
                return true;
            }
            if (backend_.last_error() != os::error_not_supported) {
                return false;
            }
            in_place = false;
        }
        return backend_.lock(address, n);
    };
    std::size_t refused = 0;
    os::ErrorCode code = os::error_success;
    for (const auto& [first, live] : counts_) {
        if (first != 0 && counted(first - 1)) {
            continue;
        }
        std::uintptr_t last = first;
        while (counted(last + 1)) {
            ++last;
        }
        if (relock(first, last)) {
            continue;
        }
        // Page by page: a limit may still leave room for some, and the count reported is exact.
        for (std::uintptr_t page = first; page <= last; ++page) {
            if (relock(page, page)) {
                continue;
            }
            if (refused++ == 0) {
                code = backend_.last_error();
            }
            unlocked_.insert(page);
        }
    }
    if (refused != 0) {
        relock_failure_ = RelockFailure{refused, code};
        note_pending();
    }
}

std::size_t PageLocks::unlocked_pages() const noexcept {
    std::lock_guard guard(mutex_);
    return unlocked_.size();
}

std::size_t PageLocks::stuck_pages() const noexcept {
    std::lock_guard guard(mutex_);
    return stuck_.size();
}

std::optional<RelockFailure> PageLocks::take_relock_failure() noexcept {
    if (!failure_pending()) {
        return std::nullopt;
    }
    std::lock_guard guard(mutex_);
    failure_pending_.store(unlock_failure_.has_value(), std::memory_order_relaxed);
    return std::exchange(relock_failure_, std::nullopt);
}

std::optional<UnlockFailure> PageLocks::take_unlock_failure() noexcept {
    if (!failure_pending()) {
        return std::nullopt;
    }
    std::lock_guard guard(mutex_);
    failure_pending_.store(relock_failure_.has_value(), std::memory_order_relaxed);
    return std::exchange(unlock_failure_, std::nullopt);
}

}  // namespace hush_vault::secret
