// The caller's side of a stream: frames in any of the API's sample formats, interleaved in one buffer or planar
// in one per channel, loaded into the engine's sample type and stored back from it. Integers are scaled so that
// full scale is 1; stored integers are rounded to nearest (ties to even), optionally dithered, and clipped, never
// wrapped. The dither is a function of the output frame's index and channel, not of a running generator, so that
// dithered output too is the same for every chunking, seek and thread count.
#ifndef ZEL_SRC_RESAMPLER_SAMPLE_FORMATS_H
#define ZEL_SRC_RESAMPLER_SAMPLE_FORMATS_H

#include <cstddef>

#include "engine.h"

namespace zel::engine {

// The API's ZEL_FORMAT_* values.
enum class Format { kFloat32 = 0, kFloat64 = 1, kInt16 = 2, kInt32 = 3, kInt24 = 4 };

bool knownFormat(int format);
size_t bytesOf(Format format);

// A caller's buffers: one interleaved buffer, or one per channel. Frame indices count from the buffers' starts.
struct Buffers {
    void *const *at = nullptr;  // null: silence (input) or nothing (output)
    Format format = Format::kFloat32;
    bool planar = false;

    // The sample of frame f, channel c, and the distance to the next frame's, in samples.
    char *sample(u64 f, u64 c, u64 channels) const {
        const u64 index = planar ? f : f * channels + c;
        return static_cast<char *>(at[planar ? c : 0]) + index * bytesOf(format);
    }
    u64 stride(u64 channels) const { return planar ? 1 : channels; }
    // Frames stored as S interleaved, so that the engine can write them itself.
    template <typename S>
    bool native() const {
        return !planar && format == (sizeof(S) == 4 ? Format::kFloat32 : Format::kFloat64);
    }
};

// Frames from .. from + n - 1 of channel c of `in` into `to`, as S.
template <typename S>
void load(const Buffers &in, u64 channels, u64 c, u64 from, u64 n, S *to);

// The same for both channels of a stereo buffer, in one pass over interleaved frames.
template <typename S>
void loadPair(const Buffers &in, u64 from, u64 n, S *left, S *right);

// Stores n interleaved frames of S into frames at .. at + n - 1 of `out`, the first being output frame `frame` of
// the stream (the dither's key); returns the samples clipped.
template <typename S>
u64 store(const S *from, u64 n, u64 channels, const Buffers &out, u64 at, u64 frame, bool dither);

}  // namespace zel::engine

#endif
