// The C API: a stream of input frames through the engine. The engine computes any output frame from the input
// frames its filter reaches, so the stream's only state is which output comes next and a window of input frames
// (planar, allocated once); which frames it holds follows from the exact positions alone, never from how the
// caller cut the input, and that is what keeps every chunking bit-identical.
#include "zel/resampler.h"

#include <zel/math.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine.h"

using resample::u64;

struct zel_resampler {
    resample::Engine engine;
    u64 channels = 0, before = 0, after = 0;
    u64 capacity = 0;            // frames per channel the window can hold
    std::vector<float> storage;  // channel c's plane at c * capacity
    std::vector<const float *> planes;
    // The window holds input frames start .. start + length - 1. start is taken modulo 2^64: after a seek near
    // the beginning it lies before frame 0 and the frames there are zeros. Only differences from it are used.
    u64 start = 0, length = 0;
    u64 next = 0;       // the next output frame
    u64 inputNext = 0;  // the input frame the caller gives next
    bool ended = false;
    u64 endTotal = 0;  // with ended: the output frames of the whole input, ceil(N * T / S)
    // With two stages the window holds only the source frames the decimator still reads, and decimated frames
    // dstart .. dstart + dlength - 1 (modulo 2^64, like start) are kept for the second stage.
    bool staged = false;
    u64 dcapacity = 0, dstart = 0, dlength = 0;
    std::vector<float> dstorage;  // channel c's decimated frames at c * dcapacity
    std::vector<const float *> dplanes;
};

namespace {

constexpr u64 kMaxChannels = resample::Engine::kMaxChannels;
// Input frames the window holds beyond one filter's reach: enough that copying the reach down when the window
// fills is rare, few enough that a thousand channels stay within a few megabytes of it.
constexpr u64 kMinChunk = 1024, kMaxChunk = 16384, kChunkSamples = 1 << 22;

int fail(int code) {
    errno = code;
    return -1;
}

// ceil(frames * T / S): the output frames whose position lies before input frame `frames`. False when that
// passes 2^64 - 1.
bool outputsBefore(const mirelo::ResamplingMapper &m, u64 frames, u64 &count) {
    u64 quotient = 0, remainder = 0;
    if (safe_muldiv_llong_with_remainder(frames, m.targetCommonRate, m.sourceCommonRate, &quotient,
                                         &remainder) != 0)
        return false;
    if (remainder != 0 && quotient == ~0ULL) return false;
    count = quotient + (remainder != 0);
    return true;
}

// The whole part of output frame t's position; false when it passes 2^64 - 1.
bool wholeOf(const zel_resampler &r, u64 t, u64 &whole) {
    mirelo::ResamplingMapper::sample_mixed_fraction p;
    if (!r.engine.mapper().sourceFromTarget(p, t)) return false;
    whole = p.whole;
    return true;
}

// One past the last input frame output frame t reads (saturating).
u64 reachEnd(const zel_resampler &r, u64 t) {
    u64 whole = 0;
    if (!wholeOf(r, t, whole) || whole >= ~0ULL - r.after - 1) return ~0ULL;
    return whole + r.after + 1;
}

u64 windowEnd(const zel_resampler &r) { return r.start + r.length; }

// Forgets the first `drop` of the `length` frames held in each channel's plane of `capacity` frames.
void dropFront(std::vector<float> &storage, u64 capacity, u64 channels, u64 length, u64 drop) {
    for (u64 c = 0; c < channels; ++c) {
        float *plane = &storage[c * capacity];
        std::memmove(plane, plane + drop, (length - drop) * sizeof(float));
    }
}

// A frame index taken modulo 2^64 that lies before frame 0 (no real index comes near 2^63).
bool beforeZero(u64 frame) { return frame >= 1ULL << 63; }

// With two stages: the first decimated frame any output from `next` on reads.
u64 decimatedNeeded(const zel_resampler &r) {
    mirelo::ResamplingMapper::sample_mixed_fraction p;
    if (!r.engine.stage2().sourceFromTarget(p, r.next))
        return r.dstart + r.dlength;  // nothing more to compute
    return p.whole - r.engine.stageBefore();
}

// With two stages: the first source frame the intermediate frames still to compute read. They are computed in
// whole units, so dstart + dlength is always a unit's start.
u64 sourceNeeded(const zel_resampler &r) { return r.engine.unitSource(r.dstart + r.dlength); }

// With two stages: computes the units the window's source frames allow, making room by forgetting intermediate
// frames no output from `next` on reads.
void decimateReady(zel_resampler &r) {
    const u64 g = r.engine.unitFrames(), span = r.engine.unitSpan(), step = r.engine.unitStep();
    for (;;) {
        const u64 off = sourceNeeded(r) - r.start;  // where the next unit's reach starts
        if (r.length < off + span) return;
        u64 k = (r.length - span - off) / step + 1;
        if (r.dcapacity - r.dlength < g) {
            const u64 drop = decimatedNeeded(r) - r.dstart;
            if (drop == 0 || beforeZero(drop)) return;
            dropFront(r.dstorage, r.dcapacity, r.channels, r.dlength, drop);
            r.dstart += drop, r.dlength -= drop;
            if (r.dcapacity - r.dlength < g) return;
        }
        k = std::min(k, (r.dcapacity - r.dlength) / g);
        float *write[kMaxChannels];
        for (u64 c = 0; c < r.channels; ++c) write[c] = &r.dstorage[c * r.dcapacity + r.dlength];
        r.engine.stage1(r.planes.data(), r.start, r.dstart + r.dlength, k * g, write);
        r.dlength += k * g;
    }
}

// Renders as many frames as the window and the end allow, at most `space`.
u64 renderReady(zel_resampler &r, float *out, u64 space) {
    u64 ready = 0;  // output frames before `ready` read only frames in the window
    if (r.staged) {
        // Outputs whose decimated frames are all there: whole(t) + stageAfter() before the decimated end.
        const u64 end = r.dstart + r.dlength - r.engine.stageAfter();
        if (end != 0 && !beforeZero(end) && !outputsBefore(r.engine.stage2(), end, ready)) ready = ~0ULL;
    } else {
        const u64 end = windowEnd(r);
        if (end > r.after && !outputsBefore(r.engine.mapper(), end - r.after, ready)) ready = ~0ULL;
    }
    if (r.ended) ready = std::min(ready, r.endTotal);
    const u64 count = std::min(space, ready > r.next ? ready - r.next : 0);
    if (count == 0) return 0;
    if (r.staged) {
        r.engine.renderDecimated(r.next, count, r.dplanes.data(), r.dstart, out);
    } else {
        r.engine.render(r.next, count, r.planes.data(), r.start, out);
    }
    r.next += count;
    return count;
}

// Frames at the window's start that no output from `next` on reads: those before the next output's reach (with
// two stages, before the reach of the next decimated frame to compute).
u64 unneeded(const zel_resampler &r) {
    if (r.staged) return sourceNeeded(r) - r.start;
    u64 whole = 0;
    if (!wholeOf(r, r.next, whole)) return 0;  // no output from here can be computed anyway
    return (whole - r.before) - r.start;
}

// Takes up to n interleaved frames (zeros when `in` is null) into the window, but no further than the reach of
// output frame next + space, the first the caller has no room for. Frames that no output reads are consumed
// without being kept. Returns the frames consumed.
u64 take(zel_resampler &r, const float *in, u64 n, u64 space) {
    if (r.staged) decimateReady(r);  // frees the window's older source frames when outputs have moved on
    const u64 end = windowEnd(r), limit = r.next + space < r.next ? ~0ULL : reachEnd(r, r.next + space);
    if (limit <= end) return 0;
    n = std::min(n, limit - end);
    u64 drop = unneeded(r), skipped = 0;
    if (drop >= r.length) {
        skipped = std::min(n, drop - r.length);
        r.start = end + skipped, r.length = 0, drop = 0;
    }
    // Copying the kept frames down happens only when the window is full, once per chunk of input.
    if (r.length + n - skipped > r.capacity && drop > 0) {
        dropFront(r.storage, r.capacity, r.channels, r.length, drop);
        r.start += drop, r.length -= drop;
    }
    const u64 kept = std::min(n - skipped, r.capacity - r.length);
    for (u64 c = 0; c < r.channels; ++c) {
        float *plane = &r.storage[c * r.capacity + r.length];
        if (in == nullptr) {
            std::fill_n(plane, kept, 0.0f);
        } else {
            const float *x = in + skipped * r.channels + c;
            for (u64 f = 0; f < kept; ++f) plane[f] = x[f * r.channels];
        }
    }
    r.length += kept;
    if (r.staged) decimateReady(r);
    return skipped + kept;
}

// With two stages: the intermediate frames the first output reads start in the unit at j0; units whose reach lies
// wholly before source frame 0 are silence, and the window starts at the reach of the first other one.
void restartStaged(zel_resampler &r, u64 target, u64 whole) {
    mirelo::ResamplingMapper::sample_mixed_fraction p;
    r.engine.stage2().sourceFromTarget(p, target);  // fits: it is within a factor of 2 of whole(target)
    const u64 j0 = r.engine.unitOf(p.whole - r.engine.stageBefore()), jSilent = r.engine.firstAudibleUnit();
    // The later of the two, compared as the small signed values they stand for.
    const u64 jz = static_cast<long long>(jSilent) > static_cast<long long>(j0) ? jSilent : j0;
    r.dstart = j0, r.dlength = jz - j0;
    for (u64 c = 0; c < r.channels; ++c) std::fill_n(&r.dstorage[c * r.dcapacity], r.dlength, 0.0f);
    const u64 first = r.engine.unitSource(jz);  // the first source frame to keep
    if (beforeZero(first)) {
        r.start = first, r.length = 0 - first;
        for (u64 c = 0; c < r.channels; ++c) std::fill_n(&r.storage[c * r.capacity], r.length, 0.0f);
    } else {
        // Input is asked for from whole - reachBefore, as in one stage; frames before `first` are skipped.
        r.start = whole < r.before ? 0 : whole - r.before, r.length = 0;
    }
    r.inputNext = windowEnd(r);
}

void restart(zel_resampler &r, u64 target, u64 whole) {
    r.next = target, r.ended = false, r.endTotal = 0;
    if (r.staged) return restartStaged(r, target, whole);
    r.start = whole - r.before, r.length = 0;
    if (whole < r.before) {
        // The frames before input frame 0 that the filter reaches: silence.
        r.length = r.before - whole;
        for (u64 c = 0; c < r.channels; ++c) std::fill_n(&r.storage[c * r.capacity], r.length, 0.0f);
    }
    r.inputNext = windowEnd(r);
}

}  // namespace

extern "C" {

zel_resampler *zel_resampler_create(unsigned long long source_numerator,
                                    unsigned long long source_denominator,
                                    unsigned long long target_numerator,
                                    unsigned long long target_denominator, unsigned int channels,
                                    int quality) {
    const int saved = errno;
    if (source_numerator == 0 || source_denominator == 0 || target_numerator == 0 ||
        target_denominator == 0) {
        errno = EDOM;
        return nullptr;
    }
    mirelo::ResamplingMapper mapper;
    mapper.setSourceAndTargetSampleRate({source_numerator, source_denominator},
                                        {target_numerator, target_denominator});
    if (mapper.rateOverflow) {
        errno = EOVERFLOW;
        return nullptr;
    }
    const resample::Preset *preset = resample::presetAt(quality);
    if (channels < 1 || channels > kMaxChannels || preset == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    try {
        auto r = std::make_unique<zel_resampler>();
        std::string error;
        if (!r->engine.configure({source_numerator, source_denominator},
                                 {target_numerator, target_denominator}, static_cast<int>(channels), *preset,
                                 error)) {
            errno = EINVAL;  // the checks above leave nothing the engine refuses
            return nullptr;
        }
        r->channels = channels;
        r->before = r->engine.reachBefore();
        r->after = r->engine.reachAfter();
        const u64 chunk = std::clamp<u64>(kChunkSamples / channels, kMinChunk, kMaxChunk);
        const resample::Engine &e = r->engine;
        r->staged = e.firstStage() != resample::Engine::FirstStage::kNone;
        // One stage holds the filter's reach of source frames; two hold a unit's, and intermediate frames.
        r->capacity = (r->staged ? e.unitSpan() + e.unitStep() : r->before + r->after) + 1 + chunk;
        if (r->staged) {
            const u64 g = e.unitFrames();
            r->dcapacity = e.stageBefore() + e.stageAfter() + 1 + 2 * g +
                           std::max<u64>(kMinChunk, chunk * g / e.unitStep() + 2);
            r->dstorage.assign(r->dcapacity * channels, 0.0f);
            r->dplanes.resize(channels);
            for (u64 c = 0; c < channels; ++c) r->dplanes[c] = &r->dstorage[c * r->dcapacity];
        }
        r->storage.assign(r->capacity * channels, 0.0f);
        r->planes.resize(channels);
        for (u64 c = 0; c < channels; ++c) r->planes[c] = &r->storage[c * r->capacity];
        restart(*r, 0, 0);
        errno = saved;
        return r.release();
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return nullptr;
    }
}

void zel_resampler_destroy(zel_resampler *resampler) { delete resampler; }

int zel_resampler_process(zel_resampler *resampler, const float *input, size_t input_frames,
                          size_t *input_used, float *output, size_t output_frames, size_t *output_written) {
    if (resampler == nullptr || input_used == nullptr || output_written == nullptr ||
        (input == nullptr && input_frames > 0) || (output == nullptr && output_frames > 0))
        return fail(EFAULT);
    zel_resampler &r = *resampler;
    if (r.ended && input_frames > 0) return fail(EINVAL);
    if (input_frames > ~0ULL - r.inputNext) return fail(EOVERFLOW);
    const int saved = errno;
    u64 endTotal = r.endTotal;
    if (input == nullptr && !r.ended && !outputsBefore(r.engine.mapper(), r.inputNext, endTotal))
        return fail(EOVERFLOW);
    if (input == nullptr) r.ended = true, r.endTotal = endTotal;

    // Render what the window allows, then take more input (or, after the end, silence), until the input is used
    // up or reaches past the first frame there is no room for. With no room at all, the input that frame needs
    // is still taken, so that a caller may feed input and collect output in separate calls.
    u64 used = 0, written = 0;
    for (;;) {
        written += renderReady(r, output + written * r.channels, output_frames - written);
        const u64 space = output_frames - written;
        u64 got = 0;
        if (!r.ended) {
            got = take(r, input + used * r.channels, input_frames - used, space);
            used += got, r.inputNext += got;
        } else if (space > 0 && r.next < r.endTotal) {
            got = take(r, nullptr, ~0ULL, std::min(space, r.endTotal - r.next));
        }
        if (got == 0) break;
    }
    *input_used = used;
    *output_written = written;
    errno = saved;
    return 0;
}

int zel_resampler_seek(zel_resampler *resampler, unsigned long long output_frame,
                       unsigned long long *input_frame) {
    if (resampler == nullptr || input_frame == nullptr) return fail(EFAULT);
    const int saved = errno;
    u64 whole = 0;
    if (!wholeOf(*resampler, output_frame, whole)) return fail(EOVERFLOW);
    restart(*resampler, output_frame, whole);
    *input_frame = resampler->inputNext;
    errno = saved;
    return 0;
}

int zel_resampler_output_frames(const zel_resampler *resampler, unsigned long long input_frames,
                                unsigned long long *output_frames) {
    if (resampler == nullptr || output_frames == nullptr) return fail(EFAULT);
    const int saved = errno;
    u64 count = 0;
    if (!outputsBefore(resampler->engine.mapper(), input_frames, count)) return fail(EOVERFLOW);
    *output_frames = count;
    errno = saved;
    return 0;
}

}  // extern "C"
