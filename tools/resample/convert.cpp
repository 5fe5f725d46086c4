#include "convert.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "output_file.h"
#include "pcm.h"

namespace resample {

namespace {

// Input frames per read: large enough to amortise the call, small enough that a thousand channels stay a few MB.
constexpr u64 kReadSamples = 1 << 18, kMaxReadFrames = 8192;

}  // namespace

bool WavFrameWriter::write(u64 frame, const double *data, u64 frames) {
    if (encoding_.bits == 0 && encoding_.floatBits == 64)
        return wav_.write(frame - begin_, data, frames, bytes_);
    if (encoding_.bits == 0) {
        floats_.assign(data, data + frames * channels_);
        return wav_.write(frame - begin_, floats_.data(), frames, bytes_);
    }
    pcm_.resize(frames * channels_);
    encoding_.clipped += toPcm(data, frames, channels_, frame, encoding_.bits, encoding_.dither, pcm_.data());
    return wav_.write(frame - begin_, pcm_.data(), frames, bytes_);
}

std::string WavFrameWriter::error() const { return std::strerror(wav_.error() != 0 ? wav_.error() : EIO); }

SpoolWriter::~SpoolWriter() {
    if (fd_ >= 0) close(fd_);
}

bool SpoolWriter::write(u64, const double *data, u64 frames) {
    if (!opened_) {
        opened_ = true;
        fd_ = openSpool(error_);
    }
    if (fd_ < 0) return false;
    if (!writeAll(fd_, data, frames * channels_ * sizeof(double))) {
        error_ = std::string("cannot write a spool file: ") + std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

bool SpoolWriter::drainInto(FrameWriter &out, u64 first) {
    if (fd_ < 0) return true;  // nothing was written
    if (lseek(fd_, 0, SEEK_SET) != 0) return error_ = std::strerror(errno), false;
    std::vector<double> buffer(4096 * channels_);
    const size_t frameBytes = channels_ * sizeof(double);
    size_t have = 0;  // bytes in the buffer
    for (;;) {
        const ssize_t n = ::read(fd_, reinterpret_cast<char *>(buffer.data()) + have,
                                 buffer.size() * sizeof(double) - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return error_ = std::string("cannot read a spool file: ") + std::strerror(errno), false;
        have += static_cast<size_t>(n);
        const u64 frames = have / frameBytes;
        if (frames > 0 && !out.write(first, buffer.data(), frames))
            return error_ = "write: " + out.error(), false;
        first += frames;
        std::memmove(buffer.data(), reinterpret_cast<char *>(buffer.data()) + frames * frameBytes,
                     have - frames * frameBytes);
        have -= frames * frameBytes;
        if (n == 0) return true;
    }
}

ResamplerPtr makeResampler(const ConversionSetup &setup) {
    if (setup.bandwidth > 0)
        return ResamplerPtr(zel_resampler_create_with_bandwidth(setup.sourceRate, 1, setup.targetNumerator,
                                                                setup.targetDenominator, setup.channels,
                                                                setup.quality, setup.bandwidth));
    return ResamplerPtr(zel_resampler_create(setup.sourceRate, 1, setup.targetNumerator,
                                             setup.targetDenominator, setup.channels, setup.quality));
}

std::string seekError(u64 frame) {
    return "cannot start at output frame " + std::to_string(frame) + ": beyond the resampler's exact range";
}

std::string convertSegment(zel_resampler *r, const ConversionSetup &setup, const Segment &segment,
                           FrameReader &reader, FrameWriter &writer, std::atomic<u64> &progress,
                           u64 &written) {
    written = 0;
    unsigned long long input = 0;
    if (zel_resampler_seek(r, segment.first, &input) != 0) return seekError(segment.first);
    std::string error;
    if (!reader.skipTo(input, error)) return error;

    const u64 channels = setup.channels;
    const u64 readFrames = std::clamp<u64>(kReadSamples / channels, 1, kMaxReadFrames);
    std::vector<double> in(readFrames * channels), out(setup.block * channels);
    u64 have = 0, at = 0;  // frames in `in`, and the first not yet consumed
    bool ended = false;
    while (written < segment.count) {
        if (!ended && have == 0) {
            if (!reader.read(in.data(), readFrames, have, error)) return error;
            ended = have < readFrames;
            at = 0;
        }
        // All input given, a null input marks the end; later calls drain the filter's tail.
        const double *from = ended && have == 0 ? nullptr : in.data() + at * channels;
        size_t used = 0, got = 0;
        if (zel_resampler_process_double(r, from, have, &used, out.data(),
                                         std::min(setup.block, segment.count - written), &got) != 0)
            return errno == EOVERFLOW
                       ? "cannot convert past output frame " + std::to_string(segment.first + written) +
                             ": beyond the resampler's exact range"
                       : std::string("cannot convert: ") + std::strerror(errno);
        at += used, have -= used;
        if (got > 0 && !writer.write(segment.first + written, out.data(), got))
            return "write: " + writer.error();
        written += got;
        progress += got;
        if (from == nullptr && got == 0) break;
    }
    return "";
}

}  // namespace resample
