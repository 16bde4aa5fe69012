// What the native tests need to know or change about the system they run on, beyond the OS layer
// under test: one implementation per OS, chosen by the build like the OS layer itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace hush_vault::test {

// True in the Windows build (also when it runs under Wine).
[[nodiscard]] bool on_windows() noexcept;

// AddressSanitizer's runtime turns mlock into a no-op that reports success, so the system then
// shows no page as locked.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool memory_locks_are_real = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool memory_locks_are_real = false;
#else
inline constexpr bool memory_locks_are_real = true;
#endif
#else
inline constexpr bool memory_locks_are_real = true;
#endif

// Sets the variable in the process environment, as the OS layer reads it. value may be empty,
// which leaves the variable present with an empty value. On POSIX the bytes are taken as they
// are; on Windows name and value are UTF-8.
void set_env(const char* name, const char* value);
void unset_env(const char* name);

// How the system holds the page containing an address.
struct PageState {
    bool locked;                          // held in physical memory
    std::optional<bool> kept_from_dumps;  // left out of core dumps; nothing where not reported
};

// What the system reports for the page holding address; nothing when it cannot tell.
[[nodiscard]] std::optional<PageState> page_state(const void* address);

// One page of fresh memory from the system, and its return, after which the page is not mapped.
[[nodiscard]] void* map_page();
void unmap_page(void* page) noexcept;

// Whether a death test's exit status is the one fail-fast termination leaves: SIGABRT on POSIX,
// STATUS_STACK_BUFFER_OVERRUN (0xC0000409) on Windows.
[[nodiscard]] bool ended_by_fast_fail(int exit_status);

// Two pages of fresh memory whose second page can be watched: after watch(), the first access to
// it is noticed and then let through, so a test can tell whether code read past a point. One
// block is live at a time.
class WatchedPages {
  public:
    WatchedPages();
    WatchedPages(const WatchedPages&) = delete;
    WatchedPages& operator=(const WatchedPages&) = delete;
    ~WatchedPages();

    [[nodiscard]] std::uint8_t* data() const noexcept { return block_; }
    [[nodiscard]] std::size_t page_size() const noexcept { return page_size_; }
    // From now on the first access to the second page is recorded.
    void watch();
    // Whether the second page was accessed since watch().
    [[nodiscard]] bool second_page_touched() const noexcept;

  private:
    std::uint8_t* block_;
    std::size_t page_size_;
};

}  // namespace hush_vault::test
