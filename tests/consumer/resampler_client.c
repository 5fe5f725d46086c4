/* A C client of the installed resampler, built through pkg-config: planar int16 stereo in one call and in a
 * stream, the start-up latency, the version, and a refusal with its reason. */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <zel/resampler.h>

#define IN_FRAMES 4410
#define OUT_FRAMES 4800

static int16_t left[IN_FRAMES], right[IN_FRAMES], outLeft[OUT_FRAMES], outRight[OUT_FRAMES];
static int16_t streamLeft[OUT_FRAMES], streamRight[OUT_FRAMES];

#define CHECK(condition)                                                     \
    do {                                                                     \
        if (!(condition)) {                                                  \
            fprintf(stderr, "failed: %s (line %d)\n", #condition, __LINE__); \
            return 1;                                                        \
        }                                                                    \
    } while (0)

int main(void) {
    zel_resampler_options options;
    const void *in[2];
    void *out[2];
    size_t written = 0, used = 0, got = 0;
    unsigned long long latency = 0, clipped = 1;
    char version[32];
    zel_resampler *r;
    int i;

    for (i = 0; i < IN_FRAMES; ++i) left[i] = (int16_t)(i * 3), right[i] = (int16_t)(-i * 3);
    zel_resampler_options_init(&options);
    options.input_format = options.output_format = ZEL_FORMAT_INT16;
    options.layout = ZEL_LAYOUT_PLANAR;
    in[0] = left, in[1] = right, out[0] = outLeft, out[1] = outRight;
    CHECK(zel_resample_oneshot(44100, 1, 48000, 1, 2, ZEL_QUALITY_HIGH, &options, in, IN_FRAMES, out,
                               OUT_FRAMES, &written) == 0);
    CHECK(written == OUT_FRAMES);

    r = zel_resampler_create_with_options(44100, 1, 48000, 1, 2, ZEL_QUALITY_HIGH, &options);
    CHECK(r != NULL);
    CHECK(zel_resampler_input_needed(r, 1, &latency) == 0 && latency > 0 && latency < IN_FRAMES);
    out[0] = streamLeft, out[1] = streamRight;
    CHECK(zel_resampler_process_buffers(r, in, IN_FRAMES, &used, out, OUT_FRAMES, &got) == 0 &&
          used == IN_FRAMES);
    CHECK(memcmp(streamLeft, outLeft, got * 2) == 0 && memcmp(streamRight, outRight, got * 2) == 0);
    CHECK(zel_resampler_clipped(r, &clipped) == 0 && clipped == 0);
    zel_resampler_destroy(r);

    snprintf(version, sizeof version, "%d.%d.%d", ZEL_RESAMPLER_VERSION_MAJOR, ZEL_RESAMPLER_VERSION_MINOR,
             ZEL_RESAMPLER_VERSION_PATCH);
    CHECK(strcmp(version, zel_resampler_version()) == 0);
    options.dither = 3;
    CHECK(zel_resampler_create_with_options(44100, 1, 48000, 1, 2, ZEL_QUALITY_HIGH, &options) == NULL);
    CHECK(errno == EINVAL && strcmp(zel_resampler_error_message(), "dither must be 0 or 1, not 3") == 0);
    return 0;
}
