#include "stream.h"

#include <algorithm>
#include <vector>

#include "feeds.h"

namespace zel::engine {

namespace {

// Input frames a window holds beyond one filter's reach: enough that copying the reach down when the window fills
// costs little (up to 3% at max), few enough that a stream's windows stay in the second-level cache and a new
// stream touches few fresh pages (16384 made max's stereo windows 823 KB, whose page faults a conversion's first
// rounds paid for again and again when other allocations came between).
constexpr u64 kChunk = 4096;
// A stream whose windows would pass this is refused rather than attempted: past it, only a wide band at max
// quality with hundreds of channels, which would take seconds to create and gigabytes to hold.
constexpr u64 kMaxWindowBytes = 1ULL << 30;
// Output frames converted at a time when the caller's format or layout is not the engine's.
constexpr u64 kConvertSamples = 4096;

// A stream computing in sample type S, with intermediate frames of type M, through Feed.
template <typename S, typename M, typename Feed>
class StreamOf final : public Stream {
public:
    StreamOf(Engine &&engine, u64 chunk)
        : Stream(std::move(engine)),
          channels_(static_cast<u64>(engine_.channels())),
          feed_(engine_, channels_, chunk) {
        converted_.resize(std::max<u64>(1, kConvertSamples / channels_) * channels_);
        restart(0, 0);
    }
    // Renders what the window allows, then takes more input (or, after the end, silence), until the input is used
    // up or reaches past the first frame there is no room for. With no room at all, the input that frame needs is
    // still taken, so that a caller may feed input and collect output in separate calls.
    void convert(const Buffers &in, u64 n, const Buffers &out, u64 m, u64 &used, u64 &written) override {
        for (;;) {
            written += renderReady(out, written, m - written);
            const u64 space = m - written;
            u64 got = 0;
            if (!ended_) {
                got = take(in, used, n - used, space);
                used += got, inputNext_ += got;
            } else if (space > 0 && next_ < endTotal_) {
                got = take(Buffers{}, 0, ~0ULL, std::min(space, endTotal_ - next_));
            }
            if (got == 0) break;
        }
    }
    void restart(u64 target, u64 whole) override {
        engine_.restartDrift();
        next_ = target, ended_ = false, endTotal_ = 0;
        inputNext_ = feed_.restart(target, whole);
        restartTarget_ = target, restartInput_ = inputNext_;
    }
    bool inputNeeded(u64 outputs, u64 &frames) const override {
        u64 end = 0;
        if (outputs == 0) return frames = 0, true;
        if (outputs - 1 > ~0ULL - restartTarget_ || !feed_.inputEnd(restartTarget_ + outputs - 1, end) ||
            end > kFrameLimit)
            return false;
        frames = end > restartInput_ ? end - restartInput_ : 0;
        return true;
    }

private:
    // Renders as many frames as the feed and the end allow, at most `space`, to frames at .. of `out`: in place when
    // it holds the engine's samples interleaved, else through a scratch buffer and the format's store.
    u64 renderReady(const Buffers &out, u64 at, u64 space) {
        u64 ready = 0;  // output frames before `ready` read only frames held
        if (!feed_.ready(ready)) ready = ~0ULL;
        if (ended_) ready = std::min(ready, endTotal_);
        const u64 count = std::min(space, ready > next_ ? ready - next_ : 0);
        if (count > 0 && out.template native<S>()) {
            feed_.render(next_, count, reinterpret_cast<S *>(out.sample(at, 0, channels_)));
            next_ += count;
            return count;
        }
        const u64 most = converted_.size() / channels_;
        for (u64 done = 0; done < count;) {
            const u64 k = std::min(most, count - done);
            feed_.render(next_, k, converted_.data());
            clipped_ += store(converted_.data(), k, channels_, out, at + done, next_, dither_);
            done += k, next_ += k;
        }
        return count;
    }

    // One past the last input frame output frame t reads (saturating).
    u64 reachEnd(u64 t) const {
        u64 whole = 0;
        const u64 after = engine_.reachAfter();
        if (!engine_.sourceWhole(t, whole) || whole >= ~0ULL - after - 1) return ~0ULL;
        return whole + after + 1;
    }

    // Takes up to n frames of `in` from frame `from` (zeros when it has no buffers) into the feed's window, but no
    // further than the reach of output frame next + space, the first the caller has no room for. Frames that no
    // output reads are consumed without being kept. Returns the frames consumed.
    u64 take(const Buffers &in, u64 from, u64 n, u64 space) {
        Window<S> &w = feed_.source;
        feed_.compute(next_);  // frees the window's older source frames when outputs have moved on
        const u64 end = w.end(), limit = next_ + space < next_ ? ~0ULL : reachEnd(next_ + space);
        if (limit <= end) return 0;
        n = std::min(n, limit - end);
        u64 drop = feed_.unneeded(next_), skipped = 0;
        if (drop >= w.length) {
            skipped = std::min(n, drop - w.length);
            w.start = end + skipped, w.length = 0, drop = 0;
        }
        // Copying the kept frames down happens only when the window is full, once per chunk of input.
        if (w.length + n - skipped > w.capacity && drop > 0) w.forget(drop);
        const u64 kept = std::min(n - skipped, w.capacity - w.length);
        if (in.at != nullptr && channels_ == 2) {
            loadPair(in, from + skipped, kept, w.at(0) + w.length, w.at(1) + w.length);
        } else {
            for (u64 c = 0; c < channels_; ++c) {
                S *plane = w.at(c) + w.length;
                if (in.at == nullptr)
                    std::fill_n(plane, kept, S(0));
                else
                    load(in, channels_, c, from + skipped, kept, plane);
            }
        }
        w.length += kept;
        feed_.compute(next_);
        return skipped + kept;
    }

    u64 channels_;
    Feed feed_;
    std::vector<S> converted_;  // output frames on their way to a buffer of another format or layout
};

template <typename S, typename M>
std::unique_ptr<Stream> streamOf(Engine &&engine, std::string &error) {
    const u64 channels = static_cast<u64>(engine.channels());
    const u64 chunk = kChunk;
    const bool staged = engine.firstStage() != FirstStage::kNone;
    const u64 bytes = staged ? StagedFeed<S, M>::bytes(engine, chunk) : DirectFeed<S>::bytes(engine, chunk);
    if (bytes > kMaxWindowBytes / channels) {
        error = std::to_string(channels) + " channels at these rates, preset and band would hold more than " +
                "the 1 GiB a resampler may";
        return nullptr;
    }
    if (staged) return std::make_unique<StreamOf<S, M, StagedFeed<S, M>>>(std::move(engine), chunk);
    return std::make_unique<StreamOf<S, M, DirectFeed<S>>>(std::move(engine), chunk);
}

}  // namespace

std::unique_ptr<Stream> Stream::create(Engine &&engine, std::string &error) {
    // Samples in double for a preset on double samples; intermediate frames in double for those and for a preset
    // that keeps them so.
    const Preset &p = engine.preset();
    if (p.doubleSamples) return streamOf<double, double>(std::move(engine), error);
    if (p.doubleIntermediate) return streamOf<float, double>(std::move(engine), error);
    return streamOf<float, float>(std::move(engine), error);
}

}  // namespace zel::engine
