#include "engine_stream.h"

#include <zel/math.h>

#include <algorithm>

namespace zel::engine {

namespace {

using Mapper = mirelo::ResamplingMapper;
using i64 = long long;

constexpr u64 kMaxSpan = 65536;  // source frames a block may span

// Source frames [start, end) of every channel, planar; frames before 0 or past the source's end are zeros.
class Window {
public:
    explicit Window(u64 channels) : planes_(channels), pointers_(channels) {}

    i64 start() const { return start_; }
    i64 end() const { return start_ + static_cast<i64>(planes_[0].size()); }
    const float *const *planes() {
        for (size_t c = 0; c < planes_.size(); ++c) pointers_[c] = planes_[c].data();
        return pointers_.data();
    }

    void restartAt(i64 first) {
        for (auto &p : planes_) p.clear();
        start_ = first;
    }

    // Forgets frames before `first`; when `first` lies beyond the window, restarts there.
    void dropBefore(i64 first) {
        const i64 drop = std::min(first, end()) - start_;
        if (drop > 0) {
            for (auto &p : planes_) p.erase(p.begin(), p.begin() + drop);
        }
        if (first > end())
            start_ = first;
        else if (drop > 0)
            start_ += drop;
    }

    // Appends `frames` interleaved frames (or zeros when `data` is null).
    void append(const float *data, u64 frames) {
        const u64 channels = planes_.size();
        for (u64 c = 0; c < channels; ++c) {
            auto &p = planes_[c];
            const size_t old = p.size();
            p.resize(old + frames, 0.0f);
            if (data != nullptr) {
                for (u64 f = 0; f < frames; ++f) p[old + f] = data[f * channels + c];
            }
        }
    }

private:
    i64 start_ = 0;
    std::vector<std::vector<float>> planes_;
    std::vector<const float *> pointers_;
};

// The last target frame whose position lies within `sourceFrames` frames: floor((sourceFrames - 1) * T / S).
bool lastTargetFor(const Mapper &mapper, u64 sourceFrames, u64 &lastTarget) {
    if (sourceFrames == 0) return false;
    if (safe_muldiv_llong_with_remainder(sourceFrames - 1, mapper.targetCommonRate, mapper.sourceCommonRate,
                                         &lastTarget, nullptr) != 0) {
        lastTarget = ~0ULL - 1;  // beyond any run the mapper can express
    }
    return true;
}

}  // namespace

RunResult resampleStream(const Engine &engine, FrameSource &in, FrameSink &out, const RunOptions &options) {
    RunResult result;
    const Mapper &mapper = engine.mapper();
    const auto channels = static_cast<u64>(engine.channels());
    const auto before = static_cast<i64>(engine.reachBefore()), after = static_cast<i64>(engine.reachAfter());
    Window window(channels);
    std::vector<float> block, chunk;
    u64 read = 0;  // source frames read (or skipped) so far
    bool sourceEnded = false, started = false;
    u64 lastTarget = ~0ULL - 1;  // known once the source has ended
    // A block spans about count * S / T source frames; fewer outputs per block when downsampling steeply keep
    // that span, and so memory, bounded whatever the ratio.
    const u64 ratio = mapper.sourceCommonRate / mapper.targetCommonRate + 1;
    const u64 maxCount = std::max<u64>(1, kMaxSpan / ratio);

    u64 target = options.firstTarget;
    // Called when a read comes back short: the last target frame is now known. False when the run is over, the
    // source having ended before this block's first frame.
    const auto sourceEnds = [&] {
        sourceEnded = true;
        return lastTargetFor(mapper, read, lastTarget) && target <= lastTarget;
    };

    while (target <= lastTarget) {
        const u64 size = options.nextBlockSize ? options.nextBlockSize() : options.blockSize;
        u64 count = std::min({maxCount, std::max<u64>(size, 1), lastTarget - target + 1,
                              options.frameLimit - result.framesWritten});
        if (count == 0) break;
        Mapper::sample_mixed_fraction_range positions;
        if (!mapper.sourceFromTargetStartAndCount(positions, target, count)) {
            result.error = "target frame " + std::to_string(target + count - 1) + " maps beyond 64 bits";
            return result;
        }
        const i64 needFirst = static_cast<i64>(positions.first.whole) - before;
        const i64 needLast = static_cast<i64>(positions.last.whole) + after;
        if (!started) {
            window.restartAt(std::min<i64>(needFirst, 0));
            if (needFirst < 0)
                window.append(nullptr, static_cast<u64>(-needFirst));  // silence before frame 0
            started = true;
        }
        // Source frames no block needs are skipped: by seeking where the source can, else read and dropped.
        if (!sourceEnded && needFirst > window.end()) {
            u64 skip = static_cast<u64>(needFirst - window.end());
            if (in.seek(read + skip)) {
                read += skip;
                skip = 0;
            }
            bool more = true;
            while (skip > 0 && !sourceEnded) {
                chunk.resize(std::min<u64>(skip, 65536) * channels);
                const u64 wanted = chunk.size() / channels, got = in.read(chunk.data(), wanted);
                read += got;
                skip -= got;
                if (got < wanted) more = sourceEnds();
            }
            if (!more) break;
        }
        window.dropBefore(needFirst);
        count = std::min(count, lastTarget - target + 1);
        // Read until the window reaches needLast; past the source's end, silence.
        while (window.end() <= needLast) {
            const u64 wanted = static_cast<u64>(needLast + 1 - window.end());
            if (sourceEnded) {
                window.append(nullptr, wanted);
                break;
            }
            chunk.resize(wanted * channels);
            const u64 got = in.read(chunk.data(), wanted);
            window.append(chunk.data(), got);
            read += got;
            if (got < wanted) {
                if (!sourceEnds()) {
                    result.ok = true;
                    return result;
                }
                count = std::min(count, lastTarget - target + 1);
            }
        }
        block.resize(count * channels);
        engine.render(target, count, window.planes(), static_cast<u64>(window.start()), block.data());
        if (!out.write(block.data(), count)) {
            result.error = "cannot write the output";
            return result;
        }
        result.framesWritten += count;
        if (target + count - 1 >= lastTarget) break;
        target += count;
    }
    result.ok = true;
    return result;
}

}  // namespace zel::engine
