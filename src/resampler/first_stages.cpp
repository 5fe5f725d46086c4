#include "first_stages.h"

namespace zel::engine {

namespace {

// Decimation by an integer M: intermediate frame j is the decimator's inner product centred on source frame M j,
// in the preset's precision.
class DecimationStage final : public IntermediateStage {
public:
    DecimationStage(StagePlan &&plan, const Preset &preset, u64 channels)
        : m_(plan.decimation), half_(plan.decimatorHalf), channels_(channels) {
        if (preset.precision == Preset::kFloat) {
            tapsF_.assign(plan.decimator.begin(), plan.decimator.end());
        } else {
            tapsD_ = std::move(plan.decimator);
        }
    }
    u64 frames() const override { return 1; }
    u64 source(u64 unit) const override { return unit * m_ - half_; }
    u64 span() const override { return 2 * half_ + 1; }
    u64 step() const override { return m_; }
    u64 reachBefore(u64 before) const override { return before * m_ + half_ + (m_ - 1); }
    u64 reachAfter(u64 after) const override { return after * m_ + half_; }
    void compute(const float *const *p, u64 s, u64 f, u64 n, float *const *o) const override {
        run(p, s, f, n, o);
    }
    void compute(const float *const *p, u64 s, u64 f, u64 n, double *const *o) const override {
        run(p, s, f, n, o);
    }
    void compute(const double *const *p, u64 s, u64 f, u64 n, double *const *o) const override {
        run(p, s, f, n, o);
    }

private:
    template <typename S, typename M>
    void run(const S *const *planes, u64 planeStart, u64 first, u64 count, M *const *out) const {
        for (u64 c = 0; c < channels_; ++c) {
            for (u64 i = 0; i < count; ++i) {
                const S *x = planes[c] + ((first + i) * m_ - half_ - planeStart);
                out[c][i] = tapsF_.empty() ? static_cast<M>(dot(tapsD_.data(), x))
                                           : static_cast<M>(dot(tapsF_.data(), x));
            }
        }
    }
    // Eight partial sums, so that the loop vectorises, always added in the same order.
    template <typename C, typename S>
    C dot(const C *taps, const S *x) const {
        C lane[8] = {};
        const u64 n = 2 * half_ + 1, whole = n / 8 * 8;
        for (u64 k = 0; k < whole; k += 8) {
            for (u64 l = 0; l < 8; ++l) lane[l] += taps[k + l] * static_cast<C>(x[k + l]);
        }
        for (u64 k = whole; k < n; ++k) lane[k - whole] += taps[k] * static_cast<C>(x[k]);
        return ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
    }

    u64 m_, half_, channels_;
    // The 2 * half_ + 1 taps, in the precision of the preset's sums (one is empty).
    std::vector<double> tapsD_;
    std::vector<float> tapsF_;
};

// The band stage: a long linear-phase lowpass at L times the source rate by fast convolution in blocks fixed to
// absolute intermediate frame indices, keeping every D-th frame (see BandPlan). A unit is two blocks in one
// transform.
class BandStage final : public IntermediateStage {
public:
    BandStage(StagePlan &&plan, const Preset &preset, u64 channels)
        : plan_(std::move(plan.band)),
          kernels_(kernelsFor(preset.precision)),
          channels_(channels),
          work_(4 * plan_.size, 0.0) {}
    u64 frames() const override { return 2 * plan_.block / plan_.decimation; }
    u64 source(u64 unit) const override {
        // (D j - K) / L, exact, taken as the signed value it stands for.
        const auto j = static_cast<long long>(unit), k = static_cast<long long>(plan_.half);
        return static_cast<u64>((static_cast<long long>(plan_.decimation) * j - k) /
                                static_cast<long long>(plan_.factor));
    }
    u64 span() const override { return (2 * plan_.block + 2 * plan_.half) / plan_.factor; }
    u64 step() const override { return 2 * plan_.block / plan_.factor; }
    // Intermediate frame j stands for frame D j at L S. Frame w - before, with D w >= L whole(t) - (D - 1), lies in
    // a unit starting at most G - 1 before it, whose blocks reach K frames at L S further back; frame w + after,
    // with D w <= L whole(t) + L - 1, in a unit ending at most G - 1 after it.
    u64 reachBefore(u64 before) const override {
        const u64 l = plan_.factor, d = plan_.decimation;
        return (d * (before + frames() - 1) + (d - 1) + plan_.half + l - 1) / l;
    }
    u64 reachAfter(u64 after) const override {
        const u64 l = plan_.factor, d = plan_.decimation;
        return (d * (after + frames() - 1) + l - 1 + plan_.half) / l;
    }
    void compute(const float *const *p, u64 s, u64 f, u64 n, float *const *o) const override {
        run(kernels_.band, p, s, f, n, o);
    }
    void compute(const float *const *p, u64 s, u64 f, u64 n, double *const *o) const override {
        run(kernels_.bandFloatToD, p, s, f, n, o);
    }
    void compute(const double *const *p, u64 s, u64 f, u64 n, double *const *o) const override {
        run(kernels_.bandD, p, s, f, n, o);
    }
    const BandPlan *band() const override { return &plan_; }

private:
    template <typename S, typename M>
    void run(BandKernelOf<S, M> unit, const S *const *planes, u64 planeStart, u64 first, u64 count,
             M *const *out) const {
        const u64 g = frames();
        for (u64 done = 0; done < count; done += g) {
            const u64 x0 = source(first + done) - planeStart;
            for (u64 c = 0; c < channels_; ++c) unit(plan_, planes[c] + x0, out[c] + done, work_.data());
        }
    }

    BandPlan plan_;
    KernelTable kernels_;
    u64 channels_;
    mutable std::vector<double, CacheAligned<double>> work_;  // the transform's workspace
};

}  // namespace

std::unique_ptr<IntermediateStage> IntermediateStage::make(StagePlan &&plan, const Preset &preset,
                                                           u64 channels) {
    if (plan.first == FirstStage::kDecimate)
        return std::make_unique<DecimationStage>(std::move(plan), preset, channels);
    return std::make_unique<BandStage>(std::move(plan), preset, channels);
}

u64 IntermediateStage::unitOf(u64 j) const {
    const auto g = static_cast<long long>(frames()), i = static_cast<long long>(j);
    return static_cast<u64>((i >= 0 ? i / g : -((g - 1 - i) / g)) * g);
}

u64 IntermediateStage::firstAudibleUnit() const {
    // Unit u reads up to u * step - offset + span - 1, with offset = (u * step - source(u * G)).
    const u64 offset = 0 - source(0);
    return (0 - (span() - 1 - offset) / step()) * frames();
}

}  // namespace zel::engine
