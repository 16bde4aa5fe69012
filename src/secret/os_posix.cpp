// The OS layer over POSIX: each Windows contract of os.hpp kept with the C library, mlock and
// errno, so that everything above it behaves on Linux as it does on Windows.
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>

#include "os.hpp"
#include "scrubbed_buffer.hpp"
#include "utf8.hpp"

namespace hush_vault::secret::os {
namespace {

// Windows codes the POSIX services report where Windows would.
constexpr ErrorCode error_mr_mid_not_found = 317;

thread_local ErrorCode thread_last_error = error_success;

void set_error_from_errno() noexcept {
    thread_last_error = static_cast<ErrorCode>(errno);
}

// Whether the pages of [address, address + n) go into core dumps (Linux only; a no-op elsewhere).
// madvise wants a page-aligned start, so the range is widened to whole pages.
bool set_dumpable([[maybe_unused]] void* address, [[maybe_unused]] std::size_t n,
                  [[maybe_unused]] bool dumpable) noexcept {
#if defined(__linux__)
    std::size_t before = reinterpret_cast<std::uintptr_t>(address) % page_size();
    return madvise(static_cast<char*>(address) - before, before + n,
                   dumpable ? MADV_DODUMP : MADV_DONTDUMP) == 0;
#else
    return true;
#endif
}

// strerror_r comes in two forms: the GNU one (what g++ gets, as it defines _GNU_SOURCE) returns
// the text, which need not be in scratch; the XSI one fills scratch and returns 0 on success.
[[maybe_unused]] const char* strerror_result(const char* text, const char* /*scratch*/) noexcept {
    return text;
}
[[maybe_unused]] const char* strerror_result(int result, const char* scratch) noexcept {
    return result == 0 ? scratch : nullptr;
}

// The English errno text of code, or null when the system has none for it.
const char* errno_text(std::uint32_t code, char* scratch, std::size_t size) noexcept {
    if (code > static_cast<std::uint32_t>(INT_MAX)) {
        return nullptr;
    }
    int number = static_cast<int>(code);
#if defined(__GLIBC__)
    // glibc translates the text into the thread's message locale, and tells an unknown code apart
    // only by its English text: the lookup runs in the C locale.
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    locale_t previous = c_locale != locale_t{} ? uselocale(c_locale) : locale_t{};
    const char* text = strerror_result(strerror_r(number, scratch, size), scratch);
    if (previous != locale_t{}) {
        uselocale(previous);
    }
    return text == nullptr || std::strncmp(text, "Unknown error", 13) == 0 ? nullptr : text;
#else
    return strerror_result(strerror_r(number, scratch, size), scratch);
#endif
}

// The name as a zero-terminated UTF-8 string; nothing when it holds an unpaired surrogate, which
// no POSIX environment entry can match.
std::optional<ScrubbedBuffer<char>> name_as_utf8(const char16_t* name) noexcept {
    std::size_t units = 0;
    while (name[units] != u'\0') {
        ++units;
    }
    auto utf8 = utf16_to_utf8(name, units);
    if (!utf8) {
        return std::nullopt;
    }
    ScrubbedBuffer<char> terminated(utf8->length() + 1);
    std::copy_n(utf8->data(), utf8->length(), terminated.data());
    terminated.data()[utf8->length()] = '\0';
    terminated.set_length(utf8->length() + 1);
    return terminated;
}

// A memory-lock limit as people write it: "unlimited", or bytes in KiB as `ulimit -l` shows them.
Text limit_text(rlim_t limit) {
    if (limit == RLIM_INFINITY) {
        return Text("unlimited");
    }
    char digits[24];
    auto [end, error] = std::to_chars(digits, digits + sizeof digits, limit / 1024);
    Text text(digits, end);
    text += " KiB";
    return text;
}

}  // namespace

Text lock_limit_note() noexcept {
    rlimit limit{};
    Text note("Locked memory is limited by RLIMIT_MEMLOCK");
    if (getrlimit(RLIMIT_MEMLOCK, &limit) == 0) {
        note += ", now ";
        note += limit_text(limit.rlim_cur);
        note += " for this process (hard limit ";
        note += limit_text(limit.rlim_max);
        note += ")";
    }
    note +=
        ". Raise it with `ulimit -l` (in KiB), LimitMEMLOCK= in a systemd unit or "
        "`--ulimit memlock=BYTES` for a container, or give the process CAP_IPC_LOCK. "
        "Vaults lock whole pages of ";
    char digits[24];
    auto [end, error] = std::to_chars(digits, digits + sizeof digits, page_size());
    note.append(digits, end);
    note += " bytes, and small vaults share them.";
    return note;
}

// The OS layer is the heap that every owner above it builds on.
void* heap_alloc(std::size_t n) noexcept {
    return std::malloc(n);  // NOLINT(cppcoreguidelines-no-malloc)
}

void heap_free(void* block) noexcept {
    std::free(block);  // NOLINT(cppcoreguidelines-no-malloc)
}

std::size_t page_size() noexcept {
    static const auto size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

bool virtual_lock(void* address, std::size_t n) noexcept {
    if (mlock(address, n) != 0) {
        set_error_from_errno();
        return false;
    }
    // A locked secret must not reach a core file either; a lock that cannot promise that fails.
    if (!set_dumpable(address, n, false)) {
        int reason = errno;
        munlock(address, n);
        errno = reason;
        set_error_from_errno();
        return false;
    }
    return true;
}

bool virtual_unlock(void* address, std::size_t n) noexcept {
    if (munlock(address, n) != 0) {
        set_error_from_errno();
        return false;
    }
    if (!set_dumpable(address, n, true)) {
        set_error_from_errno();
        return false;
    }
    return true;
}

bool at_fork(void (*prepare)() noexcept, void (*parent)() noexcept,
             void (*child)() noexcept) noexcept {
    return pthread_atfork(prepare, parent, child) == 0;
}

ErrorCode last_error() noexcept {
    return thread_last_error;
}

void set_last_error(ErrorCode code) noexcept {
    thread_last_error = code;
}

void secure_zero(void* p, std::size_t n) noexcept {
    // Volatile stores: the compiler may not drop them although the memory is never read again.
    // (Not explicit_bzero, which older C libraries lack.)
    auto* bytes = static_cast<volatile unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = 0;
    }
}

ModuleHandle ntdll_handle() noexcept {
    return nullptr;
}

std::uint32_t format_message(std::uint32_t /*flags*/, ModuleHandle /*source*/, std::uint32_t id,
                             char16_t* buffer, std::uint32_t size) noexcept {
    char scratch[256] = {};
    const char* text = errno_text(id, scratch, sizeof scratch);
    if (text == nullptr) {
        thread_last_error = error_mr_mid_not_found;
        return 0;
    }
    ScrubbedBuffer<char16_t> units =
        utf8_to_utf16(reinterpret_cast<const std::uint8_t*>(text), std::strlen(text));
    // Like FormatMessageW, a text that does not fit with its terminator is refused, not cut.
    if (units.length() >= size) {
        thread_last_error = error_insufficient_buffer;
        return 0;
    }
    std::copy_n(units.data(), units.length(), buffer);
    buffer[units.length()] = u'\0';
    return static_cast<std::uint32_t>(units.length());
}

bool query_performance_counter(std::int64_t* ticks) noexcept {
#if defined(__linux__)
    constexpr clockid_t clock = CLOCK_BOOTTIME;
#else
    constexpr clockid_t clock = CLOCK_MONOTONIC;
#endif
    timespec now{};
    if (clock_gettime(clock, &now) != 0) {
        set_error_from_errno();
        return false;
    }
    *ticks = static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    return true;
}

bool query_performance_frequency(std::int64_t* ticks_per_second) noexcept {
    *ticks_per_second = 1'000'000'000;
    return true;
}

std::uint32_t get_environment_variable(const char16_t* name, char16_t* buffer,
                                       std::uint32_t size) noexcept {
    auto utf8_name = name_as_utf8(name);
    const char* value = utf8_name ? std::getenv(utf8_name->data()) : nullptr;
    if (value == nullptr) {
        thread_last_error = error_envvar_not_found;
        return 0;
    }
    // The UTF-16 copy holds the secret too; ScrubbedBuffer zeroes it before it goes.
    ScrubbedBuffer<char16_t> units =
        utf8_to_utf16(reinterpret_cast<const std::uint8_t*>(value), std::strlen(value));
    std::size_t length = units.length();
    if (length == 0) {
        return 0;
    }
    if (length >= size) {
        return static_cast<std::uint32_t>(std::min<std::size_t>(length + 1, UINT32_MAX));
    }
    std::copy_n(units.data(), length, buffer);
    buffer[length] = u'\0';
    return static_cast<std::uint32_t>(length);
}

void fast_fail(unsigned /*code*/) noexcept {
    std::abort();
}

void write_stderr(const char* text, std::size_t n) noexcept {
    while (n > 0) {
        ssize_t written = write(STDERR_FILENO, text, n);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        text += written;
        n -= static_cast<std::size_t>(written);
    }
}

}  // namespace hush_vault::secret::os
