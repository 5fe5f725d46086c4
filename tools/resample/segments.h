// The conversion in segments: K threads, each converting its part of the output with its own resampler from its
// own reader of the input, so that the parts join bit for bit. A positional WAV takes every segment at its own
// offset; otherwise segment 0 goes out as it comes and the others are spooled and written after it, in order.
#ifndef ZEL_TOOLS_RESAMPLE_SEGMENTS_H
#define ZEL_TOOLS_RESAMPLE_SEGMENTS_H

#include <atomic>

#include "convert.h"
#include "error.h"
#include "input.h"
#include "sink.h"

namespace resample {

struct SegmentsPlan {
    ConversionSetup setup;
    u64 begin = 0, count = 0;  // output frames begin .. begin + count - 1
    u64 threads = 1;
};

// Converts the output range with `first` (made for the setup) and threads reading `input` again; counts the
// frames written in `written`, those read by the first segment in `read`, and the samples the segments'
// resamplers clipped in `clipped`.
Error convertSegments(const SegmentsPlan &plan, zel_resampler *first, const Input &input, Sink &sink,
                      std::atomic<u64> &written, u64 &read, u64 &clipped);

}  // namespace resample

#endif
