/* zelresample in real pipelines (raw files through rawaudioparse, or audiotestsrc): its samples must equal the C
 * API's bit for bit, after a seek too from where the filter has all its input, and every buffer's timestamp and
 * duration must be exact on the output grid, with no drift over ten minutes. */
#include <glib/gstdio.h>
#include <gst/gst.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <zel/resampler.h>

static int failures;
#define CHECK(cond, ...)                                                                            \
    do {                                                                                            \
        if (!(cond)) fprintf(stderr, "FAIL %s: ", #cond), fprintf(stderr, __VA_ARGS__), ++failures; \
    } while (0)

/* What the element pushed since its last DISCONT (kept in data unless it is NULL), each buffer checked against
 * the grid as it arrives. */
typedef struct {
    GByteArray *data;
    gint rate;
    gsize bpf;
    guint64 first, frames; /* grid index of the run's first frame, and its frames so far */
    int bad_stamps;
    gsize largest; /* the largest buffer's bytes */
} Sink;

static void handoff(GstElement *element, GstBuffer *buffer, GstPad *pad, gpointer user) {
    Sink *s = user;
    (void)element, (void)pad;
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    if (GST_BUFFER_IS_DISCONT(buffer) || s->frames == 0) {
        if (s->data != NULL) g_byte_array_set_size(s->data, 0);
        s->first = gst_util_uint64_scale_int_round(pts, s->rate, GST_SECOND);
        s->frames = 0;
    }
    const guint64 frame = s->first + s->frames, frames = gst_buffer_get_size(buffer) / s->bpf;
    s->largest = MAX(s->largest, gst_buffer_get_size(buffer));
    s->frames += frames;
    const GstClockTime end = gst_util_uint64_scale_int_round(frame + frames, GST_SECOND, s->rate);
    s->bad_stamps += pts != gst_util_uint64_scale_int_round(frame, GST_SECOND, s->rate) ||
                     GST_BUFFER_DURATION(buffer) != end - pts;
    GstMapInfo map;
    if (s->data == NULL || !gst_buffer_map(buffer, &map, GST_MAP_READ)) return;
    g_byte_array_append(s->data, map.data, (guint)map.size);
    gst_buffer_unmap(buffer, &map);
}

static void wait_for(GstElement *pipeline, GstMessageType type) {
    GstBus *bus = gst_element_get_bus(pipeline);
    GstMessage *m =
        gst_bus_timed_pop_filtered(bus, 120 * GST_SECOND, type | GST_MESSAGE_ERROR | GST_MESSAGE_EOS);
    if (m == NULL || GST_MESSAGE_TYPE(m) != type) {
        GError *error = NULL;
        if (m != NULL && GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) gst_message_parse_error(m, &error, NULL);
        fprintf(stderr, "pipeline failed: %s\n", error != NULL ? error->message : "no message");
        exit(1);
    }
    gst_message_unref(m);
    gst_object_unref(bus);
}

/* Runs a pipeline whose element is "z" and sink "out" to its end, after a flushing seek to `seek` if it is
 * valid; returns the latency the element reports. */
static GstClockTime run(const char *description, Sink *sink, GstClockTime seek) {
    GstElement *pipeline = gst_parse_launch(description, NULL);
    if (pipeline == NULL) fprintf(stderr, "cannot make %s\n", description), exit(1);
    GstElement *out = gst_bin_get_by_name(GST_BIN(pipeline), "out"),
               *z = gst_bin_get_by_name(GST_BIN(pipeline), "z");
    g_signal_connect(out, "handoff", G_CALLBACK(handoff), sink);
    gst_element_set_state(pipeline, GST_STATE_PAUSED);
    wait_for(pipeline, GST_MESSAGE_ASYNC_DONE);
    GstQuery *query = gst_query_new_latency();
    GstClockTime latency = GST_CLOCK_TIME_NONE;
    if (gst_element_query(z, query)) gst_query_parse_latency(query, NULL, &latency, NULL);
    if (GST_CLOCK_TIME_IS_VALID(seek)) {
        gst_element_seek_simple(pipeline, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE,
                                (gint64)seek);
        wait_for(pipeline, GST_MESSAGE_ASYNC_DONE);
    }
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    wait_for(pipeline, GST_MESSAGE_EOS);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_query_unref(query);
    gst_object_unref(out);
    gst_object_unref(z);
    gst_object_unref(pipeline);
    return latency;
}

typedef struct {
    const char *format, *quality;
    int zel_format, zel_quality;
    unsigned channels, in, out;
    double bandwidth, seek; /* seek in seconds, 0: none */
} Case;

static const Case kCases[] = {
    {"f32le", "high", ZEL_FORMAT_FLOAT32, ZEL_QUALITY_HIGH, 2, 44100, 48000, 0, 0},
    {"f32le", "high", ZEL_FORMAT_FLOAT32, ZEL_QUALITY_HIGH, 2, 44100, 48000, 0, 1.2345},
    {"s16le", "linear", ZEL_FORMAT_INT16, ZEL_QUALITY_LINEAR, 1, 48000, 8000, 0, 0.7777},
    {"s32le", "very-high", ZEL_FORMAT_INT32, ZEL_QUALITY_VERY_HIGH, 3, 22050, 44100, 0.95, 0},
    {"f64le", "max", ZEL_FORMAT_FLOAT64, ZEL_QUALITY_MAX, 2, 96000, 44100, 0, 0.5},
};

static void write_sample(guint8 *to, int format, double x) {
    const float f = (float)x;
    const gint16 s16 = (gint16)(x * 32767);
    const gint32 s32 = (gint32)(x * 2147483647.0);
    if (format == ZEL_FORMAT_FLOAT32) memcpy(to, &f, sizeof f);
    if (format == ZEL_FORMAT_FLOAT64) memcpy(to, &x, sizeof x);
    if (format == ZEL_FORMAT_INT16) memcpy(to, &s16, sizeof s16);
    if (format == ZEL_FORMAT_INT32) memcpy(to, &s32, sizeof s32);
}

static void check_case(const Case *c) {
    static const gsize kSize[] = {4, 8, 2, 4};
    const gsize bpf = kSize[c->zel_format] * c->channels, frames = 2 * c->in;
    guint8 *input = g_malloc(frames * bpf);
    guint32 state = 12345;
    for (gsize i = 0; i < frames * c->channels;
         ++i) /* a hiss near full scale: int outputs must clip and round */
        write_sample(input + i * kSize[c->zel_format], c->zel_format,
                     ((state = state * 1664525u + 1013904223u) >> 8) / 8388608.0 - 1.0);
    gchar *path = NULL;
    g_close(g_file_open_tmp("zelresample-XXXXXX", &path, NULL), NULL);
    g_file_set_contents(path, (const gchar *)input, (gssize)(frames * bpf), NULL);

    zel_resampler_options options;
    zel_resampler_options_init(&options);
    options.input_format = options.output_format = c->zel_format;
    options.bandwidth = c->bandwidth;
    zel_resampler *r =
        zel_resampler_create_with_options(c->in, 1, c->out, 1, c->channels, c->zel_quality, &options);
    unsigned long long total = 0, needed = 0;
    zel_resampler_output_frames(r, frames, &total);
    zel_resampler_input_needed(r, 1, &needed);
    guint8 *expected = g_malloc(total * bpf);
    size_t written = 0;
    const void *in[1] = {input};
    void *to[1] = {expected};
    zel_resample_oneshot(c->in, 1, c->out, 1, c->channels, c->zel_quality, &options, in, frames, to, total,
                         &written);

    gchar *description = g_strdup_printf(
        "filesrc location=%s ! rawaudioparse pcm-format=%s sample-rate=%u num-channels=%u ! zelresample "
        "name=z "
        "quality=%s bandwidth=%g ! audio/x-raw,rate=%u ! fakesink name=out signal-handoffs=true sync=false",
        path, c->format, c->in, c->channels, c->quality, c->bandwidth, c->out);
    Sink sink = {g_byte_array_new(), (gint)c->out, bpf, 0, 0, 0, 0};
    const GstClockTime latency = run(
        description, &sink, c->seek > 0 ? (GstClockTime)(c->seek * (double)GST_SECOND) : GST_CLOCK_TIME_NONE);
    CHECK(sink.bad_stamps == 0, "%d buffers off the grid\n", sink.bad_stamps);
    CHECK(latency >= gst_util_uint64_scale_int(needed, GST_SECOND, (gint)c->in) && latency < GST_SECOND,
          "latency %" GST_TIME_FORMAT "\n", GST_TIME_ARGS(latency));
    /* A seek starts on the first output frame at or after the input's first (which the parser may take from
     * before the seek's position); from the first frame whose filter reads nothing before that input, the output
     * is a run from the start's. */
    const guint64 t = sink.first, got = sink.frames;
    CHECK(c->seek > 0 ? t > 0 && (double)t <= c->seek * c->out + 1 : t == 0,
          "the run starts at %" G_GUINT64_FORMAT "\n", t);
    unsigned long long same = t, first_input = 0;
    while (c->seek > 0 && zel_resampler_seek(r, same, &first_input) == 0 &&
           first_input <= t * c->in / c->out + 1)
        ++same;
    CHECK(t + got == total &&
              memcmp(sink.data->data + (same - t) * bpf, expected + same * bpf, (total - same) * bpf) == 0,
          "frames %" G_GUINT64_FORMAT " to %" G_GUINT64_FORMAT " differ from the C API's %llu\n", t, t + got,
          total);
    fprintf(stderr, "%s %u Hz to %u Hz, %u channels, seek %g: %d failures so far\n", c->format, c->in, c->out,
            c->channels, c->seek, failures);
    zel_resampler_destroy(r);
    g_byte_array_unref(sink.data);
    g_free(description);
    g_unlink(path);
    g_free(path);
    g_free(expected);
    g_free(input);
}

static void push_caps(GstPad *pad, int rate, int channels) {
    GstCaps *caps =
        gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, "S16LE", "rate", G_TYPE_INT, rate,
                            "channels", G_TYPE_INT, channels, "layout", G_TYPE_STRING, "interleaved", NULL);
    gst_pad_push_event(pad, gst_event_new_caps(caps));
    gst_caps_unref(caps);
}

/* zelresample "z" at `quality` to `out_rate` Hz into a fakesink "out" checked by `sink`, fed from a pad of ours:
 * stream start, S16 caps at `rate`, a time segment from 0. */
typedef struct {
    GstElement *pipeline, *z, *out;
    GstPad *pad, *z_sink;
} Feeder;

static Feeder open_feeder(const char *quality, int rate, int out_rate, int channels, Sink *sink) {
    Feeder f;
    gchar *launch = g_strdup_printf(
        "zelresample name=z quality=%s ! audio/x-raw,rate=%d ! fakesink name=out "
        "signal-handoffs=true sync=false async=false",
        quality, out_rate);
    f.pipeline = gst_parse_launch(launch, NULL);
    g_free(launch);
    f.z = gst_bin_get_by_name(GST_BIN(f.pipeline), "z"),
    f.out = gst_bin_get_by_name(GST_BIN(f.pipeline), "out");
    g_signal_connect(f.out, "handoff", G_CALLBACK(handoff), sink);
    f.pad = gst_pad_new("src", GST_PAD_SRC), f.z_sink = gst_element_get_static_pad(f.z, "sink");
    gst_pad_set_active(f.pad, TRUE);
    gst_pad_link(f.pad, f.z_sink);
    gst_element_set_state(f.pipeline, GST_STATE_PLAYING);
    gst_pad_push_event(f.pad, gst_event_new_stream_start("fed"));
    push_caps(f.pad, rate, channels);
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    gst_pad_push_event(f.pad, gst_event_new_segment(&segment));
    return f;
}

static void close_feeder(Feeder *f) {
    gst_pad_push_event(f->pad, gst_event_new_eos());
    gst_element_set_state(f->pipeline, GST_STATE_NULL);
    gst_object_unref(f->z_sink);
    gst_object_unref(f->pad);
    gst_object_unref(f->out);
    gst_object_unref(f->z);
    gst_object_unref(f->pipeline);
}

/* New caps mid-stream on buffers without timestamps: the old caps' frames leave first, and the next run goes on
 * from where they end, not from the segment's start again. */
static void check_new_caps(void) {
    Sink sink = {NULL, 48000, 2, 0, 0, 0, 0};
    Feeder f = open_feeder("high", 44100, 48000, 1, &sink);
    gst_pad_push(f.pad, gst_buffer_new_wrapped(g_malloc0(2000), 2000));
    push_caps(f.pad, 22050, 1);
    gst_pad_push(f.pad, gst_buffer_new_wrapped(g_malloc0(2000), 2000));
    close_feeder(&f);
    /* 1000 frames at 44100 Hz make 1089 at 48000, and so do 1000 at 22050 Hz after them */
    CHECK(sink.bad_stamps == 0 && sink.first == 1089 && sink.frames == 2177,
          "%d buffers off the grid, the run after new caps from %" G_GUINT64_FORMAT ", %" G_GUINT64_FORMAT
          " frames\n",
          sink.bad_stamps, sink.first, sink.frames);
}

/* One buffer of `frames` silent S16 frames at `pts` (none: GST_CLOCK_TIME_NONE) through zelresample from `rate`
 * to `out_rate` Hz, then EOS; the sink checks every buffer against the output grid. */
static void push_one(int rate, int out_rate, int channels, guint64 frames, GstClockTime pts, Sink *sink) {
    Feeder f = open_feeder("linear", rate, out_rate, channels, sink);
    const gsize bytes = (gsize)frames * 2 * (gsize)channels;
    GstBuffer *buffer = gst_buffer_new_wrapped(g_malloc0(bytes), bytes);
    GST_BUFFER_PTS(buffer) = pts;
    gst_pad_push(f.pad, buffer);
    close_feeder(&f);
}

/* Clock times past 2^63 ns (signed 64 bits would turn them negative): every buffer on the output grid, the first
 * at the first grid point at or after the input's PTS. And a steep upsampling, whose one input buffer makes 15 MB
 * of output: it leaves in buffers of at most 4 MiB, every frame on the grid. */
static void check_far_times_and_steep_ratios(void) {
    const GstClockTime pts = (G_GUINT64_CONSTANT(1) << 63) + GST_SECOND;
    Sink far = {NULL, 48000, 2, 0, 0, 0, 0};
    push_one(44100, 48000, 1, 1000, pts, &far);
    const GstClockTime first = gst_util_uint64_scale_int_round(far.first, GST_SECOND, 48000);
    CHECK(far.bad_stamps == 0 && far.frames > 1000 && first >= pts && first - pts < GST_SECOND / 48000 + 1,
          "%d buffers off the grid, the run from PTS %" G_GUINT64_FORMAT " starting at %" G_GUINT64_FORMAT
          "\n",
          far.bad_stamps, pts, first);
    Sink steep = {NULL, 384000, 4, 0, 0, 0, 0};
    push_one(100, 384000, 2, 1000, 0, &steep);
    CHECK(steep.bad_stamps == 0 && steep.frames == 3840000 && steep.largest <= (1u << 22),
          "%d buffers off the grid, %" G_GUINT64_FORMAT " frames, the largest buffer %zu bytes\n",
          steep.bad_stamps, steep.frames, steep.largest);
}

/* Downstream refuses the first buffer (as an unlinked pad would), in the middle of a steep upsampling's output:
 * the rest of that input never reaches the resampler, so the next buffer starts a new run at its own time. */
static GstPadProbeReturn refuse_first(GstPad *pad, GstPadProbeInfo *info, gpointer user) {
    int *seen = user;
    (void)pad;
    if ((*seen)++ > 0) return GST_PAD_PROBE_OK;
    gst_buffer_unref(GST_PAD_PROBE_INFO_BUFFER(info));
    GST_PAD_PROBE_INFO_FLOW_RETURN(info) = GST_FLOW_NOT_LINKED;
    return GST_PAD_PROBE_HANDLED;
}

static void check_refused_push(void) {
    Sink sink = {NULL, 384000, 2, 0, 0, 0, 0};
    Feeder f = open_feeder("linear", 100, 384000, 1, &sink);
    GstPad *src = gst_element_get_static_pad(f.z, "src");
    int seen = 0;
    gst_pad_add_probe(src, GST_PAD_PROBE_TYPE_BUFFER, refuse_first, &seen, NULL);
    for (int i = 0; i < 2; ++i) {
        GstBuffer *buffer = gst_buffer_new_wrapped(g_malloc0(2000), 2000);
        GST_BUFFER_PTS(buffer) = (GstClockTime)i * 10 * GST_SECOND;
        gst_pad_push(f.pad, buffer);
    }
    close_feeder(&f);
    gst_object_unref(src);
    CHECK(sink.bad_stamps == 0 && sink.first == 3840000 && sink.frames == 3840000,
          "%d buffers off the grid, the run after the refusal from %" G_GUINT64_FORMAT ", %" G_GUINT64_FORMAT
          " frames\n",
          sink.bad_stamps, sink.first, sink.frames);
}

/* A buffer that ends part-way through a frame is refused: cutting it would shift every later frame. */
static void check_partial_frame(void) {
    Sink sink = {NULL, 48000, 2, 0, 0, 0, 0};
    Feeder f = open_feeder("high", 44100, 48000, 1, &sink);
    const GstFlowReturn whole = gst_pad_push(f.pad, gst_buffer_new_wrapped(g_malloc0(2000), 2000));
    const GstFlowReturn partial = gst_pad_push(f.pad, gst_buffer_new_wrapped(g_malloc0(2001), 2001));
    close_feeder(&f);
    CHECK(whole == GST_FLOW_OK && partial == GST_FLOW_ERROR, "flow %d, then %d for 1000.5 frames\n", whole,
          partial);
}

int main(int argc, char **argv) {
    gst_init(&argc, &argv);
    for (size_t i = 0; i < G_N_ELEMENTS(kCases); ++i) check_case(&kCases[i]);
    check_new_caps();
    check_far_times_and_steep_ratios();
    check_refused_push();
    check_partial_frame();
    /* Ten minutes at 44100 Hz in buffers of 1000 frames, whose durations are no whole number of nanoseconds. */
    Sink sink = {NULL, 48000, 4, 0, 0, 0, 0};
    run("audiotestsrc wave=silence samplesperbuffer=1000 num-buffers=26460 ! "
        "audio/x-raw,format=F32LE,rate=44100,channels=1 ! zelresample name=z quality=linear ! "
        "audio/x-raw,rate=48000 ! fakesink name=out signal-handoffs=true sync=false",
        &sink, GST_CLOCK_TIME_NONE);
    CHECK(sink.bad_stamps == 0 && sink.first == 0 && sink.frames == 600u * 48000,
          "%d buffers off the grid, %" G_GUINT64_FORMAT " frames\n", sink.bad_stamps, sink.frames);
    return failures != 0;
}
