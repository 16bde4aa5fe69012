// The operating-system services a vault needs, named after the Windows calls they stand for.
// os_windows.cpp calls the real Win32 API; os_posix.cpp gives the same contracts over POSIX.
// Nothing above this header includes a system header of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "memory.hpp"

namespace hush_vault::secret::os {

using ErrorCode = std::uint32_t;  // what GetLastError returns
using ModuleHandle = void*;

inline constexpr ErrorCode error_success = 0;
inline constexpr ErrorCode error_not_supported = 50;
inline constexpr ErrorCode error_insufficient_buffer = 122;
inline constexpr ErrorCode error_not_locked = 158;  // VirtualUnlock over pages not locked
inline constexpr ErrorCode error_envvar_not_found = 203;

inline constexpr std::uint32_t format_message_ignore_inserts = 0x200;
inline constexpr std::uint32_t format_message_from_hmodule = 0x800;
inline constexpr std::uint32_t format_message_from_system = 0x1000;

inline constexpr unsigned fast_fail_fatal_app_exit = 7;

// HeapAlloc(GetProcessHeap(), 0, n): null when the heap cannot supply the block (or there is no
// process heap). Never zero-fills.
[[nodiscard]] void* heap_alloc(std::size_t n) noexcept;
// HeapFree(GetProcessHeap(), 0, block); failures are ignored.
void heap_free(void* block) noexcept;

// The granularity at which the system locks memory.
[[nodiscard]] std::size_t page_size() noexcept;

// VirtualLock / VirtualUnlock over [address, address + n). False on failure, with the reason in
// last_error(). On Linux the locked pages are also left out of core dumps while locked; unlocking
// also fails when munlock succeeded but the pages could not be let back into core dumps, and
// succeeds for a range that is no longer mapped at all (Linux), which holds no lock.
[[nodiscard]] bool virtual_lock(void* address, std::size_t n) noexcept;
bool virtual_unlock(void* address, std::size_t n) noexcept;

// virtual_lock for pages a child inherited across fork, locking them where they are: the pages
// stay shared with the parent until either writes them (Linux: mlock2 with MLOCK_ONFAULT), where
// virtual_lock would give the child a private copy of each. Fails with error_not_supported where
// the system has no such lock (Linux before 4.4; Windows, which has no fork): virtual_lock then
// does the job.
[[nodiscard]] bool virtual_lock_in_place(void* address, std::size_t n) noexcept;

// Handlers run around fork() (pthread_atfork): prepare in the parent before it, parent and child
// after it, each in its own process. False when they cannot be installed. Windows has no fork:
// nothing is installed there, and the call succeeds.
[[nodiscard]] bool at_fork(void (*prepare)() noexcept, void (*parent)() noexcept,
                           void (*child)() noexcept) noexcept;

// For the note on a refused lock of `bytes` bytes (the whole pages it asked for), refused with
// `code`: the limit that refused it and how to raise it. On Windows the minimum working set. On
// macOS RLIMIT_MEMLOCK and the kernel's wired-memory limits (os_macos.cpp). On Linux
// RLIMIT_MEMLOCK, unless the process may lock without limit or the lock fitted under it: then
// (ENOMEM) the process has run out of memory mappings, and the note gives their count and
// vm.max_map_count.
[[nodiscard]] Text lock_limit_note(ErrorCode code, std::size_t bytes) noexcept;

// The encoding the environment's values must be valid in: "UTF-16" on Windows, "UTF-8" on POSIX,
// where the bytes are decoded as UTF-8 (see get_environment_variable).
[[nodiscard]] const char* environment_encoding() noexcept;

// GetLastError / SetLastError for the calling thread. On POSIX the codes are errno values, except
// for the Windows codes named above, which the POSIX services set where Windows would.
[[nodiscard]] ErrorCode last_error() noexcept;
void set_last_error(ErrorCode code) noexcept;

// SecureZeroMemory: zeroing that the compiler may not drop as a dead store.
void secure_zero(void* p, std::size_t n) noexcept;

// GetModuleHandleW(L"NTDLL.DLL"): null when there is no such module (always, on POSIX).
[[nodiscard]] ModuleHandle ntdll_handle() noexcept;

// FormatMessageW(flags, source, id, 0, buffer, size, nullptr): the number of UTF-16 units written
// (terminator excluded), or 0 with the reason in last_error(). On POSIX the text is the errno text
// of id, and an id with no text of its own returns 0 with last error 317
// (ERROR_MR_MID_NOT_FOUND), as Windows does.
[[nodiscard]] std::uint32_t format_message(std::uint32_t flags, ModuleHandle source,
                                           std::uint32_t id, char16_t* buffer,
                                           std::uint32_t size) noexcept;

// QueryPerformanceCounter / QueryPerformanceFrequency. False on failure. On Linux the counter is
// CLOCK_BOOTTIME in nanoseconds, so that time spent suspended counts; CLOCK_MONOTONIC elsewhere.
[[nodiscard]] bool query_performance_counter(std::int64_t* ticks) noexcept;
[[nodiscard]] bool query_performance_frequency(std::int64_t* ticks_per_second) noexcept;

// GetEnvironmentVariableW(name, buffer, size), name terminated by a zero unit. Returns the number
// of units written (terminator excluded) when the value fits; the size needed (terminator
// included) when it does not; 0 with last error 203 when the variable is missing; 0 with the
// last error left as it was when the value is empty. On POSIX the value's bytes are read as UTF-8
// and every byte that is not part of a valid sequence becomes the lone surrogate U+DC00 + byte, so
// that the later UTF-16 to UTF-8 step refuses it as Windows refuses invalid UTF-16.
[[nodiscard]] std::uint32_t get_environment_variable(const char16_t* name, char16_t* buffer,
                                                     std::uint32_t size) noexcept;

// __fastfail(code): ends the process at once, without unwinding (abort() on POSIX).
[[noreturn]] void fast_fail(unsigned code) noexcept;

// Writes the bytes to standard error, unbuffered.
void write_stderr(const char* text, std::size_t n) noexcept;

}  // namespace hush_vault::secret::os
