// The test platform helpers over POSIX and Linux's /proc.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform.hpp"

namespace hush_vault::test {
namespace {

// The watched page and whether it was touched, for the fault handler.
std::uint8_t* watched_page = nullptr;
std::size_t watched_size = 0;
volatile std::sig_atomic_t watched_touched = 0;
struct sigaction previous_handler {};

// A fault on the watched page is the access being watched for: note it and open the page, so
// that the faulting instruction runs again and succeeds. Any other fault is a real crash.
void on_fault(int signal, siginfo_t* info, void* /*context*/) {
    auto* at = static_cast<std::uint8_t*>(info->si_addr);
    if (watched_page != nullptr && at >= watched_page && at < watched_page + watched_size) {
        watched_touched = 1;
        mprotect(watched_page, watched_size, PROT_READ | PROT_WRITE);
        return;
    }
    sigaction(signal, &previous_handler, nullptr);
}

}  // namespace

WatchedPages::WatchedPages() : page_size_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
    void* block =
        mmap(nullptr, 2 * page_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) {
        std::abort();
    }
    block_ = static_cast<std::uint8_t*>(block);
}

WatchedPages::~WatchedPages() {
    if (watched_page != nullptr) {
        sigaction(SIGSEGV, &previous_handler, nullptr);
        watched_page = nullptr;
    }
    munmap(block_, 2 * page_size_);
}

void WatchedPages::watch() {
    struct sigaction handler {};
    handler.sa_sigaction = on_fault;
    handler.sa_flags = SA_SIGINFO;
    sigemptyset(&handler.sa_mask);
    watched_page = block_ + page_size_;
    watched_size = page_size_;
    watched_touched = 0;
    sigaction(SIGSEGV, &handler, &previous_handler);
    mprotect(watched_page, watched_size, PROT_NONE);
}

bool WatchedPages::second_page_touched() const noexcept {
    return watched_touched != 0;
}

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

void* map_page() {
    void* page = mmap(nullptr, static_cast<std::size_t>(sysconf(_SC_PAGESIZE)),
                      PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return page == MAP_FAILED ? nullptr : page;
}

void unmap_page(void* page) noexcept {
    munmap(page, static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
}

bool ended_by_fast_fail(int exit_status) {
    return WIFSIGNALED(exit_status) && WTERMSIG(exit_status) == SIGABRT;
}

}  // namespace hush_vault::test
