/*
 * ZuvoMPAEncoder — MPEG-1 Audio Layer II encoder library.
 *
 * The one public header. A host creates an audio context, configures it with
 * ZuvoMPAEncoderParams, hands it buffers of interleaved 16-bit little-endian
 * PCM described by a wavehdr_tag, and receives for every buffer the bytes of
 * all complete, CRC-protected Layer II frames that the buffer's samples (with
 * those carried over from earlier buffers) allow.
 *
 * Functions have C++ linkage on purpose: their exported names are decorated
 * with the argument types, as existing hosts expect.
 *
 * Threading contract: the library starts no threads. Any number of contexts
 * may be used in parallel from different threads, but one context must be used
 * by one thread at a time, and must not be deleted while another call on it is
 * in progress.
 */
#ifndef ZUVO_MPA_ENCODER_H
#define ZUVO_MPA_ENCODER_H

#include <stddef.h>
#include <stdint.h>

#include "zuvo_export.h"

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <windows.h>
#  include <mmsystem.h> /* struct wavehdr_tag */
#else

/* Layout-compatible stand-in for the Windows multimedia buffer header, so that
 * host code is the same on every platform. Only lpData, dwBufferLength and
 * dwUser are read; nothing is written. */
struct wavehdr_tag {
    char* lpData;                 /* interleaved 16-bit PCM, little-endian */
    uint32_t dwBufferLength;      /* bytes at lpData */
    uint32_t dwBytesRecorded;
    uintptr_t dwUser;             /* a new sampling rate in Hz, or <= 22050 for none */
    uint32_t dwFlags;
    uint32_t dwLoops;
    struct wavehdr_tag* lpNext;
    uintptr_t reserved;
};
#endif

/* The caller's stream parameters: three signed 32-bit fields, 12 bytes. */
struct ZuvoMPAEncoderParams {
    int32_t mode;          /* 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel */
    int32_t bitrate_index; /* 1 = 32 kbit/s ... 14 = 384 kbit/s; others are repaired to 11 */
    int32_t sampling_rate; /* 32000, 44100 or 48000 Hz */
};

#ifdef __cplusplus
static_assert(sizeof(ZuvoMPAEncoderParams) == 12, "ZuvoMPAEncoderParams is 12 bytes");
static_assert(offsetof(ZuvoMPAEncoderParams, mode) == 0, "mode at offset 0");
static_assert(offsetof(ZuvoMPAEncoderParams, bitrate_index) == 4, "bitrate_index at offset 4");
static_assert(offsetof(ZuvoMPAEncoderParams, sampling_rate) == 8, "sampling_rate at offset 8");
#endif

/* Creates a context; returns its handle (1, 2, 3, ...), or 0 on failure.
 * Handles are small numbers, not addresses. */
ZUVO_API void* ZuvoCreateAudioContext();

/* Destroys a context in any state. 0 and unknown handles are ignored. */
ZUVO_API void ZuvoDeleteAudioContext(void* context);

/* Configures and starts a stream. Returns 1 when the encoder is running,
 * 0 for an unknown handle, a null params, a sampling rate other than
 * 32000/44100/48000, a mode outside 0..3, or a set-up failure (the encoder is
 * then not running). Bad bitrate indices are repaired silently: <= 0 or >= 15
 * become 11 (224 kbit/s); single channel is limited to 10. Calling it on a
 * running context ends the previous stream first. */
ZUVO_API int ZuvoInitAudioEncoder(void* context, ZuvoMPAEncoderParams* params);

/* Encodes one buffer. Returns 1 and writes the number of bytes of whole
 * frames placed in `output` to *output_length (0 when no frame completed);
 * returns 0 with *output_length = 0 when the context is not running; returns
 * 0 and writes nothing for an unknown handle, a null header or a null lpData
 * (which also prints "audio data unavailable"). `output` must have room for
 * every frame the call can complete (see ZuvoMaxOutputBytes). */
ZUVO_API int ZuvoCompressAudioFrame(void* context, struct wavehdr_tag* wave_header,
                                    unsigned char* output, int* output_length);

/* Ends the stream (samples short of a whole frame are dropped). Returns 1 if
 * the encoder was running, else 0. */
ZUVO_API int ZuvoFinishAudio(void* context);

/* Ends the stream if it is configured and running. Returns 1 for any known
 * handle, 0 for an unknown one. */
ZUVO_API int ZuvoFinishEncoder(void* context);

/* ---- Bounded output, for hosts that want it -------------------------------
 * The six functions above carry no size for the output area. These two sit
 * beside them and do not change them. */

/* The most bytes the next ZuvoCompressAudioFrame on this context can write for
 * a buffer of `input_bytes` bytes, given the bytes carried over from earlier
 * buffers, at the stream's current sampling rate (a rate change announced in
 * the buffer header may change it; ZuvoCompressAudioFrameBounded accounts for
 * that). 0 for an unknown handle or a context that is not running. */
ZUVO_API int ZuvoMaxOutputBytes(void* context, unsigned int input_bytes);

/* Exactly ZuvoCompressAudioFrame, except that the call is refused — returns 0,
 * consumes nothing, writes nothing — when `output_capacity` is below the most
 * bytes this buffer could produce. */
ZUVO_API int ZuvoCompressAudioFrameBounded(void* context, struct wavehdr_tag* wave_header,
                                           unsigned char* output, int output_capacity,
                                           int* output_length);

#endif /* ZUVO_MPA_ENCODER_H */
