// Counts every global allocation, to show that the mapper's configuration and every mapping allocate nothing, and
// that a resampler's process and seek allocate nothing once it is created (the library's own allocations come
// here too: it imports operator new).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "engine.h"
#include "zel/resampler.h"
#include "zel/resampling_mapper.h"

namespace {
std::atomic<long> allocations{0};
std::atomic<unsigned long long> allocated{0};  // bytes, never decreased
}  // namespace

// None inlined: GCC would otherwise see free() or delete meet a pointer from what it takes for the other.
__attribute__((noinline)) void *operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    allocated.fetch_add(size, std::memory_order_relaxed);
    if (void *p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void *p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void *p, std::size_t) noexcept { std::free(p); }
// The library's windows and tables are cache-aligned.
__attribute__((noinline)) void *operator new(std::size_t size, std::align_val_t align) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    allocated.fetch_add(size, std::memory_order_relaxed);
    const auto a = static_cast<std::size_t>(align);
    if (void *p = std::aligned_alloc(a, (size + a) / a * a)) return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void *p, std::align_val_t) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void *p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}

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

// Every preset, through each stage's form, in float64 interleaved frames and in int16 planar ones whose source
// rate changes (so also converting at the edges).
void streamWithoutAllocating(int quality, unsigned long long source, unsigned long long target, int format) {
    zel_resampler_options o;
    zel_resampler_options_init(&o);
    o.input_format = o.output_format = format;
    o.layout = format == ZEL_FORMAT_INT16 ? ZEL_LAYOUT_PLANAR : ZEL_LAYOUT_INTERLEAVED;
    o.source_rate_range = format == ZEL_FORMAT_INT16 ? 0.01 : 0;  // and a source rate that changes
    zel_resampler *r = zel_resampler_create_with_options(source, 1, target, 1, 2, quality, &o);
    ASSERT_NE(r, nullptr);
    std::vector<double> in(2 * 40000, 0.25), out(2 * 5000);  // big enough for either
    void *input[2] = {in.data(), in.data() + 40000}, *output[2] = {out.data(), out.data() + 5000}, *at[2];
    const size_t step = format == ZEL_FORMAT_INT16 ? 2 : 16;  // bytes from one frame to the next, per pointer
    size_t used = 0, written = 0;
    unsigned long long next = 0;
    const long before = allocations.load();
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t done = 0; done < 40000; done += used) {
            for (int c = 0; c < 2; ++c) at[c] = static_cast<char *>(input[c]) + done * step;
            zel_resampler_process_buffers(r, at, 40000 - done, &used, output, 5000, &written);
        }
        do zel_resampler_process_buffers(r, nullptr, 0, &used, output, 5000, &written);
        while (written > 0);
        zel_resampler_seek(r, 1234, &next);
        if (o.source_rate_range > 0) zel_resampler_set_source_rate(r, source + 1);
    }
    EXPECT_EQ(allocations.load() - before, 0) << quality << ", " << source << " -> " << target;
    zel_resampler_destroy(r);
}

TEST(Allocation, AResamplerProcessesAndSeeksWithoutAllocating) {
    for (int quality = ZEL_QUALITY_LINEAR; quality <= ZEL_QUALITY_MAX; ++quality) {
        for (const auto &c : {std::pair<unsigned long long, unsigned long long>{44100, 48000},
                              {48000, 16000},
                              {48000, 8000}}) {
            streamWithoutAllocating(quality, c.first, c.second, ZEL_FORMAT_FLOAT64);
            streamWithoutAllocating(quality, c.first, c.second, ZEL_FORMAT_INT16);
        }
    }
}

// The header's memory formula: per channel (W + C) * b bytes within a factor of 2, W the filter's span, C the
// input buffering, b the bytes of a frame held (twice over through the band stage); and a resampler past the
// 1 GiB ceiling refused before it allocates.
TEST(Allocation, AResamplerHoldsWhatItsHeaderSays) {
    using zel::engine::Engine;
    const auto bytes = [](unsigned long long s, unsigned long long t, unsigned channels, int q, double bw) {
        const unsigned long long before = allocated.load();
        zel_resampler *r = bw > 0 ? zel_resampler_create_with_bandwidth(s, 1, t, 1, channels, q, bw)
                                  : zel_resampler_create(s, 1, t, 1, channels, q);
        EXPECT_NE(r, nullptr);
        zel_resampler_destroy(r);
        return static_cast<double>(allocated.load() - before);
    };
    for (const auto &[s, t] : {std::pair<unsigned long long, unsigned long long>{44100, 48000},
                               {48000, 44101},
                               {96000, 44100},
                               {48000, 8000},
                               {48000, 48000}}) {
        for (int q = ZEL_QUALITY_MEDIUM; q <= ZEL_QUALITY_MAX; ++q) {
            for (const double bw : {0.0, 0.99}) {
                SCOPED_TRACE(std::to_string(s) + " -> " + std::to_string(t) + " q" + std::to_string(q) +
                             " bandwidth " + std::to_string(bw));
                Engine e;
                std::string error;
                const zel::engine::Preset &p = *zel::engine::presetAt(q);
                ASSERT_TRUE(
                    e.configure({s, 1}, {t, 1}, 1, p, error, bw > 0 ? std::optional(bw) : std::nullopt));
                const double span =
                    static_cast<double>(e.firstStage() == Engine::FirstStage::kDecimate
                                            ? e.unitSpan() + e.stageBefore() + e.stageAfter() + 1
                                            : e.taps());
                EXPECT_LE(span, 120000);
                const bool banded = e.firstStage() == Engine::FirstStage::kBand;
                const double b = (p.doubleSamples ? 8 : 4) + (banded ? (p.doubleIntermediate ? 8 : 4) : 0);
                // Many channels where the windows stay small.
                const unsigned channels = q == ZEL_QUALITY_MEDIUM && bw == 0 ? 300 : 3;
                const double want = (span + 4096) * b;
                const double one = bytes(s, t, 1, q, bw),
                             each = (bytes(s, t, channels, q, bw) - one) / (channels - 1);
                EXPECT_TRUE(each <= 2 * want && each >= want / 2) << each << " bytes per channel, " << want;
            }
        }
    }
}

}  // namespace
