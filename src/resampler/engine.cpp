#include "engine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "kernels.h"

namespace zel::engine {

namespace {

using Fraction = mirelo::ResamplingMapper::sample_fraction;

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
        char text[64];
        std::snprintf(text, sizeof text, "bandwidth %.6g is outside 0.80 to 0.99", *bandwidth);
        error = text;
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
                            bool stopWhenCapped, bool drifting) {
    const u64 s = plan.stage2.sourceCommonRate, t = plan.stage2.targetCommonRate;
    PolyphaseTable table;
    table.phases = t;
    // Equal rates put every output on a source frame: it is copied, whatever the preset (unless the rate may move).
    if (preset.stopbandDb == 0 || (s == t && !drifting)) return table;
    // Edges in cycles per (stage 2's) source sample: the lower Nyquist is half the source rate, or half the target
    // rate when downsampling, expressed in source samples.
    const double nyquist = 0.5 * std::min(1.0, static_cast<double>(t) / static_cast<double>(s));
    const bool one = plan.first == FirstStage::kNone;
    const double pass = one ? passEdge * nyquist : plan.pass2;
    const double stop = one ? preset.stopbandEdge * nyquist : plan.stop2;
    // After the band stage, every image of a tone lies near this filter's wide transition, where a Kaiser window is
    // at its weakest, and many fold into the output band: 10 dB more costs a tap or two.
    const double a = preset.stopbandDb + (plan.first == FirstStage::kBand ? 10 : 0);
    // A drifting rate's positions have no period: phases to interpolate between, however few a fixed rate needs.
    return polyphaseTable(a, pass, stop, drifting ? ~0ULL : t, preset, capped, stopWhenCapped);
}

}  // namespace

bool Engine::configure(const Fraction &sourceRate, const Fraction &targetRate, int channels,
                       const Preset &preset, std::string &error, std::optional<double> bandwidth,
                       double sourceRateRange) {
    if (!acceptable(channels, preset, bandwidth, error)) return false;
    if (!(sourceRateRange >= 0 && sourceRateRange <= kMaxSourceRateRange)) {
        char text[80];
        std::snprintf(text, sizeof text, "source_rate_range %.6g is outside 0 to 0.10", sourceRateRange);
        error = text;
        return false;
    }
    // A rate that may move is designed for the highest it may reach, where the band below the target's Nyquist
    // frequency is narrowest in source frames: nothing aliases anywhere in the range.
    const auto span = static_cast<u64>(static_cast<double>(sourceRate.numerator) * sourceRateRange);
    const u64 lowest = sourceRate.numerator - std::min(span, sourceRate.numerator - 1);
    const u64 highest = span > ~0ULL - sourceRate.numerator ? ~0ULL : sourceRate.numerator + span;
    const Fraction design{sourceRateRange > 0 ? highest : sourceRate.numerator, sourceRate.denominator};
    mirelo::ResamplingMapper mapper;
    try {
        mapper.setSourceAndTargetSampleRate(design, targetRate);
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
    PolyphaseTable table =
        polyphaseFor(plan, preset, passEdge, capped, bandwidth.has_value(), sourceRateRange > 0);
    // A preset's own filters shorten at their cap; a requested bandwidth gets what it asked for or a refusal.
    if (capped && bandwidth) {
        error = "a bandwidth of " + std::to_string(*bandwidth).substr(0, 4) + " at the " + preset.name +
                " preset needs a filter longer than " + std::to_string(kMaxTaps) + " taps at these rates";
        return false;
    }
    Engine next;
    next.adopt(mapper, std::move(plan), std::move(table), preset, channels);
    if (sourceRateRange > 0) {
        next.mapper_.setSourceAndTargetSampleRate(sourceRate, targetRate);
        if (next.mapper_.rateOverflow || !next.startDrift(sourceRate, targetRate, lowest, highest)) {
            error = "the rates are too large to follow a moving source rate exactly";
            return false;
        }
    }
    *this = std::move(next);
    return true;
}

bool Engine::startDrift(const Fraction &source, const Fraction &target, u64 minNumerator, u64 maxNumerator) {
    // Positions t * (n / sd) / (tn / td) = t * n td / (sd tn) in source frames; the polyphase stage's frames run
    // up / down times as fast.
    const u64 up = firstStage() == FirstStage::kBand ? band().factor : 1;
    const u64 down = firstStage() == FirstStage::kBand ? band().decimation : decimation();
    const auto product = [](u64 a, u64 b, u64 &out) {
        return !__builtin_mul_overflow(a, b, &out) && out < Segment::kLimit;
    };
    u64 den = 0, stageDen = 0, stageScale = 0, top = 0;
    if (!product(source.denominator, target.numerator, den) || !product(den, down, stageDen) ||
        !product(target.denominator, up, stageScale) || !product(maxNumerator, stageScale, top))
        return false;
    sourceScale_ = target.denominator, stageScale_ = stageScale;
    minNumerator_ = minNumerator, maxNumerator_ = maxNumerator;
    drift_.source = Segment(source.numerator * sourceScale_, den);
    drift_.stage = Segment(source.numerator * stageScale_, stageDen);
    return true;
}

bool Engine::setSourceRate(u64 t, u64 numerator) {
    Drift next = drift_;
    if (!next.source.change(t, numerator * sourceScale_) || !next.stage.change(t, numerator * stageScale_))
        return false;
    drift_ = next;
    return true;
}

namespace {

// Output frame t's whole position: the drifting rate's segment when there is one, else the mapper's.
bool wholeAt(const Segment *drift, const mirelo::ResamplingMapper &mapper, u64 t, u64 &whole) {
    u64 frac = 0;
    if (drift != nullptr) return drift->at(t, whole, frac);
    mirelo::ResamplingMapper::sample_mixed_fraction p;
    if (!mapper.sourceFromTarget(p, t)) return false;
    whole = p.whole;
    return true;
}

}  // namespace

bool Engine::sourceWhole(u64 t, u64 &whole) const {
    return wholeAt(drifting() ? &drift_.source : nullptr, mapper_, t, whole);
}

bool Engine::restartedWhole(u64 t, u64 &whole) const {
    Segment restarted = drift_.source;
    restarted.restart();
    return wholeAt(drifting() ? &restarted : nullptr, mapper_, t, whole);
}

bool Engine::outputsBeforeSource(u64 n, u64 &count) const {
    return drifting() ? drift_.source.before(n, count) : outputsBefore(mapper_, n, count);
}

bool Engine::stageWhole(u64 t, u64 &whole) const {
    return wholeAt(drifting() ? &drift_.stage : nullptr, stage2(), t, whole);
}

bool Engine::outputsBeforeStage(u64 n, u64 &count) const {
    return drifting() ? drift_.stage.before(n, count) : outputsBefore(stage2(), n, count);
}

void Engine::adopt(const mirelo::ResamplingMapper &mapper, StagePlan &&plan, PolyphaseTable &&table,
                   const Preset &preset, int channels) {
    const auto count = static_cast<u64>(channels);
    mapper_ = mapper;
    polyphase_ = PolyphaseStage(plan.stage2, std::move(table), preset, count);
    stage1_ =
        plan.first == FirstStage::kNone ? nullptr : IntermediateStage::make(std::move(plan), preset, count);
    preset_ = &preset;
    channels_ = channels;
}

u64 Engine::reachBefore() const { return stage1_ ? stage1_->reachBefore(stageBefore()) : stageBefore(); }

u64 Engine::reachAfter() const { return stage1_ ? stage1_->reachAfter(stageAfter()) : stageAfter(); }

template <typename S, typename M>
void Engine::stage1(const S *const *planes, u64 planeStart, u64 first, u64 count, M *const *out) const {
    stage1_->compute(planes, planeStart, first, count, out);
}

template <typename P, typename S>
void Engine::renderDecimated(u64 first, u64 count, const P *const *planes, u64 planeStart, S *out) const {
    polyphase_.render(first, count, planes, planeStart, out, drifting() ? &drift_.stage : nullptr);
}

// Float samples for every preset but those in double, which take double samples.
template void Engine::renderDecimated(u64, u64, const float *const *, u64, float *) const;
template void Engine::renderDecimated(u64, u64, const double *const *, u64, float *) const;
template void Engine::renderDecimated(u64, u64, const double *const *, u64, double *) const;
template void Engine::stage1(const float *const *, u64, u64, u64, float *const *) const;
template void Engine::stage1(const float *const *, u64, u64, u64, double *const *) const;
template void Engine::stage1(const double *const *, u64, u64, u64, double *const *) const;

}  // namespace zel::engine
