#include "plan.h"

#include <zel/math.h>

#include <algorithm>

#include "filter_design.h"

namespace zel::engine {

namespace {
constexpr u64 kHalvedPositions = 256;  // the most output positions a halved band stage's second stage serves
}  // namespace

StagePlan planStages(const mirelo::ResamplingMapper &mapper, const Preset &preset, double passEdge,
                     bool &capped) {
    const u64 s0 = mapper.sourceCommonRate, t0 = mapper.targetCommonRate;
    // Downsampling by 4 or more goes in two stages: a decimation by the integer M that leaves 2 to 3 source frames
    // per output (a filter with a wide transition, computed at every M-th source frame only), then the polyphase
    // filter from rate S / M. Stage 2 maps output frames to the decimated frames, t * S / (T * M), exactly.
    // Other ratios put the sharp filter in the band stage, at S or 2S, and leave the polyphase filter a wide
    // transition: from the passband to where the band stage's images begin.
    StagePlan p;
    p.stage2 = mapper;
    const u64 decimation = preset.stopbandDb > 0 && s0 / 4 >= t0 ? s0 / (2 * t0) : 1;
    if (decimation > 1) {
        p.stage2.setSourceAndTargetSampleRate({s0, decimation}, {t0, 1});
        p.stage2.reduce();
        // Pass the final passband, stop everything that decimation folds into the final output band.
        const double ratio = static_cast<double>(t0) / static_cast<double>(s0);
        const double pass = passEdge * 0.5 * ratio;
        const double stop = 1.0 / static_cast<double>(decimation) - 0.5 * ratio;
        const u64 decimatorHalf = kaiserHalfLength(preset.stopbandDb, stop - pass, capped);
        // The whole filter's span, in source frames, stays bounded; past it the ratio takes one long stage.
        const double width = 0.5 * (preset.stopbandEdge - passEdge) * ratio;
        const double span =
            (preset.stopbandDb - 7.95) / (14.36 * width) * 2.5 + 2.0 * static_cast<double>(decimatorHalf);
        if (span > static_cast<double>(kMaxTwoStageSpan)) {
            p.stage2 = mapper;
        } else {
            p.first = FirstStage::kDecimate;
            p.decimation = decimation, p.decimatorHalf = decimatorHalf;
            p.decimator = kaiserLowpass(preset.stopbandDb, (pass + stop) / 2, decimatorHalf);
            const double nyquist = 0.5 * static_cast<double>(p.stage2.targetCommonRate) /
                                   static_cast<double>(p.stage2.sourceCommonRate);
            p.pass2 = passEdge * nyquist, p.stop2 = preset.stopbandEdge * nyquist;
        }
    } else if (preset.stopbandDb > 0 && s0 != t0 && s0 <= ~0ULL / 2) {
        // Upsampling by two leaves room for the wide transition; downsampling by more than 4/3 has it at S, and
        // by 2.5 or more still at S / 2, where the band stage keeps every other frame: that halves its inverse
        // transforms, while the second stage takes twice the taps at half the rate over up to twice the positions
        // (S / T reduced to an odd S). Past kHalvedPositions its rows cost more than the inverse saves (44100 to
        // 16000, 320 positions: 11 to 28% faster unhalved; 44100 to 12000, 80: 15% faster halved). Downsampling
        // by exactly 2 keeps every other frame too: they are the output, and the polyphase stage copies them. So does
        // downsampling by exactly 3 with every third frame, where its transform (three times a power of two) has
        // blocks of at least half its length; shorter ones cost more than the second stage they save. Upsampling by
        // exactly 3 likewise runs the band stage at 3S, whose frames are then the output.
        const double ds = static_cast<double>(s0), dt = static_cast<double>(t0);
        const u64 g = math_gcd_llong(s0, t0), positions = t0 / g;
        const bool fewPositions = positions <= (s0 / g % 2 == 0 ? kHalvedPositions : kHalvedPositions / 2);
        const u64 up = 4 * dt > 3 * ds ? 2 : 1,
                  halved = (2 * ds >= 5 * dt && fewPositions) || (s0 % 2 == 0 && s0 / 2 == t0) ? 2 : 1;
        const bool third = s0 % 3 == 0 && s0 / 3 == t0, triple = t0 % 3 == 0 && t0 / 3 == s0;
        const u64 choices[2][2] = {{triple ? 3 : up, third ? 3 : halved}, {up, halved}};
        for (const auto &[factor, kept] : choices) {
            p.stage2 = mapper;
            p.stage2.setSourceAndTargetSampleRate({s0 * factor, kept}, {t0, 1});
            if (p.stage2.rateOverflow) {  // one stage after all, even after a rejected plan
                p.stage2 = mapper, p.first = FirstStage::kNone;
                break;
            }
            p.stage2.reduce();
            p.first = FirstStage::kBand;
            // The lower Nyquist in cycles per frame at L S (the band stage's filter) and at L S / D (stage 2's).
            const double low = 0.5 * std::min(ds, dt) / (static_cast<double>(factor) * ds);
            const double low2 = low * static_cast<double>(kept);
            const u64 reach = (s0 > t0 ? preset.reachDown : preset.reachUp) * (s0 / 2 >= t0 ? 2 : 1) * factor;
            p.band = bandPlan(preset.stopbandDb, passEdge * low, preset.stopbandEdge * low, factor, kept,
                              reach, preset.precision, capped);
            p.pass2 = passEdge * low2, p.stop2 = 1 - preset.stopbandEdge * low2;
            if (!(third || triple) || capped || p.band.size != 0) break;
        }
    }
    return p;
}

}  // namespace zel::engine
