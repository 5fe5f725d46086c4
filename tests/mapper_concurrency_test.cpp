#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "mapper_test_util.h"

namespace {

using mirelo::Mapper;
using u64 = unsigned long long;

struct Block {
    bool ok;
    Mapper::sample_mixed_fraction_range positions;
    Mapper::sample_range request;
};

std::vector<Block> mapBlocks(const Mapper &m, u64 firstTarget, int blocks) {
    std::vector<Block> out(static_cast<size_t>(blocks));
    for (int b = 0; b < blocks; ++b) {
        Block &block = out[static_cast<size_t>(b)];
        block.ok =
            m.sourceFromTargetStartAndCount(block.positions, firstTarget + 512 * static_cast<u64>(b), 512);
        m.getSourceRequestRange(block.request, block.positions);
    }
    return out;
}

// Mapping members only read the mapper, so threads sharing one must agree with a single-threaded run.
TEST(MapperConcurrency, ThreadsSharingOneMapperAgreeWithASingleThread) {
    Mapper m(true);
    m.setSourceAndTargetSampleRate(Mapper::sample_fraction{44100, 1}, Mapper::sample_fraction{48000, 1});
    const Mapper &shared = m;
    constexpr int kThreads = 4, kBlocks = 20000;
    const u64 starts[kThreads] = {0, 1ULL << 40, 123457, (1ULL << 62) - 1000000};

    std::vector<std::vector<Block>> expected;
    for (u64 start : starts) expected.push_back(mapBlocks(shared, start, kBlocks));

    std::vector<std::vector<Block>> got(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] { got[static_cast<size_t>(i)] = mapBlocks(shared, starts[i], kBlocks); });
    }
    for (std::thread &t : threads) t.join();

    for (int i = 0; i < kThreads; ++i) {
        for (int b = 0; b < kBlocks; ++b) {
            const Block &want = expected[static_cast<size_t>(i)][static_cast<size_t>(b)];
            const Block &have = got[static_cast<size_t>(i)][static_cast<size_t>(b)];
            ASSERT_EQ(have.ok, want.ok);
            ASSERT_EQ(have.positions, want.positions) << "thread " << i << ", block " << b;
            ASSERT_EQ(have.request.first, want.request.first);
            ASSERT_EQ(have.request.last, want.request.last);
        }
    }
}

}  // namespace
