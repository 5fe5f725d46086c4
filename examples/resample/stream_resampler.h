// A streaming linear-interpolation resampler driven block by block by ResamplingMapper: every position comes
// from the mapper's exact arithmetic, so the output does not depend on the block size.
#ifndef ZEL_EXAMPLES_STREAM_RESAMPLER_H
#define ZEL_EXAMPLES_STREAM_RESAMPLER_H

#include <zel/resampling_mapper.h>

#include <functional>
#include <string>
#include <vector>

namespace resample {

using u64 = unsigned long long;

// Source frames, read in order; a seek lets a run start (or skip) anywhere.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Reads up to `frames` interleaved frames into `out`; returns the number read, fewer only at the end.
    virtual u64 read(float *out, u64 frames) = 0;
    // Makes `frame` the next frame read; false when the source cannot seek there.
    virtual bool seek(u64 frame) = 0;
};

class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Writes `frames` interleaved frames; false on failure.
    virtual bool write(const float *data, u64 frames) = 0;
};

// Hooks for tests: what each block asked for, and every source frame the interpolator read. block() comes
// before the block's frames are read, and again if the source ends inside the block and it is shortened.
class Observer {
public:
    virtual ~Observer() = default;
    virtual void block(u64 targetFirst, u64 targetLast,
                       const mirelo::ResamplingMapper::sample_range &request) = 0;
    virtual void touch(u64 sourceFrame) = 0;
    // After a block: the source frames [first, end) still held for the blocks to come.
    virtual void kept(u64 first, u64 end) = 0;
};

struct RunOptions {
    u64 blockSize = 512;                 // output frames per block
    std::function<u64()> nextBlockSize;  // if set, overrides blockSize block by block (each at least 1)
    u64 firstTarget = 0;                 // resume the output stream at this target frame
    u64 frameLimit = ~0ULL;              // stop after this many output frames
    Observer *observer = nullptr;
};

struct RunResult {
    bool ok = false;
    u64 framesWritten = 0;
    std::string error;
};

// Resamples `in` (channels interleaved) into `out` until the source ends: every target frame whose exact
// source position is at most the last source frame. `mapper` must be configured with includeNextSample set.
RunResult resampleStream(const mirelo::ResamplingMapper &mapper, int channels, FrameSource &in,
                         FrameSink &out, const RunOptions &options = RunOptions());

}  // namespace resample

#endif
