#include "sample_formats.h"

#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__) && !defined(ZEL_NO_SIMD)
#include <emmintrin.h>
#endif

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

// Samples are read and written through memcpy, so that a caller's buffer need not be aligned for its type; the
// copies compile to plain loads and stores. Runs of contiguous samples get their own loop, which vectorises.
template <typename T>
T read(const char *x, u64 i) {
    T v;
    std::memcpy(&v, x + i * sizeof v, sizeof v);
    return v;
}
template <typename T>
void write(char *y, u64 i, T v) {
    std::memcpy(y + i * sizeof v, &v, sizeof v);
}

// The scale is a power of two: the product is exact but for the rounding of an int32 into float's 24 bits,
// which happens once either way. Samples already of the stream's type are copied (a product with 1 would cost as
// much as the copy).
template <typename T, typename S>
void loadAs(const char *x, u64 stride, u64 n, S *to, double fullScale) {
    if constexpr (std::is_same_v<T, S>) {
        if (stride == 1) return std::memcpy(to, x, n * sizeof(S)), void();
        for (u64 f = 0; f < n; ++f) to[f] = read<S>(x, f * stride);
        return;
    }
    const S scale = static_cast<S>(1 / fullScale);
    if (stride == 1) {
        for (u64 f = 0; f < n; ++f) to[f] = static_cast<S>(read<T>(x, f)) * scale;
    } else {
        for (u64 f = 0; f < n; ++f) to[f] = static_cast<S>(read<T>(x, f * stride)) * scale;
    }
}

template <typename T, typename S>
void storeFloat(const S *from, u64 fromStride, u64 n, char *y, u64 stride) {
    if (fromStride == 1 && stride == 1) {
        for (u64 i = 0; i < n; ++i) write(y, i, static_cast<T>(from[i]));
    } else {
        for (u64 i = 0; i < n; ++i) write(y, i * stride, static_cast<T>(from[i * fromStride]));
    }
}

// Rounds half to even by adding and taking away 1.5 * 2^(mantissa bits), exact for values within half of that,
// which the clamp before it ensures (a sample clamped there is clipped anyway); NaN is clipped to the low end.
// Written without branches, so that the loops around it vectorise: in float for 16-bit samples of float frames
// (exact there, and twice as many to a vector), else in double.
template <typename F, typename R>
typename F::type quantise(R v, unsigned &clipped) {
    constexpr R kRound = sizeof(R) == 4 ? R(12582912.0f) : R(6755399441055744.0);
    constexpr R high = static_cast<R>(F::kScale - 1), low = static_cast<R>(-F::kScale);
    const bool nan = v != v;
    v = v < low - 1 ? low - 1 : v;
    v = v > high + 1 ? high + 1 : v;
    v = (v + kRound) - kRound;
    const R rounded = v;
    v = v < low ? low : v;
    v = v > high ? high : v;
    v = nan ? low : v;
    clipped += rounded != v ? 1 : 0;
    return static_cast<typename F::type>(static_cast<int32_t>(v));
}

// 16-bit samples of float frames, the commonest integer output, eight at a time from every sample (interleaved)
// or every other (a planar channel of stereo): the same values and count as quantise, as every x86-64 processor
// has these instructions. The conversion rounds half to even as the default rounding mode does; maxps gives its
// second operand for NaN, which then clips to the low end; the pack saturates exactly where quantise clips.
// Returns the samples done.
u64 storeInt16Vector(const float *from, u64 fromStride, u64 n, char *y, unsigned &clipped) {
    u64 i = 0;
#if defined(__SSE2__) && !defined(ZEL_NO_SIMD)
    const __m128 scale = _mm_set1_ps(32768.0f), low = _mm_set1_ps(-32769.0f), high = _mm_set1_ps(32768.0f);
    const __m128i top = _mm_set1_epi32(32767), bottom = _mm_set1_epi32(-32768);
    __m128i count = _mm_setzero_si128();
    // A stride-2 run's last load reaches one sample past its last frame's: the next frame's, so stop before it.
    for (; i + 8 + (fromStride == 2) <= n; i += 8) {
        __m128i q[2];
        for (u64 h = 0; h < 2; ++h) {
            const float *x = from + (i + 4 * h) * fromStride;
            __m128 v = _mm_loadu_ps(x);
            if (fromStride == 2) v = _mm_shuffle_ps(v, _mm_loadu_ps(x + 4), _MM_SHUFFLE(2, 0, 2, 0));
            v = _mm_mul_ps(v, scale);
            q[h] = _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(v, low), high));
            count =
                _mm_sub_epi32(count, _mm_or_si128(_mm_cmpgt_epi32(q[h], top), _mm_cmplt_epi32(q[h], bottom)));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i *>(y + 2 * i), _mm_packs_epi32(q[0], q[1]));
    }
    alignas(16) int32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes), count);
    clipped += static_cast<unsigned>(lanes[0] + lanes[1] + lanes[2] + lanes[3]);
#else
    (void)from, (void)fromStride, (void)n, (void)y, (void)clipped;
#endif
    return i;
}

// n samples, every fromStride-th of `from` to every stride-th of y; sample i's dither is keyed by key + i * keyStep
// and key + i * keyStep + 1.
template <typename F, typename S>
u64 storeInt(const S *from, u64 fromStride, u64 n, char *y, u64 stride, bool dither, u64 key, u64 keyStep) {
    using R = std::conditional_t<sizeof(S) == 4 && F::kScale <= 32768, float, double>;
    constexpr auto scale = static_cast<R>(F::kScale);
    unsigned clipped = 0;  // n is at most a render chunk's samples
    if (dither) {
        for (u64 i = 0; i < n; ++i, key += keyStep) {  // keys wrap harmlessly at absurd indices
            const double v = static_cast<double>(from[i * fromStride]) * F::kScale;
            write(y, i * stride, quantise<F>(v + (unitFromKey(key) - unitFromKey(key + 1)), clipped));
        }
    } else {
        u64 i = 0;
        if constexpr (std::is_same_v<S, float> && std::is_same_v<F, Int16>)
            if (stride == 1 && fromStride <= 2) i = storeInt16Vector(from, fromStride, n, y, clipped);
        if (fromStride == 1 && stride == 1) {
            for (; i < n; ++i) write(y, i, quantise<F>(static_cast<R>(from[i]) * scale, clipped));
        } else {
            for (; i < n; ++i)
                write(y, i * stride, quantise<F>(static_cast<R>(from[i * fromStride]) * scale, clipped));
        }
    }
    return clipped;
}

template <typename S>
u64 storeRun(const S *from, u64 fromStride, u64 n, Format format, char *y, u64 stride, bool dither, u64 key,
             u64 keyStep) {
    switch (format) {
        case Format::kFloat32:
            return storeFloat<float>(from, fromStride, n, y, stride), 0;
        case Format::kFloat64:
            return storeFloat<double>(from, fromStride, n, y, stride), 0;
        case Format::kInt16:
            return storeInt<Int16>(from, fromStride, n, y, stride, dither, key, keyStep);
        case Format::kInt32:
            return storeInt<Int32>(from, fromStride, n, y, stride, dither, key, keyStep);
        case Format::kInt24:
            return storeInt<Int24>(from, fromStride, n, y, stride, dither, key, keyStep);
    }
    return 0;
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
            return loadAs<float>(x, stride, n, to, 1);
        case Format::kFloat64:
            return loadAs<double>(x, stride, n, to, 1);
        case Format::kInt16:
            return loadAs<int16_t>(x, stride, n, to, Int16::kScale);
        case Format::kInt32:
            return loadAs<int32_t>(x, stride, n, to, Int32::kScale);
        case Format::kInt24:
            return loadAs<int32_t>(x, stride, n, to, Int24::kScale);
    }
}

// Interleaved frames are one run of samples, whose flat index i = f * channels + c gives the dither's key
// 2 * ((frame + f) * channels + c) = 2 * (frame * channels + i); a planar channel is a run of its own.
template <typename S>
u64 store(const S *from, u64 n, u64 channels, const Buffers &out, u64 at, u64 frame, bool dither) {
    if (n == 0) return 0;
    if (!out.planar)
        return storeRun(from, 1, n * channels, out.format, out.sample(at, 0, channels), 1, dither,
                        2 * frame * channels, 2);
    u64 clipped = 0;
    for (u64 c = 0; c < channels; ++c)
        clipped += storeRun(from + c, channels, n, out.format, out.sample(at, c, channels), 1, dither,
                            2 * (frame * channels + c), 2 * channels);
    return clipped;
}

template <typename S>
void loadPair(const Buffers &in, u64 from, u64 n, S *left, S *right) {
    if (!in.native<S>()) {
        load(in, 2, 0, from, n, left), load(in, 2, 1, from, n, right);
        return;
    }
    const char *x = in.sample(from, 0, 2);
    for (u64 f = 0; f < n; ++f) left[f] = read<S>(x, 2 * f), right[f] = read<S>(x, 2 * f + 1);
}

template void load(const Buffers &, u64, u64, u64, u64, float *);
template void load(const Buffers &, u64, u64, u64, u64, double *);
template void loadPair(const Buffers &, u64, u64, float *, float *);
template void loadPair(const Buffers &, u64, u64, double *, double *);
template u64 store(const float *, u64, u64, const Buffers &, u64, u64, bool);
template u64 store(const double *, u64, u64, const Buffers &, u64, u64, bool);

}  // namespace zel::engine
