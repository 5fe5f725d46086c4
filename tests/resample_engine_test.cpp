// The streaming resampler example as the mapper's real client: output independent of the block size, reads
// confined to the mapper's request ranges, the exact output length, audio quality, and exact resumption far
// into a stream where a floating-point position has drifted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "oracle.h"
#include "stream_resampler.h"

namespace {

using resample::u64;
using Mapper = mirelo::ResamplingMapper;
using zel_oracle::u128;

constexpr double kPi = 3.14159265358979323846;

// A generated signal of `frames` frames (or endless), seekable, that records how far it has been read.
class SignalSource : public resample::FrameSource {
public:
    SignalSource(int channels, u64 frames, std::function<float(u64, int)> sample)
        : channels_(channels), frames_(frames), sample_(std::move(sample)) {}

    u64 read(float *out, u64 frames) override {
        u64 n = 0;
        for (; n < frames && next_ < frames_; ++n, ++next_) {
            for (int c = 0; c < channels_; ++c) *out++ = sample_(next_, c);
        }
        return n;
    }
    bool seek(u64 frame) override {
        next_ = frame;
        return true;
    }
    u64 position() const { return next_; }

private:
    int channels_;
    u64 frames_;
    std::function<float(u64, int)> sample_;
    u64 next_ = 0;
};

class VectorSink : public resample::FrameSink {
public:
    explicit VectorSink(int channels) : channels_(channels) {}
    bool write(const float *data, u64 frames) override {
        samples.insert(samples.end(), data, data + frames * static_cast<u64>(channels_));
        return true;
    }
    std::vector<float> samples;

private:
    int channels_;
};

// Checks every block against a request range computed here with a mapper of our own, every touched frame
// against that range, and that the source is never read past the last range announced.
class RequestChecker : public resample::Observer {
public:
    RequestChecker(const Mapper &mapper, const SignalSource &source) : mapper_(mapper), source_(source) {}

    void block(u64 targetFirst, u64 targetLast, const Mapper::sample_range &request) override {
        Mapper::sample_mixed_fraction_range positions;
        ASSERT_TRUE(mapper_.sourceFromTargetFirstAndLast(positions, targetFirst, targetLast));
        mapper_.getSourceRequestRange(expected_, positions);
        EXPECT_EQ(request.first, expected_.first);
        EXPECT_EQ(request.last, expected_.last);
        // Frames held over from the previous block must all be ones this block can use.
        if (keptFirst_ < expected_.first && keptEnd_ > keptFirst_) ++keptNeedlessly;
        keptFirst_ = keptEnd_ = 0;
        readLimit_ = std::max(readLimit_, expected_.last + 1);
        ++blocks;
    }
    void touch(u64 frame) override {
        if (frame < expected_.first || frame > expected_.last) ++touchesOutside;
        if (source_.position() > readLimit_) ++readsOutside;
        ++touches;
    }

    void kept(u64 first, u64 end) override {
        keptFirst_ = first;
        keptEnd_ = end;
    }

    u64 blocks = 0, touches = 0, touchesOutside = 0, readsOutside = 0, keptNeedlessly = 0;

private:
    const Mapper &mapper_;
    const SignalSource &source_;
    Mapper::sample_range expected_{};
    u64 readLimit_ = 0;
    u64 keptFirst_ = 0, keptEnd_ = 0;
};

Mapper mapperFor(u64 source, u64 targetNumerator, u64 targetDenominator = 1) {
    Mapper m(true);
    if (targetDenominator == 1) {
        m.setSourceAndTargetSampleRate(source, targetNumerator);
    } else {
        m.setSourceAndTargetSampleRate(Mapper::sample_fraction{source, 1},
                                       Mapper::sample_fraction{targetNumerator, targetDenominator});
    }
    return m;
}

// White noise in [-1, 1) as a pure function of frame and channel (a splitmix64 hash), so sources can seek.
float noise(u64 frame, int channel) {
    u64 z = frame * 0x9E3779B97F4A7C15ULL + static_cast<u64>(channel);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return static_cast<float>(z >> 40) / 8388608.0f - 1.0f;
}

std::vector<float> run(const Mapper &m, u64 frames, resample::RunOptions options, int channels = 2) {
    SignalSource source(channels, frames, noise);
    VectorSink sink(channels);
    const resample::RunResult result = resample::resampleStream(m, channels, source, sink, options);
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.framesWritten * static_cast<u64>(channels), sink.samples.size());
    return sink.samples;
}

TEST(ResampleEngine, OutputIsBitIdenticalForEveryBlockSize) {
    for (const Mapper &m : {mapperFor(44100, 48000), mapperFor(48000, 30000, 1001), mapperFor(96000, 8000)}) {
        resample::RunOptions options;
        options.blockSize = 512;
        const std::vector<float> reference = run(m, 20011, options);
        ASSERT_FALSE(reference.empty());
        for (const u64 size : {1ULL, 7ULL, 4096ULL}) {
            options.blockSize = size;
            const std::vector<float> out = run(m, 20011, options);
            ASSERT_EQ(out.size(), reference.size());
            EXPECT_EQ(std::memcmp(out.data(), reference.data(), out.size() * sizeof(float)), 0)
                << "block " << size;
        }
        std::mt19937_64 rng(9);
        options.nextBlockSize = [&rng] { return 1 + rng() % 1500; };
        const std::vector<float> out = run(m, 20011, options);
        ASSERT_EQ(out.size(), reference.size());
        EXPECT_EQ(std::memcmp(out.data(), reference.data(), out.size() * sizeof(float)), 0)
            << "random blocks";
    }
}

TEST(ResampleEngine, ReadsInterpolationAndBufferStayInsideEachRequestRange) {
    for (const Mapper &m : {mapperFor(44100, 48000), mapperFor(48000, 44100), mapperFor(96000, 8000),
                            mapperFor(44100, 96000), mapperFor(48000, 30000, 1001)}) {
        SignalSource source(1, 300011, noise);
        VectorSink sink(1);
        RequestChecker checker(m, source);
        resample::RunOptions options;
        options.blockSize = 37;
        options.observer = &checker;
        ASSERT_TRUE(resample::resampleStream(m, 1, source, sink, options).ok);
        EXPECT_GE(checker.blocks, 5U);
        EXPECT_GE(checker.touches, 180U);
        EXPECT_EQ(checker.touchesOutside, 0U);
        EXPECT_EQ(checker.readsOutside, 0U);
        EXPECT_EQ(checker.keptNeedlessly, 0U);
    }
}

TEST(ResampleEngine, OutputHoldsEveryTargetFrameUpToTheLastInputFrame) {
    const struct {
        u64 source, targetNumerator, targetDenominator;
    } pairs[] = {
        {44100, 48000, 1}, {48000, 44100, 1}, {44100, 96000, 1}, {48000, 30000, 1001}, {44100, 44100, 1}};
    for (const auto &pair : pairs) {
        const Mapper m = mapperFor(pair.source, pair.targetNumerator, pair.targetDenominator);
        for (const u64 frames : {1ULL, 2ULL, 3ULL, 1000ULL, 44101ULL}) {
            SCOPED_TRACE(testing::Message() << pair.source << " -> " << pair.targetNumerator << '/'
                                            << pair.targetDenominator << ", " << frames << " frames");
            const std::vector<float> out = run(m, frames, resample::RunOptions(), 1);
            const u128 expected = static_cast<u128>(frames - 1) * m.targetCommonRate / m.sourceCommonRate + 1;
            EXPECT_EQ(static_cast<u128>(out.size()), expected);
        }
    }
    const std::vector<float> copy = run(mapperFor(44100, 44100), 5000, resample::RunOptions());
    std::vector<float> input;
    for (u64 f = 0; f < 5000; ++f) {
        for (int c = 0; c < 2; ++c) input.push_back(noise(f, c));
    }
    EXPECT_EQ(copy, input) << "equal rates copy the input exactly";
    EXPECT_TRUE(run(mapperFor(44100, 48000), 0, resample::RunOptions()).empty());
}

TEST(ResampleEngine, SineKeepsItsFrequencyWithinLinearInterpolationError) {
    const double f = 1000, sourceRate = 44100, targetRate = 48000;
    SignalSource source(1, 2 * 44100, [&](u64 frame, int) {
        return static_cast<float>(std::sin(2 * kPi * f * static_cast<double>(frame) / sourceRate));
    });
    VectorSink sink(1);
    ASSERT_TRUE(resample::resampleStream(mapperFor(44100, 48000), 1, source, sink).ok);
    const std::vector<float> &y = sink.samples;

    double maxError = 0;
    int upwardCrossings = 0;
    for (size_t j = 0; j < y.size(); ++j) {
        const double ideal = std::sin(2 * kPi * f * static_cast<double>(j) / targetRate);
        maxError = std::max(maxError, std::abs(y[j] - ideal));
        if (j > 0 && y[j - 1] < 0 && y[j] >= 0) ++upwardCrossings;
    }
    const double seconds = static_cast<double>(y.size()) / targetRate;
    EXPECT_NEAR(upwardCrossings / seconds, f, 1.0);
    const double bound = std::pow(kPi * f / sourceRate, 2) / 2;  // about 0.25% of the amplitude
    EXPECT_LT(maxError, 0.003);
    EXPECT_LT(maxError, bound * 1.01);
}

// Far into a stream the mapper still gives exact positions, while a double accumulator advanced once per block
// from the start has drifted by whole samples.
TEST(ResampleEngine, ResumesExactlyWhereADoubleAccumulatorHasDrifted) {
    const Mapper m = mapperFor(44100, 48000);
    const u64 blockSize = 512, blocks = 1ULL << 31, firstTarget = blockSize * blocks;  // 2^40
    const auto signal = [](u64 frame, int) {
        return static_cast<float>(std::sin(static_cast<double>(frame % 1000003) * 0.001));
    };
    SignalSource source(1, ~0ULL, signal);
    VectorSink sink(1);
    resample::RunOptions options;
    options.firstTarget = firstTarget;
    options.frameLimit = 4 * blockSize;
    ASSERT_TRUE(resample::resampleStream(m, 1, source, sink, options).ok);
    ASSERT_EQ(sink.samples.size(), 4 * blockSize);
    for (u64 i = 0; i < sink.samples.size(); ++i) {
        const u128 product = static_cast<u128>(firstTarget + i) * 44100;
        const auto whole = static_cast<u64>(product / 48000), numerator = static_cast<u64>(product % 48000);
        const double w = static_cast<double>(numerator) / 48000.0;
        const float x0 = signal(whole, 0), x1 = signal(whole + 1, 0);
        const float expected =
            numerator == 0 ? x0 : static_cast<float>(x0 + (static_cast<double>(x1) - x0) * w);
        ASSERT_EQ(sink.samples[i], expected) << "target " << firstTarget + i;
    }

    double position = 0;
    const double step = static_cast<double>(blockSize) * 44100.0 / 48000.0;
    for (u64 b = 0; b < blocks; ++b) position += step;
    const double exact = static_cast<double>(static_cast<u128>(firstTarget) * 44100 / 48000) + 0.4;
    const double drift = position - exact;
    std::printf("double accumulator after %llu blocks of %llu: %.3f source samples off (exact %.1f)\n",
                blocks, blockSize, drift, exact);
    EXPECT_GE(std::abs(drift), 1.0) << "the accumulator should pick different source samples by now";
    EXPECT_NE(static_cast<u64>(position), static_cast<u64>(exact));
}

}  // namespace
