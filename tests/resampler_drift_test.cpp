// A source rate that changes while a stream runs. The same changes at the same output frames must give the same
// frames, bit for bit, whatever the input and output pieces; a tone through a ramp of the rate must come out at
// the exact positions the changes define, as clean as each preset's THD+N; and the refusals leave the stream as
// it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "zel/resampler.h"

namespace {

using u64 = unsigned long long;
__extension__ typedef unsigned __int128 u128;
using Schedule = std::vector<std::pair<u64, u64>>;  // (output frame, source numerator from it on), in order

zel_resampler *make(u64 sn, u64 sd, u64 tn, unsigned channels, int quality, double range) {
    zel_resampler_options o;
    zel_resampler_options_init(&o);
    o.output_format = o.input_format = ZEL_FORMAT_FLOAT64;
    o.source_rate_range = range;
    return zel_resampler_create_with_options(sn, sd, tn, 1, channels, quality, &o);
}

// Every output frame of `in`, the rate changed as `schedule` says; pieces of random sizes when `rng` is given.
std::vector<double> run(zel_resampler *r, const std::vector<double> &in, unsigned channels,
                        const Schedule &schedule, std::mt19937_64 *rng) {
    std::vector<double> out;
    std::vector<double> buffer(4096 * channels);
    const u64 frames = in.size() / channels;
    u64 fed = 0, written = 0;
    size_t next = 0;
    for (int calls = 0; calls < 1000000; ++calls) {
        while (next < schedule.size() && schedule[next].first == written)
            EXPECT_EQ(zel_resampler_set_source_rate(r, schedule[next++].second), 0);
        const u64 until = next < schedule.size() ? schedule[next].first - written : 4096;
        const u64 room = std::min<u64>(rng ? (*rng)() % 700 + 1 : 4096, until);
        const bool end = fed == frames;
        const u64 give = end ? 0 : rng ? 1 + (*rng)() % (frames - fed) : frames - fed;
        const void *from[1] = {end ? nullptr : &in[fed * channels]};
        void *to[1] = {buffer.data()};
        size_t used = 0, got = 0;
        EXPECT_EQ(zel_resampler_process_buffers(r, end ? nullptr : from, give, &used, to, room, &got), 0);
        fed += used, written += got;
        out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<long>(got * channels));
        if (end && got == 0 && room > 0) break;
    }
    return out;
}

TEST(ResamplerDrift, TheSameChangesGiveTheSameFramesForAnyPieces) {
    std::mt19937_64 rng(0x5EED0030);
    const u64 rates[][2] = {{44100, 48000}, {48000, 44100}, {96000, 44100}, {48000, 16000},
                            {48000, 8000},  {8000, 44100},  {44100, 44100}};
    for (int k = 0; k < 28; ++k) {
        const u64 sd = rng() % 2 ? 1 : 1000, sn = rates[k % 7][0] * sd, tn = rates[k % 7][1];
        const unsigned channels = 1 + static_cast<unsigned>(rng() % 2);
        const int quality = k / 7 % 5;
        const double range = 0.001 + 0.099 * static_cast<double>(rng() % 100) / 100;
        SCOPED_TRACE(std::to_string(sn) + "/" + std::to_string(sd) + " -> " + std::to_string(tn) +
                     " quality " + std::to_string(quality) + ", range " + std::to_string(range));
        const u64 frames = 2000 + rng() % 20000;
        std::vector<double> in(frames * channels);
        for (double &x : in) x = std::uniform_real_distribution<double>(-1, 1)(rng);
        // Changes at random output frames (all before the output ends), anywhere in the range.
        Schedule schedule;
        const u64 span = static_cast<u64>(static_cast<double>(sn) * range);
        for (u64 t = rng() % 500; t < frames * tn / (sn / sd) * 9 / 10; t += 1 + rng() % 3000)
            schedule.push_back({t, sn - span + rng() % (2 * span + 1)});
        zel_resampler *a = make(sn, sd, tn, channels, quality, range),
                      *b = make(sn, sd, tn, channels, quality, range);
        ASSERT_TRUE(a && b);
        const std::vector<double> whole = run(a, in, channels, schedule, nullptr);
        const std::vector<double> pieces = run(b, in, channels, schedule, &rng);
        ASSERT_EQ(whole.size(), pieces.size());
        EXPECT_EQ(std::memcmp(whole.data(), pieces.data(), whole.size() * sizeof(double)), 0);
        // A seek restarts at the current rate: frame t at t * S' / T, as a new stream set to that rate from frame 0
        // gives it.
        u64 input = 0;
        const u64 target = rng() % (whole.size() / channels + 1);
        ASSERT_EQ(zel_resampler_seek(a, target, &input), 0);
        if (input <= frames) {
            const std::vector<double> rest(in.begin() + static_cast<long>(input * channels), in.end());
            const std::vector<double> after = run(a, rest, channels, {}, &rng);
            zel_resampler *c = make(sn, sd, tn, channels, quality, range);
            const u64 last = schedule.empty() ? sn : schedule.back().second;
            const std::vector<double> fromZero = run(c, in, channels, {{0, last}}, nullptr);
            zel_resampler_destroy(c);
            // A target past the stream's end at that rate (its input frame is before the end by the filter's
            // reach) gives nothing.
            const size_t skip = std::min<size_t>(fromZero.size(), target * channels);
            ASSERT_EQ(after.size(), fromZero.size() - skip);
            EXPECT_TRUE(after.empty() || std::memcmp(after.data(), fromZero.data() + skip,
                                                     after.size() * sizeof(double)) == 0);
        }
        zel_resampler_destroy(a);
        zel_resampler_destroy(b);
    }
}

// 1 kHz at 48000.000 Hz into 44100 Hz while the source rate climbs by 0.5% in steps of 0.001 Hz every 64 output
// frames: output frame t must be the tone at its exact position, p_k + (t - t_k) S' / T.
TEST(ResamplerDrift, AToneThroughARampComesOutAtTheChangingPositions) {
    constexpr u64 sn = 48000000, sd = 1000, tn = 44100, frames = 96000;
    constexpr long double kOmega = 2 * 3.14159265358979323846L * 1000 / 48000;
    std::vector<double> in(frames);
    for (u64 n = 0; n < frames; ++n)
        in[n] = 0.5 * static_cast<double>(std::sin(kOmega * static_cast<long double>(n)));
    Schedule schedule;
    for (u64 t = 64, step = 0; t < 80000; t += 64) schedule.push_back({t, sn + ++step * 3});
    const double limits[] = {0, -110, -130, -145, -175};  // each preset's THD+N, less a margin
    for (int quality = ZEL_QUALITY_MEDIUM; quality <= ZEL_QUALITY_MAX; ++quality) {
        zel_resampler *r = make(sn, sd, tn, 1, quality, 0.01);
        const std::vector<double> out = run(r, in, 1, schedule, nullptr);
        zel_resampler_destroy(r);
        // Positions over sd * tn, exactly: each change at t_k keeps p_k and steps by its numerator.
        u128 position = 0;
        u64 numerator = sn;
        size_t next = 0;
        double error = 0, signal = 0;
        for (u64 t = 0; t < out.size(); ++t, position += numerator) {
            while (next < schedule.size() && schedule[next].first == t) numerator = schedule[next++].second;
            if (t < 2000 || position / (sd * tn) > frames - 4000) continue;  // away from the input's edges
            const long double p = static_cast<long double>(position) / static_cast<long double>(sd * tn);
            const double want = 0.5 * static_cast<double>(std::sin(kOmega * p));
            error += (out[t] - want) * (out[t] - want), signal += want * want;
        }
        EXPECT_LT(10 * std::log10(error / signal), limits[quality]) << zel_resampler_quality_name(quality);
        // Exactly the frames whose positions lie before the input's end.
        EXPECT_TRUE(position >= frames * sd * tn && position - numerator < frames * sd * tn) << out.size();
    }
}

TEST(ResamplerDrift, RefusalsChangeNothing) {
    zel_resampler *fixed = make(48000, 1, 44100, 1, ZEL_QUALITY_HIGH, 0),
                  *r = make(48000, 1, 44100, 1, 2, 0.01);
    ASSERT_TRUE(fixed && r);
    errno = 0;
    EXPECT_EQ(zel_resampler_set_source_rate(fixed, 48000), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_STREQ(zel_resampler_error_message(),
                 "this resampler's source rate is fixed; make it with a source_rate_range to change it");
    for (const u64 bad : {0ULL, 47519ULL, 48481ULL}) {
        EXPECT_EQ(zel_resampler_set_source_rate(r, bad), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_STREQ(zel_resampler_error_message(),
                 "source rate numerator 48481 is outside 47520 to 48480, the range it was made with");
    u64 frames = 0;
    ASSERT_EQ(zel_resampler_set_source_rate(r, 47520), 0);
    ASSERT_EQ(zel_resampler_output_frames(r, 47520, &frames), 0);
    EXPECT_EQ(frames, 44100U) << "the count at the current rate";
    // Terms whose products pass 2^62 cannot keep a fixed denominator: refused when the resampler is made.
    EXPECT_EQ(make(3ULL << 31, 1ULL << 31, (1ULL << 31) + 1, 1, ZEL_QUALITY_LINEAR, 0.01), nullptr);
    EXPECT_STREQ(zel_resampler_error_message(),
                 "the rates are too large to follow a moving source rate exactly");
    EXPECT_EQ(zel_resampler_set_source_rate(nullptr, 48000), -1);
    EXPECT_EQ(errno, EFAULT);
    zel_resampler_destroy(fixed);
    zel_resampler_destroy(r);
}

}  // namespace
