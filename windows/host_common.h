// Shared by the host programs in windows/: a check counter, a fixed test
// signal made with integer arithmetic only (so that every platform feeds the
// encoder the same samples), an FNV-1a checksum, a walker over the frames of
// a stream, and one encoding run through a table of the exported functions.
//
// The hosts build for Linux as well (identity_encode), so this file uses the
// standard library only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "ZuvoMPAEncoder.h"

namespace host {

// ---------------------------------------------------------------- checks

struct Checks {
    int passed = 0;
    int failed = 0;

    bool operator()(bool ok, const char* what, long long got = 0, long long expected = 0) {
        if (ok) {
            ++passed;
        } else {
            ++failed;
            std::printf("FAILED: %s (got %lld, expected %lld)\n", what, got, expected);
        }
        return ok;
    }
    // The last line; the tests look for "N checks passed" and for "FAILED".
    int finish(const char* program) {
        if (failed > 0) {
            std::printf("%s: %d checks FAILED, %d passed\n", program, failed, passed);
            return 1;
        }
        std::printf("%s: %d checks passed\n", program, passed);
        return 0;
    }
};

// ---------------------------------------------------------------- the exported functions

struct Api {
    void* (*create)();
    void (*destroy)(void*);
    int (*init)(void*, ZuvoMPAEncoderParams*);
    int (*compress)(void*, wavehdr_tag*, unsigned char*, int*);
    int (*finish_audio)(void*);
    int (*finish_encoder)(void*);
    int (*max_output_bytes)(void*, unsigned int);
    int (*compress_bounded)(void*, wavehdr_tag*, unsigned char*, int, int*);
};

// The functions as linked into this program (through an import library, or
// the shared object on Linux).
inline Api linked_api() {
    return Api{ZuvoCreateAudioContext, ZuvoDeleteAudioContext,   ZuvoInitAudioEncoder, ZuvoCompressAudioFrame,
               ZuvoFinishAudio,        ZuvoFinishEncoder,        ZuvoMaxOutputBytes,   ZuvoCompressAudioFrameBounded};
}

// ---------------------------------------------------------------- the test signal

// Interleaved 16-bit samples: on the first channel a triangle wave whose
// period glides from 40 to 400 samples plus a quiet pseudo-random hiss, on
// the second a square wave of slowly changing width and a louder hiss; a
// short silence at the start and an abrupt loud burst in the middle give the
// model attacks to react to.
inline std::vector<std::int16_t> test_signal(int channels, int frames_per_channel) {
    std::vector<std::int16_t> pcm(static_cast<std::size_t>(channels) * static_cast<std::size_t>(frames_per_channel));
    std::uint32_t noise = 0x2545F491u;
    std::int32_t phase = 0;
    for (int n = 0; n < frames_per_channel; ++n) {
        noise = noise * 1664525u + 1013904223u;
        const std::int32_t hiss = static_cast<std::int32_t>(noise >> 20) - 2048;  // -2048 .. 2047
        const std::int32_t period = 40 + (n / 64) % 361;
        phase = (phase + 1) % period;
        const std::int32_t triangle = (phase < period / 2 ? phase : period - phase) * 40000 / period - 10000;
        const std::int32_t width = 8 + (n / 1000) % 50;
        const std::int32_t square = (n % 64) < width ? 6000 : -6000;
        std::int32_t first = triangle + hiss / 8;
        std::int32_t second = square + hiss;
        if (n < 500) first = second = 0;
        if (n >= frames_per_channel / 2 && n < frames_per_channel / 2 + 2000) {
            first *= 3;
            second = static_cast<std::int32_t>(noise >> 16) - 32768;
        }
        auto clip = [](std::int32_t v) {
            return static_cast<std::int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
        };
        if (channels == 1) {
            pcm[static_cast<std::size_t>(n)] = clip((first + second) / 2);
        } else {
            pcm[2 * static_cast<std::size_t>(n)] = clip(first);
            pcm[2 * static_cast<std::size_t>(n) + 1] = clip(second);
        }
    }
    return pcm;
}

// Little-endian bytes of the samples, whatever this machine's byte order.
inline std::vector<char> little_endian(const std::vector<std::int16_t>& pcm) {
    std::vector<char> bytes(pcm.size() * 2);
    for (std::size_t i = 0; i < pcm.size(); ++i) {
        const auto v = static_cast<std::uint16_t>(pcm[i]);
        bytes[2 * i] = static_cast<char>(v & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(v >> 8);
    }
    return bytes;
}

// ---------------------------------------------------------------- the stream

inline std::uint64_t fnv1a(const std::vector<unsigned char>& bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char b : bytes) {
        hash ^= b;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

// Counts the whole MPEG-1 Layer II frames with a check word that `stream`
// consists of; -1 when anything else is found.
inline long count_frames(const std::vector<unsigned char>& stream) {
    static const int kbps[15] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
    static const int rates[3] = {44100, 48000, 32000};
    std::size_t at = 0;
    long frames = 0;
    while (at < stream.size()) {
        if (stream.size() - at < 4 || stream[at] != 0xFF || stream[at + 1] != 0xFC) return -1;
        const int index = stream[at + 2] >> 4;
        const int rate = (stream[at + 2] >> 2) & 3;
        const int padding = (stream[at + 2] >> 1) & 1;
        if (index == 0 || index == 15 || rate == 3) return -1;
        at += static_cast<std::size_t>(144 * 1000 * kbps[index] / rates[rate] + padding);
        ++frames;
    }
    return at == stream.size() ? frames : -1;
}

struct Config {
    int mode;           // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
    int bitrate_index;
    int sampling_rate;
    int seconds_tenths; // length of the input
    bool bounded;       // through ZuvoCompressAudioFrameBounded
};

struct Stream {
    std::vector<unsigned char> bytes;
    long frames = -1;
    bool calls_ok = true;  // every call returned what it should
};

// Encodes the test signal of `config` in buffers of varying sizes (each at
// least one frame of samples), as a host would.
inline Stream encode(const Api& api, const Config& config) {
    Stream out;
    const int channels = config.mode == 3 ? 1 : 2;
    const int length = config.sampling_rate * config.seconds_tenths / 10;
    const std::vector<char> pcm = little_endian(test_signal(channels, length));
    void* context = api.create();
    ZuvoMPAEncoderParams params{config.mode, config.bitrate_index, config.sampling_rate};
    if (context == nullptr || api.init(context, &params) != 1) {
        out.calls_ok = false;
        api.destroy(context);
        return out;
    }
    static const unsigned sizes[4] = {4608, 6000, 9216, 5120};
    std::size_t at = 0;
    for (int call = 0; at < pcm.size(); ++call) {
        unsigned size = sizes[call % 4];
        if (size > pcm.size() - at) size = static_cast<unsigned>(pcm.size() - at);
        std::vector<char> buffer(pcm.begin() + static_cast<std::ptrdiff_t>(at),
                                 pcm.begin() + static_cast<std::ptrdiff_t>(at + size));
        wavehdr_tag header{};
        header.lpData = buffer.data();
        header.dwBufferLength = size;
        const int room = api.max_output_bytes(context, size);
        std::vector<unsigned char> output(static_cast<std::size_t>(room > 0 ? room : 0) + 1);
        int length_out = -1;
        int result;
        if (config.bounded) {
            // Too small by one byte: refused, nothing consumed.
            if (room > 0 && api.compress_bounded(context, &header, output.data(), room - 1, &length_out) != 0)
                out.calls_ok = false;
            result = api.compress_bounded(context, &header, output.data(), room, &length_out);
        } else {
            result = api.compress(context, &header, output.data(), &length_out);
        }
        if (result != 1 || length_out < 0 || length_out > room) {
            out.calls_ok = false;
            break;
        }
        out.bytes.insert(out.bytes.end(), output.begin(), output.begin() + length_out);
        at += size;
    }
    if (api.finish_audio(context) != 1 || api.finish_audio(context) != 0 || api.finish_encoder(context) != 1)
        out.calls_ok = false;
    api.destroy(context);
    out.frames = count_frames(out.bytes);
    return out;
}

// The streams compared across platforms.
constexpr Config kIdentityConfigs[] = {
    {0, 11, 44100, 20, false},  // stereo, 224 kbit/s
    {1, 8, 48000, 20, true},    // joint stereo, 128 kbit/s
    {2, 14, 32000, 15, false},  // dual channel, 384 kbit/s
    {3, 10, 44100, 15, true},   // single channel, 192 kbit/s
    {1, 3, 32000, 10, false},   // joint stereo, 56 kbit/s
};

}  // namespace host
