// Audio files through libsndfile: the input, opened so that every format it reads works from stdin too, and
// read so that a damaged or short input is an error, never an end; and the writer for containers other than WAV.
#ifndef ZEL_TOOLS_RESAMPLE_AUDIO_IO_H
#define ZEL_TOOLS_RESAMPLE_AUDIO_IO_H

#include <sndfile.h>

#include <string>

#include "convert.h"

namespace resample {

struct Input {
    SNDFILE *file = nullptr;
    SF_INFO info{};
    int fd = -1;               // what libsndfile reads: the file, stdin, a spool of it, or a pipe fed from it
    bool seekable = false;     // a file (or a spool) that other threads may reopen through reopenPath
    bool lengthKnown = false;  // info.frames is the real length (not a stream's placeholder)
    std::string name;          // as the user named it, for messages
    std::string reopenPath;    // where another thread opens the same input ("" when it cannot)

    Input() = default;
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    ~Input();
};

// Opens IN ("-" for stdin). From stdin that cannot seek, formats libsndfile reads only from a seekable file
// (FLAC, CAF, W64, Ogg, RF64, ...) are first copied to a spool file; the others stream. False with the reason.
bool openInput(const std::string &path, Input &input, std::string &error);

// The frames libsndfile reads in the regular file open at `fd` (not moving its offset); false when it is not
// a regular file or cannot be read.
bool framesIn(int fd, u64 &frames);

// Reads an open libsndfile handle, checking each read against the decoder's error state and, where the length
// is known, against the header's frame count.
class SndfileReader : public FrameReader {
public:
    // `frames`: the header's length, or ~0 when unknown. The reader does not own `file`.
    SndfileReader(SNDFILE *file, const std::string &name, u64 channels, u64 frames, bool seekable)
        : file_(file), name_(name), channels_(channels), frames_(frames), seekable_(seekable) {}
    bool read(double *out, u64 frames, u64 &got, std::string &error) override;
    bool skipTo(u64 frame, std::string &error) override;
    u64 framesRead() const { return next_; }

private:
    SNDFILE *file_;
    std::string name_;
    u64 channels_, frames_, next_ = 0;
    bool seekable_;
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

}  // namespace resample

#endif
