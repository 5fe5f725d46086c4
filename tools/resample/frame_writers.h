// Where converted frames go, each write starting at an output frame of the whole conversion: the tool's own WAV
// writer (at offsets, so that segments may be written by several threads), a libsndfile container (in order), or a
// spool that holds them until they can be written in order. Frames come in the output's sample format, as the
// resampler wrote them: the writers only store them.
#ifndef ZEL_TOOLS_RESAMPLE_FRAME_WRITERS_H
#define ZEL_TOOLS_RESAMPLE_FRAME_WRITERS_H

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

#include "output_format.h"
#include "wav_writer.h"

namespace resample {

class FrameWriter {
public:
    virtual ~FrameWriter() = default;
    // Writes interleaved frames of the output's samples, the first being output frame `frame`; false on a failed
    // write, error() then says why.
    virtual bool write(u64 frame, const void *samples, u64 frames) = 0;
    virtual std::string error() const = 0;
};

// Frames into a WavWriter, at their offset from the output's first frame `begin`.
class WavFrameWriter : public FrameWriter {
public:
    WavFrameWriter(WavWriter &wav, u64 begin) : wav_(wav), begin_(begin) {}
    bool write(u64 frame, const void *samples, u64 frames) override;
    std::string error() const override;

private:
    WavWriter &wav_;
    u64 begin_;
    std::vector<char> bytes_;
};

// Frames of `format` into a libsndfile output, in order.
class SndfileWriter : public FrameWriter {
public:
    SndfileWriter(SNDFILE *file, const SampleFormat &format, u64 channels)
        : file_(file), format_(format), channels_(channels) {}
    bool write(u64 frame, const void *samples, u64 frames) override;
    std::string error() const override;

private:
    bool put(const void *samples, sf_count_t n);

    SNDFILE *file_;
    SampleFormat format_;
    u64 channels_;
    std::vector<int32_t> shifted_;
};

// Frames of `frameBytes` bytes as they come, in a spool: an unnamed file in $TMPDIR opened at the first write, or
// the open file `fd` (which it then owns), for a spool others read by name.
class SpoolWriter : public FrameWriter {
public:
    explicit SpoolWriter(u64 frameBytes, int fd = -1) : frameBytes_(frameBytes), fd_(fd), opened_(fd >= 0) {}
    SpoolWriter(const SpoolWriter &) = delete;
    SpoolWriter &operator=(const SpoolWriter &) = delete;
    ~SpoolWriter() override;
    bool write(u64 frame, const void *samples, u64 frames) override;
    std::string error() const override { return error_; }
    // Writes every spooled frame to `out`, the first as frame `first`; false with error() set (out's reason when
    // out failed, and `outFailed` then true).
    bool drainInto(FrameWriter &out, u64 first, bool &outFailed);

private:
    u64 frameBytes_;
    int fd_;
    bool opened_;
    std::string error_;
};

}  // namespace resample

#endif
