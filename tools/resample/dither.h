// Triangular (TPDF) dither for integer output. Its noise is a function of the output frame's index and channel,
// not drawn from a running generator, so dithered output too is the same whatever the block size, the start
// frame or the number of threads.
#ifndef ZEL_TOOLS_RESAMPLE_DITHER_H
#define ZEL_TOOLS_RESAMPLE_DITHER_H

#include "engine.h"

namespace resample {

// Uniform in [0, 1) from a 64-bit key, by the splitmix64 finaliser (every key bit reaches every output bit).
inline double unitFromKey(u64 key) {
    key += 0x9E3779B97F4A7C15ULL;
    key = (key ^ (key >> 30)) * 0xBF58476D1CE4E5B9ULL;
    key = (key ^ (key >> 27)) * 0x94D049BB133111EBULL;
    key ^= key >> 31;
    return static_cast<double>(key >> 11) * 0x1p-53;
}

// Adds noise of triangular density over (-step, step) to `count` interleaved frames whose first is output frame
// `first`, where `step` is the output's quantisation step (2^-15 for 16 bits): the quantisation error then no
// longer follows the signal, and what would be distortion of quiet passages becomes a steady noise floor.
inline void addDither(float *frames, u64 count, u64 channels, u64 first, double step) {
    for (u64 f = 0; f < count; ++f) {
        for (u64 c = 0; c < channels; ++c) {
            const u64 key = 2 * ((first + f) * channels + c);  // wraps harmlessly at absurd indices
            float &x = frames[f * channels + c];
            x = static_cast<float>(x + (unitFromKey(key) - unitFromKey(key + 1)) * step);
        }
    }
}

}  // namespace resample

#endif
