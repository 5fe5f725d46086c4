// The conversion on the public resampler API: one resampler per segment of the output, started at its first
// frame by zel_resampler_seek, so that segments converted apart (by threads, or by tasks on other machines) join
// bit for bit. Frames come from a FrameReader as double, which holds every sample libsndfile decodes exactly, and
// leave the resampler already in the output's sample format (rounded, dithered and clipped by the library, so that
// every container and every way of cutting the output holds the same samples) for a FrameWriter to store.
#ifndef ZEL_TOOLS_RESAMPLE_CONVERT_H
#define ZEL_TOOLS_RESAMPLE_CONVERT_H

#include <zel/resampler.h>

#include <atomic>
#include <memory>
#include <string>

#include "error.h"
#include "frame_writers.h"
#include "output_format.h"

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

struct Segment {
    u64 first = 0;      // output frame
    u64 count = ~0ULL;  // at most this many frames (~0: to the end of the input)
};

// Segment k of `parts` nearly equal segments of output frames begin .. begin + count - 1.
Segment segmentOf(u64 begin, u64 count, u64 parts, u64 k);

struct ConversionSetup {
    unsigned long long sourceRate = 0, targetNumerator = 0, targetDenominator = 1;
    unsigned channels = 0;
    int quality = 0;
    double bandwidth = 0;               // 0: the preset's own
    SampleFormat format;                // the output's, resolved: not "same"
    bool dither = false;                // integer output only
    u64 block = 512;                    // output frames per process call
    std::string inputName, outputName;  // for messages
};

// Owns a zel_resampler.
struct ResamplerDeleter {
    void operator()(zel_resampler *r) const { zel_resampler_destroy(r); }
};
using ResamplerPtr = std::unique_ptr<zel_resampler, ResamplerDeleter>;

// A resampler for the setup, taking double frames and giving the output's samples; null with errno set (and the
// library's reason) when it cannot be made.
ResamplerPtr makeResampler(const ConversionSetup &setup);

// Why the library refused this thread's last call, in one line: its own reason, else errno `code`'s.
std::string libraryReason(int code);

// The library's refusal to convert the input named `input`, with errno `code`.
Error cannotConvert(const std::string &input, int code);

// The integer samples `r` has clipped so far.
u64 clippedBy(const zel_resampler *r);

// Converts one segment with `r` (seeking it to the segment's first frame) from `reader` to `writer`; counts
// frames written in `written` and in `progress`.
Error convertSegment(zel_resampler *r, const ConversionSetup &setup, const Segment &segment,
                     FrameReader &reader, FrameWriter &writer, std::atomic<u64> &progress, u64 &written);

}  // namespace resample

#endif
