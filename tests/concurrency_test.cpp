// Mapping members only read the mapper: threads sharing one must agree with a single thread (and, under
// ThreadSanitizer, must not race).
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "check.h"

namespace {

using zel_check::Mapper;
using zel_check::u64;

std::vector<u64> mapBlocks(const Mapper &m, u64 firstTarget) {
    std::vector<u64> out;
    for (u64 b = 0; b < 20000; ++b) {
        Mapper::sample_mixed_fraction_range positions;
        Mapper::sample_range request;
        out.push_back(m.sourceFromTargetStartAndCount(positions, firstTarget + 512 * b, 512));
        m.getSourceRequestRange(request, positions);
        u64 whole[8], phase[8];
        m.sourcePhasesFromTarget(whole, phase, nullptr, 1000, firstTarget + 512 * b, 8);
        out.insert(out.end(), {positions.last.numerator, request.first, request.last, whole[7], phase[7]});
    }
    return out;
}

TEST(Concurrency, ThreadsSharingOneMapperAgreeWithASingleThread) {
    Mapper m(true);
    m.setSourceAndTargetSampleRate(44100ULL, 48000ULL);
    const u64 starts[] = {0, 1ULL << 40, 123457, (1ULL << 62) - 1000000};
    std::vector<std::vector<u64>> got(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < 4; ++i) threads.emplace_back([&, i] { got[i] = mapBlocks(m, starts[i]); });
    for (std::thread &t : threads) t.join();
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(got[i], mapBlocks(m, starts[i])) << "thread " << i;
}

}  // namespace
