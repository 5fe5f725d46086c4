// Throughput of the resampler per preset and conversion, as multiples of real time for stereo on one core: 10
// seconds of noise from memory to memory, in blocks of 512 output frames, through the public C API (input given
// in pieces of 4096 frames); what a wider band costs, as a ratio to the preset's own band; and what int16 and
// planar buffers and the one-shot call cost, as ratios to float32 interleaved. max runs on float64 frames.
#include <benchmark/benchmark.h>
#include <zel/resampler.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
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

// One buffer (interleaved) or one per channel (planar) of stereo frames in `format`, from float noise.
struct StereoBuffers {
    std::vector<std::vector<char>> planes;
    size_t bytes;  // per sample
    bool planar;
    StereoBuffers(const std::vector<float> &frames, int format, bool isPlanar)
        : bytes(format == ZEL_FORMAT_INT16 ? 2 : 4), planar(isPlanar) {
        const size_t n = frames.size() / 2;
        planes.assign(planar ? 2 : 1, std::vector<char>((planar ? n : 2 * n) * bytes));
        for (size_t i = 0; i < frames.size(); ++i) {
            char *at = planes[planar ? i % 2 : 0].data() + (planar ? i / 2 : i) * bytes;
            const auto pcm = static_cast<int16_t>(frames[i] * 32767);
            if (format == ZEL_FORMAT_INT16) std::memcpy(at, &pcm, 2);
            if (format != ZEL_FORMAT_INT16) std::memcpy(at, &frames[i], 4);
        }
    }
    // The pointers to frame `frame`.
    void *const *at(size_t frame, void **pointers) {
        for (size_t c = 0; c < planes.size(); ++c)
            pointers[c] = planes[c].data() + (planar ? frame : 2 * frame) * bytes;
        return pointers;
    }
};

// A stream in `format` and layout through zel_resampler_process_buffers, or (oneshot) the whole input in one call.
void BM_Io(benchmark::State &state, const char *preset, int format, bool planar, bool oneshot, u64 source,
           u64 target) {
    int quality = preset[0] == 'm' ? ZEL_QUALITY_MEDIUM : ZEL_QUALITY_HIGH;
    zel_resampler_options options;
    zel_resampler_options_init(&options);
    options.input_format = options.output_format = format;
    options.layout = planar ? ZEL_LAYOUT_PLANAR : ZEL_LAYOUT_INTERLEAVED;
    const u64 frames = kSeconds * source, outFrames = frames * target / source + 1;
    StereoBuffers input(noise(frames), format, planar);
    StereoBuffers out(std::vector<float>(2 * (oneshot ? outFrames : 512)), format, planar);
    void *in[2], *to[2];
    zel_resampler *r = zel_resampler_create_with_options(source, 1, target, 1, 2, quality, &options);
    for (auto _ : state) {
        if (oneshot) {
            size_t written = 0;
            zel_resample_oneshot(source, 1, target, 1, 2, quality, &options, input.at(0, in), frames,
                                 out.at(0, to), outFrames, &written);
            continue;
        }
        u64 next = 0;
        zel_resampler_seek(r, 0, &next);
        for (size_t at = 0, used = 0, written = 1; written > 0 || at < frames; at += used) {
            const size_t give = std::min<size_t>(4096, frames - at);
            zel_resampler_process_buffers(r, give > 0 ? input.at(at, in) : nullptr, give, &used,
                                          out.at(0, to), 512, &written);
            benchmark::DoNotOptimize(out.planes[0].data());
        }
    }
    zel_resampler_destroy(r);
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(kSeconds), benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

#define ZEL_IO(preset, source, target)                                                                       \
    BENCHMARK_CAPTURE(BM_Io, preset##_f32_interleaved_##source##_##target, #preset, ZEL_FORMAT_FLOAT32,      \
                      false, false, source, target)                                                          \
        ->Unit(benchmark::kMillisecond);                                                                     \
    BENCHMARK_CAPTURE(BM_Io, preset##_i16_interleaved_##source##_##target, #preset, ZEL_FORMAT_INT16, false, \
                      false, source, target)                                                                 \
        ->Unit(benchmark::kMillisecond);                                                                     \
    BENCHMARK_CAPTURE(BM_Io, preset##_f32_planar_##source##_##target, #preset, ZEL_FORMAT_FLOAT32, true,     \
                      false, source, target)                                                                 \
        ->Unit(benchmark::kMillisecond);                                                                     \
    BENCHMARK_CAPTURE(BM_Io, preset##_i16_planar_##source##_##target, #preset, ZEL_FORMAT_INT16, true,       \
                      false, source, target)                                                                 \
        ->Unit(benchmark::kMillisecond);                                                                     \
    BENCHMARK_CAPTURE(BM_Io, preset##_f32_oneshot_##source##_##target, #preset, ZEL_FORMAT_FLOAT32, false,   \
                      true, source, target)                                                                  \
        ->Unit(benchmark::kMillisecond)

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
ZEL_IO(medium, 44100, 48000);
ZEL_IO(medium, 48000, 44100);
ZEL_IO(high, 44100, 48000);
ZEL_IO(high, 48000, 44100);

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
        std::printf("\nint16, planar and one-shot as a ratio to float32 interleaved (speed):\n");
        for (const auto &[name, value] : speed_) {
            const size_t io = name.find("_interleaved_"), kind = name.find('_', 7);
            if (name.rfind("BM_Io/", 0) != 0 ||
                (io != std::string::npos && name.find("f32") != std::string::npos))
                continue;
            const size_t rest = name.find('_', name.find('_', kind + 1) + 1);  // after "<format>_<layout>"
            const auto base = speed_.find(name.substr(0, kind) + "_f32_interleaved" + name.substr(rest));
            if (base != speed_.end())
                std::printf("  %-48s %8.0fx real time, %5.3f of float32 interleaved\n", name.c_str(), value,
                            value / base->second);
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
