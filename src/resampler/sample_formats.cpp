#include "sample_formats.h"

#include <cstdint>
#include <cstring>

namespace zel::engine {

namespace {

// Uniform in [0, 1) from a 64-bit key, by the splitmix64 finaliser (every key bit reaches every output bit).
double unitFromKey(u64 key) {
    key += 0x9E3779B97F4A7C15ULL;
    key = (key ^ (key >> 30)) * 0xBF58476D1CE4E5B9ULL;
    key = (key ^ (key >> 27)) * 0x94D049BB133111EBULL;
    key ^= key >> 31;
    return static_cast<double>(key >> 11) * 0x1p-53;
}

// Full scale of each integer format: its samples are x / kScale of the float ones.
template <typename I, int bits>
struct IntFormat {
    using type = I;
    static constexpr double kScale = static_cast<double>(1LL << (bits - 1));
};
using Int16 = IntFormat<int16_t, 16>;
using Int24 = IntFormat<int32_t, 24>;
using Int32 = IntFormat<int32_t, 32>;

template <typename T, typename S>
void loadAs(const char *x, u64 stride, u64 n, S *to) {
    stride *= sizeof(T);
    for (u64 f = 0; f < n; ++f, x += stride) {
        T v;
        std::memcpy(&v, x, sizeof v);
        to[f] = static_cast<S>(v);
    }
}

// The scale is a power of two: the product is exact but for the rounding of an int32 into float's 24 bits,
// which happens once either way.
template <typename F, typename S>
void loadInt(const char *x, u64 stride, u64 n, S *to) {
    loadAs<typename F::type>(x, stride, n, to);
    const S scale = static_cast<S>(1 / F::kScale);
    for (u64 f = 0; f < n; ++f) to[f] *= scale;
}

template <typename T, typename S>
void storeFloat(const S *from, u64 n, u64 channels, char *y, u64 stride) {
    stride *= sizeof(T);
    for (u64 f = 0; f < n; ++f, y += stride) {
        const T v = static_cast<T>(from[f * channels]);
        std::memcpy(y, &v, sizeof v);
    }
}

// Rounds half to even by adding and taking away 1.5 * 2^52, exact for |v| < 2^51, which the clamp before it
// ensures (a sample clamped there is clipped anyway); NaN stays NaN and is clipped to the low end.
template <typename F, typename S>
u64 storeInt(const S *from, u64 n, u64 channels, u64 c, char *y, u64 stride, u64 frame, bool dither) {
    constexpr double kRound = 6755399441055744.0, high = F::kScale - 1, low = -F::kScale;
    stride *= sizeof(typename F::type);
    u64 clipped = 0;
    for (u64 f = 0; f < n; ++f, y += stride) {
        double v = static_cast<double>(from[f * channels]) * F::kScale;
        if (dither) {
            const u64 key = 2 * ((frame + f) * channels + c);  // wraps harmlessly at absurd indices
            v += unitFromKey(key) - unitFromKey(key + 1);
        }
        v = v > high + 1 ? high + 1 : v < low - 1 ? low - 1 : v;
        v = (v + kRound) - kRound;
        if (!(v <= high && v >= low)) ++clipped, v = v > high ? high : low;
        const auto q = static_cast<typename F::type>(v);
        std::memcpy(y, &q, sizeof q);
    }
    return clipped;
}

}  // namespace

bool knownFormat(int format) { return format >= 0 && format <= static_cast<int>(Format::kInt24); }

size_t bytesOf(Format format) {
    switch (format) {
        case Format::kFloat64:
            return 8;
        case Format::kInt16:
            return 2;
        default:
            return 4;
    }
}

template <typename S>
void load(const Buffers &in, u64 channels, u64 c, u64 from, u64 n, S *to) {
    if (n == 0) return;
    const char *x = in.sample(from, c, channels);
    const u64 stride = in.stride(channels);
    switch (in.format) {
        case Format::kFloat32:
            return loadAs<float>(x, stride, n, to);
        case Format::kFloat64:
            return loadAs<double>(x, stride, n, to);
        case Format::kInt16:
            return loadInt<Int16>(x, stride, n, to);
        case Format::kInt32:
            return loadInt<Int32>(x, stride, n, to);
        case Format::kInt24:
            return loadInt<Int24>(x, stride, n, to);
    }
}

template <typename S>
u64 store(const S *from, u64 n, u64 channels, const Buffers &out, u64 at, u64 frame, bool dither) {
    if (n == 0) return 0;
    const u64 stride = out.stride(channels);
    u64 clipped = 0;
    for (u64 c = 0; c < channels; ++c) {
        char *y = out.sample(at, c, channels);
        switch (out.format) {
            case Format::kFloat32:
                storeFloat<float>(from + c, n, channels, y, stride);
                break;
            case Format::kFloat64:
                storeFloat<double>(from + c, n, channels, y, stride);
                break;
            case Format::kInt16:
                clipped += storeInt<Int16>(from + c, n, channels, c, y, stride, frame, dither);
                break;
            case Format::kInt32:
                clipped += storeInt<Int32>(from + c, n, channels, c, y, stride, frame, dither);
                break;
            case Format::kInt24:
                clipped += storeInt<Int24>(from + c, n, channels, c, y, stride, frame, dither);
                break;
        }
    }
    return clipped;
}

template void load(const Buffers &, u64, u64, u64, u64, float *);
template void load(const Buffers &, u64, u64, u64, u64, double *);
template u64 store(const float *, u64, u64, const Buffers &, u64, u64, bool);
template u64 store(const double *, u64, u64, const Buffers &, u64, u64, bool);

}  // namespace zel::engine
