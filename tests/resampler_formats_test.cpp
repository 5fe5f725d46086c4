// Every sample format and layout against the float path. For random conversions, a stream made with options
// (any input and output format, interleaved or planar, dithered or not), fed in random pieces and after a random
// seek, and the one-shot call must give exactly what zel_resampler_process_double gives for the same input as
// doubles, stored as the output format says: floats as they are, integers rounded half to even and clipped (the
// clipped samples counted), dithered integers within one step of it and the same for every chunking. Then the
// options' size rule and the failures, each with its errno and its reason.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "zel/resampler.h"

namespace {

using u64 = unsigned long long;

size_t bytesOf(int format) { return format == ZEL_FORMAT_INT16 ? 2 : format == ZEL_FORMAT_FLOAT64 ? 8 : 4; }
double fullScale(int format) {
    return format == ZEL_FORMAT_INT16 ? 32768.0 : format == ZEL_FORMAT_INT24 ? 8388608.0 : 2147483648.0;
}
bool integral(int format) { return format >= ZEL_FORMAT_INT16; }

// Frames of one format and layout: sample (f, c) and the pointers a call takes from frame `from` on.
struct Frames {
    int format = ZEL_FORMAT_FLOAT32;
    bool planar = false;
    u64 channels = 1, frames = 0;
    std::vector<std::vector<char>> planes;  // one (interleaved) or one per channel
    std::vector<void *> pointers;

    Frames(int f, bool p, u64 ch, u64 n) : format(f), planar(p), channels(ch), frames(n) {
        planes.assign(planar ? channels : 1,
                      std::vector<char>((planar ? n : n * channels) * bytesOf(f) + 8, 0x5A));
        pointers.resize(planes.size());
    }
    char *at(u64 f, u64 c) {
        return planes[planar ? c : 0].data() + (planar ? f : f * channels + c) * bytesOf(format);
    }
    double get(u64 f, u64 c) {
        char *p = at(f, c);
        float f32;
        double f64;
        int16_t i16;
        int32_t i32;
        if (format == ZEL_FORMAT_FLOAT32) return std::memcpy(&f32, p, 4), f32;
        if (format == ZEL_FORMAT_FLOAT64) return std::memcpy(&f64, p, 8), f64;
        if (format == ZEL_FORMAT_INT16) return std::memcpy(&i16, p, 2), i16;
        return std::memcpy(&i32, p, 4), i32;
    }
    void set(u64 f, u64 c, double v) {  // v in the format's range
        const float f32 = static_cast<float>(v);
        const auto i16 = static_cast<int16_t>(format == ZEL_FORMAT_INT16 ? v : 0);
        const auto i32 = static_cast<int32_t>(integral(format) && format != ZEL_FORMAT_INT16 ? v : 0);
        const void *from[] = {&f32, &v, &i16, &i32, &i32};
        std::memcpy(at(f, c), from[format], bytesOf(format));
    }
    void *const *from(u64 f) {
        for (u64 k = 0; k < pointers.size(); ++k) pointers[k] = planar ? at(f, k) : at(f, 0);
        return pointers.data();
    }
};

// `count` output frames of `r` into `out`, fed `input` from frame `inputFirst` on in random pieces.
Frames streamed(zel_resampler *r, Frames &input, u64 inputFirst, Frames out, u64 count,
                std::mt19937_64 &rng) {
    u64 fed = inputFirst, written = 0;
    for (int calls = 0; calls < 100000; ++calls) {
        const bool end = fed == input.frames;
        const u64 give = end ? 0 : rng() % (input.frames - fed + 1),
                  space = std::min<u64>(rng() % 700, count - written);
        size_t used = 0, got = 0;
        EXPECT_EQ(zel_resampler_process_buffers(r, end ? nullptr : input.from(fed), give, &used,
                                                out.from(written), space, &got),
                  0);
        fed += used, written += got;
        if ((end && space > 0 && got == 0) || written == count) break;
    }
    EXPECT_EQ(written, count);
    return out;
}

TEST(ResamplerFormats, EveryFormatAndLayoutGivesTheFloatPathsFrames) {
    std::mt19937_64 rng(0x5EED0029);
    const u64 rates[] = {8000, 16000, 44100, 48000, 96000};
    const int formats[] = {ZEL_FORMAT_FLOAT32, ZEL_FORMAT_FLOAT64, ZEL_FORMAT_INT16, ZEL_FORMAT_INT32,
                           ZEL_FORMAT_INT24};
    for (int run = 0; run < 100; ++run) {
        const u64 source = rates[rng() % 5], target = rates[rng() % 5];
        const unsigned channels = 1 + static_cast<unsigned>(rng() % 4);
        const int quality = static_cast<int>(rng() % 5);
        zel_resampler_options o;
        zel_resampler_options_init(&o);
        o.input_format = formats[run % 5], o.output_format = formats[run / 5 % 5];
        o.layout = rng() % 2 ? ZEL_LAYOUT_PLANAR : ZEL_LAYOUT_INTERLEAVED;
        o.dither = integral(o.output_format) && rng() % 3 == 0;
        const int in = o.input_format, outFormat = o.output_format;
        SCOPED_TRACE(std::to_string(source) + " -> " + std::to_string(target) + ", " +
                     std::to_string(channels) + " channels, quality " + std::to_string(quality) +
                     ", format " + std::to_string(in) + " -> " + std::to_string(outFormat) + ", layout " +
                     std::to_string(o.layout) + ", dither " + std::to_string(o.dither));

        // Input past full scale at times, so that integer output clips; integers over their whole range.
        const u64 frames = rng() % 3000;
        Frames input(in, o.layout == ZEL_LAYOUT_PLANAR, channels, frames);
        std::vector<double> asDouble(frames * channels);
        const double loud = rng() % 2 ? 1.5 : 0.9;
        for (u64 f = 0; f < frames; ++f) {
            for (u64 c = 0; c < channels; ++c) {
                const double x = std::uniform_real_distribution<double>(-loud, loud)(rng);
                input.set(f, c, integral(in) ? std::floor(std::clamp(x, -1.0, 0.999) * fullScale(in)) : x);
                asDouble[f * channels + c] = integral(in) ? input.get(f, c) / fullScale(in) : input.get(f, c);
            }
        }
        zel_resampler *plain = zel_resampler_create(source, 1, target, 1, channels, quality);
        zel_resampler *r = zel_resampler_create_with_options(source, 1, target, 1, channels, quality, &o);
        ASSERT_TRUE(plain && r);
        u64 count = 0;
        ASSERT_EQ(zel_resampler_output_frames(r, frames, &count), 0);
        std::vector<double> want(count * channels + 1);
        size_t used = 0, got = 0, total = 0;
        ASSERT_EQ(
            zel_resampler_process_double(plain, asDouble.data(), frames, &used, want.data(), count, &total),
            0);
        while (zel_resampler_process_double(plain, nullptr, 0, &used, &want[total * channels], count - total,
                                            &got) == 0 &&
               got > 0)
            total += got;
        ASSERT_EQ(total, count);

        Frames out = streamed(r, input, 0, Frames(outFormat, input.planar, channels, count), count, rng);
        u64 clipped = 0, wantClipped = 0;
        ASSERT_EQ(zel_resampler_clipped(r, &clipped), 0);
        for (u64 f = 0; f < count; ++f) {
            for (u64 c = 0; c < channels; ++c) {
                const double w = want[f * channels + c], y = out.get(f, c);
                if (!integral(outFormat)) {
                    ASSERT_EQ(y, outFormat == ZEL_FORMAT_FLOAT32 ? static_cast<float>(w) : w)
                        << f << ", " << c;
                    continue;
                }
                const double scaled = w * fullScale(outFormat), rounded = std::nearbyint(scaled);
                const double high = fullScale(outFormat) - 1, low = -fullScale(outFormat);
                if (o.dither) {
                    ASSERT_LE(std::abs(y - std::clamp(scaled, low, high)), 1.5) << f << ", " << c;
                } else {
                    ASSERT_EQ(y, std::clamp(rounded, low, high)) << f << ", " << c;
                    wantClipped += rounded > high || rounded < low;
                }
            }
        }
        EXPECT_TRUE(o.dither || clipped == wantClipped);
        // Every output byte is the same after a seek and through the one-shot call (for dither too).
        const u64 to = rng() % (count + 1);
        u64 next = 0;
        ASSERT_EQ(zel_resampler_seek(r, to, &next), 0);
        if (next <= frames) {
            Frames rest =
                streamed(r, input, next, Frames(outFormat, input.planar, channels, count), count - to, rng);
            for (u64 f = 0; f < count - to; ++f)
                for (u64 c = 0; c < channels; ++c)
                    ASSERT_EQ(std::memcmp(rest.at(f, c), out.at(to + f, c), bytesOf(outFormat)), 0) << f;
        }
        const u64 room = rng() % 2 ? count : rng() % (count + 1);
        o.threads = static_cast<unsigned>(rng() % 5);  // parts converted apart join exactly (0 counts as 1)
        Frames once(outFormat, out.planar, channels, count);
        size_t onceWritten = 99;
        ASSERT_EQ(zel_resample_oneshot(source, 1, target, 1, channels, quality, &o,
                                       frames > 0 ? input.from(0) : nullptr, frames, once.from(0), room,
                                       &onceWritten),
                  0);
        ASSERT_EQ(onceWritten, room);
        for (const auto &plane : once.planes) EXPECT_EQ(plane.back(), 0x5A) << "wrote past the buffer";
        for (u64 f = 0; f < room; ++f)
            for (u64 c = 0; c < channels; ++c)
                ASSERT_EQ(std::memcmp(once.at(f, c), out.at(f, c), bytesOf(outFormat)), 0) << f;
        zel_resampler_destroy(plain);
        zel_resampler_destroy(r);
    }
}

// Integer output at its edges, through a copy (linear at equal rates): ties to even, clipping (counted) at both
// ends and for NaN and infinities, never a wrap; interleaved and planar, each through the vectorised run.
TEST(ResamplerFormats, IntegerOutputRoundsHalfToEvenAndClipsNeverWraps) {
    // Input in 16-bit steps, and the samples it must give.
    const double steps[16] = {NAN,     INFINITY, -INFINITY, 3.3e34, 0.5,      1.5,    2.5,  -0.5,
                              32767.5, 32766.5,  -32768,    32768,  -32768.5, -49152, 8192, -8192};
    const int16_t want[16] = {-32768, 32767, -32768, 32767, 0,      2,      2,    0,
                              32767,  32766, -32768, 32767, -32768, -32768, 8192, -8192};
    for (const int layout : {ZEL_LAYOUT_INTERLEAVED, ZEL_LAYOUT_PLANAR}) {
        zel_resampler_options o;
        zel_resampler_options_init(&o);
        o.output_format = ZEL_FORMAT_INT16, o.layout = layout;
        Frames input(ZEL_FORMAT_FLOAT32, layout == ZEL_LAYOUT_PLANAR, 2, 8),
            out(ZEL_FORMAT_INT16, input.planar, 2, 8);
        for (u64 i = 0; i < 16; ++i) input.set(i / 2, i % 2, steps[i] / 32768);
        size_t written = 0;
        u64 clipped = 0;
        zel_resampler *r = zel_resampler_create_with_options(48000, 1, 48000, 1, 2, ZEL_QUALITY_LINEAR, &o);
        ASSERT_EQ(zel_resample_oneshot(48000, 1, 48000, 1, 2, ZEL_QUALITY_LINEAR, &o, input.from(0), 8,
                                       out.from(0), 8, &written),
                  0);
        ASSERT_EQ(written, 8U);
        for (u64 i = 0; i < 16; ++i) EXPECT_EQ(out.get(i / 2, i % 2), want[i]) << i << ", layout " << layout;
        size_t used = 0;
        ASSERT_EQ(zel_resampler_process_buffers(r, input.from(0), 8, &used, out.from(0), 8, &written), 0);
        ASSERT_EQ(
            zel_resampler_process_buffers(r, nullptr, 0, &used, out.from(written), 8 - written, &written), 0);
        ASSERT_EQ(zel_resampler_clipped(r, &clipped), 0);
        EXPECT_EQ(clipped, 7U)
            << "NaN, both infinities, 1e30, 32767.5, 1.0 and -1.5 clip; -32768.5 rounds to -32768";
        zel_resampler_destroy(r);
    }
}

// The options' size rule, and each failure with its errno and reason, nothing consumed or written.
TEST(ResamplerFormats, OptionsAndBuffersFailWithTheirReason) {
    const auto made = [](const zel_resampler_options *o, const char *reason = "") {
        errno = 0;
        zel_resampler *r = zel_resampler_create_with_options(44100, 1, 48000, 1, 2, ZEL_QUALITY_MEDIUM, o);
        zel_resampler_destroy(r);
        if (r == nullptr) {
            EXPECT_STREQ(zel_resampler_error_message(), reason);
        }
        return r == nullptr ? errno : 0;
    };
    EXPECT_EQ(made(nullptr), 0);
    zel_resampler_options o;
    zel_resampler_options_init(&o);
    // An older caller's struct ends before `layout`: what lies past its size is not read.
    o.layout = o.dither = 77;
    o.size = offsetof(zel_resampler_options, layout);
    EXPECT_EQ(made(&o), 0);
    // A newer caller's struct: zero bytes past ours are fine, anything else is a setting this library lacks.
    struct Newer {
        zel_resampler_options known;
        int later[2];
    } newer{};
    zel_resampler_options_init(&newer.known);
    newer.known.size = sizeof newer;
    EXPECT_EQ(made(&newer.known), 0);
    newer.later[1] = 1;
    EXPECT_EQ(made(&newer.known, "options set at byte 52, past the 48 this library (0.1.0) knows"), EINVAL);
    using Options = zel_resampler_options;
    const std::pair<void (*)(Options &), const char *> refused[] = {
        {[](Options &x) { x.size = 0; }, "options.size is 0; set it with zel_resampler_options_init"},
        {[](Options &x) { x.input_format = 5; },
         "unknown input_format 5 (ZEL_FORMAT_FLOAT32 to ZEL_FORMAT_INT24)"},
        {[](Options &x) { x.output_format = -1; },
         "unknown output_format -1 (ZEL_FORMAT_FLOAT32 to ZEL_FORMAT_INT24)"},
        {[](Options &x) { x.layout = 2; }, "unknown layout 2 (ZEL_LAYOUT_INTERLEAVED or ZEL_LAYOUT_PLANAR)"},
        {[](Options &x) { x.dither = 2; }, "dither must be 0 or 1, not 2"},
        {[](Options &x) { x.bandwidth = 0.75; }, "bandwidth 0.75 is outside 0.80 to 0.99"},
        {[](Options &x) { x.source_rate_range = 0.2; }, "source_rate_range 0.2 is outside 0 to 0.10"}};
    for (const auto &[set, reason] : refused) {
        zel_resampler_options_init(&o);
        set(o);
        EXPECT_EQ(made(&o, reason), EINVAL);
    }

    // Planar stereo int16: a null channel pointer with frames is EFAULT; without frames nothing reads it.
    zel_resampler_options_init(&o);
    o.input_format = o.output_format = ZEL_FORMAT_INT16, o.layout = ZEL_LAYOUT_PLANAR;
    zel_resampler *r = zel_resampler_create_with_options(1, 1, 2, 1, 2, ZEL_QUALITY_LINEAR, &o);
    int16_t left[4] = {100, 200, 300, 400}, right[4] = {-100, -200, -300, -400}, outL[8], outR[8];
    outL[0] = 7;
    void *in[2] = {left, right}, *holed[2] = {left, nullptr}, *out[2] = {outL, outR};
    size_t used = 99, written = 99;
    for (const auto &[input, output] :
         {std::pair<void **, void **>{holed, out}, {nullptr, out}, {in, holed}}) {
        errno = 0;
        EXPECT_EQ(zel_resampler_process_buffers(r, input, 4, &used, output, 8, &written), -1);
        EXPECT_EQ(errno, EFAULT);
        EXPECT_STREQ(zel_resampler_error_message(), "a null buffer or channel pointer with frames");
    }
    EXPECT_TRUE(used == 99 && written == 99 && outL[0] == 7);
    EXPECT_EQ(zel_resampler_process_buffers(r, in, 4, &used, holed, 0, &written), 0)
        << "no frames, no pointers";
    size_t onceWritten = 99;
    EXPECT_EQ(zel_resample_oneshot(1, 1, 2, 1, 2, ZEL_QUALITY_LINEAR, &o, holed, 4, out, 8, &onceWritten),
              -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(zel_resample_oneshot(1, 1, 2, 1, 0, ZEL_QUALITY_LINEAR, &o, in, 4, out, 8, &onceWritten), -1);
    EXPECT_EQ(errno, EINVAL);
    o.threads = 65;
    EXPECT_EQ(zel_resample_oneshot(1, 1, 2, 1, 2, ZEL_QUALITY_LINEAR, &o, in, 4, out, 8, &onceWritten), -1);
    EXPECT_STREQ(zel_resampler_error_message(), "threads must be 1 to 64, not 65");
    EXPECT_EQ(onceWritten, 99U);
    EXPECT_EQ(zel_resampler_clipped(r, nullptr), -1);
    zel_resampler_destroy(r);
}

}  // namespace
