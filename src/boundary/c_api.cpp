// The C interface (zuvo_mpa.h): a thin adapter over the same encoder core the
// six functions drive. It maps the settings onto the core's parameters, hands
// the core interleaved 16-bit samples, bounds every call's output, and at the
// end of a stream codes silence so that the decoder's delay lets every input
// sample through.
#include "boundary/c_api.h"

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

// Bytes handed to the core per call: well inside its 32-bit buffer length and
// its int byte count of output (2^28 samples make at most 233017 frames of at
// most 1729 bytes).
constexpr std::uint64_t kChunkBytes = std::uint64_t{1} << 30;

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
    ZuvoMPAEncoderParams params;
    zuvo::DiagnosticSink diagnostics;
    int channels;
    std::uint64_t frame_bytes;  // the longest frame (with its padding slot)
    std::uint64_t samples;      // per channel, given to the running stream
    bool flushed;
};

namespace {

void destroy_core(const zuvo::HostMemory& memory, zuvo::MpaEncoder* core) {
    if (core != nullptr) {
        core->~MpaEncoder();
        memory.give_back(core);
    }
}

// A core with a running stream for the encoder's settings, or null when its
// memory could not be obtained.
zuvo::MpaEncoder* start_core(const zuvo_mpa_encoder& encoder) {
    void* block = encoder.memory.obtain(sizeof(zuvo::MpaEncoder));
    if (block == nullptr) {
        return nullptr;
    }
    zuvo::MpaEncoder* core = new (block) zuvo::MpaEncoder();
    core->set_diagnostics(encoder.diagnostics);
    core->configured = true;
    if (!core->configure(encoder.params) || !core->start()) {
        destroy_core(encoder.memory, core);
        return nullptr;
    }
    return core;
}

// Frames the samples carried now plus `more` complete (saturating).
std::uint64_t frames_completed(const zuvo_mpa_encoder& encoder, std::uint64_t more) {
    const std::uint64_t carried = encoder.samples % kFrame;
    return more / kFrame + (carried + more % kFrame) / kFrame;
}

// Frames a flush codes after `more` further samples: the carried samples
// and the delay, in whole frames; none for a stream without samples.
std::uint64_t frames_to_flush(const zuvo_mpa_encoder& encoder, std::uint64_t more) {
    if (encoder.samples == 0 && more == 0) {
        return 0;
    }
    const std::uint64_t carried = (encoder.samples % kFrame + more % kFrame) % kFrame;
    return (carried + kDelay + kFrame - 1) / kFrame;
}

std::size_t bytes_for(const zuvo_mpa_encoder& encoder, std::uint64_t frames) {
    const std::uint64_t limit = SIZE_MAX;
    if (frames > limit / encoder.frame_bytes) {
        return SIZE_MAX;
    }
    return static_cast<std::size_t>(frames * encoder.frame_bytes);
}

// Hands `count` interleaved values to the core and appends the bytes of the
// frames they complete at `output`; returns their number.
std::size_t feed(zuvo_mpa_encoder& encoder, const std::int16_t* pcm, std::uint64_t count, unsigned char* output) {
    std::size_t written = 0;
    wavehdr_tag header{};
    while (count > 0) {
        std::uint64_t bytes = count * 2 < kChunkBytes ? count * 2 : kChunkBytes;
        std::int16_t swapped[2 * kFrame];
        if (kLittleEndian) {
            header.lpData = const_cast<char*>(reinterpret_cast<const char*>(pcm));
        } else {
            // The core reads little-endian bytes.
            bytes = bytes < sizeof swapped ? bytes : sizeof swapped;
            const std::uint8_t* in = reinterpret_cast<const std::uint8_t*>(pcm);
            std::uint8_t* out = reinterpret_cast<std::uint8_t*>(swapped);
            for (std::uint64_t i = 0; i < bytes; i += 2) {
                out[i] = in[i + 1];
                out[i + 1] = in[i];
            }
            header.lpData = reinterpret_cast<char*>(swapped);
        }
        header.dwBufferLength = static_cast<std::uint32_t>(bytes);
        int length = 0;
        encoder.core->compress(&header, output + written, &length);
        written += static_cast<std::size_t>(length);
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
            encoder->params = ZuvoMPAEncoderParams{settings->mode, index, settings->sample_rate};
            encoder->diagnostics.emit = settings->log;
            encoder->diagnostics.context = settings->log_user_data;
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
    const std::uint64_t encoded = frames_completed(*encoder, samples_per_channel);
    const std::uint64_t flushed = frames_to_flush(*encoder, samples_per_channel);
    return bytes_for(*encoder, encoded > flushed ? encoded : flushed);
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
    const std::uint64_t frames = frames_to_flush(*encoder, 0);
    if (capacity < bytes_for(*encoder, frames)) {
        return ZUVO_MPA_ERROR_BUFFER_TOO_SMALL;
    }
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
