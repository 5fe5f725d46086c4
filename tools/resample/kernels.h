// The engine's inner products, compiled twice from this one source: for any x86-64 (kernels_generic.cpp) and
// with AVX2 and FMA (kernels_avx2.cpp), chosen at run time. Each translation unit puts them in its own namespace.
#ifndef ZEL_TOOLS_RESAMPLE_KERNELS_H
#define ZEL_TOOLS_RESAMPLE_KERNELS_H

#include "engine.h"

namespace resample {

// All channels of one output frame: a coefficient row, the channels' runs of source frames, the channel count,
// the row length (a multiple of kKernelLanes), and the sums out.
using FrameKernel = void (*)(const void *, const float *const *, u64, u64, double *);
constexpr u64 kKernelLanes = 16;

namespace kernels_generic {
FrameKernel frame(Preset::Precision precision);
}
namespace kernels_avx2 {
FrameKernel frame(Preset::Precision precision);
}

}  // namespace resample

#endif

#ifdef ZEL_KERNEL_NAMESPACE
#ifdef __AVX__
#include <immintrin.h>
#endif

namespace resample {
namespace ZEL_KERNEL_NAMESPACE {
namespace {

// The 32-byte vectors only pass between inlined helpers of one translation unit, never across an interface.
#pragma GCC diagnostic ignored "-Wpsabi"
typedef float F8 __attribute__((vector_size(32)));
typedef float F4 __attribute__((vector_size(16)));
typedef double D4 __attribute__((vector_size(32)));

template <typename V, typename T>
inline V load(const T *p) {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

#ifdef __AVX__
// GCC splits the generic conversion of four floats into halves through the stack; the instruction does it at once.
inline D4 widen(const float *p) { return (D4)_mm256_cvtps_pd(_mm_loadu_ps(p)); }
#else
inline D4 widen(const float *p) { return __builtin_convertvector(load<F4>(p), D4); }
#endif

// One coefficient row with two channels at once, each coefficient loaded once for both. Partial sums are
// added in a fixed order, so a kernel gives the same bits for a frame whatever block it falls in. Sums are in
// float for float coefficients unless kWide, else in double.
template <typename C, bool kWide>
inline void dotPair(const C *c, const float *x0, const float *x1, u64 n, double *out) {
    if constexpr (!kWide) {
        F8 a0 = {}, a1 = {}, b0 = {}, b1 = {};
        for (u64 j = 0; j < n; j += kKernelLanes) {
            const F8 c0 = load<F8>(c + j), c1 = load<F8>(c + j + 8);
            a0 += c0 * load<F8>(x0 + j);
            a1 += c1 * load<F8>(x0 + j + 8);
            b0 += c0 * load<F8>(x1 + j);
            b1 += c1 * load<F8>(x1 + j + 8);
        }
        const F8 a = a0 + a1, b = b0 + b1;
#ifdef __AVX__
        // Both channels' horizontal sums at once: pairs, then quads, then the two halves.
        const __m256 h = _mm256_hadd_ps(_mm256_hadd_ps((__m256)a, (__m256)b), _mm256_setzero_ps());
        const __m128 q = _mm_add_ps(_mm256_castps256_ps128(h), _mm256_extractf128_ps(h, 1));
        out[0] = _mm_cvtss_f32(q), out[1] = _mm_cvtss_f32(_mm_shuffle_ps(q, q, 1));
#else
        float sa = 0, sb = 0;
        for (int l = 0; l < 8; ++l) sa += a[l], sb += b[l];
        out[0] = sa, out[1] = sb;
#endif
    } else {
        D4 a[4] = {}, b[4] = {};
        for (u64 j = 0; j < n; j += kKernelLanes) {
            for (u64 q = 0; q < 4; ++q) {
                D4 cq;
                if constexpr (sizeof(C) == sizeof(float)) {
                    cq = widen(c + j + 4 * q);
                } else {
                    cq = load<D4>(c + j + 4 * q);
                }
                a[q] += cq * widen(x0 + j + 4 * q);
                b[q] += cq * widen(x1 + j + 4 * q);
            }
        }
        const D4 sa = (a[0] + a[1]) + (a[2] + a[3]), sb = (b[0] + b[1]) + (b[2] + b[3]);
        out[0] = (sa[0] + sa[1]) + (sa[2] + sa[3]);
        out[1] = (sb[0] + sb[1]) + (sb[2] + sb[3]);
    }
}

// Channels in pairs; a last odd channel is paired with itself.
template <typename C, bool kWide>
void frameKernel(const void *row, const float *const *x, u64 channels, u64 n, double *out) {
    const C *c = static_cast<const C *>(row);
    for (u64 ch = 0; ch < channels; ch += 2) {
        double pair[2];
        dotPair<C, kWide>(c, x[ch], x[ch + 1 < channels ? ch + 1 : ch], n, pair);
        out[ch] = pair[0];
        if (ch + 1 < channels) out[ch + 1] = pair[1];
    }
}

}  // namespace

FrameKernel frame(Preset::Precision precision) {
    if (precision == Preset::kFloat) return frameKernel<float, false>;
    if (precision == Preset::kMixed) return frameKernel<float, true>;
    return frameKernel<double, true>;
}

}  // namespace ZEL_KERNEL_NAMESPACE
}  // namespace resample
#endif
