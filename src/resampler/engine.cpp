#include "engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "kernels.h"

namespace zel::engine {

namespace {

using Fraction = mirelo::ResamplingMapper::sample_fraction;

constexpr u64 kCacheBytes = 256 * 1024;  // coefficient tables larger than this are fetched ahead
constexpr u64 kPrefetchBytes = 1024;     // of the next row; the processor streams the rest itself

}  // namespace

namespace {

// What a caller may ask for: the channel count, and a bandwidth in range for a preset that has a passband. False
// with the reason otherwise.
bool acceptable(int channels, const Preset &preset, std::optional<double> bandwidth, std::string &error) {
    if (channels < 1 || channels > Engine::kMaxChannels) {
        error = "the channel count must be 1 to " + std::to_string(Engine::kMaxChannels) + ", not " +
                std::to_string(channels);
        return false;
    }
    if (bandwidth && !(*bandwidth >= kMinBandwidth && *bandwidth <= kMaxBandwidth)) {
        error = "the bandwidth must be 0.80 to 0.99 of the lower Nyquist frequency, not " +
                std::to_string(*bandwidth);
        return false;
    }
    if (bandwidth && preset.stopbandDb == 0) {
        error = std::string("the ") + preset.name + " preset has no passband to widen";
        return false;
    }
    return true;
}

// The polyphase stage's filter for the plan: edges from the passband to the lower Nyquist in one stage, or the
// plan's wide transition after a first stage.
PolyphaseTable polyphaseFor(const StagePlan &plan, const Preset &preset, double passEdge, bool &capped,
                            bool stopWhenCapped) {
    const u64 s = plan.stage2.sourceCommonRate, t = plan.stage2.targetCommonRate;
    PolyphaseTable table;
    table.phases = t;
    // Equal rates put every output on a source frame: it is copied, whatever the preset.
    if (preset.stopbandDb == 0 || s == t) return table;
    // Edges in cycles per (stage 2's) source sample: the lower Nyquist is half the source rate, or half the target
    // rate when downsampling, expressed in source samples.
    const double nyquist = 0.5 * std::min(1.0, static_cast<double>(t) / static_cast<double>(s));
    const bool one = plan.first == FirstStage::kNone;
    const double pass = one ? passEdge * nyquist : plan.pass2;
    const double stop = one ? preset.stopbandEdge * nyquist : plan.stop2;
    // After the band stage, every image of a tone lies near this filter's wide transition, where a Kaiser window is
    // at its weakest, and many fold into the output band: 10 dB more costs a tap or two.
    const double a = preset.stopbandDb + (plan.first == FirstStage::kBand ? 10 : 0);
    return polyphaseTable(a, pass, stop, t, preset, capped, stopWhenCapped);
}

}  // namespace

bool Engine::configure(const Fraction &sourceRate, const Fraction &targetRate, int channels,
                       const Preset &preset, std::string &error, std::optional<double> bandwidth) {
    if (!acceptable(channels, preset, bandwidth, error)) return false;
    mirelo::ResamplingMapper mapper;
    try {
        mapper.setSourceAndTargetSampleRate(sourceRate, targetRate);
    } catch (const std::exception &e) {
        error = std::string("invalid rates: ") + e.what();
        return false;
    }
    if (mapper.rateOverflow) {
        error = "the rates are too large to map exactly";
        return false;
    }
    mapper.reduce();  // the smallest denominator gives the fewest phases
    const double passEdge = bandwidth.value_or(preset.passbandEdge);
    bool capped = false;  // a filter's length met its cap
    StagePlan plan = planStages(mapper, preset, passEdge, capped);
    PolyphaseTable table = polyphaseFor(plan, preset, passEdge, capped, bandwidth.has_value());
    // A preset's own filters shorten at their cap; a requested bandwidth gets what it asked for or a refusal.
    if (capped && bandwidth) {
        error = "a bandwidth of " + std::to_string(*bandwidth).substr(0, 4) + " at the " + preset.name +
                " preset needs a filter longer than " + std::to_string(kMaxTaps) + " taps at these rates";
        return false;
    }
    adopt(mapper, std::move(plan), std::move(table), preset, channels);
    return true;
}

void Engine::adopt(const mirelo::ResamplingMapper &mapper, StagePlan &&plan, PolyphaseTable &&table,
                   const Preset &preset, int channels) {
    mapper_ = mapper;
    stage2_ = plan.stage2;
    first_ = plan.first;
    band_ = std::move(plan.band);
    decimation_ = plan.decimation;
    decimatorHalf_ = plan.decimatorHalf;
    // The decimator's taps in the precision its preset computes in (float sums for float, else double).
    const bool single = preset.precision == Preset::kFloat;
    decimatorF_.clear(), decimatorD_.clear(), coefficientsF_.clear(), coefficientsD_.clear();
    if (single) {
        decimatorF_.assign(plan.decimator.begin(), plan.decimator.end());
        coefficientsF_.assign(table.rows.begin(), table.rows.end());
    } else {
        decimatorD_ = std::move(plan.decimator);
        coefficientsD_.assign(table.rows.begin(), table.rows.end());
    }
    preset_ = &preset;
    channels_ = channels;
    half_ = table.half, stride_ = table.stride, phases_ = table.phases, exact_ = table.exact;
    work_.assign(first_ == FirstStage::kBand ? 4 * band_.size : 0, 0.0);
    kernels_ = kernelsFor(preset.precision);
}

const void *Engine::row(u64 phase) const {
    if (!coefficientsD_.empty()) return &coefficientsD_[phase * stride_];
    return &coefficientsF_[phase * stride_];
}

u64 Engine::reachBefore() const {
    if (first_ == FirstStage::kDecimate)
        return (half_ - 1) * decimation_ + decimatorHalf_ + (decimation_ - 1);
    if (first_ == FirstStage::kNone) return half_ - 1;
    // Intermediate frame j stands for frame D j at L S. Frame w - stageBefore(), with D w >= L whole(t) - (D - 1),
    // lies in a unit starting at most G - 1 before it, whose blocks reach K frames at L S further back.
    const u64 l = band_.factor, d = band_.decimation;
    return (d * (stageBefore() + unitFrames() - 1) + (d - 1) + band_.half + l - 1) / l;
}

u64 Engine::reachAfter() const {
    if (first_ == FirstStage::kDecimate) return (stride_ - half_) * decimation_ + decimatorHalf_;
    if (first_ == FirstStage::kNone) return stride_ - half_;
    // Frame w + stageAfter(), with D w <= L whole(t) + L - 1, lies in a unit ending at most G - 1 after it.
    const u64 l = band_.factor, d = band_.decimation;
    return (d * (stageAfter() + unitFrames() - 1) + l - 1 + band_.half) / l;
}

u64 Engine::unitSource(u64 unit) const {
    if (first_ == FirstStage::kDecimate) return unit * decimation_ - decimatorHalf_;
    // (D j - K) / L, exact, taken as the signed value it stands for.
    const auto j = static_cast<long long>(unit), k = static_cast<long long>(band_.half);
    return static_cast<u64>((static_cast<long long>(band_.decimation) * j - k) /
                            static_cast<long long>(band_.factor));
}

u64 Engine::unitSpan() const {
    if (first_ == FirstStage::kDecimate) return 2 * decimatorHalf_ + 1;
    return (2 * band_.block + 2 * band_.half) / band_.factor;
}

u64 Engine::unitStep() const {
    return first_ == FirstStage::kDecimate ? decimation_ : 2 * band_.block / band_.factor;
}

u64 Engine::unitOf(u64 j) const {
    const auto g = static_cast<long long>(unitFrames()), i = static_cast<long long>(j);
    return static_cast<u64>((i >= 0 ? i / g : -((g - 1 - i) / g)) * g);
}

u64 Engine::firstAudibleUnit() const {
    // Unit u reads up to u * step - offset + span - 1, with offset = (u * step - unitSource(u * G)).
    const u64 offset = 0 - unitSource(0);
    return (0 - (unitSpan() - 1 - offset) / unitStep()) * unitFrames();
}

template <typename S, typename M>
void Engine::stage1(const S *const *planes, u64 planeStart, u64 first, u64 count, M *const *out) const {
    if (first_ == FirstStage::kDecimate) return decimate(planes, planeStart, first, count, out);
    const u64 g = unitFrames();
    for (u64 done = 0; done < count; done += g) {
        const u64 x0 = unitSource(first + done) - planeStart;
        for (u64 c = 0; c < static_cast<u64>(channels_); ++c) {
            if constexpr (sizeof(S) == sizeof(double)) {
                kernels_.bandD(band_, planes[c] + x0, out[c] + done, work_.data());
            } else if constexpr (sizeof(M) == sizeof(double)) {
                kernels_.bandFloatToD(band_, planes[c] + x0, out[c] + done, work_.data());
            } else {
                kernels_.band(band_, planes[c] + x0, out[c] + done, work_.data());
            }
        }
    }
}

// The decimator's inner product, in the preset's precision: eight partial sums, so that the loop vectorises,
// always added in the same order.
template <typename C, typename S>
C Engine::dot(const C *taps, const S *x) const {
    C lane[8] = {};
    const u64 n = 2 * decimatorHalf_ + 1, whole = n / 8 * 8;
    for (u64 k = 0; k < whole; k += 8) {
        for (u64 l = 0; l < 8; ++l) lane[l] += taps[k + l] * static_cast<C>(x[k + l]);
    }
    for (u64 k = whole; k < n; ++k) lane[k - whole] += taps[k] * static_cast<C>(x[k]);
    return ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
}

template <typename S, typename M>
void Engine::decimate(const S *const *planes, u64 planeStart, u64 first, u64 count, M *const *out) const {
    for (u64 c = 0; c < static_cast<u64>(channels_); ++c) {
        for (u64 i = 0; i < count; ++i) {
            const S *x = planes[c] + ((first + i) * decimation_ - decimatorHalf_ - planeStart);
            out[c][i] = decimatorF_.empty() ? static_cast<M>(dot(decimatorD_.data(), x))
                                            : static_cast<M>(dot(decimatorF_.data(), x));
        }
    }
}

template <typename P, typename S>
void Engine::renderDecimated(u64 first, u64 count, const P *const *planes, u64 planeStart, S *out) const {
    u64 whole[kRenderChunk], phase[kRenderChunk], remainder[kRenderChunk];
    const bool linear = coefficientsD_.empty() && coefficientsF_.empty();
    for (u64 done = 0; done < count; done += kRenderChunk) {
        const u64 n = std::min(kRenderChunk, count - done);
        S *y = out + done * static_cast<u64>(channels_);
        // The caller has mapped the block, so its last position fits and these cannot fail. With one phase per
        // position (P = T), the phase is the position's numerator itself.
        if (exact_) {
            stage2_.sourcePositionsFromTarget(whole, phase, first + done, n);
        } else {
            stage2_.sourcePhasesFromTarget(whole, phase, remainder, phases_, first + done, n);
        }
        if (linear) {
            renderLinear(whole, phase, n, planes, planeStart, y);
        } else if (!exact_) {
            renderInterpolated(whole, phase, remainder, n, planes, planeStart, y);
        } else if constexpr (sizeof(P) == sizeof(double) && sizeof(S) == sizeof(double)) {
            kernels_.exactD(row(0), stride_, whole, phase, n, planes, half_ - 1 + planeStart,
                            static_cast<u64>(channels_), prefetches(), y);
        } else if constexpr (sizeof(P) == sizeof(double)) {
            kernels_.exactDToFloat(row(0), stride_, whole, phase, n, planes, half_ - 1 + planeStart,
                                   static_cast<u64>(channels_), prefetches(), y);
        } else {
            kernels_.exact(row(0), stride_, whole, phase, n, planes, half_ - 1 + planeStart,
                           static_cast<u64>(channels_), prefetches(), y);
        }
    }
}

bool Engine::prefetches() const {
    const u64 rowBytes = stride_ * (coefficientsD_.empty() ? sizeof(float) : sizeof(double));
    return rowBytes * (phases_ + !exact_) > kCacheBytes;
}

template <typename P, typename S>
void Engine::renderLinear(const u64 *whole, const u64 *phase, u64 n, const P *const *planes, u64 planeStart,
                          S *y) const {
    const auto channels = static_cast<u64>(channels_);
    const u64 t = stage2_.targetCommonRate;
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
void Engine::renderInterpolated(const u64 *whole, const u64 *phase, const u64 *remainder, u64 n,
                                const P *const *planes, u64 planeStart, S *y) const {
    const auto channels = static_cast<u64>(channels_);
    const u64 t = stage2_.targetCommonRate;
    const u64 rowBytes = stride_ * (coefficientsD_.empty() ? sizeof(float) : sizeof(double));
    const bool prefetch = prefetches();
    const P *x[2 * kMaxChannels];
    double sum[2 * kMaxChannels];
    // Phases p and p + 1 over the same source frames, weighted by the exact remainder over T.
    for (u64 i = 0; i < n; ++i) {
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

// Float samples for every preset but those in double, which take double samples.
template void Engine::renderDecimated(u64, u64, const float *const *, u64, float *) const;
template void Engine::renderDecimated(u64, u64, const double *const *, u64, float *) const;
template void Engine::renderDecimated(u64, u64, const double *const *, u64, double *) const;
template void Engine::stage1(const float *const *, u64, u64, u64, float *const *) const;
template void Engine::stage1(const float *const *, u64, u64, u64, double *const *) const;
template void Engine::stage1(const double *const *, u64, u64, u64, double *const *) const;

}  // namespace zel::engine
