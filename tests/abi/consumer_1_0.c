/*
 * A host of the 1.0 C interface. Compiled twice from this one source: against
 * the 1.0 header kept in tests/abi/1.0/ and against include/. Encodes the same
 * signal in each of the four modes at 44100 Hz through zuvo_mpa_create,
 * zuvo_mpa_encode and zuvo_mpa_flush, in blocks of changing length, and prints
 * per mode the stream's length and an FNV-1a hash of its bytes. Both builds,
 * run against any library of major version 1, must print the same lines as
 * the 1.0.0 library did (consumer_1_0.expected).
 *
 * Exits 0 when every call succeeded, 1 otherwise.
 */
#include <stdio.h>
#include <stdlib.h>

#include "zuvo_mpa.h"

#define SAMPLES 20000 /* per channel and mode: 17 frames and a part */

static uint64_t fnv1a(uint64_t hash, const unsigned char* bytes, size_t count) {
    size_t i;
    for (i = 0; i < count; ++i) {
        hash ^= bytes[i];
        hash *= 1099511628211u;
    }
    return hash;
}

/* Two related channels: a shared triangle, a pseudo-random part of its own
 * for each, and a tone that moves from left to right. */
static void signal_at(long t, uint32_t* noise, int16_t* left, int16_t* right) {
    long phase = t % 160;
    long triangle = (phase < 80 ? phase : 160 - phase) * 200 - 8000;
    long tone = ((t / 37) % 2 == 0 ? 3000 : -3000);
    long l;
    long r;
    *noise = *noise * 1664525u + 1013904223u;
    l = triangle + (long)(*noise >> 20) - 2048 + tone * (SAMPLES - t) / SAMPLES;
    *noise = *noise * 1664525u + 1013904223u;
    r = triangle / 2 + (long)(*noise >> 21) - 1024 + tone * t / SAMPLES;
    *left = (int16_t)l;
    *right = (int16_t)r;
}

static int encode_mode(int mode, int bitrate_kbps) {
    zuvo_mpa_settings settings = {0, 0, 44100, NULL, NULL};
    static int16_t pcm[2 * 3000];
    static const size_t blocks[] = {1, 1152, 3000, 577, 0, 2304, 1151};
    size_t block_at = 0;
    size_t total = 0;
    size_t written = 0;
    uint64_t hash = 14695981039346656037u;
    uint32_t noise = 12345;
    unsigned char* out;
    zuvo_mpa_encoder* encoder;
    int channels;
    int error = 0;
    long t = 0;

    settings.mode = mode;
    settings.bitrate_kbps = bitrate_kbps;
    encoder = zuvo_mpa_create(&settings, &error);
    if (encoder == NULL) {
        fprintf(stderr, "mode %d: zuvo_mpa_create: %s\n", mode, zuvo_mpa_strerror(error));
        return 0;
    }
    channels = zuvo_mpa_channels(encoder);
    out = (unsigned char*)malloc(zuvo_mpa_max_output(encoder, 3000));
    if (out == NULL) return 0;
    while (t < SAMPLES) {
        size_t n = blocks[block_at++ % (sizeof blocks / sizeof blocks[0])];
        size_t i;
        if (n > (size_t)(SAMPLES - t)) n = (size_t)(SAMPLES - t);
        for (i = 0; i < n; ++i, ++t) {
            int16_t left;
            int16_t right;
            signal_at(t, &noise, &left, &right);
            if (channels == 2) {
                pcm[2 * i] = left;
                pcm[2 * i + 1] = right;
            } else {
                pcm[i] = left;
            }
        }
        error = zuvo_mpa_encode(encoder, pcm, n, out, zuvo_mpa_max_output(encoder, n), &written);
        if (error != ZUVO_MPA_OK) break;
        hash = fnv1a(hash, out, written);
        total += written;
    }
    if (error == ZUVO_MPA_OK) {
        error = zuvo_mpa_flush(encoder, out, zuvo_mpa_max_output(encoder, 0), &written);
        hash = fnv1a(hash, out, written);
        total += written;
    }
    free(out);
    zuvo_mpa_destroy(encoder);
    if (error != ZUVO_MPA_OK) {
        fprintf(stderr, "mode %d: %s\n", mode, zuvo_mpa_strerror(error));
        return 0;
    }
    printf("mode %d, %d kbit/s: %lu bytes, fnv1a %08lx%08lx\n", mode, bitrate_kbps, (unsigned long)total,
           (unsigned long)(hash >> 32), (unsigned long)(hash & 0xffffffffu));
    return 1;
}

int main(void) {
    int ok = 1;
    ok &= encode_mode(ZUVO_MPA_STEREO, 192);
    ok &= encode_mode(ZUVO_MPA_JOINT_STEREO, 128);
    ok &= encode_mode(ZUVO_MPA_DUAL_CHANNEL, 256);
    ok &= encode_mode(ZUVO_MPA_MONO, 96);
    return ok ? 0 : 1;
}
