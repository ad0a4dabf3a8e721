/*
 * Encodes one second of a stereo test signal with the C interface and writes
 * the stream to the file named on the command line. Also a check that
 * zuvo_mpa.h is plain C99: compile it with -std=c99 -pedantic -Werror.
 *
 *     cc -std=c99 c99_encode.c -lZuvoMPAEncoder -o c99_encode
 *     ./c99_encode tone.mp2
 *
 * Exits 0 when the stream has the expected number of frames, 1 otherwise.
 */
#include <stdio.h>
#include <stdlib.h>

#include <zuvo_mpa.h>

#define RATE 44100
#define SAMPLES RATE /* one second per channel */

/* Diagnostics arrive here instead of on standard error. */
static void on_log(void* user_data, const char* message) {
    int* messages = (int*)user_data;
    ++*messages;
    printf("library: %s\n", message);
}

/* A 441 Hz triangle on the left, 882 Hz on the right, at half scale. */
static int16_t triangle(long t, long period) {
    long phase = t % period;
    long ramp = phase < period / 2 ? phase : period - phase; /* 0 .. period/2 */
    return (int16_t)((ramp * 4 - period) * 16384 / period);
}

static int write_all(FILE* file, const unsigned char* bytes, size_t count) {
    return fwrite(bytes, 1, count, file) == count;
}

int main(int argc, char** argv) {
    zuvo_mpa_settings settings = {ZUVO_MPA_JOINT_STEREO, 192, RATE, NULL, NULL};
    int messages = 0;
    int error = 0;
    int ok = 1;
    long t = 0;
    long frames = 0;
    size_t written = 0;
    const size_t block = 1000; /* samples per channel per call, not a frame multiple */
    int16_t pcm[2 * 1000];
    unsigned char* out;
    zuvo_mpa_encoder* encoder;
    FILE* file;

    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTPUT.mp2\n", argv[0]);
        return 2;
    }
    settings.log = on_log;
    settings.log_user_data = &messages;
    encoder = zuvo_mpa_create(&settings, &error);
    if (encoder == NULL) {
        fprintf(stderr, "zuvo_mpa_create: %s\n", zuvo_mpa_strerror(error));
        return 1;
    }
    /* The bound grows with the count alone: one area serves every call. */
    out = (unsigned char*)malloc(zuvo_mpa_max_output(encoder, block));
    file = fopen(argv[1], "wb");
    if (out == NULL || file == NULL) {
        fprintf(stderr, "cannot set up the output\n");
        return 1;
    }

    while (t < SAMPLES && ok) {
        size_t n = SAMPLES - t < (long)block ? (size_t)(SAMPLES - t) : block;
        size_t i;
        for (i = 0; i < n; ++i, ++t) {
            pcm[2 * i] = triangle(t, 100);
            pcm[2 * i + 1] = triangle(t, 50);
        }
        error = zuvo_mpa_encode(encoder, pcm, n, out, zuvo_mpa_max_output(encoder, n), &written);
        ok = error == ZUVO_MPA_OK && write_all(file, out, written);
        frames += (long)(written / 626); /* 626 or 627 bytes per frame */
    }
    /* The last frame and the delay: every sample becomes audible. */
    if (ok) {
        error = zuvo_mpa_flush(encoder, out, zuvo_mpa_max_output(encoder, 0), &written);
        ok = error == ZUVO_MPA_OK && write_all(file, out, written);
        frames += (long)(written / 626);
    }
    if (ok && zuvo_mpa_encode(encoder, pcm, 1, out, zuvo_mpa_max_output(encoder, 1), &written) != ZUVO_MPA_ERROR_FLUSHED) {
        fprintf(stderr, "encode after flush was not refused\n");
        ok = 0;
    }
    if (fclose(file) != 0) {
        ok = 0;
    }
    if (!ok) {
        fprintf(stderr, "encoding failed: %s\n", zuvo_mpa_strerror(error));
    } else if (frames != (SAMPLES + 481 + 1151) / 1152) {
        fprintf(stderr, "%ld frames, expected %d\n", frames, (SAMPLES + 481 + 1151) / 1152);
        ok = 0;
    } else if (messages != 1) {
        fprintf(stderr, "%d diagnostic messages, expected 1\n", messages);
        ok = 0;
    }
    printf("%s %s: %ld frames\n", argv[1], zuvo_mpa_version(), frames);
    zuvo_mpa_destroy(encoder);
    free(out);
    return ok ? 0 : 1;
}
