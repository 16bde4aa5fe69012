// Internal faults end the process at once, after a report on standard error.
#include "secret/fault.hpp"

#include <gtest/gtest.h>

#include "secret/memory.hpp"

namespace hush_vault::secret {
namespace {

TEST(FaultDeathTest, InternalFaultReportsMessageAndPosition) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(internal_fault("invalid compareop"),
                 "hush_vault: internal fault: invalid compareop\n  at .*fault_test\\.cpp:.+");
}

TEST(FaultDeathTest, AllocationFailureHasTheDocumentedReport) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(allocation_failure(12345), "^memory allocation of 12345 bytes failed\n$");
    // A request no heap can satisfy takes the same path through the one allocation function.
    EXPECT_DEATH((void)allocate(static_cast<std::size_t>(-1) / 2),
                 "memory allocation of .+ bytes failed\n$");
}

}  // namespace
}  // namespace hush_vault::secret
