// Measures each preset as the README states it: THD+N of a 1 kHz sine at -1 dBFS, gain flatness to 0.9 of the
// lower Nyquist (or the bandwidth asked for) with tones on exact FFT bins, and the worst alias or image. Float
// presets' spectra use a 7-term Blackman-Harris window, whose sidelobes lie far below every figure measured. The
// double preset is measured on float64 signals whose tones all lie on exact bins, without a window: nothing leaks,
// so the method's floor is the FFT's rounding (shown on an ideal sine first).
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <optional>
#include <vector>

#include "engine.h"
#include "reference_render.h"
#include "sample_formats.h"

namespace {

using zel::engine::u64;
constexpr double kPi = 3.14159265358979323846;
constexpr u64 kSize = 1 << 16;  // FFT length, in output frames
const double kAmplitude = std::pow(10.0, -1.0 / 20);

// Radix-2 FFT, with each twiddle factor computed directly so that rounding stays far below the figures.
std::vector<std::complex<double>> fft(const std::vector<std::complex<double>> &a) {
    const size_t n = a.size();
    if (n == 1) return a;
    std::vector<std::complex<double>> even(n / 2), odd(n / 2), out(n);
    for (size_t i = 0; i < n / 2; ++i) even[i] = a[2 * i], odd[i] = a[2 * i + 1];
    even = fft(even), odd = fft(odd);
    for (size_t k = 0; k < n / 2; ++k) {
        const std::complex<double> t =
            std::polar(1.0, -2 * kPi * static_cast<double>(k) / static_cast<double>(n)) * odd[k];
        out[k] = even[k] + t, out[k + n / 2] = even[k] - t;
    }
    return out;
}

double enbw = 0;  // the window's equivalent noise bandwidth, in bins

// The amplitudes per bin of out's spectrum, scaled so that a tone on a bin reads its amplitude there: windowed,
// or not for float64 signals.
template <typename S>
std::vector<double> amplitudes(const std::vector<S> &out) {
    static const double kTerms[] = {0.27105140069342, -0.43329793923448, 0.21812299954311, -0.06592544638803,
                                    0.01081174209837, -0.00077658482522, 0.00001388721735};
    std::vector<std::complex<double>> bins(kSize);
    double windowSum = 0, windowSquares = 0;
    for (u64 n = 0; n < kSize; ++n) {
        double w = sizeof(S) == sizeof(double);
        for (int k = 0; k < 7 && w == 0; ++k)
            w += kTerms[k] * std::cos(2 * kPi * k * static_cast<double>(n) / kSize);
        windowSum += w;
        windowSquares += w * w;
        bins[n] = w * static_cast<double>(out[n]);
    }
    enbw = kSize * windowSquares / (windowSum * windowSum);
    bins = fft(bins);
    std::vector<double> amplitude(kSize / 2);
    for (u64 k = 0; k < kSize / 2; ++k) amplitude[k] = 2 * std::abs(bins[k]) / windowSum;
    return amplitude;
}

// Converts a sine of `frequency` Hz (amplitude `level`, in the preset's sample type) and returns the output's
// amplitudes per bin. `pcm16` quantises the output to 16-bit samples as the library stores them, dithered if
// `dither`.
template <typename S = float>
std::vector<double> spectrum(const zel::engine::Preset &preset, u64 source, u64 target, double frequency,
                             double level = kAmplitude, bool pcm16 = false, bool dither = false,
                             std::optional<double> bandwidth = std::nullopt) {
    zel::engine::Engine engine;
    std::string error;
    EXPECT_TRUE(engine.configure({source, 1}, {target, 1}, 1, preset, error, bandwidth)) << error;
    const u64 skip = 4 * engine.taps() * target / source + 64;  // past the silence before frame 0
    const u64 inputFrames = (skip + kSize) * source / target + engine.taps() + 64;
    const u64 pad = engine.reachBefore() + 1;
    std::vector<S> input(pad + inputFrames + engine.reachAfter(), S(0));
    for (u64 k = 0; k < inputFrames; ++k) {
        input[pad + k] = static_cast<S>(
            level * std::sin(2 * kPi * frequency * static_cast<double>(k) / static_cast<double>(source)));
    }
    std::vector<S> out(kSize);
    const S *planes[] = {input.data()};
    referenceRender(engine, skip, kSize, planes, 0 - pad, out.data());
    if (pcm16) {
        std::vector<int16_t> pcm(kSize);
        void *const to[] = {pcm.data()};
        zel::engine::store(out.data(), kSize, 1, {to, zel::engine::Format::kInt16, false}, 0, skip, dither);
        for (u64 n = 0; n < kSize; ++n) out[n] = static_cast<S>(pcm[n] * 0x1p-15);
    }
    return amplitudes(out);
}

double dB(double ratio) { return 20 * std::log10(ratio); }

// The bin nearest `frequency` at the output rate, and that bin's exact frequency.
u64 binOf(double frequency, u64 target) {
    return static_cast<u64>(std::lround(frequency * kSize / static_cast<double>(target)));
}
double binFrequency(u64 bin, u64 target) { return static_cast<double>(bin * target) / kSize; }

struct Targets {
    const char *preset;
    double thdN, flatness, alias;
    std::optional<double> bandwidth = std::nullopt;  // none: the preset's own
};

// The figures of one preset on one conversion, checked against `want`. Every tone lies on an exact bin.
template <typename S>
void measure(const Targets &want, u64 source, u64 target) {
    const zel::engine::Preset &preset = *zel::engine::findPreset(want.preset);
    const double nyquist = 0.5 * static_cast<double>(std::min(source, target));
    const auto tone = [&](double hz, double level = kAmplitude) {
        return spectrum<S>(preset, source, target, binFrequency(binOf(hz, target), target), level, false,
                           false, want.bandwidth);
    };
    SCOPED_TRACE(testing::Message() << want.preset << " " << want.bandwidth.value_or(0) << ", " << source
                                    << " -> " << target);

    // THD+N of a 1 kHz tone (or one at a fortieth of a lower output rate): everything from 20 Hz (or half the tone)
    // to the output Nyquist but the fundamental's own bins.
    const double toneHz = std::min(1000.0, static_cast<double>(target) / 40);
    const u64 bin = binOf(toneHz, target), low = binOf(std::min(20.0, toneHz / 2), target);
    const std::vector<double> a = tone(toneHz);
    double noise = 0;
    for (u64 k = low; k < kSize / 2; ++k) {
        if (k + 8 < bin || k > bin + 8) noise += a[k] * a[k];
    }
    // Noise of power p reads as p * 2 * enbw summed over the bins; the tone's power is a^2 / 2.
    const double thdN = 10 * std::log10(noise / enbw / (a[bin] * a[bin]));
    EXPECT_LT(thdN, want.thdN);
    std::printf("%s %llu -> %llu: THD+N %.1f dB", want.preset, source, target, thdN);

    double flatness = 0;
    const double edge = want.bandwidth.value_or(preset.passbandEdge);
    for (const double fraction : {0.05, 0.3, 0.6, 0.8, edge}) {
        const double hz = fraction * nyquist;
        flatness = std::max(flatness, std::abs(dB(tone(hz)[binOf(hz, target)] / kAmplitude)));
    }
    EXPECT_LT(flatness, want.flatness);
    std::printf(", flatness %.1e dB", flatness);

    // Aliases of tones between the target's and the source's Nyquist, or images of tones below both.
    double worst = -400;
    const bool down = target < source;
    for (const double fraction :
         down ? std::vector<double>{1.02, 1.3, 1.9} : std::vector<double>{0.5, 0.85}) {
        const double hz = fraction * nyquist;
        if (hz >= 0.5 * static_cast<double>(source)) continue;
        const std::vector<double> s = tone(hz);
        const u64 own = down ? kSize : binOf(hz, target);
        for (u64 k = low; k < kSize / 2; ++k) {
            if (k + 8 < own || k > own + 8) worst = std::max(worst, dB(s[k] / kAmplitude));
        }
    }
    EXPECT_LT(worst, want.alias);
    std::printf(", worst %s %.1f dB\n", down ? "alias" : "image", worst);
}

// The first ten take the rates people convert between (44100 -> 22050 and 16000 -> 48000 the band stage's frames
// alone); the last four reach the extremes: steep downsampling (in two stages), steep upsampling. 48000 -> 44101
// and 44100 -> 48001 interpolate between filter phases.
const u64 kConversions[][2] = {{44100, 48000}, {48000, 44100}, {96000, 44100}, {44100, 96000}, {48000, 32000},
                               {48000, 16000}, {44100, 16000}, {44100, 22050}, {48000, 44101}, {16000, 48000},
                               {44100, 48001}, {44100, 101},   {48000, 1000},  {8000, 384000}};

TEST(Quality, EveryPresetMeetsItsFiguresOnEveryConversion) {
    // Stated figures, with a margin of 3 dB (THD+N, aliases) or a quarter (flatness) for the tests.
    const Targets presets[] = {
        {"medium", -103, 0.0375, -103}, {"high", -133, 0.00375, -128}, {"very-high", -146, 0.00075, -143}};
    for (const Targets &want : presets) {
        for (const auto &c : kConversions) measure<float>(want, c[0], c[1]);
    }
}

// The method reaches far below the double preset's figures: an ideal sine, computed at the output rate, reads
// its own rounding only.
TEST(Quality, TheFloat64MethodFloorsFarBelowTheDoublePreset) {
    const u64 bin = binOf(1000, 48000);
    std::vector<double> ideal(kSize);
    for (u64 n = 0; n < kSize; ++n)
        ideal[n] = kAmplitude * std::sin(2 * kPi * static_cast<double>(bin * n) / static_cast<double>(kSize));
    const std::vector<double> a = amplitudes(ideal);
    double noise = 0;
    for (u64 k = 1; k < kSize / 2; ++k) noise += k == bin ? 0 : a[k] * a[k];
    const double floor = 10 * std::log10(noise / enbw / (a[bin] * a[bin]));
    std::printf("float64 method, ideal sine: THD+N %.1f dB\n", floor);
    EXPECT_LT(floor, -250);
}

TEST(Quality, TheDoublePresetMeetsItsFiguresInFloat64) {
    const Targets max{"max", -173, 0.0001, -173};
    for (const auto &c : kConversions) measure<double>(max, c[0], c[1]);
}

// A wider band on request: flat to its edge, with the aliases and images of the preset.
TEST(Quality, AWiderBandKeepsThePresetsFigures) {
    const Targets wide[] = {{"high", -133, 0.00375, -128, 0.95}, {"very-high", -146, 0.00075, -143, 0.99}};
    for (const Targets &want : wide) {
        for (const auto &c : {kConversions[0], kConversions[5], kConversions[12]})
            measure<float>(want, c[0], c[1]);
    }
    measure<double>({"max", -173, 0.0001, -173, 0.99}, 48000, 44100);
}

// A quiet tone written as 16-bit samples: plain quantisation leaves harmonics that follow the signal, standing
// far above the median bin; dither turns them into noise, so that no harmonic stands out of the floor.
TEST(Quality, DitherRemovesTheHarmonicsOf16BitQuantisation) {
    const zel::engine::Preset &high = *zel::engine::findPreset("high");
    const u64 tone = binOf(1000, 48000);
    for (const bool dither : {false, true}) {
        std::vector<double> a =
            spectrum(high, 44100, 48000, binFrequency(tone, 48000), std::pow(10.0, -70.0 / 20), true, dither);
        double harmonic = 0;  // the strongest up to the 20th
        for (u64 h = 2; h <= 20; ++h) harmonic = std::max(harmonic, a[h * tone]);
        std::nth_element(a.begin(), a.begin() + kSize / 4, a.end());
        const double aboveMedian = dB(harmonic / a[kSize / 4]);
        std::printf("-70 dBFS tone as 16 bits, %s: strongest harmonic %.1f dB above the median bin\n",
                    dither ? "dithered" : "plain", aboveMedian);
        EXPECT_TRUE(dither ? aboveMedian < 12 : aboveMedian > 20);
    }
}

}  // namespace

// A large table's taps come from interpolants down each column, not one by one: each within 2e-14 of the exact
// tap (after both are scaled to unit gain), from short rows to long ones, few phases to many.
TEST(Quality, ATableOfManyPhasesHasTheExactTaps) {
    using namespace zel::engine;
    struct Case {
        double a, pass, stop;
        u64 positions;
    };
    for (const Case c : {Case{180, 0.2067, 0.77, 44101},
                         {180, 0.413, 0.541, 44101},
                         {105, 0.40, 0.6, 3000},
                         {155, 0.1, 0.9, 100000},
                         {180, 0.45, 0.55, 1 << 20}}) {
        bool capped = false;
        const PolyphaseTable t =
            polyphaseTable(c.a, c.pass, c.stop, c.positions, *presetAt(4), capped, false);
        const double beta = kaiserBeta(c.a), i0 = besselI0(beta);
        const u64 n = 2 * t.half;
        std::vector<double> x(n), exact(n);
        double worst = 0;
        for (u64 r = 0; r < t.phases + !t.exact; ++r) {
            for (u64 j = 0; j < n; ++j)
                x[j] = static_cast<double>(r) / static_cast<double>(t.phases) +
                       static_cast<double>(t.half - 1) - static_cast<double>(j);
            kaiserTaps(x.data(), n, static_cast<double>(t.half), (c.pass + c.stop) / 2, beta, i0,
                       exact.data(), t.quadratic);
            double sum = 0;
            for (const double e : exact) sum += e;
            for (u64 j = 0; j < n; ++j)
                worst = std::max(worst, std::fabs(exact[j] / sum - t.rows[r * t.stride + j]));
        }
        EXPECT_LT(worst, 2e-14) << n << " taps, " << t.phases << " phases";
    }
}
