// The C API: a stream of input frames through the engine. The engine computes any output frame from the input
// frames its filter reaches, so the stream's only state is which output comes next and a window of input frames
// (planar, allocated once); which frames it holds follows from the exact positions alone, never from how the
// caller cut the input, and that is what keeps every chunking bit-identical.
#include "zel/resampler.h"

#include <zel/math.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "engine.h"

using zel::engine::u64;

namespace {

// A stream's frames of one type: its samples are of the engine's sample type S, its intermediate frames of the
// engine's intermediate type M, each held in the Buffers of that type.
template <typename E>
struct Buffers {
    std::vector<E> storage;  // channel c's input plane at c * capacity
    std::vector<const E *> planes;
    std::vector<E> dstorage;  // with two stages: channel c's intermediate frames at c * dcapacity
    std::vector<const E *> dplanes;
    std::vector<E> converted;  // output frames on their way to a caller's buffer of the other type
};

}  // namespace

struct zel_resampler {
    zel::engine::Engine engine;
    u64 channels = 0, before = 0, after = 0;
    u64 capacity = 0;  // frames per channel the window can hold
    // The parts of each type: a float stream with double intermediate frames uses both.
    Buffers<float> floats;
    Buffers<double> doubles;
    template <typename E>
    Buffers<E> &buffers() {
        if constexpr (sizeof(E) == sizeof(double)) {
            return doubles;
        } else {
            return floats;
        }
    }
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
};

namespace {

constexpr u64 kMaxChannels = zel::engine::Engine::kMaxChannels;
// Input frames a stream reaches lie below this. Every index derived from them (intermediate frames, up to twice
// as many, their units, filter reaches, the window) then stays far below 2^63, where the indices that stand for
// frames before 0 begin.
constexpr u64 kFrameLimit = 1ULL << 61;
// Input frames the window holds beyond one filter's reach: enough that copying the reach down when the window
// fills is rare, few enough that a thousand channels stay within a few megabytes of it.
constexpr u64 kMinChunk = 1024, kMaxChunk = 16384, kChunkSamples = 1 << 22;
// A stream whose windows would pass this is refused rather than attempted: past it, only a wide band at max
// quality with hundreds of channels, which would take seconds to create and gigabytes to hold.
constexpr u64 kMaxWindowBytes = 1ULL << 30;
// Output frames converted at a time when the caller's sample type is not the engine's.
constexpr u64 kConvertSamples = 4096;

// The calling thread's reason for its last failure, for zel_resampler_error_message.
thread_local char gMessage[256] = "";

void say(const std::string &message) { std::snprintf(gMessage, sizeof gMessage, "%s", message.c_str()); }

int fail(int code, const std::string &message) {
    say(message);
    errno = code;
    return -1;
}

std::nullptr_t refuse(int code, const std::string &message) {
    fail(code, message);
    return nullptr;
}

std::string str(u64 value) { return std::to_string(value); }

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
template <typename E>
void dropFront(std::vector<E> &storage, u64 capacity, u64 channels, u64 length, u64 drop) {
    for (u64 c = 0; c < channels; ++c) {
        E *plane = &storage[c * capacity];
        std::memmove(plane, plane + drop, (length - drop) * sizeof(E));
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
template <typename S, typename M>
void decimateReady(zel_resampler &r) {
    Buffers<M> &b = r.buffers<M>();
    const u64 g = r.engine.unitFrames(), span = r.engine.unitSpan(), step = r.engine.unitStep();
    for (;;) {
        const u64 off = sourceNeeded(r) - r.start;  // where the next unit's reach starts
        if (r.length < off + span) return;
        u64 k = (r.length - span - off) / step + 1;
        if (r.dcapacity - r.dlength < g) {
            const u64 drop = decimatedNeeded(r) - r.dstart;
            if (drop == 0 || beforeZero(drop)) return;
            dropFront(b.dstorage, r.dcapacity, r.channels, r.dlength, drop);
            r.dstart += drop, r.dlength -= drop;
            if (r.dcapacity - r.dlength < g) return;
        }
        k = std::min(k, (r.dcapacity - r.dlength) / g);
        M *write[kMaxChannels];
        for (u64 c = 0; c < r.channels; ++c) write[c] = &b.dstorage[c * r.dcapacity + r.dlength];
        r.engine.stage1(r.buffers<S>().planes.data(), r.start, r.dstart + r.dlength, k * g, write);
        r.dlength += k * g;
    }
}

// Renders count frames from `next` into out, in the engine's sample type S.
template <typename S, typename M>
void renderAt(zel_resampler &r, u64 count, S *out) {
    if (r.staged) {
        r.engine.renderDecimated(r.next, count, r.buffers<M>().dplanes.data(), r.dstart, out);
    } else {
        r.engine.renderDecimated(r.next, count, r.buffers<S>().planes.data(), r.start, out);
    }
}

// Renders as many frames as the window and the end allow, at most `space`, converting them when the caller's
// type O is not the engine's sample type S.
template <typename S, typename M, typename O>
u64 renderReady(zel_resampler &r, O *out, u64 space) {
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
    if constexpr (std::is_same_v<S, O>) {
        if (count > 0) renderAt<S, M>(r, count, out);
        r.next += count;
    } else {
        std::vector<S> &converted = r.buffers<S>().converted;
        const u64 most = converted.size() / r.channels;
        for (u64 done = 0; done < count;) {
            const u64 n = std::min(most, count - done);
            renderAt<S, M>(r, n, converted.data());
            for (u64 i = 0; i < n * r.channels; ++i)
                out[done * r.channels + i] = static_cast<O>(converted[i]);
            done += n, r.next += n;
        }
    }
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
template <typename S, typename M, typename I>
u64 take(zel_resampler &r, const I *in, u64 n, u64 space) {
    Buffers<S> &b = r.buffers<S>();
    if (r.staged)
        decimateReady<S, M>(r);  // frees the window's older source frames when outputs have moved on
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
        dropFront(b.storage, r.capacity, r.channels, r.length, drop);
        r.start += drop, r.length -= drop;
    }
    const u64 kept = std::min(n - skipped, r.capacity - r.length);
    for (u64 c = 0; c < r.channels; ++c) {
        S *plane = &b.storage[c * r.capacity + r.length];
        if (in == nullptr) {
            std::fill_n(plane, kept, S(0));
        } else {
            const I *x = in + skipped * r.channels + c;
            for (u64 f = 0; f < kept; ++f) plane[f] = static_cast<S>(x[f * r.channels]);
        }
    }
    r.length += kept;
    if (r.staged) decimateReady<S, M>(r);
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
    const u64 first = r.engine.unitSource(jz);  // the first source frame to keep
    if (beforeZero(first)) {
        r.start = first, r.length = 0 - first;
    } else {
        // Input is asked for from whole - reachBefore, as in one stage; frames before `first` are skipped.
        r.start = whole < r.before ? 0 : whole - r.before, r.length = 0;
    }
    r.inputNext = windowEnd(r);
}

template <typename S, typename M>
void clearHeld(zel_resampler &r) {
    for (u64 c = 0; c < r.channels; ++c) {
        std::fill_n(&r.buffers<S>().storage[c * r.capacity], r.length, S(0));
        if (r.staged) std::fill_n(&r.buffers<M>().dstorage[c * r.dcapacity], r.dlength, M(0));
    }
}

template <typename T>
struct Type {
    using type = T;
};

// Calls f(Type<S>, Type<M>) with the engine's sample and intermediate types.
template <typename F>
void withTypes(const zel_resampler &r, F &&f) {
    const zel::engine::Preset &p = r.engine.preset();
    if (p.doubleSamples) {
        f(Type<double>(), Type<double>());
    } else if (p.doubleIntermediate) {
        f(Type<float>(), Type<double>());
    } else {
        f(Type<float>(), Type<float>());
    }
}

void restart(zel_resampler &r, u64 target, u64 whole) {
    r.next = target, r.ended = false, r.endTotal = 0;
    if (r.staged) {
        restartStaged(r, target, whole);
    } else {
        r.start = whole - r.before, r.length = 0;
        // The frames before input frame 0 that the filter reaches: silence.
        if (whole < r.before) r.length = r.before - whole;
        r.inputNext = windowEnd(r);
    }
    // What the window holds so far is silence before frame 0.
    withTypes(r,
              [&](auto s, auto m) { clearHeld<typename decltype(s)::type, typename decltype(m)::type>(r); });
}

template <typename S, typename M>
void allocate(zel_resampler &r) {
    const u64 channels = r.channels;
    if (r.staged) {
        Buffers<M> &d = r.buffers<M>();
        d.dstorage.assign(r.dcapacity * channels, M(0));
        d.dplanes.resize(channels);
        for (u64 c = 0; c < channels; ++c) d.dplanes[c] = &d.dstorage[c * r.dcapacity];
    }
    Buffers<S> &b = r.buffers<S>();
    b.storage.assign(r.capacity * channels, S(0));
    b.planes.resize(channels);
    for (u64 c = 0; c < channels; ++c) b.planes[c] = &b.storage[c * r.capacity];
    b.converted.resize(std::max<u64>(1, kConvertSamples / channels) * channels);
}

zel_resampler *create(unsigned long long source_numerator, unsigned long long source_denominator,
                      unsigned long long target_numerator, unsigned long long target_denominator,
                      unsigned int channels, int quality, std::optional<double> bandwidth) {
    const int saved = errno;
    if (source_numerator == 0 || source_denominator == 0 || target_numerator == 0 || target_denominator == 0)
        return refuse(EDOM, "a rate's numerator or denominator is 0");
    mirelo::ResamplingMapper mapper;
    mapper.setSourceAndTargetSampleRate({source_numerator, source_denominator},
                                        {target_numerator, target_denominator});
    if (mapper.rateOverflow)
        return refuse(EOVERFLOW, "the rates " + str(source_numerator) + "/" + str(source_denominator) +
                                     " and " + str(target_numerator) + "/" + str(target_denominator) +
                                     " are too large to map exactly");
    const zel::engine::Preset *preset = zel::engine::presetAt(quality);
    if (channels < 1 || channels > kMaxChannels)
        return refuse(EINVAL,
                      "the channel count must be 1 to " + str(kMaxChannels) + ", not " + str(channels));
    if (preset == nullptr)
        return refuse(EINVAL, "unknown quality " + std::to_string(quality) +
                                  " (ZEL_QUALITY_LINEAR to ZEL_QUALITY_MAX)");
    try {
        auto r = std::make_unique<zel_resampler>();
        std::string error;
        // Left to the engine: a bandwidth out of range, with linear quality, or needing too long a filter.
        if (!r->engine.configure({source_numerator, source_denominator},
                                 {target_numerator, target_denominator}, static_cast<int>(channels), *preset,
                                 error, bandwidth))
            return refuse(EINVAL, error);
        r->channels = channels;
        r->before = r->engine.reachBefore();
        r->after = r->engine.reachAfter();
        const u64 chunk = std::clamp<u64>(kChunkSamples / channels, kMinChunk, kMaxChunk);
        const zel::engine::Engine &e = r->engine;
        r->staged = e.firstStage() != zel::engine::Engine::FirstStage::kNone;
        // One stage holds the filter's reach of source frames; two hold a unit's, and intermediate frames.
        r->capacity = (r->staged ? e.unitSpan() + e.unitStep() : r->before + r->after) + 1 + chunk;
        if (r->staged) {
            const u64 g = e.unitFrames();
            r->dcapacity = e.stageBefore() + e.stageAfter() + 1 + 2 * g +
                           std::max<u64>(kMinChunk, chunk * g / e.unitStep() + 2);
        }
        bool tooLarge = false;
        withTypes(*r, [&](auto s, auto m) {
            using S = typename decltype(s)::type;
            using M = typename decltype(m)::type;
            const u64 frameBytes = r->capacity * sizeof(S) + r->dcapacity * sizeof(M);
            tooLarge = frameBytes > kMaxWindowBytes / channels;
            if (!tooLarge) allocate<S, M>(*r);
        });
        if (tooLarge)
            return refuse(ENOMEM, str(channels) +
                                      " channels at these rates, preset and band would hold more than " +
                                      "the 1 GiB a resampler may");
        restart(*r, 0, 0);
        errno = saved;
        return r.release();
    } catch (const std::bad_alloc &) {
        return refuse(ENOMEM, "out of memory");
    }
}

// Converts in the engine's type E whatever the caller's T.
template <typename S, typename M, typename T>
void run(zel_resampler &r, const T *input, u64 input_frames, T *output, u64 output_frames, u64 &used,
         u64 &written) {
    // Render what the window allows, then take more input (or, after the end, silence), until the input is used
    // up or reaches past the first frame there is no room for. With no room at all, the input that frame needs
    // is still taken, so that a caller may feed input and collect output in separate calls.
    for (;;) {
        written += renderReady<S, M>(r, output + written * r.channels, output_frames - written);
        const u64 space = output_frames - written;
        u64 got = 0;
        if (!r.ended) {
            got = take<S, M>(r, input + used * r.channels, input_frames - used, space);
            used += got, r.inputNext += got;
        } else if (space > 0 && r.next < r.endTotal) {
            got = take<S, M, T>(r, nullptr, ~0ULL, std::min(space, r.endTotal - r.next));
        }
        if (got == 0) break;
    }
}

template <typename T>
int process(zel_resampler *resampler, const T *input, size_t input_frames, size_t *input_used, T *output,
            size_t output_frames, size_t *output_written) {
    if (resampler == nullptr || input_used == nullptr || output_written == nullptr ||
        (input == nullptr && input_frames > 0) || (output == nullptr && output_frames > 0))
        return fail(EFAULT, "a null resampler, count pointer, or buffer with frames");
    zel_resampler &r = *resampler;
    if (r.ended && input_frames > 0) return fail(EINVAL, "input after the end of the input");
    if (input_frames > kFrameLimit - r.inputNext)
        return fail(EOVERFLOW, str(input_frames) + " frames after input frame " + str(r.inputNext) +
                                   " pass the last a stream reaches, 2^61 - 1");
    const int saved = errno;
    u64 endTotal = r.endTotal;
    if (input == nullptr && !r.ended && !outputsBefore(r.engine.mapper(), r.inputNext, endTotal))
        return fail(EOVERFLOW, "the output of " + str(r.inputNext) + " input frames passes 2^64 - 1 frames");
    if (input == nullptr) r.ended = true, r.endTotal = endTotal;

    u64 used = 0, written = 0;
    withTypes(r, [&](auto s, auto m) {
        run<typename decltype(s)::type, typename decltype(m)::type>(r, input, input_frames, output,
                                                                    output_frames, used, written);
    });
    *input_used = used;
    *output_written = written;
    errno = saved;
    return 0;
}

}  // namespace

extern "C" {

zel_resampler *zel_resampler_create(unsigned long long source_numerator,
                                    unsigned long long source_denominator,
                                    unsigned long long target_numerator,
                                    unsigned long long target_denominator, unsigned int channels,
                                    int quality) {
    return create(source_numerator, source_denominator, target_numerator, target_denominator, channels,
                  quality, std::nullopt);
}

zel_resampler *zel_resampler_create_with_bandwidth(unsigned long long source_numerator,
                                                   unsigned long long source_denominator,
                                                   unsigned long long target_numerator,
                                                   unsigned long long target_denominator,
                                                   unsigned int channels, int quality, double bandwidth) {
    return create(source_numerator, source_denominator, target_numerator, target_denominator, channels,
                  quality, bandwidth);
}

void zel_resampler_destroy(zel_resampler *resampler) { delete resampler; }

int zel_resampler_process(zel_resampler *resampler, const float *input, size_t input_frames,
                          size_t *input_used, float *output, size_t output_frames, size_t *output_written) {
    return process(resampler, input, input_frames, input_used, output, output_frames, output_written);
}

int zel_resampler_process_double(zel_resampler *resampler, const double *input, size_t input_frames,
                                 size_t *input_used, double *output, size_t output_frames,
                                 size_t *output_written) {
    return process(resampler, input, input_frames, input_used, output, output_frames, output_written);
}

int zel_resampler_seek(zel_resampler *resampler, unsigned long long output_frame,
                       unsigned long long *input_frame) {
    if (resampler == nullptr || input_frame == nullptr)
        return fail(EFAULT, "a null resampler or frame pointer");
    const int saved = errno;
    u64 whole = 0;
    if (!wholeOf(*resampler, output_frame, whole) || whole >= kFrameLimit)
        return fail(EOVERFLOW, "output frame " + str(output_frame) +
                                   " lies past input frame 2^61 - 1, the last a stream reaches");
    restart(*resampler, output_frame, whole);
    *input_frame = resampler->inputNext;
    errno = saved;
    return 0;
}

int zel_resampler_output_frames(const zel_resampler *resampler, unsigned long long input_frames,
                                unsigned long long *output_frames) {
    if (resampler == nullptr || output_frames == nullptr)
        return fail(EFAULT, "a null resampler or count pointer");
    const int saved = errno;
    u64 count = 0;
    if (!outputsBefore(resampler->engine.mapper(), input_frames, count))
        return fail(EOVERFLOW, "the output of " + str(input_frames) + " input frames passes 2^64 - 1 frames");
    *output_frames = count;
    errno = saved;
    return 0;
}

const char *zel_resampler_error_message(void) { return gMessage; }

const char *zel_resampler_quality_name(int quality) {
    const zel::engine::Preset *preset = zel::engine::presetAt(quality);
    return preset == nullptr ? nullptr : preset->name;
}

}  // extern "C"
