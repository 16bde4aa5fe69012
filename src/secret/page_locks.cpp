// The process-wide registry of memory locks, counted per page so that neighbours sharing a page
// never unlock each other.
#include "page_locks.hpp"

#include <algorithm>
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
    static void prepare() noexcept {
        PageLocks& locks = PageLocks::process();
        locks.mutex_.lock();
        // Here rather than in the child: once, for every child made while the pages stay the same.
        locks.sort_pages();
    }
    static void parent() noexcept { PageLocks::process().mutex_.unlock(); }
    static void child() noexcept {
        PageLocks& locks = PageLocks::process();
        locks.relock_after_fork_locked();
        locks.mutex_.unlock();
    }
};

PageLocks& PageLocks::create_process() noexcept {
    // Leaked: a vault can be released by a finaliser after static destructors have run, and it
    // must still find its pages here.
    static PageLocks& registry = []() -> PageLocks& {
        auto& locks = leaked<PageLocks>(
            LockBackend{os::virtual_lock, os::virtual_lock_in_place, os::virtual_unlock,
                        os::last_error, deallocate, os::page_size()});
        if (!os::at_fork(ProcessForkHandlers::prepare, ProcessForkHandlers::parent,
                         ProcessForkHandlers::child)) {
            internal_fault("the fork handlers of the page-lock registry could not be installed");
        }
        return locks;
    }();
    process_registry_.store(&registry, std::memory_order_release);
    return registry;
}

bool PageLocks::needs_lock(std::uintptr_t page) const noexcept {
    return counts_.find(page) == counts_.end() ||
           (!unlocked_.empty() && unlocked_.find(page) != unlocked_.end());
}

void PageLocks::count_first(std::uintptr_t page) noexcept {
    pages_changed_ = true;
    if (spare_.empty()) {
        counts_.emplace(page, 1);
        return;
    }
    spare_.key() = page;
    spare_.mapped() = 1;
    counts_.insert(std::move(spare_));
}

void PageLocks::forget(Counts::iterator entry) noexcept {
    pages_changed_ = true;
    if (spare_.empty()) {
        spare_ = counts_.extract(entry);
    } else {
        counts_.erase(entry);
    }
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

PageLocks::Unlocked PageLocks::unlock_uncounted(std::uintptr_t first,
                                                std::uintptr_t last) const noexcept {
    // A page a live lock counts keeps its state: it holds a live secret, and unlocking it would
    // also let it into core dumps.
    auto uncounted = [&](std::uintptr_t page) { return counts_.find(page) == counts_.end(); };
    Unlocked done;
    for (std::uintptr_t page = first; page <= last;) {
        if (!uncounted(page)) {
            ++page;
            continue;
        }
        std::uintptr_t end = page;
        while (end < last && uncounted(end + 1)) {
            ++end;
        }
        ++done.runs;
        if (!unlock_run(page, end)) {
            if (done.refused_pages == 0) {
                done.code = backend_.last_error();
                done.first = page;
            }
            done.last = end;
            done.refused_pages += end - page + 1;
        }
        page = end + 1;
    }
    return done;
}

void PageLocks::keep(const Unlocked& refused, void* block) noexcept {
    if (kept_.size() == kept_.capacity()) {
        internal_fault("no room was reserved for a refused unlock");
    }
    kept_.push_back(KeptBlock{refused.first, refused.last, block});
    if (!unlock_failure_) {
        unlock_failure_ = UnlockFailure{0, refused.code};
    }
    unlock_failure_->pages += refused.refused_pages;
    note_pending();
}

void PageLocks::retry_kept() noexcept {
    // A refusal ends the retry: the system is out of mappings again, and trying every other
    // block would only be refused as often (at the limit, a cost that grew with every release).
    // Starting where the last retry stopped, a block the system keeps refusing holds none back.
    const std::size_t blocks = kept_.size();
    for (std::size_t tried = 0; tried < blocks && !kept_.empty(); ++tried) {
        if (next_retry_ >= kept_.size()) {
            next_retry_ = 0;
        }
        KeptBlock& kept = kept_[next_retry_];
        if (unlock_uncounted(kept.first, kept.last).refused_pages != 0) {
            ++next_retry_;
            return;
        }
        backend_.free_block(kept.block);
        kept = kept_.back();
        kept_.pop_back();
    }
}

void PageLocks::reserve_for_refusals() noexcept {
    const std::size_t needed = kept_.size() + live_ranges_ + pending_undos_ + 1;
    if (kept_.capacity() < needed) {
        kept_.reserve(std::max(needed, 2 * kept_.capacity()));
    }
}

Expected<void, RefusedLock> PageLocks::acquire(const void* address, std::size_t n) noexcept {
    if (n == 0) {
        return {};
    }
    const std::size_t page_size = backend_.page_size;
    const PageSpan span = span_of(address, n, page_size);
    std::lock_guard guard(mutex_);
    // The storage a later refused unlock of this range needs is taken now, while allocating is
    // still allowed to end the process: at the release the system may be out of memory already.
    reserve_for_refusals();
    std::size_t locking_pages = 0;
    auto refused = [&](os::ErrorCode code, std::uintptr_t locked_last) {
        ++pending_undos_;
        return Unexpected(RefusedLock{code, locking_pages * page_size, span.first, locked_last});
    };

    // A block within one page, as most secrets are: one lookup of the page, not two.
    if (span.first == span.last && unlocked_.empty()) {
        if (auto entry = counts_.find(span.first); entry != counts_.end()) {
            ++entry->second;
            ++live_ranges_;
            return {};
        }
        locking_pages = 1;
        if (!backend_.lock(page_address(span.first, page_size), page_size)) {
            return refused(backend_.last_error(), span.first);
        }
        count_first(span.first);
        ++live_ranges_;
        return {};
    }

    // Counts change only once every lock has succeeded, so until then needs_lock still marks
    // exactly the pages this call has to lock.
    for (std::uintptr_t page = span.first; page <= span.last;) {
        if (!needs_lock(page)) {
            ++page;
            continue;
        }
        std::uintptr_t end = page;
        while (end < span.last && needs_lock(end + 1)) {
            ++end;
        }
        locking_pages += end - page + 1;
        if (!backend_.lock(page_address(page, page_size), (end - page + 1) * page_size)) {
            // The refused run too: the system may have locked part of it before giving up.
            return refused(backend_.last_error(), end);
        }
        page = end + 1;
    }

    for (std::uintptr_t page = span.first; page <= span.last; ++page) {
        if (auto entry = counts_.find(page); entry != counts_.end()) {
            ++entry->second;
        } else {
            count_first(page);
        }
    }
    if (!unlocked_.empty()) {
        for (std::uintptr_t page = span.first; page <= span.last; ++page) {
            unlocked_.erase(page);
        }
    }
    ++live_ranges_;
    return {};
}

bool PageLocks::undo(const RefusedLock& refused, void* block) noexcept {
    std::lock_guard guard(mutex_);
    --pending_undos_;
    const Unlocked done = unlock_uncounted(refused.first, refused.last);
    if (done.refused_pages == 0) {
        return false;
    }
    keep(done, block);
    return true;
}

bool PageLocks::release(const void* address, std::size_t n, void* block) noexcept {
    if (n == 0) {
        return false;
    }
    const PageSpan span = span_of(address, n, backend_.page_size);
    std::lock_guard guard(mutex_);
    for (std::uintptr_t page = span.first; page <= span.last; ++page) {
        auto entry = counts_.find(page);
        if (entry == counts_.end()) {
            internal_fault("page lock released more often than it was taken");
        }
        if (--entry->second != 0) {
            continue;
        }
        forget(entry);
        if (!unlocked_.empty()) {
            unlocked_.erase(page);
        }
    }
    --live_ranges_;
    // The pages that returned to 0 are exactly the uncounted ones in the span.
    const Unlocked done = unlock_uncounted(span.first, span.last);
    if (done.refused_pages != 0) {
        keep(done, block);
        return true;
    }
    // Only an unlock that went through can have freed the mappings a kept block needs.
    if (done.runs != 0 && !kept_.empty()) {
        retry_kept();
    }
    return false;
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
    // This process holds no memory locks yet: what its parent could not lock is no verdict here,
    // and a failure the parent had not yet reported is the parent's. Kept blocks stay kept: their
    // pages are not locked here, but they are still out of core dumps until a retry's unlock.
    unlocked_.clear();
    relock_failure_.reset();
    unlock_failure_.reset();
    failure_pending_.store(false, std::memory_order_relaxed);

    // Runs of contiguous pages, one lock each, read off the pages in address order. The parent's
    // fork handler sorted them; a direct call sorts here. The heap is still used (clear() above
    // frees, a refused page is inserted into unlocked_): glibc resets its malloc locks in the child
    // before the atfork child handlers run, and an allocation that fails ends the process
    // (fail-fast).
    sort_pages();
    const std::size_t page_size = backend_.page_size;
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
    for (std::size_t next = 0; next < sorted_pages_.size();) {
        const std::uintptr_t first = sorted_pages_[next];
        std::uintptr_t last = first;
        while (++next < sorted_pages_.size() && sorted_pages_[next] == last + 1) {
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

void PageLocks::sort_pages() noexcept {
    if (!pages_changed_) {
        return;
    }
    sorted_pages_.clear();
    if (sorted_pages_.capacity() / 4 > counts_.size()) {
        sorted_pages_.shrink_to_fit();  // most vaults are gone: give the room back
    }
    sorted_pages_.reserve(counts_.size());
    for (const auto& [page, live] : counts_) {
        sorted_pages_.push_back(page);
    }
    std::sort(sorted_pages_.begin(), sorted_pages_.end());
    pages_changed_ = false;
}

std::size_t PageLocks::unlocked_pages() const noexcept {
    std::lock_guard guard(mutex_);
    return unlocked_.size();
}

std::size_t PageLocks::stuck_pages() const noexcept {
    std::lock_guard guard(mutex_);
    std::size_t pages = 0;
    for (const KeptBlock& kept : kept_) {
        for (std::uintptr_t page = kept.first; page <= kept.last; ++page) {
            pages += counts_.find(page) == counts_.end() ? 1 : 0;
        }
    }
    return pages;
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
