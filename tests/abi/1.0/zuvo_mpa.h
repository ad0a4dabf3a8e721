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
 * Samples are interleaved int16_t in the machine's byte order: two per sample
 * instant (left, right) for the stereo, joint-stereo and dual-channel modes,
 * one for single channel. Every frame is MPEG-1 Layer II with a CRC.
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
    ZUVO_MPA_ERROR_BAD_SAMPLE_RATE = -4,   /* not 32000, 44100 or 48000 Hz */
    ZUVO_MPA_ERROR_BUFFER_TOO_SMALL = -5,  /* the output capacity is below what the call may write */
    ZUVO_MPA_ERROR_OUT_OF_MEMORY = -6,     /* the encoder's memory could not be obtained */
    ZUVO_MPA_ERROR_FLUSHED = -7            /* encode or flush after a flush; zuvo_mpa_reset starts anew */
} zuvo_mpa_error;

/* Receives the library's diagnostics, one message per call, without a line
 * break. Called on the thread that called into the library. */
typedef void (*zuvo_mpa_log_fn)(void* user_data, const char* message);

/* Stream settings.
 *
 * bitrate_kbps, by mode:
 *   stereo, joint stereo, dual channel: 64, 96, 112, 128, 160, 192, 224, 256,
 *                                       320 or 384 (32, 48, 56 and 80 are not
 *                                       allowed with two channels)
 *   mono:                               32, 48, 56, 64, 80 or 96
 * sample_rate: 32000, 44100 or 48000.
 * log: NULL for silence (the default), or a function for the diagnostics. */
typedef struct zuvo_mpa_settings {
    int mode;          /* zuvo_mpa_mode */
    int bitrate_kbps;
    int sample_rate;   /* Hz */
    zuvo_mpa_log_fn log;
    void* log_user_data;
} zuvo_mpa_settings;

typedef struct zuvo_mpa_encoder zuvo_mpa_encoder;

/* Creates an encoder with a running stream. Returns NULL on failure and stores
 * the reason in *error (when error is not NULL); on success *error is
 * ZUVO_MPA_OK. */
ZUVO_API zuvo_mpa_encoder* zuvo_mpa_create(const zuvo_mpa_settings* settings, int* error);

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
