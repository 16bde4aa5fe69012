// The test platform helpers over the Win32 API.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

// After windows.h, which it builds on.
#include <psapi.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform.hpp"

namespace hush_vault::test {
namespace {

std::wstring widen(const char* utf8) {
    int units = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide.data(), units);
    wide.resize(static_cast<std::size_t>(units) - 1);
    return wide;
}

bool under_wine() noexcept {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The watched page and whether it was touched, for the exception handler.
std::uint8_t* watched_page = nullptr;
std::size_t watched_size = 0;
volatile LONG watched_touched = 0;
PVOID watch_handler = nullptr;

// A guard page raises one exception at its first access and then turns into an ordinary page,
// so the access only has to be noted and run again.
LONG CALLBACK on_guard_page(EXCEPTION_POINTERS* exception) {
    const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
    if (record.ExceptionCode == STATUS_GUARD_PAGE_VIOLATION && record.NumberParameters >= 2) {
        auto* at = reinterpret_cast<std::uint8_t*>(record.ExceptionInformation[1]);
        if (at >= watched_page && at < watched_page + watched_size) {
            watched_touched = 1;
            return EXCEPTION_CONTINUE_EXECUTION;
        }
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

WatchedPages::WatchedPages() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    page_size_ = info.dwPageSize;
    block_ = static_cast<std::uint8_t*>(
        VirtualAlloc(nullptr, 2 * page_size_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (block_ == nullptr) {
        std::abort();
    }
}

WatchedPages::~WatchedPages() {
    if (watch_handler != nullptr) {
        RemoveVectoredExceptionHandler(watch_handler);
        watch_handler = nullptr;
    }
    watched_page = nullptr;
    VirtualFree(block_, 0, MEM_RELEASE);
}

void WatchedPages::watch() {
    watched_page = block_ + page_size_;
    watched_size = page_size_;
    watched_touched = 0;
    if (watch_handler == nullptr) {
        watch_handler = AddVectoredExceptionHandler(1, on_guard_page);
    }
    DWORD previous = 0;
    VirtualProtect(watched_page, watched_size, PAGE_READWRITE | PAGE_GUARD, &previous);
}

bool WatchedPages::second_page_touched() const noexcept {
    return watched_touched != 0;
}

bool on_windows() noexcept {
    return true;
}

void set_env(const char* name, const char* value) {
    // Not _putenv: the C runtime removes a variable set to an empty value.
    SetEnvironmentVariableW(widen(name).c_str(), widen(value).c_str());
}

void unset_env(const char* name) {
    SetEnvironmentVariableW(widen(name).c_str(), nullptr);
}

std::optional<PageState> page_state(const void* address) {
    // Wine's VirtualLock is a plain mlock and its working-set query never sets the lock bit.
    if (under_wine()) {
        return std::nullopt;
    }
    PSAPI_WORKING_SET_EX_INFORMATION info{};
    info.VirtualAddress = const_cast<void*>(address);
    if (QueryWorkingSetEx(GetCurrentProcess(), &info, sizeof info) == FALSE) {
        return std::nullopt;
    }
    // Only a page in the working set reports its lock bit.
    if (info.VirtualAttributes.Valid == 0) {
        return std::nullopt;
    }
    return PageState{info.VirtualAttributes.Locked != 0, std::nullopt};
}

void* map_page() {
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    return VirtualAlloc(nullptr, system.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void unmap_page(void* page) noexcept {
    VirtualFree(page, 0, MEM_RELEASE);
}

bool ended_by_fast_fail(int exit_status) {
    return static_cast<std::uint32_t>(exit_status) == 0xC0000409U;
}

}  // namespace hush_vault::test
