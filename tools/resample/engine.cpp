#include "engine.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

namespace resample {

namespace {

using Fraction = mirelo::ResamplingMapper::sample_fraction;

constexpr double kPi = 3.14159265358979323846;
constexpr u64 kLanes = 16;  // rows are padded to a multiple of this, so kernels have no tail
constexpr u64 kMaxCoefficients = 1ULL << 26;  // 512 MB of double coefficients: refuse longer designs

const Preset kPresets[] = {
    {"linear", 0, 0, 0, true},
    {"medium", 115, 0.9, 1.0, false},
    {"high", 140, 0.9, 1.0, true},
    {"very-high", 165, 0.9, 1.0, true},
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

// Dot products of a coefficient row with a run of source frames. Each keeps kLanes partial sums and adds them in
// a fixed order, so one kernel gives the same bits for a frame whatever block it falls in.
float dotFloatGeneric(const float *c, const float *x, u64 n) {
    float lane[kLanes] = {};
    for (u64 j = 0; j < n; j += kLanes) {
        for (u64 l = 0; l < kLanes; ++l) lane[l] += c[j + l] * x[j + l];
    }
    for (u64 width = kLanes / 2; width > 0; width /= 2) {
        for (u64 l = 0; l < width; ++l) lane[l] += lane[l + width];
    }
    return lane[0];
}

double dotDoubleGeneric(const double *c, const float *x, u64 n) {
    double lane[kLanes] = {};
    for (u64 j = 0; j < n; j += kLanes) {
        for (u64 l = 0; l < kLanes; ++l) lane[l] += c[j + l] * static_cast<double>(x[j + l]);
    }
    for (u64 width = kLanes / 2; width > 0; width /= 2) {
        for (u64 l = 0; l < width; ++l) lane[l] += lane[l + width];
    }
    return lane[0];
}

#if defined(__x86_64__)
__attribute__((target("avx2,fma"))) float dotFloatAvx2(const float *c, const float *x, u64 n) {
    __m256 a = _mm256_setzero_ps(), b = _mm256_setzero_ps();
    for (u64 j = 0; j < n; j += kLanes) {
        a = _mm256_fmadd_ps(_mm256_loadu_ps(c + j), _mm256_loadu_ps(x + j), a);
        b = _mm256_fmadd_ps(_mm256_loadu_ps(c + j + 8), _mm256_loadu_ps(x + j + 8), b);
    }
    const __m256 s = _mm256_add_ps(a, b);
    __m128 h = _mm_add_ps(_mm256_castps256_ps128(s), _mm256_extractf128_ps(s, 1));
    h = _mm_add_ps(h, _mm_movehl_ps(h, h));
    h = _mm_add_ss(h, _mm_movehdup_ps(h));
    return _mm_cvtss_f32(h);
}

__attribute__((target("avx2,fma"))) double dotDoubleAvx2(const double *c, const float *x, u64 n) {
    __m256d a = _mm256_setzero_pd(), b = _mm256_setzero_pd(), d = _mm256_setzero_pd(),
            e = _mm256_setzero_pd();
    for (u64 j = 0; j < n; j += kLanes) {
        const __m256 x0 = _mm256_loadu_ps(x + j), x1 = _mm256_loadu_ps(x + j + 8);
        a = _mm256_fmadd_pd(_mm256_loadu_pd(c + j), _mm256_cvtps_pd(_mm256_castps256_ps128(x0)), a);
        b = _mm256_fmadd_pd(_mm256_loadu_pd(c + j + 4), _mm256_cvtps_pd(_mm256_extractf128_ps(x0, 1)), b);
        d = _mm256_fmadd_pd(_mm256_loadu_pd(c + j + 8), _mm256_cvtps_pd(_mm256_castps256_ps128(x1)), d);
        e = _mm256_fmadd_pd(_mm256_loadu_pd(c + j + 12), _mm256_cvtps_pd(_mm256_extractf128_ps(x1, 1)), e);
    }
    const __m256d s = _mm256_add_pd(_mm256_add_pd(a, b), _mm256_add_pd(d, e));
    __m128d h = _mm_add_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
    h = _mm_add_sd(h, _mm_unpackhi_pd(h, h));
    return _mm_cvtsd_f64(h);
}
#endif

}  // namespace

const Preset *findPreset(const std::string &name) {
    for (const Preset &p : kPresets) {
        if (name == p.name) return &p;
    }
    return nullptr;
}

std::string presetNames() {
    std::string names;
    for (const Preset &p : kPresets) names += (names.empty() ? "" : ", ") + std::string(p.name);
    return names;
}

bool Engine::configure(const Fraction &sourceRate, const Fraction &targetRate, int channels,
                       const Preset &preset, std::string &error) {
    if (channels < 1 || channels > kMaxChannels) {
        error = "the channel count must be 1 to " + std::to_string(kMaxChannels) + ", not " +
                std::to_string(channels);
        return false;
    }
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
    const u64 s = mapper.sourceCommonRate, t = mapper.targetCommonRate;

    u64 half = 1, stride = 2, phases = t;
    bool exact = true;
    std::vector<double> rows;
    if (preset.stopbandDb > 0) {
        // Edges in cycles per source sample: the lower Nyquist is half the source rate, or half the target rate
        // when downsampling, expressed in source samples.
        const double nyquist = 0.5 * std::min(1.0, static_cast<double>(t) / static_cast<double>(s));
        const double pass = preset.passbandEdge * nyquist, stop = preset.stopbandEdge * nyquist;
        const double cutoff = (pass + stop) / 2, a = preset.stopbandDb;
        // Kaiser's estimates of the window's shape and length for an attenuation of a dB over the transition.
        const double beta = 0.1102 * (a - 8.7);
        const double length = (a - 7.95) / (14.36 * (stop - pass)) + 1;
        if (!(length < 1e9)) {
            error = "the conversion needs a filter too long for this preset";
            return false;
        }
        half = static_cast<u64>(std::ceil(length / 2));
        stride = (2 * half + kLanes - 1) / kLanes * kLanes;
        exact = t <= kMaxExactPhases;
        phases = exact ? t : kInterpolatedPhases;
        const u64 rowCount = phases + (exact ? 0 : 1);
        if (stride > kMaxCoefficients / rowCount) {
            error = "the conversion needs a filter of " + std::to_string(2 * half) + " taps in " +
                    std::to_string(rowCount) + " phases, more than this tool holds";
            return false;
        }
        rows.assign(rowCount * stride, 0.0);
        const double i0Beta = besselI0(beta);
        for (u64 r = 0; r < rowCount; ++r) {
            double *row = &rows[r * stride];
            double sum = 0;
            for (u64 j = 0; j < 2 * half; ++j) {
                // Tap j reads source frame whole - (half - 1) + j, at distance x from the exact position.
                const double x = static_cast<double>(r) / static_cast<double>(phases) +
                                 static_cast<double>(half - 1) - static_cast<double>(j);
                const double u = x / static_cast<double>(half);
                if (u <= -1 || u >= 1) continue;
                const double arg = 2 * cutoff * x;
                const double sinc = arg == 0 ? 1 : std::sin(kPi * arg) / (kPi * arg);
                row[j] = 2 * cutoff * sinc * besselI0(beta * std::sqrt(1 - u * u)) / i0Beta;
                sum += row[j];
            }
            // Unit gain at DC in every phase, so that no phase modulates the level.
            for (u64 j = 0; j < 2 * half; ++j) row[j] /= sum;
        }
    }

    // Nothing is kept until everything has succeeded.
    mapper_ = mapper;
    preset_ = &preset;
    channels_ = channels;
    half_ = half;
    stride_ = stride;
    phases_ = phases;
    exact_ = exact;
    coefficientsD_.clear();
    coefficientsF_.clear();
    if (preset.doublePrecision) {
        coefficientsD_ = std::move(rows);
    } else {
        coefficientsF_.assign(rows.begin(), rows.end());
    }
    dotF_ = dotFloatGeneric;
    dotD_ = dotDoubleGeneric;
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        dotF_ = dotFloatAvx2;
        dotD_ = dotDoubleAvx2;
    }
#endif
    return true;
}

void Engine::render(u64 first, u64 count, const float *const *planes, i64 planeStart, float *out) const {
    constexpr u64 kChunk = 256;
    u64 whole[kChunk], phase[kChunk], remainder[kChunk];
    const u64 t = mapper_.targetCommonRate;
    const auto channels = static_cast<u64>(channels_);
    const bool linear = preset_->stopbandDb == 0;
    for (u64 done = 0; done < count; done += kChunk) {
        const u64 n = std::min(kChunk, count - done);
        // The caller has mapped the block, so its last position fits and this cannot fail.
        mapper_.sourcePhasesFromTarget(whole, phase, remainder, phases_, first + done, n);
        for (u64 i = 0; i < n; ++i) {
            const i64 tap0 = static_cast<i64>(whole[i]) - static_cast<i64>(half_ - 1) - planeStart;
            float *y = out + (done + i) * channels;
            for (u64 c = 0; c < channels; ++c) {
                const float *x = planes[c] + tap0;
                if (linear) {
                    // The exact weight phase / T becomes floating point only here; on a source frame, a copy.
                    const double w = static_cast<double>(phase[i]) / static_cast<double>(t);
                    y[c] = phase[i] == 0 ? x[0]
                                         : static_cast<float>(x[0] + (static_cast<double>(x[1]) - x[0]) * w);
                } else if (exact_ && !coefficientsD_.empty()) {
                    y[c] = static_cast<float>(dotD_(&coefficientsD_[phase[i] * stride_], x, stride_));
                } else if (exact_) {
                    y[c] = dotF_(&coefficientsF_[phase[i] * stride_], x, stride_);
                } else {
                    // Between phases p and p + 1, weighted by the exact remainder over T.
                    const double w = static_cast<double>(remainder[i]) / static_cast<double>(t);
                    const double a = coefficientsD_.empty()
                                         ? dotF_(&coefficientsF_[phase[i] * stride_], x, stride_)
                                         : dotD_(&coefficientsD_[phase[i] * stride_], x, stride_);
                    const double b = coefficientsD_.empty()
                                         ? dotF_(&coefficientsF_[(phase[i] + 1) * stride_], x, stride_)
                                         : dotD_(&coefficientsD_[(phase[i] + 1) * stride_], x, stride_);
                    y[c] = static_cast<float>(a + (b - a) * w);
                }
            }
        }
    }
}

}  // namespace resample
