// The resampler through its public C API against soxr and libsamplerate, linked here only: the speed of each
// preset as a ratio to the peer setting whose quality it matches or beats (medium and high against soxr HQ,
// very-high against soxr VHQ, and high against libsamplerate's best sinc). Stereo float32 noise, 5 s, input in
// pieces of 4096 frames, best of three rounds in which every contestant runs once, one thread. Ratios above 1:
// zel is faster.
#include <samplerate.h>
#include <soxr.h>
#include <zel/resampler.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

namespace {

constexpr size_t kSeconds = 5, kPiece = 4096, kChannels = 2;

using Run = std::function<size_t(const std::vector<float> &, std::vector<float> &)>;

Run viaZel(unsigned long long source, unsigned long long target, int quality) {
    return [=](const std::vector<float> &in, std::vector<float> &out) {
        zel_resampler *r = zel_resampler_create(source, 1, target, 1, kChannels, quality);
        const size_t frames = in.size() / kChannels;
        size_t at = 0, total = 0, used = 0, written = 1;
        while (at < frames || written > 0) {
            const size_t give = std::min(kPiece, frames - at);
            zel_resampler_process(r, give > 0 ? &in[at * kChannels] : nullptr, give, &used,
                                  &out[total * kChannels], out.size() / kChannels - total, &written);
            at += used, total += written;
        }
        zel_resampler_destroy(r);
        return total;
    };
}

Run viaSoxr(double source, double target, unsigned long recipe) {
    return [=](const std::vector<float> &in, std::vector<float> &out) {
        const soxr_quality_spec_t quality = soxr_quality_spec(recipe, 0);
        soxr_error_t error = nullptr;
        soxr_t s = soxr_create(source, target, kChannels, &error, nullptr, &quality, nullptr);
        const size_t frames = in.size() / kChannels;
        size_t at = 0, total = 0, used = 0, written = 1;
        while (at < frames || written > 0) {
            const size_t give = std::min(kPiece, frames - at);
            soxr_process(s, give > 0 ? &in[at * kChannels] : nullptr, give, &used, &out[total * kChannels],
                         out.size() / kChannels - total, &written);
            at += used, total += written;
        }
        soxr_delete(s);
        return total;
    };
}

Run viaLibsamplerate(double source, double target) {
    return [=](const std::vector<float> &in, std::vector<float> &out) {
        int error = 0;
        SRC_STATE *s = src_new(SRC_SINC_BEST_QUALITY, kChannels, &error);
        const size_t frames = in.size() / kChannels;
        size_t at = 0, total = 0;
        for (;;) {
            const size_t give = std::min(kPiece, frames - at);
            SRC_DATA d{};
            d.data_in = &in[at * kChannels];
            d.input_frames = static_cast<long>(give);
            d.data_out = &out[total * kChannels];
            d.output_frames = static_cast<long>(out.size() / kChannels - total);
            d.src_ratio = target / source;
            d.end_of_input = give == 0;
            src_process(s, &d);
            at += static_cast<size_t>(d.input_frames_used), total += static_cast<size_t>(d.output_frames_gen);
            if (give == 0 && d.output_frames_gen == 0) break;
        }
        src_delete(s);
        return total;
    };
}

double seconds(const Run &run, const std::vector<float> &in, std::vector<float> &out) {
    const auto start = std::chrono::steady_clock::now();
    run(in, out);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
    const unsigned long long conversions[][2] = {{44100, 48000}, {48000, 44100}, {96000, 44100},
                                                 {44100, 96000}, {48000, 32000}, {44100, 16000},
                                                 {48000, 16000}};
    std::printf(
        "| conversion | medium / soxr HQ | high / soxr HQ | very-high / soxr VHQ | high / libsamplerate best "
        "|\n"
        "|---|---:|---:|---:|---:|\n");
    for (const auto &[s, t] : conversions) {
        std::mt19937 rng(1);
        std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
        std::vector<float> in(kSeconds * s * kChannels), out((kSeconds * t + 1024) * kChannels);
        for (float &x : in) x = noise(rng);
        const auto ds = static_cast<double>(s), dt = static_cast<double>(t);
        const std::vector<Run> runs = {viaZel(s, t, ZEL_QUALITY_MEDIUM),    viaZel(s, t, ZEL_QUALITY_HIGH),
                                       viaZel(s, t, ZEL_QUALITY_VERY_HIGH), viaSoxr(ds, dt, SOXR_HQ),
                                       viaSoxr(ds, dt, SOXR_VHQ),           viaLibsamplerate(ds, dt)};
        std::vector<double> best(runs.size(), 1e30);
        for (int round = 0; round < 3; ++round) {
            for (size_t k = 0; k < runs.size(); ++k) best[k] = std::min(best[k], seconds(runs[k], in, out));
        }
        const auto x = [&](size_t k) { return static_cast<double>(kSeconds) / best[k]; };  // x real time
        std::printf(
            "| %llu->%llu | %.2f (%.0fx / %.0fx) | %.2f (%.0fx) | %.2f (%.0fx / %.0fx) | %.1f (%.0fx) |\n", s,
            t, x(0) / x(3), x(0), x(3), x(1) / x(3), x(1), x(2) / x(4), x(2), x(4), x(1) / x(5), x(5));
        std::fflush(stdout);
    }
    return 0;
}
