// The companion module's OS services over POSIX: open, read, mmap and the environment.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <crt_externs.h>  // a shared library there reaches the environment only through it
#endif

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "fault_injection.hpp"
#include "os_sources.hpp"
#include "proc_file.hpp"

namespace hush_vault::secret::os {
namespace {

using inject::Call;

void set_error_from_errno() noexcept {
    set_last_error(static_cast<ErrorCode>(errno));
}

// The start and end of the environment block the process started with, from /proc/self/stat
// (fields 50 and 51, Linux 3.5 and later). Nothing elsewhere, or when they cannot be read.
struct Span {
    char* start = nullptr;
    char* end = nullptr;
};

Span initial_environment() noexcept {
#if defined(__linux__)
    char text[2048];
    const std::size_t size = read_proc("/proc/self/stat", text, sizeof text);
    std::string_view stat(text, size);
    // The command name may hold spaces and parentheses: the fields start after the last ')'.
    auto close_paren = stat.rfind(')');
    if (close_paren == std::string_view::npos) {
        return {};
    }
    stat.remove_prefix(close_paren + 1);
    std::uintptr_t values[2] = {};
    for (int field = 3; field <= 51; ++field) {
        while (!stat.empty() && stat.front() == ' ') {
            stat.remove_prefix(1);
        }
        auto end = stat.find(' ');
        std::string_view token = stat.substr(0, end);
        if (field >= 50) {
            auto [rest, error] =
                std::from_chars(token.data(), token.data() + token.size(), values[field - 50]);
            if (error != std::errc() || rest != token.data() + token.size()) {
                return {};
            }
        }
        if (end == std::string_view::npos && field < 51) {
            return {};
        }
        stat.remove_prefix(end == std::string_view::npos ? stat.size() : end);
    }
    if (values[0] == 0 || values[1] <= values[0]) {
        return {};
    }
    // The kernel reports the block as addresses of this process.
    return {reinterpret_cast<char*>(values[0]),   // NOLINT(performance-no-int-to-ptr)
            reinterpret_cast<char*>(values[1])};  // NOLINT(performance-no-int-to-ptr)
#else
    return {};
#endif
}

// Whether the C environment still points into the block: the block the kernel reports is then the
// one this program started with. Under an emulator such as valgrind it is the emulator's own.
bool environment_lies_in(Span block) noexcept {
#if defined(__APPLE__)
    char** entries = *_NSGetEnviron();
#else
    char** entries = environ;
#endif
    for (char** entry = entries; entry != nullptr && *entry != nullptr; ++entry) {
        if (*entry >= block.start && *entry < block.end) {
            return true;
        }
    }
    return false;
}

}  // namespace

FileHandle open_for_reading(const char* path) noexcept {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    int fd = inject::fails(Call::open) ? -1 : open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        set_error_from_errno();
        return no_file;
    }
    return fd;
}

void close_file(FileHandle file) noexcept {
    static_cast<void>(inject::fails(Call::close));  // closed all the same, as above
    close(static_cast<int>(file));
}

std::int64_t read_file(FileHandle file, void* buffer, std::size_t n) noexcept {
    ssize_t got = inject::fails(Call::read) ? -1 : read(static_cast<int>(file), buffer, n);
    if (got < 0) {
        set_error_from_errno();
        return -1;
    }
    return got;
}

bool interrupted(ErrorCode code) noexcept {
    return code == EINTR;
}

bool error_codes_are_windows() noexcept {
    return false;
}

void* map_pages(std::size_t n) noexcept {
    void* address = inject::fails(Call::mmap) ? MAP_FAILED
                                              : mmap(nullptr, n, PROT_READ | PROT_WRITE,
                                                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED) {
        set_error_from_errno();
        return nullptr;
    }
    return address;
}

void unmap_pages(void* address, std::size_t n) noexcept {
    if (!inject::fails(Call::munmap)) {
        munmap(address, n);
    }
}

const char* path_separators() noexcept {
    return "/";
}

std::size_t erase_environment_variable(const char* name) noexcept {
    std::size_t zeroed = 0;
    Span block = initial_environment();
    if (!environment_lies_in(block)) {
        block = {};
    }
    std::size_t name_length = std::strlen(name);
    // The block is a run of NUL-terminated strings; a value set again later still lies here.
    for (char* entry = block.start; entry < block.end;) {
        auto left = static_cast<std::size_t>(block.end - entry);
        std::size_t length = strnlen(entry, left);
        if (length > name_length && std::memcmp(entry, name, name_length) == 0 &&
            entry[name_length] == '=') {
            secure_zero(entry + name_length + 1, length - name_length - 1);
            ++zeroed;
        }
        entry += length + 1;
    }
    unsetenv(name);
    return zeroed;
}

}  // namespace hush_vault::secret::os
