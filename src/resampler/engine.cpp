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
    polyphase_.render(first, count, planes, planeStart, out);
}

// Float samples for every preset but those in double, which take double samples.
template void Engine::renderDecimated(u64, u64, const float *const *, u64, float *) const;
template void Engine::renderDecimated(u64, u64, const double *const *, u64, float *) const;
template void Engine::renderDecimated(u64, u64, const double *const *, u64, double *) const;
template void Engine::stage1(const float *const *, u64, u64, u64, float *const *) const;
template void Engine::stage1(const float *const *, u64, u64, u64, double *const *) const;
template void Engine::stage1(const double *const *, u64, u64, u64, double *const *) const;

}  // namespace zel::engine
