/* Converts raw interleaved float32 frames on stdin to another rate on stdout, through the C API:
 *   resample_raw 44100 48000 2 < in.f32 > out.f32
 * Reads a block, lets the resampler take what its output allows, and feeds the rest again. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zel/resampler.h>

enum { kFrames = 4096 };

static int fail(const char *what) {
    fprintf(stderr, "resample_raw: %s: %s\n", what, strerror(errno));
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: resample_raw IN_RATE OUT_RATE CHANNELS < in.f32 > out.f32\n");
        return 2;
    }
    unsigned channels = (unsigned)strtoul(argv[3], NULL, 10);
    zel_resampler *r = zel_resampler_create(strtoull(argv[1], NULL, 10), 1, strtoull(argv[2], NULL, 10), 1,
                                            channels, ZEL_QUALITY_HIGH);
    if (r == NULL) return fail("cannot create the resampler");
    float *in = malloc(sizeof(float) * kFrames * channels), *out = malloc(sizeof(float) * kFrames * channels);
    if (in == NULL || out == NULL) return fail("out of memory");
    size_t have = 0, used, written;
    int ended = 0;
    for (;;) {
        if (!ended && have < kFrames) {
            have += fread(in + have * channels, sizeof(float) * channels, kFrames - have, stdin);
            ended = feof(stdin) || ferror(stdin);
        }
        /* Once all input is in, a NULL input marks the end; later calls drain the filter's tail. */
        const int last = ended && have == 0;
        if (zel_resampler_process(r, last ? NULL : in, have, &used, out, kFrames, &written) != 0)
            return fail("process");
        memmove(in, in + used * channels, sizeof(float) * (have - used) * channels);
        have -= used;
        if (fwrite(out, sizeof(float) * channels, written, stdout) != written) return fail("cannot write");
        if (last && written == 0) break;
    }
    zel_resampler_destroy(r);
    free(in);
    free(out);
    return ferror(stdin) ? fail("cannot read") : 0;
}
