/* Band-limited sample-rate conversion at exact positions; callable from C and C++.
 *
 * Output frame t is the band-limited value of the input at position t * S / T exactly, where S and T are the
 * source and target rates as exact fractions (30000/1001 is 30000/1001, not 29.97002997...). There is no delay
 * to compensate: output frame 0 is centred on input frame 0. Frames before input frame 0 and after the last one
 * read as silence. The output of N input frames is exactly ceil(N * T / S) frames.
 *
 * The output is the same, bit for bit, for every way of cutting the input into process calls and every output
 * buffer size, and after seek(t) it equals frames t, t + 1, ... of a run from frame 0. A resampler is used by one
 * thread at a time; resamplers share nothing mutable, so each thread may run its own.
 *
 * Frames are interleaved float32 (zel_resampler_process) or float64 (zel_resampler_process_double), or, through
 * zel_resampler_process_buffers, in the formats and layout the options chose: float32, float64, int16, int32 or
 * int24, interleaved or one buffer per channel. A preset computes in its own sample type (double for
 * ZEL_QUALITY_MAX, float for the others) and converts at the edges. Every int function returns 0 on success and
 * -1 with errno set on failure, and zel_resampler_error_message() then says why in one line: a failed call
 * consumes nothing, writes nothing and changes nothing, and a successful one leaves errno alone.
 * EFAULT: a null resampler, a null count pointer, or a null buffer with a non-zero count. EOVERFLOW: an input
 * frame index would reach 2^61 (a stream's input frames are 0 to 2^61 - 1, 1.5 million years at 48 kHz), or an
 * output frame count would pass 2^64 - 1. process and seek never allocate.
 *
 * Memory: the filter's tables (at most 36 MB; under 1 MB at a preset's own band and common rates) and, per
 * channel, (W + C) * b bytes to within a factor of 2. W is the span of the filter in frames: 2 for linear, 3,000
 * to 15,000 at a preset's own band, up to 120,000 at a 0.99 band. C = 4096 frames of input buffering. b is 4
 * (float presets) or 8 (max), doubled (very-high: 12) for a conversion through the band stage, ratios from 1/4 to
 * 4 but 1, which holds intermediate frames as well. A resampler whose windows would pass 1 GiB is refused with
 * ENOMEM (only the longest filters, at a 0.99 band, with hundreds of channels).
 */
#ifndef ZEL_RESAMPLER_H
#define ZEL_RESAMPLER_H

#include <stddef.h>

#include "zel/export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zel_resampler zel_resampler;

/* The library's version, the one place that holds it (CMake reads it from here); zel_resampler_version() gives
 * the library's own at run time, as "MAJOR.MINOR.PATCH". */
#define ZEL_RESAMPLER_VERSION_MAJOR 0
#define ZEL_RESAMPLER_VERSION_MINOR 1
#define ZEL_RESAMPLER_VERSION_PATCH 0

/* The limits every layer checks against: channels per resampler, and the passband edges a caller may ask for as
 * fractions of the lower Nyquist frequency. */
#define ZEL_MAX_CHANNELS 1024
#define ZEL_MIN_BANDWIDTH 0.80
#define ZEL_MAX_BANDWIDTH 0.99

/* Sample formats. Integers are scaled so that full scale is 1.0: int16 x reads as x / 32768, int32 as x / 2^31.
 * Integer output is rounded to nearest (ties to even) and clipped to its range, never wrapped. */
#define ZEL_FORMAT_FLOAT32 0
#define ZEL_FORMAT_FLOAT64 1
#define ZEL_FORMAT_INT16 2
#define ZEL_FORMAT_INT32 3
/* 24-bit samples in an int32, sign-extended (-8388608 to 8388607), read as x / 2^23. */
#define ZEL_FORMAT_INT24 4

/* Frame layouts: one buffer of frames, channel after channel, or one buffer per channel. */
#define ZEL_LAYOUT_INTERLEAVED 0
#define ZEL_LAYOUT_PLANAR 1

/* Linear interpolation between the two nearest input frames. */
#define ZEL_QUALITY_LINEAR 0
/* A 105 dB stopband, flat to 0.9 of the lower Nyquist frequency; float arithmetic. */
#define ZEL_QUALITY_MEDIUM 1
/* A 132 dB stopband, flat to 0.9 of the lower Nyquist; float arithmetic. */
#define ZEL_QUALITY_HIGH 2
/* A 155 dB stopband, flat to 0.9 of the lower Nyquist; double arithmetic. */
#define ZEL_QUALITY_VERY_HIGH 3
/* A 180 dB stopband, flat to 0.9 of the lower Nyquist; double arithmetic on double samples, for float64 audio
 * through zel_resampler_process_double. */
#define ZEL_QUALITY_MAX 4

/* Converts from source_numerator / source_denominator to target_numerator / target_denominator frames per
 * second, of `channels` interleaved channels (1 to 1024), at a ZEL_QUALITY_* preset. Designs the filter once;
 * the stream starts at output frame 0. Returns NULL with errno EDOM (a zero numerator or denominator),
 * EOVERFLOW (rates too large to map exactly), EINVAL (a bad channel count or an unknown quality) or ENOMEM (also
 * past the 1 GiB ceiling above). */
ZEL_API zel_resampler *zel_resampler_create(unsigned long long source_numerator,
                                            unsigned long long source_denominator,
                                            unsigned long long target_numerator,
                                            unsigned long long target_denominator, unsigned int channels,
                                            int quality);

/* As zel_resampler_create, with the passband edge at `bandwidth` times the lower Nyquist frequency (0.80 to
 * 0.99) instead of the preset's 0.9. The stopband still starts at the lower Nyquist, so a wider band costs a
 * longer filter: about 2x at 0.95 and 10x at 0.99. Fails as zel_resampler_create does, and with EINVAL for a
 * bandwidth outside 0.80 to 0.99, for ZEL_QUALITY_LINEAR (it has no passband), or when the filter for these
 * rates would pass 65536 taps. */
ZEL_API zel_resampler *zel_resampler_create_with_bandwidth(unsigned long long source_numerator,
                                                           unsigned long long source_denominator,
                                                           unsigned long long target_numerator,
                                                           unsigned long long target_denominator,
                                                           unsigned int channels, int quality,
                                                           double bandwidth);

/* Settings beyond the rates, channels and quality. Fill one with zel_resampler_options_init, then set fields. */
typedef struct zel_resampler_options {
    size_t size;       /* sizeof(zel_resampler_options), so that the struct can grow */
    double bandwidth;  /* 0: the preset's own band; else 0.80 to 0.99 */
    int input_format;  /* ZEL_FORMAT_*; default ZEL_FORMAT_FLOAT32 */
    int output_format; /* ZEL_FORMAT_*; default ZEL_FORMAT_FLOAT32 */
    int layout;        /* ZEL_LAYOUT_*, both sides; default interleaved */
    int dither;        /* integer output: 0 rounds to nearest; 1 adds triangular dither of one step */
    /* 0: a fixed source rate; else it may move by up to this fraction either way (at most 0.10) through
     * zel_resampler_set_source_rate */
    double source_rate_range;
    /* zel_resample_oneshot: threads converting parts of the output at once, 1 to 64 (0 counts as 1); the output
     * is the same for every count. A resampler ignores it. */
    unsigned int threads;
} zel_resampler_options;

/* Sets every field to its default and size to sizeof(zel_resampler_options). */
ZEL_API void zel_resampler_options_init(zel_resampler_options *options);

/* As zel_resampler_create, with the settings in `options` (NULL: the defaults). A size smaller than this
 * library's struct reads the fields it leaves out as their defaults; a larger one is accepted when the bytes past
 * this library's fields are zero. Fails as zel_resampler_create_with_bandwidth does (bandwidth 0 is the preset's
 * own), and with EINVAL for a size of 0, non-zero bytes past the fields this library knows, an unknown format,
 * layout or dither, or a source_rate_range outside 0 to 0.10 (or with rates whose products pass 2^62, too large
 * to follow exactly). The dither is a function of the output frame and channel, so dithered output is the
 * same for every chunking, seek and thread count; it has no effect on float output. */
ZEL_API zel_resampler *zel_resampler_create_with_options(unsigned long long source_numerator,
                                                         unsigned long long source_denominator,
                                                         unsigned long long target_numerator,
                                                         unsigned long long target_denominator,
                                                         unsigned int channels, int quality,
                                                         const zel_resampler_options *options);

/* From the next output frame to be written, t_k, the source rate is source_numerator / (the source denominator
 * the resampler was made with): frame t >= t_k falls at p_k + (t - t_k) * S' / T exactly, p_k being frame t_k's
 * position before the change, so every position stays an exact fraction over a fixed denominator (make it at
 * 48000000 / 1000 and move the numerator for steps of 0.001 Hz). The same changes at the same output frames give
 * the same output, bit for bit, for every chunking. The filter, designed for the highest rate in the range, is
 * kept; nothing is allocated. After a change, zel_resampler_seek(t) places frame t at t * S' / T, and
 * zel_resampler_input_needed and zel_resampler_output_frames answer at the current rate (output_frames counting
 * from the last change). Fails with EINVAL for a resampler made with source_rate_range 0 or a numerator outside
 * the range (the numerators within source_rate_range of the one it was made with), and with EOVERFLOW when the
 * next output frame's position passes 2^64 - 1; nothing is changed then. */
ZEL_API int zel_resampler_set_source_rate(zel_resampler *resampler, unsigned long long source_numerator);

/* Frees the resampler; NULL is ignored. */
ZEL_API void zel_resampler_destroy(zel_resampler *resampler);

/* Consumes up to input_frames frames from input and writes up to output_frames frames to output, reporting
 * both counts. Input is consumed only as far as the output buffer allows: the resampler never holds more input
 * than the filter of the first frame it has no room for reaches (with output_frames 0, the next frame), so give
 * an output buffer for the frames you expect and feed the input not consumed again. input == NULL with input_frames == 0 marks the end of the
 * input; later calls (input NULL or not, with no frames) drain the rest until the output totals
 * ceil(N * T / S) frames for the N frames given, and write 0 frames when done. Fails with EINVAL for input
 * frames after the end, EOVERFLOW when the input would reach frame 2^61 or the output's count at the end would
 * pass 2^64 - 1, or for input once output frame 2^64 - 1 is next (no frame is written there, so a call that
 * reaches it stops taking input as at a full output buffer). It takes
 * interleaved float32 whatever the resampler's options say. */
ZEL_API int zel_resampler_process(zel_resampler *resampler, const float *input, size_t input_frames,
                                  size_t *input_used, float *output, size_t output_frames,
                                  size_t *output_written);

/* As zel_resampler_process, with float64 frames. One stream may mix both calls. */
ZEL_API int zel_resampler_process_double(zel_resampler *resampler, const double *input, size_t input_frames,
                                         size_t *input_used, double *output, size_t output_frames,
                                         size_t *output_written);

/* As zel_resampler_process, in the formats and layout of the resampler's options: `input` and `output` point to
 * one buffer (interleaved) or to `channels` buffers (planar), each of input_frames or output_frames frames. The
 * counts are frames, so a planar caller advances every channel's pointer by them. input == NULL with
 * input_frames == 0 marks the end. Fails as zel_resampler_process does, and with EFAULT for a null channel
 * pointer when that side has frames. */
ZEL_API int zel_resampler_process_buffers(zel_resampler *resampler, const void *const *input,
                                          size_t input_frames, size_t *input_used, void *const *output,
                                          size_t output_frames, size_t *output_written);

/* Sets *samples to the integer output samples clipped so far (since the resampler was made; seek keeps the
 * count). Fails with EFAULT for a null pointer. */
ZEL_API int zel_resampler_clipped(const zel_resampler *resampler, unsigned long long *samples);

/* Converts a whole input of input_frames frames in one call, as a resampler made with these arguments would,
 * bit for bit, and writes min(output_frames, ceil(input_frames * T / S)) frames, setting *output_written. With
 * options->threads above 1, that many threads each convert a part of the output (each making its own resampler,
 * so each designs the filter): the same frames, sooner on as many cores. Fails as
 * zel_resampler_create_with_options and zel_resampler_process_buffers do, with EINVAL for more than 64 threads,
 * and with EAGAIN when a thread cannot be started. */
ZEL_API int zel_resample_oneshot(unsigned long long source_numerator, unsigned long long source_denominator,
                                 unsigned long long target_numerator, unsigned long long target_denominator,
                                 unsigned int channels, int quality, const zel_resampler_options *options,
                                 const void *const *input, size_t input_frames, void *const *output,
                                 size_t output_frames, size_t *output_written);

/* Restarts the stream at output frame output_frame (forgetting all input and any end) and sets *input_frame to
 * the input frame the caller feeds next; the frames the filter needs before input frame 0 read as silence.
 * Fails with EOVERFLOW when that frame's position is at or past input frame 2^61, and for output frame 2^64 - 1,
 * which no count of frames written reaches. */
ZEL_API int zel_resampler_seek(zel_resampler *resampler, unsigned long long output_frame,
                               unsigned long long *input_frame);

/* Sets *input_frames to the input frames a stream at its start (or just after zel_resampler_seek) must be given
 * before it can have written output_frames frames, exactly, from the positions and the filter's reach: given that
 * many frames (and room for the output), it has written them; given one fewer, it has not. input_needed(1) is
 * the start-up latency in input frames. Fails with EOVERFLOW when the last of those frames passes 2^64 - 1 or its
 * input passes the stream's range. */
ZEL_API int zel_resampler_input_needed(const zel_resampler *resampler, unsigned long long output_frames,
                                       unsigned long long *input_frames);

/* The library's version at run time, "MAJOR.MINOR.PATCH", equal to the ZEL_RESAMPLER_VERSION_* it was built with. */
ZEL_API const char *zel_resampler_version(void);

/* The calling thread's reason for its last failed call, one line ("the channel count must be 1 to 1024, not 0"),
 * as dlerror gives; "" before any. Valid until the thread's next failed call. */
ZEL_API const char *zel_resampler_error_message(void);

/* The name of a ZEL_QUALITY_* preset ("linear", "medium", "high", "very-high", "max"), or NULL for another value. */
ZEL_API const char *zel_resampler_quality_name(int quality);

/* Sets *output_frames to the output length of input_frames input frames, ceil(input_frames * T / S). Fails
 * with EOVERFLOW when that passes 2^64 - 1. */
ZEL_API int zel_resampler_output_frames(const zel_resampler *resampler, unsigned long long input_frames,
                                        unsigned long long *output_frames);

#ifdef __cplusplus
}
#endif

#endif
