// What the polyphase stage reads, held per channel while outputs still need it: the source frames themselves
// (DirectFeed, one stage), or the intermediate frames a first stage computes from a window of source frames
// (StagedFeed). Both answer the stream alike: where a restart begins, which outputs can be rendered, which source
// frames are no longer needed, and they take source frames in and render. Which frames each holds follows from
// the exact positions alone, never from how the caller cut the input: that is what keeps every chunking
// bit-identical. Frame indices are taken modulo 2^64: after a restart near the beginning a window starts before
// frame 0, and the frames there are zeros.
#ifndef ZEL_SRC_RESAMPLER_FEEDS_H
#define ZEL_SRC_RESAMPLER_FEEDS_H

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine.h"

namespace zel::engine {

// A frame index taken modulo 2^64 that lies before frame 0 (no real index comes near 2^63).
inline bool beforeZero(u64 frame) { return frame >= 1ULL << 63; }

// Frames start .. start + length - 1 of every channel, channel c's at c * capacity, allocated once.
template <typename E>
struct Window {
    std::vector<E> storage;
    std::vector<const E *> planes;
    u64 capacity = 0, start = 0, length = 0;

    void allocate(u64 channels, u64 frames) {
        capacity = frames;
        storage.assign(capacity * channels, E(0));
        planes.resize(channels);
        for (u64 c = 0; c < channels; ++c) planes[c] = &storage[c * capacity];
    }
    u64 end() const { return start + length; }
    E *at(u64 channel) { return &storage[channel * capacity]; }
    // Forgets the first `drop` frames held.
    void forget(u64 drop) {
        for (u64 c = 0; c < planes.size(); ++c)
            std::memmove(at(c), at(c) + drop, (length - drop) * sizeof(E));
        start += drop, length -= drop;
    }
    // What is held so far is silence before frame 0.
    void silence() {
        for (u64 c = 0; c < planes.size(); ++c) std::fill_n(at(c), length, E(0));
    }
};

// One stage: the polyphase filter reads the source frames.
template <typename S>
class DirectFeed {
public:
    DirectFeed(const Engine &engine, u64 channels, u64 chunk) : engine_(engine) {
        source.allocate(channels, engine.reachBefore() + engine.reachAfter() + 1 + chunk);
    }
    static u64 bytes(const Engine &engine, u64 chunk) {
        return (engine.reachBefore() + engine.reachAfter() + 1 + chunk) * sizeof(S);
    }
    // Restarts at output frame `target`, whose position's whole part is `whole`; returns the input frame to give.
    u64 restart(u64, u64 whole) {
        const u64 before = engine_.reachBefore();
        source.start = whole - before, source.length = 0;
        // The frames before input frame 0 that the filter reaches: silence.
        if (whole < before) source.length = before - whole;
        source.silence();
        return source.end();
    }
    // Outputs before the one returned read only frames held (false: all of them do).
    bool ready(u64 &outputs) const {
        const u64 end = source.end(), after = engine_.reachAfter();
        outputs = 0;
        return end <= after || engine_.outputsBeforeSource(end - after, outputs);
    }
    // Source frames at the window's start that no output from `next` on reads.
    u64 unneeded(u64 next) const {
        u64 whole = 0;
        if (!engine_.sourceWhole(next, whole)) return 0;  // no output from here can be computed anyway
        return (whole - engine_.reachBefore()) - source.start;
    }
    void compute(u64) {}
    void render(u64 next, u64 count, S *out) const {
        engine_.renderDecimated(next, count, source.planes.data(), source.start, out);
    }
    // One past the last source frame held before output frame t can be rendered; false when it passes 2^64 - 1.
    bool inputEnd(u64 t, u64 &end) const {
        u64 whole = 0;
        if (!engine_.sourceWhole(t, whole) || whole >= ~0ULL - engine_.reachAfter() - 1) return false;
        end = whole + engine_.reachAfter() + 1;
        return true;
    }
    Window<S> source;

private:
    const Engine &engine_;
};

// Two stages: a first stage computes intermediate frames, in whole units, from the source frames it holds; the
// polyphase filter reads those.
template <typename S, typename M>
class StagedFeed {
public:
    StagedFeed(const Engine &engine, u64 channels, u64 chunk) : engine_(engine) {
        source.allocate(channels, sourceFrames(engine, chunk));
        intermediate.allocate(channels, intermediateFrames(engine, chunk));
    }
    static u64 bytes(const Engine &engine, u64 chunk) {
        return sourceFrames(engine, chunk) * sizeof(S) + intermediateFrames(engine, chunk) * sizeof(M);
    }
    // The intermediate frames the first output reads start in the unit at j0; units whose reach lies wholly
    // before source frame 0 are silence, and the window starts at the reach of the first other one.
    u64 restart(u64 target, u64 whole) {
        u64 w = 0;
        engine_.stageWhole(target, w);  // fits: it is within a factor of 2 of whole(target)
        const u64 j0 = engine_.unitOf(w - engine_.stageBefore()), jSilent = engine_.firstAudibleUnit();
        // The later of the two, compared as the small signed values they stand for.
        const u64 jz = static_cast<long long>(jSilent) > static_cast<long long>(j0) ? jSilent : j0;
        intermediate.start = j0, intermediate.length = jz - j0;
        const u64 first = engine_.unitSource(jz);  // the first source frame to keep
        if (beforeZero(first)) {
            source.start = first, source.length = 0 - first;
        } else {
            // Input is asked for from whole - reachBefore, as in one stage; frames before `first` are skipped.
            const u64 before = engine_.reachBefore();
            source.start = whole < before ? 0 : whole - before, source.length = 0;
        }
        source.silence(), intermediate.silence();
        return source.end();
    }
    // Outputs whose intermediate frames are all there: whole(t) + stageAfter() before the intermediate end.
    bool ready(u64 &outputs) const {
        const u64 end = intermediate.end() - engine_.stageAfter();
        outputs = 0;
        return end == 0 || beforeZero(end) || engine_.outputsBeforeStage(end, outputs);
    }
    // Source frames before those the intermediate frames still to compute read (they are computed in whole
    // units, so the intermediate end is always a unit's start).
    u64 unneeded(u64) const { return sourceNeeded() - source.start; }
    // Computes the units the source frames held allow, making room by forgetting intermediate frames no output
    // from `next` on reads.
    void compute(u64 next) {
        const u64 g = engine_.unitFrames(), span = engine_.unitSpan(), step = engine_.unitStep();
        for (;;) {
            const u64 off = sourceNeeded() - source.start;  // where the next unit's reach starts
            if (source.length < off + span) return;
            u64 k = (source.length - span - off) / step + 1;
            if (intermediate.capacity - intermediate.length < g) {
                const u64 drop = intermediateNeeded(next) - intermediate.start;
                if (drop == 0 || beforeZero(drop)) return;
                intermediate.forget(drop);
                if (intermediate.capacity - intermediate.length < g) return;
            }
            k = std::min(k, (intermediate.capacity - intermediate.length) / g);
            M *write[Engine::kMaxChannels];
            for (u64 c = 0; c < intermediate.planes.size(); ++c)
                write[c] = intermediate.at(c) + intermediate.length;
            engine_.stage1(source.planes.data(), source.start, intermediate.end(), k * g, write);
            intermediate.length += k * g;
        }
    }
    void render(u64 next, u64 count, S *out) const {
        engine_.renderDecimated(next, count, intermediate.planes.data(), intermediate.start, out);
    }
    // One past the last source frame held before output frame t can be rendered: the end of the reach of the unit
    // holding the last intermediate frame t reads. (That frame lies at or after frame 0, so its unit reads input:
    // it is never one of the silent units a restart holds.)
    bool inputEnd(u64 t, u64 &end) const {
        u64 w = 0;
        if (!engine_.stageWhole(t, w)) return false;
        end = engine_.unitSource(engine_.unitOf(w + engine_.stageAfter())) + engine_.unitSpan();
        return true;
    }
    Window<S> source;
    Window<M> intermediate;

private:
    // A unit's source frames and the step to the next, and a chunk of input; intermediate frames for the second
    // stage's reach, two units, and the chunk's worth.
    static u64 sourceFrames(const Engine &e, u64 chunk) { return e.unitSpan() + e.unitStep() + 1 + chunk; }
    static u64 intermediateFrames(const Engine &e, u64 chunk) {
        const u64 g = e.unitFrames();
        return e.stageBefore() + e.stageAfter() + 1 + 2 * g +
               std::max<u64>(1024, chunk * g / e.unitStep() + 2);
    }
    u64 sourceNeeded() const { return engine_.unitSource(intermediate.end()); }
    // The first intermediate frame any output from `next` on reads.
    u64 intermediateNeeded(u64 next) const {
        u64 w = 0;
        if (!engine_.stageWhole(next, w)) return intermediate.end();  // nothing more to compute
        return w - engine_.stageBefore();
    }
    const Engine &engine_;
};

}  // namespace zel::engine

#endif
