// The process-wide registry of memory locks, counted per page so that neighbours sharing a page
// never unlock each other.
#include "page_locks.hpp"

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

PageLocks& PageLocks::process() noexcept {
    // Leaked: a vault can be released by a finaliser after static destructors have run, and it
    // must still find its pages here.
    return leaked<PageLocks>(
        LockBackend{os::virtual_lock, os::virtual_unlock, os::last_error, os::page_size()});
}

Expected<void, os::ErrorCode> PageLocks::acquire(const void* address, std::size_t n) noexcept {
    if (n == 0) {
        return {};
    }
    const std::size_t page_size = backend_.page_size;
    const PageSpan span = span_of(address, n, page_size);
    std::lock_guard guard(mutex_);

    // Counts change only once every lock has succeeded, so until then "count 0" still marks
    // exactly the pages this call has to lock, and on failure those it has already locked.
    auto unlocked = [&](std::uintptr_t page) { return counts_.find(page) == counts_.end(); };
    auto for_each_unlocked_run = [&](std::uintptr_t from, std::uintptr_t to, auto&& visit) {
        for (std::uintptr_t page = from; page <= to;) {
            if (!unlocked(page)) {
                ++page;
                continue;
            }
            std::uintptr_t end = page;
            while (end < to && unlocked(end + 1)) {
                ++end;
            }
            if (!visit(page, end)) {
                return false;
            }
            page = end + 1;
        }
        return true;
    };

    std::uintptr_t failed_at = 0;
    os::ErrorCode failure = os::error_success;
    bool locked_all = for_each_unlocked_run(span.first, span.last, [&](auto first, auto last) {
        if (backend_.lock(page_address(first, page_size), (last - first + 1) * page_size)) {
            return true;
        }
        failure = backend_.last_error();
        failed_at = first;
        return false;
    });
    if (!locked_all) {
        if (failed_at > span.first) {
            for_each_unlocked_run(span.first, failed_at - 1, [&](auto first, auto last) {
                backend_.unlock(page_address(first, page_size), (last - first + 1) * page_size);
                return true;
            });
        }
        return Unexpected(failure);
    }

    for (std::uintptr_t page = span.first; page <= span.last; ++page) {
        ++counts_[page];
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

}  // namespace hush_vault::secret
