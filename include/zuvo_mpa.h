/*
 * zuvo_mpa.h — the C interface of ZuvoMPAEncoder.
 *
 * A C99 header, usable from C, C++ and any language with a C foreign-function
 * interface. It sits beside the six functions of ZuvoMPAEncoder.h and drives
 * the same encoder core: for the same samples and settings both produce the
 * same bytes.
 *
 *     zuvo_mpa_settings s = {ZUVO_MPA_JOINT_STEREO, 192, 44100, NULL, NULL};
 *     int error;
 *     zuvo_mpa_encoder* enc = zuvo_mpa_create(&s, &error);
 *     ...
 *     size_t cap = zuvo_mpa_max_output(enc, n);       // bytes for n samples per channel
 *     zuvo_mpa_encode(enc, pcm, n, out, cap, &written);
 *     ...
 *     zuvo_mpa_flush(enc, out, zuvo_mpa_max_output(enc, 0), &written);
 *     zuvo_mpa_destroy(enc);
 *
 * Samples are interleaved in the machine's byte order: two per sample
 * instant (left, right) for the stereo, joint-stereo and dual-channel modes,
 * one for single channel; int16_t (zuvo_mpa_encode), float
 * (zuvo_mpa_encode_float) or int32_t (zuvo_mpa_encode_int32). Frames are
 * MPEG-1 Layer II at 32000, 44100 and 48000 Hz and MPEG-2 Layer II (lower
 * sampling frequencies) at 16000, 22050 and 24000 Hz, with a CRC unless the
 * host turns error protection off.
 *
 * Two ways to create an encoder: zuvo_mpa_create with the settings record of
 * version 1.0 (mode, bitrate, rate, log), or a configuration object
 * (zuvo_mpa_config_new, the zuvo_mpa_config_set_* setters, then
 * zuvo_mpa_create_with_config) that reaches every setting of the library:
 *
 *     zuvo_mpa_config* cfg = zuvo_mpa_config_new();
 *     zuvo_mpa_config_set_sample_rate(cfg, 24000);
 *     zuvo_mpa_config_set_bitrate(cfg, 64);
 *     zuvo_mpa_config_set_copyright(cfg, 1);
 *     zuvo_mpa_encoder* enc = zuvo_mpa_create_with_config(cfg, &error);
 *     zuvo_mpa_config_free(cfg);    // the encoder keeps its own copy
 *
 * Settings added in later versions come as new setters; the record of 1.0
 * never changes.
 *
 * Delay: a decoder's output lags the input by 481 samples (the analysis
 * filterbank and the decoder's synthesis together). zuvo_mpa_flush codes
 * enough silence after the last sample that the decoded output contains every
 * input sample: a stream of N samples per channel has
 * ceil((N + 481) / 1152) frames. A host that wants sample-exact output drops
 * the first 481 decoded samples and keeps N.
 *
 * Errors: every function that can fail returns a zuvo_mpa_error (0 = success,
 * negative = failure); a failed call changes nothing and consumes nothing
 * (it stores 0 in *output_bytes).
 * No function writes to standard output or standard error; diagnostics go to
 * the log callback of the settings, if the host gives one.
 *
 * Threading: the library starts no threads and keeps no global mutable state.
 * Different encoders may be used from different threads at the same time;
 * one encoder must be used by one thread at a time.
 */
#ifndef ZUVO_MPA_H
#define ZUVO_MPA_H

#include <stddef.h>
#include <stdint.h>

#include "zuvo_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Channel modes (the values of the stream header's mode field). */
typedef enum zuvo_mpa_mode {
    ZUVO_MPA_STEREO = 0,        /* two independently coded channels */
    ZUVO_MPA_JOINT_STEREO = 1,  /* decided per frame: plain stereo or joint coding of the upper subbands */
    ZUVO_MPA_DUAL_CHANNEL = 2,  /* two unrelated channels (e.g. two languages) */
    ZUVO_MPA_MONO = 3           /* single channel */
} zuvo_mpa_mode;

/* Results. Every failure is negative; zuvo_mpa_strerror names each. */
typedef enum zuvo_mpa_error {
    ZUVO_MPA_OK = 0,
    ZUVO_MPA_ERROR_INVALID_ARGUMENT = -1,  /* a required pointer is NULL, or a count too large to address */
    ZUVO_MPA_ERROR_BAD_MODE = -2,          /* mode is not one of zuvo_mpa_mode */
    ZUVO_MPA_ERROR_BAD_BITRATE = -3,       /* not a bitrate this mode can code (see zuvo_mpa_settings) */
    ZUVO_MPA_ERROR_BAD_SAMPLE_RATE = -4,   /* not 16000, 22050, 24000, 32000, 44100 or 48000 Hz */
    ZUVO_MPA_ERROR_BUFFER_TOO_SMALL = -5,  /* the output capacity is below what the call may write */
    ZUVO_MPA_ERROR_OUT_OF_MEMORY = -6,     /* the encoder's memory could not be obtained */
    ZUVO_MPA_ERROR_FLUSHED = -7,           /* encode or flush after a flush; zuvo_mpa_reset starts anew */
    /* since 1.1 */
    ZUVO_MPA_ERROR_BAD_EMPHASIS = -8,      /* not one of zuvo_mpa_emphasis (the reserved value 2 included) */
    ZUVO_MPA_ERROR_BAD_ANCILLARY = -9,     /* the ancillary bytes leave no room for audio at this bitrate */
    ZUVO_MPA_ERROR_BAD_TUNING = -10        /* not one of zuvo_mpa_tuning */
} zuvo_mpa_error;

/* How the bits of each frame are distributed.
 * REFERENCE (the default): exactly as the original design does; streams are
 *   byte for byte those of every earlier version.
 * BEST: a distribution that sounds better at the same bitrate: each step of
 *   precision goes where it removes the most audible noise per bit, priced
 *   with the noise the quantizer really makes on the frame (from 96 kbit/s per
 *   channel up, bits beyond the masks serve a louder listening level, mostly
 *   in the highs); joint stereo keeps out of joint coding the subbands whose
 *   stereo image a rebuild from the sum would audibly lose (channels that
 *   cancel or are unrelated), and jointly coded subbands follow the scale
 *   factors the channels share. Streams are valid for every decoder, but may
 *   change from version to version as the tuning improves; it costs up to 1.5
 *   times the reference's time per frame. */
typedef enum zuvo_mpa_tuning {
    ZUVO_MPA_TUNING_REFERENCE = 0,
    ZUVO_MPA_TUNING_BEST = 1
} zuvo_mpa_tuning;

/* De-emphasis the decoder is told to apply (the header's emphasis field).
 * The encoder does not filter: the host hands over pre-emphasized audio. */
typedef enum zuvo_mpa_emphasis {
    ZUVO_MPA_EMPHASIS_NONE = 0,
    ZUVO_MPA_EMPHASIS_50_15 = 1,  /* 50/15 microseconds */
    ZUVO_MPA_EMPHASIS_CCITT = 3   /* CCITT J.17 (the value 2 is reserved) */
} zuvo_mpa_emphasis;

/* Receives the library's diagnostics, one message per call, without a line
 * break. Called on the thread that called into the library. */
typedef void (*zuvo_mpa_log_fn)(void* user_data, const char* message);

/* Stream settings of version 1.0 (zuvo_mpa_create). The layout never changes;
 * newer settings are reached through zuvo_mpa_config.
 *
 * sample_rate: 32000, 44100 or 48000 (MPEG-1); 16000, 22050 or 24000 (MPEG-2
 * lower sampling frequencies).
 * bitrate_kbps, by rate and mode (zuvo_mpa_bitrates lists them):
 *   32000-48000 Hz, stereo, joint stereo, dual channel: 64, 96, 112, 128, 160,
 *                   192, 224, 256, 320 or 384 (32, 48, 56 and 80 are not
 *                   allowed with two channels)
 *   32000-48000 Hz, mono: 32, 48, 56, 64, 80, 96, 112, 128, 160 or 192
 *   16000-24000 Hz, every mode: 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112,
 *                   128, 144 or 160
 * log: NULL for silence (the default), or a function for the diagnostics.
 * The stream has a CRC, no flag set, no ancillary data. */
typedef struct zuvo_mpa_settings {
    int mode;          /* zuvo_mpa_mode */
    int bitrate_kbps;
    int sample_rate;   /* Hz */
    zuvo_mpa_log_fn log;
    void* log_user_data;
} zuvo_mpa_settings;

typedef struct zuvo_mpa_encoder zuvo_mpa_encoder;

/* Fills the ancillary bytes of one frame (see zuvo_mpa_config_set_ancillary).
 * `frame` counts the frames of the stream from 0 (zuvo_mpa_reset starts
 * again at 0); `bytes` holds `count` zeros on entry; what the function leaves
 * there is written at the end of the frame, after its audio data. Called on
 * the thread that called zuvo_mpa_encode* or zuvo_mpa_flush, once per frame,
 * in frame order; it must not call into the same encoder. */
typedef void (*zuvo_mpa_ancillary_fn)(void* user_data, uint64_t frame, unsigned char* bytes, size_t count);

/* A configuration: every setting of a stream, set one by one and handed to
 * zuvo_mpa_create_with_config, which checks them together. One configuration
 * may create any number of encoders; an encoder keeps its own copy. */
typedef struct zuvo_mpa_config zuvo_mpa_config;

/* Creates an encoder with a running stream. Returns NULL on failure and stores
 * the reason in *error (when error is not NULL); on success *error is
 * ZUVO_MPA_OK. */
ZUVO_API zuvo_mpa_encoder* zuvo_mpa_create(const zuvo_mpa_settings* settings, int* error);

/* ---------------------------------------------------------------- since 1.1 */

/* A configuration with the defaults: joint stereo, 192 kbit/s, 44100 Hz, CRC
 * on, copyright, original and private bit off, no emphasis, no ancillary
 * data, no log. NULL when out of memory. */
ZUVO_API zuvo_mpa_config* zuvo_mpa_config_new(void);
ZUVO_API void zuvo_mpa_config_free(zuvo_mpa_config* config);  /* NULL is ignored */

/* The setters return ZUVO_MPA_OK, or ZUVO_MPA_ERROR_INVALID_ARGUMENT for a
 * NULL configuration, or the error named beside them for a value that no
 * stream can have (the configuration is then unchanged). Whether mode,
 * bitrate, rate and ancillary bytes fit together is checked by
 * zuvo_mpa_create_with_config. */
ZUVO_API int zuvo_mpa_config_set_mode(zuvo_mpa_config* config, int mode);            /* BAD_MODE */
ZUVO_API int zuvo_mpa_config_set_bitrate(zuvo_mpa_config* config, int kbps);         /* BAD_BITRATE: no table has it */
ZUVO_API int zuvo_mpa_config_set_sample_rate(zuvo_mpa_config* config, int hz);       /* BAD_SAMPLE_RATE */
/* Header flags: 0 = off, any other value = on. */
ZUVO_API int zuvo_mpa_config_set_copyright(zuvo_mpa_config* config, int on);
ZUVO_API int zuvo_mpa_config_set_original(zuvo_mpa_config* config, int on);
ZUVO_API int zuvo_mpa_config_set_private_bit(zuvo_mpa_config* config, int on);
ZUVO_API int zuvo_mpa_config_set_emphasis(zuvo_mpa_config* config, int emphasis);    /* BAD_EMPHASIS */
/* Error protection: on (the default) every frame carries a CRC-16 check word;
 * off frees its 16 bits for audio. */
ZUVO_API int zuvo_mpa_config_set_error_protection(zuvo_mpa_config* config, int on);
/* Reserves `bytes_per_frame` bytes at the end of every frame for ancillary
 * data (0, the default, reserves none; 1728 or more, longer than any frame,
 * is refused here with ZUVO_MPA_ERROR_BAD_ANCILLARY). The bit allocation never uses them.
 * `fill` supplies each frame's bytes (NULL: they stay zero). Frame k codes
 * input samples 1152k .. 1152k + 1151 per channel (counting from 0, the
 * silence of the flush after the last input); a decoder plays them, and so
 * the frame's ancillary bytes, 481 samples after the frame's start, so the
 * bytes of frame k accompany input samples 1152k - 481 .. 1152k + 670.
 * zuvo_mpa_create_with_config refuses with ZUVO_MPA_ERROR_BAD_ANCILLARY a
 * reservation that leaves too little room for audio (zuvo_mpa_max_ancillary). */
ZUVO_API int zuvo_mpa_config_set_ancillary(zuvo_mpa_config* config, size_t bytes_per_frame,
                                           zuvo_mpa_ancillary_fn fill, void* user_data);
ZUVO_API int zuvo_mpa_config_set_log(zuvo_mpa_config* config, zuvo_mpa_log_fn log, void* user_data);
ZUVO_API int zuvo_mpa_config_set_tuning(zuvo_mpa_config* config, int tuning);      /* BAD_TUNING */

/* Creates an encoder with a running stream from a configuration, as
 * zuvo_mpa_create does from settings: NULL on failure with the reason in
 * *error (ZUVO_MPA_ERROR_INVALID_ARGUMENT for a NULL configuration,
 * BAD_BITRATE for a bitrate the rate and mode cannot code, BAD_ANCILLARY). */
ZUVO_API zuvo_mpa_encoder* zuvo_mpa_create_with_config(const zuvo_mpa_config* config, int* error);

/* Like zuvo_mpa_encode, from other sample formats. Each is converted to the
 * 16 bits the encoder codes, with the same results as zuvo_mpa_encode of the
 * converted values:
 *   float: 1.0 is full scale; x becomes x * 32767 rounded to the nearest
 *          integer (halves to even) and clipped to -32768 .. 32767; NaN is 0.
 *          So the 16-bit value v given as v / 32767.0f codes as v itself.
 *   int32: 24- or 32-bit data in the upper bits (as libsndfile and most hosts
 *          hand it over); rounded to its top 16 bits, clipped to 32767. A
 *          16-bit value v given as v * 65536 codes as v itself. */
ZUVO_API int zuvo_mpa_encode_float(zuvo_mpa_encoder* encoder, const float* pcm, size_t samples_per_channel,
                                   unsigned char* output, size_t capacity, size_t* output_bytes);
ZUVO_API int zuvo_mpa_encode_int32(zuvo_mpa_encoder* encoder, const int32_t* pcm, size_t samples_per_channel,
                                   unsigned char* output, size_t capacity, size_t* output_bytes);

/* Format facts: what hosts otherwise copy from the standard. */

/* ZUVO_MPA_OK when a stream of this rate (Hz), mode and bitrate (kbit/s) can
 * be coded, else the error zuvo_mpa_create would give (BAD_MODE,
 * BAD_SAMPLE_RATE or BAD_BITRATE, checked in that order). */
ZUVO_API int zuvo_mpa_check_format(int sample_rate, int mode, int bitrate_kbps);
/* The bitrates (kbit/s, ascending) a rate and mode can code: writes at most
 * `capacity` of them to `kbps` (which may be NULL when capacity is 0) and
 * returns how many there are (0 for a rate or mode that does not exist; never
 * more than 16). */
ZUVO_API size_t zuvo_mpa_bitrates(int sample_rate, int mode, int* kbps, size_t capacity);
/* The sampling rates (Hz, ascending: 16000 22050 24000 32000 44100 48000) in
 * the same manner. */
ZUVO_API size_t zuvo_mpa_sample_rates(int* hz, size_t capacity);
/* The bitrate a host may offer when its user names none: 192 kbit/s for two
 * channels and 96 for one at 32000-48000 Hz, 96 and 48 at the lower rates
 * (0 for a rate or mode that does not exist). */
ZUVO_API int zuvo_mpa_default_bitrate(int sample_rate, int mode);
/* MPEG audio version of the stream at a rate: 1 (ISO/IEC 11172-3) or 2
 * (ISO/IEC 13818-3 lower sampling frequencies); 0 for other rates. */
ZUVO_API int zuvo_mpa_mpeg_version(int sample_rate);
/* Bytes of a frame at this rate and bitrate: 144000 * kbps / rate, rounded
 * down, plus one when `padded` is not 0 and the rate pads (44100 and 22050
 * Hz). 0 for a rate or bitrate that does not exist. */
ZUVO_API size_t zuvo_mpa_frame_bytes(int sample_rate, int bitrate_kbps, int padded);
/* Samples per channel in one frame (1152) and the delay in samples from the
 * encoder's input to a decoder's output (481). */
ZUVO_API int zuvo_mpa_frame_samples(void);
ZUVO_API int zuvo_mpa_delay_samples(void);
/* The most ancillary bytes per frame a stream of this rate, mode, bitrate
 * and error protection can reserve and still code audio (0 for a format that
 * cannot be coded). */
ZUVO_API size_t zuvo_mpa_max_ancillary(int sample_rate, int mode, int bitrate_kbps, int error_protection);

/* ---------------------------------------------------------------- */

/* Destroys an encoder (NULL is ignored). Samples not yet flushed are lost. */
ZUVO_API void zuvo_mpa_destroy(zuvo_mpa_encoder* encoder);

/* Input channels the encoder expects per sample instant: 1 or 2 (0 for NULL). */
ZUVO_API int zuvo_mpa_channels(const zuvo_mpa_encoder* encoder);

/* The most bytes that zuvo_mpa_encode of `samples_per_channel` samples, or a
 * zuvo_mpa_flush right after it, can write: the longest frame times
 * max(ceil(samples_per_channel / 1152), 2). It depends only on the settings
 * and the count, and grows with the count, so an area sized once for the
 * largest call serves every call. zuvo_mpa_max_output(encoder, 0) is what
 * zuvo_mpa_flush needs. 0 for NULL. */
ZUVO_API size_t zuvo_mpa_max_output(const zuvo_mpa_encoder* encoder, size_t samples_per_channel);

/* Encodes `samples_per_channel` samples per channel of interleaved PCM.
 * Writes the whole frames they complete (with samples carried over from
 * earlier calls) to `output` and their byte count to *output_bytes; samples
 * short of a frame are kept for the next call. Fails with
 * ZUVO_MPA_ERROR_BUFFER_TOO_SMALL, consuming nothing, when `capacity` is below
 * zuvo_mpa_max_output(encoder, samples_per_channel). `pcm` may be NULL when
 * samples_per_channel is 0, `output` when capacity is 0. */
ZUVO_API int zuvo_mpa_encode(zuvo_mpa_encoder* encoder, const int16_t* pcm, size_t samples_per_channel,
                             unsigned char* output, size_t capacity, size_t* output_bytes);

/* Ends the stream: completes the last frame and codes the 481-sample delay
 * with silence, so that a decoder's output contains every sample given.
 * Writes the remaining frames (none when no sample was ever given) like
 * zuvo_mpa_encode; fails with ZUVO_MPA_ERROR_BUFFER_TOO_SMALL, changing
 * nothing, when `capacity` is below zuvo_mpa_max_output(encoder, 0).
 * Afterwards encode and flush fail with ZUVO_MPA_ERROR_FLUSHED until
 * zuvo_mpa_reset. `output` may be NULL when capacity is 0. */
ZUVO_API int zuvo_mpa_flush(zuvo_mpa_encoder* encoder, unsigned char* output, size_t capacity,
                            size_t* output_bytes);

/* Drops whatever the stream holds and starts a new stream with the same
 * settings, identical to one from a new encoder. */
ZUVO_API int zuvo_mpa_reset(zuvo_mpa_encoder* encoder);

/* A short English description of a zuvo_mpa_error ("unknown error" for other
 * values). The text is static. */
ZUVO_API const char* zuvo_mpa_strerror(int error);

/* The library's version, "MAJOR.MINOR.PATCH". */
ZUVO_API const char* zuvo_mpa_version(void);

#ifdef __cplusplus
}
#endif

#endif /* ZUVO_MPA_H */
