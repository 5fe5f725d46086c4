// Every case of small domains, too long for the plain suite: run once in CI under the label exhaustive.
#include <gtest/gtest.h>

#include "check.h"

namespace {

using zel_check::Mapper;
using zel_check::RunCall;
using zel_check::u64;

TEST(Exhaustive, MulDivOperandsBelow256) {
    for (u64 value = 0; value < 256; ++value) {
        for (u64 multiplier = 0; multiplier < 256; ++multiplier) {
            for (u64 divisor = 0; divisor < 256; ++divisor) {
                const std::string mismatch =
                    zel_check::checkMulDiv(value, multiplier, divisor, divisor & 1, false);
                if (!mismatch.empty()) FAIL() << mismatch;
            }
        }
    }
}

// Every pair of whole-number rates up to 64, reduced or not, every target index up to 300 and every run of
// up to 40 samples from there, by both run calls; and for rates up to 24 and starts up to 40, runs of 50
// per-sample positions (long enough to wrap the numerator several times) and their phases in banks of 1 to 12.
TEST(Exhaustive, MapperSmallRatesIndicesAndRuns) {
    for (u64 source = 1; source <= 64; ++source) {
        for (u64 target = 1; target <= 64; ++target) {
            Mapper mapper;
            mapper.setSourceAndTargetSampleRate(source, target);
            for (const bool reduced : {false, true}) {
                if (reduced) mapper.reduce();
                for (u64 first = 0; first <= 300; ++first) {
                    std::string mismatch = zel_check::checkSourceFromTarget(mapper, first);
                    for (u64 length = 1; length <= 40 && mismatch.empty(); ++length) {
                        mismatch =
                            zel_check::checkRun(mapper, RunCall::StartAndCount, first, length) +
                            zel_check::checkRun(mapper, RunCall::FirstAndLast, first, first + length - 1);
                    }
                    const bool small = !reduced && source <= 24 && target <= 24 && first <= 40;
                    for (u64 phases = 0; phases <= 12 && small && mismatch.empty(); ++phases)
                        mismatch = zel_check::checkPerSample(mapper, phases > 0, phases, first, 50, 0);
                    if (!mismatch.empty()) FAIL() << mismatch;
                }
            }
        }
    }
}

}  // namespace
