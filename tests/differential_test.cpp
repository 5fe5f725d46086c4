// Every public call against the oracle, in one randomised mix of multiply-divides, gcds, configurations,
// reductions and mappings (overflowed mappers included).
#include <gtest/gtest.h>

#include "check.h"

namespace {

using zel_check::u64;

TEST(Differential, EveryCallAgreesWithTheOracle) {
    // Fixed so that a failure replays; ZEL_TEST_SEED explores others.
    const char *env = std::getenv("ZEL_TEST_SEED");
    const u64 seed = env != nullptr ? std::strtoull(env, nullptr, 0) : 0x5EEDC0FFEE123457ULL;
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    zel_check::Draw draw(seed);
    zel_check::Mapper mapper;
    // Two kinds in ten are multiply-divides: a million of them per run.
    for (int i = 0; i < 5 << 20; ++i) {
        ASSERT_EQ(zel_check::randomCase(draw, mapper, i % zel_check::kCaseKinds), "") << "case " << i;
    }
}

}  // namespace
