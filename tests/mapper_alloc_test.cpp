// Counts every global allocation so that the test can show configuration and mapping allocate nothing.
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
void *operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }

namespace {

using mirelo::ResamplingMapper;

TEST(MapperAllocation, ConfigurationAndMappingAllocateNothing) {
    ResamplingMapper m(true);
    ResamplingMapper::sample_mixed_fraction p;
    ResamplingMapper::sample_mixed_fraction_range r;
    ResamplingMapper::sample_range request;
    unsigned long long sink = 0;

    const long before = allocations.load();
    m.setSourceAndTargetSampleRate(6ULL, 4ULL);
    m.reduce();
    m.setSourceAndTargetSampleRate(ResamplingMapper::sample_fraction{30000, 1001},
                                   ResamplingMapper::sample_fraction{48000, 1});
    for (unsigned long long block = 0; block < 1000; ++block) {
        sink += m.sourceFromTarget(p, block * 512) ? p.whole : 0;
        sink += m.sourceFromTargetStartAndCount(r, block * 512, 512) ? r.last.whole : 0;
        sink += m.sourceFromTargetFirstAndLast(r, block * 512, block * 512 + 511) ? r.last.whole : 0;
        sink += m._sourceFromTarget(r, ~0ULL - 600, 511) ? 1U : 0U;  // fails inside the multiply-divide
        m.getSourceRequestRange(request, r);
        sink += request.last;
    }
    m.setSourceAndTargetSampleRate(1ULL << 63, 1ULL);  // the overflowed state is not an error either
    sink += m.sourceFromTarget(p, 1) ? 1U : 0U;
    EXPECT_EQ(allocations.load() - before, 0);
    EXPECT_NE(sink, 0U);
}

TEST(MapperAllocation, CounterSeesAllocations) {
    const long before = allocations.load();
    // A direct call, not a new-expression, so that the compiler may not elide it.
    void *p = ::operator new(16);
    EXPECT_EQ(allocations.load() - before, 1);
    ::operator delete(p);
}

}  // namespace
