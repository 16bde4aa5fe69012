// The test platform helpers over the Win32 API.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

// After windows.h, which it builds on.
#include <psapi.h>

#include <cstdint>
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

}  // namespace

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

bool ended_by_fast_fail(int exit_status) {
    return static_cast<std::uint32_t>(exit_status) == 0xC0000409U;
}

}  // namespace hush_vault::test
