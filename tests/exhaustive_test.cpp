// Every case of a small mapper domain, against the oracle: nothing sampled, nothing skipped. Takes seconds,
// so it runs under its own label.
#include <gtest/gtest.h>

#include "differential.h"

namespace {

using u64 = unsigned long long;
using zel_check::RunCall;
using Mapper = mirelo::ResamplingMapper;

// Every pair of whole-number rates up to 64, every target index up to 300, every run of up to 40 samples
// starting there, by both run operations, with and without reduce (and both request-range settings).
TEST(Exhaustive, MapperSmallRatesIndicesAndRuns) {
    constexpr u64 kMaxRate = 64, kMaxIndex = 300, kMaxRun = 40;
    for (u64 source = 1; source <= kMaxRate; ++source) {
        for (u64 target = 1; target <= kMaxRate; ++target) {
            Mapper mapper;
            mapper.setSourceAndTargetSampleRate(source, target);
            for (const bool reduced : {false, true}) {
                if (reduced) mapper.reduce();
                for (u64 first = 0; first <= kMaxIndex; ++first) {
                    std::string mismatch = zel_check::checkSourceFromTarget(mapper, first);
                    for (u64 length = 1; length <= kMaxRun && mismatch.empty(); ++length) {
                        mismatch = zel_check::checkRun(mapper, RunCall::StartAndCount, first, length);
                        if (mismatch.empty()) {
                            mismatch =
                                zel_check::checkRun(mapper, RunCall::FirstAndLast, first, first + length - 1);
                        }
                    }
                    if (!mismatch.empty()) FAIL() << mismatch;
                }
            }
        }
    }
}

}  // namespace
