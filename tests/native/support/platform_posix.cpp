// The test platform helpers over POSIX and Linux's /proc.
#include <sys/wait.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform.hpp"

namespace hush_vault::test {

bool on_windows() noexcept {
    return false;
}

void set_env(const char* name, const char* value) {
    setenv(name, value, 1);
}

void unset_env(const char* name) {
    unsetenv(name);
}

std::optional<PageState> page_state(const void* address) {
    // Each mapping is a "start-end ..." line followed by "Key: value" lines. A lock splits the
    // mapping, so "Locked:" and "VmFlags:" describe exactly the locked run of pages.
    std::ifstream smaps("/proc/self/smaps");
    if (!smaps) {
        return std::nullopt;
    }
    const auto target = reinterpret_cast<std::uintptr_t>(address);
    bool inside = false;
    std::optional<PageState> state;
    std::string line;
    while (std::getline(smaps, line)) {
        std::uintptr_t start = 0;
        std::uintptr_t end = 0;
        char dash = 0;
        std::istringstream fields(line);
        if (fields >> std::hex >> start >> dash >> end && dash == '-') {
            if (inside) {
                break;
            }
            inside = start <= target && target < end;
            continue;
        }
        if (!inside) {
            continue;
        }
        std::istringstream entry(line);
        std::string key;
        entry >> key;
        if (key == "Locked:") {
            std::uint64_t kilobytes = 0;
            entry >> kilobytes;
            state = PageState{kilobytes > 0, std::nullopt};
        } else if (key == "VmFlags:" && state) {
            state->kept_from_dumps = false;
            std::string flag;
            while (entry >> flag) {
                if (flag == "dd") {
                    state->kept_from_dumps = true;
                }
            }
        }
    }
    return state;
}

bool ended_by_fast_fail(int exit_status) {
    return WIFSIGNALED(exit_status) && WTERMSIG(exit_status) == SIGABRT;
}

}  // namespace hush_vault::test
