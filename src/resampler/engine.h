// The resampler's engine: converts frames at one rate to frames at another with a band-limited polyphase filter
// (or linear interpolation), taking every output frame's exact source position and filter phase from
// ResamplingMapper. It holds no position state of its own: output frame t is always computed at the mapper's
// position of t, so a run may start anywhere and split into blocks of any size with bit-identical output.
#ifndef ZEL_SRC_RESAMPLER_ENGINE_H
#define ZEL_SRC_RESAMPLER_ENGINE_H

#include <zel/resampler.h>
#include <zel/resampling_mapper.h>

#include <new>
#include <optional>
#include <string>
#include <vector>

namespace resample {

using u64 = unsigned long long;

// A quality preset: the filter's stopband attenuation, and its passband and stopband edges as fractions of the
// lower of the two Nyquist frequencies (so that nothing above the target's Nyquist aliases when downsampling,
// and no image of the source's spectrum survives when upsampling).
struct Preset {
    const char *name;
    double stopbandDb;    // 0 for linear interpolation
    double passbandEdge;  // flat up to here
    double stopbandEdge;  // attenuated by stopbandDb from here
    // Coefficients and sums: float and float, float and double, or double and double.
    enum Precision { kFloat, kMixed, kDouble } precision;
    // Samples in and out: double (with double precision), else float.
    bool doubleSamples;
    // Frames between the two stages: double (with double precision), else float. Double ones cost the second
    // stage no widening in its inner products.
    bool doubleIntermediate;
};

// The passband edges a caller may ask for, as fractions of the lower Nyquist frequency.
constexpr double kMinBandwidth = ZEL_MIN_BANDWIDTH, kMaxBandwidth = ZEL_MAX_BANDWIDTH;

// The presets by name: linear, medium, high (the default), very-high, max. Null for an unknown name.
const Preset *findPreset(const std::string &name);
// The preset for a ZEL_QUALITY_* value, in the order above. Null for an unknown one.
const Preset *presetAt(int quality);
// "linear, medium, high, very-high, max", for messages.
std::string presetNames();

// Allocates on cache-line boundaries, so that the kernels' vector loads of a row never straddle two lines (rows
// are whole multiples of 64 bytes long).
template <typename T>
struct CacheAligned {
    using value_type = T;
    CacheAligned() = default;
    template <typename U>
    CacheAligned(const CacheAligned<U> &) {}
    T *allocate(std::size_t n) {
        return static_cast<T *>(::operator new(n * sizeof(T), std::align_val_t(64)));
    }
    void deallocate(T *p, std::size_t) { ::operator delete(p, std::align_val_t(64)); }
    bool operator==(const CacheAligned &) const { return true; }
    bool operator!=(const CacheAligned &) const { return false; }
};

// The sharp first stage of a conversion below a downsampling ratio of 4: a long linear-phase lowpass at L times
// the source rate (L = 1, or 2 for upsampling by two), by fast convolution in blocks fixed to absolute
// intermediate frame indices, so that no frame's value depends on where a run started or how it was cut.
// Frame i at L S is sum_k x[k] g[i - L k] over the filter's 2K + 1 taps g[-K .. K]; the band stage keeps every
// D-th (D = 1, or 2 for downsampling by 2.5 or more).
struct BandPlan {
    u64 size = 0;        // N: the transform length, a power of two
    u64 factor = 1;      // L
    u64 decimation = 1;  // D
    u64 half = 0;        // K, even
    u64 block = 0;       // B = N - 2K frames at L S per block (even); a unit is two blocks in one transform
    // Twiddles for N points (span h at [h - 1, 2h - 1), imaginary parts N further), and the filter's spectrum
    // (real: the filter is even about tap 0) in the transform's bit-reversed order, scaled by 1 / N. In float for
    // float presets, else in double.
    std::vector<float, CacheAligned<float>> twiddlesF, spectrumF;
    std::vector<double, CacheAligned<double>> twiddlesD, spectrumD;
};

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
    // Target common rates up to this use one filter phase per possible position; larger ones interpolate
    // between kInterpolatedPhases phases with the exact remainder as the weight.
    static constexpr u64 kMaxExactPhases = 4096;
    static constexpr u64 kInterpolatedPhases = 2048;
    // The longest filter, in taps.
    static constexpr u64 kMaxTaps = 65536;
    // The longest span, in source frames, that a two-stage conversion may read for one output frame; a steeper
    // one takes a single stage of at most kMaxTaps taps.
    static constexpr u64 kMaxTwoStageSpan = 1 << 20;

    const mirelo::ResamplingMapper &mapper() const { return mapper_; }
    int channels() const { return channels_; }
    const Preset &preset() const { return *preset_; }
    // One stage: a polyphase filter on the source frames. Two stages: a first stage makes intermediate frames
    // (by decimation by an integer M at ratios of 4 and more, else by the band stage), and the polyphase filter
    // runs on them, mapped by stage2().
    enum class FirstStage { kNone, kDecimate, kBand };
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
    // units) into out[c][0 ..], from source planes laid out as render's. Uses the engine's scratch, so one engine
    // computes on one thread at a time.
    // Samples (S) are float, or double for a preset with doubleSamples; intermediate frames (M) float, or double
    // for a preset with doubleIntermediate. Other types are not allowed.
    template <typename S, typename M>
    void stage1(const S *const *planes, u64 planeStart, u64 first, u64 count, M *const *out) const;
    // Renders output frames as render does, from intermediate frames (planes[c][j - planeStart] is frame j); in
    // one stage, from the source frames themselves.
    template <typename P, typename S>
    void renderDecimated(u64 first, u64 count, const P *const *planes, u64 planeStart, S *out) const;
    u64 phases() const { return phases_; }
    bool exactPhases() const { return exact_; }

    // Renders output frames first .. first + count - 1, interleaved, into out. planes[c][k - planeStart] is
    // source frame k of channel c and must exist for every frame the outputs reach. The difference is taken
    // modulo 2^64, so a plane may start before frame 0 (planeStart = 0 - n). With two stages it uses the engine's
    // scratch (allocated by the first such call), so one engine renders on one thread at a time.
    template <typename S>
    void render(u64 first, u64 count, const S *const *planes, u64 planeStart, S *out) const;

private:
    static constexpr u64 kStageBlock = 256;  // output frames whose intermediate frames are computed at once
    template <typename C, typename S>
    C dot(const C *taps, const S *x) const;
    template <typename S, typename M>
    void decimate(const S *const *planes, u64 planeStart, u64 first, u64 count, M *const *out) const;
    template <typename S, typename M>
    void renderStaged(u64 first, u64 count, const S *const *planes, u64 planeStart, S *out) const;
    template <typename M>
    M *scratch() const;

    mirelo::ResamplingMapper mapper_;  // source frames to output frames
    mirelo::ResamplingMapper
        stage2_;  // intermediate frames to output frames (the same as mapper_ in one stage)
    FirstStage first_ = FirstStage::kNone;
    u64 decimation_ = 1, decimatorHalf_ = 0;
    BandPlan band_;
    void (*bandUnit_)(const BandPlan &, const float *, float *, void *) = nullptr;
    mutable std::vector<double, CacheAligned<double>> work_;  // the band stage's transform
    // The first stage's 2 * decimatorHalf_ + 1 taps, in the precision of the preset's sums (one is empty).
    std::vector<double> decimatorD_;
    std::vector<float> decimatorF_;
    u64 scratchFrames_ = 0;  // per channel: a block's intermediate frames, in whole units
    // render's intermediate frames for one block, with two stages, in the sample type (the other is empty)
    mutable std::vector<float> scratch_;
    mutable std::vector<double> scratchD_;
    const Preset *preset_ = nullptr;
    int channels_ = 0;
    u64 half_ = 1, stride_ = 2, phases_ = 1;
    bool exact_ = true;
    // (phases_ + !exact_) rows of stride_ taps, in float or double as the preset says.
    std::vector<float, CacheAligned<float>> coefficientsF_;
    std::vector<double, CacheAligned<double>> coefficientsD_;
    // The inner products of one or two output frames (see kernels.h), chosen at configuration for the preset
    // and the processor.
    void (*frame_)(const void *const *, const float *const *, u64, u64, u64, double *) = nullptr;
    void (*exactRun_)(const void *, u64, const u64 *, const u64 *, u64, const float *const *, u64, u64, bool,
                      float *) = nullptr;
    // The same on double intermediate frames: to double or float output, from double or float samples.
    void (*frameD_)(const void *const *, const double *const *, u64, u64, u64, double *) = nullptr;
    void (*exactRunD_)(const void *, u64, const u64 *, const u64 *, u64, const double *const *, u64, u64,
                       bool, double *) = nullptr;
    void (*exactRunDF_)(const void *, u64, const u64 *, const u64 *, u64, const double *const *, u64, u64,
                        bool, float *) = nullptr;
    void (*bandUnitD_)(const BandPlan &, const double *, double *, void *) = nullptr;
    void (*bandUnitFD_)(const BandPlan &, const float *, double *, void *) = nullptr;
    const void *row(u64 phase) const;
};

}  // namespace resample

#endif
