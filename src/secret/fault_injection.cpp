// The counter behind fails(): which calls to fail, read once from the environment, and a trace of
// every counted call so that a sweep knows the calls a scenario makes. Built only with
// HUSH_VAULT_FAULT_INJECTION; it uses the C library directly, so nothing here is counted.
#include "fault_injection.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#if !defined(NOMINMAX)  // the C++ headers above may have set it
#define NOMINMAX
#endif
#include <process.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include "os.hpp"

namespace hush_vault::secret::inject {
namespace {

constexpr std::size_t kinds = static_cast<std::size_t>(Call::munmap) + 1;

// Indexed by Call.
constexpr std::array<std::string_view, kinds> call_names = {
    "heap",    "mlock", "mlock2",   "munlock",    "madvise_dontdump", "madvise_dodump", "mincore",
    "at_fork", "clock", "getenv",   "error_text", "getrlimit",        "open",           "read",
    "close",   "fstat", "terminal", "mmap",       "munmap",
};

struct ErrorName {
    std::string_view name;
    int code;
};

// The errors a test names; any other is given as its number.
constexpr std::array<ErrorName, 9> error_names = {{
    {"ENOMEM", ENOMEM},
    {"EPERM", EPERM},
    {"EAGAIN", EAGAIN},
    {"EINTR", EINTR},
    {"EIO", EIO},
    {"EINVAL", EINVAL},
    {"ERANGE", ERANGE},
    {"EMFILE", EMFILE},
    {"EACCES", EACCES},
}};

// Each module links its own copy of the OS layer, so each counts its own calls. The companion
// module's calls are named with this prefix, in the trace and in the rules, so that one rule
// fails one call of one module.
constexpr std::string_view companion_prefix = "sources.";

// Whether this copy of the counter lives in the companion module, from the file it was loaded from.
bool in_companion() noexcept {
    static const int anchor = 0;
#if defined(_WIN32)
    HMODULE module = nullptr;
    std::array<char, 1024> path{};
    if (GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&anchor), &module) == FALSE ||
        GetModuleFileNameA(module, path.data(), static_cast<DWORD>(path.size())) == 0) {
        return false;
    }
    return std::string_view(path.data()).find("hush_vault_sources") != std::string_view::npos;
#else
    Dl_info info{};
    return dladdr(&anchor, &info) != 0 && info.dli_fname != nullptr &&
           std::string_view(info.dli_fname).find("hush_vault_sources") != std::string_view::npos;
#endif
}

// One "kind:N:error" of HUSH_INJECT: kind a call name (with the prefix above for the companion
// module's calls) or * (any call of either module), N the 1-based index among
// the calls it names, N+ for that call and every later one (a limit reached), or * for every
// call; error a name above or a number.
struct Rule {
    std::size_t kind = kinds;  // kinds: any call
    unsigned long index = 0;   // 0: every call
    bool onwards = false;      // N+
    int error = 0;
};

constexpr std::size_t max_rules = 4;

struct Plan {
    std::array<Rule, max_rules> rules{};
    std::size_t count = 0;
    std::FILE* trace = nullptr;  // HUSH_INJECT_TRACE: "pid kind index" for every counted call
    bool companion = in_companion();
};

[[noreturn]] void refuse(std::string_view why, std::string_view rule) noexcept {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    static_cast<void>(std::fprintf(stderr, "HUSH_INJECT: %.*s: %.*s\n",
                                   static_cast<int>(why.size()), why.data(),
                                   static_cast<int>(rule.size()), rule.data()));
    std::abort();
}

// The rule, or nullopt when it names the other module's calls.
std::optional<Rule> parse_rule(std::string_view text, bool companion) noexcept {
    Rule rule;
    const std::size_t first = text.find(':');
    const std::size_t second = text.find(':', first + 1);
    if (first == std::string_view::npos || second == std::string_view::npos) {
        refuse("expected kind:N:error", text);
    }
    std::string_view kind = text.substr(0, first);
    const bool for_companion = kind.substr(0, companion_prefix.size()) == companion_prefix;
    kind.remove_prefix(for_companion ? companion_prefix.size() : 0);
    std::string_view index = text.substr(first + 1, second - first - 1);
    const std::string_view error = text.substr(second + 1);
    if (kind != "*") {
        rule.kind = 0;
        while (rule.kind < kinds && call_names.at(rule.kind) != kind) {
            ++rule.kind;
        }
        if (rule.kind == kinds) {
            refuse("unknown call kind", text);
        }
    }
    if (!index.empty() && index.back() == '+') {
        rule.onwards = true;
        index.remove_suffix(1);
    }
    if (index != "*") {
        auto [end, failed] = std::from_chars(index.data(), index.data() + index.size(), rule.index);
        if (failed != std::errc() || end != index.data() + index.size() || rule.index == 0) {
            refuse("the index is a number from 1, with or without +, or *", text);
        }
    }
    for (const ErrorName& known : error_names) {
        rule.error = known.name == error ? known.code : rule.error;
    }
    if (rule.error == 0) {
        auto [end, failed] = std::from_chars(error.data(), error.data() + error.size(), rule.error);
        if (failed != std::errc() || end != error.data() + error.size() || rule.error == 0) {
            refuse("unknown error", text);
        }
    }
    if (kind != "*" && for_companion != companion) {
        return std::nullopt;
    }
    return rule;
}

Plan read_plan() noexcept {
    Plan plan;
    const char* rules = std::getenv("HUSH_INJECT");  // NOLINT(concurrency-mt-unsafe)
    for (std::string_view rest = rules == nullptr ? "" : rules; !rest.empty();) {
        const std::size_t comma = std::min(rest.find(','), rest.size());
        if (plan.count == max_rules) {
            refuse("too many rules", rest);
        }
        if (auto rule = parse_rule(rest.substr(0, comma), plan.companion)) {
            plan.rules.at(plan.count++) = *rule;
        }
        rest.remove_prefix(std::min(comma + 1, rest.size()));
    }
    if (const char* path = std::getenv("HUSH_INJECT_TRACE")) {  // NOLINT(concurrency-mt-unsafe)
        plan.trace = std::fopen(path, "a");  // NOLINT(cppcoreguidelines-owning-memory)
        if (plan.trace == nullptr) {
            refuse("cannot open the trace", path);
        }
        // Unbuffered: a forked child must not write its parent's pending lines again.
        static_cast<void>(std::setvbuf(plan.trace, nullptr, _IONBF, 0));
    }
    return plan;
}

// Read as the module loads, not at its first call: that first call may come while registers
// still hold a secret, and the lookups the plan makes (dladdr, getenv) would be bound lazily then,
// the dynamic linker saving those registers on the stack.
const Plan plan = read_plan();

std::array<std::atomic<unsigned long>, kinds> kind_calls{};
std::atomic<unsigned long> all_calls{0};

void trace(std::FILE* file, bool companion, Call call, unsigned long index) noexcept {
    std::array<char, 96> line{};
    char* at = line.data();
    char* const end = line.data() + line.size();
#if defined(_WIN32)
    at = std::to_chars(at, end, _getpid()).ptr;
#else
    at = std::to_chars(at, end, getpid()).ptr;
#endif
    *at++ = ' ';
    if (companion) {
        at = std::copy(companion_prefix.begin(), companion_prefix.end(), at);
    }
    const std::string_view name = call_names.at(static_cast<std::size_t>(call));
    at = std::copy(name.begin(), name.end(), at);
    *at++ = ' ';
    at = std::to_chars(at, end - 1, index).ptr;
    *at++ = '\n';
    // One write a line, so that lines from parent and child never interleave.
    static_cast<void>(
        std::fwrite(line.data(), 1, static_cast<std::size_t>(at - line.data()), file));
}

}  // namespace

bool fails(Call call) noexcept {
    const auto kind = static_cast<std::size_t>(call);
    const unsigned long index = kind_calls.at(kind).fetch_add(1) + 1;
    const unsigned long any_index = all_calls.fetch_add(1) + 1;
    if (plan.trace != nullptr) {
        trace(plan.trace, plan.companion, call, index);
    }
    for (std::size_t i = 0; i < plan.count; ++i) {
        const Rule& rule = plan.rules.at(i);
        const bool kind_matches = rule.kind == kinds || rule.kind == kind;
        const unsigned long counted = rule.kind == kinds ? any_index : index;
        const bool index_matches =
            rule.index == 0 || rule.index == counted || (rule.onwards && counted > rule.index);
        if (kind_matches && index_matches) {
#if defined(_WIN32)
            os::set_last_error(static_cast<os::ErrorCode>(rule.error));
#else
            errno = rule.error;
#endif
            return true;
        }
    }
    return false;
}

}  // namespace hush_vault::secret::inject
