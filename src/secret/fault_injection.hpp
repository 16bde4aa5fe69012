// Injected system-call failures, for the fault sweep's build only: every call the OS layer makes
// to the system asks fails() first. In every other build fails() is a compile-time false, so the
// wrapped call is exactly the plain call.
#pragma once

namespace hush_vault::secret::inject {

// The kinds of system call, each counted on its own. The sweep names them as written here.
enum class Call : unsigned {
    heap,              // malloc / HeapAlloc
    mlock,             // mlock / VirtualLock
    mlock2,            // mlock2 (MLOCK_ONFAULT)
    munlock,           // munlock / VirtualUnlock
    madvise_dontdump,  // madvise(MADV_DONTDUMP)
    madvise_dodump,    // madvise(MADV_DODUMP)
    mincore,           //
    at_fork,           // pthread_atfork
    clock,             // clock_gettime / QueryPerformanceCounter
    getenv,            // getenv / GetEnvironmentVariableW
    error_text,        // strerror_r / FormatMessageW
    getrlimit,         // getrlimit / GetProcessWorkingSetSize
    open,              // /proc and the companion module's files
    read,              //
    close,             //
    fstat,             //
    terminal,          // tcgetattr / tcsetattr, console modes
    mmap,              // scratch mappings
    munmap,            //
};

#if defined(HUSH_VAULT_FAULT_INJECTION)
// Counts the call; true when the test asked for it to fail: the chosen error is then set (errno,
// or the thread's last error on Windows) and the caller returns the call's failure result.
[[nodiscard]] bool fails(Call call) noexcept;
#else
// consteval: nothing of it is left in the code, at any optimisation level.
[[nodiscard]] consteval bool fails(Call /*call*/) noexcept {
    return false;
}
#endif

}  // namespace hush_vault::secret::inject
