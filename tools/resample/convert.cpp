#include "convert.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace resample {

namespace {

// Input frames per read: large enough to amortise the call, small enough that a thousand channels stay a few MB.
constexpr u64 kReadSamples = 1 << 18, kMaxReadFrames = 8192;

}  // namespace

ResamplerPtr makeResampler(const ConversionSetup &setup) {
    zel_resampler_options options;
    zel_resampler_options_init(&options);
    options.bandwidth = setup.bandwidth;
    options.input_format = ZEL_FORMAT_FLOAT64;
    options.output_format = resamplerFormat(setup.format);
    options.dither = setup.dither ? 1 : 0;
    return ResamplerPtr(zel_resampler_create_with_options(setup.sourceRate, 1, setup.targetNumerator,
                                                          setup.targetDenominator, setup.channels,
                                                          setup.quality, &options));
}

Segment segmentOf(u64 begin, u64 count, u64 parts, u64 k) {
    const auto firstOf = [&](u64 n) { return begin + count / parts * n + std::min(n, count % parts); };
    return {firstOf(k), firstOf(k + 1) - firstOf(k)};
}

std::string libraryReason(int code) {
    const char *own = zel_resampler_error_message();
    return own != nullptr && *own != '\0' ? own : std::strerror(code);
}

Error cannotConvert(const std::string &input, int code) {
    return {Error::kConversion, "'" + input + "': cannot convert: " + libraryReason(code)};
}

u64 clippedBy(const zel_resampler *r) {
    unsigned long long clipped = 0;
    zel_resampler_clipped(r, &clipped);  // fails only for a null pointer
    return clipped;
}

Error convertSegment(zel_resampler *r, const ConversionSetup &setup, const Segment &segment,
                     FrameReader &reader, FrameWriter &writer, std::atomic<u64> &progress, u64 &written) {
    written = 0;
    unsigned long long input = 0;
    if (zel_resampler_seek(r, segment.first, &input) != 0) return cannotConvert(setup.inputName, errno);
    std::string error;
    if (!reader.skipTo(input, error)) return {Error::kInput, error};

    const u64 channels = setup.channels, frameBytes = channels * sampleBytes(setup.format);
    const u64 readFrames = std::clamp<u64>(kReadSamples / channels, 1, kMaxReadFrames);
    // The output's samples in doubles' room, so that every sample format is aligned.
    std::vector<double> in(readFrames * channels), out((setup.block * frameBytes + 7) / 8);
    void *const to[1] = {out.data()};
    u64 have = 0, at = 0;  // frames in `in`, and the first not yet consumed
    bool ended = false;
    while (written < segment.count) {
        if (!ended && have == 0) {
            if (!reader.read(in.data(), readFrames, have, error)) return {Error::kInput, error};
            ended = have < readFrames;
            at = 0;
        }
        // All input given, a null input marks the end; later calls drain the filter's tail.
        const bool end = ended && have == 0;
        const void *const from[1] = {in.data() + at * channels};
        size_t used = 0, got = 0;
        if (zel_resampler_process_buffers(r, end ? nullptr : from, have, &used, to,
                                          std::min(setup.block, segment.count - written), &got) != 0)
            return cannotConvert(setup.inputName, errno);
        at += used, have -= used;
        if (got > 0 && !writer.write(segment.first + written, out.data(), got))
            return cannotWrite(setup.outputName, writer.error());
        written += got;
        progress += got;
        if (end && got == 0) break;
    }
    return {};
}

}  // namespace resample
