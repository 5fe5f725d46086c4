// Filter design: Kaiser-windowed sinc lowpass filters, the band stage's spectrum and the polyphase stage's table of
// phases. Everything here runs once, when a resampler is configured, in double.
#ifndef ZEL_SRC_RESAMPLER_FILTER_DESIGN_H
#define ZEL_SRC_RESAMPLER_FILTER_DESIGN_H

#include <vector>

#include "band_plan.h"
#include "presets.h"

namespace zel::engine {

// The longest filter, in taps.
constexpr u64 kMaxTaps = 65536;
// Target common rates up to this use one filter phase per possible position; larger ones interpolate between
// phases with the exact remainder as the weight: linearly between kInterpolatedPhases, or, for a preset on double
// samples, quadratically between kQuadraticPhases.
constexpr u64 kMaxExactPhases = 4096;
constexpr u64 kInterpolatedPhases = 2048;
constexpr u64 kQuadraticPhases = 1024;

// The modified Bessel function I0.
double besselI0(double x);
// Half the length of a Kaiser-windowed lowpass attenuating by a dB over a transition of `width` cycles per
// sample (Kaiser's estimate), capped at kMaxTaps; `capped` is set when the cap applies.
u64 kaiserHalfLength(double a, double width, bool &capped);
// Kaiser's window shape for an attenuation of a dB.
double kaiserBeta(double a);
// The taps at distances x[0 .. count - 1] from the centre of a Kaiser-windowed sinc with the given cutoff (cycles
// per sample) whose window reaches `width` either side; 0 outside it, and on its edges unless `closed`.
void kaiserTaps(const double *x, u64 count, double width, double cutoff, double beta, double i0Beta,
                double *out, bool closed = false);
// The 2 * half + 1 taps of a linear-phase Kaiser-windowed sinc centred on tap `half`, with unit gain at DC.
std::vector<double> kaiserLowpass(double a, double cutoff, u64 half);
// The band stage for lowpass edges `pass` and `stop` (cycles per intermediate frame) at L times the source rate,
// keeping every D-th frame. The transform length minimises the work per frame among those whose unit (two
// blocks) and filter half-length K fit in `reach` frames at L S, which bounds a stream's start-up latency.
BandPlan bandPlan(double a, double pass, double stop, u64 factor, u64 decimation, u64 reach,
                  Preset::Precision precision, bool &capped);

// The polyphase stage's filter: (phases + !exact) rows of `stride` taps, row r centred r / phases of a frame
// after whole - (half - 1) + (half - 1), each with unit gain at DC. Rows interpolated quadratically come from a
// window closed at its edges, so that every column is smooth from row 0 to row `phases`.
struct PolyphaseTable {
    u64 half = 1, stride = 2, phases = 1;
    bool exact = true, quadratic = false;
    // Empty: every output lies on a frame (linear or equal rates).
    std::vector<double, CacheAligned<double>> rows;
};
// The table for edges `pass` and `stop` (cycles per frame) attenuating by a dB, where output positions fall on
// `positions` possible phases. When the length meets its cap, `capped` is set and, with `stopWhenCapped`, no
// rows are designed.
PolyphaseTable polyphaseTable(double a, double pass, double stop, u64 positions, const Preset &preset,
                              bool &capped, bool stopWhenCapped);

}  // namespace zel::engine

#endif
