// The C API: arguments checked, failures given their errno and reason, and the work left to the stream.
#include "zel/resampler.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "stream.h"

using zel::engine::Buffers;
using zel::engine::Format;
using zel::engine::Stream;
using zel::engine::u64;

struct zel_resampler {
    std::unique_ptr<Stream> stream;
    Format inputFormat = Format::kFloat32, outputFormat = Format::kFloat32;
    bool planar = false;
};

namespace {

// The calling thread's reason for its last failure, for zel_resampler_error_message.
thread_local char gMessage[256] = "";

int fail(int code, const std::string &message) {
    std::snprintf(gMessage, sizeof gMessage, "%s", message.c_str());
    errno = code;
    return -1;
}

std::nullptr_t refuse(int code, const std::string &message) {
    fail(code, message);
    return nullptr;
}

std::string str(u64 value) { return std::to_string(value); }

// Options as this library reads them: a caller's struct of any size, its missing fields the defaults.
struct Settings {
    std::optional<double> bandwidth;
    Format input = Format::kFloat32, output = Format::kFloat32;
    bool planar = false, dither = false;
    double sourceRateRange = 0;
    unsigned threads = 1;
};

// A caller's struct larger than ours is scanned for non-zero bytes only this far: a size past it is garbage.
constexpr size_t kMaxOptionsSize = 4096;
constexpr unsigned kMaxThreads = 64;

bool readOptions(const zel_resampler_options *options, Settings &settings) {
    zel_resampler_options o;
    zel_resampler_options_init(&o);
    if (options != nullptr) {
        const size_t size = options->size;
        if (size == 0)
            return fail(EINVAL, "options.size is 0; set it with zel_resampler_options_init"), false;
        if (size > kMaxOptionsSize)
            return fail(EINVAL, "options.size " + str(size) + " is not the size of an options struct"), false;
            // Only whole fields the caller's struct holds; the rest keep their defaults.
#define ZEL_READ_FIELD(field)                                            \
    if (offsetof(zel_resampler_options, field) + sizeof o.field <= size) \
    std::memcpy(&o.field, &options->field, sizeof o.field)
        ZEL_READ_FIELD(bandwidth);
        ZEL_READ_FIELD(input_format);
        ZEL_READ_FIELD(output_format);
        ZEL_READ_FIELD(layout);
        ZEL_READ_FIELD(dither);
        ZEL_READ_FIELD(source_rate_range);
        ZEL_READ_FIELD(threads);
#undef ZEL_READ_FIELD
        const auto *bytes = reinterpret_cast<const unsigned char *>(options);
        for (size_t i = sizeof o; i < size; ++i)
            if (bytes[i] != 0)
                return fail(EINVAL, "options set at byte " + str(i) + ", past the " + str(sizeof o) +
                                        " this library (" + zel_resampler_version() + ") knows"),
                       false;
    }
    const auto unknownFormat = [](const char *side, int format) {
        return fail(EINVAL, std::string("unknown ") + side + " " + std::to_string(format) +
                                " (ZEL_FORMAT_FLOAT32 to ZEL_FORMAT_INT24)");
    };
    if (!zel::engine::knownFormat(o.input_format))
        return unknownFormat("input_format", o.input_format), false;
    if (!zel::engine::knownFormat(o.output_format))
        return unknownFormat("output_format", o.output_format), false;
    if (o.layout != ZEL_LAYOUT_INTERLEAVED && o.layout != ZEL_LAYOUT_PLANAR)
        return fail(EINVAL, "unknown layout " + std::to_string(o.layout) +
                                " (ZEL_LAYOUT_INTERLEAVED or ZEL_LAYOUT_PLANAR)"),
               false;
    if (o.dither != 0 && o.dither != 1)
        return fail(EINVAL, "dither must be 0 or 1, not " + std::to_string(o.dither)), false;
    if (o.bandwidth != 0) settings.bandwidth = o.bandwidth;
    settings.input = static_cast<Format>(o.input_format);
    settings.output = static_cast<Format>(o.output_format);
    settings.planar = o.layout == ZEL_LAYOUT_PLANAR;
    settings.dither = o.dither == 1;
    settings.sourceRateRange = o.source_rate_range;
    if (o.threads > kMaxThreads)
        return fail(EINVAL, "threads must be 1 to " + str(kMaxThreads) + ", not " + str(o.threads)), false;
    settings.threads = o.threads == 0 ? 1 : o.threads;
    return true;
}

zel_resampler *create(unsigned long long source_numerator, unsigned long long source_denominator,
                      unsigned long long target_numerator, unsigned long long target_denominator,
                      unsigned int channels, int quality, const Settings &settings) {
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
    if (channels < 1 || channels > ZEL_MAX_CHANNELS)
        return refuse(EINVAL,
                      "the channel count must be 1 to " + str(ZEL_MAX_CHANNELS) + ", not " + str(channels));
    if (preset == nullptr)
        return refuse(EINVAL, "unknown quality " + std::to_string(quality) +
                                  " (ZEL_QUALITY_LINEAR to ZEL_QUALITY_MAX)");
    try {
        zel::engine::Engine engine;
        std::string error;
        // Left to the engine: a bandwidth out of range, with linear quality, or needing too long a filter.
        if (!engine.configure({source_numerator, source_denominator}, {target_numerator, target_denominator},
                              static_cast<int>(channels), *preset, error, settings.bandwidth,
                              settings.sourceRateRange))
            return refuse(EINVAL, error);
        auto r = std::make_unique<zel_resampler>();
        r->stream = Stream::create(std::move(engine), error);
        if (r->stream == nullptr) return refuse(ENOMEM, error);
        r->stream->setDither(settings.dither);
        r->inputFormat = settings.input, r->outputFormat = settings.output, r->planar = settings.planar;
        errno = saved;
        return r.release();
    } catch (const std::bad_alloc &) {
        return refuse(ENOMEM, "out of memory");
    }
}

// The output of a stream's first `frames` input frames, or false with EOVERFLOW's reason when it passes 2^64 - 1.
bool outputTotal(const Stream &s, u64 frames, u64 &total) {
    if (s.engine().outputsBeforeSource(frames, total)) return true;
    return fail(EOVERFLOW, "the output of " + str(frames) + " input frames passes 2^64 - 1 frames"), false;
}

// Restarts the stream at output frame t, as a seek does; false, nothing changed, when t's position lies past the
// range a stream reaches (or t is 2^64 - 1, which no count of frames written reaches).
bool restartAt(Stream &s, u64 t) {
    u64 whole = 0;
    if (t == ~0ULL || !s.engine().restartedWhole(t, whole) || whole >= Stream::kFrameLimit) return false;
    s.restart(t, whole);
    return true;
}

// One call on the stream, checked: frames from `in` and into `out`, either of which may have no buffers.
int process(zel_resampler *resampler, const Buffers &in, size_t input_frames, size_t *input_used,
            const Buffers &out, size_t output_frames, size_t *output_written) {
    Stream &s = *resampler->stream;
    if (s.ended() && input_frames > 0) return fail(EINVAL, "input after the end of the input");
    if (input_frames > Stream::kFrameLimit - s.inputNext())
        return fail(EOVERFLOW, str(input_frames) + " frames after input frame " + str(s.inputNext()) +
                                   " pass the last a stream reaches, 2^61 - 1");
    // No frame can be written at output frame 2^64 - 1 (the count would pass 2^64 - 1), so no input is taken for it.
    if (input_frames > 0 && s.next() == ~0ULL)
        return fail(EOVERFLOW, "output frame 2^64 - 1 is next, and no frame is written there");
    const int saved = errno;
    if (in.at == nullptr && !s.ended()) {
        u64 total = 0;
        if (!outputTotal(s, s.inputNext(), total)) return -1;
        s.end(total);
    }
    u64 used = 0, written = 0;
    s.convert(in, input_frames, out, output_frames, used, written);
    *input_used = used;
    *output_written = written;
    errno = saved;
    return 0;
}

template <typename T>
int processInterleaved(zel_resampler *resampler, const T *input, size_t input_frames, size_t *input_used,
                       T *output, size_t output_frames, size_t *output_written) {
    if (resampler == nullptr || input_used == nullptr || output_written == nullptr ||
        (input == nullptr && input_frames > 0) || (output == nullptr && output_frames > 0))
        return fail(EFAULT, "a null resampler, count pointer, or buffer with frames");
    constexpr Format format = sizeof(T) == 4 ? Format::kFloat32 : Format::kFloat64;
    void *in[1] = {const_cast<T *>(input)}, *out[1] = {output};
    return process(resampler, {input == nullptr ? nullptr : in, format, false}, input_frames, input_used,
                   {out, format, false}, output_frames, output_written);
}

// Whether a side's buffers exist where it has frames: the one pointer, or every channel's.
bool present(const void *const *buffers, size_t frames, bool planar, u64 channels) {
    if (frames == 0) return true;
    if (buffers == nullptr) return false;
    for (u64 c = 0; c < (planar ? channels : 1); ++c)
        if (buffers[c] == nullptr) return false;
    return true;
}

}  // namespace

extern "C" {

void zel_resampler_options_init(zel_resampler_options *options) {
    if (options == nullptr) return;
    *options = {};
    options->size = sizeof *options;
    options->input_format = options->output_format = ZEL_FORMAT_FLOAT32;
    options->layout = ZEL_LAYOUT_INTERLEAVED;
    options->threads = 1;
}

zel_resampler *zel_resampler_create(unsigned long long source_numerator,
                                    unsigned long long source_denominator,
                                    unsigned long long target_numerator,
                                    unsigned long long target_denominator, unsigned int channels,
                                    int quality) {
    return create(source_numerator, source_denominator, target_numerator, target_denominator, channels,
                  quality, Settings{});
}

zel_resampler *zel_resampler_create_with_bandwidth(unsigned long long source_numerator,
                                                   unsigned long long source_denominator,
                                                   unsigned long long target_numerator,
                                                   unsigned long long target_denominator,
                                                   unsigned int channels, int quality, double bandwidth) {
    Settings settings;
    settings.bandwidth = bandwidth;
    return create(source_numerator, source_denominator, target_numerator, target_denominator, channels,
                  quality, settings);
}

zel_resampler *zel_resampler_create_with_options(unsigned long long source_numerator,
                                                 unsigned long long source_denominator,
                                                 unsigned long long target_numerator,
                                                 unsigned long long target_denominator, unsigned int channels,
                                                 int quality, const zel_resampler_options *options) {
    Settings settings;
    if (!readOptions(options, settings)) return nullptr;
    return create(source_numerator, source_denominator, target_numerator, target_denominator, channels,
                  quality, settings);
}

void zel_resampler_destroy(zel_resampler *resampler) { delete resampler; }

int zel_resampler_process(zel_resampler *resampler, const float *input, size_t input_frames,
                          size_t *input_used, float *output, size_t output_frames, size_t *output_written) {
    return processInterleaved(resampler, input, input_frames, input_used, output, output_frames,
                              output_written);
}

int zel_resampler_process_double(zel_resampler *resampler, const double *input, size_t input_frames,
                                 size_t *input_used, double *output, size_t output_frames,
                                 size_t *output_written) {
    return processInterleaved(resampler, input, input_frames, input_used, output, output_frames,
                              output_written);
}

int zel_resampler_process_buffers(zel_resampler *resampler, const void *const *input, size_t input_frames,
                                  size_t *input_used, void *const *output, size_t output_frames,
                                  size_t *output_written) {
    if (resampler == nullptr || input_used == nullptr || output_written == nullptr)
        return fail(EFAULT, "a null resampler or count pointer");
    const u64 channels = static_cast<u64>(resampler->stream->engine().channels());
    const bool planar = resampler->planar;
    if (!present(input, input_frames, planar, channels) || !present(output, output_frames, planar, channels))
        return fail(EFAULT,
                    planar ? "a null buffer or channel pointer with frames" : "a null buffer with frames");
    // A planar side with no frames may have no channel pointers at all: nothing reads them.
    return process(resampler, {const_cast<void *const *>(input), resampler->inputFormat, planar},
                   input_frames, input_used,
                   {output_frames > 0 ? output : nullptr, resampler->outputFormat, planar}, output_frames,
                   output_written);
}

int zel_resampler_set_source_rate(zel_resampler *resampler, unsigned long long source_numerator) {
    if (resampler == nullptr) return fail(EFAULT, "a null resampler");
    Stream &s = *resampler->stream;
    const zel::engine::Engine &e = s.engine();
    if (!e.drifting())
        return fail(EINVAL,
                    "this resampler's source rate is fixed; make it with a source_rate_range to change it");
    if (source_numerator < e.minNumerator() || source_numerator > e.maxNumerator())
        return fail(EINVAL, "source rate numerator " + str(source_numerator) + " is outside " +
                                str(e.minNumerator()) + " to " + str(e.maxNumerator()) +
                                ", the range it was made with");
    const int saved = errno;
    if (!s.setSourceRate(source_numerator))
        return fail(EOVERFLOW, "output frame " + str(s.next()) + " lies past the positions a stream reaches");
    errno = saved;
    return 0;
}

int zel_resampler_clipped(const zel_resampler *resampler, unsigned long long *samples) {
    if (resampler == nullptr || samples == nullptr) return fail(EFAULT, "a null resampler or count pointer");
    *samples = resampler->stream->clipped();
    return 0;
}

int zel_resample_oneshot(unsigned long long source_numerator, unsigned long long source_denominator,
                         unsigned long long target_numerator, unsigned long long target_denominator,
                         unsigned int channels, int quality, const zel_resampler_options *options,
                         const void *const *input, size_t input_frames, void *const *output,
                         size_t output_frames, size_t *output_written) {
    Settings settings;
    if (!readOptions(options, settings)) return -1;
    if (output_written == nullptr) return fail(EFAULT, "a null count pointer");
    const u64 sides = settings.planar && channels >= 1 && channels <= ZEL_MAX_CHANNELS ? channels : 1;
    if (!present(input, input_frames, settings.planar, sides) ||
        !present(output, output_frames, settings.planar, sides))
        return fail(EFAULT, "a null buffer or channel pointer with frames");
    if (input_frames > Stream::kFrameLimit)
        return fail(EOVERFLOW, str(input_frames) + " input frames pass the last a stream reaches, 2^61 - 1");
    const int saved = errno;
    // Output frames [t0, t1) of part i of n, each by its own resampler restarted at t0 (a seek gives the frames
    // of a run from frame 0), at most one part a frame: the resamplers are made first, here, so that a failure
    // leaves nothing running.
    const auto make = [&] {
        return std::unique_ptr<zel_resampler>(create(source_numerator, source_denominator, target_numerator,
                                                     target_denominator, channels, quality, settings));
    };
    std::vector<std::unique_ptr<zel_resampler>> parts;
    parts.push_back(make());
    u64 total = 0;
    if (parts[0] == nullptr || !outputTotal(*parts[0]->stream, input_frames, total)) return -1;
    const u64 frames = std::min<u64>(total, output_frames), n = std::clamp<u64>(frames, 1, settings.threads);
    while (parts.size() < n)
        if (parts.emplace_back(make()) == nullptr) return -1;
    const Buffers in{input_frames > 0 ? const_cast<void *const *>(input) : nullptr, settings.input,
                     settings.planar};
    const Buffers out{frames > 0 ? output : nullptr, settings.output, settings.planar};
    const auto part = [&](u64 i) {
        Stream &s = *parts[i]->stream;
        const u64 t0 = frames / n * i + std::min(i, frames % n), t1 = t0 + frames / n + (i < frames % n);
        if (t0 == t1) return;
        restartAt(s, t0);  // t0 < total: a position below the input's end
        // All the input from where the restart needs it, then the end: the calls a stream's caller makes. The
        // counts index the caller's buffers, and the dither follows the stream's own frame numbers.
        u64 used = std::min<u64>(s.inputNext(), input_frames), written = t0;
        s.convert(in, input_frames, out, t1, used, written);
        if (written < t1) {
            s.end(total);
            s.convert(Buffers{}, 0, out, t1, used, written);
        }
    };
    std::vector<std::thread> threads;
    try {
        for (u64 i = 1; i < n; ++i) threads.emplace_back(part, i);
    } catch (const std::system_error &) {
        for (std::thread &t : threads) t.join();
        return fail(EAGAIN, "a thread could not be started");
    }
    part(0);
    for (std::thread &t : threads) t.join();
    *output_written = frames;
    errno = saved;
    return 0;
}

int zel_resampler_seek(zel_resampler *resampler, unsigned long long output_frame,
                       unsigned long long *input_frame) {
    if (resampler == nullptr || input_frame == nullptr)
        return fail(EFAULT, "a null resampler or frame pointer");
    const int saved = errno;
    Stream &s = *resampler->stream;
    if (!restartAt(s, output_frame))
        return fail(EOVERFLOW, "output frame " + str(output_frame) +
                                   " lies past input frame 2^61 - 1, the last a stream reaches");
    *input_frame = s.inputNext();
    errno = saved;
    return 0;
}

int zel_resampler_output_frames(const zel_resampler *resampler, unsigned long long input_frames,
                                unsigned long long *output_frames) {
    if (resampler == nullptr || output_frames == nullptr)
        return fail(EFAULT, "a null resampler or count pointer");
    const int saved = errno;
    u64 count = 0;
    if (!outputTotal(*resampler->stream, input_frames, count)) return -1;
    *output_frames = count;
    errno = saved;
    return 0;
}

int zel_resampler_input_needed(const zel_resampler *resampler, unsigned long long output_frames,
                               unsigned long long *input_frames) {
    if (resampler == nullptr || input_frames == nullptr)
        return fail(EFAULT, "a null resampler or count pointer");
    const int saved = errno;
    u64 frames = 0;
    if (!resampler->stream->inputNeeded(output_frames, frames))
        return fail(EOVERFLOW,
                    "the input of " + str(output_frames) + " output frames passes the stream's range");
    *input_frames = frames;
    errno = saved;
    return 0;
}

#define ZEL_TEXT(x) #x
#define ZEL_VERSION_TEXT(major, minor, patch) ZEL_TEXT(major) "." ZEL_TEXT(minor) "." ZEL_TEXT(patch)
const char *zel_resampler_version(void) {
    return ZEL_VERSION_TEXT(ZEL_RESAMPLER_VERSION_MAJOR, ZEL_RESAMPLER_VERSION_MINOR,
                            ZEL_RESAMPLER_VERSION_PATCH);
}

const char *zel_resampler_error_message(void) { return gMessage; }

const char *zel_resampler_quality_name(int quality) {
    const zel::engine::Preset *preset = zel::engine::presetAt(quality);
    return preset == nullptr ? nullptr : preset->name;
}

}  // extern "C"
