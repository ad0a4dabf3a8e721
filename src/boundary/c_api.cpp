// The C interface (zuvo_mpa.h): a thin adapter over the same encoder core the
// six functions drive. It maps the settings onto the core's parameters, hands
// the core interleaved 16-bit samples, bounds every call's output, and at the
// end of a stream codes silence so that the decoder's delay lets every input
// sample through.
#include "boundary/c_api.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "encoder/mpa_encoder.h"

#ifndef ZUVO_VERSION_STRING
#define ZUVO_VERSION_STRING "unknown"
#endif

namespace {

constexpr std::uint64_t kFrame = 1152;  // samples per channel in one frame
// Input the decoder's output lags behind (analysis and synthesis filterbanks).
constexpr std::uint64_t kDelay = 481;

#if defined(__BYTE_ORDER__) && defined(__ORDER_BIG_ENDIAN__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool kLittleEndian = false;
#else
constexpr bool kLittleEndian = true;
#endif

// Silence for the end of a stream: at most two frames of two channels.
const std::int16_t kSilence[2 * 2 * kFrame] = {};

// Stream bitrates in kbit/s by bitrate index.
constexpr int kBitrateKbps[15] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};

// The configured index whose single-channel header carries `kbps`, or 0.
int mono_index(int kbps) {
    switch (kbps) {
        case 32: return 1;
        case 48: return 6;
        case 56: return 7;
        case 64: return 8;
        case 80: return 9;
        case 96: return 10;
        default: return 0;
    }
}

// The index of a two-channel bitrate, or 0 (32, 48, 56 and 80 kbit/s are too
// little for two channels).
int stereo_index(int kbps) {
    if (kbps == 32 || kbps == 48 || kbps == 56 || kbps == 80) {
        return 0;
    }
    for (int index = 1; index < 15; ++index) {
        if (kBitrateKbps[index] == kbps) {
            return index;
        }
    }
    return 0;
}

// The blocks come from malloc-like functions: their alignment must do.
static_assert(alignof(zuvo::MpaEncoder) <= alignof(std::max_align_t), "the core needs more than malloc's alignment");

void* heap_obtain(std::size_t size) {
    return std::malloc(size);
}

void heap_give_back(void* block) {
    std::free(block);
}

}  // namespace

struct zuvo_mpa_encoder {
    zuvo::HostMemory memory;
    zuvo::MpaEncoder* core;
    int mode;
    int bitrate_index;  // the core's
    int sample_rate;
    zuvo_mpa_log_fn log;
    void* log_user_data;
    int channels;
    std::uint64_t frame_bytes;  // the longest frame (with its padding slot)
    std::uint64_t samples;      // per channel, given to the running stream
    bool flushed;
};

namespace {

// The core's messages for the host's log callback. The note about large
// buffers concerns only the six functions' staging.
void forward_to_log(void* context, zuvo::Diagnostic kind, const char* message) {
    const zuvo_mpa_encoder* encoder = static_cast<const zuvo_mpa_encoder*>(context);
    if (kind != zuvo::Diagnostic::kLargeBuffer && encoder->log != nullptr) {
        encoder->log(encoder->log_user_data, message);
    }
}

void destroy_core(const zuvo::HostMemory& memory, zuvo::MpaEncoder* core) {
    if (core != nullptr) {
        core->~MpaEncoder();
        memory.give_back(core);
    }
}

// A core with a running stream for the encoder's settings, or null when its
// memory could not be obtained.
zuvo::MpaEncoder* start_core(zuvo_mpa_encoder& encoder) {
    void* block = encoder.memory.obtain(sizeof(zuvo::MpaEncoder));
    if (block == nullptr) {
        return nullptr;
    }
    zuvo::MpaEncoder* core = new (block) zuvo::MpaEncoder();
    zuvo::DiagnosticSink sink;
    sink.emit = forward_to_log;
    sink.context = &encoder;
    core->set_diagnostics(sink);
    if (!core->configure(encoder.mode, encoder.bitrate_index, encoder.sample_rate) || !core->start()) {
        destroy_core(encoder.memory, core);
        return nullptr;
    }
    return core;
}

// Frames a flush codes now: the carried samples and the delay, in whole
// frames; none for a stream without samples.
std::uint64_t frames_to_flush(const zuvo_mpa_encoder& encoder) {
    if (encoder.samples == 0) {
        return 0;
    }
    return (encoder.samples % kFrame + kDelay + kFrame - 1) / kFrame;
}

std::size_t bytes_for(const zuvo_mpa_encoder& encoder, std::uint64_t frames) {
    const std::uint64_t limit = SIZE_MAX;
    if (frames > limit / encoder.frame_bytes) {
        return SIZE_MAX;
    }
    return static_cast<std::size_t>(frames * encoder.frame_bytes);
}

// Hands `count` interleaved values to the core and writes the bytes of the
// frames they complete at `output`; returns their number.
std::size_t feed(zuvo_mpa_encoder& encoder, const std::int16_t* pcm, std::uint64_t count, unsigned char* output) {
    if (kLittleEndian) {
        return static_cast<std::size_t>(
            encoder.core->compress(reinterpret_cast<const std::uint8_t*>(pcm), count * 2, 0, output));
    }
    // The core reads little-endian bytes: swap a frame's worth at a time.
    std::size_t written = 0;
    std::uint8_t swapped[4 * kFrame];
    while (count > 0) {
        const std::uint64_t bytes = count * 2 < sizeof swapped ? count * 2 : sizeof swapped;
        const std::uint8_t* in = reinterpret_cast<const std::uint8_t*>(pcm);
        for (std::uint64_t i = 0; i < bytes; i += 2) {
            swapped[i] = in[i + 1];
            swapped[i + 1] = in[i];
        }
        written += static_cast<std::size_t>(encoder.core->compress(swapped, bytes, 0, output + written));
        pcm += bytes / 2;
        count -= bytes / 2;
    }
    return written;
}

}  // namespace

namespace zuvo {

zuvo_mpa_encoder* create_c_encoder(const zuvo_mpa_settings* settings, int* error, const HostMemory& memory) {
    int result = ZUVO_MPA_OK;
    int index = 0;
    if (settings == nullptr) {
        result = ZUVO_MPA_ERROR_INVALID_ARGUMENT;
    } else if (settings->mode < ZUVO_MPA_STEREO || settings->mode > ZUVO_MPA_MONO) {
        result = ZUVO_MPA_ERROR_BAD_MODE;
    } else if ((index = settings->mode == ZUVO_MPA_MONO ? mono_index(settings->bitrate_kbps)
                                                         : stereo_index(settings->bitrate_kbps)) == 0) {
        result = ZUVO_MPA_ERROR_BAD_BITRATE;
    } else if (settings->sample_rate != 32000 && settings->sample_rate != 44100 && settings->sample_rate != 48000) {
        result = ZUVO_MPA_ERROR_BAD_SAMPLE_RATE;
    }
    zuvo_mpa_encoder* encoder = nullptr;
    if (result == ZUVO_MPA_OK) {
        void* block = memory.obtain(sizeof(zuvo_mpa_encoder));
        if (block != nullptr) {
            encoder = new (block) zuvo_mpa_encoder();
            encoder->memory = memory;
            encoder->mode = settings->mode;
            encoder->bitrate_index = index;
            encoder->sample_rate = settings->sample_rate;
            encoder->log = settings->log;
            encoder->log_user_data = settings->log_user_data;
            encoder->channels = settings->mode == ZUVO_MPA_MONO ? 1 : 2;
            // Slots of 8 bits: bitrate x 1152 samples / rate, rounded up for
            // the padding slot.
            const std::uint64_t bits = std::uint64_t{1152} * 1000 * static_cast<std::uint64_t>(settings->bitrate_kbps);
            const std::uint64_t rate = static_cast<std::uint64_t>(settings->sample_rate);
            encoder->frame_bytes = (bits / 8 + rate - 1) / rate;
            encoder->core = start_core(*encoder);
            if (encoder->core == nullptr) {
                encoder->~zuvo_mpa_encoder();
                memory.give_back(block);
                encoder = nullptr;
            }
        }
        if (encoder == nullptr) {
            result = ZUVO_MPA_ERROR_OUT_OF_MEMORY;
        }
    }
    if (error != nullptr) {
        *error = result;
    }
    return encoder;
}

}  // namespace zuvo

zuvo_mpa_encoder* zuvo_mpa_create(const zuvo_mpa_settings* settings, int* error) {
    return zuvo::create_c_encoder(settings, error, zuvo::HostMemory{heap_obtain, heap_give_back});
}

void zuvo_mpa_destroy(zuvo_mpa_encoder* encoder) {
    if (encoder == nullptr) {
        return;
    }
    const zuvo::HostMemory memory = encoder->memory;
    destroy_core(memory, encoder->core);
    encoder->~zuvo_mpa_encoder();
    memory.give_back(encoder);
}

int zuvo_mpa_channels(const zuvo_mpa_encoder* encoder) {
    return encoder == nullptr ? 0 : encoder->channels;
}

size_t zuvo_mpa_max_output(const zuvo_mpa_encoder* encoder, size_t samples_per_channel) {
    if (encoder == nullptr) {
        return 0;
    }
    // With up to 1151 samples carried, n samples complete at most ceil(n / 1152)
    // frames; a flush codes at most two. The bound depends on n alone, so a
    // host can size its output area once for its largest call.
    const std::uint64_t n = samples_per_channel;
    const std::uint64_t encoded = n / kFrame + (n % kFrame != 0 ? 1 : 0);
    return bytes_for(*encoder, encoded > 2 ? encoded : 2);
}

int zuvo_mpa_encode(zuvo_mpa_encoder* encoder, const int16_t* pcm, size_t samples_per_channel,
                    unsigned char* output, size_t capacity, size_t* output_bytes) {
    if (output_bytes != nullptr) {
        *output_bytes = 0;
    }
    if (encoder == nullptr || output_bytes == nullptr || (pcm == nullptr && samples_per_channel > 0) ||
        (output == nullptr && capacity > 0)) {
        return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
    }
    if (encoder->flushed) {
        return ZUVO_MPA_ERROR_FLUSHED;
    }
    // Every value of the call must be addressable in bytes.
    if (samples_per_channel > SIZE_MAX / 2 / static_cast<std::size_t>(encoder->channels)) {
        return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
    }
    if (capacity < zuvo_mpa_max_output(encoder, samples_per_channel)) {
        return ZUVO_MPA_ERROR_BUFFER_TOO_SMALL;
    }
    const std::uint64_t count = static_cast<std::uint64_t>(samples_per_channel) * encoder->channels;
    *output_bytes = feed(*encoder, pcm, count, output);
    encoder->samples += samples_per_channel;
    return ZUVO_MPA_OK;
}

int zuvo_mpa_flush(zuvo_mpa_encoder* encoder, unsigned char* output, size_t capacity, size_t* output_bytes) {
    if (output_bytes != nullptr) {
        *output_bytes = 0;
    }
    if (encoder == nullptr || output_bytes == nullptr || (output == nullptr && capacity > 0)) {
        return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
    }
    if (encoder->flushed) {
        return ZUVO_MPA_ERROR_FLUSHED;
    }
    if (capacity < zuvo_mpa_max_output(encoder, 0)) {
        return ZUVO_MPA_ERROR_BUFFER_TOO_SMALL;
    }
    const std::uint64_t frames = frames_to_flush(*encoder);
    if (frames > 0) {
        const std::uint64_t silence = frames * kFrame - encoder->samples % kFrame;
        *output_bytes = feed(*encoder, kSilence, silence * encoder->channels, output);
    }
    encoder->core->finish_stream();
    encoder->flushed = true;
    return ZUVO_MPA_OK;
}

int zuvo_mpa_reset(zuvo_mpa_encoder* encoder) {
    if (encoder == nullptr) {
        return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
    }
    // The new stream is set up before the old one is dropped, so a failure
    // leaves the encoder as it was.
    zuvo::MpaEncoder* core = start_core(*encoder);
    if (core == nullptr) {
        return ZUVO_MPA_ERROR_OUT_OF_MEMORY;
    }
    destroy_core(encoder->memory, encoder->core);
    encoder->core = core;
    encoder->samples = 0;
    encoder->flushed = false;
    return ZUVO_MPA_OK;
}

const char* zuvo_mpa_strerror(int error) {
    switch (error) {
        case ZUVO_MPA_OK: return "success";
        case ZUVO_MPA_ERROR_INVALID_ARGUMENT: return "invalid argument";
        case ZUVO_MPA_ERROR_BAD_MODE: return "unknown channel mode";
        case ZUVO_MPA_ERROR_BAD_BITRATE: return "bitrate not available in this channel mode";
        case ZUVO_MPA_ERROR_BAD_SAMPLE_RATE: return "sampling rate not 32000, 44100 or 48000 Hz";
        case ZUVO_MPA_ERROR_BUFFER_TOO_SMALL: return "output buffer too small";
        case ZUVO_MPA_ERROR_OUT_OF_MEMORY: return "out of memory";
        case ZUVO_MPA_ERROR_FLUSHED: return "stream already flushed";
        default: return "unknown error";
    }
}

const char* zuvo_mpa_version(void) {
    return ZUVO_VERSION_STRING;
}
