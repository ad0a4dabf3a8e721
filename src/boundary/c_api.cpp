// The C interface (zuvo_mpa.h): a thin adapter over the same encoder core the
// six functions drive. It maps the settings onto the core's parameters, hands
// the core interleaved 16-bit samples, bounds every call's output, and at the
// end of a stream codes silence so that the decoder's delay lets every input
// sample through.
#include "boundary/c_api.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <new>
#include <type_traits>

#include "encoder/mpa_encoder.h"
#include "layer2/stream_format.h"

#ifndef ZUVO_VERSION_STRING
#define ZUVO_VERSION_STRING "unknown"
#endif

namespace {

constexpr std::uint64_t kFrame = zuvo::kFrameSamples;  // samples per channel in one frame
constexpr std::uint64_t kDelay = zuvo::kDecoderDelay;   // input the decoder's output lags behind

#if defined(__BYTE_ORDER__) && defined(__ORDER_BIG_ENDIAN__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool kLittleEndian = false;
#else
constexpr bool kLittleEndian = true;
#endif

// Silence for the end of a stream: at most two frames of two channels.
const std::int16_t kSilence[2 * 2 * kFrame] = {};

// The blocks come from malloc-like functions: their alignment must do.
static_assert(alignof(zuvo::MpaEncoder) <= alignof(std::max_align_t), "the core needs more than malloc's alignment");

void* heap_obtain(std::size_t size) {
    return std::malloc(size);
}

void heap_give_back(void* block) {
    std::free(block);
}

}  // namespace

static_assert(ZUVO_MPA_TUNING_REFERENCE == zuvo::kTuningReference && ZUVO_MPA_TUNING_BEST == zuvo::kTuningBest,
              "the C interface's tunings are the core's");
static_assert(ZUVO_MPA_JOINT_STEREO == zuvo::kModeJointStereo && ZUVO_MPA_MONO == zuvo::kModeSingleChannel,
              "the C interface's modes are the header's");

// The core's stream setup, and the host's callbacks. The setup's ancillary
// source is filled in per encoder (it points at the encoder).
struct zuvo_mpa_config {
    zuvo::StreamSetup setup;
    zuvo_mpa_ancillary_fn ancillary_fill = nullptr;
    void* ancillary_user_data = nullptr;
    zuvo_mpa_log_fn log = nullptr;
    void* log_user_data = nullptr;
};

struct zuvo_mpa_encoder {
    zuvo::HostMemory memory;
    zuvo::MpaEncoder* core;
    zuvo_mpa_config config;
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
    if (kind != zuvo::Diagnostic::kLargeBuffer && encoder->config.log != nullptr) {
        encoder->config.log(encoder->config.log_user_data, message);
    }
}

// The core asks for a frame's ancillary bytes; the host's function fills them.
void forward_ancillary(void* context, std::uint64_t frame, std::uint8_t* bytes, std::size_t count) {
    const zuvo_mpa_encoder* encoder = static_cast<const zuvo_mpa_encoder*>(context);
    if (encoder->config.ancillary_fill != nullptr) {
        encoder->config.ancillary_fill(encoder->config.ancillary_user_data, frame, bytes, count);
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
    zuvo::StreamSetup setup = encoder.config.setup;
    setup.ancillary.fill = forward_ancillary;
    setup.ancillary.context = &encoder;
    if (!core->configure(setup) || !core->start()) {
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

int check_config(const zuvo_mpa_config& config) {
    const zuvo::StreamSetup& setup = config.setup;
    const int format = zuvo_mpa_check_format(setup.sampling_rate, setup.mode, setup.bitrate_kbps);
    if (format != ZUVO_MPA_OK) {
        return format;
    }
    if (static_cast<std::size_t>(setup.ancillary_bytes) >
        zuvo_mpa_max_ancillary(setup.sampling_rate, setup.mode, setup.bitrate_kbps, setup.protection)) {
        return ZUVO_MPA_ERROR_BAD_ANCILLARY;
    }
    return ZUVO_MPA_OK;
}

zuvo_mpa_encoder* create_c_encoder(const zuvo_mpa_config* config, int* error, const HostMemory& memory) {
    int result = config == nullptr ? ZUVO_MPA_ERROR_INVALID_ARGUMENT : check_config(*config);
    zuvo_mpa_encoder* encoder = nullptr;
    if (result == ZUVO_MPA_OK) {
        void* block = memory.obtain(sizeof(zuvo_mpa_encoder));
        if (block != nullptr) {
            encoder = new (block) zuvo_mpa_encoder();
            encoder->memory = memory;
            encoder->config = *config;
            encoder->channels = config->setup.mode == ZUVO_MPA_MONO ? 1 : 2;
            encoder->frame_bytes = zuvo::frame_bytes(config->setup.sampling_rate, config->setup.bitrate_kbps, true);
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

zuvo_mpa_encoder* create_c_encoder(const zuvo_mpa_settings* settings, int* error, const HostMemory& memory) {
    if (settings == nullptr) {
        if (error != nullptr) {
            *error = ZUVO_MPA_ERROR_INVALID_ARGUMENT;
        }
        return nullptr;
    }
    zuvo_mpa_config config;
    config.setup.mode = settings->mode;
    config.setup.bitrate_kbps = settings->bitrate_kbps;
    config.setup.sampling_rate = settings->sample_rate;
    config.log = settings->log;
    config.log_user_data = settings->log_user_data;
    return create_c_encoder(&config, error, memory);
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

namespace {

// zuvo_mpa_encode and its siblings: the checks every call makes, then the
// samples go to the core as 16-bit values, converted by `convert` a bounded
// chunk at a time when they come in another format.
template <typename Sample, typename Convert>
int encode_samples(zuvo_mpa_encoder* encoder, const Sample* pcm, size_t samples_per_channel, unsigned char* output,
                   size_t capacity, size_t* output_bytes, Convert convert) {
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
    if (samples_per_channel > SIZE_MAX / sizeof(Sample) / static_cast<std::size_t>(encoder->channels)) {
        return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
    }
    if (capacity < zuvo_mpa_max_output(encoder, samples_per_channel)) {
        return ZUVO_MPA_ERROR_BUFFER_TOO_SMALL;
    }
    const std::uint64_t count = static_cast<std::uint64_t>(samples_per_channel) * encoder->channels;
    std::size_t written = 0;
    if constexpr (std::is_same<Sample, std::int16_t>::value) {
        (void)convert;
        written = feed(*encoder, pcm, count, output);
    } else {
        std::int16_t chunk[2 * kFrame];
        for (std::uint64_t done = 0; done < count;) {
            const std::uint64_t n = count - done < 2 * kFrame ? count - done : 2 * kFrame;
            for (std::uint64_t i = 0; i < n; ++i) chunk[i] = convert(pcm[done + i]);
            written += feed(*encoder, chunk, n, output + written);
            done += n;
        }
    }
    *output_bytes = written;
    encoder->samples += samples_per_channel;
    return ZUVO_MPA_OK;
}

// 1.0 is full scale: x * 32767 to the nearest integer, clipped; NaN is 0.
std::int16_t from_float(float value) {
    const double scaled = std::nearbyint(static_cast<double>(value) * 32767.0);
    if (!(scaled > -32768.0)) {
        return scaled < 0 ? std::int16_t{-32768} : std::int16_t{0};
    }
    return scaled > 32767.0 ? std::int16_t{32767} : static_cast<std::int16_t>(scaled);
}

// The top 16 bits, rounded to the nearest (halves up), clipped at the top.
std::int16_t from_int32(std::int32_t value) {
    const std::int64_t rounded = (static_cast<std::int64_t>(value) + 0x8000) >> 16;
    return rounded > 32767 ? std::int16_t{32767} : static_cast<std::int16_t>(rounded);
}

}  // namespace

int zuvo_mpa_encode(zuvo_mpa_encoder* encoder, const int16_t* pcm, size_t samples_per_channel,
                    unsigned char* output, size_t capacity, size_t* output_bytes) {
    return encode_samples(encoder, pcm, samples_per_channel, output, capacity, output_bytes, nullptr);
}

int zuvo_mpa_encode_float(zuvo_mpa_encoder* encoder, const float* pcm, size_t samples_per_channel,
                          unsigned char* output, size_t capacity, size_t* output_bytes) {
    return encode_samples(encoder, pcm, samples_per_channel, output, capacity, output_bytes, from_float);
}

int zuvo_mpa_encode_int32(zuvo_mpa_encoder* encoder, const int32_t* pcm, size_t samples_per_channel,
                          unsigned char* output, size_t capacity, size_t* output_bytes) {
    return encode_samples(encoder, pcm, samples_per_channel, output, capacity, output_bytes, from_int32);
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
        case ZUVO_MPA_ERROR_BAD_BITRATE: return "bitrate not available at this sampling rate in this channel mode";
        case ZUVO_MPA_ERROR_BAD_SAMPLE_RATE: return "sampling rate not 16000, 22050, 24000, 32000, 44100 or 48000 Hz";
        case ZUVO_MPA_ERROR_BUFFER_TOO_SMALL: return "output buffer too small";
        case ZUVO_MPA_ERROR_OUT_OF_MEMORY: return "out of memory";
        case ZUVO_MPA_ERROR_FLUSHED: return "stream already flushed";
        case ZUVO_MPA_ERROR_BAD_EMPHASIS: return "emphasis not none, 50/15 us or CCITT J.17";
        case ZUVO_MPA_ERROR_BAD_ANCILLARY: return "ancillary data leaves no room for audio at this bitrate";
        case ZUVO_MPA_ERROR_BAD_TUNING: return "tuning not reference or best";
        default: return "unknown error";
    }
}

const char* zuvo_mpa_version(void) {
    return ZUVO_VERSION_STRING;
}

// ---------------------------------------------------------------- configuration

zuvo_mpa_config* zuvo_mpa_config_new(void) {
    void* block = std::malloc(sizeof(zuvo_mpa_config));
    return block == nullptr ? nullptr : new (block) zuvo_mpa_config();
}

void zuvo_mpa_config_free(zuvo_mpa_config* config) {
    if (config != nullptr) {
        config->~zuvo_mpa_config();
        std::free(config);
    }
}

int zuvo_mpa_config_set_mode(zuvo_mpa_config* config, int mode) {
    if (config == nullptr) return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
    if (mode < ZUVO_MPA_STEREO || mode > ZUVO_MPA_MONO) return ZUVO_MPA_ERROR_BAD_MODE;
    config->setup.mode = mode;
    return ZUVO_MPA_OK;
}

int zuvo_mpa_config_set_bitrate(zuvo_mpa_config* config, int kbps) {
    if (config == nullptr) return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
    if (zuvo::bitrate_index(zuvo::kVersionMpeg1, kbps) == 0 && zuvo::bitrate_index(zuvo::kVersionLsf, kbps) == 0) {
        return ZUVO_MPA_ERROR_BAD_BITRATE;
    }
    config->setup.bitrate_kbps = kbps;
    return ZUVO_MPA_OK;
}

int zuvo_mpa_config_set_sample_rate(zuvo_mpa_config* config, int hz) {
    if (config == nullptr) return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
    if (zuvo::find_stream_rate(hz) == nullptr) return ZUVO_MPA_ERROR_BAD_SAMPLE_RATE;
    config->setup.sampling_rate = hz;
    return ZUVO_MPA_OK;
}

int zuvo_mpa_config_set_copyright(zuvo_mpa_config* config, int on) {
    if (config == nullptr) return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
    config->setup.copyright = on != 0;
    return ZUVO_MPA_OK;
}

int zuvo_mpa_config_set_original(zuvo_mpa_config* config, int on) {
    if (config == nullptr) return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
    config->setup.original = on != 0;
    return ZUVO_MPA_OK;
}

int zuvo_mpa_config_set_private_bit(zuvo_mpa_config* config, int on) {
    if (config == nullptr) return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
    config->setup.private_bit = on != 0;
    return ZUVO_MPA_OK;
}

int zuvo_mpa_config_set_emphasis(zuvo_mpa_config* config, int emphasis) {
    if (config == nullptr) return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
    if (emphasis != ZUVO_MPA_EMPHASIS_NONE && emphasis != ZUVO_MPA_EMPHASIS_50_15 &&
        emphasis != ZUVO_MPA_EMPHASIS_CCITT) {
        return ZUVO_MPA_ERROR_BAD_EMPHASIS;
    }
    config->setup.emphasis = emphasis;
    return ZUVO_MPA_OK;
}

int zuvo_mpa_config_set_error_protection(zuvo_mpa_config* config, int on) {
    if (config == nullptr) return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
    config->setup.protection = on != 0;
    return ZUVO_MPA_OK;
}

int zuvo_mpa_config_set_ancillary(zuvo_mpa_config* config, size_t bytes_per_frame, zuvo_mpa_ancillary_fn fill,
                                  void* user_data) {
    if (config == nullptr) return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
    // No frame of any stream is longer; what fits is checked at creation.
    if (bytes_per_frame >= zuvo::kMaxFrameBytes) return ZUVO_MPA_ERROR_BAD_ANCILLARY;
    config->setup.ancillary_bytes = static_cast<std::int32_t>(bytes_per_frame);  // below 1728
    config->ancillary_fill = fill;
    config->ancillary_user_data = user_data;
    return ZUVO_MPA_OK;
}

int zuvo_mpa_config_set_log(zuvo_mpa_config* config, zuvo_mpa_log_fn log, void* user_data) {
    if (config == nullptr) return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
    config->log = log;
    config->log_user_data = user_data;
    return ZUVO_MPA_OK;
}

int zuvo_mpa_config_set_tuning(zuvo_mpa_config* config, int tuning) {
    if (config == nullptr) return ZUVO_MPA_ERROR_INVALID_ARGUMENT;
    if (tuning != ZUVO_MPA_TUNING_REFERENCE && tuning != ZUVO_MPA_TUNING_BEST) return ZUVO_MPA_ERROR_BAD_TUNING;
    config->setup.tuning = tuning;  // the core takes the same values
    return ZUVO_MPA_OK;
}

zuvo_mpa_encoder* zuvo_mpa_create_with_config(const zuvo_mpa_config* config, int* error) {
    return zuvo::create_c_encoder(config, error, zuvo::HostMemory{heap_obtain, heap_give_back});
}

// ---------------------------------------------------------------- format facts

int zuvo_mpa_check_format(int sample_rate, int mode, int bitrate_kbps) {
    if (mode < ZUVO_MPA_STEREO || mode > ZUVO_MPA_MONO) return ZUVO_MPA_ERROR_BAD_MODE;
    if (zuvo::find_stream_rate(sample_rate) == nullptr) return ZUVO_MPA_ERROR_BAD_SAMPLE_RATE;
    if (!zuvo::format_codes(sample_rate, mode, bitrate_kbps)) return ZUVO_MPA_ERROR_BAD_BITRATE;
    return ZUVO_MPA_OK;
}

size_t zuvo_mpa_bitrates(int sample_rate, int mode, int* kbps, size_t capacity) {
    int all[14];
    const int count = zuvo::list_bitrates(sample_rate, mode, all);
    for (int i = 0; i < count && static_cast<size_t>(i) < capacity && kbps != nullptr; ++i) kbps[i] = all[i];
    return static_cast<size_t>(count);
}

size_t zuvo_mpa_sample_rates(int* hz, size_t capacity) {
    for (int i = 0; i < zuvo::kStreamRateCount && static_cast<size_t>(i) < capacity && hz != nullptr; ++i) {
        hz[i] = zuvo::kStreamRates[i].hz;
    }
    return zuvo::kStreamRateCount;
}

int zuvo_mpa_default_bitrate(int sample_rate, int mode) {
    const zuvo::StreamRate* rate = zuvo::find_stream_rate(sample_rate);
    if (rate == nullptr || mode < ZUVO_MPA_STEREO || mode > ZUVO_MPA_MONO) return 0;
    const int two_channels = rate->version == zuvo::kVersionMpeg1 ? 192 : 96;
    return mode == ZUVO_MPA_MONO ? two_channels / 2 : two_channels;
}

int zuvo_mpa_mpeg_version(int sample_rate) {
    const zuvo::StreamRate* rate = zuvo::find_stream_rate(sample_rate);
    if (rate == nullptr) return 0;
    return rate->version == zuvo::kVersionMpeg1 ? 1 : 2;
}

size_t zuvo_mpa_frame_bytes(int sample_rate, int bitrate_kbps, int padded) {
    return zuvo::frame_bytes(sample_rate, bitrate_kbps, padded != 0);
}

int zuvo_mpa_frame_samples(void) {
    return zuvo::kFrameSamples;
}

int zuvo_mpa_delay_samples(void) {
    return zuvo::kDecoderDelay;
}

size_t zuvo_mpa_max_ancillary(int sample_rate, int mode, int bitrate_kbps, int error_protection) {
    return zuvo::max_ancillary_bytes(sample_rate, mode, bitrate_kbps, error_protection != 0);
}
