// resample_response PRESET[:BANDWIDTH] SOURCE_RATE TARGET_RATE [POINTS [FROM_HZ TO_HZ]]: measures a preset's
// frequency response through the public API, in float64 so that the deepest preset is not floored by float32. For
// each input tone from 0 to the source's Nyquist (or over FROM..TO) it prints the frequency and the gain in dB of
// what reaches the output: at the tone's own frequency below the target's Nyquist, at its alias above it (a
// Blackman-Harris-windowed DFT at exactly that frequency, over 32768 output frames after the filter has settled).
#include <zel/resampler.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "quality_names.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr unsigned long long kFrames = 32768;

// Output frames skip .. skip + kFrames - 1 of a tone at `frequency`, through the public API: seek to the first,
// then feed the tone from the input frame the resampler asks for.
std::vector<double> tone(zel_resampler *r, double source, double frequency, unsigned long long skip) {
    unsigned long long k = 0;
    zel_resampler_seek(r, skip, &k);
    std::vector<double> out(kFrames), in(4096);
    size_t written = 0;
    while (written < kFrames) {
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = 0.5 * std::sin(2 * kPi * frequency * static_cast<double>(k + i) / source);
        size_t used = 0, got = 0;
        zel_resampler_process_double(r, in.data(), in.size(), &used, out.data() + written, kFrames - written,
                                     &got);
        k += used, written += got;
    }
    return out;
}

double gainDb(zel_resampler *r, double source, double target, double frequency) {
    const auto skip = static_cast<unsigned long long>(target) + 64;  // one second: the filter has settled
    const std::vector<double> out = tone(r, source, frequency, skip);
    // Where the tone lands at the output rate: itself, or folded about the target's Nyquist.
    const double landed = std::abs(frequency - target * std::round(frequency / target));
    double re = 0, im = 0, windowSum = 0;
    for (unsigned long long n = 0; n < kFrames; ++n) {
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
    const std::string preset = argc > 1 ? argv[1] : "";
    const size_t colon = preset.find(':');
    const int quality = zel_cli::qualityFromName(preset.substr(0, colon));
    const double bandwidth = colon == std::string::npos ? 0 : std::atof(preset.c_str() + colon + 1);
    if (argc < 4 || quality < 0) {
        std::fprintf(stderr,
                     "usage: resample_response PRESET[:BANDWIDTH] SOURCE_RATE TARGET_RATE [POINTS [FROM_HZ "
                     "TO_HZ]]\n");
        return 2;
    }
    const unsigned long long source = std::strtoull(argv[2], nullptr, 10),
                             target = std::strtoull(argv[3], nullptr, 10);
    const int points = argc > 4 ? std::atoi(argv[4]) : 400;
    const double from = argc > 6 ? std::atof(argv[5]) : 0,
                 to = argc > 6 ? std::atof(argv[6]) : 0.5 * static_cast<double>(source);
    zel_resampler *r = colon == std::string::npos
                           ? zel_resampler_create(source, 1, target, 1, 1, quality)
                           : zel_resampler_create_with_bandwidth(source, 1, target, 1, 1, quality, bandwidth);
    if (points < 2 || r == nullptr) {
        std::fprintf(stderr, "resample_response: %s\n",
                     r == nullptr ? zel_resampler_error_message() : "POINTS must be at least 2");
        return 1;
    }
    std::printf("frequency_hz,gain_db\n");
    for (int i = 1; i < points; ++i) {
        const double f = from + (to - from) * i / points;
        std::printf("%.3f,%.6f\n", f, gainDb(r, static_cast<double>(source), static_cast<double>(target), f));
    }
    zel_resampler_destroy(r);
    return 0;
}
