/*
 * zuvompaenc — MPEG-1 and MPEG-2 Audio Layer II encoding inside a GStreamer
 * pipeline.
 *
 *   gst-launch-1.0 audiotestsrc num-buffers=100 ! zuvompaenc bitrate=192 ! filesink location=tone.mp2
 *
 * Input: interleaved S16LE, S32LE or F32LE, taken as they come (S32LE through
 * zuvo_mpa_encode_int32, F32LE through zuvo_mpa_encode_float); a stream of
 * 16-bit values v gives the same bytes as v << 16 in S32LE or v / 32767.0 in
 * F32LE. The header flags (copyright, original, emphasis) and the CRC
 * (error-protection) are properties, set through the library's configuration
 * object when the input format is set.
 *
 * The base class hands over exactly 1152 samples per channel at a time (only
 * the last piece before a drain may be shorter); every such call completes one
 * frame, which goes downstream as one buffer with that frame's timestamp and a
 * duration of 1152 samples. The source caps say parsed=true: each buffer is a
 * whole frame, so a muxer takes the stream without a parser in between.
 *
 * Delay: the decoded signal lags the input by 481 samples (analysis plus
 * synthesis filterbank). At end of stream the drain codes the last partial
 * frame and enough silence for those 481 samples, so a stream of N samples
 * per channel ends up with ceil((N + 481) / 1152) frames and its decoded
 * output contains every input sample.
 */
#include "gstzuvompaenc.h"

GST_DEBUG_CATEGORY_STATIC(gst_zuvo_mpa_enc_debug);
#define GST_CAT_DEFAULT gst_zuvo_mpa_enc_debug

/* Samples per channel in one frame: the size of the element's staging
 * area, checked against the library's zuvo_mpa_frame_samples() at start. */
enum { kFrameSamples = 1152 };

enum { PROP_0, PROP_BITRATE, PROP_MODE, PROP_COPYRIGHT, PROP_ORIGINAL, PROP_EMPHASIS, PROP_ERROR_PROTECTION, PROP_TUNING };

#define DEFAULT_BITRATE 0
#define DEFAULT_MODE GST_ZUVO_MPA_ENC_MODE_AUTO
#define DEFAULT_COPYRIGHT FALSE
#define DEFAULT_ORIGINAL FALSE
#define DEFAULT_EMPHASIS GST_ZUVO_MPA_ENC_EMPHASIS_NONE
#define DEFAULT_ERROR_PROTECTION TRUE
#define DEFAULT_TUNING GST_ZUVO_MPA_ENC_TUNING_BEST

/* The pads' caps carry the rates the library codes (zuvo_mpa_sample_rates)
 * and are made when the class is: the element keeps no list of its own. */

/* A list of the library's rates for which `accept` holds, as a caps field. */
static void rates_field(GValue* list, gboolean (*accept)(gint rate, gpointer data), gpointer data) {
    gint rates[16];
    const gsize count = MIN(zuvo_mpa_sample_rates(rates, G_N_ELEMENTS(rates)), G_N_ELEMENTS(rates));
    g_value_init(list, GST_TYPE_LIST);
    for (gsize i = 0; i < count; ++i) {
        if (accept != NULL && !accept(rates[i], data)) continue;
        GValue rate = G_VALUE_INIT;
        g_value_init(&rate, G_TYPE_INT);
        g_value_set_int(&rate, rates[i]);
        gst_value_list_append_and_take_value(list, &rate);
    }
}

static GstCaps* sink_template_caps(void) {
    /* S16LE first: an upstream element that can give any of them is offered it first. */
    GstCaps* caps = gst_caps_from_string("audio/x-raw, format = (string) { S16LE, S32LE, F32LE }, "
                                         "layout = (string) interleaved, channels = (int) [ 1, 2 ]");
    GValue rates = G_VALUE_INIT;
    rates_field(&rates, NULL, NULL);
    gst_caps_set_value(caps, "rate", &rates);
    g_value_unset(&rates);
    return caps;
}

/* MPEG-1 streams are mpegaudioversion 1, the lower sampling frequencies 2. */
static gboolean rate_of_version(gint rate, gpointer version) {
    return zuvo_mpa_mpeg_version(rate) == GPOINTER_TO_INT(version);
}

static GstCaps* src_template_caps(void) {
    GstCaps* caps = gst_caps_new_empty();
    for (gint version = 1; version <= 2; ++version) {
        GstStructure* s = gst_structure_from_string(
            "audio/mpeg, mpegversion = (int) 1, layer = (int) 2, channels = (int) [ 1, 2 ], parsed = (boolean) true",
            NULL);
        gst_structure_set(s, "mpegaudioversion", G_TYPE_INT, version, NULL);
        GValue rates = G_VALUE_INIT;
        rates_field(&rates, rate_of_version, GINT_TO_POINTER(version));
        gst_structure_set_value(s, "rate", &rates);
        g_value_unset(&rates);
        gst_caps_append_structure(caps, s);
    }
    return caps;
}

#define GST_TYPE_ZUVO_MPA_ENC_MODE (gst_zuvo_mpa_enc_mode_get_type())
static GType gst_zuvo_mpa_enc_mode_get_type(void) {
    static GType type = 0;
    static const GEnumValue values[] = {
        {GST_ZUVO_MPA_ENC_MODE_AUTO, "Joint stereo for two channels, mono for one", "auto"},
        {GST_ZUVO_MPA_ENC_MODE_STEREO, "Stereo: two independently coded channels", "stereo"},
        {GST_ZUVO_MPA_ENC_MODE_JOINT, "Joint stereo, decided frame by frame", "joint"},
        {GST_ZUVO_MPA_ENC_MODE_DUAL, "Dual channel: two unrelated channels", "dual"},
        {GST_ZUVO_MPA_ENC_MODE_MONO, "Single channel", "mono"},
        {0, NULL, NULL}};
    if (g_once_init_enter(&type)) {
        GType registered = g_enum_register_static("GstZuvoMpaEncMode", values);
        g_once_init_leave(&type, registered);
    }
    return type;
}

/* The header's emphasis field: the values are the library's (2 is reserved
 * and has no entry, so GObject refuses it). */
#define GST_TYPE_ZUVO_MPA_ENC_EMPHASIS (gst_zuvo_mpa_enc_emphasis_get_type())
static GType gst_zuvo_mpa_enc_emphasis_get_type(void) {
    static GType type = 0;
    static const GEnumValue values[] = {
        {GST_ZUVO_MPA_ENC_EMPHASIS_NONE, "No emphasis", "none"},
        {GST_ZUVO_MPA_ENC_EMPHASIS_50_15, "50/15 microseconds", "50/15"},
        {GST_ZUVO_MPA_ENC_EMPHASIS_CCITT, "CCITT J.17", "ccitt"},
        {0, NULL, NULL}};
    if (g_once_init_enter(&type)) {
        GType registered = g_enum_register_static("GstZuvoMpaEncEmphasis", values);
        g_once_init_leave(&type, registered);
    }
    return type;
}

/* How the library distributes each frame's bits. */
#define GST_TYPE_ZUVO_MPA_ENC_TUNING (gst_zuvo_mpa_enc_tuning_get_type())
static GType gst_zuvo_mpa_enc_tuning_get_type(void) {
    static GType type = 0;
    static const GEnumValue values[] = {
        {GST_ZUVO_MPA_ENC_TUNING_REFERENCE, "Exactly the original design's streams", "reference"},
        {GST_ZUVO_MPA_ENC_TUNING_BEST, "The bit distribution that sounds better", "best"},
        {0, NULL, NULL}};
    if (g_once_init_enter(&type)) {
        GType registered = g_enum_register_static("GstZuvoMpaEncTuning", values);
        g_once_init_leave(&type, registered);
    }
    return type;
}

G_DEFINE_TYPE(GstZuvoMpaEnc, gst_zuvo_mpa_enc, GST_TYPE_AUDIO_ENCODER)

/* The library's diagnostics go to this element's debug category. */
static void log_to_debug(void* user_data, const char* message) {
    GST_INFO_OBJECT(user_data, "%s", message);
}

static void gst_zuvo_mpa_enc_release(GstZuvoMpaEnc* self) {
    zuvo_mpa_destroy(self->encoder);
    self->encoder = NULL;
    g_free(self->scratch);
    self->scratch = NULL;
    self->scratch_size = 0;
    self->in_tail = FALSE;
    self->origin = GST_CLOCK_TIME_NONE;
}

/* The mode property's value as a user writes it. */
static const char* mode_name(GstZuvoMpaEncMode mode) {
    GEnumClass* modes = g_type_class_ref(GST_TYPE_ZUVO_MPA_ENC_MODE);
    const GEnumValue* value = g_enum_get_value(modes, (gint)mode);
    const char* name = value != NULL ? value->value_nick : "?";
    g_type_class_unref(modes);  /* the class, and so the name, stays registered */
    return name;
}

/* Channels a mode codes; 0 for auto (whatever comes in). */
static gint mode_channels(GstZuvoMpaEncMode mode) {
    switch (mode) {
    case GST_ZUVO_MPA_ENC_MODE_MONO:
        return 1;
    case GST_ZUVO_MPA_ENC_MODE_STEREO:
    case GST_ZUVO_MPA_ENC_MODE_JOINT:
    case GST_ZUVO_MPA_ENC_MODE_DUAL:
        return 2;
    default:
        return 0;
    }
}

/* Whether a bitrate (kbit/s) can be coded at `rate` with the given number
 * of channels, as the library says; 0 stands for the default, which always
 * can. */
static gboolean bitrate_fits_at(gint kbps, gint channels, gint rate) {
    if (kbps == 0) return zuvo_mpa_mpeg_version(rate) != 0;
    return zuvo_mpa_check_format(rate, channels == 1 ? ZUVO_MPA_MONO : ZUVO_MPA_STEREO, kbps) == ZUVO_MPA_OK;
}

/* Whether some rate codes the bitrate with the given number of channels. */
static gboolean bitrate_fits(gint kbps, gint channels) {
    gint rates[16];
    const gsize count = MIN(zuvo_mpa_sample_rates(rates, G_N_ELEMENTS(rates)), G_N_ELEMENTS(rates));
    for (gsize i = 0; i < count; ++i) {
        if (bitrate_fits_at(kbps, channels, rates[i])) return TRUE;
    }
    return FALSE;
}

/* The sink pad's rates: those at which the bitrate fits the channel count
 * (either count in auto mode). */
struct RateFilter {
    gint kbps;
    gint channels;
};

static gboolean rate_fits(gint rate, gpointer data) {
    const struct RateFilter* filter = data;
    if (filter->channels != 0) return bitrate_fits_at(filter->kbps, filter->channels, rate);
    return bitrate_fits_at(filter->kbps, 1, rate) || bitrate_fits_at(filter->kbps, 2, rate);
}

/* The sink pad offers only the channel count the settings can code (that of
 * a fixed mode; in auto mode that of a bitrate only one channel count has)
 * and the rates at which the bitrate exists, so that an audioconvert and an
 * audioresample upstream convert to them; downstream restrictions (a muxer's
 * rates, say) narrow it further. */
static GstCaps* gst_zuvo_mpa_enc_getcaps(GstAudioEncoder* enc, GstCaps* filter) {
    GstZuvoMpaEnc* self = GST_ZUVO_MPA_ENC(enc);
    GST_OBJECT_LOCK(self);
    gint channels = mode_channels(self->mode);
    const gint kbps = self->bitrate;
    GST_OBJECT_UNLOCK(self);
    if (channels == 0 && bitrate_fits(kbps, 1) != bitrate_fits(kbps, 2)) channels = bitrate_fits(kbps, 1) ? 1 : 2;

    GstCaps* caps = gst_caps_make_writable(gst_pad_get_pad_template_caps(GST_AUDIO_ENCODER_SINK_PAD(enc)));
    if (channels > 0) gst_caps_set_simple(caps, "channels", G_TYPE_INT, channels, NULL);
    /* A bitrate no rate codes keeps every rate: set_format refuses it with a
     * message that names the reason. */
    struct RateFilter accepted = {kbps, channels};
    GValue rates = G_VALUE_INIT;
    rates_field(&rates, rate_fits, &accepted);
    if (gst_value_list_get_size(&rates) > 0) gst_caps_set_value(caps, "rate", &rates);
    g_value_unset(&rates);
    /* The two source structures (MPEG-1 and the lower rates) map to one
     * structure each: merged, upstream sees one list of rates. */
    GstCaps* result = gst_caps_simplify(gst_audio_encoder_proxy_getcaps(enc, caps, filter));
    gst_caps_unref(caps);
    return result;
}

static gboolean gst_zuvo_mpa_enc_set_format(GstAudioEncoder* enc, GstAudioInfo* info) {
    GstZuvoMpaEnc* self = GST_ZUVO_MPA_ENC(enc);
    const gint channels = GST_AUDIO_INFO_CHANNELS(info);
    const gint rate = GST_AUDIO_INFO_RATE(info);

    GST_OBJECT_LOCK(self);
    const GstZuvoMpaEncMode mode = self->mode;
    gint bitrate = self->bitrate;
    const gboolean copyright = self->copyright;
    const gboolean original = self->original;
    const GstZuvoMpaEncEmphasis emphasis = self->emphasis;
    const gboolean error_protection = self->error_protection;
    const GstZuvoMpaEncTuning tuning = self->tuning;
    GST_OBJECT_UNLOCK(self);

    gst_zuvo_mpa_enc_release(self);

    const GstAudioFormat format = GST_AUDIO_INFO_FORMAT(info);
    if (format != GST_AUDIO_FORMAT_S16LE && format != GST_AUDIO_FORMAT_S32LE && format != GST_AUDIO_FORMAT_F32LE) {
        GST_ELEMENT_WARNING(self, STREAM, FORMAT, (NULL),
                            ("input format %s is none of S16LE, S32LE, F32LE", gst_audio_format_to_string(format)));
        return FALSE;
    }

    /* Refusals are warnings that name the reason: the base class follows them
     * with the not-negotiated error that stops the stream, and a second error
     * from this element would only race with it. */
    if (mode_channels(mode) != 0 && mode_channels(mode) != channels) {
        GST_ELEMENT_WARNING(self, STREAM, FORMAT, (NULL),
                            ("mode %s codes %d channel(s), the input has %d", mode_name(mode), mode_channels(mode),
                             channels));
        return FALSE;
    }
    zuvo_mpa_mode library_mode = ZUVO_MPA_JOINT_STEREO;
    switch (mode) {
    case GST_ZUVO_MPA_ENC_MODE_AUTO:
        library_mode = channels == 1 ? ZUVO_MPA_MONO : ZUVO_MPA_JOINT_STEREO;
        break;
    case GST_ZUVO_MPA_ENC_MODE_STEREO:
        library_mode = ZUVO_MPA_STEREO;
        break;
    case GST_ZUVO_MPA_ENC_MODE_JOINT:
        library_mode = ZUVO_MPA_JOINT_STEREO;
        break;
    case GST_ZUVO_MPA_ENC_MODE_DUAL:
        library_mode = ZUVO_MPA_DUAL_CHANNEL;
        break;
    case GST_ZUVO_MPA_ENC_MODE_MONO:
        library_mode = ZUVO_MPA_MONO;
        break;
    }
    if (bitrate == 0) bitrate = zuvo_mpa_default_bitrate(rate, (int)library_mode);

    /* A setter refuses only a value no stream can have (the first refusal is
     * kept); how the values fit together is the create call's to judge. */
    int error = ZUVO_MPA_OK;
    zuvo_mpa_config* config = zuvo_mpa_config_new();
    if (config == NULL) {
        error = ZUVO_MPA_ERROR_OUT_OF_MEMORY;
    } else {
        const int results[] = {
            zuvo_mpa_config_set_mode(config, (int)library_mode),
            zuvo_mpa_config_set_bitrate(config, bitrate),
            zuvo_mpa_config_set_sample_rate(config, rate),
            zuvo_mpa_config_set_copyright(config, copyright ? 1 : 0),
            zuvo_mpa_config_set_original(config, original ? 1 : 0),
            zuvo_mpa_config_set_emphasis(config, (int)emphasis),
            zuvo_mpa_config_set_error_protection(config, error_protection ? 1 : 0),
            zuvo_mpa_config_set_tuning(config, (int)tuning),
            zuvo_mpa_config_set_log(config, log_to_debug, self),
        };
        for (gsize i = 0; i < G_N_ELEMENTS(results) && error == ZUVO_MPA_OK; ++i) error = results[i];
        if (error == ZUVO_MPA_OK) self->encoder = zuvo_mpa_create_with_config(config, &error);
        zuvo_mpa_config_free(config);
    }
    if (self->encoder == NULL) {
        GST_ELEMENT_WARNING(self, LIBRARY, SETTINGS, (NULL),
                            ("cannot code %d kbit/s, %d channel(s), mode %s, %d Hz: %s", bitrate, channels,
                             mode_name(mode), rate, zuvo_mpa_strerror(error)));
        return FALSE;
    }
    self->rate = rate;
    self->format = format;
    self->frame_bytes = (gint)zuvo_mpa_frame_bytes(rate, bitrate, 0);
    /* The bound grows with the count and depends on nothing else: sized for
     * the largest call (1152 samples), the area also serves the flush. */
    self->scratch_size = zuvo_mpa_max_output(self->encoder, kFrameSamples);
    self->scratch = g_malloc(self->scratch_size);

    GstCaps* caps = gst_caps_new_simple("audio/mpeg", "mpegversion", G_TYPE_INT, 1, "mpegaudioversion", G_TYPE_INT,
                                        zuvo_mpa_mpeg_version(rate),
                                        "layer", G_TYPE_INT, 2, "rate", G_TYPE_INT, rate, "channels", G_TYPE_INT,
                                        channels, "parsed", G_TYPE_BOOLEAN, TRUE, NULL);
    const gboolean negotiated = gst_audio_encoder_set_output_format(enc, caps);
    gst_caps_unref(caps);
    if (!negotiated) return FALSE;

    gst_audio_encoder_set_frame_samples_min(enc, kFrameSamples);
    gst_audio_encoder_set_frame_samples_max(enc, kFrameSamples);
    /* An input sample leaves in a frame at most 1152 samples later, and a
     * decoder gives it back 481 samples after that. */
    const GstClockTime latency =
        gst_util_uint64_scale_int(kFrameSamples + zuvo_mpa_delay_samples(), GST_SECOND, rate);
    gst_audio_encoder_set_latency(enc, latency, latency);

    GstTagList* tags = gst_tag_list_new(GST_TAG_NOMINAL_BITRATE, (guint)bitrate * 1000u, GST_TAG_BITRATE,
                                        (guint)bitrate * 1000u, NULL);
    gst_audio_encoder_merge_tags(enc, tags, GST_TAG_MERGE_REPLACE);
    gst_tag_list_unref(tags);
    return TRUE;
}

/* Sends what one encode or flush call wrote, one buffer per frame. A frame is
 * the unpadded length plus one byte when its header's padding bit is set.
 * Frames of the running stream each stand for 1152 input samples; the first
 * frame of the end-of-stream tail stands for whatever input is still pending
 * and the others for none (pre_push gives them their timestamps). */
static GstFlowReturn push_frames(GstZuvoMpaEnc* self, gsize bytes) {
    GstAudioEncoder* enc = GST_AUDIO_ENCODER(self);
    GstFlowReturn ret = GST_FLOW_OK;
    gsize at = 0;
    gboolean first = TRUE;
    while (at < bytes && ret == GST_FLOW_OK) {
        const guchar* frame = self->scratch + at;
        gsize length = (gsize)self->frame_bytes;
        if (bytes - at >= 3) length += (frame[2] >> 1) & 1u;
        if (length > bytes - at || frame[0] != 0xFF) {
            GST_WARNING_OBJECT(self, "no frame header at byte %" G_GSIZE_FORMAT ", sending the rest whole", at);
            length = bytes - at;
        }
        GstBuffer* buffer = gst_audio_encoder_allocate_output_buffer(enc, length);
        gst_buffer_fill(buffer, 0, frame, length);
        const gint samples = !self->in_tail ? kFrameSamples : first ? -1 : 0;
        ret = gst_audio_encoder_finish_frame(enc, buffer, samples);
        at += length;
        first = FALSE;
    }
    return ret;
}

/* End of stream: the last partial frame and the delay tail. The encoder then
 * starts a new stream, in case more input follows (a new segment, new caps). */
static GstFlowReturn drain(GstZuvoMpaEnc* self) {
    size_t written = 0;
    const int error = zuvo_mpa_flush(self->encoder, self->scratch, self->scratch_size, &written);
    if (error != ZUVO_MPA_OK) {
        GST_ELEMENT_ERROR(self, LIBRARY, ENCODE, (NULL), ("flush failed: %s", zuvo_mpa_strerror(error)));
        return GST_FLOW_ERROR;
    }
    self->in_tail = TRUE;
    self->tail_index = 0;
    const GstFlowReturn ret = push_frames(self, written);
    self->in_tail = FALSE;
    self->origin = GST_CLOCK_TIME_NONE;
    zuvo_mpa_reset(self->encoder);
    return ret;
}

static GstFlowReturn gst_zuvo_mpa_enc_handle_frame(GstAudioEncoder* enc, GstBuffer* input) {
    GstZuvoMpaEnc* self = GST_ZUVO_MPA_ENC(enc);
    if (self->encoder == NULL) return GST_FLOW_NOT_NEGOTIATED;
    if (input == NULL) return drain(self);

    const gint channels = zuvo_mpa_channels(self->encoder);
    GstMapInfo map;
    if (!gst_buffer_map(input, &map, GST_MAP_READ)) {
        GST_ELEMENT_ERROR(self, RESOURCE, READ, (NULL), ("cannot read the input buffer"));
        return GST_FLOW_ERROR;
    }
    /* The library takes samples in the machine's byte order, the pad takes
     * little-endian ones; the copy into the staging area also aligns them.
     * The base class hands over 1152 samples per channel at a time, so one
     * pass of the loop normally codes one frame. */
    union {
        int16_t s16[kFrameSamples * 2];
        int32_t s32[kFrameSamples * 2];
        float f32[kFrameSamples * 2];
    } staging;
    const gsize sample_bytes = self->format == GST_AUDIO_FORMAT_S16LE ? 2u : 4u;
    const gsize bytes_per_instant = (gsize)channels * sample_bytes;
    const guint8* in = map.data;
    gsize instants = map.size / bytes_per_instant;
    GstFlowReturn ret = GST_FLOW_OK;
    while (instants > 0 && ret == GST_FLOW_OK) {
        const gsize n = instants < kFrameSamples ? instants : kFrameSamples;
        const gsize values = n * (gsize)channels;
        size_t written = 0;
        int error = ZUVO_MPA_OK;
        switch (self->format) {
        case GST_AUDIO_FORMAT_S32LE:
            for (gsize i = 0; i < values; ++i) staging.s32[i] = (int32_t)GST_READ_UINT32_LE(in + 4 * i);
            error = zuvo_mpa_encode_int32(self->encoder, staging.s32, n, self->scratch, self->scratch_size, &written);
            break;
        case GST_AUDIO_FORMAT_F32LE:
            for (gsize i = 0; i < values; ++i) staging.f32[i] = GST_READ_FLOAT_LE(in + 4 * i);
            error = zuvo_mpa_encode_float(self->encoder, staging.f32, n, self->scratch, self->scratch_size, &written);
            break;
        default:
            for (gsize i = 0; i < values; ++i) staging.s16[i] = (int16_t)GST_READ_UINT16_LE(in + 2 * i);
            error = zuvo_mpa_encode(self->encoder, staging.s16, n, self->scratch, self->scratch_size, &written);
            break;
        }
        if (error != ZUVO_MPA_OK) {
            GST_ELEMENT_ERROR(self, LIBRARY, ENCODE, (NULL), ("encoding failed: %s", zuvo_mpa_strerror(error)));
            ret = GST_FLOW_ERROR;
            break;
        }
        ret = push_frames(self, written);
        in += values * sample_bytes;
        instants -= n;
    }
    gst_buffer_unmap(input, &map);
    return ret;
}

/* Frame k of a stream whose first frame starts at `origin` begins k x 1152
 * samples later. The base class stamps the frames of the running stream that
 * way; the frames of the delay tail stand for fewer input samples than they
 * hold, so they are stamped here, continuing the count exactly. A frame whose
 * stamp breaks the count (the base class resynchronised on a discontinuity)
 * starts a new count. */
static GstFlowReturn gst_zuvo_mpa_enc_pre_push(GstAudioEncoder* enc, GstBuffer** buffer) {
    GstZuvoMpaEnc* self = GST_ZUVO_MPA_ENC(enc);
    const GstClockTime pts = GST_BUFFER_PTS(*buffer);
    if (!GST_CLOCK_TIME_IS_VALID(pts)) return GST_FLOW_OK;
    const gboolean stamped_by_base = !self->in_tail || self->tail_index == 0;
    const GstClockTime begin = gst_util_uint64_scale_int(self->counted_samples, GST_SECOND, self->rate);
    if (stamped_by_base && (!GST_CLOCK_TIME_IS_VALID(self->origin) || pts != self->origin + begin)) {
        self->origin = pts;
        self->counted_samples = 0;
    }
    if (self->in_tail) {
        const GstClockTime start = gst_util_uint64_scale_int(self->counted_samples, GST_SECOND, self->rate);
        const GstClockTime end =
            gst_util_uint64_scale_int(self->counted_samples + kFrameSamples, GST_SECOND, self->rate);
        *buffer = gst_buffer_make_writable(*buffer);
        GST_BUFFER_PTS(*buffer) = self->origin + start;
        GST_BUFFER_DTS(*buffer) = self->origin + start;
        GST_BUFFER_DURATION(*buffer) = end - start;
        self->tail_index++;
    }
    self->counted_samples += kFrameSamples;
    return GST_FLOW_OK;
}

/* After a flush (seek, flushing restart) the stream starts anew. */
static void gst_zuvo_mpa_enc_flush(GstAudioEncoder* enc) {
    GstZuvoMpaEnc* self = GST_ZUVO_MPA_ENC(enc);
    if (self->encoder != NULL) zuvo_mpa_reset(self->encoder);
    self->in_tail = FALSE;
    self->origin = GST_CLOCK_TIME_NONE;
}

/* Settings no input can satisfy (a bitrate outside the mode's table) are
 * refused when the element starts, in the thread that changes its state, so
 * that the application sees a failed state change rather than an error from
 * a streaming thread in the middle of start-up. Properties changed later, in
 * a running element, are judged when the caps arrive (set_format). */
static gboolean gst_zuvo_mpa_enc_start(GstAudioEncoder* enc) {
    GstZuvoMpaEnc* self = GST_ZUVO_MPA_ENC(enc);
    GST_OBJECT_LOCK(self);
    const GstZuvoMpaEncMode mode = self->mode;
    const gint kbps = self->bitrate;
    GST_OBJECT_UNLOCK(self);
    if (zuvo_mpa_frame_samples() != kFrameSamples) {
        GST_ELEMENT_ERROR(self, LIBRARY, INIT, (NULL), ("the library codes %d samples a frame, not %d",
                                                        zuvo_mpa_frame_samples(), (int)kFrameSamples));
        return FALSE;
    }
    const gint channels = mode_channels(mode);
    const gboolean codable =
        channels != 0 ? bitrate_fits(kbps, channels) : (bitrate_fits(kbps, 1) || bitrate_fits(kbps, 2));
    if (!codable) {
        GST_ELEMENT_ERROR(self, LIBRARY, SETTINGS, (NULL),
                          ("mode %s cannot code %d kbit/s", mode_name(mode), kbps));
        return FALSE;
    }
    return TRUE;
}

static gboolean gst_zuvo_mpa_enc_stop(GstAudioEncoder* enc) {
    gst_zuvo_mpa_enc_release(GST_ZUVO_MPA_ENC(enc));
    return TRUE;
}

static void gst_zuvo_mpa_enc_set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    GstZuvoMpaEnc* self = GST_ZUVO_MPA_ENC(object);
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PROP_BITRATE:
        self->bitrate = g_value_get_int(value);
        break;
    case PROP_MODE:
        self->mode = (GstZuvoMpaEncMode)g_value_get_enum(value);
        break;
    case PROP_COPYRIGHT:
        self->copyright = g_value_get_boolean(value);
        break;
    case PROP_ORIGINAL:
        self->original = g_value_get_boolean(value);
        break;
    case PROP_EMPHASIS:
        self->emphasis = (GstZuvoMpaEncEmphasis)g_value_get_enum(value);
        break;
    case PROP_TUNING:
        self->tuning = (GstZuvoMpaEncTuning)g_value_get_enum(value);
        break;
    case PROP_ERROR_PROTECTION:
        self->error_protection = g_value_get_boolean(value);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
        break;
    }
    GST_OBJECT_UNLOCK(self);
}

static void gst_zuvo_mpa_enc_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    GstZuvoMpaEnc* self = GST_ZUVO_MPA_ENC(object);
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PROP_BITRATE:
        g_value_set_int(value, self->bitrate);
        break;
    case PROP_MODE:
        g_value_set_enum(value, (gint)self->mode);
        break;
    case PROP_COPYRIGHT:
        g_value_set_boolean(value, self->copyright);
        break;
    case PROP_ORIGINAL:
        g_value_set_boolean(value, self->original);
        break;
    case PROP_EMPHASIS:
        g_value_set_enum(value, (gint)self->emphasis);
        break;
    case PROP_TUNING:
        g_value_set_enum(value, (gint)self->tuning);
        break;
    case PROP_ERROR_PROTECTION:
        g_value_set_boolean(value, self->error_protection);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
        break;
    }
    GST_OBJECT_UNLOCK(self);
}

static void gst_zuvo_mpa_enc_finalize(GObject* object) {
    gst_zuvo_mpa_enc_release(GST_ZUVO_MPA_ENC(object));
    G_OBJECT_CLASS(gst_zuvo_mpa_enc_parent_class)->finalize(object);
}

static void gst_zuvo_mpa_enc_class_init(GstZuvoMpaEncClass* klass) {
    GObjectClass* object_class = G_OBJECT_CLASS(klass);
    GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
    GstAudioEncoderClass* encoder_class = GST_AUDIO_ENCODER_CLASS(klass);

    object_class->set_property = gst_zuvo_mpa_enc_set_property;
    object_class->get_property = gst_zuvo_mpa_enc_get_property;
    object_class->finalize = gst_zuvo_mpa_enc_finalize;

    g_object_class_install_property(
        object_class, PROP_BITRATE,
        g_param_spec_int("bitrate", "Bitrate",
                         "Bitrate in kbit/s, one the library codes at the input's rate and channel count "
                         "(zuvo-mpa-encode --help lists them); 0 = the library's default: 192 for two "
                         "channels and 96 for mono at 32-48 kHz, 96 and 48 at 16-24 kHz",
                         0, 384, DEFAULT_BITRATE,
                         G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY));
    g_object_class_install_property(
        object_class, PROP_MODE,
        g_param_spec_enum("mode", "Channel mode",
                          "Channel mode of the stream; stereo, joint and dual take two channels, mono takes one",
                          GST_TYPE_ZUVO_MPA_ENC_MODE, DEFAULT_MODE,
                          G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY));
    g_object_class_install_property(
        object_class, PROP_COPYRIGHT,
        g_param_spec_boolean("copyright", "Copyright", "Set the copyright flag in every frame header",
                             DEFAULT_COPYRIGHT,
                             G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY));
    g_object_class_install_property(
        object_class, PROP_ORIGINAL,
        g_param_spec_boolean("original", "Original",
                             "Set the original flag in every frame header (off: the stream is a copy)",
                             DEFAULT_ORIGINAL,
                             G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY));
    g_object_class_install_property(
        object_class, PROP_EMPHASIS,
        g_param_spec_enum("emphasis", "Emphasis",
                          "De-emphasis a decoder is told to apply (the header's emphasis field); the element "
                          "does not filter, the input is expected pre-emphasized",
                          GST_TYPE_ZUVO_MPA_ENC_EMPHASIS, DEFAULT_EMPHASIS,
                          G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY));
    g_object_class_install_property(
        object_class, PROP_ERROR_PROTECTION,
        g_param_spec_boolean("error-protection", "Error protection",
                             "A CRC-16 check word in every frame; off frees its 16 bits for audio",
                             DEFAULT_ERROR_PROTECTION,
                             G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY));
    g_object_class_install_property(
        object_class, PROP_TUNING,
        g_param_spec_enum("tuning", "Tuning",
                          "How each frame's bits are distributed: best (the default) sounds better at the same "
                          "bitrate, reference gives exactly the original design's streams",
                          GST_TYPE_ZUVO_MPA_ENC_TUNING, DEFAULT_TUNING,
                          G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY));

    GstCaps* sink_caps = sink_template_caps();
    GstCaps* src_caps = src_template_caps();
    gst_element_class_add_pad_template(element_class, gst_pad_template_new("sink", GST_PAD_SINK, GST_PAD_ALWAYS, sink_caps));
    gst_element_class_add_pad_template(element_class, gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, src_caps));
    gst_caps_unref(sink_caps);
    gst_caps_unref(src_caps);
    gst_element_class_set_static_metadata(element_class, "ZuvoMPAEncoder MPEG Layer II encoder",
                                          "Codec/Encoder/Audio",
                                          "Encodes 16-bit, 32-bit or float PCM to MPEG-1 and MPEG-2 Audio Layer II "
                                          "(one frame per buffer)",
                                          "ZuvoMPAEncoder developers");

    encoder_class->start = gst_zuvo_mpa_enc_start;
    encoder_class->stop = gst_zuvo_mpa_enc_stop;
    encoder_class->set_format = gst_zuvo_mpa_enc_set_format;
    encoder_class->handle_frame = gst_zuvo_mpa_enc_handle_frame;
    encoder_class->pre_push = gst_zuvo_mpa_enc_pre_push;
    encoder_class->flush = gst_zuvo_mpa_enc_flush;
    encoder_class->getcaps = gst_zuvo_mpa_enc_getcaps;

    gst_type_mark_as_plugin_api(GST_TYPE_ZUVO_MPA_ENC_MODE, 0);
    gst_type_mark_as_plugin_api(GST_TYPE_ZUVO_MPA_ENC_EMPHASIS, 0);
    gst_type_mark_as_plugin_api(GST_TYPE_ZUVO_MPA_ENC_TUNING, 0);
}

static void gst_zuvo_mpa_enc_init(GstZuvoMpaEnc* self) {
    self->bitrate = DEFAULT_BITRATE;
    self->mode = DEFAULT_MODE;
    self->copyright = DEFAULT_COPYRIGHT;
    self->original = DEFAULT_ORIGINAL;
    self->emphasis = DEFAULT_EMPHASIS;
    self->error_protection = DEFAULT_ERROR_PROTECTION;
    self->tuning = DEFAULT_TUNING;
    self->origin = GST_CLOCK_TIME_NONE;
}

static gboolean plugin_init(GstPlugin* plugin) {
    GST_DEBUG_CATEGORY_INIT(gst_zuvo_mpa_enc_debug, "zuvompaenc", 0, "ZuvoMPAEncoder MPEG-1 Layer II encoder");
    return gst_element_register(plugin, "zuvompaenc", GST_RANK_SECONDARY, GST_TYPE_ZUVO_MPA_ENC);
}

/* GStreamer's plugin descriptor macro leaves its reserved fields to zero
 * initialisation. */
#define PACKAGE "ZuvoMPAEncoder"
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, zuvompa, "MPEG-1 Audio Layer II encoding with ZuvoMPAEncoder",
                  plugin_init, ZUVO_VERSION, "unknown", PACKAGE, PACKAGE)
#pragma GCC diagnostic pop
