// Run under valgrind's memcheck with both inputs marked undefined, so that any branch or memory
// address that depends on them is reported. Mode "constant-time" compares with constant_time_eq
// and must draw no report; mode "naive" compares with an early-exit loop and must draw some,
// which shows that the check can see such a branch at all.
#include <valgrind/memcheck.h>

#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "secret/constant_time.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Compare = bool (*)(const std::uint8_t*, const std::uint8_t*, std::size_t);

bool naive_eq(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

// The answer is declared defined only once it exists: the comparison itself sees only
// undefined bytes, and the caller may branch on the answer without a report.
bool compare_undefined(Compare compare, Bytes a, Bytes b) {
    VALGRIND_MAKE_MEM_UNDEFINED(a.data(), a.size());
    VALGRIND_MAKE_MEM_UNDEFINED(b.data(), b.size());
    bool equal = compare(a.data(), b.data(), a.size());
    VALGRIND_MAKE_MEM_DEFINED(&equal, sizeof equal);
    return equal;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc == 2 ? argv[1] : "";
    if (mode != "constant-time" && mode != "naive") {
        std::fprintf(stderr, "usage: %s constant-time|naive\n", argv[0]);
        return 2;
    }
    const Compare compare = mode == "naive" ? naive_eq : hush_vault::secret::constant_time_eq;
    int wrong = 0;
    for (std::size_t n : {1, 16, 33, 256}) {
        Bytes a(n);
        for (std::size_t i = 0; i < n; ++i) {
            a[i] = static_cast<std::uint8_t>(i * 37 + 11);
        }
        for (std::size_t differ_at : {n, std::size_t{0}, n / 2, n - 1}) {
            Bytes b = a;
            if (differ_at < n) {
                b[differ_at] ^= 0x10;
            }
            if (compare_undefined(compare, a, b) != (a == b)) {
                ++wrong;
            }
        }
    }
    if (wrong != 0) {
        std::fprintf(stderr, "%d wrong answers\n", wrong);
        return 1;
    }
    return 0;
}
