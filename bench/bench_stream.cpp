// Whole-stream encoding through the public functions: 60 s of synthesized
// stereo audio at 44.1 kHz, 192 kbit/s, fed in 4608-byte buffers, reported
// as multiples of real time and as time per stereo frame (frame_time).
//
// BM_CStream_* encode the same material through the C interface at each
// rate (MPEG-1 and the lower sampling frequencies), so that the cost per
// second of audio can be compared across rates.
//
// BM_Stream_Threads runs one context per thread (1 and 2 threads, wall
// time): x_realtime is the sum over the threads, so its ratio between the
// two rows is the scaling. BM_ContextMemory reports the resident memory a
// running context adds (Linux), measured over 8 contexts.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "ZuvoMPAEncoder.h"
#include "zuvo_mpa.h"

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

std::int64_t total_frames(int rate, int seconds) {
    return static_cast<std::int64_t>(rate) * seconds * 4 / 4608;  // 4608-byte buffers, one frame each
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
    const double frames = static_cast<double>(total_frames(rate, seconds));
    state.counters["frame_time"] = benchmark::Counter(
        frames, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// 60 s at `rate` through zuvo_mpa_encode, 1152 samples a call, in a tuning.
void encode_c_stream(benchmark::State& state, int rate, int mode, int kbps,
                     int tuning = ZUVO_MPA_TUNING_REFERENCE) {
    const int seconds = 60;
    const int channels = mode == ZUVO_MPA_MONO ? 1 : 2;
    std::vector<std::int16_t> pcm = synthesize(rate, seconds);
    if (channels == 1) {
        for (std::size_t i = 0; i < pcm.size() / 2; ++i) pcm[i] = pcm[2 * i];
        pcm.resize(pcm.size() / 2);
    }
    int error = 0;
    zuvo_mpa_config* config = zuvo_mpa_config_new();
    zuvo_mpa_config_set_mode(config, mode);
    zuvo_mpa_config_set_bitrate(config, kbps);
    zuvo_mpa_config_set_sample_rate(config, rate);
    zuvo_mpa_config_set_tuning(config, tuning);
    zuvo_mpa_encoder* encoder = zuvo_mpa_create_with_config(config, &error);
    zuvo_mpa_config_free(config);
    if (encoder == nullptr) {
        state.SkipWithError(zuvo_mpa_strerror(error));
        return;
    }
    std::vector<unsigned char> out(zuvo_mpa_max_output(encoder, 1152));
    const std::size_t samples = pcm.size() / static_cast<std::size_t>(channels);
    std::int64_t frames = 0;
    for (auto _ : state) {
        zuvo_mpa_reset(encoder);
        std::size_t written = 0;
        for (std::size_t at = 0; at + 1152 <= samples; at += 1152) {
            zuvo_mpa_encode(encoder, pcm.data() + at * static_cast<std::size_t>(channels), 1152, out.data(),
                            out.size(), &written);
            benchmark::DoNotOptimize(out.data());
        }
        frames = static_cast<std::int64_t>(samples / 1152);
    }
    zuvo_mpa_destroy(encoder);
    state.counters["x_realtime"] = benchmark::Counter(
        static_cast<double>(seconds) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["frame_time"] = benchmark::Counter(
        static_cast<double>(frames), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_CStream_Joint192_44k(benchmark::State& state) { encode_c_stream(state, 44100, ZUVO_MPA_JOINT_STEREO, 192); }
void BM_CStream_Joint64_24k(benchmark::State& state) { encode_c_stream(state, 24000, ZUVO_MPA_JOINT_STEREO, 64); }
void BM_CStream_Stereo160_22k(benchmark::State& state) { encode_c_stream(state, 22050, ZUVO_MPA_STEREO, 160); }
void BM_CStream_Mono32_16k(benchmark::State& state) { encode_c_stream(state, 16000, ZUVO_MPA_MONO, 32); }
void BM_CStream_Mono192_48k(benchmark::State& state) { encode_c_stream(state, 48000, ZUVO_MPA_MONO, 192); }
void BM_CStream_Stereo384_48k(benchmark::State& state) { encode_c_stream(state, 48000, ZUVO_MPA_STEREO, 384); }
// The best tuning beside the reference, per frame.
void BM_CStream_Joint192_44k_Best(benchmark::State& state) {
    encode_c_stream(state, 44100, ZUVO_MPA_JOINT_STEREO, 192, ZUVO_MPA_TUNING_BEST);
}
void BM_CStream_Joint64_24k_Best(benchmark::State& state) {
    encode_c_stream(state, 24000, ZUVO_MPA_JOINT_STEREO, 64, ZUVO_MPA_TUNING_BEST);
}
void BM_CStream_Mono192_48k_Best(benchmark::State& state) {
    encode_c_stream(state, 48000, ZUVO_MPA_MONO, 192, ZUVO_MPA_TUNING_BEST);
}
void BM_CStream_Stereo384_48k_Best(benchmark::State& state) {
    encode_c_stream(state, 48000, ZUVO_MPA_STEREO, 384, ZUVO_MPA_TUNING_BEST);
}

void BM_Stream_Stereo192(benchmark::State& state) { encode_stream(state, 0, 10); }
void BM_Stream_Joint192(benchmark::State& state) { encode_stream(state, 1, 10); }
void BM_Stream_Stereo384(benchmark::State& state) { encode_stream(state, 0, 14); }
void BM_Stream_Threads(benchmark::State& state) { encode_stream(state, 1, 10); }

// Resident set size of the process in bytes (0 where unknown).
double resident_bytes() {
#ifdef __linux__
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0.0;
    long pages = 0;
    long resident = 0;
    const int got = std::fscanf(f, "%ld %ld", &pages, &resident);
    std::fclose(f);
    return got == 2 ? static_cast<double>(resident) * 4096.0 : 0.0;
#else
    return 0.0;
#endif
}

void BM_ContextMemory(benchmark::State& state) {
    constexpr int kContexts = 8;
    static const std::vector<std::int16_t> pcm = synthesize(44100, 1);
    std::vector<unsigned char> out(8192);
    double per_context = 0.0;
    for (auto _ : state) {
        const double before = resident_bytes();
        void* contexts[kContexts];
        for (void*& context : contexts) {
            context = ZuvoCreateAudioContext();
            ZuvoMPAEncoderParams params{1, 10, 44100};
            ZuvoInitAudioEncoder(context, &params);
            // Ten frames: every per-stream array is in use.
            for (int f = 0; f < 10; ++f) {
                wavehdr_tag header{};
                header.lpData = const_cast<char*>(reinterpret_cast<const char*>(pcm.data() + f * 2304));
                header.dwBufferLength = 4608;
                int length = 0;
                ZuvoCompressAudioFrame(context, &header, out.data(), &length);
            }
        }
        per_context = (resident_bytes() - before) / kContexts;
        for (void* context : contexts) {
            ZuvoFinishAudio(context);
            ZuvoDeleteAudioContext(context);
        }
    }
    state.counters["rss_per_context_MB"] = per_context / (1024.0 * 1024.0);
}

}  // namespace

BENCHMARK(BM_Stream_Stereo192)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Stream_Joint192)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Stream_Stereo384)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CStream_Joint192_44k)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CStream_Joint64_24k)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CStream_Stereo160_22k)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CStream_Mono32_16k)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CStream_Mono192_48k)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CStream_Stereo384_48k)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CStream_Joint192_44k_Best)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CStream_Joint64_24k_Best)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CStream_Mono192_48k_Best)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CStream_Stereo384_48k_Best)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Stream_Threads)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime()->Threads(1)->Threads(2);
BENCHMARK(BM_ContextMemory)->Iterations(1);
BENCHMARK_MAIN();
