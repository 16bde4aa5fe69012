// The OS layer over POSIX: each Windows contract of os.hpp kept with the C library, mlock and
// errno, so that everything above it behaves on Linux as it does on Windows.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>  // SYS_mlock2: macOS has neither the header nor the call
#endif

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
#include <string_view>
#include <system_error>

#include "fault_injection.hpp"
#include "os.hpp"
#include "proc_file.hpp"
#include "scrubbed_buffer.hpp"
#include "utf8.hpp"

namespace hush_vault::secret::os {
namespace {

using inject::Call;

// Windows codes the POSIX services report where Windows would.
constexpr ErrorCode error_mr_mid_not_found = 317;

thread_local ErrorCode thread_last_error = error_success;

void set_error_from_errno() noexcept {
    thread_last_error = static_cast<ErrorCode>(errno);
}

// Whether the pages of [address, address + n) go into core dumps (Linux only; a no-op elsewhere:
// macOS's madvise has no such advice, and its core files hold locked pages too).
// madvise wants a page-aligned start, so the range is widened to whole pages.
bool set_dumpable([[maybe_unused]] void* address, [[maybe_unused]] std::size_t n,
                  [[maybe_unused]] bool dumpable) noexcept {
#if defined(__linux__)
    std::size_t before = reinterpret_cast<std::uintptr_t>(address) % page_size();
    const bool refused =
        dumpable ? inject::fails(Call::madvise_dodump) : inject::fails(Call::madvise_dontdump);
    return !refused && madvise(static_cast<char*>(address) - before, before + n,
                               dumpable ? MADV_DODUMP : MADV_DONTDUMP) == 0;
#else
    return true;
#endif
}

// mlock2(address, n, MLOCK_ONFAULT) through the system call: the oldest C libraries the module
// supports (glibc 2.17) have no wrapper for it. Fails with ENOSYS where the headers do not know it.
int mlock_on_fault([[maybe_unused]] void* address, [[maybe_unused]] std::size_t n) noexcept {
#if defined(SYS_mlock2)
    constexpr unsigned long mlock_onfault = 1;  // MLOCK_ONFAULT
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    return static_cast<int>(syscall(SYS_mlock2, address, n, mlock_onfault));
#else
    errno = ENOSYS;
    return -1;
#endif
}

// A locked secret must not reach a core file either; a lock that cannot promise that is undone
// and fails.
bool keep_locked_out_of_dumps(void* address, std::size_t n) noexcept {
    if (!set_dumpable(address, n, false)) {
        int reason = errno;
        if (!inject::fails(Call::munlock)) {
            munlock(address, n);
        }
        errno = reason;
        set_error_from_errno();
        return false;
    }
    return true;
}

// Whether no page of [address, address + n) is mapped any more (Linux only; false elsewhere: macOS
// documents no mincore error for an unmapped page). Unmapping a page also ends its lock, so a
// range the heap has given back holds none.
bool none_mapped([[maybe_unused]] void* address, [[maybe_unused]] std::size_t n) noexcept {
#if defined(__linux__)
    auto* start =
        static_cast<char*>(address) - reinterpret_cast<std::uintptr_t>(address) % page_size();
    auto* end = static_cast<char*>(address) + n;
    unsigned char resident = 0;
    for (char* page = start; page < end; page += page_size()) {
        // mincore refuses a range that is not mapped with ENOMEM.
        const int result = inject::fails(Call::mincore) ? -1 : mincore(page, 1, &resident);
        if (result == 0 || errno != ENOMEM) {
            return false;
        }
    }
    return true;
#else
    return false;
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
    if (code > static_cast<std::uint32_t>(INT_MAX) || inject::fails(Call::error_text)) {
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

#if !defined(__APPLE__)  // macOS has no /proc: its note is in os_macos.cpp

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

// Calls visit(line, cut) for every line of a /proc file, without its '\n'; a line longer than the
// line buffer is cut to its start (cut is then true). Read through small buffers: the note on a
// refused lock is built on the refusing thread, whose stack may be as small as 32 KiB. False when
// the file cannot be opened.
template <class Visit>
bool for_each_proc_line(const char* path, Visit&& visit) noexcept {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    int fd = inject::fails(Call::open) ? -1 : open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char chunk[1024];
    char line[256];
    std::size_t length = 0;
    bool cut = false;
    while (true) {
        ssize_t got = inject::fails(Call::read) ? -1 : read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        for (const char* c = chunk; c != chunk + got; ++c) {
            if (*c == '\n') {
                visit(std::string_view(line, length), cut);
                length = 0;
                cut = false;
            } else if (length < sizeof line) {
                line[length++] = *c;
            } else {
                cut = true;
            }
        }
    }
    // Its result changes nothing: Linux frees the descriptor even when close reports a failure.
    static_cast<void>(inject::fails(Call::close));
    close(fd);
    if (length > 0) {
        visit(std::string_view(line, length), cut);
    }
    return true;
}

// The number after `key` in /proc/self/status (in the given base); nothing when it is missing.
std::optional<std::uint64_t> status_field(std::string_view key, int base) noexcept {
    std::optional<std::uint64_t> found;
    for_each_proc_line("/proc/self/status", [&](std::string_view line, bool /*cut*/) {
        if (found || line.substr(0, key.size()) != key) {
            return;
        }
        line.remove_prefix(key.size());
        line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
        std::uint64_t value = 0;
        auto [stop, error] = std::from_chars(line.data(), line.data() + line.size(), value, base);
        if (error == std::errc() && stop != line.data()) {
            found = value;
        }
    });
    return found;
}

// Whether RLIMIT_MEMLOCK cannot have refused a lock of `bytes` (whole pages): no limit for this
// process (unlimited, or CAP_IPC_LOCK), or what it has locked plus the request stays under the
// limit.
bool lock_fitted(rlim_t soft_limit, std::size_t bytes) noexcept {
    constexpr unsigned cap_ipc_lock = 14;
    if (soft_limit == RLIM_INFINITY) {
        return true;
    }
    auto effective = status_field("CapEff:", 16);
    if (effective && ((*effective >> cap_ipc_lock) & 1U) != 0) {
        return true;
    }
    auto locked_kib = status_field("VmLck:", 10);
    return locked_kib && *locked_kib * 1024 + bytes <= soft_limit;
}

// The count of this process's memory mappings, against vm.max_map_count (Linux).
std::optional<Text> mapping_note() noexcept {
    // One line a mapping, except the vsyscall page: the kernel does not count it against the limit.
    std::uint64_t mappings = 0;
    const bool read_maps =
        for_each_proc_line("/proc/self/maps", [&](std::string_view line, bool cut) {
            constexpr std::string_view vsyscall = "[vsyscall]";
            const bool is_vsyscall = !cut && line.size() >= vsyscall.size() &&
                                     line.substr(line.size() - vsyscall.size()) == vsyscall;
            mappings += is_vsyscall ? 0 : 1;
        });
    if (!read_maps) {
        return std::nullopt;
    }
    char maximum[32];
    std::uint64_t max_count = 0;
    std::size_t n = read_proc("/proc/sys/vm/max_map_count", maximum, sizeof maximum);
    if (n == 0 || std::from_chars(maximum, maximum + n, max_count).ec != std::errc()) {
        return std::nullopt;
    }
    // Far from the limit, the mappings did not refuse either (the failed lock needed a few more).
    constexpr std::uint64_t margin = 16;
    if (mappings + margin < max_count) {
        return std::nullopt;
    }
    Text note("The process has run out of memory mappings: it has ");
    note += decimal(mappings);
    note += ", and vm.max_map_count is ";
    note += decimal(max_count);
    note +=
        ". Every locked run of pages is a mapping of its own, and unlocking part of a run splits "
        "it. RLIMIT_MEMLOCK did not refuse this lock. Hold fewer vaults or mappings at once, or "
        "raise vm.max_map_count (sysctl).";
    return note;
}

#endif  // !defined(__APPLE__)

}  // namespace

#if !defined(__APPLE__)
std::size_t read_proc(const char* path, char* buffer, std::size_t size) noexcept {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    int fd = inject::fails(inject::Call::open) ? -1 : open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    std::size_t n = 0;
    while (n + 1 < size) {
        ssize_t got = inject::fails(inject::Call::read) ? -1 : read(fd, buffer + n, size - 1 - n);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        n += static_cast<std::size_t>(got);
    }
    // Its result changes nothing: Linux frees the descriptor even when close reports a failure.
    static_cast<void>(inject::fails(inject::Call::close));
    close(fd);
    buffer[n] = '\0';
    return n;
}

Text lock_limit_note(ErrorCode code, std::size_t bytes) noexcept {
    rlimit limit{};
    const bool known = !inject::fails(Call::getrlimit) && getrlimit(RLIMIT_MEMLOCK, &limit) == 0;
    if (code == ENOMEM && known && lock_fitted(limit.rlim_cur, bytes)) {
        if (auto mappings = mapping_note()) {
            return std::move(*mappings);
        }
    }
    Text note("Locked memory is limited by RLIMIT_MEMLOCK");
    if (known) {
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
    note += decimal(page_size());
    note += " bytes, and small vaults share them.";
    return note;
}
#endif  // !defined(__APPLE__)

const char* environment_encoding() noexcept {
    return "UTF-8";
}

// The OS layer is the heap that every owner above it builds on.
void* heap_alloc(std::size_t n) noexcept {
    return inject::fails(Call::heap) ? nullptr : std::malloc(n);  // NOLINT(*-no-malloc)
}

void heap_free(void* block) noexcept {
    std::free(block);  // NOLINT(cppcoreguidelines-no-malloc)
}

std::size_t page_size() noexcept {
    static const auto size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

bool virtual_lock(void* address, std::size_t n) noexcept {
    // Refused past RLIMIT_MEMLOCK with EPERM or ENOMEM on Linux, with EAGAIN on macOS, whose
    // wired-memory limits refuse it too. macOS's locks nest; the page registry locks a page once.
    if (inject::fails(Call::mlock) || mlock(address, n) != 0) {
        set_error_from_errno();
        return false;
    }
    return keep_locked_out_of_dumps(address, n);
}

bool virtual_lock_in_place(void* address, std::size_t n) noexcept {
    if (inject::fails(Call::mlock2) || mlock_on_fault(address, n) != 0) {
        // A kernel without MLOCK_ONFAULT (before 4.4) rejects the flag or the call; any other
        // refusal (the lock limit) is the system's answer to a lock of these pages.
        if (errno == EINVAL || errno == ENOSYS) {
            thread_last_error = error_not_supported;
        } else {
            set_error_from_errno();
        }
        return false;
    }
    return keep_locked_out_of_dumps(address, n);
}

bool virtual_unlock(void* address, std::size_t n) noexcept {
    if (inject::fails(Call::munlock) || munlock(address, n) != 0) {
        int reason = errno;
        if (reason == ENOMEM && none_mapped(address, n)) {
            return true;  // unmapped since it was locked: nothing is locked there now
        }
        errno = reason;
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
    // Neither system lets a child inherit memory locks. macOS's manual allows only
    // async-signal-safe functions in the child handler; the relock also uses the heap.
    return !inject::fails(Call::at_fork) && pthread_atfork(prepare, parent, child) == 0;
}

ErrorCode last_error() noexcept {
    return thread_last_error;
}

void set_last_error(ErrorCode code) noexcept {
    thread_last_error = code;
}

void secure_zero(void* p, std::size_t n) noexcept {
    std::memset(p, 0, n);
    // The memory is never read again, so the memset is a dead store the compiler may drop; this
    // empty asm takes the pointer and clobbers memory, so the zeros count as observed. (Not
    // explicit_bzero, which older C libraries lack; a volatile byte loop runs at a byte a cycle.)
    asm volatile("" : : "r"(p) : "memory");
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
    constexpr clockid_t clock = CLOCK_MONOTONIC;  // on macOS it goes on while the system sleeps
#endif
    timespec now{};
    if (inject::fails(Call::clock) || clock_gettime(clock, &now) != 0) {
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
    // A lookup that fails is a variable not found: getenv has no other answer.
    const char* value =
        utf8_name && !inject::fails(Call::getenv) ? std::getenv(utf8_name->data()) : nullptr;
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
