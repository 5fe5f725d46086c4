#include "polyphase_stage.h"

#include <zel/math.h>

#include <algorithm>
#include <type_traits>
#include <utility>

namespace zel::engine {

namespace {
constexpr u64 kCacheBytes = 256 * 1024;  // coefficient tables larger than this are fetched ahead
constexpr u64 kPrefetchBytes = 1024;     // of the next row; the processor streams the rest itself
}  // namespace

PolyphaseStage::PolyphaseStage(const mirelo::ResamplingMapper &mapper, PolyphaseTable &&table,
                               const Preset &preset, u64 channels)
    : mapper_(mapper),
      channels_(channels),
      half_(table.half),
      stride_(table.stride),
      phases_(table.phases),
      exact_(table.exact),
      quadratic_(table.quadratic),
      kernels_(kernelsFor(preset.precision)) {
    if (table.rows.empty()) return;
    if (preset.precision == Preset::kDouble) {
        coefficientsD_ = std::move(table.rows);
    } else {
        coefficientsF_.assign(table.rows.begin(), table.rows.end());
    }
    if (quadratic_)
        blended_.assign(std::clamp<u64>(kBlendBytes / (stride_ * sizeof(double)), 1, kBlendFrames) * stride_,
                        0.0);
    if (exact_) {
        const u64 s = mapper_.sourceCommonRate, t = mapper_.targetCommonRate;
        // Whole periods up to a render chunk's length, so that a chunk copies long runs; one where their source
        // frames would not fit (r S / T for r < T always does: it is below S).
        const u64 periods = (kRenderChunk + t - 1) / t;
        period_ = periods > 1 && s <= ~0ULL / periods ? periods * t : t;
        periodWhole_.resize(period_), periodPhase_.resize(period_);
        for (u64 r = 0; r < period_; ++r)
            safe_muldiv_llong_with_remainder(r, s, t, &periodWhole_[r], &periodPhase_[r]);
        periodStep_ = period_ / t * s;
    }
}

void PolyphaseStage::periodicPositions(u64 first, u64 n, u64 *whole, u64 *phase) const {
    // The caller has mapped the chunk, so every position fits: the period's start too, being no larger.
    u64 r = first % period_, base = first / period_ * periodStep_;
    for (u64 i = 0; i < n; r = 0, base += periodStep_) {
        const u64 run = std::min(n - i, period_ - r);
        for (u64 k = 0; k < run; ++k)
            whole[i + k] = base + periodWhole_[r + k], phase[i + k] = periodPhase_[r + k];
        i += run;
    }
}

const void *PolyphaseStage::row(u64 phase) const {
    if (!coefficientsD_.empty()) return &coefficientsD_[phase * stride_];
    return &coefficientsF_[phase * stride_];
}

template <typename P, typename S>
void PolyphaseStage::render(u64 first, u64 count, const P *const *planes, u64 planeStart, S *out,
                            const Segment *drift) const {
    const bool linear = coefficientsD_.empty() && coefficientsF_.empty();
    if (linear && drift == nullptr && mapper_.sourceCommonRate == mapper_.targetCommonRate) {
        // Equal rates (reduced to 1 / 1): output frame t is frame t, copied (downsampling by exactly 2 keeps the
        // band stage's every other frame so).
        // Two channels at a time, their planes held in registers (out might alias `planes` as far as the
        // compiler knows, which would reload them at every sample).
        const u64 channels = channels_, at = first - planeStart;
        u64 c = 0;
        for (; c + 1 < channels; c += 2) {
            const P *a = planes[c] + at, *b = planes[c + 1] + at;
            for (u64 i = 0; i < count; ++i)
                out[i * channels + c] = static_cast<S>(a[i]),
                                   out[i * channels + c + 1] = static_cast<S>(b[i]);
        }
        if (c < channels) {
            const P *a = planes[c] + at;
            for (u64 i = 0; i < count; ++i) out[i * channels + c] = static_cast<S>(a[i]);
        }
        return;
    }
    u64 whole[kRenderChunk], phase[kRenderChunk], remainder[kRenderChunk];
    for (u64 done = 0; done < count; done += kRenderChunk) {
        const u64 n = std::min(kRenderChunk, count - done);
        S *y = out + done * channels_;
        // The caller has mapped the block, so its last position fits and these cannot fail. With one phase per
        // position (P = T), the phase is the position's numerator itself.
        const u64 den = drift != nullptr ? drift->den() : mapper_.targetCommonRate;
        if (drift != nullptr) {
            drift->positions(first + done, n, linear ? 0 : phases_, whole, phase, remainder);
        } else if (!periodWhole_.empty()) {
            periodicPositions(first + done, n, whole, phase);
        } else if (exact_) {  // linear, or a copy
            mapper_.sourcePositionsFromTarget(whole, phase, first + done, n);
        } else {
            mapper_.sourcePhasesFromTarget(whole, phase, remainder, phases_, first + done, n);
        }
        if (linear) {
            renderLinear(whole, phase, den, n, planes, planeStart, y);
        } else if (quadratic_) {
            renderBlended(whole, phase, remainder, den, n, planes, planeStart, y);
        } else if (!exact_) {
            renderInterpolated(whole, phase, remainder, den, n, planes, planeStart, y);
        } else if constexpr (sizeof(P) == sizeof(double) && sizeof(S) == sizeof(double)) {
            kernels_.exactD(row(0), stride_, whole, phase, n, planes, half_ - 1 + planeStart, channels_,
                            prefetches(), y);
        } else if constexpr (sizeof(P) == sizeof(double)) {
            kernels_.exactDToFloat(row(0), stride_, whole, phase, n, planes, half_ - 1 + planeStart,
                                   channels_, prefetches(), y);
        } else {
            kernels_.exact(row(0), stride_, whole, phase, n, planes, half_ - 1 + planeStart, channels_,
                           prefetches(), y);
        }
    }
}

bool PolyphaseStage::prefetches() const {
    const u64 rowBytes = stride_ * (coefficientsD_.empty() ? sizeof(float) : sizeof(double));
    return rowBytes * (phases_ + !exact_) > kCacheBytes;
}

template <typename P, typename S>
void PolyphaseStage::renderLinear(const u64 *whole, const u64 *phase, u64 den, u64 n, const P *const *planes,
                                  u64 planeStart, S *y) const {
    const u64 channels = channels_;
    const u64 t = den;
    for (u64 i = 0; i < n; ++i) {
        // The exact weight phase / T becomes floating point only here; on a source frame, a copy.
        const double w = static_cast<double>(phase[i]) / static_cast<double>(t);
        for (u64 c = 0; c < channels; ++c) {
            const P *p = planes[c] + (whole[i] - planeStart);
            y[i * channels + c] = phase[i] == 0
                                      ? static_cast<S>(p[0])
                                      : static_cast<S>(p[0] + (static_cast<double>(p[1]) - p[0]) * w);
        }
    }
}

template <typename P, typename S>
void PolyphaseStage::renderInterpolated(const u64 *whole, const u64 *phase, const u64 *remainder, u64 den,
                                        u64 n, const P *const *planes, u64 planeStart, S *y) const {
    const u64 channels = channels_;
    const u64 t = den;
    const u64 rowBytes = stride_ * (coefficientsD_.empty() ? sizeof(float) : sizeof(double));
    const bool prefetch = prefetches();
    const P *x[2 * ZEL_MAX_CHANNELS];
    double sum[2 * ZEL_MAX_CHANNELS];
    // Phases p and p + 1 over the same source frames, weighted by the exact remainder over T: one or two channels
    // in batches first, then frame by frame, with the same sums either way.
    double pairs[4 * kRenderChunk];
    u64 batched = 0;
    if constexpr (sizeof(P) == sizeof(double)) {
        batched = kernels_.rowPairsD(row(0), stride_, whole, phase, n, planes, half_ - 1 + planeStart,
                                     channels, prefetch, pairs);
    } else {
        batched = kernels_.rowPairs(row(0), stride_, whole, phase, n, planes, half_ - 1 + planeStart,
                                    channels, prefetch, pairs);
    }
    // One or two channels (the only ones batched), each count known here, so that the loop vectorises.
    const auto combine = [&](auto k) {
        constexpr u64 K = decltype(k)::value;
        for (u64 i = 0; i < batched; ++i) {
            const double w = static_cast<double>(remainder[i]) / static_cast<double>(t);
            const double *s0 = pairs + 2 * i * K, *s1 = s0 + K;
            for (u64 c = 0; c < K; ++c) y[i * K + c] = static_cast<S>(s0[c] + (s1[c] - s0[c]) * w);
        }
    };
    if (channels == 1) {
        combine(std::integral_constant<u64, 1>{});
    } else if (batched > 0) {
        combine(std::integral_constant<u64, 2>{});
    }
    for (u64 i = batched; i < n; ++i) {
        const void *rows[2] = {row(phase[i]), row(phase[i] + 1)};
        const u64 tap0 = whole[i] - (half_ - 1) - planeStart;
        for (u64 c = 0; c < channels; ++c) x[c] = x[channels + c] = planes[c] + tap0;
        if (prefetch && i + 1 < n) {
            // The coming frame's rows are elsewhere in a table that may not fit the cache: fetch them meanwhile.
            const char *ahead = static_cast<const char *>(row(phase[i + 1]));
            for (u64 b = 0; b < std::min<u64>(rowBytes, kPrefetchBytes); b += 64)
                __builtin_prefetch(ahead + b);
        }
        if constexpr (sizeof(P) == sizeof(double)) {
            kernels_.frameD(rows, x, 2, channels, stride_, sum);
        } else {
            kernels_.frame(rows, x, 2, channels, stride_, sum);
        }
        const double w = static_cast<double>(remainder[i]) / static_cast<double>(t);
        for (u64 c = 0; c < channels; ++c)
            y[i * channels + c] = static_cast<S>(sum[c] + (sum[channels + c] - sum[c]) * w);
    }
}

template <typename P, typename S>
void PolyphaseStage::renderBlended(const u64 *whole, const u64 *phase, const u64 *remainder, u64 den, u64 n,
                                   const P *const *planes, u64 planeStart, S *y) const {
    if constexpr (sizeof(P) == sizeof(double)) {
        const u64 frames = blended_.size() / stride_;
        u64 base[kBlendFrames], index[kBlendFrames];
        double weight[3 * kBlendFrames];
        for (u64 i = 0; i < frames; ++i) index[i] = i;
        for (u64 done = 0; done < n; done += frames) {
            const u64 m = std::min(frames, n - done);
            for (u64 i = 0; i < m; ++i) {
                // Through rows base .. base + 2 around the position, at w rows past the first: the last interval
                // takes the two rows before it, as no row lies past row P.
                const u64 p = phase[done + i];
                base[i] = std::min(p, phases_ - 2);
                const double w = static_cast<double>(p - base[i]) +
                                 static_cast<double>(remainder[done + i]) / static_cast<double>(den);
                weight[3 * i] = (w - 1) * (w - 2) / 2, weight[3 * i + 1] = w * (2 - w),
                           weight[3 * i + 2] = w * (w - 1) / 2;
            }
            kernels_.blend(coefficientsD_.data(), stride_, base, weight, m, blended_.data());
            const u64 origin = half_ - 1 + planeStart;
            if constexpr (sizeof(S) == sizeof(double)) {
                kernels_.exactD(blended_.data(), stride_, whole + done, index, m, planes, origin, channels_,
                                false, y + done * channels_);
            } else {
                kernels_.exactDToFloat(blended_.data(), stride_, whole + done, index, m, planes, origin,
                                       channels_, false, y + done * channels_);
            }
        }
    }
}

// Float samples for every preset but those in double, which take double samples; with two stages, double
// intermediate frames to float samples too.
template void PolyphaseStage::render(u64, u64, const float *const *, u64, float *, const Segment *) const;
template void PolyphaseStage::render(u64, u64, const double *const *, u64, float *, const Segment *) const;
template void PolyphaseStage::render(u64, u64, const double *const *, u64, double *, const Segment *) const;

}  // namespace zel::engine
