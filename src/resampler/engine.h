// The resampler's engine: converts frames at one rate to frames at another with a band-limited polyphase filter
// (or linear interpolation), taking every output frame's exact source position and filter phase from
// ResamplingMapper. It holds no position state of its own: output frame t is always computed at the mapper's
// position of t, so a run may start anywhere and split into blocks of any size with bit-identical output.
#ifndef ZEL_SRC_RESAMPLER_ENGINE_H
#define ZEL_SRC_RESAMPLER_ENGINE_H

#include <zel/resampling_mapper.h>

#include <optional>
#include <string>
#include <vector>

#include "band_plan.h"
#include "filter_design.h"
#include "kernels.h"
#include "plan.h"
#include "presets.h"

namespace zel::engine {

class Engine {
public:
    // Configures a conversion. On failure returns false with a one-line reason and keeps the previous
    // configuration whole. Rates must be non-zero; channels 1 to kMaxChannels. A bandwidth (kMinBandwidth to
    // kMaxBandwidth) moves the passband edge of a filtered preset; none keeps the preset's. A bandwidth whose
    // filter would pass kMaxTaps taps is refused, where a preset's own caps its length.
    bool configure(const mirelo::ResamplingMapper::sample_fraction &sourceRate,
                   const mirelo::ResamplingMapper::sample_fraction &targetRate, int channels,
                   const Preset &preset, std::string &error, std::optional<double> bandwidth = std::nullopt);

    static constexpr int kMaxChannels = ZEL_MAX_CHANNELS;
    using FirstStage = engine::FirstStage;

    const mirelo::ResamplingMapper &mapper() const { return mapper_; }
    int channels() const { return channels_; }
    const Preset &preset() const { return *preset_; }
    FirstStage firstStage() const { return first_; }
    u64 decimation() const { return decimation_; }
    const BandPlan &band() const { return band_; }
    const mirelo::ResamplingMapper &stage2() const { return stage2_; }
    // Output frame t reads source frames whole(t) - reachBefore() .. whole(t) + reachAfter(); frames before 0 and
    // after the input's end read as zero. With two stages, a bound: t reads intermediate frames
    // w - stageBefore() .. w + stageAfter(), w = stage2().whole(t), computed in whole units (below).
    u64 reachBefore() const;
    u64 reachAfter() const;
    u64 taps() const { return reachBefore() + reachAfter() + 1; }
    u64 stageBefore() const { return half_ - 1; }
    u64 stageAfter() const { return stride_ - half_; }

    // The first stage computes intermediate frames in units of unitFrames() (1 when decimating, two blocks in the
    // band stage) starting at multiples of it; unit j (its first frame) reads unitSpan() source frames from
    // unitSource(j), and successive units' reaches lie unitStep() source frames apart. Frame indices are modulo
    // 2^64: a unit may start before frame 0.
    u64 unitFrames() const { return first_ == FirstStage::kBand ? 2 * band_.block / band_.decimation : 1; }
    u64 unitSource(u64 unit) const;
    u64 unitSpan() const;
    u64 unitStep() const;
    // The start of the unit holding intermediate frame j.
    u64 unitOf(u64 j) const;
    // The first unit that reads source frame 0 or later: those before it are silence.
    u64 firstAudibleUnit() const;
    // Computes intermediate frames first .. first + count - 1 of every channel (first a unit's start, count whole
    // units) into out[c][0 ..], from source planes (planes[c][k - planeStart] is source frame k, the difference
    // taken modulo 2^64, so that a plane may start before frame 0). Uses the engine's transform workspace, so one
    // engine computes on one thread at a time.
    // Samples (S) are float, or double for a preset with doubleSamples; intermediate frames (M) float, or double
    // for a preset with doubleIntermediate. Other types are not allowed.
    template <typename S, typename M>
    void stage1(const S *const *planes, u64 planeStart, u64 first, u64 count, M *const *out) const;
    // Renders output frames first .. first + count - 1, interleaved, into out, from the frames the polyphase stage
    // reads (planes[c][j - planeStart] is frame j): the intermediate frames with two stages, else the source frames.
    // They must exist for every frame the outputs reach. Allocates nothing.
    template <typename P, typename S>
    void renderDecimated(u64 first, u64 count, const P *const *planes, u64 planeStart, S *out) const;
    u64 phases() const { return phases_; }
    bool exactPhases() const { return exact_; }

private:
    static constexpr u64 kRenderChunk = 256;  // output frames whose positions are mapped at once
    // The polyphase stage's ways to render a chunk of mapped output frames: linear interpolation, or between two
    // of the interpolated phases (the exact phases' run is a kernel of its own).
    template <typename P, typename S>
    void renderLinear(const u64 *whole, const u64 *phase, u64 n, const P *const *planes, u64 planeStart,
                      S *y) const;
    template <typename P, typename S>
    void renderInterpolated(const u64 *whole, const u64 *phase, const u64 *remainder, u64 n,
                            const P *const *planes, u64 planeStart, S *y) const;
    // Whether the table is large enough that coming rows are fetched ahead.
    bool prefetches() const;
    // Takes a configuration that has been designed whole.
    void adopt(const mirelo::ResamplingMapper &mapper, StagePlan &&plan, PolyphaseTable &&table,
               const Preset &preset, int channels);
    template <typename C, typename S>
    C dot(const C *taps, const S *x) const;
    template <typename S, typename M>
    void decimate(const S *const *planes, u64 planeStart, u64 first, u64 count, M *const *out) const;

    mirelo::ResamplingMapper mapper_;  // source frames to output frames
    mirelo::ResamplingMapper
        stage2_;  // intermediate frames to output frames (the same as mapper_ in one stage)
    FirstStage first_ = FirstStage::kNone;
    u64 decimation_ = 1, decimatorHalf_ = 0;
    BandPlan band_;
    mutable std::vector<double, CacheAligned<double>> work_;  // the band stage's transform
    // The first stage's 2 * decimatorHalf_ + 1 taps, in the precision of the preset's sums (one is empty).
    std::vector<double> decimatorD_;
    std::vector<float> decimatorF_;
    const Preset *preset_ = nullptr;
    int channels_ = 0;
    u64 half_ = 1, stride_ = 2, phases_ = 1;
    bool exact_ = true;
    // (phases_ + !exact_) rows of stride_ taps, in float or double as the preset says.
    std::vector<float, CacheAligned<float>> coefficientsF_;
    std::vector<double, CacheAligned<double>> coefficientsD_;
    KernelTable kernels_{};  // chosen at configuration for the preset and the processor
    const void *row(u64 phase) const;
};

}  // namespace zel::engine

#endif
