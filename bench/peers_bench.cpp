// The resampler through its public C API against the peers, linked here only, each preset paired with the peer
// setting whose quality it matches (README's quality table): medium with soxr MQ, high with soxr HQ, max with soxr
// VHQ in float and again in double, and medium with libswresample at its high-quality setting (filter size 64,
// phase shift 12, cutoff 0.97, linear interpolation) when its development files are installed. Stereo noise,
// 5 s, input in pieces of 4096 frames, CPU time of 15 interleaved rounds, best round each; that in several
// processes, whose median ratio is printed. Ratios above 1: zel is faster.
//   peers_bench [processes]   the table (3 processes unless given)
//   peers_bench --once        one process's ratios, a line per cell (what the table's processes print)
#include <soxr.h>
#include <zel/resampler.h>
#ifdef ZEL_BENCH_SWR
extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}
#endif

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t kSeconds = 5, kPiece = 4096, kChannels = 2, kRounds = 15;
constexpr unsigned long long kConversions[][2] = {
    {44100, 48000}, {48000, 44100}, {96000, 44100}, {44100, 96000}, {48000, 32000},
    {44100, 16000}, {48000, 16000}, {44100, 22050}, {8000, 44100},  {48000, 44101}};

// Converts all of `in` into `out` (both interleaved stereo, float or double), returning the frames written.
template <typename T>
using Run = std::function<size_t(const std::vector<T> &, std::vector<T> &)>;

template <typename T>
Run<T> viaZel(unsigned long long source, unsigned long long target, int quality) {
    return [=](const std::vector<T> &in, std::vector<T> &out) {
        zel_resampler *r = zel_resampler_create(source, 1, target, 1, kChannels, quality);
        const size_t frames = in.size() / kChannels;
        size_t at = 0, total = 0, used = 0, written = 1;
        for (size_t give = 1; give > 0 || written > 0;) {  // the input, then the end until it gives nothing
            give = std::min(kPiece, frames - at);
            const T *x = give > 0 ? &in[at * kChannels] : nullptr;
            T *y = &out[total * kChannels];
            if constexpr (sizeof(T) == sizeof(float)) {
                zel_resampler_process(r, x, give, &used, y, out.size() / kChannels - total, &written);
            } else {
                zel_resampler_process_double(r, x, give, &used, y, out.size() / kChannels - total, &written);
            }
            at += used, total += written;
        }
        zel_resampler_destroy(r);
        return total;
    };
}

template <typename T>
Run<T> viaSoxr(double source, double target, unsigned long recipe) {
    return [=](const std::vector<T> &in, std::vector<T> &out) {
        const soxr_quality_spec_t quality = soxr_quality_spec(recipe, 0);
        const auto type = sizeof(T) == sizeof(float) ? SOXR_FLOAT32_I : SOXR_FLOAT64_I;
        const soxr_io_spec_t io = soxr_io_spec(type, type);
        soxr_error_t error = nullptr;
        soxr_t s = soxr_create(source, target, kChannels, &error, &io, &quality, nullptr);
        const size_t frames = in.size() / kChannels;
        size_t at = 0, total = 0, used = 0, written = 1;
        for (size_t give = 1; give > 0 || written > 0;) {
            give = std::min(kPiece, frames - at);
            soxr_process(s, give > 0 ? &in[at * kChannels] : nullptr, give, &used, &out[total * kChannels],
                         out.size() / kChannels - total, &written);
            at += used, total += written;
        }
        soxr_delete(s);
        return total;
    };
}

#ifdef ZEL_BENCH_SWR
Run<float> viaSwr(int source, int target) {
    return [=](const std::vector<float> &in, std::vector<float> &out) {
        SwrContext *s = nullptr;
        AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
        swr_alloc_set_opts2(&s, &stereo, AV_SAMPLE_FMT_FLT, target, &stereo, AV_SAMPLE_FMT_FLT, source, 0,
                            nullptr);
        av_opt_set_int(s, "filter_size", 64, 0);
        av_opt_set_int(s, "phase_shift", 12, 0);
        av_opt_set_double(s, "cutoff", 0.97, 0);
        av_opt_set_int(s, "linear_interp", 1, 0);
        swr_init(s);
        const size_t frames = in.size() / kChannels;
        size_t at = 0, total = 0;
        for (;;) {
            const size_t give = std::min(kPiece, frames - at);
            const auto *x = reinterpret_cast<const uint8_t *>(&in[at * kChannels]);
            auto *y = reinterpret_cast<uint8_t *>(&out[total * kChannels]);
            const int got = swr_convert(s, &y, static_cast<int>(out.size() / kChannels - total),
                                        give > 0 ? &x : nullptr, static_cast<int>(give));
            at += give, total += static_cast<size_t>(std::max(got, 0));
            if (give == 0 && got <= 0) break;
        }
        swr_free(&s);
        return total;
    };
}
#endif

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Best CPU seconds of each contestant over interleaved rounds.
template <typename T>
std::vector<double> best(const std::vector<Run<T>> &runs, unsigned long long s, unsigned long long t) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<T> noise(-0.5, 0.5);
    std::vector<T> in(kSeconds * s * kChannels), out((kSeconds * t + 4096) * kChannels);
    for (T &x : in) x = noise(rng);
    std::vector<double> seconds(runs.size(), 1e30);
    for (size_t round = 0; round < kRounds; ++round) {
        for (size_t k = 0; k < runs.size(); ++k) {
            const double start = cpuSeconds();
            const size_t frames = runs[k](in, out);
            seconds[k] = std::min(seconds[k], cpuSeconds() - start);
            // A contestant that stops early would look fast: each must give the whole output (peers differ by a
            // frame or two at the end).
            if (frames + 8 < kSeconds * t || frames > kSeconds * t + 8)
                std::fprintf(stderr, "contestant %zu gave %zu frames, not %llu\n", k, frames, kSeconds * t),
                    std::exit(1);
        }
    }
    return seconds;
}

const char *const kPairs[] = {"medium / soxr MQ", "high / soxr HQ", "max float / soxr VHQ float",
                              "max double / soxr VHQ double", "medium / swr high quality"};

// One process: a line "conversion pair ratio zel-x peer-x" per cell, x being multiples of real time.
void once() {
    for (const auto &[s, t] : kConversions) {
        const auto ds = static_cast<double>(s), dt = static_cast<double>(t);
        std::vector<Run<float>> runs = {
            viaZel<float>(s, t, ZEL_QUALITY_MEDIUM), viaSoxr<float>(ds, dt, SOXR_MQ),
            viaZel<float>(s, t, ZEL_QUALITY_HIGH),   viaSoxr<float>(ds, dt, SOXR_HQ),
            viaZel<float>(s, t, ZEL_QUALITY_MAX),    viaSoxr<float>(ds, dt, SOXR_VHQ)};
#ifdef ZEL_BENCH_SWR
        runs.push_back(viaSwr(static_cast<int>(s), static_cast<int>(t)));
#endif
        const std::vector<double> f = best(runs, s, t);
        const std::vector<double> d =
            best<double>({viaZel<double>(s, t, ZEL_QUALITY_MAX), viaSoxr<double>(ds, dt, SOXR_VHQ)}, s, t);
        const auto line = [&](int pair, double zel, double peer) {
            std::printf("%llu->%llu %d %.4f %.0f %.0f\n", s, t, pair, peer / zel, kSeconds / zel,
                        kSeconds / peer);
        };
        line(0, f[0], f[1]), line(1, f[2], f[3]), line(2, f[4], f[5]), line(3, d[0], d[1]);
        if (f.size() > 6) line(4, f[0], f[6]);
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--once") == 0) return once(), 0;
    const int processes = argc > 1 ? std::atoi(argv[1]) : 3;
    if (processes < 1) return std::fprintf(stderr, "usage: peers_bench [processes] | --once\n"), 2;
    // cell -> ratios (and the last process's multiples of real time)
    std::map<std::pair<std::string, int>, std::vector<double>> ratios;
    std::map<std::pair<std::string, int>, std::pair<double, double>> speeds;
    for (int p = 0; p < processes; ++p) {
        FILE *child = popen((std::string(argv[0]) + " --once").c_str(), "r");
        if (child == nullptr) return std::perror("peers_bench"), 1;
        char conversion[64];
        int pair = 0;
        double ratio = 0, zel = 0, peer = 0;
        while (std::fscanf(child, "%63s %d %lf %lf %lf", conversion, &pair, &ratio, &zel, &peer) == 5) {
            ratios[{conversion, pair}].push_back(ratio);
            speeds[{conversion, pair}] = {zel, peer};
        }
        if (pclose(child) != 0) return std::fprintf(stderr, "peers_bench: a process failed\n"), 1;
    }
    std::printf(
        "CPU-time ratio x(zel) / x(peer), median of %d processes (zel x / peer x real time, last "
        "process)\n\n| pair |",
        processes);
    for (const auto &[s, t] : kConversions) std::printf(" %llu>%llu |", s, t);
    std::printf("\n|---|");
    for (size_t i = 0; i < std::size(kConversions); ++i) std::printf("---|");
    std::printf("\n");
    for (int pair = 0; pair < 5; ++pair) {
        if (ratios.count(
                {std::to_string(kConversions[0][0]) + "->" + std::to_string(kConversions[0][1]), pair}) == 0)
            continue;
        std::printf("| %s |", kPairs[pair]);
        for (const auto &[s, t] : kConversions) {
            const std::pair<std::string, int> cell{std::to_string(s) + "->" + std::to_string(t), pair};
            std::vector<double> r = ratios[cell];
            std::sort(r.begin(), r.end());
            std::printf(" %.2f (%.0f/%.0f) |", r[r.size() / 2], speeds[cell].first, speeds[cell].second);
        }
        std::printf("\n");
    }
    return 0;
}
