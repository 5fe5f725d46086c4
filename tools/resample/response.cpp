// resample_response PRESET SOURCE_RATE TARGET_RATE [POINTS [FROM_HZ TO_HZ]]: measures a preset's frequency
// response through the engine. For each input tone from 0 to the source's Nyquist (or over FROM..TO) it prints
// the frequency and the gain in dB of what reaches the output: at the tone's own frequency below the target's
// Nyquist, at its alias above it (a Blackman-Harris-windowed DFT at exactly that frequency, over 32768 output
// frames after the filter has settled).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr resample::u64 kFrames = 32768;

double gainDb(const resample::Engine &engine, double source, double target, double frequency) {
    const auto skip =
        static_cast<resample::u64>(4.0 * static_cast<double>(engine.taps()) * target / source) + 64;
    const auto frames = static_cast<resample::u64>(static_cast<double>(skip + kFrames) * source / target) +
                        engine.taps() + 64;
    const resample::u64 pad = engine.reachBefore() + 1;
    std::vector<float> input(pad + frames + engine.reachAfter(), 0.0f);
    for (resample::u64 k = 0; k < frames; ++k)
        input[pad + k] =
            static_cast<float>(0.5 * std::sin(2 * kPi * frequency * static_cast<double>(k) / source));
    std::vector<float> out(kFrames);
    const float *planes[] = {input.data()};
    engine.render(skip, kFrames, planes, -static_cast<long long>(pad), out.data());
    // Where the tone lands at the output rate: itself, or folded about the target's Nyquist.
    const double landed = std::abs(frequency - target * std::round(frequency / target));
    double re = 0, im = 0, windowSum = 0;
    for (resample::u64 n = 0; n < kFrames; ++n) {
        const double phase = 2 * kPi * static_cast<double>(n) / kFrames;
        const double w = 0.35875 - 0.48829 * std::cos(phase) + 0.14128 * std::cos(2 * phase) -
                         0.01168 * std::cos(3 * phase);
        const double angle = 2 * kPi * landed * static_cast<double>(skip + n) / target;
        re += w * out[n] * std::cos(angle);
        im -= w * out[n] * std::sin(angle);
        windowSum += w;
    }
    return 20 * std::log10(2 * std::hypot(re, im) / windowSum / 0.5);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4 || resample::findPreset(argv[1]) == nullptr) {
        std::fprintf(stderr,
                     "usage: resample_response PRESET SOURCE_RATE TARGET_RATE [POINTS [FROM_HZ TO_HZ]]\n");
        return 2;
    }
    const unsigned long long source = std::strtoull(argv[2], nullptr, 10),
                             target = std::strtoull(argv[3], nullptr, 10);
    const int points = argc > 4 ? std::atoi(argv[4]) : 400;
    const double from = argc > 6 ? std::atof(argv[5]) : 0,
                 to = argc > 6 ? std::atof(argv[6]) : 0.5 * static_cast<double>(source);
    resample::Engine engine;
    std::string error;
    if (points < 2 || !engine.configure({source, 1}, {target, 1}, 1, *resample::findPreset(argv[1]), error)) {
        std::fprintf(stderr, "resample_response: %s\n",
                     error.empty() ? "POINTS must be at least 2" : error.c_str());
        return 1;
    }
    std::printf("frequency_hz,gain_db\n");
    for (int i = 1; i < points; ++i) {
        const double f = from + (to - from) * i / points;
        std::printf("%.3f,%.6f\n", f,
                    gainDb(engine, static_cast<double>(source), static_cast<double>(target), f));
    }
    return 0;
}
