/*
 * A stand-in for the 1.0.0 library as a linker saw it: the C functions of the
 * 1.0 header, SONAME libZuvoMPAEncoder.so.1, no symbol versions. A program
 * linked against it has the unversioned references of a host built in the
 * 1.0 days; run_consumers.sh runs it against the real, versioned library.
 * The functions are never called.
 */
#include "zuvo_mpa.h"

zuvo_mpa_encoder* zuvo_mpa_create(const zuvo_mpa_settings* settings, int* error) {
    (void)settings;
    if (error != NULL) *error = ZUVO_MPA_ERROR_OUT_OF_MEMORY;
    return NULL;
}
void zuvo_mpa_destroy(zuvo_mpa_encoder* encoder) { (void)encoder; }
int zuvo_mpa_channels(const zuvo_mpa_encoder* encoder) { return encoder != NULL; }
size_t zuvo_mpa_max_output(const zuvo_mpa_encoder* encoder, size_t samples_per_channel) {
    (void)encoder;
    return samples_per_channel;
}
int zuvo_mpa_encode(zuvo_mpa_encoder* encoder, const int16_t* pcm, size_t samples_per_channel,
                    unsigned char* output, size_t capacity, size_t* output_bytes) {
    (void)encoder, (void)pcm, (void)samples_per_channel, (void)output, (void)capacity, (void)output_bytes;
    return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
}
int zuvo_mpa_flush(zuvo_mpa_encoder* encoder, unsigned char* output, size_t capacity, size_t* output_bytes) {
    (void)encoder, (void)output, (void)capacity, (void)output_bytes;
    return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
}
int zuvo_mpa_reset(zuvo_mpa_encoder* encoder) {
    (void)encoder;
    return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
}
const char* zuvo_mpa_strerror(int error) {
    (void)error;
    return "stand-in";
}
const char* zuvo_mpa_version(void) { return "1.0.0"; }
