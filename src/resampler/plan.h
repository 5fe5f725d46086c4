// Which stages a conversion takes for its rates, preset and band, and each stage's filter edges: decided once, at
// configuration, before the polyphase stage is designed.
#ifndef ZEL_SRC_RESAMPLER_PLAN_H
#define ZEL_SRC_RESAMPLER_PLAN_H

#include <zel/resampling_mapper.h>

#include <vector>

#include "band_plan.h"
#include "presets.h"

namespace zel::engine {

// The longest span, in source frames, that a two-stage conversion may read for one output frame; a steeper one
// takes a single stage of at most kMaxTaps taps.
constexpr u64 kMaxTwoStageSpan = 1 << 20;

// One stage: a polyphase filter on the source frames. Two stages: a first stage makes intermediate frames (by
// decimation by an integer M at ratios of 4 and more, else by the band stage), and the polyphase filter runs on
// them, mapped by stage2.
enum class FirstStage { kNone, kDecimate, kBand };

struct StagePlan {
    FirstStage first = FirstStage::kNone;
    mirelo::ResamplingMapper stage2;  // the polyphase stage's input frames to output frames
    u64 decimation = 1, decimatorHalf = 0;
    std::vector<double> decimator;  // with decimation: its 2 * decimatorHalf + 1 taps
    BandPlan band;                  // with the band stage
    double pass2 = 0, stop2 = 0;    // with two stages: the polyphase stage's edges in cycles per frame
};

// The stages for a conversion mapped (and reduced) by `mapper`, the preset's filters with their passband edge
// at passEdge. Sets `capped` when a first-stage filter's length met its cap.
StagePlan planStages(const mirelo::ResamplingMapper &mapper, const Preset &preset, double passEdge,
                     bool &capped);

}  // namespace zel::engine

#endif
