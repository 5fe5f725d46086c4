// The C API: arguments checked, failures given their errno and reason, and the work left to the stream.
#include "zel/resampler.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "stream.h"

using zel::engine::Stream;
using zel::engine::u64;

struct zel_resampler {
    std::unique_ptr<Stream> stream;
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
                              static_cast<int>(channels), *preset, error, bandwidth))
            return refuse(EINVAL, error);
        auto r = std::make_unique<zel_resampler>();
        r->stream = Stream::create(std::move(engine), error);
        if (r->stream == nullptr) return refuse(ENOMEM, error);
        errno = saved;
        return r.release();
    } catch (const std::bad_alloc &) {
        return refuse(ENOMEM, "out of memory");
    }
}

template <typename T>
int process(zel_resampler *resampler, const T *input, size_t input_frames, size_t *input_used, T *output,
            size_t output_frames, size_t *output_written) {
    if (resampler == nullptr || input_used == nullptr || output_written == nullptr ||
        (input == nullptr && input_frames > 0) || (output == nullptr && output_frames > 0))
        return fail(EFAULT, "a null resampler, count pointer, or buffer with frames");
    Stream &s = *resampler->stream;
    if (s.ended() && input_frames > 0) return fail(EINVAL, "input after the end of the input");
    if (input_frames > Stream::kFrameLimit - s.inputNext())
        return fail(EOVERFLOW, str(input_frames) + " frames after input frame " + str(s.inputNext()) +
                                   " pass the last a stream reaches, 2^61 - 1");
    const int saved = errno;
    if (input == nullptr && !s.ended()) {
        u64 total = 0;
        if (!zel::engine::outputsBefore(s.engine().mapper(), s.inputNext(), total))
            return fail(EOVERFLOW,
                        "the output of " + str(s.inputNext()) + " input frames passes 2^64 - 1 frames");
        s.end(total);
    }
    u64 used = 0, written = 0;
    s.convert(input, input_frames, output, output_frames, used, written);
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
    Stream &s = *resampler->stream;
    mirelo::ResamplingMapper::sample_mixed_fraction p;
    if (!s.engine().mapper().sourceFromTarget(p, output_frame) || p.whole >= Stream::kFrameLimit)
        return fail(EOVERFLOW, "output frame " + str(output_frame) +
                                   " lies past input frame 2^61 - 1, the last a stream reaches");
    s.restart(output_frame, p.whole);
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
    if (!zel::engine::outputsBefore(resampler->stream->engine().mapper(), input_frames, count))
        return fail(EOVERFLOW, "the output of " + str(input_frames) + " input frames passes 2^64 - 1 frames");
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
