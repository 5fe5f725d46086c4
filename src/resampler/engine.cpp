#include "engine.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "kernels.h"

namespace resample {

namespace {

using Fraction = mirelo::ResamplingMapper::sample_fraction;

constexpr double kPi = 3.14159265358979323846;
constexpr u64 kCacheBytes = 256 * 1024;       // coefficient tables larger than this are fetched ahead
constexpr u64 kPrefetchBytes = 1024;          // of the next row; the processor streams the rest itself
constexpr u64 kMaxCoefficients = 1ULL << 22;  // a table of at most 32 MB

const Preset kPresets[] = {
    {"linear", 0, 0, 0, Preset::kDouble, false, false},
    {"medium", 105, 0.9, 1.0, Preset::kFloat, false, false},
    {"high", 132, 0.9, 1.0, Preset::kFloat, false, false},
    {"very-high", 155, 0.9, 1.0, Preset::kDouble, false, true},
    {"max", 180, 0.9, 1.0, Preset::kDouble, true, true},
};

// The modified Bessel function I0, by its power series (all terms positive, so no cancellation).
double besselI0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; term > sum * 1e-18; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

// Half the length of a Kaiser-windowed lowpass attenuating by a dB over a transition of `width` cycles per
// sample (Kaiser's estimate), capped so that memory stays bounded; `capped` is set when the cap applies.
u64 kaiserHalfLength(double a, double width, bool &capped) {
    const double wanted = (a - 7.95) / (14.36 * width) + 1;
    capped = capped || wanted > static_cast<double>(Engine::kMaxTaps);
    const double length = std::min(wanted, static_cast<double>(Engine::kMaxTaps));
    return static_cast<u64>(std::ceil(length / 2));
}

// Kaiser's window shape for an attenuation of a dB.
double kaiserBeta(double a) { return 0.1102 * (a - 8.7); }

// The tap at distance x from the centre of a Kaiser-windowed sinc with the given cutoff (cycles per sample) whose
// window reaches `width` either side; 0 outside it.
double kaiserTap(double x, double width, double cutoff, double beta, double i0Beta) {
    const double u = x / width;
    if (u <= -1 || u >= 1) return 0;
    const double arg = 2 * cutoff * x;
    const double sinc = arg == 0 ? 1 : std::sin(kPi * arg) / (kPi * arg);
    return 2 * cutoff * sinc * besselI0(beta * std::sqrt(1 - u * u)) / i0Beta;
}

// The 2 * half + 1 taps of a linear-phase Kaiser-windowed sinc centred on tap `half`, with unit gain at DC.
std::vector<double> kaiserLowpass(double a, double cutoff, u64 half) {
    const double beta = kaiserBeta(a), i0Beta = besselI0(beta);
    std::vector<double> taps(2 * half + 1);
    double sum = 0;
    for (u64 k = 0; k < taps.size(); ++k) {
        const double x = static_cast<double>(k) - static_cast<double>(half);
        taps[k] = kaiserTap(x, static_cast<double>(half + 1), cutoff, beta, i0Beta);
        sum += taps[k];
    }
    for (double &c : taps) c /= sum;
    return taps;
}

// The band stage for lowpass edges `pass` and `stop` (cycles per intermediate frame) at L times the source rate.
// The transform length minimises the work per frame, N log N / (N - 2K).
BandPlan bandPlan(double a, double pass, double stop, u64 factor, u64 decimation, Preset::Precision precision,
                  bool &capped) {
    BandPlan p;
    p.factor = factor, p.decimation = decimation;
    p.half = kaiserHalfLength(a, stop - pass, capped);
    // The transform stays within its largest size.
    capped = capped || p.half > (1ULL << 14);
    if (capped) return p;
    p.half += p.half & 1;  // a unit then starts on a whole source frame when L is 2
    u64 n = 64;
    while (n < 4 * p.half) n *= 2;
    const auto cost = [&](u64 size) {
        return static_cast<double>(size) * std::log2(static_cast<double>(size)) /
               static_cast<double>(size - 2 * p.half);
    };
    // Twice the shortest: four times would save up to 3% of the work for twice the memory and latency.
    if (2 * n <= (1ULL << 16) && cost(2 * n) < cost(n)) n *= 2;
    p.size = n, p.block = n - 2 * p.half;

    std::vector<double> twiddles(2 * n, 0.0);
    for (u64 h = 1; h < n; h *= 2) {
        for (u64 j = 0; j < h; ++j) {
            const double angle = -kPi * static_cast<double>(j) / static_cast<double>(h);
            twiddles[h - 1 + j] = std::cos(angle), twiddles[n + h - 1 + j] = std::sin(angle);
        }
    }
    // The taps about tap 0, wrapping around: an even sequence, whose transform is real.
    const std::vector<double> taps = kaiserLowpass(a, (pass + stop) / 2, p.half);
    std::vector<double> re(n, 0.0), im(n, 0.0);
    for (u64 j = 0; j <= p.half; ++j) {
        const double g = taps[p.half + j] * static_cast<double>(factor) / static_cast<double>(n);
        re[j] = g, re[(n - j) % n] = g;
    }
    kernels_generic::forward(re.data(), im.data(), twiddles.data(), n);
    if (precision == Preset::kFloat) {
        p.twiddlesF.assign(twiddles.begin(), twiddles.end()), p.spectrumF.assign(re.begin(), re.end());
    } else {
        p.twiddlesD.assign(twiddles.begin(), twiddles.end()), p.spectrumD.assign(re.begin(), re.end());
    }
    return p;
}

}  // namespace

const Preset *findPreset(const std::string &name) {
    for (const Preset &p : kPresets) {
        if (name == p.name) return &p;
    }
    return nullptr;
}

const Preset *presetAt(int quality) {
    constexpr int kCount = sizeof kPresets / sizeof kPresets[0];
    return quality >= 0 && quality < kCount ? &kPresets[quality] : nullptr;
}

std::string presetNames() {
    std::string names;
    for (const Preset &p : kPresets) names += (names.empty() ? "" : ", ") + std::string(p.name);
    return names;
}

bool Engine::configure(const Fraction &sourceRate, const Fraction &targetRate, int channels,
                       const Preset &preset, std::string &error, std::optional<double> bandwidth) {
    if (channels < 1 || channels > kMaxChannels) {
        error = "the channel count must be 1 to " + std::to_string(kMaxChannels) + ", not " +
                std::to_string(channels);
        return false;
    }
    const bool banded = bandwidth.has_value();
    if (banded && !(*bandwidth >= kMinBandwidth && *bandwidth <= kMaxBandwidth)) {
        error = "the bandwidth must be 0.80 to 0.99 of the lower Nyquist frequency, not " +
                std::to_string(*bandwidth);
        return false;
    }
    if (banded && preset.stopbandDb == 0) {
        error = std::string("the ") + preset.name + " preset has no passband to widen";
        return false;
    }
    const double passEdge = bandwidth.value_or(preset.passbandEdge);
    bool capped = false;  // a filter's length met its cap
    // A preset's own filters shorten at their cap; a requested bandwidth gets what it asked for or a refusal.
    const auto tooLong = [&] {
        if (capped && banded)
            error = "a bandwidth of " + std::to_string(*bandwidth).substr(0, 4) + " at the " + preset.name +
                    " preset needs a filter longer than " + std::to_string(kMaxTaps) + " taps at these rates";
        return capped && banded;
    };
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
    const u64 s0 = mapper.sourceCommonRate, t0 = mapper.targetCommonRate;

    // Downsampling by 4 or more goes in two stages: a decimation by the integer M that leaves 2 to 3 source frames
    // per output (a filter with a wide transition, computed at every M-th source frame only), then the polyphase
    // filter from rate S / M. Stage 2 maps output frames to the decimated frames, t * S / (T * M), exactly.
    // Other ratios put the sharp filter in the band stage, at S or 2S, and leave the polyphase filter a wide
    // transition: from the passband to where the band stage's images begin.
    FirstStage first = FirstStage::kNone;
    u64 decimation = preset.stopbandDb > 0 && s0 / 4 >= t0 ? s0 / (2 * t0) : 1;
    mirelo::ResamplingMapper stage2 = mapper;
    std::vector<double> decimator;
    u64 decimatorHalf = 0;
    BandPlan band;
    double pass2 = 0, stop2 = 0;  // stage 2's edges in cycles per intermediate frame, with two stages
    if (decimation > 1) {
        stage2.setSourceAndTargetSampleRate({s0, decimation}, {t0, 1});
        stage2.reduce();
        // Pass the final passband, stop everything that decimation folds into the final output band.
        const double ratio = static_cast<double>(t0) / static_cast<double>(s0);
        const double pass = passEdge * 0.5 * ratio;
        const double stop = 1.0 / static_cast<double>(decimation) - 0.5 * ratio;
        decimatorHalf = kaiserHalfLength(preset.stopbandDb, stop - pass, capped);
        // The whole filter's span, in source frames, stays bounded; past it the ratio takes one long stage.
        const double width = 0.5 * (preset.stopbandEdge - passEdge) * ratio;
        const double span =
            (preset.stopbandDb - 7.95) / (14.36 * width) * 2.5 + 2.0 * static_cast<double>(decimatorHalf);
        if (span > static_cast<double>(kMaxTwoStageSpan)) {
            decimation = 1, decimatorHalf = 0, stage2 = mapper;
        } else {
            first = FirstStage::kDecimate;
            decimator = kaiserLowpass(preset.stopbandDb, (pass + stop) / 2, decimatorHalf);
            const double nyquist = 0.5 * static_cast<double>(stage2.targetCommonRate) /
                                   static_cast<double>(stage2.sourceCommonRate);
            pass2 = passEdge * nyquist, stop2 = preset.stopbandEdge * nyquist;
        }
    } else if (preset.stopbandDb > 0 && s0 != t0 && s0 <= ~0ULL / 2) {
        // Upsampling by two leaves room for the wide transition; downsampling by more than 4/3 has it at S, and
        // by 2.5 or more still at S / 2, where the band stage keeps every other frame.
        const double ds = static_cast<double>(s0), dt = static_cast<double>(t0);
        const u64 factor = 4 * dt > 3 * ds ? 2 : 1, kept = 2 * ds >= 5 * dt ? 2 : 1;
        stage2.setSourceAndTargetSampleRate({s0 * factor, kept}, {t0, 1});
        if (!stage2.rateOverflow) {
            stage2.reduce();
            first = FirstStage::kBand;
            // The lower Nyquist in cycles per frame at L S (the band stage's filter) and at L S / D (stage 2's).
            const double low = 0.5 * std::min(ds, dt) / (static_cast<double>(factor) * ds);
            const double low2 = low * static_cast<double>(kept);
            band = bandPlan(preset.stopbandDb, passEdge * low, preset.stopbandEdge * low, factor, kept,
                            preset.precision, capped);
            pass2 = passEdge * low2, stop2 = 1 - preset.stopbandEdge * low2;
        } else {
            stage2 = mapper;
        }
    }
    const u64 s = stage2.sourceCommonRate, t = stage2.targetCommonRate;

    u64 half = 1, stride = 2, phases = t;
    bool exact = true;
    std::vector<double> rows;
    // Equal rates put every output on a source frame: it is copied, whatever the preset.
    if (preset.stopbandDb > 0 && s != t) {
        // Edges in cycles per (stage 2's) source sample: the lower Nyquist is half the source rate, or half the
        // target rate when downsampling, expressed in source samples.
        const double nyquist = 0.5 * std::min(1.0, static_cast<double>(t) / static_cast<double>(s));
        const double pass = first == FirstStage::kNone ? passEdge * nyquist : pass2;
        const double stop = first == FirstStage::kNone ? preset.stopbandEdge * nyquist : stop2;
        // After the band stage, every image of a tone lies near this filter's wide transition, where a Kaiser
        // window is at its weakest, and many fold into the output band: 10 dB more costs a tap or two.
        const double a = preset.stopbandDb + (first == FirstStage::kBand ? 10 : 0);
        const double cutoff = (pass + stop) / 2, beta = kaiserBeta(a);
        // Capped, so that memory stays bounded at extreme ratios in one stage (48000 to 1 Hz would want millions
        // of taps): past the cap the transition widens and aliases rise.
        half = kaiserHalfLength(a, stop - pass, capped);
        if (tooLong()) return false;
        // Rows of whole cache lines: 16 float or 8 double coefficients.
        const u64 lanes = preset.precision == Preset::kDouble ? kKernelLanes / 2 : kKernelLanes;
        stride = (2 * half + lanes - 1) / lanes * lanes;
        // One phase per position while the table stays within its budget; else phases to interpolate between.
        const u64 rowBudget = kMaxCoefficients / stride;
        exact = t <= std::min(kMaxExactPhases, rowBudget);
        // Between two phases the error grows with the square of their spacing: the deepest preset takes 16 times
        // as many, which keeps it below its stopband.
        const u64 interpolated = kInterpolatedPhases * (preset.doubleSamples ? 16 : 1);
        phases = exact ? t : std::min(interpolated, rowBudget - 1);
        const u64 rowCount = phases + (exact ? 0 : 1);
        rows.assign(rowCount * stride, 0.0);
        const double i0Beta = besselI0(beta);
        for (u64 r = 0; r < rowCount; ++r) {
            double *row = &rows[r * stride];
            double sum = 0;
            for (u64 j = 0; j < 2 * half; ++j) {
                // Tap j reads source frame whole - (half - 1) + j, at distance x from the exact position.
                const double x = static_cast<double>(r) / static_cast<double>(phases) +
                                 static_cast<double>(half - 1) - static_cast<double>(j);
                row[j] = kaiserTap(x, static_cast<double>(half), cutoff, beta, i0Beta);
                sum += row[j];
            }
            // Unit gain at DC in every phase, so that no phase modulates the level.
            for (u64 j = 0; j < 2 * half; ++j) row[j] /= sum;
        }
    }

    if (tooLong()) return false;

    // Nothing is kept until everything has succeeded.
    mapper_ = mapper;
    stage2_ = stage2;
    first_ = first;
    band_ = std::move(band);
    decimation_ = decimation;
    decimatorHalf_ = decimatorHalf;
    // The decimator's taps in the precision its preset computes in (float sums for float, else double).
    decimatorD_.clear(), decimatorF_.clear();
    if (preset.precision == Preset::kFloat) {
        decimatorF_.assign(decimator.begin(), decimator.end());
    } else {
        decimatorD_.assign(decimator.begin(), decimator.end());
    }

    preset_ = &preset;
    channels_ = channels;
    half_ = half;
    stride_ = stride;
    phases_ = phases;
    exact_ = exact;
    // Stage 2's source frames for one block of output frames, the filter's reach, and the units' rounding.
    scratchFrames_ = first == FirstStage::kNone
                         ? 0
                         : static_cast<u64>(std::ceil(static_cast<double>(kStageBlock) *
                                                      static_cast<double>(s) / static_cast<double>(t))) +
                               stride + 2 * unitFrames() + 2;
    // Allocated by the first two-stage render: a stream computes its intermediate frames into its own buffers.
    std::vector<float>().swap(scratch_);
    std::vector<double>().swap(scratchD_);
    work_.assign(first == FirstStage::kBand ? 4 * band_.size : 0, 0.0);
    coefficientsD_.clear();
    coefficientsF_.clear();
    if (preset.precision == Preset::kDouble) {
        coefficientsD_.assign(rows.begin(), rows.end());
    } else {
        coefficientsF_.assign(rows.begin(), rows.end());
    }
    frame_ = kernels_generic::frame(preset.precision), exactRun_ = kernels_generic::exact(preset.precision);
    bandUnit_ = kernels_generic::band(preset.precision);
    DoubleKernels doubles = kernels_generic::doubles();
#if defined(__x86_64__)
    // ZEL_RESAMPLE_KERNEL=generic keeps the portable kernel, so that its results can be checked on any machine.
    const char *kernel = std::getenv("ZEL_RESAMPLE_KERNEL");
    const bool generic = kernel != nullptr && std::string(kernel) == "generic";
    __builtin_cpu_init();  // a shared library may be configured before the runtime's constructors have run
    if (!generic && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        frame_ = kernels_avx2::frame(preset.precision), exactRun_ = kernels_avx2::exact(preset.precision),
        bandUnit_ = kernels_avx2::band(preset.precision), doubles = kernels_avx2::doubles();
#endif
    frameD_ = doubles.frame, exactRunD_ = doubles.exact, exactRunDF_ = doubles.exactToFloat;
    bandUnitD_ = doubles.band, bandUnitFD_ = doubles.bandFromFloat;
    return true;
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

template <typename M>
M *Engine::scratch() const {
    std::vector<M> &frames = [this]() -> std::vector<M> & {
        if constexpr (sizeof(M) == sizeof(double)) {
            return scratchD_;
        } else {
            return scratch_;
        }
    }();
    if (frames.empty()) frames.assign(static_cast<u64>(channels_) * scratchFrames_, M(0));
    return frames.data();
}

template <typename S>
void Engine::render(u64 first, u64 count, const S *const *planes, u64 planeStart, S *out) const {
    if (first_ == FirstStage::kNone) return renderDecimated(first, count, planes, planeStart, out);
    if constexpr (sizeof(S) == sizeof(double)) {
        renderStaged<S, double>(first, count, planes, planeStart, out);
    } else if (preset_->doubleIntermediate) {
        renderStaged<S, double>(first, count, planes, planeStart, out);
    } else {
        renderStaged<S, float>(first, count, planes, planeStart, out);
    }
}

template <typename S, typename M>
void Engine::renderStaged(u64 first, u64 count, const S *const *planes, u64 planeStart, S *out) const {
    const auto channels = static_cast<u64>(channels_);
    const M *intermediate[kMaxChannels];
    // The intermediate frames of the last block, cacheStart .. cacheStart + cacheLength - 1: the next block shares
    // most of them.
    u64 cacheStart = 0, cacheLength = 0;
    for (u64 done = 0; done < count; done += kStageBlock) {
        const u64 n = std::min(kStageBlock, count - done);
        mirelo::ResamplingMapper::sample_mixed_fraction a, b;
        // The caller has mapped these frames, so their positions fit.
        stage2_.sourceFromTarget(a, first + done);
        stage2_.sourceFromTarget(b, first + done + n - 1);
        // Stage 2 reads intermediate frames from a.whole - stageBefore() to b.whole + stageAfter() (modulo 2^64),
        // computed in whole units.
        const u64 j0 = unitOf(a.whole - stageBefore());
        const u64 frames = unitOf(b.whole + stageAfter()) + unitFrames() - j0;
        // Frames kept from the previous block (a stream renders a few frames at a time, and their filters overlap)
        // are the same values: each is a function of the source frames around it alone.
        const u64 shift = j0 - cacheStart;
        const u64 kept = done > 0 && shift < cacheLength ? std::min(cacheLength - shift, frames) : 0;
        M *fresh[kMaxChannels];
        for (u64 c = 0; c < channels; ++c) {
            M *y = scratch<M>() + c * scratchFrames_;
            if (kept > 0 && shift > 0) std::memmove(y, y + shift, kept * sizeof(M));
            intermediate[c] = y, fresh[c] = y + kept;
        }
        stage1(planes, planeStart, j0 + kept, frames - kept, fresh);
        cacheStart = j0, cacheLength = frames;
        renderDecimated(first + done, n, intermediate, j0, out + done * channels);
    }
}

template <typename S, typename M>
void Engine::stage1(const S *const *planes, u64 planeStart, u64 first, u64 count, M *const *out) const {
    if (first_ == FirstStage::kDecimate) return decimate(planes, planeStart, first, count, out);
    const u64 g = unitFrames();
    for (u64 done = 0; done < count; done += g) {
        const u64 x0 = unitSource(first + done) - planeStart;
        for (u64 c = 0; c < static_cast<u64>(channels_); ++c) {
            if constexpr (sizeof(S) == sizeof(double)) {
                bandUnitD_(band_, planes[c] + x0, out[c] + done, work_.data());
            } else if constexpr (sizeof(M) == sizeof(double)) {
                bandUnitFD_(band_, planes[c] + x0, out[c] + done, work_.data());
            } else {
                bandUnit_(band_, planes[c] + x0, out[c] + done, work_.data());
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
    constexpr u64 kChunk = 256;
    u64 whole[kChunk], phase[kChunk], remainder[kChunk];
    const P *x[2 * kMaxChannels];
    double sum[2 * kMaxChannels];
    const u64 t = stage2_.targetCommonRate;
    const auto channels = static_cast<u64>(channels_);
    const bool linear = coefficientsD_.empty() && coefficientsF_.empty();
    const u64 rowBytes = stride_ * (coefficientsD_.empty() ? sizeof(float) : sizeof(double));
    const bool prefetch = rowBytes * (phases_ + !exact_) > kCacheBytes;
    // Points x[f * channels + c] at the first source frame that output frame i reads in channel c.
    const auto sources = [&](u64 f, u64 i) {
        const u64 tap0 = whole[i] - (half_ - 1) - planeStart;
        for (u64 c = 0; c < channels; ++c) x[f * channels + c] = planes[c] + tap0;
    };
    const auto fetch = [&](u64 i) {
        // A coming frame's row is elsewhere in a table that may not fit the cache: fetch it meanwhile.
        const char *ahead = static_cast<const char *>(row(phase[i]));
        for (u64 b = 0; b < std::min<u64>(rowBytes, kPrefetchBytes); b += 64) __builtin_prefetch(ahead + b);
    };
    for (u64 done = 0; done < count; done += kChunk) {
        const u64 n = std::min(kChunk, count - done);
        S *y = out + done * channels;
        // The caller has mapped the block, so its last position fits and these cannot fail. With one phase per
        // position (P = T), the phase is the position's numerator itself.
        if (exact_) {
            stage2_.sourcePositionsFromTarget(whole, phase, first + done, n);
        } else {
            stage2_.sourcePhasesFromTarget(whole, phase, remainder, phases_, first + done, n);
        }
        if (linear) {
            for (u64 i = 0; i < n; ++i) {
                // The exact weight phase / T becomes floating point only here; on a source frame, a copy.
                const double w = static_cast<double>(phase[i]) / static_cast<double>(t);
                sources(0, i);
                for (u64 c = 0; c < channels; ++c) {
                    const P *p = x[c];
                    y[i * channels + c] = phase[i] == 0
                                              ? static_cast<S>(p[0])
                                              : static_cast<S>(p[0] + (static_cast<double>(p[1]) - p[0]) * w);
                }
            }
        } else if (exact_) {
            if constexpr (sizeof(P) == sizeof(double) && sizeof(S) == sizeof(double)) {
                exactRunD_(row(0), stride_, whole, phase, n, planes, half_ - 1 + planeStart, channels,
                           prefetch, y);
            } else if constexpr (sizeof(P) == sizeof(double)) {
                exactRunDF_(row(0), stride_, whole, phase, n, planes, half_ - 1 + planeStart, channels,
                            prefetch, y);
            } else {
                exactRun_(row(0), stride_, whole, phase, n, planes, half_ - 1 + planeStart, channels,
                          prefetch, y);
            }
        } else {
            // Phases p and p + 1 over the same source frames, weighted by the exact remainder over T.
            for (u64 i = 0; i < n; ++i) {
                const void *rows[2] = {row(phase[i]), row(phase[i] + 1)};
                sources(0, i), sources(1, i);
                if (prefetch && i + 1 < n) fetch(i + 1);
                if constexpr (sizeof(P) == sizeof(double)) {
                    frameD_(rows, x, 2, channels, stride_, sum);
                } else {
                    frame_(rows, x, 2, channels, stride_, sum);
                }
                const double w = static_cast<double>(remainder[i]) / static_cast<double>(t);
                for (u64 c = 0; c < channels; ++c)
                    y[i * channels + c] = static_cast<S>(sum[c] + (sum[channels + c] - sum[c]) * w);
            }
        }
    }
}

// Float samples for every preset but those in double, which take double samples.
template void Engine::render(u64, u64, const float *const *, u64, float *) const;
template void Engine::render(u64, u64, const double *const *, u64, double *) const;
template void Engine::renderDecimated(u64, u64, const float *const *, u64, float *) const;
template void Engine::renderDecimated(u64, u64, const double *const *, u64, float *) const;
template void Engine::renderDecimated(u64, u64, const double *const *, u64, double *) const;
template void Engine::stage1(const float *const *, u64, u64, u64, float *const *) const;
template void Engine::stage1(const float *const *, u64, u64, u64, double *const *) const;
template void Engine::stage1(const double *const *, u64, u64, u64, double *const *) const;

}  // namespace resample
