// Live use against soxr, through the public API of each, in one process: the start-up latency (input frames a
// stream at its start must be given before it writes its first frame: zel's input_needed(1); soxr's fed one frame
// at a time), and the time of every callback pulling a fixed number of output frames for ten minutes of audio (mean,
// p99, p99.9 and the worst call, each the median of five runs; and each library's own slowest calls, every call
// timed at its fastest of the five runs, which do the same work call for call, so that what the machine did in one
// run (an interrupt, a stall) drops out: the slowest call after the first; and the first call of a new stream
// with the caches swept, as a stream's first callback would find them after other work, the median of 25), each preset against the soxr recipe it matches:
// medium against MQ, high against HQ, very-high and max against VHQ. zel's callback fetches exactly the input the
// next output needs (input_needed counts from the stream's start); soxr's pulls through its input function.
#include <soxr.h>
#include <zel/resampler.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using u64 = unsigned long long;
using Clock = std::chrono::steady_clock;

constexpr u64 kSeconds = 600;

struct Live {
    u64 source, target;
    unsigned channels;
    size_t block;  // output frames per callback
};

struct Times {
    double mean, p99, p999, worst;  // microseconds
};

Times summary(std::vector<double> t) {
    std::sort(t.begin(), t.end());
    double sum = 0;
    for (double x : t) sum += x;
    const auto at = [&t](double q) { return t[static_cast<size_t>(q * static_cast<double>(t.size() - 1))]; };
    return {sum / static_cast<double>(t.size()), at(0.99), at(0.999), t.back()};
}

constexpr int kRuns = 5;

// Runs of the same calls: each statistic's median over the runs, and the slowest call at its fastest.
struct Runs {
    std::vector<Times> each;
    std::vector<double> fastest;
    void add(const std::vector<double> &times) {
        each.push_back(summary(times));
        if (fastest.empty()) fastest = times;
        for (size_t k = 0; k < times.size(); ++k) fastest[k] = std::min(fastest[k], times[k]);
    }
    double slowestAfterFirst() const { return *std::max_element(fastest.begin() + 1, fastest.end()); }
};

constexpr int kFirstCalls = 25;

double middle(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

Times median(std::vector<Times> runs) {
    const auto mid = [&runs](double Times::*field) {
        std::vector<double> v;
        for (const Times &t : runs) v.push_back(t.*field);
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    return {mid(&Times::mean), mid(&Times::p99), mid(&Times::p999), mid(&Times::worst)};
}

// Evicts both libraries' tables and buffers from every cache level: 64 MB written, a line at a time.
void sweepCaches() {
    static std::vector<unsigned char> junk(64 << 20);
    for (size_t i = 0; i < junk.size(); i += 64) ++junk[i];
}

std::vector<float> noise(u64 samples) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
    std::vector<float> x(samples);
    for (float &v : x) v = uniform(rng);
    return x;
}

// input_needed(1), and the least and most input any output needs past its own position over the first 20000
// outputs: the least is the filters' reach (the floor), the most what a live source must run ahead.
struct Latency {
    u64 start, floor, most;
};

Latency zelLatency(const Live &l, int quality) {
    zel_resampler *r = zel_resampler_create(l.source, 1, l.target, 1, l.channels, quality);
    Latency a{0, ~0ULL, 0};
    zel_resampler_input_needed(r, 1, &a.start);
    for (u64 t = 0; t < 20000; ++t) {
        u64 n = 0;
        zel_resampler_input_needed(r, t + 1, &n);
        const u64 ahead =
            n - t * l.source / l.target;  // frames from the output's position to the last it reads
        a.floor = std::min(a.floor, ahead), a.most = std::max(a.most, ahead);
    }
    zel_resampler_destroy(r);
    return a;
}

u64 soxrLatency(const Live &l, unsigned long recipe) {
    const soxr_quality_spec_t q = soxr_quality_spec(recipe, 0);
    soxr_t s = soxr_create(static_cast<double>(l.source), static_cast<double>(l.target), l.channels, nullptr,
                           nullptr, &q, nullptr);
    std::vector<float> frame(l.channels, 0.25f), out(64 * l.channels);
    u64 fed = 0;
    for (size_t done = 0, written = 0; written == 0 && fed < 100000; ++fed)
        soxr_process(s, frame.data(), 1, &done, out.data(), 64, &written);
    soxr_delete(s);
    return fed;
}

// Every call's time, in order.
std::vector<double> zelCallbacks(const Live &l, int quality, const std::vector<float> &in,
                                 u64 calls = kSeconds * 48000) {
    zel_resampler *r = zel_resampler_create(l.source, 1, l.target, 1, l.channels, quality);
    std::vector<float> out(l.block * l.channels);
    std::vector<double> times;
    sweepCaches();
    calls = std::min(calls, kSeconds * l.target / l.block);
    times.reserve(calls);
    u64 fed = 0;
    for (u64 k = 1; k <= calls; ++k) {
        const auto start = Clock::now();
        u64 needed = 0;
        zel_resampler_input_needed(r, k * l.block, &needed);
        size_t used = 0, written = 0;
        zel_resampler_process(r, &in[fed * l.channels], needed - fed, &used, out.data(), l.block, &written);
        fed += used;
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (written != l.block) std::fprintf(stderr, "zel: callback %llu wrote %zu frames\n", k, written);
    }
    zel_resampler_destroy(r);
    return times;
}

struct Source {
    const std::vector<float> *in;
    unsigned channels;
    u64 at = 0;
};

size_t pull(void *context, soxr_cbuf_t *buffer, size_t frames) {
    auto *s = static_cast<Source *>(context);
    frames = std::min<size_t>(frames, s->in->size() / s->channels - s->at);
    *buffer = s->in->data() + s->at * s->channels;
    s->at += frames;
    return frames;
}

std::vector<double> soxrCallbacks(const Live &l, unsigned long recipe, const std::vector<float> &in,
                                  u64 calls = kSeconds * 48000) {
    const soxr_quality_spec_t q = soxr_quality_spec(recipe, 0);
    soxr_t s = soxr_create(static_cast<double>(l.source), static_cast<double>(l.target), l.channels, nullptr,
                           nullptr, &q, nullptr);
    Source source{&in, l.channels};
    soxr_set_input_fn(s, pull, &source, l.block);
    std::vector<float> out(l.block * l.channels);
    std::vector<double> times;
    sweepCaches();
    calls = std::min(calls, kSeconds * l.target / l.block);
    times.reserve(calls);
    for (u64 k = 1; k <= calls; ++k) {
        const auto start = Clock::now();
        const size_t written = soxr_output(s, out.data(), l.block);
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (written != l.block) std::fprintf(stderr, "soxr: callback %llu wrote %zu frames\n", k, written);
    }
    soxr_delete(s);
    return times;
}

}  // namespace

int main() {
    const int presets[] = {ZEL_QUALITY_MEDIUM, ZEL_QUALITY_HIGH, ZEL_QUALITY_VERY_HIGH, ZEL_QUALITY_MAX};
    const unsigned long recipes[] = {SOXR_MQ, SOXR_HQ, SOXR_VHQ, SOXR_VHQ};
    const char *recipeNames[] = {"MQ", "HQ", "VHQ", "VHQ"};
    const u64 conversions[][2] = {{44100, 48000}, {48000, 44100}, {96000, 44100}, {48000, 32000},
                                  {48000, 16000}, {44100, 22050}, {8000, 44100},  {44100, 96000},
                                  {44100, 16000}, {48000, 44101}};
    std::printf(
        "Start-up latency in input frames, zel input_needed(1) / soxr fed one frame at a time; zel's floor\n"
        "(the filters' reach past an output's position) and the most any output needs past it:\n\n");
    std::printf(
        "| conversion | medium / MQ | high / HQ | very-high / VHQ | max / VHQ |\n|---|---|---|---|---|\n");
    for (const auto &[s, t] : conversions) {
        std::printf("| %llu -> %llu |", s, t);
        for (int k = 0; k < 4; ++k) {
            const Live l{s, t, 2, 256};
            const Latency z = zelLatency(l, presets[k]);
            std::printf(" %llu / %llu (%llu-%llu) |", z.start, soxrLatency(l, recipes[k]), z.floor, z.most);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    std::printf(
        "\nCallback times in microseconds, %llu s of audio (mean, p99, p99.9, worst; medians of %d "
        "runs; then the first call of a new stream, caches swept, median of %d; and the slowest call after "
        "it, "
        "each call at its fastest of the runs):\n\n",
        kSeconds, kRuns, kFirstCalls);
    std::printf(
        "| callback | preset | zel mean / p99 / p99.9 / worst; first / slowest after | soxr | soxr mean / "
        "p99 / "
        "p99.9 / worst; first / slowest after |\n|---|---|---|---|---|\n");
    for (const Live &l : {Live{44100, 48000, 2, 256}, Live{16000, 48000, 1, 128}}) {
        const std::vector<float> in = noise((kSeconds + 1) * l.source * l.channels);
        for (int k = 0; k < 4; ++k) {
            // The worst of millions of calls is whatever the machine did then: each figure is the median of
            // kRuns runs, the two libraries taking turns.
            std::vector<double> zFirst, xFirst;
            for (int trial = 0; trial < kFirstCalls; ++trial) {
                zFirst.push_back(zelCallbacks(l, presets[k], in, 1)[0]);
                xFirst.push_back(soxrCallbacks(l, recipes[k], in, 1)[0]);
            }
            Runs zs, xs;
            for (int run = 0; run < kRuns; ++run)
                zs.add(zelCallbacks(l, presets[k], in)), xs.add(soxrCallbacks(l, recipes[k], in));
            const Times z = median(zs.each), x = median(xs.each);
            std::printf(
                "| %llu -> %llu, %u ch, %zu frames | %s | %.1f / %.1f / %.1f / %.1f; %.1f / %.1f | %s | %.1f "
                "/ "
                "%.1f / %.1f / %.1f; %.1f / %.1f |\n",
                l.source, l.target, l.channels, l.block, zel_resampler_quality_name(presets[k]), z.mean,
                z.p99, z.p999, z.worst, middle(zFirst), zs.slowestAfterFirst(), recipeNames[k], x.mean, x.p99,
                x.p999, x.worst, middle(xFirst), xs.slowestAfterFirst());
            std::fflush(stdout);
        }
    }
    return 0;
}
