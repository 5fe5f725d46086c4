// The conversion on the public resampler API: one resampler per segment of the output, started at its first
// frame by zel_resampler_seek, so that segments converted apart (in threads) join bit for bit. Frames come from a
// FrameReader and go to a FrameWriter, which converts them to the output's sample format. Frames pass as double:
// the resampler computes in its preset's own type, and a float preset's frames widen and narrow exactly.
#ifndef ZEL_TOOLS_RESAMPLE_CONVERT_H
#define ZEL_TOOLS_RESAMPLE_CONVERT_H

#include <zel/resampler.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "wav_writer.h"

namespace resample {

// Interleaved input frames, read in order from a frame that a skip may choose.
class FrameReader {
public:
    virtual ~FrameReader() = default;
    // Reads up to `frames` frames; fewer only at the end of the input. False with the reason when the input is
    // damaged or ends before its header said.
    virtual bool read(double *out, u64 frames, u64 &got, std::string &error) = 0;
    // Makes `frame` the next frame read (by seeking, or by reading and dropping). False with the reason as read.
    virtual bool skipTo(u64 frame, std::string &error) = 0;
};

// The output's samples: 16-, 24- or 32-bit PCM (rounded, optionally dithered, clipped and counted) or float.
struct Encoding {
    int bits = 0;        // 16, 24 or 32; 0 for float
    int floatBits = 32;  // float: 32 or 64
    bool dither = false;
    std::atomic<u64> clipped{0};
};

// Interleaved output frames, each write starting at output frame `frame` of the whole conversion.
class FrameWriter {
public:
    virtual ~FrameWriter() = default;
    // False on a failed write; error() then says why.
    virtual bool write(u64 frame, const double *data, u64 frames) = 0;
    virtual std::string error() const = 0;
};

// Frames into the tool's own WAV writer, at their offset from the output's first frame `begin`.
class WavFrameWriter : public FrameWriter {
public:
    WavFrameWriter(WavWriter &wav, Encoding &encoding, u64 channels, u64 begin)
        : wav_(wav), encoding_(encoding), channels_(channels), begin_(begin) {}
    bool write(u64 frame, const double *data, u64 frames) override;
    std::string error() const override;

private:
    WavWriter &wav_;
    Encoding &encoding_;
    u64 channels_, begin_;
    std::vector<int32_t> pcm_;
    std::vector<float> floats_;
    std::vector<char> bytes_;
};

// Frames held as raw doubles in a spool file until they can be written in order.
class SpoolWriter : public FrameWriter {
public:
    explicit SpoolWriter(u64 channels) : channels_(channels) {}
    ~SpoolWriter() override;
    bool write(u64 frame, const double *data, u64 frames) override;
    std::string error() const override { return error_; }
    // Writes every spooled frame to `out`, the first as frame `first`.
    bool drainInto(FrameWriter &out, u64 first);

private:
    u64 channels_;
    int fd_ = -1;
    bool opened_ = false;
    std::string error_;
};

struct Segment {
    u64 first = 0;      // output frame
    u64 count = ~0ULL;  // at most this many frames (~0: to the end of the input)
};

struct ConversionSetup {
    unsigned long long sourceRate = 0, targetNumerator = 0, targetDenominator = 1;
    unsigned channels = 0;
    int quality = 0;
    double bandwidth = 0;  // 0: the preset's own
    u64 block = 512;       // output frames per process call
};

// Owns a zel_resampler.
struct ResamplerDeleter {
    void operator()(zel_resampler *r) const { zel_resampler_destroy(r); }
};
using ResamplerPtr = std::unique_ptr<zel_resampler, ResamplerDeleter>;

// A resampler for the setup; null with errno set when it cannot be made.
ResamplerPtr makeResampler(const ConversionSetup &setup);

// Why the resampler could not be started at output `frame` (its seek failed).
std::string seekError(u64 frame);

// Converts one segment with `r` (seeking it to the segment's first frame) from `reader` to `writer`; counts
// frames written in `progress`. Returns "" on success, or the reason, prefixed "write: " when the writer failed.
std::string convertSegment(zel_resampler *r, const ConversionSetup &setup, const Segment &segment,
                           FrameReader &reader, FrameWriter &writer, std::atomic<u64> &progress,
                           u64 &written);

}  // namespace resample

#endif
