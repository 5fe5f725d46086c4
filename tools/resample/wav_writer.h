// WAV written by the tool itself, since libsndfile can write it neither to a pipe nor from several threads: a
// header whose 36-byte JUNK chunk becomes RF64's ds64 when the file passes the 4 GiB of RIFF's 32-bit sizes,
// then the samples. More than two channels or PCM above 16 bits take the extensible fmt chunk that readers expect
// for them; float data has the fmt chunk's size field and a fact chunk, as non-PCM data requires. On a positional
// output the header is rewritten with the final sizes at the end and each segment is written at its own offset;
// on a stream the header carries the sizes known in advance, or, for a length not known, all ones, which readers
// take for "read to the end", as programs writing WAV to a pipe do.
#ifndef ZEL_TOOLS_RESAMPLE_WAV_WRITER_H
#define ZEL_TOOLS_RESAMPLE_WAV_WRITER_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace resample {

using u64 = unsigned long long;

class WavWriter {
public:
    static constexpr u64 kMaxHeaderBytes = 12 + 36 + 48 + 12 + 8;
    static constexpr u64 kRiffLimit = 0xFFFFFFFFULL;  // RIFF sizes are 32 bits; past this, RF64

    // bits: 16, 24 or 32 for PCM, 32 or 64 for float. A header passing rf64Threshold bytes (or forceRf64) makes
    // RF64.
    WavWriter(int fd, u64 channels, u64 rate, int bits, bool floating, bool positional, u64 rf64Threshold,
              bool forceRf64);

    u64 frameBytes() const { return channels_ * bytes_; }
    // Writes the header for `frames` frames (the caller has checked that their bytes fit in 64 bits), or, with
    // kUnknownLength on a stream, sizes that say so.
    bool header(u64 frames);
    static constexpr u64 kUnknownLength = ~0ULL;
    // Writes frames at frame offset `at` of the data (in order on a stream); several threads may write at once.
    // `samples` are as the resampler writes them: int16_t, int32_t (24-bit PCM sign-extended), float or double.
    bool write(u64 at, const void *samples, u64 frames, std::vector<char> &buffer);
    // Ends the data after `frames` frames: the pad byte of an odd size, and on a positional output the sizes.
    bool finish(u64 frames);
    int error() const { return error_; }

private:
    bool put(u64 offset, const char *p, size_t n);

    int fd_;
    bool positional_;
    u64 channels_, rate_, bytes_, threshold_, headerBytes_;
    bool floating_, forceRf64_, extensible_, streamed_ = false;
    std::atomic<int> error_{0};
};

}  // namespace resample

#endif
