/* A host of the installed library that uses the settings of version 1.1:
 * two seconds of a tone at 24 kHz, joint stereo at 64 kbit/s (MPEG-2 lower
 * sampling frequencies), copyright and original set, four ancillary bytes a
 * frame carrying the frame's number. Writes the stream to the file it is
 * given, then reads it back: every frame must start FF F4, carry both flags
 * and end in its own four bytes. Prints "consumer_1_1: N frames" and exits 0. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zuvo_mpa.h>

#define RATE 24000
#define KBPS 64
#define ANCILLARY 4

static void number_frame(void* user_data, uint64_t frame, unsigned char* bytes, size_t count) {
    size_t i;
    (void)user_data;
    for (i = 0; i < count; ++i) bytes[i] = (unsigned char)(frame >> (8 * (count - 1 - i)));
}

static int fail(const char* what) {
    fprintf(stderr, "consumer_1_1: %s\n", what);
    return 1;
}

int main(int argc, char** argv) {
    static int16_t pcm[2 * 2 * RATE];
    static unsigned char stream[64 * 1024];
    size_t length = 0, written = 0, at, frames = 0, i;
    int error = 0;
    zuvo_mpa_config* config;
    zuvo_mpa_encoder* encoder;
    unsigned char* out;
    FILE* file;

    if (argc != 2) return fail("usage: consumer_1_1 OUTPUT");
    for (i = 0; i < 2 * RATE; ++i) {
        const double t = (double)i / RATE;
        pcm[2 * i] = (int16_t)(10000.0 * sin(6.283185307179586 * 440.0 * t));
        pcm[2 * i + 1] = (int16_t)(8000.0 * sin(6.283185307179586 * 660.0 * t));
    }
    config = zuvo_mpa_config_new();
    if (config == NULL) return fail("no configuration");
    if (zuvo_mpa_config_set_sample_rate(config, RATE) != ZUVO_MPA_OK ||
        zuvo_mpa_config_set_mode(config, ZUVO_MPA_JOINT_STEREO) != ZUVO_MPA_OK ||
        zuvo_mpa_config_set_bitrate(config, KBPS) != ZUVO_MPA_OK ||
        zuvo_mpa_config_set_copyright(config, 1) != ZUVO_MPA_OK ||
        zuvo_mpa_config_set_original(config, 1) != ZUVO_MPA_OK ||
        zuvo_mpa_config_set_ancillary(config, ANCILLARY, number_frame, NULL) != ZUVO_MPA_OK) {
        return fail("a setter refused");
    }
    encoder = zuvo_mpa_create_with_config(config, &error);
    zuvo_mpa_config_free(config);
    if (encoder == NULL) return fail(zuvo_mpa_strerror(error));
    out = malloc(zuvo_mpa_max_output(encoder, 2 * RATE));
    if (out == NULL) return fail("out of memory");
    if (zuvo_mpa_encode(encoder, pcm, 2 * RATE, out, zuvo_mpa_max_output(encoder, 2 * RATE), &written) != ZUVO_MPA_OK)
        return fail("encode");
    memcpy(stream, out, written);
    length = written;
    if (zuvo_mpa_flush(encoder, out, zuvo_mpa_max_output(encoder, 0), &written) != ZUVO_MPA_OK) return fail("flush");
    memcpy(stream + length, out, written);
    length += written;
    zuvo_mpa_destroy(encoder);
    free(out);

    for (at = 0; at < length; ++frames) {
        const size_t bytes = zuvo_mpa_frame_bytes(RATE, KBPS, 0);
        if (length - at < bytes || stream[at] != 0xFF || stream[at + 1] != 0xF4) return fail("not an MPEG-2 frame");
        if ((stream[at + 3] & 0x0C) != 0x0C) return fail("copyright or original not set");
        for (i = 0; i < ANCILLARY; ++i) {
            if (stream[at + bytes - ANCILLARY + i] != (unsigned char)(frames >> (8 * (ANCILLARY - 1 - i))))
                return fail("ancillary bytes differ");
        }
        at += bytes;
    }
    if (frames != (2 * RATE + (size_t)zuvo_mpa_delay_samples() + 1151) / 1152) return fail("frame count");
    file = fopen(argv[1], "wb");
    if (file == NULL || fwrite(stream, 1, length, file) != length || fclose(file) != 0) return fail("cannot write");
    printf("consumer_1_1: %lu frames\n", (unsigned long)frames);
    return 0;
}
