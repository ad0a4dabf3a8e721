/*
 * zuvompaenc — a GStreamer audio encoder element over the ZuvoMPAEncoder C API.
 *
 * Takes interleaved little-endian PCM, S16LE, S32LE or F32LE (one or two
 * channels at 16000, 22050, 24000, 32000, 44100 or 48000 Hz) and pushes
 * MPEG-1 (32-48 kHz) or MPEG-2 (16-24 kHz) Audio Layer II, one whole frame
 * per buffer (1152 samples per channel each).
 */
#ifndef GST_ZUVO_MPA_ENC_H
#define GST_ZUVO_MPA_ENC_H

#include <gst/audio/gstaudioencoder.h>
#include <gst/gst.h>

#include "zuvo_mpa.h"

G_BEGIN_DECLS

#define GST_TYPE_ZUVO_MPA_ENC (gst_zuvo_mpa_enc_get_type())
G_DECLARE_FINAL_TYPE(GstZuvoMpaEnc, gst_zuvo_mpa_enc, GST, ZUVO_MPA_ENC, GstAudioEncoder)

/* The "mode" property: which channel mode the stream is coded in. */
typedef enum {
    GST_ZUVO_MPA_ENC_MODE_AUTO = 0,  /* joint stereo for two channels, mono for one */
    GST_ZUVO_MPA_ENC_MODE_STEREO,
    GST_ZUVO_MPA_ENC_MODE_JOINT,
    GST_ZUVO_MPA_ENC_MODE_DUAL,
    GST_ZUVO_MPA_ENC_MODE_MONO
} GstZuvoMpaEncMode;

/* The "emphasis" property: the header's emphasis field, with the library's
 * values (zuvo_mpa_emphasis; 2 is reserved). */
typedef enum {
    GST_ZUVO_MPA_ENC_EMPHASIS_NONE = ZUVO_MPA_EMPHASIS_NONE,
    GST_ZUVO_MPA_ENC_EMPHASIS_50_15 = ZUVO_MPA_EMPHASIS_50_15,
    GST_ZUVO_MPA_ENC_EMPHASIS_CCITT = ZUVO_MPA_EMPHASIS_CCITT
} GstZuvoMpaEncEmphasis;

/* The "tuning" property: the library's zuvo_mpa_tuning. */
typedef enum {
    GST_ZUVO_MPA_ENC_TUNING_REFERENCE = ZUVO_MPA_TUNING_REFERENCE,
    GST_ZUVO_MPA_ENC_TUNING_BEST = ZUVO_MPA_TUNING_BEST
} GstZuvoMpaEncTuning;

struct _GstZuvoMpaEnc {
    GstAudioEncoder parent;

    /* Properties; they take effect when the input format is next set. */
    gint bitrate;  /* kbit/s; 0: 192 for two channels, 96 for one */
    GstZuvoMpaEncMode mode;
    gboolean copyright;
    gboolean original;
    GstZuvoMpaEncEmphasis emphasis;
    gboolean error_protection;  /* a CRC in every frame */
    GstZuvoMpaEncTuning tuning;

    /* The running stream (NULL until the input format is known). */
    zuvo_mpa_encoder* encoder;
    gint rate;
    GstAudioFormat format;  /* S16LE, S32LE or F32LE */
    gint frame_bytes;  /* bytes of an unpadded frame */
    guchar* scratch;   /* holds what one encode or flush call writes */
    gsize scratch_size;

    /* Timestamps: the frame count since `origin`, and the end-of-stream
     * tail, whose frames run past the last input sample (see pre_push). */
    GstClockTime origin;
    guint64 counted_samples;
    gboolean in_tail;
    guint tail_index;
};

G_END_DECLS

#endif /* GST_ZUVO_MPA_ENC_H */
