// The polyphase stage, the last of every conversion: output frame t is the inner product of the phase its exact
// position selects with the frames around it (the source frames in one stage, else the first stage's
// intermediate frames), or the linear interpolation of the two frames around it, or a copy on equal rates.
#ifndef ZEL_SRC_RESAMPLER_POLYPHASE_STAGE_H
#define ZEL_SRC_RESAMPLER_POLYPHASE_STAGE_H

#include <zel/resampling_mapper.h>

#include <vector>

#include "drift.h"
#include "filter_design.h"
#include "kernels.h"

namespace zel::engine {

class PolyphaseStage {
public:
    PolyphaseStage() = default;
    // The stage for the frames `mapper` maps to output frames, with the table designed for them.
    PolyphaseStage(const mirelo::ResamplingMapper &mapper, PolyphaseTable &&table, const Preset &preset,
                   u64 channels);

    // Output frame t reads frames w - before() .. w + after(), w the whole part of its position.
    u64 before() const { return half_ - 1; }
    u64 after() const { return stride_ - half_; }
    u64 phases() const { return phases_; }
    bool exactPhases() const { return exact_; }
    const mirelo::ResamplingMapper &mapper() const { return mapper_; }

    // Renders output frames first .. first + count - 1, interleaved, into out, from planes[c][j - planeStart]
    // (frame j of channel c, the difference taken modulo 2^64), which must exist for every frame the outputs
    // reach. P is the frames' type, S the output's. With `drift`, the positions are its, not the mapper's.
    // Allocates nothing.
    template <typename P, typename S>
    void render(u64 first, u64 count, const P *const *planes, u64 planeStart, S *out,
                const Segment *drift = nullptr) const;

private:
    static constexpr u64 kRenderChunk = 256;  // output frames whose positions are mapped at once
    // A chunk of mapped output frames by linear interpolation (weight phase / den), or between two of the
    // interpolated phases (weight remainder / den); the exact phases' run is a kernel of its own.
    template <typename P, typename S>
    void renderLinear(const u64 *whole, const u64 *phase, u64 den, u64 n, const P *const *planes,
                      u64 planeStart, S *y) const;
    template <typename P, typename S>
    void renderInterpolated(const u64 *whole, const u64 *phase, const u64 *remainder, u64 den, u64 n,
                            const P *const *planes, u64 planeStart, S *y) const;
    // Phases interpolated quadratically (double frames only): each frame's row blended from three of the table,
    // then summed as an exact phase.
    template <typename P, typename S>
    void renderBlended(const u64 *whole, const u64 *phase, const u64 *remainder, u64 den, u64 n,
                       const P *const *planes, u64 planeStart, S *y) const;
    // Exact phases' positions for output frames first .. first + n - 1, from one period of them.
    void periodicPositions(u64 first, u64 n, u64 *whole, u64 *phase) const;
    // Whether the table is large enough that coming rows are fetched ahead.
    bool prefetches() const;
    const void *row(u64 phase) const;

    mirelo::ResamplingMapper mapper_;
    u64 channels_ = 0;
    u64 half_ = 1, stride_ = 2, phases_ = 1;
    bool exact_ = true, quadratic_ = false;
    // (phases_ + !exact_) rows of stride_ taps, in float or double as the preset says; both empty for linear.
    std::vector<float, CacheAligned<float>> coefficientsF_;
    std::vector<double, CacheAligned<double>> coefficientsD_;
    KernelTable kernels_{};
    // Blended rows for up to kBlendFrames frames at a time, as many as fit kBlendBytes (at least one): like the
    // first stage's workspace, this makes the stage compute on one thread at a time.
    static constexpr u64 kBlendFrames = 64, kBlendBytes = 12 * 1024;
    mutable std::vector<double, CacheAligned<double>> blended_;
    // With exact phases, the positions repeat every T outputs, S source frames on: over a period of k T outputs,
    // frame q k T + r falls at q k S + whole r, phase r (for r < k T), tabled here so that a chunk costs a
    // division, not one a frame.
    std::vector<u64> periodWhole_, periodPhase_;
    u64 period_ = 0, periodStep_ = 0;
};

}  // namespace zel::engine

#endif
