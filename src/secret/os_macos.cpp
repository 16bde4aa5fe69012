// The note on a refused memory lock on macOS, in place of os_posix.cpp's: macOS has no /proc, its
// services are launchd jobs, and its kernel adds limits of its own on wired memory.
#include "os.hpp"

#include <sys/resource.h>
#include <sys/sysctl.h>

#include <charconv>
#include <cstdint>
#include <optional>

namespace hush_vault::secret::os {
namespace {

// Bytes in KiB, as `ulimit -l` shows them; "unlimited" for RLIM_INFINITY.
Text kib_text(std::uint64_t bytes) {
    if (bytes == RLIM_INFINITY) {
        return Text("unlimited");
    }
    char digits[24];
    auto [end, error] = std::to_chars(digits, digits + sizeof digits, bytes / 1024);
    Text text(digits, end);
    text += " KiB";
    return text;
}

// The kernel's limit of that name in KiB, or nothing when it cannot be read.
std::optional<Text> wire_limit(const char* name) noexcept {
    std::uint64_t bytes = 0;
    std::size_t size = sizeof bytes;
    if (sysctlbyname(name, &bytes, &size, nullptr, 0) != 0 || size != sizeof bytes) {
        return std::nullopt;
    }
    return kib_text(bytes);
}

}  // namespace

Text lock_limit_note(ErrorCode /*code*/, std::size_t /*bytes*/) noexcept {
    // mlock(2) refuses with EAGAIN a lock past either limit: the process's RLIMIT_MEMLOCK, or the
    // kernel's wired-memory limits, vm.user_wire_limit for one address space (it also caps the
    // rlimit) and vm.global_user_wire_limit for all processes together. Nothing tells which one
    // refused (no /proc shows what a process has locked), so the note names both.
    rlimit limit{};
    Text note("Locked memory is limited by RLIMIT_MEMLOCK");
    if (getrlimit(RLIMIT_MEMLOCK, &limit) == 0) {
        note += ", now ";
        note += kib_text(limit.rlim_cur);
        note += " for this process (hard limit ";
        note += kib_text(limit.rlim_max);
        note += ")";
    }
    note += ", and by the system's wired-memory limits vm.user_wire_limit";
    if (auto per_process = wire_limit("vm.user_wire_limit")) {
        note += " (";
        note += *per_process;
        note += ")";
    }
    note += " and vm.global_user_wire_limit";
    if (auto global = wire_limit("vm.global_user_wire_limit")) {
        note += " (";
        note += *global;
        note += ")";
    }
    note +=
        ". Raise RLIMIT_MEMLOCK with `ulimit -l` (in KiB) or MemoryLock in a launchd job's "
        "SoftResourceLimits and HardResourceLimits, and the wired-memory limits with sysctl. "
        "Vaults lock whole pages of ";
    note += decimal(page_size());
    note += " bytes, and small vaults share them.";
    return note;
}

}  // namespace hush_vault::secret::os
