// The engine's own stream as the resample tool ran it before the C API existed, kept as the benchmark's
// baseline: block by block, reading only what each block's filter reaches, padding with silence before the first
// frame and after the last. Its output ends at the last target frame whose position lies within the input.
#ifndef ZEL_BENCH_ENGINE_STREAM_H
#define ZEL_BENCH_ENGINE_STREAM_H

#include <functional>
#include <string>
#include <vector>

#include "engine.h"

namespace zel::engine {

// Source frames, interleaved, read in order; a seek lets a run start anywhere.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Reads up to `frames` frames into `out`; returns the number read, fewer only at the end.
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

struct RunOptions {
    u64 blockSize = 512;                 // output frames per block
    std::function<u64()> nextBlockSize;  // if set, overrides blockSize block by block (each at least 1)
    u64 firstTarget = 0;                 // start the output at this target frame
    u64 frameLimit = ~0ULL;              // stop after this many output frames
};

struct RunResult {
    bool ok = false;
    u64 framesWritten = 0;
    std::string error;
};

// Resamples `in` into `out` until the source ends: every target frame whose exact source position is at most
// the last source frame.
RunResult resampleStream(const Engine &engine, FrameSource &in, FrameSink &out,
                         const RunOptions &options = RunOptions());

}  // namespace zel::engine

#endif
