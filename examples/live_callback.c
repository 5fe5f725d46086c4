/* A live loop: an audio device at 48000 Hz takes `block` frames of dithered int16 per callback from a float source
 * at 44100 Hz. Each callback fetches exactly the input its output needs (zel_resampler_input_needed counts from
 * the stream's start), so the resampler never waits for input nor holds more than its filter reaches:
 *   live_callback [block]   (prints the start-up latency and what ten seconds of callbacks delivered) */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <zel/resampler.h>

enum { kChannels = 2, kMaxBlock = 4096, kMaxInput = 2 * kMaxBlock + 8192 };

static unsigned long long produced; /* source frames made so far: a 440 Hz tone */

static void fetch(float *in, unsigned long long frames) {
    for (unsigned long long f = 0; f < frames; ++f, ++produced)
        for (unsigned c = 0; c < kChannels; ++c)
            in[f * kChannels + c] = (float)(0.5 * sin((double)produced * 0.0627));
}

/* The device's callback: fills `out` with `block` frames. Returns the frames written, 0 on failure. */
static size_t callback(zel_resampler *r, int16_t *out, size_t block, unsigned long long *delivered) {
    static float in[kMaxInput * kChannels];
    unsigned long long needed = 0;
    size_t used = 0, written = 0;
    if (zel_resampler_input_needed(r, *delivered + block, &needed) != 0 || needed - produced > kMaxInput)
        return 0;
    const unsigned long long fresh = needed - produced;
    fetch(in, fresh);
    const void *from[1] = {in};
    void *to[1] = {out};
    if (zel_resampler_process_buffers(r, from, fresh, &used, to, block, &written) != 0 || used != fresh)
        return 0;
    *delivered += written;
    return written;
}

int main(int argc, char **argv) {
    const size_t block = argc > 1 ? strtoul(argv[1], NULL, 10) : 256;
    if (block == 0 || block > kMaxBlock) return fprintf(stderr, "usage: live_callback [1 to 4096]\n"), 2;
    zel_resampler_options options;
    zel_resampler_options_init(&options);
    options.output_format = ZEL_FORMAT_INT16, options.dither = 1;
    zel_resampler *r =
        zel_resampler_create_with_options(44100, 1, 48000, 1, kChannels, ZEL_QUALITY_HIGH, &options);
    unsigned long long latency = 0, delivered = 0, clipped = 0;
    if (r == NULL || zel_resampler_input_needed(r, 1, &latency) != 0)
        return fprintf(stderr, "live_callback: %s\n", zel_resampler_error_message()), 1;
    printf("zel %s, start-up latency: %llu source frames (%.1f ms)\n", zel_resampler_version(), latency,
           1000.0 * (double)latency / 44100);
    static int16_t out[kMaxBlock * kChannels];
    for (unsigned long long call = 0; call < 10 * 48000 / block; ++call)
        if (callback(r, out, block, &delivered) != block)
            return fprintf(stderr, "live_callback: callback %llu: %s\n", call, zel_resampler_error_message()),
                   1;
    zel_resampler_clipped(r, &clipped);
    printf("%llu frames delivered from %llu source frames, %llu samples clipped\n", delivered, produced,
           clipped);
    zel_resampler_destroy(r);
    return clipped == 0 ? 0 : 1;
}
