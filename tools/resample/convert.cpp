#include "convert.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace resample {

namespace {

// Input frames per read: large enough to amortise the call, small enough that a thousand channels stay a few MB.
constexpr u64 kReadSamples = 1 << 18, kMaxReadFrames = 8192;

}  // namespace

ResamplerPtr makeResampler(const ConversionSetup &setup) {
    if (setup.bandwidth > 0)
        return ResamplerPtr(zel_resampler_create_with_bandwidth(setup.sourceRate, 1, setup.targetNumerator,
                                                                setup.targetDenominator, setup.channels,
                                                                setup.quality, setup.bandwidth));
    return ResamplerPtr(zel_resampler_create(setup.sourceRate, 1, setup.targetNumerator,
                                             setup.targetDenominator, setup.channels, setup.quality));
}

Segment segmentOf(u64 begin, u64 count, u64 parts, u64 k) {
    const auto firstOf = [&](u64 n) { return begin + count / parts * n + std::min(n, count % parts); };
    return {firstOf(k), firstOf(k + 1) - firstOf(k)};
}

std::string libraryReason(int code) {
    const char *own = zel_resampler_error_message();
    return own != nullptr && *own != '\0' ? own : std::strerror(code);
}

std::string seekError(u64 frame) {
    return "cannot start at output frame " + std::to_string(frame) + ": beyond the resampler's exact range";
}

Error convertSegment(zel_resampler *r, const ConversionSetup &setup, const Segment &segment,
                     FrameReader &reader, FrameWriter &writer, std::atomic<u64> &progress, u64 &written) {
    written = 0;
    unsigned long long input = 0;
    if (zel_resampler_seek(r, segment.first, &input) != 0)
        return {Error::kConversion, "'" + setup.inputName + "': " + seekError(segment.first)};
    std::string error;
    if (!reader.skipTo(input, error)) return {Error::kInput, error};

    const u64 channels = setup.channels;
    const u64 readFrames = std::clamp<u64>(kReadSamples / channels, 1, kMaxReadFrames);
    std::vector<double> in(readFrames * channels), out(setup.block * channels);
    u64 have = 0, at = 0;  // frames in `in`, and the first not yet consumed
    bool ended = false;
    while (written < segment.count) {
        if (!ended && have == 0) {
            if (!reader.read(in.data(), readFrames, have, error)) return {Error::kInput, error};
            ended = have < readFrames;
            at = 0;
        }
        // All input given, a null input marks the end; later calls drain the filter's tail.
        const double *from = ended && have == 0 ? nullptr : in.data() + at * channels;
        size_t used = 0, got = 0;
        if (zel_resampler_process_double(r, from, have, &used, out.data(),
                                         std::min(setup.block, segment.count - written), &got) != 0)
            return {Error::kConversion, errno == EOVERFLOW ? "cannot convert past output frame " +
                                                                 std::to_string(segment.first + written) +
                                                                 ": beyond the resampler's exact range"
                                                           : "cannot convert: " + libraryReason(errno)};
        at += used, have -= used;
        if (got > 0 && !writer.write(segment.first + written, out.data(), got))
            return cannotWrite(setup.outputName, writer.error());
        written += got;
        progress += got;
        if (from == nullptr && got == 0) break;
    }
    return {};
}

}  // namespace resample
