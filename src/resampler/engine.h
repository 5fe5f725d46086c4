// The resampler's engine: converts frames at one rate to frames at another through a pipeline of stages (an
// optional first stage, then the polyphase stage), taking every output frame's exact source position and filter
// phase from ResamplingMapper. It holds no position state of its own: output frame t is always computed at the mapper's
// position of t, so a run may start anywhere and split into blocks of any size with bit-identical output.
#ifndef ZEL_SRC_RESAMPLER_ENGINE_H
#define ZEL_SRC_RESAMPLER_ENGINE_H

#include <zel/math.h>
#include <zel/resampling_mapper.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "band_plan.h"
#include "drift.h"
#include "filter_design.h"
#include "first_stages.h"
#include "kernels.h"
#include "plan.h"
#include "polyphase_stage.h"
#include "presets.h"

namespace zel::engine {

// ceil(frames * T / S) for the mapping m: the output frames whose position lies before input frame `frames`.
// False when that passes 2^64 - 1.
inline bool outputsBefore(const mirelo::ResamplingMapper &m, u64 frames, u64 &count) {
    u64 quotient = 0, remainder = 0;
    if (safe_muldiv_llong_with_remainder(frames, m.targetCommonRate, m.sourceCommonRate, &quotient,
                                         &remainder) != 0)
        return false;
    if (remainder != 0 && quotient == ~0ULL) return false;
    count = quotient + (remainder != 0);
    return true;
}

class Engine {
public:
    // Configures a conversion. On failure returns false with a one-line reason and keeps the previous
    // configuration whole. Rates must be non-zero; channels 1 to kMaxChannels. A bandwidth (kMinBandwidth to
    // kMaxBandwidth) moves the passband edge of a filtered preset; none keeps the preset's. A bandwidth whose
    // filter would pass kMaxTaps taps is refused, where a preset's own caps its length.
    // A sourceRateRange (0 to kMaxSourceRateRange) lets the source rate's numerator move by that fraction either
    // way while a stream runs (setSourceRate); the filters are then designed for the highest rate in the range.
    bool configure(const mirelo::ResamplingMapper::sample_fraction &sourceRate,
                   const mirelo::ResamplingMapper::sample_fraction &targetRate, int channels,
                   const Preset &preset, std::string &error, std::optional<double> bandwidth = std::nullopt,
                   double sourceRateRange = 0);
    static constexpr double kMaxSourceRateRange = 0.10;

    static constexpr int kMaxChannels = ZEL_MAX_CHANNELS;
    using FirstStage = engine::FirstStage;

    const mirelo::ResamplingMapper &mapper() const { return mapper_; }
    // Output frame t's position: its whole part in source frames, or in the frames the polyphase stage reads
    // (the intermediate frames with two stages); and the outputs whose positions lie before frame n of each. At a
    // fixed rate these are the mappers'; with a source rate that changes, the current rate's from its last change
    // on. False when a value passes 2^64 - 1.
    bool sourceWhole(u64 t, u64 &whole) const;
    bool outputsBeforeSource(u64 n, u64 &count) const;
    bool stageWhole(u64 t, u64 &whole) const;
    bool outputsBeforeStage(u64 n, u64 &count) const;
    // With a source rate range: the numerators allowed, a change from output frame t on to one of them (false,
    // nothing changed, when t's position does not fit), and a restart at output frame 0 at the current rate.
    bool drifting() const { return maxNumerator_ > 0; }
    u64 minNumerator() const { return minNumerator_; }
    u64 maxNumerator() const { return maxNumerator_; }
    bool setSourceRate(u64 t, u64 numerator);
    void restartDrift() { drift_.source.restart(), drift_.stage.restart(); }
    struct Drift {
        Segment source, stage;
    };
    const Drift &drift() const { return drift_; }
    void setDrift(const Drift &drift) { drift_ = drift; }
    // Output frame t's whole position in source frames once restarted (a drifting rate's from frame 0 at the
    // current rate).
    bool restartedWhole(u64 t, u64 &whole) const;
    int channels() const { return channels_; }
    const Preset &preset() const { return *preset_; }
    FirstStage firstStage() const {
        return !stage1_ ? FirstStage::kNone : stage1_->band() ? FirstStage::kBand : FirstStage::kDecimate;
    }
    // The decimation's factor M (a decimation's units are one frame, M source frames apart), else 1.
    u64 decimation() const { return firstStage() == FirstStage::kDecimate ? stage1_->step() : 1; }
    // The band stage's plan (with that first stage only).
    const BandPlan &band() const { return *stage1_->band(); }
    const mirelo::ResamplingMapper &stage2() const { return polyphase_.mapper(); }
    // Output frame t reads source frames whole(t) - reachBefore() .. whole(t) + reachAfter(); frames before 0 and
    // after the input's end read as zero. With two stages, a bound: t reads intermediate frames
    // w - stageBefore() .. w + stageAfter(), w = stage2().whole(t), computed in whole units (below).
    u64 reachBefore() const;
    u64 reachAfter() const;
    u64 taps() const { return reachBefore() + reachAfter() + 1; }
    u64 stageBefore() const { return polyphase_.before(); }
    u64 stageAfter() const { return polyphase_.after(); }

    // With two stages, the first stage's units (see first_stages.h).
    u64 unitFrames() const { return stage1_ ? stage1_->frames() : 1; }
    u64 unitSource(u64 unit) const { return stage1_->source(unit); }
    u64 unitSpan() const { return stage1_->span(); }
    u64 unitStep() const { return stage1_->step(); }
    u64 unitOf(u64 j) const { return stage1_->unitOf(j); }
    u64 firstAudibleUnit() const { return stage1_->firstAudibleUnit(); }
    // Computes intermediate frames first .. first + count - 1 of every channel (first a unit's start, count whole
    // units) into out[c][0 ..], from source planes (planes[c][k - planeStart] is source frame k, the difference
    // taken modulo 2^64, so that a plane may start before frame 0). The first stage's workspace is the engine's,
    // so one engine computes on one thread at a time.
    // Samples (S) are float, or double for a preset with doubleSamples; intermediate frames (M) float, or double
    // for a preset with doubleIntermediate. Other types are not allowed.
    template <typename S, typename M>
    void stage1(const S *const *planes, u64 planeStart, u64 first, u64 count, M *const *out) const;
    // Renders output frames first .. first + count - 1, interleaved, into out, from the frames the polyphase stage
    // reads (planes[c][j - planeStart] is frame j): the intermediate frames with two stages, else the source frames.
    // They must exist for every frame the outputs reach. Allocates nothing.
    template <typename P, typename S>
    void renderDecimated(u64 first, u64 count, const P *const *planes, u64 planeStart, S *out) const;
    u64 phases() const { return polyphase_.phases(); }
    bool exactPhases() const { return polyphase_.exactPhases(); }

private:
    // Takes a configuration that has been designed whole.
    void adopt(const mirelo::ResamplingMapper &mapper, StagePlan &&plan, PolyphaseTable &&table,
               const Preset &preset, int channels);

    // Sets up the two mappings of a drifting source rate; false when their terms pass Segment::kLimit.
    bool startDrift(const mirelo::ResamplingMapper::sample_fraction &source,
                    const mirelo::ResamplingMapper::sample_fraction &target, u64 minNumerator,
                    u64 maxNumerator);

    mirelo::ResamplingMapper mapper_;  // source frames to output frames
    Drift drift_;
    u64 minNumerator_ = 0, maxNumerator_ = 0;  // 0: a fixed rate
    u64 sourceScale_ = 1, stageScale_ = 1;  // a source numerator times these is each mapping's step numerator
    std::unique_ptr<IntermediateStage> stage1_;  // with two stages
    PolyphaseStage polyphase_;
    const Preset *preset_ = nullptr;
    int channels_ = 0;
};

}  // namespace zel::engine

#endif
