// The companion module's OS services over the Win32 API: CreateFileW, ReadFile, VirtualAlloc and
// the process environment.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstring>

#include "fault_injection.hpp"
#include "os_sources.hpp"
#include "scrubbed_buffer.hpp"

namespace hush_vault::secret::os {
namespace {

using inject::Call;

// UTF-8 text as a zero-terminated UTF-16 string; empty on failure, with the reason set.
ScrubbedBuffer<wchar_t> widened(const char* text) noexcept {
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (units <= 0) {
        return {};
    }
    ScrubbedBuffer<wchar_t> wide(static_cast<std::size_t>(units));
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(), units) != units) {
        return {};
    }
    wide.set_length(static_cast<std::size_t>(units));
    return wide;
}

HANDLE handle(FileHandle file) noexcept {
    return reinterpret_cast<HANDLE>(file);
}

}  // namespace

FileHandle open_for_reading(const char* path) noexcept {
    auto wide = widened(path);
    if (wide.length() == 0) {
        return no_file;
    }
    // No SECURITY_ATTRIBUTES: the handle is not inheritable. Others may keep writing or
    // renaming the file, as they may on POSIX.
    HANDLE opened = inject::fails(Call::open)
                        ? INVALID_HANDLE_VALUE
                        : CreateFileW(wide.data(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return no_file;
    }
    return reinterpret_cast<FileHandle>(opened);
}

void close_file(FileHandle file) noexcept {
    static_cast<void>(inject::fails(Call::close));  // closed all the same: nothing was written
    CloseHandle(handle(file));
}

std::int64_t read_file(FileHandle file, void* buffer, std::size_t n) noexcept {
    DWORD got = 0;
    DWORD want = n > 0x40000000U ? 0x40000000U : static_cast<DWORD>(n);
    if (inject::fails(Call::read) || ReadFile(handle(file), buffer, want, &got, nullptr) == 0) {
        // A pipe whose writers are gone ends like a file.
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    }
    return got;
}

bool interrupted(ErrorCode /*code*/) noexcept {
    return false;
}

bool error_codes_are_windows() noexcept {
    return true;
}

void* map_pages(std::size_t n) noexcept {
    return inject::fails(Call::mmap)
               ? nullptr
               : VirtualAlloc(nullptr, n, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmap_pages(void* address, std::size_t /*n*/) noexcept {
    if (!inject::fails(Call::munmap)) {
        VirtualFree(address, 0, MEM_RELEASE);
    }
}

const char* path_separators() noexcept {
    return "\\/";
}

std::size_t erase_environment_variable(const char* name) noexcept {
    auto wide = widened(name);
    if (wide.length() != 0) {
        SetEnvironmentVariableW(wide.data(), nullptr);
    }
    return 0;
}

}  // namespace hush_vault::secret::os
