// Throughput of the resampler per preset and conversion, as multiples of real time for stereo on one core: 10
// seconds of noise from memory to memory, in blocks of 512 output frames, through the public C API (input given
// in pieces of 4096 frames); and what a wider band costs, as a ratio to the preset's own band. max runs on
// float64 frames.
#include <benchmark/benchmark.h>
#include <zel/resampler.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using u64 = unsigned long long;

constexpr u64 kSeconds = 10;

std::vector<float> noise(u64 frames) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
    std::vector<float> input(2 * frames);
    for (float &x : input) x = uniform(rng);
    return input;
}

int process(zel_resampler *r, const float *in, size_t n, size_t *used, float *out, size_t m, size_t *got) {
    return zel_resampler_process(r, in, n, used, out, m, got);
}
int process(zel_resampler *r, const double *in, size_t n, size_t *used, double *out, size_t m, size_t *got) {
    return zel_resampler_process_double(r, in, n, used, out, m, got);
}

template <typename T>
void apiRun(benchmark::State &state, zel_resampler *r, u64 source) {
    const std::vector<float> noiseFrames = noise(kSeconds * source);
    const std::vector<T> input(noiseFrames.begin(), noiseFrames.end());
    std::vector<T> out(2 * 512);
    for (auto _ : state) {
        u64 next = 0;
        zel_resampler_seek(r, 0, &next);
        for (size_t at = 0, used = 0, written = 1; written > 0 || at < input.size() / 2; at += used) {
            const size_t give = std::min<size_t>(4096, input.size() / 2 - at);
            process(r, give > 0 ? input.data() + 2 * at : nullptr, give, &used, out.data(), 512, &written);
            benchmark::DoNotOptimize(out.data());
        }
    }
}

void BM_Api(benchmark::State &state, const char *preset, double bandwidth, u64 source, u64 target) {
    const char *const names[] = {"linear", "medium", "high", "very-high", "max"};
    int quality = 0;
    while (std::string(names[quality]) != preset) ++quality;
    zel_resampler *r = bandwidth > 0
                           ? zel_resampler_create_with_bandwidth(source, 1, target, 1, 2, quality, bandwidth)
                           : zel_resampler_create(source, 1, target, 1, 2, quality);
    if (quality == ZEL_QUALITY_MAX) {
        apiRun<double>(state, r, source);
    } else {
        apiRun<float>(state, r, source);
    }
    zel_resampler_destroy(r);
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(kSeconds), benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

#define ZEL_RESAMPLE(id, preset, source, target)                                     \
    BENCHMARK_CAPTURE(BM_Api, id##_##source##_##target, preset, 0.0, source, target) \
        ->Unit(benchmark::kMillisecond)
#define ZEL_BAND(id, preset, band, source, target)                                                       \
    BENCHMARK_CAPTURE(BM_Api, id##_bw##band##_##source##_##target, preset, band / 100.0, source, target) \
        ->Unit(benchmark::kMillisecond)
#define ZEL_BANDS(id, preset, source, target) \
    ZEL_BAND(id, preset, 95, source, target); \
    ZEL_BAND(id, preset, 99, source, target)
#define ZEL_CONVERSIONS(id, preset)         \
    ZEL_RESAMPLE(id, preset, 44100, 48000); \
    ZEL_RESAMPLE(id, preset, 48000, 44100); \
    ZEL_RESAMPLE(id, preset, 96000, 44100); \
    ZEL_RESAMPLE(id, preset, 44100, 96000); \
    ZEL_RESAMPLE(id, preset, 48000, 32000)

ZEL_CONVERSIONS(linear, "linear");
ZEL_CONVERSIONS(medium, "medium");
ZEL_CONVERSIONS(high, "high");
ZEL_CONVERSIONS(very_high, "very-high");
BENCHMARK_CAPTURE(BM_Api, max_44100_48000, "max", 0.0, 44100, 48000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Api, max_48000_44100, "max", 0.0, 48000, 44100)->Unit(benchmark::kMillisecond);
ZEL_BANDS(high, "high", 44100, 48000);
ZEL_BANDS(high, "high", 48000, 44100);
ZEL_BANDS(very_high, "very-high", 44100, 48000);
ZEL_BANDS(very_high, "very-high", 48000, 44100);
ZEL_BANDS(max, "max", 44100, 48000);
ZEL_BANDS(max, "max", 48000, 44100);

namespace {

// Prints, after the runs, each preset's speed as a ratio to linear interpolation on the same conversion, and each
// wider band's as a ratio to the preset's own.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const auto counter = run.counters.find("x_realtime");
            const bool use = run.run_type == Run::RT_Iteration || run.aggregate_name == "median";
            if (counter != run.counters.end() && use) speed_[run.run_name.str()] = counter->second.value;
        }
    }
    void printRatios() const {
        std::printf("\nspeed as a ratio to linear interpolation on the same conversion:\n");
        for (const auto &[name, value] : speed_) {
            // Names end in the conversion, "_SSSSS_TTTTT" (plus "_median" for repeated runs).
            const size_t end = name.find("_median"), at = (end == std::string::npos ? name.size() : end) - 12;
            const auto linear = speed_.find("BM_Api/linear" + name.substr(at));
            if (linear != speed_.end()) {
                std::printf("  %-48s %8.0fx real time, %5.3f of linear\n", name.c_str(), value,
                            value / linear->second);
            }
        }
        std::printf("\na wider band's speed as a ratio to the preset's own band (0.90):\n");
        for (const auto &[name, value] : speed_) {
            const size_t band = name.find("_bw");
            if (band == std::string::npos) continue;
            const auto own = speed_.find(name.substr(0, band) + name.substr(band + 5));
            if (own != speed_.end())
                std::printf("  %-48s %8.0fx real time, %5.3f of its own band\n", name.c_str(), value,
                            value / own->second);
        }
    }

private:
    std::map<std::string, double> speed_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}
