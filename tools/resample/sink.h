// Where the tool's frames go. OUT is opened safely (output_file.h) and written as WAV by the tool itself, which a
// pipe and several threads can take, or through libsndfile, directly (AU and raw samples stream) or, for a
// container that cannot be written as a stream, built in a spool and copied out at the end.
#ifndef ZEL_TOOLS_RESAMPLE_SINK_H
#define ZEL_TOOLS_RESAMPLE_SINK_H

#include <sndfile.h>

#include <memory>
#include <string>

#include "error.h"
#include "frame_writers.h"
#include "output_file.h"
#include "output_format.h"
#include "wav_writer.h"

namespace resample {

struct SinkPlan {
    std::string name;  // OUT as the user named it ("-" for stdout)
    int container = 0;
    SampleFormat format;  // resolved: not "same"
    u64 channels = 0, rate = 0;
    u64 first = 0;                     // the output frame written first
    u64 frames = ~0ULL;                // the frames that will be written, ~0 when unknown
    int rawEndian = SF_ENDIAN_LITTLE;  // the byte order of raw samples
};

class Sink {
public:
    Sink() = default;
    Sink(const Sink &) = delete;
    Sink &operator=(const Sink &) = delete;
    ~Sink();

    // Opens the output and writes what comes before the frames (a WAV header).
    Error open(const SinkPlan &plan);
    // Whether segments may be written at their offsets (WAV in a file), each through its own writerAt().
    bool atOffsets() const { return wav_ != nullptr && out_.positional(); }
    std::unique_ptr<FrameWriter> writerAt() { return std::make_unique<WavFrameWriter>(*wav_, plan_.first); }
    // The writer that takes frames in order.
    FrameWriter &writer() { return *writer_; }
    // Ends the output after `frames` frames and puts it in place.
    Error finish(u64 frames);
    // Removes what a failed run wrote.
    void abandon() { out_.abandon(); }

private:
    Error openWav();
    Error openSndfile();
    Error finishSndfile(u64 frames);
    Error failed(const std::string &reason);

    SinkPlan plan_;
    OutputFile out_;
    std::unique_ptr<WavWriter> wav_;
    std::unique_ptr<FrameWriter> writer_;
    std::unique_ptr<SNDFILE, int (*)(SNDFILE *)> sndfile_{nullptr, sf_close};
    int spool_ = -1;  // a libsndfile container that cannot stream is built here, then copied to the output
};

}  // namespace resample

#endif
