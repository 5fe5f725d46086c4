// The engine's inner products, compiled twice from this one source: for any processor (kernels_generic.cpp) and
// with AVX2 (kernels_avx2.cpp). Each translation unit puts them in its own namespace and offers them as one
// KernelTable per precision; kernel_table.cpp chooses the table for the processor. Both give the same bits: the
// same operations in the same order (lanes are explicit, sums follow one tree) and no fused multiply-add anywhere
// (the library is built with -ffp-contract=off), so that any processor, or a compiler for another architecture,
// computes what this one does.
#ifndef ZEL_SRC_RESAMPLER_KERNELS_H
#define ZEL_SRC_RESAMPLER_KERNELS_H

#include "band_plan.h"
#include "presets.h"

namespace zel::engine {

// All channels of one or two output frames: their coefficient rows, their channels' runs of source frames
// (frame f's channel c at x[f * channels + c]), the frame count, the channel count, the row length (a multiple
// of 8 for float coefficients, of 4 for double ones), and the sums out (laid out as x).
template <typename S>
using FrameKernelOf = void (*)(const void *const *, const S *const *, u64, u64, u64, double *);
using FrameKernel = FrameKernelOf<float>;
constexpr u64 kKernelLanes = 16;
// A run of output frames at exact phases, all channels: frame i multiplies row phase[i] of the table (rows of n
// taps) with the source frames from whole[i] - origin on (planes[c][k] for frame k), and is written to out as
// the output's sample type. With `prefetch`, the rows of coming frames are fetched meanwhile (a table that may not
// fit the cache).
template <typename P, typename O>
using ExactKernelOf = void (*)(const void *table, u64 n, const u64 *whole, const u64 *phase, u64 count,
                               const P *const *planes, u64 origin, u64 channels, bool prefetch, O *out);
using ExactKernel = ExactKernelOf<float, float>;

// One unit of the band stage (see BandPlan) for one channel: from the unit's first source frame x, its 2 * B / D
// intermediate frames into out, using `work` (4 * N doubles). Float transforms for float presets, else double.
template <typename I, typename O>
using BandKernelOf = void (*)(const BandPlan &, const I *, O *, void *);
using BandKernel = BandKernelOf<float, float>;

// Interpolated phases for one or two channels: frame i's sums of rows phase[i] and phase[i] + 1 (of n taps) with
// the source frames from whole[i] - origin on, into sums[(2 i + r) * channels + c], for a leading run of the
// frames; returns how many (0 for other channel counts), the rest being the frame kernel's.
template <typename P>
using RowPairsOf = u64 (*)(const void *table, u64 n, const u64 *whole, const u64 *phase, u64 count,
                           const P *const *planes, u64 origin, u64 channels, bool prefetch, double *sums);

// Phases interpolated quadratically: row i of out (n taps, a multiple of 4) is, tap by tap, weight[3 i] times row
// base[i] of the table plus weight[3 i + 1] times the next plus weight[3 i + 2] times the one after, added in that
// order, for i < count.
using BlendKernel = void (*)(const double *table, u64 n, const u64 *base, const double *weight, u64 count,
                             double *out);

// Every kernel a preset computes with on one instruction set: on float frames in the preset's precision, and in
// double on double intermediate frames, from and to float or double samples.
struct KernelTable {
    FrameKernel frame;
    ExactKernel exact;
    BandKernel band;
    FrameKernelOf<double> frameD;
    ExactKernelOf<double, double> exactD;
    ExactKernelOf<double, float> exactDToFloat;
    BandKernelOf<double, double> bandD;
    BandKernelOf<float, double> bandFloatToD;
    RowPairsOf<float> rowPairs;
    RowPairsOf<double> rowPairsD;
    BlendKernel blend;
};

// Where a transform of vectors of `lanes` stores the bin that plain bit-reversed order puts at place p: each run
// of 2 lanes places holds its even places, then its odd ones (which saves the transforms' shuffles, see
// Transform::lastSpans): 4 lanes in double, 8 in float.
constexpr u64 placeInTransform(u64 p, u64 lanes) {
    return (p & ~(2 * lanes - 1)) | (p & 1) * lanes | (p & (2 * lanes - 1)) >> 1;
}

// The table for this processor: AVX2 where it has it, else the portable kernels; both give the same bits.
KernelTable kernelsFor(Preset::Precision precision);

namespace kernels_generic {
KernelTable table(Preset::Precision precision);
// The forward transform in double with a table for n points, for designing plans: spectra come from this one
// code path on every processor.
void forward(double *re, double *im, const double *twiddles, u64 n);
}  // namespace kernels_generic
namespace kernels_avx2 {
KernelTable table(Preset::Precision precision);
}  // namespace kernels_avx2

}  // namespace zel::engine

#endif

#ifdef ZEL_KERNEL_NAMESPACE
#include <algorithm>
#include <array>
#include <type_traits>
#include <utility>
#ifdef __AVX__
#include <immintrin.h>
#endif

namespace zel::engine {
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

template <typename V, typename T>
inline void store(T *p, V v) {
    __builtin_memcpy(p, &v, sizeof v);
}

#ifdef __AVX__
// GCC splits the generic conversion of four floats into halves through the stack; the instruction does it at once.
inline D4 widen(const float *p) { return (D4)_mm256_cvtps_pd(_mm_loadu_ps(p)); }
#else
inline D4 widen(const float *p) { return __builtin_convertvector(load<F4>(p), D4); }
#endif
inline D4 widen(const double *p) { return load<D4>(p); }

// F output frames at once, two channels each: frame f multiplies row c[f] with x0[f] and x1[f], or with x0[0]
// and x1[0] when kShared (frames that read the same source frames, which are then loaded once for every row).
// Each coefficient is loaded once for both channels; with kLone there is one channel (x1 is x0, out[f][1] is not
// set), which then costs half of a pair. A frame's partial sums are added in a fixed order whatever
// F is, so a kernel gives the same bits for a frame whatever block or pair it falls in. Sums are in float for
// float coefficients unless kWide, else in double.
template <typename C, bool kWide, u64 F, bool kShared, bool kLone, typename S>
inline void dotFrames(const C *const *c, const S *const *x0, const S *const *x1, u64 n, double (*out)[2]) {
    if constexpr (!kWide) {
        // Two accumulators per channel and frame taking alternate vectors, the first a last odd one (rows are
        // multiples of 8 long).
        F8 a0[F] = {}, a1[F] = {}, b0[F] = {}, b1[F] = {};
        const auto step = [&](u64 j, F8 *a, F8 *b) {
            for (u64 f = 0; f < F; ++f) {
                const F8 cf = load<F8>(c[f] + j);
                a[f] += cf * load<F8>(x0[kShared ? 0 : f] + j);
                if constexpr (!kLone) b[f] += cf * load<F8>(x1[kShared ? 0 : f] + j);
            }
        };
        u64 j = 0;
        for (; j + kKernelLanes <= n; j += kKernelLanes) step(j, a0, b0), step(j + 8, a1, b1);
        if (j < n) step(j, a0, b0);
        for (u64 f = 0; f < F; ++f) {
            const F8 a = a0[f] + a1[f], b = b0[f] + b1[f];
#ifdef __AVX__
            // Both channels' horizontal sums at once: pairs, then quads, then the two halves.
            const __m256 h = _mm256_hadd_ps(_mm256_hadd_ps((__m256)a, (__m256)b), _mm256_setzero_ps());
            const __m128 q = _mm_add_ps(_mm256_castps256_ps128(h), _mm256_extractf128_ps(h, 1));
            out[f][0] = _mm_cvtss_f32(q), out[f][1] = _mm_cvtss_f32(_mm_shuffle_ps(q, q, 1));
#else
            // The same tree as the instructions above, so that both kernels give the same bits.
            out[f][0] = ((a[0] + a[1]) + (a[2] + a[3])) + ((a[4] + a[5]) + (a[6] + a[7]));
            out[f][1] = ((b[0] + b[1]) + (b[2] + b[3])) + ((b[4] + b[5]) + (b[6] + b[7]));
#endif
        }
    } else {
        // Two accumulators per channel and frame, so that two frames sharing their source frames fit the
        // registers: each widened source vector then serves both rows.
        // Row lengths are multiples of 4: the accumulators take alternate vectors, the first a last odd one.
        D4 a[F][2] = {}, b[F][2] = {};
        const auto step = [&](u64 j, u64 q) {
            D4 s0[F], s1[F];
            for (u64 f = 0; f < (kShared ? 1 : F); ++f) {
                s0[f] = widen(x0[f] + j);
                if constexpr (!kLone) s1[f] = widen(x1[f] + j);
            }
            for (u64 f = 0; f < F; ++f) {
                D4 cq;
                if constexpr (sizeof(C) == sizeof(float)) {
                    cq = widen(c[f] + j);
                } else {
                    cq = load<D4>(c[f] + j);
                }
                a[f][q] += cq * s0[kShared ? 0 : f];
                if constexpr (!kLone) b[f][q] += cq * s1[kShared ? 0 : f];
            }
        };
        u64 j = 0;
        for (; j + 8 <= n; j += 8) step(j, 0), step(j + 4, 1);
        if (j < n) step(j, 0);
        for (u64 f = 0; f < F; ++f) {
            const D4 sa = a[f][0] + a[f][1], sb = b[f][0] + b[f][1];
            out[f][0] = (sa[0] + sa[1]) + (sa[2] + sa[3]);
            out[f][1] = (sb[0] + sb[1]) + (sb[2] + sb[3]);
        }
    }
}

// One pair of channels of one or two frames. Double sums pair frames only when they share their source frames
// or there is one channel: otherwise two frames' separate source vectors would not fit the registers.
template <typename C, bool kWide, bool kLone, typename S>
inline void framesSums(const C *const *c, const S *const *x0, const S *const *x1, u64 frames, u64 n,
                       double (*out)[2]) {
    if (frames == 2 && x0[0] == x0[1] && x1[0] == x1[1]) {
        dotFrames<C, kWide, 2, true, kLone>(c, x0, x1, n, out);
    } else if (frames == 2 && (!kWide || kLone)) {
        dotFrames<C, kWide, 2, false, kLone>(c, x0, x1, n, out);
    } else {
        dotFrames<C, kWide, 1, false, kLone>(c, x0, x1, n, out);
        if (frames == 2) dotFrames<C, kWide, 1, false, kLone>(c + 1, x0 + 1, x1 + 1, n, out + 1);
    }
}
// A last odd channel comes paired with itself (x1 is x0): it is summed alone, at half the cost.
template <typename C, bool kWide, typename S>
inline void pairSums(const C *const *c, const S *const *x0, const S *const *x1, u64 frames, u64 n,
                     double (*out)[2]) {
    if (x0[0] == x1[0]) {
        framesSums<C, kWide, true>(c, x0, x1, frames, n, out);
    } else {
        framesSums<C, kWide, false>(c, x0, x1, frames, n, out);
    }
}

// Channels in pairs; a last odd channel goes alone.
template <typename C, bool kWide, typename S = float>
void frameKernel(const void *const *rows, const S *const *x, u64 frames, u64 channels, u64 n, double *out) {
    const u64 last = (frames - 1) * channels;  // frame 1's offset, or frame 0's again for a single frame
    const C *c[2] = {static_cast<const C *>(rows[0]), static_cast<const C *>(rows[frames - 1])};
    for (u64 ch = 0; ch < channels; ch += 2) {
        const u64 other = ch + 1 < channels ? ch + 1 : ch;
        const S *x0[2] = {x[ch], x[last + ch]}, *x1[2] = {x[other], x[last + other]};
        double sums[2][2] = {};
        pairSums<C, kWide>(c, x0, x1, frames, n, sums);
        for (u64 f = 0; f < frames; ++f) {
            out[f * channels + ch] = sums[f][0];
            if (ch + 1 < channels) out[f * channels + ch + 1] = sums[f][1];
        }
    }
}

// Neighbouring lanes summed, as the AVX instructions do: a's pairs in the low half of each 128-bit lane, b's in
// the high half.
[[gnu::always_inline]] inline F8 pairwise(F8 a, F8 b) {
    return __builtin_shufflevector(a, b, 0, 2, 8, 10, 4, 6, 12, 14) +
           __builtin_shufflevector(a, b, 1, 3, 9, 11, 5, 7, 13, 15);
}
[[gnu::always_inline]] inline D4 pairwise(D4 a, D4 b) {
    return __builtin_shufflevector(a, b, 0, 4, 2, 6) + __builtin_shufflevector(a, b, 1, 5, 3, 7);
}

// A batch of sums, each a row c[k] times a run of frames x[k] (8 in float, 4 in double), reduced side by side:
// each in the tree that dotFrames gives a frame and channel, so the bits are the same, while what a sum costs
// beyond its products is shared by the batch. A row length N other than 0 is the row's n, known when compiled.
template <bool kWide, u64 N, typename C, typename S>
[[gnu::always_inline]] inline auto batchSums(const C *const *c, const S *const *x, u64 n) {
    if constexpr (N != 0) n = N;
    if constexpr (!kWide) {
        F8 sum[8];
        for (u64 k = 0; k < 8; ++k) {
            F8 a0 = {}, a1 = {};
            u64 j = 0;
            for (; j + kKernelLanes <= n; j += kKernelLanes) {
                a0 += load<F8>(c[k] + j) * load<F8>(x[k] + j);
                a1 += load<F8>(c[k] + j + 8) * load<F8>(x[k] + j + 8);
            }
            if (j < n) a0 += load<F8>(c[k] + j) * load<F8>(x[k] + j);
            sum[k] = a0 + a1;
        }
        const F8 q0 = pairwise(pairwise(sum[0], sum[1]), pairwise(sum[2], sum[3]));
        const F8 q1 = pairwise(pairwise(sum[4], sum[5]), pairwise(sum[6], sum[7]));
        return F8(__builtin_shufflevector(q0, q1, 0, 1, 2, 3, 8, 9, 10, 11) +
                  __builtin_shufflevector(q0, q1, 4, 5, 6, 7, 12, 13, 14, 15));
    } else {
        // The four sums' chains of additions interleaved, which hides their latency; two accumulators each, taking
        // alternate vectors (rows are multiples of 4 long), as dotFrames does.
        D4 a0[4] = {}, a1[4] = {}, sum[4];
        const auto product = [&](u64 k, u64 j) {
            if constexpr (sizeof(C) == sizeof(float)) {
                return widen(c[k] + j) * widen(x[k] + j);
            } else {
                return load<D4>(c[k] + j) * widen(x[k] + j);
            }
        };
        u64 j = 0;
        for (; j + 8 <= n; j += 8) {
            for (u64 k = 0; k < 4; ++k) a0[k] += product(k, j), a1[k] += product(k, j + 4);
        }
        if (j < n) {
            for (u64 k = 0; k < 4; ++k) a0[k] += product(k, j);
        }
        for (u64 k = 0; k < 4; ++k) sum[k] = a0[k] + a1[k];
        const D4 h0 = pairwise(sum[0], sum[1]), h1 = pairwise(sum[2], sum[3]);
        return D4(__builtin_shufflevector(h0, h1, 0, 1, 4, 5) + __builtin_shufflevector(h0, h1, 2, 3, 6, 7));
    }
}

template <u64 v>
using Constant = std::integral_constant<u64, v>;

template <typename C>
inline void prefetchRows(const C *row, u64 bytes) {
    const char *ahead = reinterpret_cast<const char *>(row);
    for (u64 b = 0; b < bytes && b < 1024; b += 64) __builtin_prefetch(ahead + b);
}

// One or two channels (K) of frames that each read R rows (1, or 2 for interpolated phases: phase[i] and phase[i]
// + 1 over the same source frames), 8 / (R K) frames at a time in float, 4 / (R K) in double. Frame i's row r of
// channel c goes to out[(i R + r) K + c], the output's own order for R = 1. N other than 0 is the row length n,
// known when compiled. Returns the frames done, whole batches only.
template <u64 R, u64 K, u64 N, typename C, bool kWide, typename S, typename O>
u64 batchRun(const C *rows, u64 n, const u64 *whole, const u64 *phase, u64 count, const S *const *planes,
             u64 origin, bool prefetch, O *out) {
    constexpr u64 kSums = kWide ? 4 : 8, kFrame = R * K, kBatch = kSums / kFrame;
    const C *c[kSums];
    const S *x[kSums];
    u64 i = 0;
    for (; i + kBatch <= count; i += kBatch) {
        for (u64 f = kBatch; prefetch && f < 2 * kBatch && i + f < count; ++f)
            prefetchRows(rows + phase[i + f] * n, R * n * sizeof(C));
        for (u64 k = 0; k < kSums; ++k) {
            const u64 f = i + k / kFrame, r = k / K % R;
            c[k] = rows + (phase[f] + r) * n, x[k] = planes[k % K] + (whole[f] - origin);
        }
        const auto y = batchSums<kWide, N>(c, x, n);
        if constexpr (sizeof(O) == sizeof(y[0])) {
            store(out + i * kFrame, y);
        } else if constexpr (kWide) {
            store(out + i * kFrame, __builtin_convertvector(y, F4));
        } else {
            for (u64 k = 0; k < kSums; ++k) out[i * kFrame + k] = static_cast<O>(y[k]);
        }
    }
    return i;
}

// batchRun for one or two channels (0 frames done for more), with the short rows of a two-stage conversion's
// polyphase filter unrolled whole.
template <u64 R, typename C, bool kWide, typename S, typename O>
u64 batches(const C *rows, u64 n, const u64 *whole, const u64 *phase, u64 count, const S *const *planes,
            u64 origin, u64 channels, bool prefetch, O *out) {
    if (channels > 2) return 0;
    const auto run = [&](auto k, auto length) {
        return batchRun<R, decltype(k)::value, decltype(length)::value, C, kWide>(
            rows, n, whole, phase, count, planes, origin, prefetch, out);
    };
    const auto withLength = [&](auto k) {
        if (n == 16) return run(k, Constant<16>{});
        if (n == 24) return run(k, Constant<24>{});
        if (n == 32) return run(k, Constant<32>{});
        if constexpr (kWide) {  // double rows are whole multiples of 4, float ones of 8
            if (n == 28) return run(k, Constant<28>{});
            if (n == 36) return run(k, Constant<36>{});
            if (n == 44) return run(k, Constant<44>{});
        }
        return run(k, Constant<0>{});
    };
    return channels == 1 ? withLength(Constant<1>{}) : withLength(Constant<2>{});
}

// Interpolated phases: see RowPairsOf.
template <typename C, bool kWide, typename S = float>
u64 rowPairs(const void *table, u64 n, const u64 *whole, const u64 *phase, u64 count, const S *const *planes,
             u64 origin, u64 channels, bool prefetch, double *sums) {
    return batches<2, C, kWide>(static_cast<const C *>(table), n, whole, phase, count, planes, origin,
                                channels, prefetch, sums);
}

// Quadratic interpolation: see BlendKernel.
void blendRows(const double *table, u64 n, const u64 *base, const double *weight, u64 count, double *out) {
    for (u64 i = 0; i < count; ++i) {
        const double *r0 = table + base[i] * n, *r1 = r0 + n, *r2 = r1 + n;
        const double *a = weight + 3 * i;
        for (u64 j = 0; j < n; j += 4)
            store(out + i * n + j,
                  load<D4>(r0 + j) * a[0] + load<D4>(r1 + j) * a[1] + load<D4>(r2 + j) * a[2]);
    }
}

// Two frames at a time, each with its own row; frames that read the same source frames go together (their source
// frames are then loaded once), so a frame goes alone when that lets its successors pair so. One or two channels
// go in batches first.
template <typename C, bool kWide, typename S = float, typename O = S>
void exactKernel(const void *table, u64 n, const u64 *whole, const u64 *phase, u64 count,
                 const S *const *planes, u64 origin, u64 channels, bool prefetch, O *out) {
    const C *rows = static_cast<const C *>(table);
    const u64 start =
        batches<1, C, kWide>(rows, n, whole, phase, count, planes, origin, channels, prefetch, out);
    for (u64 i = start, frames = 1; i < count; i += frames) {
        const bool shared = i + 1 < count && whole[i + 1] == whole[i];
        frames = i + 1 < count && (shared || i + 2 >= count || whole[i + 2] != whole[i + 1]) ? 2 : 1;
        const C *c[2] = {rows + phase[i] * n, rows + phase[i + frames - 1] * n};
        for (u64 f = 2; prefetch && f < 4 && i + f < count; ++f) {
            const char *ahead = reinterpret_cast<const char *>(rows + phase[i + f] * n);
            for (u64 b = 0; b < n * sizeof(C) && b < 1024; b += 64) __builtin_prefetch(ahead + b);
        }
        const u64 tap0 = whole[i] - origin, tap1 = whole[i + frames - 1] - origin;
        O *y = out + i * channels;
        for (u64 ch = 0; ch < channels; ch += 2) {
            const u64 other = ch + 1 < channels ? ch + 1 : ch;
            const S *x0[2] = {planes[ch] + tap0, planes[ch] + tap1};
            const S *x1[2] = {planes[other] + tap0, planes[other] + tap1};
            double sums[2][2] = {};
            pairSums<C, kWide>(c, x0, x1, frames, n, sums);
            for (u64 f = 0; f < frames; ++f) {
                y[f * channels + ch] = static_cast<O>(sums[f][0]);
                if (ch + 1 < channels) y[f * channels + ch + 1] = static_cast<O>(sums[f][1]);
            }
        }
    }
}

// Radix-2 transforms on split complex arrays of n >= 32 points. The forward one (decimation in frequency) leaves
// the spectrum in bit-reversed order and the inverse one (decimation in time, unscaled) takes it so: a
// convolution multiplies bin by bin and never needs the natural order. Each run of 2 kLanes places is stored even
// places first (see placeInTransform). Twiddles of span h (exp(-2 pi i j / 2h)) sit at
// [h - 1, 2h - 1) of the table, their imaginary parts n_table further.
template <typename T>
struct Transform {
    using V = std::conditional_t<sizeof(T) == 4, F8, D4>;
    static constexpr u64 kLanes = 32 / sizeof(T);

    static void multiply(V &r, V &i, V cr, V ci) {
        const V nr = r * cr - i * ci;
        i = r * ci + i * cr, r = nr;
    }
    static void multiplyConjugate(V &r, V &i, V cr, V ci) {
        const V nr = r * cr + i * ci;
        i = i * cr - r * ci, r = nr;
    }
    // The even lanes of a then of b, and the odd ones; a's lanes and b's alternating, from the first halves and
    // from the second.
    static V evens(V a, V b) {
        if constexpr (kLanes == 8) {
            return __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14);
        } else {
            return __builtin_shufflevector(a, b, 0, 2, 4, 6);
        }
    }
    static V odds(V a, V b) {
        if constexpr (kLanes == 8) {
            return __builtin_shufflevector(a, b, 1, 3, 5, 7, 9, 11, 13, 15);
        } else {
            return __builtin_shufflevector(a, b, 1, 3, 5, 7);
        }
    }
    static V zipLow(V a, V b) {
        if constexpr (kLanes == 8) {
            return __builtin_shufflevector(a, b, 0, 8, 1, 9, 2, 10, 3, 11);
        } else {
            return __builtin_shufflevector(a, b, 0, 4, 1, 5);
        }
    }
    static V zipHigh(V a, V b) {
        if constexpr (kLanes == 8) {
            return __builtin_shufflevector(a, b, 4, 12, 5, 13, 6, 14, 7, 15);
        } else {
            return __builtin_shufflevector(a, b, 2, 6, 3, 7);
        }
    }
    // A complex vector: real and imaginary parts.
    struct C {
        V r, i;
    };
    static C at(const T *re, const T *im, u64 k) { return {load<V>(re + k), load<V>(im + k)}; }
    static void put(T *re, T *im, u64 k, C v) { store(re + k, v.r), store(im + k, v.i); }
    static C add(C a, C b) { return {a.r + b.r, a.i + b.i}; }
    static C sub(C a, C b) { return {a.r - b.r, a.i - b.i}; }
    static C twiddled(C v, const T *w, u64 tableSize, u64 k) {
        multiply(v.r, v.i, load<V>(w + k), load<V>(w + tableSize + k));
        return v;
    }
    static C untwiddled(C v, const T *w, u64 tableSize, u64 k) {
        multiplyConjugate(v.r, v.i, load<V>(w + k), load<V>(w + tableSize + k));
        return v;
    }

    // x + i y and x - i y.
    static C plusI(C x, C y) { return {x.r - y.i, x.i + y.r}; }
    static C minusI(C x, C y) { return {x.r + y.i, x.i - y.r}; }

    // Spans of at least kLanes go two to a pass over the array as radix-4 butterflies (twiddles w, w^2 and w^3:
    // three complex products for four points where two radix-2 stages take four); the spans within a vector go
    // together in a last pass. The cubes' table lies 2 tableSize on, laid out as the twiddles' (see BandPlan).
    // Arrays longer than this many samples each go a block at a time past their first pass (forward) or before
    // their last (inverse): the same butterflies in another order, so the same bits, with a block's passes in the
    // first-level cache.
    static constexpr u64 kCachedPoints = 8192 / sizeof(T);

    // Spans h and h / 2 in one pass over blocks of 2h; with `from`, the points are read from it instead
    // (point j's real part from[j], its imaginary part from[second + j]), widened to T.
    template <typename S = T>
    static void forwardPair(T *re, T *im, const T *table, u64 tableSize, u64 n, u64 h,
                            const S *from = nullptr, u64 second = 0) {
        const u64 q = h / 2;
        const T *wh = table + h - 1, *wq = table + q - 1, *w3 = table + 2 * tableSize + q - 1;
        const auto point = [&](u64 j) {
            if (from == nullptr) return at(re, im, j);
            if constexpr (std::is_same_v<S, T>) {
                return C{load<V>(from + j), load<V>(from + second + j)};
            } else {
                return C{widen(from + j), widen(from + second + j)};
            }
        };
        for (u64 s = 0; s < n; s += 2 * h) {
            for (u64 j = s; j < s + q; j += kLanes) {
                const C a = point(j), b = point(j + q), c = point(j + h), d = point(j + h + q);
                const C a1 = add(a, c), b1 = add(b, d), c1 = sub(a, c), d1 = sub(b, d);
                put(re, im, j, add(a1, b1)), put(re, im, j + q, twiddled(sub(a1, b1), wq, tableSize, j - s));
                put(re, im, j + h, twiddled(minusI(c1, d1), wh, tableSize, j - s));
                put(re, im, j + h + q, twiddled(plusI(c1, d1), w3, tableSize, j - s));
            }
        }
    }

    static void forward(T *re, T *im, const T *table, u64 tableSize, u64 n) {
        if (n > kCachedPoints) return forwardOf<T>(nullptr, 0, re, im, table, tableSize, n);
        forwardRest(re, im, table, tableSize, n);
    }
    // Spans n / 2 and n / 4, then each quarter whole; the first pass reads points from[j] + i from[second + j]
    // where they are (re and im themselves without `from`), which saves copying them in (the same butterflies, so
    // the same bits).
    template <typename S>
    static void forwardOf(const S *from, u64 second, T *re, T *im, const T *table, u64 tableSize, u64 n) {
        forwardPair(re, im, table, tableSize, n, n / 2, from, second);
        for (u64 b = 0; b < n; b += n / 4) forward(re + b, im + b, table, tableSize, n / 4);
    }
    // Points k, k + 3, ... of x (indices taken modulo n) in the lanes of a vector, built in registers.
    template <typename S, std::size_t... l>
    [[gnu::always_inline]] static V strided(const S *x, u64 k, u64 n, std::index_sequence<l...>) {
        const auto point = [&](u64 i) { return static_cast<T>(x[i >= n ? i - n : i]); };
        return V{point(k + 3 * l)...};
    }
    // A transform of n = 3m points (m a power of two) as three of m points with no twiddles between them (the
    // prime-factor mapping): point (m a + 3 j) mod n goes to array a at j, a 3-point transform runs across the
    // arrays, then each array's own; bin k ends in array k mod 3 (at a m) at the bit-reversed place of k mod m.
    // So the three bins k + m r that a decimation by 3 folds together lie at one place of the three arrays. Point
    // j is read as from[j] + i from[second + j], widened to T; the table is m's.
    template <typename S>
    static void forwardThirds(const S *from, u64 second, T *re, T *im, const T *table, u64 m) {
        const u64 n = 3 * m;
        // The 3-point transform of a, b, c: a + b + c, and a - (b + c) / 2 -+ i sin(2 pi / 3) (b - c).
        const T half = T(0.5), root = T(0.86602540378443864676);
        for (u64 j = 0; j < m; j += kLanes) {
            C p[3];
            for (u64 a = 0; a < 3; ++a) {
                const u64 k = m * a + 3 * j;
                p[a] = {strided(from, k, n, std::make_index_sequence<kLanes>()),
                        strided(from + second, k, n, std::make_index_sequence<kLanes>())};
            }
            const C sum = add(p[1], p[2]), diff = sub(p[1], p[2]);
            const C mid{p[0].r - half * sum.r, p[0].i - half * sum.i};
            put(re, im, j, add(p[0], sum));
            put(re, im, m + j, C{mid.r + root * diff.i, mid.i - root * diff.r});
            put(re, im, 2 * m + j, C{mid.r - root * diff.i, mid.i + root * diff.r});
        }
        for (u64 a = 0; a < 3; ++a) forward(re + a * m, im + a * m, table, m, m);
    }
    // forwardThirds undone (unscaled): each array's inverse, then the 3-point inverse transforms across them, which
    // leave point (m a + 3 j) mod n in array a at j. The table is m's.
    static void inverseThirds(T *re, T *im, const T *table, u64 m) {
        for (u64 a = 0; a < 3; ++a) inverse(re + a * m, im + a * m, table, m, m);
        const T half = T(0.5), root = T(0.86602540378443864676);
        for (u64 j = 0; j < m; j += kLanes) {
            const C p0 = at(re, im, j), p1 = at(re, im, m + j), p2 = at(re, im, 2 * m + j);
            const C sum = add(p1, p2), diff = sub(p1, p2);
            const C mid{p0.r - half * sum.r, p0.i - half * sum.i};
            put(re, im, j, add(p0, sum));
            put(re, im, m + j, C{mid.r - root * diff.i, mid.i + root * diff.r});
            put(re, im, 2 * m + j, C{mid.r + root * diff.i, mid.i - root * diff.r});
        }
    }
    static void forwardRest(T *re, T *im, const T *table, u64 tableSize, u64 n) {
        u64 h = n / 2;
        for (; h >= 2 * kLanes; h /= 4) forwardPair(re, im, table, tableSize, n, h);
        if (h >= kLanes) {
            const T *wh = table + h - 1;
            for (u64 s = 0; s < n; s += 2 * h) {
                for (u64 j = s; j < s + h; j += kLanes) {
                    const C a = at(re, im, j), c = at(re, im, j + h);
                    put(re, im, j, add(a, c)), put(re, im, j + h, twiddled(sub(a, c), wh, tableSize, j - s));
                }
            }
        }
        // The spans within a vector, two vectors at a time.
        V wr, wi;
        spanFourTwiddles(table, tableSize, wr, wi);
        for (u64 s = 0; s < n; s += 2 * kLanes) {
            C x = at(re, im, s), y = at(re, im, s + kLanes);
            if constexpr (kLanes == 8) exchangeHalves(x, y, wr, wi);
            lastSpans(x, y, re + s, im + s);
        }
    }

    // Lane patterns over a and b (lanes of b counted from kLanes), for each group of four lanes (a vector in
    // double, a 128-bit half in float): lanes 0 and 1 of a's group then of b's, and lanes 2 and 3 so; b's odd
    // lanes in a; a's even lanes alternating with b's, and the odd ones so.
    static V firstPairs(V a, V b) {
        if constexpr (kLanes == 8) {
            return __builtin_shufflevector(a, b, 0, 1, 8, 9, 4, 5, 12, 13);
        } else {
            return __builtin_shufflevector(a, b, 0, 1, 4, 5);
        }
    }
    static V secondPairs(V a, V b) {
        if constexpr (kLanes == 8) {
            return __builtin_shufflevector(a, b, 2, 3, 10, 11, 6, 7, 14, 15);
        } else {
            return __builtin_shufflevector(a, b, 2, 3, 6, 7);
        }
    }
    static V oddFrom(V a, V b) {
        if constexpr (kLanes == 8) {
            return __builtin_shufflevector(a, b, 0, 9, 2, 11, 4, 13, 6, 15);
        } else {
            return __builtin_shufflevector(a, b, 0, 5, 2, 7);
        }
    }
    static V evenPairs(V a, V b) {
        if constexpr (kLanes == 8) {
            return __builtin_shufflevector(a, b, 0, 8, 2, 10, 4, 12, 6, 14);
        } else {
            return __builtin_shufflevector(a, b, 0, 4, 2, 6);
        }
    }
    static V oddPairs(V a, V b) {
        if constexpr (kLanes == 8) {
            return __builtin_shufflevector(a, b, 1, 9, 3, 11, 5, 13, 7, 15);
        } else {
            return __builtin_shufflevector(a, b, 1, 5, 3, 7);
        }
    }
    // Span 4's twiddles in each half (float's spans within a vector).
    static void spanFourTwiddles(const T *table, u64 tableSize, V &wr, V &wi) {
        for (u64 l = 0; l < kLanes; ++l) wr[l] = table[3 + l % 4], wi[l] = table[tableSize + 3 + l % 4];
    }
    // The first and the second halves of a and b (float).
    static V lowHalves(V a, V b) { return __builtin_shufflevector(a, b, 0, 1, 2, 3, 8, 9, 10, 11); }
    static V highHalves(V a, V b) { return __builtin_shufflevector(a, b, 4, 5, 6, 7, 12, 13, 14, 15); }

    // Float's span 4 for two 8-point groups x and y, their halves exchanged so that the butterflies run lane by
    // lane: x becomes the sums (x's first four, y's first four), y the differences times span 4's twiddles (the
    // sums' being 1). Then each half is a 4-point group for lastSpans.
    static void exchangeHalves(C &x, C &y, V wr, V wi) {
        const V pr = lowHalves(x.r, y.r), qr = highHalves(x.r, y.r);
        const V pi = lowHalves(x.i, y.i), qi = highHalves(x.i, y.i);
        x = {pr + qr, pi + qi}, y = {pr - qr, pi - qi};
        multiply(y.r, y.i, wr, wi);
    }
    // Spans 2 and 1 of the 4-point groups of x and y (a vector each in double, two in float) at once, their halves
    // exchanged so that the butterflies run lane by lane (shuffles are what bounds these spans): the same sums as
    // span by span, span 2's twiddles being 1 and -i, but stored as x0 x2 y0 y2 | x1 x3 y1 y3 (each 128-bit half
    // so in float), which saves shuffling them back: each run of 2 kLanes bins even places first (see
    // placeInTransform).
    static void lastSpans(C x, C y, T *re, T *im) {
        const V pr = firstPairs(x.r, y.r), qr = secondPairs(x.r, y.r);
        const V pi = firstPairs(x.i, y.i), qi = secondPairs(x.i, y.i);
        const V ar = pr + qr, ai = pi + qi, br = pr - qr, bi = pi - qi;
        // The odd lanes of b times -i.
        const V cr = oddFrom(br, bi), ci = oddFrom(bi, -br);
        const V lr = evenPairs(ar, cr), hr = oddPairs(ar, cr), li = evenPairs(ai, ci), hi = oddPairs(ai, ci);
        store(re, lr + hr), store(re + kLanes, lr - hr), store(im, li + hi), store(im + kLanes, li - hi);
    }
    // lastSpans undone: spans 1 and 2 of the inverse (span 2's twiddles 1 and i), the groups out as lastSpans took
    // them (in float, then exchangeHalves undone: span 4 with its conjugate twiddles), in natural order.
    static void firstSpans(const T *re, const T *im, V wr, V wi, C &x, C &y) {
        const V r0 = load<V>(re), r1 = load<V>(re + kLanes), i0 = load<V>(im), i1 = load<V>(im + kLanes);
        const V ar = r0 + r1, ai = i0 + i1, br = r0 - r1, bi = i0 - i1;
        // The odd lanes of b times i.
        const V cr = oddFrom(br, -bi), ci = oddFrom(bi, br);
        const V lr = evenPairs(ar, cr), hr = oddPairs(ar, cr), li = evenPairs(ai, ci), hi = oddPairs(ai, ci);
        const V sr = lr + hr, dr = lr - hr, si = li + hi, di = li - hi;
        x = {firstPairs(sr, dr), firstPairs(si, di)}, y = {secondPairs(sr, dr), secondPairs(si, di)};
        if constexpr (kLanes == 8) {
            multiplyConjugate(y.r, y.i, wr, wi);
            const C sum = add(x, y), difference = sub(x, y);
            x = {lowHalves(sum.r, difference.r), lowHalves(sum.i, difference.i)};
            y = {highHalves(sum.r, difference.r), highHalves(sum.i, difference.i)};
        }
    }
    // Spans h and 2h in one pass over blocks of 4h: the forward butterflies undone, inputs times conj(v)^2,
    // conj(v) and conj(v)^3, v the twiddle of span 2h, whose square is span h's.
    static void inversePair(T *re, T *im, const T *table, u64 tableSize, u64 n, u64 h) {
        const T *wh = table + h - 1, *w2 = table + 2 * h - 1, *w3 = table + 2 * tableSize + h - 1;
        for (u64 s = 0; s < n; s += 4 * h) {
            for (u64 j = s; j < s + h; j += kLanes) {
                inverse4(re, im, j, h, at(re, im, j), at(re, im, j + h), at(re, im, j + 2 * h),
                         at(re, im, j + 3 * h), {wh, w2, w3}, tableSize, j - s);
            }
        }
    }
    // One radix-4 butterfly of inversePair, its points at j, j + h, j + 2h and j + 3h, twiddles at j - s = k.
    static void inverse4(T *re, T *im, u64 j, u64 h, C a, C b, C c, C d, std::array<const T *, 3> w,
                         u64 tableSize, u64 k) {
        b = untwiddled(b, w[0], tableSize, k), c = untwiddled(c, w[1], tableSize, k);
        d = untwiddled(d, w[2], tableSize, k);
        const C a1 = add(a, b), b1 = sub(a, b), c1 = add(c, d), d1 = sub(c, d);
        put(re, im, j, add(a1, c1)), put(re, im, j + 2 * h, sub(a1, c1));
        put(re, im, j + h, plusI(b1, d1)), put(re, im, j + 3 * h, minusI(b1, d1));
    }
    // Span h alone, over blocks of 2h.
    static void inverseSingle(T *re, T *im, const T *table, u64 tableSize, u64 n, u64 h) {
        const T *wh = table + h - 1;
        for (u64 s = 0; s < n; s += 2 * h) {
            for (u64 j = s; j < s + h; j += kLanes) {
                const C a = at(re, im, j), b = untwiddled(at(re, im, j + h), wh, tableSize, j - s);
                put(re, im, j, add(a, b)), put(re, im, j + h, sub(a, b));
            }
        }
    }

    static void inverse(T *re, T *im, const T *table, u64 tableSize, u64 n) {
        if (n > kCachedPoints) {
            // The spans pair up from kLanes: n / kLanes an odd power of two ends on span n / 2 alone, else on the
            // pair n / 4, n / 2. The blocks before that pass whole, then the pass.
            const bool single = __builtin_ctzll(n / kLanes) % 2 == 1;
            const u64 block = single ? n / 2 : n / 4;
            for (u64 b = 0; b < n; b += block) inverse(re + b, im + b, table, tableSize, block);
            if (single) {
                inverseSingle(re, im, table, tableSize, n, n / 2);
            } else {
                inversePair(re, im, table, tableSize, n, n / 4);
            }
            return;
        }
        // The spans within a vector, two vectors at a time; in double, on into spans 4 and 8 in registers.
        V wr, wi;
        spanFourTwiddles(table, tableSize, wr, wi);
        const std::array<const T *, 3> w{table + 3, table + 7, table + 2 * tableSize + 3};
        for (u64 s = 0; s < n; s += 4 * kLanes) {
            C g[4];
            firstSpans(re + s, im + s, wr, wi, g[0], g[1]);
            firstSpans(re + s + 2 * kLanes, im + s + 2 * kLanes, wr, wi, g[2], g[3]);
            if constexpr (kLanes == 4) {
                inverse4(re, im, s, 4, g[0], g[1], g[2], g[3], w, tableSize, 0);
            } else {
                for (u64 q = 0; q < 4; ++q) put(re, im, s + q * kLanes, g[q]);
            }
        }
        u64 h = kLanes == 4 ? 16 : kLanes;
        for (; 4 * h <= n; h *= 4) inversePair(re, im, table, tableSize, n, h);
        if (2 * h <= n) inverseSingle(re, im, table, tableSize, n, h);
    }
};

// Two blocks of one channel in one complex transform, the first as the real part and the second as the
// imaginary part: the filter is real, so their convolutions stay apart, and a channel never depends on another.
template <typename T, typename S = float, typename O = S>
void bandUnit(const BandPlan &p, const S *x, O *out, void *work) {
    using F = Transform<T>;
    const u64 n = p.size, k = p.half, b = p.block;
    const T *table, *spectrum;
    if constexpr (sizeof(T) == sizeof(float)) {
        table = p.twiddlesF.data(), spectrum = p.spectrumF.data();
    } else {
        table = p.twiddlesD.data(), spectrum = p.spectrumD.data();
    }
    T *re = static_cast<T *>(work), *im = re + n;
    // The inverse's length; a transform of 3 x 2^k points works with the table of its power-of-two parts.
    const u64 points = n / p.decimation, tableSize = p.decimation == 3 ? points : n;
    if (p.decimation == 3) {
        // Every third frame: the spectrum folded in three, a third as long; its bins lie at one place of the three
        // arrays, so filtered and folded in one pass.
        using V = typename F::V;
        F::forwardThirds(x, b, re, im, table, points);
        for (u64 j = 0; j < points; j += F::kLanes) {
            const V s0 = load<V>(spectrum + j), s1 = load<V>(spectrum + points + j),
                    s2 = load<V>(spectrum + 2 * points + j);
            store(re + j,
                  (load<V>(re + j) * s0 + load<V>(re + points + j) * s1) + load<V>(re + 2 * points + j) * s2);
            store(im + j,
                  (load<V>(im + j) * s0 + load<V>(im + points + j) * s1) + load<V>(im + 2 * points + j) * s2);
        }
    } else if (p.factor == 1) {
        F::forwardOf(x, b, re, im, table, n, n);
        if (p.decimation == 2) {
            // Every other frame is the inverse of half the length of the spectrum folded on itself, which in
            // bit-reversed order adds neighbouring bins: filtered and folded in one pass.
            // The neighbours are a vector apart (see placeInTransform), so the sums come in natural order; two runs
            // of them interleave into the half-length transform's order.
            using V = typename F::V;
            constexpr u64 L = F::kLanes;
            const auto folded = [&](T *v, u64 j) {
                return load<V>(v + j) * load<V>(spectrum + j) +
                       load<V>(v + j + L) * load<V>(spectrum + j + L);
            };
            for (u64 j = 0; j < n; j += 4 * L) {
                for (T *v : {re, im}) {
                    const V lo = folded(v, j), up = folded(v, j + 2 * L);
                    store(v + j / 2, F::evens(lo, up)), store(v + j / 2 + L, F::odds(lo, up));
                }
            }
        } else {
            for (u64 j = 0; j < n; ++j) re[j] *= spectrum[j], im[j] *= spectrum[j];
        }
    } else if (p.factor == 3) {
        // Upsampling by three: the zero-stuffed signal's transform holds the source frames' (a third as long) in
        // each of its three arrays, at the same places (see forwardThirds).
        const u64 m = n / 3;
        T *hr = im + n, *hi = hr + m;
        F::forwardOf(x, b / 3, hr, hi, table, m, m);
        using V = typename F::V;
        for (u64 a = 0; a < 3; ++a) {
            for (u64 j = 0; j < m; j += F::kLanes) {
                const V s = load<V>(spectrum + a * m + j);
                store(re + a * m + j, load<V>(hr + j) * s), store(im + a * m + j, load<V>(hi + j) * s);
            }
        }
        F::inverseThirds(re, im, table, m);
        // Point t of a block lies in array a at j where t = (m a + 3 j) mod n, so a = t m mod 3 (m mod 3 is its own
        // inverse): the block's frames K to K + B, every third of them from one array, j moving on by one (and
        // wrapping once at most).
        for (u64 r = 0; r < 3; ++r) {
            const u64 t = k + r, a = t % 3 * (m % 3) % 3;
            u64 j = (t >= m * a ? t - m * a : t + n - m * a) / 3;
            const T *fr = re + a * m, *fi = im + a * m;
            for (u64 i = r; i < b;) {
                const u64 end = std::min(b, i + 3 * (m - j));
                for (; i < end; i += 3, ++j) {
                    out[i] = static_cast<O>(fr[j]) + O(0), out[b + i] = static_cast<O>(fi[j]) + O(0);
                }
                j = 0;
            }
        }
        return;
    } else {
        // Upsampling by two: the transform of the source frames, half as long, is the zero-stuffed signal's in
        // bit-reversed order with every bin twice.
        const u64 m = n / 2;
        T *hr = im + n, *hi = hr + m;
        F::forwardOf(x, b / 2, hr, hi, table, n, m);
        // Each run of 2L places holds the even ones, then the odd ones (see placeInTransform): each L bins of the
        // half transform in natural order, twice.
        using V = typename F::V;
        constexpr u64 L = F::kLanes;
        for (u64 j = 0; j < m; j += 2 * L) {
            for (auto [from, to] : {std::pair{hr, re}, std::pair{hi, im}}) {
                const V a = load<V>(from + j), c = load<V>(from + j + L);
                const V lo = F::zipLow(a, c), up = F::zipHigh(a, c);
                for (u64 q = 0; q < 4; ++q) {
                    const u64 at = 2 * j + L * q;
                    store(to + at, (q < 2 ? lo : up) * load<V>(spectrum + at));
                }
            }
        }
    }
    const u64 d = p.decimation, kept = b / d;
    F::inverse(re, im, table, tableSize, points);
    // Adding zero turns a -0 into +0, so that a computed silent unit equals one filled with zeros.
    for (u64 j = 0; j < kept; ++j) {
        out[j] = static_cast<O>(re[k / d + j]) + O(0);
        out[kept + j] = static_cast<O>(im[k / d + j]) + O(0);
    }
}

}  // namespace

KernelTable table(Preset::Precision precision) {
    const bool single = precision == Preset::kFloat;
    return {single ? frameKernel<float, false> : frameKernel<double, true>,
            single ? exactKernel<float, false> : exactKernel<double, true>,
            single ? bandUnit<float> : bandUnit<double>,
            frameKernel<double, true, double>,
            exactKernel<double, true, double>,
            exactKernel<double, true, double, float>,
            bandUnit<double, double>,
            bandUnit<double, float, double>,
            single ? rowPairs<float, false> : rowPairs<double, true>,
            rowPairs<double, true, double>,
            blendRows};
}

#ifdef ZEL_KERNEL_PLANS
void forward(double *re, double *im, const double *twiddles, u64 n) {
    if (n % 3 == 0) {
        std::vector<double> points(re, re + n);
        points.insert(points.end(), im, im + n);
        return Transform<double>::forwardThirds(points.data(), n, re, im, twiddles, n / 3);
    }
    Transform<double>::forward(re, im, twiddles, n, n);
}
#endif

}  // namespace ZEL_KERNEL_NAMESPACE
}  // namespace zel::engine
#endif
