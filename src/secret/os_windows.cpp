// The OS layer over the Win32 API: each service of os.hpp is the Windows call it is named after.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#if defined(_MSC_VER)
#include <intrin.h>
#endif

#include <charconv>
#include <cstdlib>

#include "fault_injection.hpp"
#include "os.hpp"

namespace hush_vault::secret::os {
namespace {

using inject::Call;

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

LPWSTR wide(char16_t* text) noexcept {
    return reinterpret_cast<LPWSTR>(text);
}
LPCWSTR wide(const char16_t* text) noexcept {
    return reinterpret_cast<LPCWSTR>(text);
}

}  // namespace

void* heap_alloc(std::size_t n) noexcept {
    HANDLE heap = GetProcessHeap();
    if (heap == nullptr || inject::fails(Call::heap)) {
        return nullptr;
    }
    return HeapAlloc(heap, 0, n);
}

void heap_free(void* block) noexcept {
    HANDLE heap = GetProcessHeap();
    if (heap != nullptr) {
        HeapFree(heap, 0, block);
    }
}

std::size_t page_size() noexcept {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwPageSize;
}

bool virtual_lock(void* address, std::size_t n) noexcept {
    return !inject::fails(Call::mlock) && VirtualLock(address, n) != FALSE;
}

bool virtual_unlock(void* address, std::size_t n) noexcept {
    return !inject::fails(Call::munlock) && VirtualUnlock(address, n) != FALSE;
}

bool virtual_lock_in_place(void* /*address*/, std::size_t /*n*/) noexcept {
    SetLastError(ERROR_NOT_SUPPORTED);  // nothing is inherited without fork
    return false;
}

bool at_fork(void (* /*prepare*/)() noexcept, void (* /*parent*/)() noexcept,
             void (* /*child*/)() noexcept) noexcept {
    return true;  // no fork on Windows: a new process never inherits our memory
}

Text lock_limit_note(ErrorCode /*code*/, std::size_t /*bytes*/) noexcept {
    SIZE_T minimum = 0;
    SIZE_T maximum = 0;
    Text note("Locked memory is limited by the process's minimum working set");
    if (!inject::fails(Call::getrlimit) &&
        GetProcessWorkingSetSize(GetCurrentProcess(), &minimum, &maximum) != FALSE) {
        char digits[24];
        auto [end, error] = std::to_chars(digits, digits + sizeof digits, minimum / 1024);
        note += ", now ";
        note.append(digits, end);
        note += " KiB, part of which the process needs for itself";
    }
    note +=
        " (VirtualLock fails with error 1453 past it). Raise it with "
        "SetProcessWorkingSetSize before creating vaults. Vaults lock whole 4 KiB pages, "
        "and small vaults share them.";
    return note;
}

const char* environment_encoding() noexcept {
    return "UTF-16";
}

ErrorCode last_error() noexcept {
    return GetLastError();
}

void set_last_error(ErrorCode code) noexcept {
    SetLastError(code);
}

void secure_zero(void* p, std::size_t n) noexcept {
    SecureZeroMemory(p, n);
}

ModuleHandle ntdll_handle() noexcept {
    return GetModuleHandleW(L"NTDLL.DLL");
}

std::uint32_t format_message(std::uint32_t flags, ModuleHandle source, std::uint32_t id,
                             char16_t* buffer, std::uint32_t size) noexcept {
    if (inject::fails(Call::error_text)) {
        return 0;
    }
    return FormatMessageW(flags, source, id, 0, wide(buffer), size, nullptr);
}

bool query_performance_counter(std::int64_t* ticks) noexcept {
    LARGE_INTEGER value{};
    if (inject::fails(Call::clock) || QueryPerformanceCounter(&value) == FALSE) {
        return false;
    }
    *ticks = value.QuadPart;
    return true;
}

bool query_performance_frequency(std::int64_t* ticks_per_second) noexcept {
    LARGE_INTEGER value{};
    if (QueryPerformanceFrequency(&value) == FALSE) {
        return false;
    }
    *ticks_per_second = value.QuadPart;
    return true;
}

std::uint32_t get_environment_variable(const char16_t* name, char16_t* buffer,
                                       std::uint32_t size) noexcept {
    if (inject::fails(Call::getenv)) {
        return 0;
    }
    return GetEnvironmentVariableW(wide(name), wide(buffer), size);
}

void fast_fail(unsigned code) noexcept {
    // Not abort() where it can be helped: that runs the SIGABRT handlers first, which fail-fast
    // exists to skip.
#if defined(_MSC_VER)
    __fastfail(code);
#elif defined(__x86_64__) || defined(__i386__)
    // mingw has no __fastfail intrinsic; this is its instruction: interrupt 0x29, code in ecx.
    asm volatile("int $0x29" : : "c"(code) : "memory");
    std::abort();  // never reached on a system that knows the instruction
#else
    (void)code;
    std::abort();
#endif
}

void write_stderr(const char* text, std::size_t n) noexcept {
    HANDLE stream = GetStdHandle(STD_ERROR_HANDLE);
    if (stream == nullptr || stream == INVALID_HANDLE_VALUE) {
        return;
    }
    while (n > 0) {
        DWORD chunk = n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(n);
        DWORD written = 0;
        if (WriteFile(stream, text, chunk, &written, nullptr) == FALSE || written == 0) {
            return;
        }
        text += written;
        n -= written;
    }
}

}  // namespace hush_vault::secret::os
