// The quality presets: what each filter attenuates, where its band ends and which arithmetic it computes in.
#ifndef ZEL_SRC_RESAMPLER_PRESETS_H
#define ZEL_SRC_RESAMPLER_PRESETS_H

#include <zel/resampler.h>

#include <string>

namespace zel::engine {

// A quality preset: the filter's stopband attenuation, and its passband and stopband edges as fractions of the
// lower of the two Nyquist frequencies (so that nothing above the target's Nyquist aliases when downsampling,
// and no image of the source's spectrum survives when upsampling).
struct Preset {
    const char *name;
    double stopbandDb;    // 0 for linear interpolation
    double passbandEdge;  // flat up to here
    double stopbandEdge;  // attenuated by stopbandDb from here
    // Coefficients and sums: float and float, or double and double.
    enum Precision { kFloat, kDouble } precision;
    // Samples in and out: double (with double precision), else float.
    bool doubleSamples;
    // Frames between the two stages: double (with double precision), else float. Double ones cost the second
    // stage no widening in its inner products.
    bool doubleIntermediate;
    // The source frames a two-stage stream's first stage may read past an output's position, up and down (twice
    // that when the source is at least twice the target): they bound start-up latency, which picks the band
    // stage's transform length. Each stays at or under the peer converters' at the matching quality (live_bench).
    unsigned long long reachUp, reachDown;
};

// The passband edges a caller may ask for, as fractions of the lower Nyquist frequency.
constexpr double kMinBandwidth = ZEL_MIN_BANDWIDTH, kMaxBandwidth = ZEL_MAX_BANDWIDTH;

// The presets by name: linear, medium, high (the default), very-high, max. Null for an unknown name.
const Preset *findPreset(const std::string &name);
// The preset for a ZEL_QUALITY_* value, in the order above. Null for an unknown one.
const Preset *presetAt(int quality);
// "linear, medium, high, very-high, max", for messages.
std::string presetNames();

}  // namespace zel::engine

#endif
