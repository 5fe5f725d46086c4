/* zelresample: a GStreamer element converting interleaved audio between any two rates through the zel resampler.
 *
 * Every stream keeps one grid: input frame i lies at origin + i / in_rate and output frame t at
 * origin + t / out_rate, origin being the PTS of the segment's stream time 0. Timestamps come from frame counts
 * on that grid, never from summed durations, so they do not drift; and after a flush, a new segment or a
 * discontinuity the resampler seeks to the first output frame at or after the new input, so every output frame
 * stays where a run from the start puts it. */
#include <gst/audio/audio.h>
#include <gst/base/gstbasetransform.h>
#include <gst/gst.h>
#include <string.h>
#include <zel/resampler.h>

#define GST_TYPE_ZEL_RESAMPLE (gst_zel_resample_get_type())
G_DECLARE_FINAL_TYPE(GstZelResample, gst_zel_resample, GST, ZEL_RESAMPLE, GstBaseTransform)

GST_DEBUG_CATEGORY_STATIC(zel_resample_debug);
#define GST_CAT_DEFAULT zel_resample_debug

enum { PROP_0, PROP_QUALITY, PROP_BANDWIDTH };
enum {
    kDefaultQuality = ZEL_QUALITY_HIGH,
    kSilenceFrames = 4096,
    /* The most bytes one output buffer holds: a steep upsampling's buffer goes out in several. */
    kMaxBufferBytes = 1 << 22,
    /* Outputs whose input reach is scanned for the latency: past several of the band stage's blocks. */
    kLatencyScan = 20000
};

struct _GstZelResample {
    GstBaseTransform parent;
    /* Properties, read when the caps are set. */
    int quality;
    double bandwidth;

    zel_resampler *resampler;
    GstAudioInfo in, out;
    GstClockTime latency;
    guint8 *silence; /* kSilenceFrames zero frames, fed for GAP buffers and before a seek's first input */

    /* The stream since the last restart: nothing is fed until a buffer arrives after one. */
    gboolean started;
    gboolean discont; /* the next output buffer starts a new run */
    /* PTS of frame 0 on both sides: origin, or minus origin with origin_negative (a segment whose stream time 0
     * lies before running time 0). Unsigned, so that any clock time anchors the grid, past 2^63 ns too. */
    GstClockTime origin;
    gboolean origin_negative;
    guint64 in_next;     /* grid index of the next input frame */
    guint64 out_next;    /* grid index of the next output frame */
    guint64 skip;        /* input frames to drop: a seek's first frame lies past the input's first */
    GstClockTime resume; /* where input without timestamps goes on after new caps or a failed push */
};

G_DEFINE_TYPE(GstZelResample, gst_zel_resample, GST_TYPE_BASE_TRANSFORM)

#define ZEL_CAPS \
    "audio/x-raw, format = (string) { " GST_AUDIO_NE(F32) ", " GST_AUDIO_NE(F64) ", " GST_AUDIO_NE(S16) ", " \
    GST_AUDIO_NE(S32) " }, rate = (int) [ 1, MAX ], channels = (int) [ 1, 1024 ], layout = (string) interleaved"

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(ZEL_CAPS));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(ZEL_CAPS));

static GType quality_get_type(void) {
    static GType type = 0;
    static const GEnumValue values[] = {
        {ZEL_QUALITY_LINEAR, "Linear interpolation", "linear"},
        {ZEL_QUALITY_MEDIUM, "105 dB stopband, float arithmetic", "medium"},
        {ZEL_QUALITY_HIGH, "132 dB stopband, float arithmetic", "high"},
        {ZEL_QUALITY_VERY_HIGH, "155 dB stopband, double arithmetic", "very-high"},
        {ZEL_QUALITY_MAX, "180 dB stopband, double arithmetic on double samples", "max"},
        {0, NULL, NULL}};
    if (g_once_init_enter(&type))
        g_once_init_leave(&type, g_enum_register_static("GstZelResampleQuality", values));
    return type;
}

static int zel_format(GstAudioFormat format) {
    switch (format) {
        case GST_AUDIO_FORMAT_F64:
            return ZEL_FORMAT_FLOAT64;
        case GST_AUDIO_FORMAT_S16:
            return ZEL_FORMAT_INT16;
        case GST_AUDIO_FORMAT_S32:
            return ZEL_FORMAT_INT32;
        default:
            return ZEL_FORMAT_FLOAT32;
    }
}

static guint64 in_rate(const GstZelResample *self) { return (guint64)GST_AUDIO_INFO_RATE(&self->in); }
static guint64 out_rate(const GstZelResample *self) { return (guint64)GST_AUDIO_INFO_RATE(&self->out); }
static gsize frame_bytes(const GstZelResample *self) { return (gsize)GST_AUDIO_INFO_BPF(&self->in); }

/* ceil(frames * out_rate / in_rate): all the output frames whose positions lie before input frame `frames`. */
static guint64 outputs_before(const GstZelResample *self, guint64 frames) {
    unsigned long long n = 0;
    return zel_resampler_output_frames(self->resampler, frames, &n) == 0 ? n : G_MAXUINT64;
}

/* The time `offset` nanoseconds after frame 0: 0 before time 0, GST_CLOCK_TIME_NONE past the last clock time. */
static GstClockTime grid_time(const GstZelResample *self, guint64 offset) {
    if (self->origin_negative) return offset > self->origin ? offset - self->origin : 0;
    return offset >= GST_CLOCK_TIME_NONE - self->origin ? GST_CLOCK_TIME_NONE : self->origin + offset;
}

static GstClockTime out_time(const GstZelResample *self, guint64 frame) {
    return grid_time(self, gst_util_uint64_scale_int_round(frame, (gint)GST_SECOND, (gint)out_rate(self)));
}

static void forget_stream(GstZelResample *self) {
    self->started = FALSE;
    self->skip = 0;
    self->resume = GST_CLOCK_TIME_NONE;
}

/* The most frames one output buffer holds. */
static guint64 buffer_frames(const GstZelResample *self) {
    return MAX(1, kMaxBufferBytes / frame_bytes(self));
}

/* Feeds `frames` input frames (silence when data is NULL) and writes what they complete at out, after the
 * *written frames already there, with room for `room` in all. The resampler consumes everything as long as the
 * room covers every frame positioned before the input's end, which the callers size it to; with `taken`, the
 * room may be shorter, and feeding stops once it is full, *taken saying how many frames went in. */
static gboolean feed(GstZelResample *self, const guint8 *data, guint64 frames, guint8 *out, guint64 room,
                     guint64 *written, guint64 *taken) {
    if (taken != NULL) *taken = 0;
    while (frames > 0) {
        if (taken != NULL && *written == room) return TRUE;
        const void *in[1] = {data != NULL ? data : self->silence};
        void *to[1] = {out + *written * frame_bytes(self)};
        const size_t n = (size_t)(data != NULL ? frames : MIN(frames, kSilenceFrames));
        size_t used = 0, w = 0;
        if (zel_resampler_process_buffers(self->resampler, in, n, &used, to, (size_t)(room - *written), &w) !=
                0 ||
            (used == 0 && w == 0)) {
            GST_ELEMENT_ERROR(self, STREAM, FAILED, ("Resampling failed"),
                              ("%s", zel_resampler_error_message()));
            return FALSE;
        }
        *written += w;
        frames -= used;
        if (taken != NULL) *taken += used;
        if (data != NULL) data += used * frame_bytes(self);
    }
    return TRUE;
}

static void stamp(GstZelResample *self, GstBuffer *buffer, guint64 frames) {
    GST_BUFFER_PTS(buffer) = out_time(self, self->out_next);
    GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    const GstClockTime end = out_time(self, self->out_next + frames);
    GST_BUFFER_DURATION(buffer) =
        GST_CLOCK_TIME_IS_VALID(GST_BUFFER_PTS(buffer)) && GST_CLOCK_TIME_IS_VALID(end)
            ? end - GST_BUFFER_PTS(buffer)
            : GST_CLOCK_TIME_NONE;
    GST_BUFFER_OFFSET(buffer) = self->out_next;
    GST_BUFFER_OFFSET_END(buffer) = self->out_next + frames;
    /* Resampled silence is not silence once the filter's tail of earlier audio reaches into it. */
    guint flags = GST_BUFFER_FLAGS(buffer) & ~(guint)(GST_BUFFER_FLAG_GAP | GST_BUFFER_FLAG_DISCONT);
    GST_BUFFER_FLAGS(buffer) = flags | (self->discont ? (guint)GST_BUFFER_FLAG_DISCONT : 0u);
    self->discont = FALSE;
    self->out_next += frames;
}

/* Ends the stream: pushes every output frame positioned before the end of the input given. */
static GstFlowReturn drain(GstZelResample *self) {
    if (self->resampler == NULL || !self->started) return GST_FLOW_OK;
    guint64 left = outputs_before(self, self->in_next) - self->out_next;
    forget_stream(self);
    /* In buffers of at most buffer_frames, as the steepest upsampling's tail may be long. */
    while (left > 0) {
        const guint64 room = MIN(left, buffer_frames(self));
        GstBuffer *buffer = gst_buffer_new_allocate(NULL, room * frame_bytes(self), NULL);
        GstMapInfo map;
        gst_buffer_map(buffer, &map, GST_MAP_WRITE);
        guint64 written = 0;
        while (written < room) {
            void *to[1] = {map.data + written * frame_bytes(self)};
            size_t w = 0, used = 0;
            if (zel_resampler_process_buffers(self->resampler, NULL, 0, &used, to, (size_t)(room - written),
                                              &w) != 0) {
                GST_ELEMENT_ERROR(self, STREAM, FAILED, ("Draining failed"),
                                  ("%s", zel_resampler_error_message()));
                gst_buffer_unmap(buffer, &map);
                gst_buffer_unref(buffer);
                return GST_FLOW_ERROR;
            }
            if (w == 0) break;
            written += w;
        }
        gst_buffer_unmap(buffer, &map);
        gst_buffer_set_size(buffer, (gssize)(written * frame_bytes(self)));
        left = written < room ? 0 : left - written;
        if (written == 0) {
            gst_buffer_unref(buffer);
            break;
        }
        stamp(self, buffer, written);
        GST_DEBUG_OBJECT(self, "drained %" G_GUINT64_FORMAT " frames", written);
        const GstFlowReturn ret = gst_pad_push(GST_BASE_TRANSFORM_SRC_PAD(self), buffer);
        if (ret != GST_FLOW_OK) return ret;
    }
    return GST_FLOW_OK;
}

/* The input frame a buffer at pts starts on the grid. */
static guint64 grid_frame(const GstZelResample *self, GstClockTime pts) {
    guint64 since = pts - self->origin; /* nanoseconds from frame 0 */
    if (self->origin_negative)
        since = pts > G_MAXUINT64 - self->origin ? G_MAXUINT64 : pts + self->origin;
    else if (pts <= self->origin)
        return 0;
    return gst_util_uint64_scale_int_round(since, (gint)in_rate(self), (gint)GST_SECOND);
}

/* Starts a run at input frame `first`: seeks to the first output frame positioned at or after it, feeds
 * silence for the frames the filter reads before it, and drops those it starts past. */
static gboolean start_at(GstZelResample *self, guint64 first, guint8 *out, guint64 room, guint64 *written) {
    unsigned long long needed = 0;
    self->out_next = outputs_before(self, first);
    if (self->out_next == G_MAXUINT64 || zel_resampler_seek(self->resampler, self->out_next, &needed) != 0)
        return FALSE;
    self->in_next = first;
    self->skip = needed > first ? needed - first : 0;
    self->started = self->discont = TRUE;
    return feed(self, NULL, first - MIN(needed, first), out, room, written, NULL);
}

static gboolean restart(GstZelResample *self, GstClockTime pts, guint8 *out, guint64 room, guint64 *written) {
    const GstSegment *segment = &GST_BASE_TRANSFORM(self)->segment;
    if (!GST_CLOCK_TIME_IS_VALID(pts)) pts = self->resume;
    if (!GST_CLOCK_TIME_IS_VALID(pts)) pts = segment->format == GST_FORMAT_TIME ? segment->start : 0;
    /* Stream time 0 anchors the grid, so a seek lands where a run from the start would be; a segment that
     * gives none (not in time, or a buffer before stream time 0) anchors it at the buffer. */
    self->origin = pts, self->origin_negative = FALSE;
    if (segment->format == GST_FORMAT_TIME && GST_CLOCK_TIME_IS_VALID(segment->time)) {
        if (segment->start < segment->time)
            self->origin = segment->time - segment->start, self->origin_negative = TRUE;
        else if (segment->start - segment->time <= pts)
            self->origin = segment->start - segment->time;
    }
    if (start_at(self, grid_frame(self, pts), out, room, written)) return TRUE;
    /* Too far from stream time 0 for the resampler's frame range: begin the grid at the buffer. */
    self->origin = pts, self->origin_negative = FALSE;
    if (start_at(self, 0, out, room, written)) return TRUE;
    GST_ELEMENT_ERROR(self, STREAM, FAILED, ("Cannot start the stream"),
                      ("%s", zel_resampler_error_message()));
    return FALSE;
}

static GstFlowReturn transform(GstBaseTransform *base, GstBuffer *inbuf, GstBuffer *outbuf) {
    GstZelResample *self = GST_ZEL_RESAMPLE(base);
    if (self->resampler == NULL) return GST_FLOW_NOT_NEGOTIATED;
    const gsize bpf = frame_bytes(self);
    /* Part of a frame would shift every later frame of the run by a sample: refused, not cut. */
    if (gst_buffer_get_size(inbuf) % bpf != 0) {
        GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("Input buffer is not a whole number of frames"),
                          ("%" G_GSIZE_FORMAT " bytes, frames of %" G_GSIZE_FORMAT " bytes",
                           gst_buffer_get_size(inbuf), bpf));
        return GST_FLOW_ERROR;
    }
    guint64 frames = gst_buffer_get_size(inbuf) / bpf;
    const GstClockTime pts = GST_BUFFER_PTS(inbuf);
    /* A discontinuity that moves the input off the grid ends the run; one that keeps it there changes nothing. */
    if (self->started && GST_BUFFER_IS_DISCONT(inbuf) && GST_CLOCK_TIME_IS_VALID(pts) &&
        grid_frame(self, pts) != self->in_next) {
        const GstFlowReturn ret = drain(self);
        if (ret != GST_FLOW_OK) return ret;
    }
    GstMapInfo in, out;
    gst_buffer_map(inbuf, &in, GST_MAP_READ);
    gst_buffer_map(outbuf, &out, GST_MAP_WRITE);
    const guint64 capacity = out.size / bpf;
    guint64 written = 0;
    gboolean ok = self->started || restart(self, pts, out.data, capacity, &written);
    const guint64 skipped = MIN(self->skip, frames);
    self->skip -= skipped;
    self->in_next += frames;
    frames -= skipped;
    const guint8 *data = GST_BUFFER_FLAG_IS_SET(inbuf, GST_BUFFER_FLAG_GAP) ? NULL : in.data + skipped * bpf;
    guint64 due = ok ? outputs_before(self, self->in_next) - self->out_next - written : 0;
    /* More than one buffer's worth (a steep upsampling): the earlier frames go out first, in buffers of their
     * own pushed from here, and the last ones in the base class's buffer. The frames positioned before the
     * input's end that still wait for the filter's reach past it stay in the resampler. */
    GstFlowReturn pushed = GST_FLOW_OK;
    while (ok && pushed == GST_FLOW_OK && frames > 0 && written + due > capacity) {
        GstBuffer *early = gst_buffer_new_allocate(NULL, capacity * bpf, NULL);
        GstMapInfo map;
        gst_buffer_map(early, &map, GST_MAP_WRITE);
        memcpy(map.data, out.data, written * bpf); /* what a restart wrote, if anything */
        guint64 w = written, taken = 0;
        due += written, written = 0;
        ok = feed(self, data, frames, map.data, capacity, &w, &taken);
        gst_buffer_unmap(early, &map);
        frames -= taken, due -= w;
        if (data != NULL) data += taken * bpf;
        if (!ok || w == 0) {
            gst_buffer_unref(early);
            break;
        }
        gst_buffer_set_size(early, (gssize)(w * bpf));
        stamp(self, early, w);
        pushed = gst_pad_push(GST_BASE_TRANSFORM_SRC_PAD(self), early);
    }
    ok = ok && pushed == GST_FLOW_OK &&
         feed(self, data, frames, out.data, MIN(capacity, written + due), &written, NULL);
    gst_buffer_unmap(outbuf, &out);
    gst_buffer_unmap(inbuf, &in);
    if (pushed != GST_FLOW_OK) {
        /* The rest of this buffer never reached the resampler: the run ends, and the next buffer starts a new
         * one at its own time (without one, where this buffer ended), as after a discontinuity. */
        const GstClockTime end = grid_time(
            self, gst_util_uint64_scale_int_round(self->in_next, (gint)GST_SECOND, (gint)in_rate(self)));
        forget_stream(self);
        self->resume = end;
        return pushed;
    }
    if (!ok) return GST_FLOW_ERROR;
    gst_buffer_set_size(outbuf, (gssize)(written * bpf));
    if (written == 0) return GST_BASE_TRANSFORM_FLOW_DROPPED;
    stamp(self, outbuf, written);
    return GST_FLOW_OK;
}

/* A buffer that completes no output frame leaves no gap: the base class would mark the next output DISCONT. */
static GstFlowReturn generate_output(GstBaseTransform *base, GstBuffer **outbuf) {
    const GstFlowReturn ret =
        GST_BASE_TRANSFORM_CLASS(gst_zel_resample_parent_class)->generate_output(base, outbuf);
    if (ret != GST_BASE_TRANSFORM_FLOW_DROPPED) return ret;
    gst_clear_buffer(outbuf);
    return GST_FLOW_OK;
}

static gboolean transform_size(GstBaseTransform *base, GstPadDirection direction, GstCaps *caps, gsize size,
                               GstCaps *othercaps, gsize *othersize) {
    GstZelResample *self = GST_ZEL_RESAMPLE(base);
    (void)caps, (void)othercaps;
    if (self->resampler == NULL) return FALSE;
    const guint64 frames = size / frame_bytes(self);
    if (direction == GST_PAD_SRC) {
        *othersize = gst_util_uint64_scale_int_ceil(frames, (gint)in_rate(self), (gint)out_rate(self)) *
                     frame_bytes(self);
        return TRUE;
    }
    /* A run that goes on completes the frames positioned before the buffer's end; one that restarts at it,
     * at most the frames of its own span. */
    guint64 most = outputs_before(self, frames) + 1;
    if (self->started) most = MAX(most, outputs_before(self, self->in_next + frames) - self->out_next);
    *othersize = MIN(most, buffer_frames(self)) * frame_bytes(self);
    return TRUE;
}

static GstCaps *transform_caps(GstBaseTransform *base, GstPadDirection direction, GstCaps *caps,
                               GstCaps *filter) {
    (void)base, (void)direction;
    GstCaps *result = gst_caps_new_empty();
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        GstStructure *any_rate = gst_structure_copy(gst_caps_get_structure(caps, i));
        /* A fixed rate on this side is kept first, so that equal rates are preferred where both sides allow. */
        if (gst_structure_has_field_typed(any_rate, "rate", G_TYPE_INT))
            result = gst_caps_merge_structure(result, gst_structure_copy(any_rate));
        gst_structure_set(any_rate, "rate", GST_TYPE_INT_RANGE, 1, G_MAXINT, NULL);
        result = gst_caps_merge_structure(result, any_rate);
    }
    if (filter != NULL) {
        GstCaps *both = gst_caps_intersect_full(filter, result, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(result);
        result = both;
    }
    return result;
}

static GstCaps *fixate_caps(GstBaseTransform *base, GstPadDirection direction, GstCaps *caps,
                            GstCaps *othercaps) {
    (void)base, (void)direction;
    othercaps = gst_caps_make_writable(gst_caps_truncate(othercaps));
    int rate = 0;
    if (gst_structure_get_int(gst_caps_get_structure(caps, 0), "rate", &rate))
        gst_structure_fixate_field_nearest_int(gst_caps_get_structure(othercaps, 0), "rate", rate);
    return gst_caps_fixate(othercaps);
}

static gboolean get_unit_size(GstBaseTransform *base, GstCaps *caps, gsize *size) {
    GstAudioInfo info;
    (void)base;
    if (!gst_audio_info_from_caps(&info, caps)) return FALSE;
    *size = (gsize)GST_AUDIO_INFO_BPF(&info);
    return TRUE;
}

/* The input a live source must run ahead of an output's position before that output can be made, at most: the
 * filter's reach plus the band stage's block, over enough outputs to meet its worst. */
static GstClockTime resampler_latency(const GstZelResample *self) {
    guint64 most = 0;
    for (guint64 t = 0; t < kLatencyScan; ++t) {
        unsigned long long needed = 0;
        if (zel_resampler_input_needed(self->resampler, t + 1, &needed) != 0) break;
        const guint64 position = gst_util_uint64_scale_int(t, (gint)in_rate(self), (gint)out_rate(self));
        if (needed > position) most = MAX(most, needed - position);
    }
    return gst_util_uint64_scale_int_ceil(most, (gint)GST_SECOND, (gint)in_rate(self));
}

static gboolean set_caps(GstBaseTransform *base, GstCaps *incaps, GstCaps *outcaps) {
    GstZelResample *self = GST_ZEL_RESAMPLE(base);
    GstAudioInfo in, out;
    if (!gst_audio_info_from_caps(&in, incaps) || !gst_audio_info_from_caps(&out, outcaps) ||
        GST_AUDIO_INFO_FORMAT(&in) != GST_AUDIO_INFO_FORMAT(&out) ||
        GST_AUDIO_INFO_CHANNELS(&in) != GST_AUDIO_INFO_CHANNELS(&out))
        return FALSE;
    if (self->resampler != NULL && gst_audio_info_is_equal(&in, &self->in) &&
        gst_audio_info_is_equal(&out, &self->out))
        return TRUE;
    /* Frames already given belong to the old caps: they leave before the new ones apply, and input that comes
     * without timestamps goes on from their end. */
    GstClockTime resume = GST_CLOCK_TIME_NONE;
    if (self->resampler != NULL && self->started)
        resume = grid_time(
            self, gst_util_uint64_scale_int_round(self->in_next, (gint)GST_SECOND, (gint)in_rate(self)));
    drain(self);
    zel_resampler_destroy(self->resampler);
    g_free(self->silence);
    self->resampler = NULL;
    self->silence = NULL;

    zel_resampler_options options;
    zel_resampler_options_init(&options);
    options.input_format = options.output_format = zel_format(GST_AUDIO_INFO_FORMAT(&in));
    GST_OBJECT_LOCK(self);
    options.bandwidth = self->bandwidth;
    const int quality = self->quality;
    GST_OBJECT_UNLOCK(self);
    self->resampler = zel_resampler_create_with_options(
        (unsigned long long)GST_AUDIO_INFO_RATE(&in), 1, (unsigned long long)GST_AUDIO_INFO_RATE(&out), 1,
        (unsigned)GST_AUDIO_INFO_CHANNELS(&in), quality, &options);
    if (self->resampler == NULL) {
        GST_ELEMENT_ERROR(self, LIBRARY, SETTINGS, ("Cannot resample from %d Hz to %d Hz", in.rate, out.rate),
                          ("%s", zel_resampler_error_message()));
        return FALSE;
    }
    self->in = in;
    self->out = out;
    self->silence = g_malloc0(kSilenceFrames * frame_bytes(self));
    forget_stream(self);
    self->resume = resume;
    const GstClockTime latency = resampler_latency(self);
    GST_OBJECT_LOCK(self);
    const gboolean changed = latency != self->latency;
    self->latency = latency;
    GST_OBJECT_UNLOCK(self);
    if (changed) gst_element_post_message(GST_ELEMENT(self), gst_message_new_latency(GST_OBJECT(self)));
    GST_INFO_OBJECT(self, "%d Hz to %d Hz, %d channels, latency %" GST_TIME_FORMAT, in.rate, out.rate,
                    in.channels, GST_TIME_ARGS(latency));
    return TRUE;
}

static gboolean sink_event(GstBaseTransform *base, GstEvent *event) {
    GstZelResample *self = GST_ZEL_RESAMPLE(base);
    switch (GST_EVENT_TYPE(event)) {
        case GST_EVENT_FLUSH_STOP:
            forget_stream(self);
            break;
        case GST_EVENT_SEGMENT: /* the old segment's frames are done; the new one sets the grid again */
        case GST_EVENT_EOS:
            drain(self);
            break;
        default:
            break;
    }
    return GST_BASE_TRANSFORM_CLASS(gst_zel_resample_parent_class)->sink_event(base, event);
}

static gboolean query(GstBaseTransform *base, GstPadDirection direction, GstQuery *query) {
    GstZelResample *self = GST_ZEL_RESAMPLE(base);
    if (!GST_BASE_TRANSFORM_CLASS(gst_zel_resample_parent_class)->query(base, direction, query)) return FALSE;
    if (direction == GST_PAD_SRC && GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
        gboolean live = FALSE;
        GstClockTime min = 0, max = 0;
        gst_query_parse_latency(query, &live, &min, &max);
        GST_OBJECT_LOCK(self);
        const GstClockTime latency = self->latency;
        GST_OBJECT_UNLOCK(self);
        gst_query_set_latency(query, live, min + latency, GST_CLOCK_TIME_IS_VALID(max) ? max + latency : max);
    }
    return TRUE;
}

static gboolean stop(GstBaseTransform *base) {
    GstZelResample *self = GST_ZEL_RESAMPLE(base);
    zel_resampler_destroy(self->resampler);
    g_free(self->silence);
    self->resampler = NULL;
    self->silence = NULL;
    self->latency = 0;
    forget_stream(self);
    return TRUE;
}

static void set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec) {
    GstZelResample *self = GST_ZEL_RESAMPLE(object);
    GST_OBJECT_LOCK(self);
    if (id == PROP_QUALITY)
        self->quality = g_value_get_enum(value);
    else if (id == PROP_BANDWIDTH)
        self->bandwidth = g_value_get_double(value);
    else
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    GST_OBJECT_UNLOCK(self);
}

static void get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
    GstZelResample *self = GST_ZEL_RESAMPLE(object);
    GST_OBJECT_LOCK(self);
    if (id == PROP_QUALITY)
        g_value_set_enum(value, self->quality);
    else if (id == PROP_BANDWIDTH)
        g_value_set_double(value, self->bandwidth);
    else
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    GST_OBJECT_UNLOCK(self);
}

static void finalize(GObject *object) {
    stop(GST_BASE_TRANSFORM(object));
    G_OBJECT_CLASS(gst_zel_resample_parent_class)->finalize(object);
}

static void gst_zel_resample_class_init(GstZelResampleClass *klass) {
    GObjectClass *object = G_OBJECT_CLASS(klass);
    GstElementClass *element = GST_ELEMENT_CLASS(klass);
    GstBaseTransformClass *base = GST_BASE_TRANSFORM_CLASS(klass);
    object->set_property = set_property;
    object->get_property = get_property;
    object->finalize = finalize;
    const GParamFlags flags = G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY;
    g_object_class_install_property(
        object, PROP_QUALITY,
        g_param_spec_enum("quality", "Quality", "Filter preset", quality_get_type(), kDefaultQuality, flags));
    g_object_class_install_property(
        object, PROP_BANDWIDTH,
        g_param_spec_double("bandwidth", "Bandwidth",
                            "Passband edge as a fraction of the lower Nyquist frequency, 0.80 to 0.99 "
                            "(0: the preset's own, 0.90; linear has none)",
                            0.0, ZEL_MAX_BANDWIDTH, 0.0, flags));
    gst_element_class_add_static_pad_template(element, &sink_template);
    gst_element_class_add_static_pad_template(element, &src_template);
    gst_element_class_set_static_metadata(element, "Exact audio resampler", "Filter/Converter/Audio",
                                          "Resamples audio at exact positions through the zel resampler",
                                          "zel developers <dev@zel.invalid>");
    gst_type_mark_as_plugin_api(quality_get_type(), 0);
    base->transform_caps = transform_caps;
    base->fixate_caps = fixate_caps;
    base->get_unit_size = get_unit_size;
    base->set_caps = set_caps;
    base->transform_size = transform_size;
    base->transform = transform;
    base->generate_output = generate_output;
    base->sink_event = sink_event;
    base->query = query;
    base->stop = stop;
    /* Never passthrough: at equal rates the output is still the resampler's, which for int32 and float64
     * through a float preset is the input rounded to float. */
    base->passthrough_on_same_caps = FALSE;
}

static void gst_zel_resample_init(GstZelResample *self) {
    self->quality = kDefaultQuality;
    self->bandwidth = 0.0;
    self->resume = GST_CLOCK_TIME_NONE;
}

static gboolean plugin_init(GstPlugin *plugin) {
    GST_DEBUG_CATEGORY_INIT(zel_resample_debug, "zelresample", 0, "zel resampler");
    return gst_element_register(plugin, "zelresample", GST_RANK_NONE, GST_TYPE_ZEL_RESAMPLE);
}

/* GStreamer's descriptor macro leaves its reserved padding to zero initialisation. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, zel, "Exact sample-rate conversion", plugin_init,
                  ZEL_PLUGIN_VERSION, "unknown", "zel", "https://zel.invalid")
#pragma GCC diagnostic pop
