// Encodes a fixed set of synthetic material through the public functions of
// whichever libZuvoMPAEncoder the loader finds, and prints one line per frame:
//   <stream> <frame> <bytes> <fnv1a-64 of the frame>
// bench/frame_identity.sh runs it against two library builds and compares the
// lines. Built by that script, not by CMake (it must link against a library
// built from another revision).
//
//   frame_identity [SECONDS_PER_CLIP [record|replay FILE]]   (default 16)
//
// "record FILE" also writes every input sample to FILE (raw 16-bit, in the
// order they are encoded) and "replay FILE" encodes the samples read from
// FILE instead of synthesizing them: so that a build for another platform
// (whose mathematics library may round the synthesis differently) can be
// compared on exactly the same input.
//
// Material (deterministic): music-like mixtures (chords with harmonics, notes
// with attack and decay, over coloured noise), speech-like signals (a pulse
// train through moving formants, in syllables and pauses), white and coloured
// noise at changing levels, tones and sweeps (one very loud over a faint
// floor), transients (clicks and decaying noise bursts over near-silence).
// Every material is encoded in eight configurations covering the four modes,
// the three sampling rates and bitrates from 64 to 384 kbit/s.
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ZuvoMPAEncoder.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;

struct Config {
    int mode;
    int bitrate_index;
    int rate;
};

constexpr Config kConfigs[] = {
    {0, 10, 44100},  // stereo 192
    {1, 10, 44100},  // joint 192
    {1, 6, 48000},   // joint 96
    {2, 12, 32000},  // dual 256
    {3, 8, 44100},   // mono 64
    {0, 14, 48000},  // stereo 384
    {1, 4, 32000},   // joint 64
    {3, 10, 48000},  // mono 96
};

const char* const kMaterials[] = {"music", "speech", "noise", "tones", "transients"};

struct Random {
    std::uint32_t state;
    double uniform() {  // [-1, 1)
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / 8388608.0 - 1.0;
    }
};

// Sample n of channel ch of material m at `rate`; state carries filters.
struct Generator {
    int material;
    double rate;
    Random random[2] = {{12345u}, {67890u}};
    double low[2] = {0.0, 0.0};
    double burst[2] = {0.0, 0.0};

    double operator()(int ch, long n) {
        const double t = n / rate;
        const double white = random[ch].uniform();
        low[ch] = 0.85 * low[ch] + 0.15 * white;
        const double pan = ch == 0 ? 1.0 : 0.7;
        switch (material) {
            case 0: {  // music: a chord per second, each note with harmonics and a decay
                static const double roots[4] = {220.0, 261.63, 196.0, 174.61};
                const double root = roots[static_cast<long>(t) % 4];
                const double since = std::fmod(t, 1.0);
                const double envelope = std::exp(-3.0 * since) * (since < 0.01 ? since / 0.01 : 1.0);
                double v = 0.0;
                const double ratios[3] = {1.0, 1.26, 1.5};
                for (double r : ratios) {
                    for (int h = 1; h <= 6; ++h) {
                        v += std::sin(kTwoPi * root * r * h * t + ch * 0.3 * h) / h;
                    }
                }
                return pan * 4000.0 * envelope * v + 600.0 * low[ch] + 150.0 * white;
            }
            case 1: {  // speech: glottal pulses through two moving formants
                const double syllable = std::fmod(t * 3.3, 1.0);
                const double envelope = syllable < 0.7 ? std::sin(kTwoPi * syllable / 1.4) : 0.0;
                const double pitch = 110.0 + 30.0 * std::sin(kTwoPi * 0.7 * t);
                const double pulse = std::fmod(t * pitch, 1.0) < 0.08 ? 1.0 : 0.0;
                const double f1 = 500.0 + 300.0 * std::sin(kTwoPi * 1.3 * t);
                const double f2 = 1500.0 + 700.0 * std::sin(kTwoPi * 0.9 * t);
                const double voiced = pulse * (std::sin(kTwoPi * f1 * t) + 0.5 * std::sin(kTwoPi * f2 * t));
                const double fricative = std::fmod(t * 3.3, 2.0) > 1.75 ? 0.3 * white : 0.0;
                return pan * 12000.0 * envelope * voiced + 8000.0 * fricative + 20.0 * white;
            }
            case 2: {  // noise: white and low-passed, level steps every half second
                const double level = 300.0 + 2700.0 * (static_cast<long>(t * 2.0) % 5);
                return static_cast<long>(t) % 2 == 0 ? level * white : 2.0 * level * low[ch];
            }
            case 3: {  // tones: a loud tone over a one-bit floor, then sweeps, then a beat
                const long part = static_cast<long>(t / 4.0) % 3;
                if (part == 0) {
                    return 30000.0 * std::sin(kTwoPi * (ch == 0 ? 1000.0 : 1234.5) * t) + 1.0 * white;
                }
                if (part == 1) {
                    const double local = std::fmod(t, 4.0);
                    const double f = 50.0 + 4000.0 * local;  // 50 Hz .. 16 kHz in 4 s
                    return 10000.0 * std::sin(kTwoPi * f * local) + 10.0 * white;
                }
                return 8000.0 * std::sin(kTwoPi * 440.0 * t) + 8000.0 * std::sin(kTwoPi * 443.0 * t) +
                       3000.0 * std::sin(kTwoPi * 6000.0 * t);
            }
            default: {  // transients: clicks and drum-like bursts over near-silence
                const long beat = static_cast<long>(t * 4.0);
                const double since = t * 4.0 - beat;
                if (since < 1e-9 + 1.0 / rate * 4.0) {
                    burst[ch] = beat % 4 == 0 ? 20000.0 : 6000.0;
                }
                burst[ch] *= std::exp(-40.0 / rate);
                const double click = n % 5003 < 2 ? 25000.0 * white : 0.0;
                return burst[ch] * white + click + 5.0 * std::sin(kTwoPi * 100.0 * t);
            }
        }
    }
};

std::uint64_t fnv1a(const unsigned char* data, int length) {
    std::uint64_t h = 1469598103934665603ull;
    for (int i = 0; i < length; ++i) {
        h = (h ^ data[i]) * 1099511628211ull;
    }
    return h;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 16;
    const bool record = argc > 3 && std::strcmp(argv[2], "record") == 0;
    const bool replay = argc > 3 && std::strcmp(argv[2], "replay") == 0;
    if (seconds <= 0 || (argc > 2 && !record && !replay)) {
        std::fprintf(stderr, "usage: frame_identity [SECONDS_PER_CLIP [record|replay FILE]]\n");
        return 2;
    }
    std::FILE* samples = record || replay ? std::fopen(argv[3], record ? "wb" : "rb") : nullptr;
    if ((record || replay) && samples == nullptr) {
        std::fprintf(stderr, "frame_identity: cannot open %s\n", argv[3]);
        return 2;
    }
    int status = 0;
    for (int m = 0; m < static_cast<int>(sizeof kMaterials / sizeof kMaterials[0]); ++m) {
        for (const Config& config : kConfigs) {
            const int channels = config.mode == 3 ? 1 : 2;
            const long frames = static_cast<long>(seconds) * config.rate / 1152;
            Generator generator{m, static_cast<double>(config.rate)};
            void* context = ZuvoCreateAudioContext();
            ZuvoMPAEncoderParams params{config.mode, config.bitrate_index, config.rate};
            if (context == nullptr || !ZuvoInitAudioEncoder(context, &params)) {
                std::fprintf(stderr, "frame_identity: could not set up mode %d index %d rate %d\n",
                             config.mode, config.bitrate_index, config.rate);
                return 1;
            }
            std::vector<std::int16_t> pcm(static_cast<std::size_t>(1152 * channels));
            std::vector<unsigned char> out(16384);
            for (long f = 0; f < frames; ++f) {
                if (replay) {
                    if (std::fread(pcm.data(), sizeof(std::int16_t), pcm.size(), samples) != pcm.size()) {
                        std::fprintf(stderr, "frame_identity: %s ends early\n", argv[3]);
                        return 2;
                    }
                } else {
                    for (int i = 0; i < 1152; ++i) {
                        for (int ch = 0; ch < channels; ++ch) {
                            const double v = generator(ch, f * 1152 + i);
                            const double clipped = v > 32767.0 ? 32767.0 : (v < -32768.0 ? -32768.0 : v);
                            pcm[static_cast<std::size_t>(i * channels + ch)] =
                                static_cast<std::int16_t>(std::lround(clipped));
                        }
                    }
                }
                if (record) {
                    std::fwrite(pcm.data(), sizeof(std::int16_t), pcm.size(), samples);
                }
                wavehdr_tag header{};
                header.lpData = reinterpret_cast<char*>(pcm.data());
                header.dwBufferLength = static_cast<unsigned>(pcm.size() * sizeof(std::int16_t));
                int length = 0;
                if (!ZuvoCompressAudioFrame(context, &header, out.data(), &length) || length <= 0) {
                    status = 1;
                }
                std::printf("%s/m%d-i%d-%d %ld %d %016" PRIx64 "\n", kMaterials[m], config.mode,
                            config.bitrate_index, config.rate, f, length, fnv1a(out.data(), length));
            }
            ZuvoFinishAudio(context);
            ZuvoDeleteAudioContext(context);
        }
    }
    if (samples != nullptr) {
        std::fclose(samples);
    }
    return status;
}
