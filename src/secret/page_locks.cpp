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
        auto& locks = leaked<PageLocks>(
            LockBackend{os::virtual_lock, os::virtual_unlock, os::last_error, os::page_size()});
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

Expected<void, os::ErrorCode> PageLocks::acquire(const void* address, std::size_t n) noexcept {
    if (n == 0) {
        return {};
    }
    const std::size_t page_size = backend_.page_size;
    const PageSpan span = span_of(address, n, page_size);
    std::lock_guard guard(mutex_);

    // A block within one page, as most secrets are: one lookup of the page, not two.
    if (span.first == span.last && unlocked_.empty()) {
        if (auto entry = counts_.find(span.first); entry != counts_.end()) {
            ++entry->second;
            return {};
        }
        void* page = page_address(span.first, page_size);
        if (!backend_.lock(page, page_size)) {
            os::ErrorCode failure = backend_.last_error();
            backend_.unlock(page, page_size);  // the system may have locked it before giving up
            return Unexpected(failure);
        }
        counts_.emplace(span.first, 1);
        return {};
    }

    // Counts change only once every lock has succeeded, so until then needs_lock still marks
    // exactly the pages this call has to lock, and on failure those it has already locked.
    auto for_each_run = [&](std::uintptr_t from, std::uintptr_t to, auto&& visit) {
        for (std::uintptr_t page = from; page <= to;) {
            if (!needs_lock(page)) {
                ++page;
                continue;
            }
            std::uintptr_t end = page;
            while (end < to && needs_lock(end + 1)) {
                ++end;
            }
            if (!visit(page, end)) {
                return false;
            }
            page = end + 1;
        }
        return true;
    };

    std::uintptr_t failed_last = 0;
    os::ErrorCode failure = os::error_success;
    bool locked_all = for_each_run(span.first, span.last, [&](auto first, auto last) {
        if (backend_.lock(page_address(first, page_size), (last - first + 1) * page_size)) {
            return true;
        }
        failure = backend_.last_error();
        failed_last = last;
        return false;
    });
    if (!locked_all) {
        // The refused run too: the system may have locked part of it before giving up.
        for_each_run(span.first, failed_last, [&](auto first, auto last) {
            backend_.unlock(page_address(first, page_size), (last - first + 1) * page_size);
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
    return {};
}

void PageLocks::release(const void* address, std::size_t n) noexcept {
    if (n == 0) {
        return;
    }
    const std::size_t page_size = backend_.page_size;
    const PageSpan span = span_of(address, n, page_size);
    std::lock_guard guard(mutex_);

    auto unlock_run = [&](std::uintptr_t first, std::uintptr_t last) {
        backend_.unlock(page_address(first, page_size), (last - first + 1) * page_size);
    };
    bool in_run = false;
    std::uintptr_t run_first = 0;
    for (std::uintptr_t page = span.first; page <= span.last; ++page) {
        auto entry = counts_.find(page);
        if (entry == counts_.end()) {
            internal_fault("page lock released more often than it was taken");
        }
        if (--entry->second != 0) {
            if (in_run) {
                unlock_run(run_first, page - 1);
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
        unlock_run(run_first, span.last);
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
    // One page at a time: the map is unordered, and sorting it would allocate in a child that
    // may only be on its way to exec.
    std::size_t refused = 0;
    os::ErrorCode code = os::error_success;
    for (const auto& [page, live] : counts_) {
        if (backend_.lock(page_address(page, backend_.page_size), backend_.page_size)) {
            continue;
        }
        if (refused++ == 0) {
            code = backend_.last_error();
        }
        unlocked_.insert(page);
    }
    if (refused != 0) {
        relock_failure_ = RelockFailure{refused, code};
        relock_failed_.store(true, std::memory_order_release);
    }
}

std::size_t PageLocks::unlocked_pages() const noexcept {
    std::lock_guard guard(mutex_);
    return unlocked_.size();
}

std::optional<RelockFailure> PageLocks::take_relock_failure() noexcept {
    if (!relock_failure_pending()) {
        return std::nullopt;
    }
    std::lock_guard guard(mutex_);
    relock_failed_.store(false, std::memory_order_relaxed);
    return std::exchange(relock_failure_, std::nullopt);
}

}  // namespace hush_vault::secret
