// Samples without a header, read through libsndfile's RAW format: raw input described on the command line, and the
// samples of a WAV whose header gives no length (programs writing WAV to a pipe leave its sizes 0 or 0xFFFFFFFF),
// which are read to their real end rather than to a size the header never knew.
#ifndef ZEL_TOOLS_RESAMPLE_RAW_SOURCE_H
#define ZEL_TOOLS_RESAMPLE_RAW_SOURCE_H

#include <sndfile.h>

#include <cstddef>
#include <functional>
#include <vector>

namespace resample {

using u64 = unsigned long long;

// Raw samples: libsndfile's SF_FORMAT_RAW with a subtype and a byte order, at a rate, in channels.
struct RawFormat {
    int rate = 0, channels = 0, format = 0;  // format 0: not raw
};

// The bytes one frame of `format` takes.
u64 rawFrameBytes(const RawFormat &format);

// The raw samples in `fd` from byte `base`: a regular file of `length` bytes from there, read at offsets so that it
// may seek, or a stream (`length` -1), read in order to its end.
class RawSource {
public:
    RawSource(int fd, sf_count_t base, sf_count_t length, u64 frameBytes)
        : fd_(fd), base_(base), length_(length), frameBytes_(frameBytes) {}
    // Opens the samples as `format`, filling `info`; null with sf_strerror(nullptr) saying why.
    SNDFILE *open(const RawFormat &format, SF_INFO &info);
    // Whether the input, read to its end, stopped part-way through a frame (libsndfile drops such a tail).
    bool cutShort() const { return ended_ && at_ % static_cast<sf_count_t>(frameBytes_) != 0; }

private:
    static sf_count_t size(void *self);
    static sf_count_t seek(sf_count_t offset, int whence, void *self);
    static sf_count_t read(void *to, sf_count_t n, void *self);
    static sf_count_t tell(void *self);

    int fd_;
    sf_count_t base_, length_, at_ = 0;
    u64 frameBytes_;
    bool ended_ = false;
};

// Reads a WAV header through `more(n)`, which makes `header` hold at least the file's first n bytes (false when it
// cannot). True when the header gives no length and its samples are PCM, float, A-law or mu-law: then `dataOffset`
// is where they start and `format` what they are. A header that says anything else is left to libsndfile.
bool streamedWav(const std::function<bool(size_t)> &more, const std::vector<unsigned char> &header,
                 u64 &dataOffset, RawFormat &format);

}  // namespace resample

#endif
