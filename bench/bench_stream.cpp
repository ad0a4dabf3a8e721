// Whole-stream encoding through the public functions: 60 s of synthesized
// stereo audio at 44.1 kHz, 192 kbit/s, fed in 4608-byte buffers, reported
// as multiples of real time.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "ZuvoMPAEncoder.h"

namespace {

std::vector<std::int16_t> synthesize(int rate, int seconds) {
    std::vector<std::int16_t> pcm(static_cast<std::size_t>(rate) * seconds * 2);
    std::uint32_t noise = 12345;
    for (std::size_t i = 0; i < pcm.size() / 2; ++i) {
        const double t = static_cast<double>(i) / rate;
        noise = noise * 1664525u + 1013904223u;
        const double hiss = (static_cast<double>(noise >> 16) / 65536.0 - 0.5) * 600.0;
        const double left = 6000.0 * std::sin(2 * M_PI * 440.0 * t) + 3000.0 * std::sin(2 * M_PI * 3000.0 * t) + hiss;
        const double right = 5000.0 * std::sin(2 * M_PI * 660.0 * t) + 2000.0 * std::sin(2 * M_PI * 7000.0 * t) - hiss;
        pcm[2 * i] = static_cast<std::int16_t>(left);
        pcm[2 * i + 1] = static_cast<std::int16_t>(right);
    }
    return pcm;
}

void encode_stream(benchmark::State& state, int mode, int bitrate_index) {
    const int rate = 44100;
    const int seconds = 60;
    static const std::vector<std::int16_t> pcm = synthesize(rate, seconds);
    std::vector<unsigned char> out(8192);
    std::int64_t bytes = 0;
    for (auto _ : state) {
        void* context = ZuvoCreateAudioContext();
        ZuvoMPAEncoderParams params{mode, bitrate_index, rate};
        ZuvoInitAudioEncoder(context, &params);
        const std::size_t chunk = 4608;
        const char* data = reinterpret_cast<const char*>(pcm.data());
        const std::size_t total = pcm.size() * sizeof(std::int16_t);
        for (std::size_t at = 0; at + chunk <= total; at += chunk) {
            wavehdr_tag header{};
            header.lpData = const_cast<char*>(data + at);
            header.dwBufferLength = static_cast<std::uint32_t>(chunk);
            int length = 0;
            ZuvoCompressAudioFrame(context, &header, out.data(), &length);
            bytes += length;
            benchmark::DoNotOptimize(out.data());
        }
        ZuvoFinishAudio(context);
        ZuvoDeleteAudioContext(context);
    }
    state.counters["x_realtime"] = benchmark::Counter(
        static_cast<double>(seconds) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["bytes"] = static_cast<double>(bytes) / static_cast<double>(state.iterations());
}

void BM_Stream_Stereo192(benchmark::State& state) { encode_stream(state, 0, 10); }
void BM_Stream_Joint192(benchmark::State& state) { encode_stream(state, 1, 10); }

}  // namespace

BENCHMARK(BM_Stream_Stereo192)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Stream_Joint192)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_MAIN();
