// The C API against the engine itself. For random rates (whole and fractional), channel counts and presets, the
// input cut into random process calls with random output buffers, and runs after random seeks, must give the
// frames the engine renders from the whole input padded with silence, bit for bit, exactly ceil(N * T / S) of
// them. Failing calls are mixed in and must change nothing; successful ones must leave errno alone. Frames are
// float32 or float64 whatever the preset's own sample type, and some runs widen the band.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "engine.h"
#include "reference_render.h"
#include "zel/resampler.h"

namespace {

using u64 = unsigned long long;
__extension__ typedef unsigned __int128 u128;
constexpr int kUntouched = 12345;  // errno before every call

struct Conversion {
    u64 sn, sd, tn, td;
    unsigned channels;
    int quality;
    double bandwidth;
    u64 s() const { return sn * td; }
    u64 t() const { return tn * sd; }
    u64 whole(u64 target) const { return static_cast<u64>(static_cast<u128>(target) * s() / t()); }
};

std::string describe(const Conversion &c) {
    return std::to_string(c.sn) + "/" + std::to_string(c.sd) + " -> " + std::to_string(c.tn) + "/" +
           std::to_string(c.td) + ", " + std::to_string(c.channels) + " channels, quality " +
           std::to_string(c.quality) + ", bandwidth " + std::to_string(c.bandwidth);
}

// Every output frame of the input, rendered by the engine (in its sample type E) from one buffer holding all of
// it, in the caller's type T.
template <typename E, typename T>
std::vector<T> rendered(const Conversion &c, const std::vector<T> &in, u64 frames, u64 count,
                        const zel::engine::Engine &engine) {
    const u64 pad = engine.reachBefore(), length = pad + frames + engine.reachAfter() + 1;
    std::vector<std::vector<E>> planes(c.channels, std::vector<E>(length, E(0)));
    std::vector<const E *> pointers;
    for (unsigned ch = 0; ch < c.channels; ++ch) {
        for (u64 f = 0; f < frames; ++f) planes[ch][pad + f] = static_cast<E>(in[f * c.channels + ch]);
        pointers.push_back(planes[ch].data());
    }
    std::vector<E> out(count * c.channels);
    referenceRender(engine, 0, count, pointers.data(), 0 - pad, out.data());
    return std::vector<T>(out.begin(), out.end());
}

template <typename T>
std::vector<T> reference(const Conversion &c, const std::vector<T> &in, u64 frames, u64 count,
                         zel::engine::Engine &engine) {
    std::string error;
    const zel::engine::Preset &preset = *zel::engine::presetAt(c.quality);
    EXPECT_TRUE(engine.configure({c.sn, c.sd}, {c.tn, c.td}, static_cast<int>(c.channels), preset, error,
                                 c.bandwidth > 0 ? std::optional<double>(c.bandwidth) : std::nullopt));
    if (preset.doubleSamples) return rendered<double>(c, in, frames, count, engine);
    return rendered<float>(c, in, frames, count, engine);
}

int process(zel_resampler *r, const float *in, size_t n, size_t *used, float *out, size_t m,
            size_t *written) {
    return zel_resampler_process(r, in, n, used, out, m, written);
}
int process(zel_resampler *r, const double *in, size_t n, size_t *used, double *out, size_t m,
            size_t *written) {
    return zel_resampler_process_double(r, in, n, used, out, m, written);
}

// Feeds input frames first .. frames - 1 (`in` holds them from frame `base`) in random pieces with random output
// buffers and returns every frame written. Checks each call's contract on the way.
template <typename T>
std::vector<T> stream(zel_resampler *r, const Conversion &c, const std::vector<T> &in, u64 frames, u64 first,
                      u64 firstOutput, u64 reachAfter, std::mt19937_64 &rng, u64 base = 0) {
    std::vector<T> out, buffer;
    u64 fed = first;
    bool ended = false;
    const auto draw = [&rng](u64 most) {
        return rng() % 4 == 0 ? rng() % (most + 1) : rng() % (most / 16 + 2);
    };
    for (int calls = 0;; ++calls) {
        EXPECT_LT(calls, 100000) << "no progress";
        if (calls >= 100000) break;
        const u64 give = ended ? 0 : draw(frames - fed), space = draw(512);
        buffer.assign(space * c.channels + 1, T(-7));
        const T *input = ended || fed == frames ? nullptr : in.data() + (fed - base) * c.channels;
        size_t used = 99, written = 99;
        if (rng() % 8 == 0) {  // a failing call among the others changes nothing
            errno = kUntouched;
            EXPECT_EQ(process(r, input, give, nullptr, buffer.data(), space, &written), -1);
            EXPECT_EQ(errno, EFAULT);
            EXPECT_EQ(written, 99U);
            EXPECT_EQ(buffer[0], T(-7));
        }
        errno = kUntouched;
        EXPECT_EQ(process(r, input, input ? give : 0, &used, buffer.data(), space, &written), 0);
        EXPECT_EQ(errno, kUntouched);
        EXPECT_EQ(buffer[written * c.channels], T(-7)) << "wrote past the frames it reported";
        // The output bounds what is consumed: exactly the input given, up to the reach of the filter of the first
        // frame there was no room for (the next frame when there was none).
        // (No such frame past 2^64 - 1: then everything is taken.)
        const u128 firstNoRoom = static_cast<u128>(firstOutput) + out.size() / c.channels + space;
        const u128 reach = firstNoRoom > ~0ULL
                               ? ~static_cast<u128>(0)
                               : static_cast<u128>(c.whole(static_cast<u64>(firstNoRoom))) + reachAfter + 1;
        const u128 want = input == nullptr ? 0 : std::min<u128>(give, reach > fed ? reach - fed : 0);
        EXPECT_EQ(used, static_cast<u64>(want)) << "frames consumed";
        out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<long>(written * c.channels));
        fed += used;
        ended = ended || input == nullptr;
        if (ended && space > 0 && written == 0) break;
    }
    return out;
}

template <typename T>
void randomRun(int run, std::mt19937_64 &rng) {
    const u64 rates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000, 192000};
    {
        Conversion c{};
        c.sn = rng() % 3 ? rates[rng() % 10] : 1000 + rng() % 100000;
        c.tn = rng() % 3 ? rates[rng() % 10] : 1000 + rng() % 100000;
        c.sd = rng() % 4 ? 1 : 1 + rng() % 1001;
        c.td = rng() % 4 ? 1 : 1 + rng() % 1001;
        // Ratios up to 12 either way: steeper ones add nothing but filter length or output volume.
        if (static_cast<double>(c.s()) / static_cast<double>(c.t()) > 12) c.tn = c.sn * c.td / c.sd / 4 + 1;
        if (static_cast<double>(c.t()) / static_cast<double>(c.s()) > 12) c.sn = c.tn * c.sd / c.td / 4 + 1;
        // The first three take each form of the band stage: downsampling keeping every other frame, at the source
        // rate, and upsampling by two; the fourth a ratio steep enough for one long stage; the fifth and sixth keep
        // every third frame (in double, and in float with a narrower band); the seventh makes three per source frame.
        const u64 fixed[][2] = {{44100, 16000}, {96000, 44100}, {44100, 48000}, {48000, 16},
                                {48000, 16000}, {96000, 32000}, {16000, 48000}};
        if (run < 7) c.sn = fixed[run][0], c.tn = fixed[run][1], c.sd = c.td = 1;
        c.channels = 1 + static_cast<unsigned>(rng() % 8);
        c.quality = run == 3 || run == 5 ? ZEL_QUALITY_HIGH
                    : run == 4           ? ZEL_QUALITY_MAX
                                         : static_cast<int>(rng() % 5);
        c.bandwidth = run == 5 ? 0.8
                      : c.quality > 0 && rng() % 4 == 0 && run != 3
                          ? 0.8 + static_cast<double>(rng() % 16) / 100
                          : 0;
        SCOPED_TRACE(describe(c) + (sizeof(T) == sizeof(float) ? ", float32" : ", float64"));
        // Some inputs outlast the windows (4096 frames past the reach, and the intermediate frames of two
        // stages), so that they are compacted while in use.
        const u64 frames = rng() % 3 == 0 ? 20000 + rng() % 20000 : rng() % 2500;
        std::vector<T> in(frames * c.channels);
        std::uniform_real_distribution<T> noise(-1, 1);
        for (T &x : in) x = noise(rng);

        zel_resampler *r = c.bandwidth > 0
                               ? zel_resampler_create_with_bandwidth(c.sn, c.sd, c.tn, c.td, c.channels,
                                                                     c.quality, c.bandwidth)
                               : zel_resampler_create(c.sn, c.sd, c.tn, c.td, c.channels, c.quality);
        ASSERT_NE(r, nullptr);
        const u64 count = static_cast<u64>((static_cast<u128>(frames) * c.t() + c.s() - 1) / c.s());
        u64 reported = 0;
        ASSERT_EQ(zel_resampler_output_frames(r, frames, &reported), 0);
        EXPECT_EQ(reported, count);
        zel::engine::Engine engine;
        const std::vector<T> want = reference(c, in, frames, count, engine);
        const u64 after = engine.reachAfter(), before = engine.reachBefore();

        for (int attempt = 0; attempt < 2; ++attempt) {
            const std::vector<T> got = stream(r, c, in, frames, 0, 0, after, rng);
            ASSERT_EQ(got.size(), want.size()) << "frames";
            EXPECT_TRUE(got.empty() || std::memcmp(got.data(), want.data(), got.size() * sizeof(T)) == 0);
            u64 input = 99;
            ASSERT_EQ(zel_resampler_seek(r, 0, &input), 0);
            EXPECT_EQ(input, 0U);
        }
        // Near frame 0 the filter reaches before the input, which then starts at frame 0: every seek there.
        for (u64 target = 0; target <= (before + 1) * c.t() / c.s() + 1; ++target) {
            u64 input = 0;
            ASSERT_EQ(zel_resampler_seek(r, target, &input), 0);
            ASSERT_EQ(input, c.whole(target) > before ? c.whole(target) - before : 0) << "seek to " << target;
        }
        // The last seek lands near the end of the input's range, shifted by whole periods of the positions and of
        // the first stage's units: the same input must give the same frames, every index exact up to there.
        const u64 d = engine.firstStage() == zel::engine::Engine::FirstStage::kBand ? engine.band().decimation
                                                                                    : engine.decimation();
        const u64 period = engine.mapper().sourceCommonRate * engine.unitFrames() * d,
                  outPeriod = engine.mapper().targetCommonRate * engine.unitFrames() * d;
        const u64 periods = std::min(((1ULL << 61) - frames - before) / period, (~0ULL - count) / outPeriod);
        for (int seek = 0; seek < 3; ++seek) {
            const u64 target = rng() % (count + 3), shiftIn = seek == 2 ? periods * period : 0;
            const u64 shiftOut = seek == 2 ? periods * outPeriod : 0, whole = c.whole(target);
            u64 input = 0, shifted = 0;
            errno = kUntouched;
            ASSERT_EQ(zel_resampler_seek(r, target, &input), 0);
            ASSERT_EQ(zel_resampler_seek(r, target + shiftOut, &shifted), 0);
            EXPECT_EQ(errno, kUntouched);
            EXPECT_EQ(input, whole > before ? whole - before : 0);
            if (input > frames) continue;
            ASSERT_LE(shifted, shiftIn + input);
            std::vector<T> padded((shiftIn + input - shifted) * c.channels, T(0));  // silence before frame 0
            padded.insert(padded.end(), in.begin() + static_cast<long>(input * c.channels), in.end());
            const std::vector<T> got =
                stream(r, c, padded, shiftIn + frames, shifted, target + shiftOut, after, rng, shifted);
            const u64 from = std::min(target, count) * c.channels;
            ASSERT_EQ(got.size(), want.size() - from)
                << "frames after seeking to " << target << " + " << shiftOut;
            EXPECT_TRUE(got.empty() ||
                        std::memcmp(got.data(), want.data() + from, got.size() * sizeof(T)) == 0)
                << "after seeking to " << target << " + " << shiftOut;
        }
        zel_resampler_destroy(r);
    }
}

TEST(ResamplerApi, AnyChunkingAndSeekGivesTheEnginesFramesExactly) {
    std::mt19937_64 rng(0x5EED0001);
    for (int run = 0; run < 40; ++run) {
        if (rng() % 3 == 0) {
            randomRun<double>(run, rng);
        } else {
            randomRun<float>(run, rng);
        }
    }
}

// The contract's first line: output frame t is the band-limited input at position t * S / T exactly, with no
// delay. A 1 kHz tone must come out as the same tone sampled at the target rate, for each preset, with one filter
// phase per position (44100 -> 48000), with phases interpolated by the exact remainder (48000 -> 44101), through
// a first stage that decimates by 3 (48000 -> 8000), and through each form of the band stage (upsampling by two
// above; at the source rate; keeping every other or third frame; making three per source frame).
TEST(ResamplerApi, AToneComesOutAtItsExactPositions) {
    constexpr double kPi = 3.14159265358979323846;
    for (const auto &[source, target] : {std::pair<double, double>{44100, 48000},
                                         {48000, 44101},
                                         {48000, 8000},
                                         {96000, 44100},
                                         {48000, 16000},
                                         {16000, 48000}}) {
        std::vector<float> in(8000), out(9000);
        for (size_t k = 0; k < in.size(); ++k)
            in[k] = static_cast<float>(0.5 * std::sin(2 * kPi * 1000 * static_cast<double>(k) / source));
        for (int quality = 0; quality <= ZEL_QUALITY_MAX; ++quality) {
            zel_resampler *r =
                zel_resampler_create(static_cast<u64>(source), 1, static_cast<u64>(target), 1, 1, quality);
            size_t used = 0, written = 0;
            ASSERT_EQ(zel_resampler_process(r, in.data(), in.size(), &used, out.data(), out.size(), &written),
                      0);
            double worst = 0;
            for (size_t t = written / 4; t < written * 3 / 4; ++t) {
                const double want = 0.5 * std::sin(2 * kPi * 1000 * static_cast<double>(t) / target);
                worst = std::max(worst, std::abs(out[t] - want));
            }
            // Linear interpolation errs by up to h^2 |x''| / 8: 0.5 (2 pi 1000 / S)^2 / 8 for a source frame h.
            const double step = 2 * kPi * 1000 / source;
            EXPECT_LT(worst, quality == ZEL_QUALITY_LINEAR   ? 0.5 * step * step / 8 * 1.05
                             : quality == ZEL_QUALITY_MEDIUM ? 2e-5
                                                             : 2e-6)
                << source << " -> " << target << ", " << quality;
            zel_resampler_destroy(r);
        }
    }
}

// Each failure's errno, with nothing written and nothing changed.
TEST(ResamplerApi, FailuresSetErrnoAndChangeNothing) {
    const auto created = [](u64 sn, u64 sd, u64 tn, u64 td, unsigned ch, int q) {
        errno = 0;
        zel_resampler *r = zel_resampler_create(sn, sd, tn, td, ch, q);
        zel_resampler_destroy(r);
        return r == nullptr ? errno : 0;
    };
    EXPECT_EQ(created(0, 1, 48000, 1, 2, 1), EDOM);
    EXPECT_EQ(created(44100, 0, 48000, 1, 2, 1), EDOM);
    EXPECT_EQ(created(44100, 1, 0, 1, 2, 1), EDOM);
    EXPECT_EQ(created(44100, 1, 48000, 0, 2, 1), EDOM);
    EXPECT_EQ(created(1ULL << 63, 1, 1, 1, 2, 1), EOVERFLOW);
    EXPECT_EQ(created(44100, 1, 48000, 1, 0, 1), EINVAL);
    EXPECT_EQ(created(44100, 1, 48000, 1, 1025, 1), EINVAL);
    // The reason, one line, per thread: another thread has none of its own.
    EXPECT_STREQ(zel_resampler_error_message(), "the channel count must be 1 to 1024, not 1025");
    std::thread([] { EXPECT_STREQ(zel_resampler_error_message(), ""); }).join();
    EXPECT_STREQ(zel_resampler_quality_name(ZEL_QUALITY_VERY_HIGH), "very-high");
    EXPECT_EQ(zel_resampler_quality_name(ZEL_QUALITY_MAX + 1), nullptr);
    EXPECT_EQ(created(44100, 1, 48000, 1, 1024, 0), 0);
    EXPECT_EQ(created(44100, 1, 48000, 1, 2, -1), EINVAL);
    EXPECT_EQ(created(44100, 1, 48000, 1, 2, 5), EINVAL);
    const auto banded = [](int q, double bandwidth) {
        errno = 0;
        zel_resampler *r = zel_resampler_create_with_bandwidth(44100, 1, 101, 1, 2, q, bandwidth);
        zel_resampler_destroy(r);
        return r == nullptr ? errno : 0;
    };
    // 0.99 at a ratio of 437 would take a filter of about a million taps: refused, not shortened.
    EXPECT_EQ(banded(ZEL_QUALITY_HIGH, 0.80), 0);
    EXPECT_EQ(banded(ZEL_QUALITY_HIGH, 0.95), 0);
    EXPECT_EQ(banded(ZEL_QUALITY_HIGH, 0.99), EINVAL);
    for (const double bad : {0.0, 0.7999, 0.9901, 1.0, -0.9, std::nan("")})
        EXPECT_EQ(banded(ZEL_QUALITY_HIGH, bad), EINVAL) << bad;
    EXPECT_EQ(banded(ZEL_QUALITY_LINEAR, 0.9), EINVAL);

    // Two input frames per output frame: output frame 2^63 would be input frame 2^64.
    zel_resampler *down = zel_resampler_create(2, 1, 1, 1, 1, ZEL_QUALITY_LINEAR);
    zel_resampler *up = zel_resampler_create(1, 1, 2, 1, 1, ZEL_QUALITY_LINEAR);
    ASSERT_TRUE(down && up);
    float in[4] = {1, 2, 3, 4}, out[4] = {-7, -7, -7, -7};
    size_t used = 99, written = 99;
    u64 value = 99;
    const auto fails = [&](int result, int code) {
        EXPECT_EQ(result, -1);
        EXPECT_EQ(errno, code);
        EXPECT_EQ(used, 99U);
        EXPECT_EQ(written, 99U);
        EXPECT_EQ(value, 99U);
        EXPECT_EQ(out[0], -7.0f);
    };
    fails(zel_resampler_process(nullptr, in, 4, &used, out, 4, &written), EFAULT);
    fails(zel_resampler_process(up, in, 4, nullptr, out, 4, &written), EFAULT);
    fails(zel_resampler_process(up, in, 4, &used, out, 4, nullptr), EFAULT);
    fails(zel_resampler_process(up, nullptr, 4, &used, out, 4, &written), EFAULT);
    fails(zel_resampler_process(up, in, 4, &used, nullptr, 4, &written), EFAULT);
    fails(zel_resampler_seek(nullptr, 0, &value), EFAULT);
    fails(zel_resampler_seek(up, 0, nullptr), EFAULT);
    fails(zel_resampler_output_frames(nullptr, 1, &value), EFAULT);
    fails(zel_resampler_output_frames(up, 1, nullptr), EFAULT);
    fails(zel_resampler_seek(down, 1ULL << 63, &value), EOVERFLOW);
    fails(zel_resampler_output_frames(up, 1ULL << 63, &value), EOVERFLOW);
    ASSERT_EQ(zel_resampler_output_frames(up, (1ULL << 63) - 1, &value), 0);
    EXPECT_EQ(value, ~0ULL - 1);

    // Input frames end at 2^61: a seek to an output there and input reaching it are refused, all before works.
    constexpr u64 kLimit = 1ULL << 61;
    u64 next = 0;
    value = 99;
    fails(zel_resampler_seek(down, kLimit / 2, &value), EOVERFLOW);
    ASSERT_EQ(zel_resampler_seek(down, kLimit / 2 - 1, &next), 0);
    EXPECT_EQ(next, kLimit - 2);
    fails(zel_resampler_process(down, in, 3, &used, out, 4, &written), EOVERFLOW);
    ASSERT_EQ(zel_resampler_process(down, in, 2, &used, out, 4, &written), 0);
    EXPECT_EQ(used, 2U);

    // Input after the end; the drain then goes on as before: 2 frames at twice the rate, linear, are 1, 1.5, 2
    // and halfway to the silence after the last frame.
    ASSERT_EQ(zel_resampler_seek(up, 0, &next), 0);
    ASSERT_EQ(zel_resampler_process(up, in, 2, &used, out, 4, &written), 0);
    EXPECT_EQ(written, 2U);
    ASSERT_EQ(zel_resampler_process(up, nullptr, 0, &used, out, 0, &written), 0);
    used = written = 99;
    out[0] = -7;
    fails(zel_resampler_process(up, in, 1, &used, out, 4, &written), EINVAL);
    ASSERT_EQ(zel_resampler_process(up, in, 0, &used, out, 4, &written), 0);
    ASSERT_EQ(written, 2U);
    EXPECT_EQ(out[0], 2.0f);
    EXPECT_EQ(out[1], 1.0f);
    zel_resampler_destroy(down);
    zel_resampler_destroy(up);
}

}  // namespace

namespace {

// The input a stream needs before it has written n frames, fed one frame at a time from its start or a seek: the
// n-th frame appears exactly with the frame the query counts, for each stage's form and every preset.
TEST(ResamplerApi, InputNeededIsExactlyWhenTheOutputAppears) {
    std::mt19937_64 rng(0x5EED0002);
    for (const auto &[source, target] : {std::pair<u64, u64>{44100, 48000},
                                         {48000, 44101},
                                         {96000, 44100},
                                         {48000, 8000},
                                         {48000, 16},
                                         {44100, 44100}}) {
        for (int quality = 0; quality <= ZEL_QUALITY_MAX; ++quality) {
            zel_resampler *r = zel_resampler_create(source, 1, target, 1, 1, quality);
            const u64 n = 1 + rng() % (rng() % 2 ? 3 : 3000), start = rng() % 2 ? 0 : rng() % 100000;
            u64 input = 0, needed = 0;
            ASSERT_EQ(zel_resampler_seek(r, start, &input), 0);
            ASSERT_EQ(zel_resampler_input_needed(r, n, &needed), 0);
            std::vector<float> out(n + 1);
            size_t total = 0, used = 0, written = 0;
            const float frame = 0.5f;
            for (u64 k = 0; k < needed; ++k) {
                ASSERT_LT(total, n) << source << " -> " << target << " q" << quality << ": early, at " << k;
                ASSERT_EQ(zel_resampler_process(r, &frame, 1, &used, out.data() + total, n - total, &written),
                          0);
                total += written;
            }
            ASSERT_EQ(zel_resampler_process(r, &frame, 0, &used, out.data() + total, n - total, &written), 0);
            EXPECT_EQ(total + written, n)
                << source << " -> " << target << " q" << quality << " from " << start;
            zel_resampler_destroy(r);
        }
    }
    zel_resampler *r = zel_resampler_create(1, 1, 2, 1, 1, ZEL_QUALITY_LINEAR);
    u64 needed = 99;
    EXPECT_EQ(zel_resampler_input_needed(r, 0, &needed), 0);
    EXPECT_EQ(needed, 0U);
    EXPECT_EQ(zel_resampler_input_needed(r, ~0ULL, &needed), -1);
    EXPECT_EQ(errno, EOVERFLOW);
    EXPECT_STREQ(zel_resampler_version(), "0.1.0");
    zel_resampler_destroy(r);
}

// A live source runs ahead of its output by the most input any output needs past its own position: at every
// preset it stays within what soxr 0.1.3 needs before its first output at the recipe of matching quality (MQ, HQ,
// VHQ, VHQ; stereo, fed one frame at a time), the figures live_bench prints beside zel's.
TEST(ResamplerApi, InputRunsAheadNoFurtherThanThePeersAtMatchingQuality) {
    struct Case {
        u64 source, target, peer[4];
    };
    for (const Case &c :
         {Case{44100, 48000, {940, 922, 886, 886}}, Case{48000, 44100, {933, 913, 1898, 1898}},
          Case{96000, 44100, {1866, 1826, 3796, 3796}}, Case{48000, 32000, {906, 879, 1849, 1849}},
          Case{48000, 16000, {1812, 1758, 3698, 3698}}, Case{44100, 22050, {1890, 1854, 1782, 1782}},
          Case{8000, 44100, {935, 917, 881, 881}}, Case{44100, 16000, {1816, 1768, 3716, 3716}},
          Case{48000, 44101, {933, 913, 1898, 1898}}}) {
        for (int quality = ZEL_QUALITY_MEDIUM; quality <= ZEL_QUALITY_MAX; ++quality) {
            zel_resampler *r = zel_resampler_create(c.source, 1, c.target, 1, 2, quality);
            u64 most = 0;
            for (u64 t = 0; t < 4000; ++t) {
                u64 needed = 0;
                ASSERT_EQ(zel_resampler_input_needed(r, t + 1, &needed), 0);
                most = std::max(most, needed - t * c.source / c.target);
            }
            EXPECT_LE(most, c.peer[quality - ZEL_QUALITY_MEDIUM])
                << c.source << " -> " << c.target << " q" << quality;
            zel_resampler_destroy(r);
        }
    }
}

}  // namespace
