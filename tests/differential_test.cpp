// Every public call against the oracle, in one randomised mix of multiply-divides, gcds, configurations,
// reductions and mappings (overflowed mappers included).
#include <gtest/gtest.h>

#include "check.h"

namespace {

using zel_check::u64;

TEST(Differential, EveryCallAgreesWithTheOracle) {
    // Fixed so that a failure replays; ZEL_TEST_SEED explores others and ZEL_TEST_CASES runs longer (the soak).
    const char *seedText = std::getenv("ZEL_TEST_SEED"), *casesText = std::getenv("ZEL_TEST_CASES");
    const u64 seed = seedText != nullptr ? std::strtoull(seedText, nullptr, 0) : 0x5EEDC0FFEE123457ULL;
    const u64 cases = casesText != nullptr ? std::strtoull(casesText, nullptr, 0) : 5 << 20;
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    zel_check::Draw draw(seed);
    zel_check::Mapper mapper;
    // Two kinds in ten are multiply-divides: a million of them per plain run.
    for (u64 i = 0; i < cases; ++i) {
        ASSERT_EQ(zel_check::randomCase(draw, mapper, static_cast<int>(i % zel_check::kCaseKinds)), "")
            << "case " << i;
    }
}

}  // namespace
