// The samples pinned: every preset through each form of the engine, float and double, mono and stereo, against
// hashes from a known-good build. Every kernel and every build (ZEL_SIMD=OFF, a libm without FMA) must give them:
// the output is a function of the input and the parameters alone. A change meant to keep the samples proves it
// here; one that changes them takes new hashes (ZEL_PRINT_HASHES=1 prints them) and says why.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "zel/resampler.h"

namespace {

using u64 = unsigned long long;

// Among them, 48000 -> 16000 keeps every other frame of the band stage (every third at very-high and max, which
// the second stage then copies), 44100 -> 22050 every other frame, copied, and 16000 -> 48000 makes three frames
// per source frame, copied.
constexpr u64 kRates[][2] = {{44100, 48000}, {48000, 44100}, {96000, 44100}, {48000, 8000},  {48000, 44101},
                             {48000, 16},    {44100, 44100}, {48000, 16000}, {44100, 22050}, {16000, 48000}};
constexpr int kPresets = ZEL_QUALITY_MAX + 1;

constexpr u64 kHashes[][kPresets] = {
#include "output_hashes.inc"
};

u64 fnv(u64 h, const void *data, size_t bytes) {
    const auto *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < bytes; ++i) h = (h ^ p[i]) * 0x100000001B3ULL;
    return h;
}

template <typename T>
u64 converted(u64 source, u64 target, unsigned channels, int quality, u64 h) {
    const size_t frames = 6000;
    std::vector<T> in(frames * channels);
    std::uint32_t state = 12345 + channels;
    for (size_t i = 0; i < in.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        // A triangle wave and noise: no libm call, whose last bits differ between machines.
        const double phase = static_cast<double>(i / channels % 125) / 125.0;
        in[i] = static_cast<T>(std::fabs(phase - 0.5) - 0.25 +
                               0.25 * (static_cast<double>(state >> 8) / 16777216.0 - 0.5));
    }
    zel_resampler *r = zel_resampler_create(source, 1, target, 1, channels, quality);
    EXPECT_NE(r, nullptr);
    if (r == nullptr) return h;
    const size_t room = frames * target / source + 2;
    std::vector<T> out(room * channels);
    size_t used = 0, written = 0, total = 0;
    const auto process = [r](const T *x, size_t n, size_t *u, T *y, size_t m, size_t *w) {
        if constexpr (sizeof(T) == sizeof(float)) {
            return zel_resampler_process(r, x, n, u, y, m, w);
        } else {
            return zel_resampler_process_double(r, x, n, u, y, m, w);
        }
    };
    EXPECT_EQ(process(in.data(), frames, &used, out.data(), room, &total), 0);
    EXPECT_EQ(process(nullptr, 0, &used, out.data() + total * channels, room - total, &written), 0);
    zel_resampler_destroy(r);
    return fnv(h, out.data(), (total + written) * channels * sizeof(T));
}

TEST(OutputHash, EveryPresetAndStageGivesTheSamplesItGaveBefore) {
    const bool print = std::getenv("ZEL_PRINT_HASHES") != nullptr;
    for (size_t c = 0; c < sizeof kRates / sizeof kRates[0]; ++c) {
        for (int q = 0; q < kPresets; ++q) {
            u64 h = 0xCBF29CE484222325ULL;
            for (const unsigned channels : {1u, 2u}) {
                h = converted<float>(kRates[c][0], kRates[c][1], channels, q, h);
                h = converted<double>(kRates[c][0], kRates[c][1], channels, q, h);
            }
            if (print) {
                std::printf("%s0x%016llXULL%s", q == 0 ? "{" : "", h, q + 1 == kPresets ? "},\n" : ", ");
            } else {
                EXPECT_EQ(h, kHashes[c][q]) << kRates[c][0] << " -> " << kRates[c][1] << ", quality " << q;
            }
        }
    }
}

}  // namespace
