#include "stream_resampler.h"

#include <zel/math.h>

#include <algorithm>

namespace resample {

namespace {

using Mapper = mirelo::ResamplingMapper;

// Source frames [start, start + frames) that the current block can still need; nothing older is kept.
class Window {
public:
    explicit Window(u64 channels) : channels_(channels) {}

    u64 start() const { return start_; }
    u64 end() const { return start_ + frames(); }
    u64 frames() const { return samples_.size() / channels_; }
    const float *frame(u64 index) const { return &samples_[(index - start_) * channels_]; }

    // Forgets frames before `first`; false if the window must jump past frames it never read.
    bool dropBefore(u64 first) {
        if (first <= start_) return true;
        if (first > end()) return false;
        samples_.erase(samples_.begin(),
                       samples_.begin() + static_cast<std::ptrdiff_t>((first - start_) * channels_));
        start_ = first;
        return true;
    }

    void restartAt(u64 first) {
        samples_.clear();
        start_ = first;
    }

    // Reads until the window reaches `last` inclusive or the source ends; returns false at the end.
    bool fillThrough(FrameSource &in, u64 last) {
        if (last < end()) return true;
        const u64 wanted = last + 1 - end();
        const size_t old = samples_.size();
        samples_.resize(old + wanted * channels_);
        const u64 got = in.read(samples_.data() + old, wanted);
        samples_.resize(old + got * channels_);
        return got == wanted;
    }

private:
    u64 channels_;
    u64 start_ = 0;
    std::vector<float> samples_;
};

// The last target frame whose source position is at most the last of `sourceFrames` frames:
// floor((sourceFrames - 1) * T / S). Returns false when there is none.
bool lastTargetFor(const Mapper &mapper, u64 sourceFrames, u64 &lastTarget) {
    if (sourceFrames == 0) return false;
    if (safe_muldiv_llong_with_remainder(sourceFrames - 1, mapper.targetCommonRate, mapper.sourceCommonRate,
                                         &lastTarget, nullptr) != 0) {
        lastTarget = ~0ULL - 1;  // beyond any run the mapper can express
    }
    return true;
}

}  // namespace

RunResult resampleStream(const Mapper &mapper, int channelCount, FrameSource &in, FrameSink &out,
                         const RunOptions &options) {
    RunResult result;
    if (!mapper.includeNextSample || mapper.rateOverflow || channelCount < 1) {
        result.error = "the mapper must be configured, with includeNextSample set";
        return result;
    }
    const auto channels = static_cast<u64>(channelCount);
    const double t = static_cast<double>(mapper.targetCommonRate);

    Window window(channels);
    std::vector<float> block;
    std::vector<u64> wholes, numerators;  // the exact position of every frame of the block
    bool sourceEnded = false;
    u64 lastTarget = ~0ULL - 1;  // known once the source has ended
    bool started = false;

    for (u64 target = options.firstTarget; target <= lastTarget;) {
        const u64 size = options.nextBlockSize ? options.nextBlockSize() : options.blockSize;
        u64 count = std::min(
            {std::max<u64>(size, 1), lastTarget - target + 1, options.frameLimit - result.framesWritten});
        if (count == 0) break;
        Mapper::sample_mixed_fraction_range positions;
        Mapper::sample_range request;
        if (!mapper.sourceFromTargetStartAndCount(positions, target, count)) {
            result.error = "target frame " + std::to_string(target + count - 1) + " maps beyond 64 bits";
            return result;
        }
        mapper.getSourceRequestRange(request, positions);

        // Keep only what this block's request can use; jump (seek) over frames no block needs.
        if (!started || !window.dropBefore(request.first)) {
            if (!in.seek(request.first)) {
                result.error = "cannot seek the source to frame " + std::to_string(request.first);
                return result;
            }
            window.restartAt(request.first);
            started = true;
        }
        if (options.observer != nullptr) options.observer->block(target, target + count - 1, request);
        if (!sourceEnded && !window.fillThrough(in, request.last)) {
            sourceEnded = true;
            if (!lastTargetFor(mapper, window.end(), lastTarget) || target > lastTarget) break;
            if (target + count - 1 > lastTarget) {
                // The source ended inside this block: map the shorter block, whose request lies within it.
                count = lastTarget - target + 1;
                mapper.sourceFromTargetStartAndCount(positions, target, count);
                mapper.getSourceRequestRange(request, positions);
                if (options.observer != nullptr) options.observer->block(target, target + count - 1, request);
            }
        }

        block.resize(count * channels);
        wholes.resize(count);
        numerators.resize(count);
        mapper.sourcePositionsFromTarget(wholes.data(), numerators.data(), target,
                                         count);  // its last one fits
        for (u64 i = 0; i < count; ++i) {
            const float *x0 = window.frame(wholes[i]);
            float *y = &block[i * channels];
            if (options.observer != nullptr) options.observer->touch(wholes[i]);
            if (numerators[i] == 0) {
                std::copy(x0, x0 + channels, y);  // on a source frame: copied exactly
            } else {
                const float *x1 = window.frame(wholes[i] + 1);
                if (options.observer != nullptr) options.observer->touch(wholes[i] + 1);
                // The exact weight becomes floating point only here, at the last step.
                const double w = static_cast<double>(numerators[i]) / t;
                for (u64 c = 0; c < channels; ++c) {
                    y[c] = static_cast<float>(x0[c] + (static_cast<double>(x1[c]) - x0[c]) * w);
                }
            }
        }
        if (!out.write(block.data(), count)) {
            result.error = "cannot write the output";
            return result;
        }
        result.framesWritten += count;
        if (target + count - 1 >= lastTarget) break;
        target += count;
        // Keep only what the next block can still need: frames from its first position on.
        Mapper::sample_mixed_fraction next;
        if (mapper.sourceFromTarget(next, target)) window.dropBefore(std::min(next.whole, window.end()));
        if (options.observer != nullptr) options.observer->kept(window.start(), window.end());
    }
    result.ok = true;
    return result;
}

}  // namespace resample
