// Counts every global allocation, to show that configuration and every mapping allocate nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "zel/resampling_mapper.h"

namespace {
std::atomic<long> allocations{0};
}

void *operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace {

using mirelo::ResamplingMapper;

TEST(Allocation, ConfigurationAndMappingAllocateNothing) {
    ResamplingMapper m(true);
    ResamplingMapper::sample_mixed_fraction p;
    ResamplingMapper::sample_mixed_fraction_range r;
    ResamplingMapper::sample_range request;
    unsigned long long sink = 0, whole[512], phase[512], remainder[512];

    const long before = allocations.load();
    void *probe = ::operator new(16);  // a direct call, which the compiler may not elide: the counter counts
    ::operator delete(probe);
    m.setSourceAndTargetSampleRate(ResamplingMapper::sample_fraction{30000, 1001},
                                   ResamplingMapper::sample_fraction{48000, 1});
    m.reduce();
    for (unsigned long long block = 0; block < 1000; ++block) {
        sink += m.sourceFromTarget(p, block * 512) ? p.whole : 0;
        sink += m.sourceFromTargetStartAndCount(r, block * 512, 512) ? r.last.whole : 0;
        sink +=
            m.sourceFromTargetFirstAndLast(r, ~0ULL - 600, ~0ULL) ? 1U : 0U;  // fails in the multiply-divide
        m.getSourceRequestRange(request, r);
        sink += request.last + m.sourcePositionsFromTarget(whole, phase, block * 512, 512) +
                m.sourcePhasesFromTarget(whole, phase, remainder, 256, block * 512, 512);
    }
    m.setSourceAndTargetSampleRate(1ULL << 63, 1ULL);  // the overflowed state is not an error either
    sink += m.sourceFromTarget(p, 1) ? 1U : 0U;
    EXPECT_EQ(allocations.load() - before, 1) << "only the probe";
    EXPECT_NE(sink, 0U);
}

}  // namespace
