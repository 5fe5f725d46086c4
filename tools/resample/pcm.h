// Float frames to integer samples, as every container of the tool stores them: scaled by 2^(bits - 1), rounded
// to nearest (ties to even), clipped to the format's range and counted when clipped. Optional triangular (TPDF)
// dither is added in the integer domain, one step of the output format wide whatever the level, and is a
// function of the output frame's index and channel, not of a running generator, so dithered output too is the
// same whatever the block size, the start frame or the number of threads.
#ifndef ZEL_TOOLS_RESAMPLE_PCM_H
#define ZEL_TOOLS_RESAMPLE_PCM_H

#include <cmath>
#include <cstdint>

namespace resample {

using u64 = unsigned long long;

// Uniform in [0, 1) from a 64-bit key, by the splitmix64 finaliser (every key bit reaches every output bit).
inline double unitFromKey(u64 key) {
    key += 0x9E3779B97F4A7C15ULL;
    key = (key ^ (key >> 30)) * 0xBF58476D1CE4E5B9ULL;
    key = (key ^ (key >> 27)) * 0x94D049BB133111EBULL;
    key ^= key >> 31;
    return static_cast<double>(key >> 11) * 0x1p-53;
}

// Converts `count` interleaved float or double frames, the first being output frame `first`, to `bits`-bit
// integers (16, 24 or 32) in out; returns the number of samples clipped. The scaled sample is exact in double,
// and the dither keeps at least 21 bits below one step even at 32 bits.
template <typename S>
u64 toPcm(const S *in, u64 count, u64 channels, u64 first, int bits, bool dither, int32_t *out) {
    const double scale = std::ldexp(1.0, bits - 1), high = scale - 1, low = -scale;
    u64 clipped = 0;
    for (u64 f = 0; f < count; ++f) {
        for (u64 c = 0; c < channels; ++c) {
            double v = static_cast<double>(in[f * channels + c]) * scale;
            if (dither) {
                const u64 key = 2 * ((first + f) * channels + c);  // wraps harmlessly at absurd indices
                v += unitFromKey(key) - unitFromKey(key + 1);
            }
            v = std::nearbyint(v);
            if (!(v <= high && v >= low)) ++clipped, v = v > high ? high : low;  // NaN reads as the low end
            out[f * channels + c] = static_cast<int32_t>(v);
        }
    }
    return clipped;
}

}  // namespace resample

#endif
