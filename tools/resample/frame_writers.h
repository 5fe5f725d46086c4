// Where converted frames go, each write starting at an output frame of the whole conversion: the tool's own WAV
// writer (at offsets, so that segments may be written by several threads), a libsndfile container (in order), or a
// spool of raw doubles held until they can be written in order. The writers that store integers encode them here,
// with pcm.h's rounding, clipping and dither, so that every container holds the same samples.
#ifndef ZEL_TOOLS_RESAMPLE_FRAME_WRITERS_H
#define ZEL_TOOLS_RESAMPLE_FRAME_WRITERS_H

#include <sndfile.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "wav_writer.h"

namespace resample {

// The output's samples: 16-, 24- or 32-bit PCM (rounded, optionally dithered, clipped and counted) or float.
struct Encoding {
    int bits = 0;        // 16, 24 or 32; 0 for float
    int floatBits = 32;  // float: 32 or 64
    bool dither = false;
    std::atomic<u64> clipped{0};
};

class FrameWriter {
public:
    virtual ~FrameWriter() = default;
    // Writes interleaved frames, the first being output frame `frame`; false on a failed write, error() then says
    // why.
    virtual bool write(u64 frame, const double *data, u64 frames) = 0;
    virtual std::string error() const = 0;
};

// Frames into a WavWriter, at their offset from the output's first frame `begin`.
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

// Frames into a libsndfile output, in order.
class SndfileWriter : public FrameWriter {
public:
    SndfileWriter(SNDFILE *file, Encoding &encoding, u64 channels)
        : file_(file), encoding_(encoding), channels_(channels) {}
    bool write(u64 frame, const double *data, u64 frames) override;
    std::string error() const override;

private:
    SNDFILE *file_;
    Encoding &encoding_;
    u64 channels_;
    std::vector<int32_t> pcm_;
};

// Frames as raw doubles in a spool: an unnamed file in $TMPDIR opened at the first write, or the open file `fd`
// (which it then owns), for a spool others read by name.
class SpoolWriter : public FrameWriter {
public:
    explicit SpoolWriter(u64 channels, int fd = -1) : channels_(channels), fd_(fd), opened_(fd >= 0) {}
    SpoolWriter(const SpoolWriter &) = delete;
    SpoolWriter &operator=(const SpoolWriter &) = delete;
    ~SpoolWriter() override;
    bool write(u64 frame, const double *data, u64 frames) override;
    std::string error() const override { return error_; }
    // Writes every spooled frame to `out`, the first as frame `first`; false with error() set (out's reason when
    // out failed, and `outFailed` then true).
    bool drainInto(FrameWriter &out, u64 first, bool &outFailed);

private:
    u64 channels_;
    int fd_;
    bool opened_;
    std::string error_;
};

}  // namespace resample

#endif
