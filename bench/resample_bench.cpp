// Throughput of the resampling engine per preset and conversion, as multiples of real time for stereo on one
// core: 10 seconds of noise streamed through resampleStream from memory to memory, in blocks of 512 frames.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine.h"
#include "stream.h"

namespace {

using resample::u64;

constexpr u64 kSeconds = 10;

class MemorySource : public resample::FrameSource {
public:
    explicit MemorySource(const std::vector<float> &frames) : frames_(frames) {}
    u64 read(float *out, u64 frames) override {
        const u64 n = std::min<u64>(frames, frames_.size() / 2 - next_);
        std::copy(frames_.begin() + static_cast<long>(2 * next_),
                  frames_.begin() + static_cast<long>(2 * (next_ + n)), out);
        next_ += n;
        return n;
    }
    bool seek(u64 frame) override {
        next_ = frame;
        return true;
    }

private:
    const std::vector<float> &frames_;
    u64 next_ = 0;
};

class NullSink : public resample::FrameSink {
public:
    bool write(const float *data, u64 frames) override {
        benchmark::DoNotOptimize(data);
        written += frames;
        return true;
    }
    u64 written = 0;
};

std::map<std::string, double> realTime;  // preset/conversion -> multiple of real time

void BM_Resample(benchmark::State &state, const char *preset, u64 source, u64 target) {
    resample::Engine engine;
    std::string error;
    if (!engine.configure({source, 1}, {target, 1}, 2, *resample::findPreset(preset), error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
    std::vector<float> input(2 * kSeconds * source);
    for (float &x : input) x = noise(rng);
    for (auto _ : state) {
        MemorySource in(input);
        NullSink out;
        benchmark::DoNotOptimize(resample::resampleStream(engine, in, out).framesWritten);
    }
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(kSeconds), benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

#define ZEL_RESAMPLE(id, preset, source, target)                                     \
    BENCHMARK_CAPTURE(BM_Resample, id##_##source##_##target, preset, source, target) \
        ->Unit(benchmark::kMillisecond)
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

namespace {

// Prints, after the runs, each preset's speed as a ratio to linear interpolation on the same conversion.
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
            const auto linear = speed_.find("BM_Resample/linear" + name.substr(at));
            if (linear != speed_.end()) {
                std::printf("  %-48s %8.0fx real time, %5.3f of linear\n", name.c_str(), value,
                            value / linear->second);
            }
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
