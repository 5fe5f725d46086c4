// The input through libsndfile, opened so that every format it reads works from stdin too, and read so that a
// damaged or short input is an error, never an end.
#ifndef ZEL_TOOLS_RESAMPLE_INPUT_H
#define ZEL_TOOLS_RESAMPLE_INPUT_H

#include <sndfile.h>

#include <memory>
#include <string>

#include "convert.h"
#include "error.h"
#include "raw_source.h"

namespace resample {

struct Input {
    SNDFILE *file = nullptr;
    SF_INFO info{};
    int fd = -1;               // what libsndfile reads: the file, stdin, a spool of it, or a pipe fed from it
    bool seekable = false;     // a file (or a spool) that other threads may reopen through reopenPath
    bool lengthKnown = false;  // info.frames is the real length (not a stream's placeholder)
    std::string name;          // as the user named it, for messages
    std::string reopenPath;    // where another thread opens the same input ("" when it cannot)
    sf_count_t base = 0;       // where the input starts in its file (stdin may start part-way)
    RawFormat raw;             // raw input as the command line describes it (format 0 for any other)
    std::unique_ptr<RawSource>
        source;  // what libsndfile reads raw samples from, raw input's or a streamed WAV's

    Input() = default;
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    ~Input();
};

// Opens `path` ("-" for stdin), named `name` in messages, as `raw` samples when raw.format is set. From stdin that
// cannot seek, formats libsndfile reads only from a seekable file (FLAC, CAF, W64, Ogg, RF64, ...) are first copied
// to a spool file; the others stream. A file that holds fewer frames than its header gives is refused; a WAV whose
// header gives no length is read to its end.
Error openInput(const std::string &path, const std::string &name, Input &input, const RawFormat &raw = {});

// The frames libsndfile reads in the regular file open at `fd` (not moving its offset), ~0 when it cannot read
// it; false when it is not a regular file.
bool framesIn(int fd, u64 &frames);

// A written file read back, since libsndfile's close does not report a lost last write (a full disk): the failure
// to write `name` unless the regular file at `fd` reads as `frames` frames (or is not a regular file). Raw samples
// (`rawFrameBytes` per frame) are counted by the file's size.
Error readBack(int fd, u64 frames, const std::string &name, u64 rawFrameBytes = 0);

// Reads an open libsndfile handle, checking each read against the decoder's error state and, where the length
// is known, against the header's frame count.
class SndfileReader : public FrameReader {
public:
    // `frames`: the header's length, or ~0 when unknown; `source`: where raw samples come from, if they do. The
    // reader owns neither.
    SndfileReader(SNDFILE *file, const std::string &name, u64 channels, u64 frames, bool seekable,
                  const RawSource *source = nullptr)
        : file_(file),
          name_(name),
          channels_(channels),
          frames_(frames),
          seekable_(seekable),
          source_(source) {}
    bool read(double *out, u64 frames, u64 &got, std::string &error) override;
    bool skipTo(u64 frame, std::string &error) override;
    u64 framesRead() const { return next_; }

private:
    SNDFILE *file_;
    std::string name_;
    u64 channels_, frames_, next_ = 0;
    bool seekable_;
    const RawSource *source_;
};

}  // namespace resample

#endif
