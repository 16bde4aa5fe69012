// Internal faults: a report on standard error, then the system's fail-fast termination.
#include "fault.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>

#include "os.hpp"

namespace hush_vault::secret {
namespace {

// Builds the report in a fixed buffer: a fault may be memory exhaustion, so nothing allocates.
class Report {
  public:
    void add(std::string_view text) noexcept {
        std::size_t n = std::min(text.size(), buffer_.size() - used_);
        text.copy(buffer_.data() + used_, n);
        used_ += n;
    }
    void add(std::uint_least64_t number) noexcept {
        std::array<char, 24> digits{};
        auto [end, error] = std::to_chars(digits.data(), digits.data() + digits.size(), number);
        add(std::string_view(digits.data(), static_cast<std::size_t>(end - digits.data())));
    }
    void write() const noexcept { os::write_stderr(buffer_.data(), used_); }

  private:
    std::array<char, 1024> buffer_{};
    std::size_t used_ = 0;
};

}  // namespace

void internal_fault(std::string_view message, SourcePosition where) noexcept {
    Report report;
    report.add("hush_vault: internal fault: ");
    report.add(message);
    report.add("\n  at ");
    report.add(where.file);
    report.add(":");
    report.add(where.line);
    report.add(" in ");
    report.add(where.function);
    report.add("\n");
    report.write();
    os::fast_fail(os::fast_fail_fatal_app_exit);
}

void allocation_failure(std::size_t n) noexcept {
    Report report;
    report.add("memory allocation of ");
    report.add(n);
    report.add(" bytes failed\n");
    report.write();
    os::fast_fail(os::fast_fail_fatal_app_exit);
}

}  // namespace hush_vault::secret
