// A stream of input frames through the engine, behind the C API. The engine computes any output frame from the
// frames its filter reaches, so a stream's only state is which output comes next, where the input and its end
// are, and the frames its feed holds (see feeds.h).
#ifndef ZEL_SRC_RESAMPLER_STREAM_H
#define ZEL_SRC_RESAMPLER_STREAM_H

#include <memory>
#include <optional>
#include <string>

#include "engine.h"
#include "sample_formats.h"

namespace zel::engine {

class Stream {
public:
    // Input frames a stream reaches lie below this. Every index derived from them (intermediate frames, up to
    // twice as many, their units, filter reaches, the windows) then stays far below 2^63, where the indices that
    // stand for frames before 0 begin.
    static constexpr u64 kFrameLimit = 1ULL << 61;

    // A stream for a configured engine, at output frame 0; null with ENOMEM's reason when its windows would pass
    // the ceiling the header states.
    static std::unique_ptr<Stream> create(Engine &&engine, std::string &error);
    virtual ~Stream() = default;

    // Consumes frames used .. n - 1 of `in` and writes frames written .. m - 1 of `out`, as zel_resampler_process
    // describes, advancing both counts; the caller has checked the call and marked any end.
    virtual void convert(const Buffers &in, u64 n, const Buffers &out, u64 m, u64 &used, u64 &written) = 0;
    // Restarts at output frame `target`, whose position's whole part is `whole` (below kFrameLimit).
    virtual void restart(u64 target, u64 whole) = 0;
    // The input frames a stream just restarted must be given before it can have written `outputs` frames; false
    // when that passes the range.
    virtual bool inputNeeded(u64 outputs, u64 &frames) const = 0;

    const Engine &engine() const { return engine_; }
    u64 inputNext() const { return inputNext_; }
    u64 next() const { return next_; }
    bool ended() const { return ended_; }
    // Marks the end: the output totals `total` frames.
    void end(u64 total) { ended_ = true, endTotal_ = total; }
    // From the next output frame on, the source rate's numerator, one the engine allows; false (nothing changed)
    // when positions would pass 2^64 - 1. An end already marked keeps its input, so its total
    // follows the new rate.
    bool setSourceRate(u64 numerator) {
        const Engine::Drift before = engine_.drift();
        u64 total = endTotal_;
        if (!engine_.setSourceRate(next_, numerator)) return false;
        if (ended_ && !engine_.outputsBeforeSource(inputNext_, total)) return engine_.setDrift(before), false;
        endTotal_ = total;
        return true;
    }
    // Integer output: whether it is dithered, and the samples clipped since the stream was made.
    void setDither(bool dither) { dither_ = dither; }
    u64 clipped() const { return clipped_; }

protected:
    explicit Stream(Engine &&engine) : engine_(std::move(engine)) {}
    Engine engine_;
    u64 next_ = 0;       // the next output frame
    u64 inputNext_ = 0;  // the input frame the caller gives next
    bool ended_ = false;
    u64 endTotal_ = 0;  // with ended_: the output frames of the whole input, ceil(N * T / S)
    u64 restartTarget_ = 0, restartInput_ = 0;  // the output and input frames of the last restart
    bool dither_ = false;
    u64 clipped_ = 0;
};

}  // namespace zel::engine

#endif
