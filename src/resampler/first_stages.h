// The first of two stages, which makes the intermediate frames the polyphase stage reads: an integer decimation
// (ratios of 4 and more) or the band stage's fast convolution (other ratios). Each computes in units of frames()
// intermediate frames starting at multiples of it; unit j (its first frame) reads span() source frames from
// source(j), and successive units' reaches lie step() source frames apart. Frame indices are taken modulo 2^64:
// a unit may start before frame 0. A stage owns its filter and its workspace, so one computes on one thread at a
// time.
#ifndef ZEL_SRC_RESAMPLER_FIRST_STAGES_H
#define ZEL_SRC_RESAMPLER_FIRST_STAGES_H

#include <memory>
#include <vector>

#include "band_plan.h"
#include "kernels.h"
#include "plan.h"

namespace zel::engine {

class IntermediateStage {
public:
    virtual ~IntermediateStage() = default;
    // The stage for a plan with a first stage, computing in the preset's precision.
    static std::unique_ptr<IntermediateStage> make(StagePlan &&plan, const Preset &preset, u64 channels);

    virtual u64 frames() const = 0;
    virtual u64 source(u64 unit) const = 0;
    virtual u64 span() const = 0;
    virtual u64 step() const = 0;
    // The source frames before and after whole(t) that intermediate frames w - before .. w + after read, where w
    // is output frame t's intermediate position.
    virtual u64 reachBefore(u64 before) const = 0;
    virtual u64 reachAfter(u64 after) const = 0;
    // Intermediate frames first .. first + count - 1 (first a unit's start, count whole units) of every channel
    // into out[c][0 ..], from source planes (planes[c][k - planeStart] is source frame k). Float samples give
    // float or double frames; double samples, double frames.
    virtual void compute(const float *const *planes, u64 planeStart, u64 first, u64 count,
                         float *const *out) const = 0;
    virtual void compute(const float *const *planes, u64 planeStart, u64 first, u64 count,
                         double *const *out) const = 0;
    virtual void compute(const double *const *planes, u64 planeStart, u64 first, u64 count,
                         double *const *out) const = 0;
    // The band stage's plan; null for a decimation.
    virtual const BandPlan *band() const { return nullptr; }

    // The start of the unit holding intermediate frame j.
    u64 unitOf(u64 j) const;
    // The first unit that reads source frame 0 or later: those before it are silence.
    u64 firstAudibleUnit() const;
};

}  // namespace zel::engine

#endif
