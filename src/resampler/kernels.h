// The engine's inner products, compiled twice from this one source: for any x86-64 (kernels_generic.cpp) and
// with AVX2 and FMA (kernels_avx2.cpp), chosen at run time. Each translation unit puts them in its own namespace.
#ifndef ZEL_SRC_RESAMPLER_KERNELS_H
#define ZEL_SRC_RESAMPLER_KERNELS_H

#include "engine.h"

namespace resample {

// All channels of one or two output frames: their coefficient rows, their channels' runs of source frames
// (frame f's channel c at x[f * channels + c]), the frame count, the channel count, the row length (a multiple
// of kKernelLanes), and the sums out (laid out as x).
using FrameKernel = void (*)(const void *const *, const float *const *, u64, u64, u64, double *);
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

// F output frames at once, two channels each: frame f multiplies row c[f] with x0[f] and x1[f], or with x0[0]
// and x1[0] when kShared (frames that read the same source frames, which are then loaded once for every row).
// Each coefficient is loaded once for both channels. A frame's partial sums are added in a fixed order whatever
// F is, so a kernel gives the same bits for a frame whatever block or pair it falls in. Sums are in float for
// float coefficients unless kWide, else in double.
template <typename C, bool kWide, u64 F, bool kShared>
inline void dotFrames(const C *const *c, const float *const *x0, const float *const *x1, u64 n,
                      double (*out)[2]) {
    if constexpr (!kWide) {
        F8 a0[F] = {}, a1[F] = {}, b0[F] = {}, b1[F] = {};
        for (u64 j = 0; j < n; j += kKernelLanes) {
            for (u64 f = 0; f < F; ++f) {
                const F8 c0 = load<F8>(c[f] + j), c1 = load<F8>(c[f] + j + 8);
                a0[f] += c0 * load<F8>(x0[kShared ? 0 : f] + j);
                a1[f] += c1 * load<F8>(x0[kShared ? 0 : f] + j + 8);
                b0[f] += c0 * load<F8>(x1[kShared ? 0 : f] + j);
                b1[f] += c1 * load<F8>(x1[kShared ? 0 : f] + j + 8);
            }
        }
        for (u64 f = 0; f < F; ++f) {
            const F8 a = a0[f] + a1[f], b = b0[f] + b1[f];
#ifdef __AVX__
            // Both channels' horizontal sums at once: pairs, then quads, then the two halves.
            const __m256 h = _mm256_hadd_ps(_mm256_hadd_ps((__m256)a, (__m256)b), _mm256_setzero_ps());
            const __m128 q = _mm_add_ps(_mm256_castps256_ps128(h), _mm256_extractf128_ps(h, 1));
            out[f][0] = _mm_cvtss_f32(q), out[f][1] = _mm_cvtss_f32(_mm_shuffle_ps(q, q, 1));
#else
            float sa = 0, sb = 0;
            for (int l = 0; l < 8; ++l) sa += a[l], sb += b[l];
            out[f][0] = sa, out[f][1] = sb;
#endif
        }
    } else {
        // Two accumulators per channel and frame, so that two frames sharing their source frames fit the
        // registers: each widened source vector then serves both rows.
        D4 a[F][2] = {}, b[F][2] = {};
        for (u64 j = 0; j < n; j += kKernelLanes) {
            for (u64 q = 0; q < 4; ++q) {
                D4 s0[F], s1[F];
                for (u64 f = 0; f < (kShared ? 1 : F); ++f) {
                    s0[f] = widen(x0[f] + j + 4 * q), s1[f] = widen(x1[f] + j + 4 * q);
                }
                for (u64 f = 0; f < F; ++f) {
                    D4 cq;
                    if constexpr (sizeof(C) == sizeof(float)) {
                        cq = widen(c[f] + j + 4 * q);
                    } else {
                        cq = load<D4>(c[f] + j + 4 * q);
                    }
                    a[f][q & 1] += cq * s0[kShared ? 0 : f];
                    b[f][q & 1] += cq * s1[kShared ? 0 : f];
                }
            }
        }
        for (u64 f = 0; f < F; ++f) {
            const D4 sa = a[f][0] + a[f][1], sb = b[f][0] + b[f][1];
            out[f][0] = (sa[0] + sa[1]) + (sa[2] + sa[3]);
            out[f][1] = (sb[0] + sb[1]) + (sb[2] + sb[3]);
        }
    }
}

// Channels in pairs; a last odd channel is paired with itself. Double sums pair frames only when they share their
// source frames: otherwise two frames' separate source vectors would not fit the registers.
template <typename C, bool kWide>
void frameKernel(const void *const *rows, const float *const *x, u64 frames, u64 channels, u64 n,
                 double *out) {
    const u64 last = (frames - 1) * channels;  // frame 1's offset, or frame 0's again for a single frame
    const C *c[2] = {static_cast<const C *>(rows[0]), static_cast<const C *>(rows[frames - 1])};
    for (u64 ch = 0; ch < channels; ch += 2) {
        const u64 other = ch + 1 < channels ? ch + 1 : ch;
        const float *x0[2] = {x[ch], x[last + ch]}, *x1[2] = {x[other], x[last + other]};
        double sums[2][2] = {};
        if (frames == 2 && x0[0] == x0[1] && x1[0] == x1[1]) {
            dotFrames<C, kWide, 2, true>(c, x0, x1, n, sums);
        } else if (frames == 2 && !kWide) {
            dotFrames<C, kWide, 2, false>(c, x0, x1, n, sums);
        } else {
            dotFrames<C, kWide, 1, false>(c, x0, x1, n, sums);
            if (frames == 2) dotFrames<C, kWide, 1, false>(c + 1, x0 + 1, x1 + 1, n, sums + 1);
        }
        for (u64 f = 0; f < frames; ++f) {
            out[f * channels + ch] = sums[f][0];
            if (ch + 1 < channels) out[f * channels + ch + 1] = sums[f][1];
        }
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
