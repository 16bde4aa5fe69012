// Process-wide count of live memory locks per page. Memory locks do not stack (mlock, VirtualLock)
// and small heap blocks share pages, so unlocking one secret must not unlock a neighbour's page:
// a page is locked when its count leaves 0 and unlocked when it returns to 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "memory.hpp"
#include "os.hpp"
#include "result.hpp"

namespace hush_vault::secret {

// The system calls the registry makes; the process registry uses the OS layer, tests a fake.
struct LockBackend {
    bool (*lock)(void* address, std::size_t n) noexcept;
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

    // Undoes one acquire of the same range: pages whose count returns to 0 are unlocked.
    // Failures of the system call are ignored.
    void release(const void* address, std::size_t n) noexcept;

    // The live lock count of the page holding address (for tests and diagnostics).
    [[nodiscard]] std::uint32_t count(const void* address) const noexcept;

  private:
    using Counts =
        std::unordered_map<std::uintptr_t, std::uint32_t, std::hash<std::uintptr_t>,
                           std::equal_to<>,
                           FailFastAllocator<std::pair<const std::uintptr_t, std::uint32_t>>>;

    LockBackend backend_;
    mutable std::mutex mutex_;
    Counts counts_;  // page number -> live locks; pages at 0 are not stored
};

}  // namespace hush_vault::secret
