// Per-stage cost of one frame of the analysis side of the encoder, for a
// stereo 44.1 kHz stream: the polyphase filterbank (36 blocks per channel),
// the scale-factor indices with their selection information, and the
// psychoacoustic model (two half-frame passes per channel).
//
// The input is synthetic and deterministic: per channel a few tones plus
// low-level noise, long enough that consecutive iterations see different
// frames while the filterbank history and the model's predictions carry on as
// in a real stream.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "filterbank/filterbank.h"
#include "layer2/coding_params.h"
#include "layer2/scale_factors.h"
#include "psycho/psycho_model.h"

namespace {

constexpr int kFrameSamples = 1152;
constexpr int kFrames = 16;  // input cycled through by every benchmark
constexpr float kRate = 44100.0f;

// Channel-major PCM: [channel][kFrames * 1152].
struct StereoSignal {
    std::vector<std::int16_t> pcm[2];

    StereoSignal() {
        constexpr double kTwoPi = 6.283185307179586;
        std::uint32_t state = 1u;
        for (int ch = 0; ch < 2; ++ch) {
            pcm[ch].resize(static_cast<std::size_t>(kFrames) * kFrameSamples);
            const double base = ch == 0 ? 440.0 : 660.0;
            for (std::size_t n = 0; n < pcm[ch].size(); ++n) {
                const double t = static_cast<double>(n) / kRate;
                state = state * 1664525u + 1013904223u;
                const double noise = (static_cast<double>(state >> 16) - 32768.0) / 64.0;
                const double v = 8000.0 * std::sin(kTwoPi * base * t) + 3000.0 * std::sin(kTwoPi * 3.7 * base * t) +
                                 1000.0 * std::sin(kTwoPi * 11000.0 * t) + noise;
                pcm[ch][n] = static_cast<std::int16_t>(std::lround(v));
            }
        }
    }

    const std::int16_t* frame(int ch, int index) const {
        return pcm[ch].data() + static_cast<std::size_t>(index % kFrames) * kFrameSamples;
    }
};

const StereoSignal& signal() {
    static const StereoSignal s;
    return s;
}

// One frame through the filterbank in the encoder's order: part, sample
// time, channel.
void filter_frame(zuvo::Filterbank& fb, const StereoSignal& in, int index,
                  float (&sb_sample)[2][3][12][32], float (&win_que)[2][64]) {
    const std::int16_t* win_buf[2] = {in.frame(0, index), in.frame(1, index)};
    for (int part = 0; part < 3; ++part)
        for (int t = 0; t < 12; ++t)
            for (int ch = 0; ch < 2; ++ch) {
                fb.window_block(ch, win_buf[ch], win_que[ch]);
                zuvo::Filterbank::matrix_block(win_que[ch], sb_sample[ch][part][t]);
            }
}

void BM_FilterbankFrame(benchmark::State& state) {
    const StereoSignal& in = signal();
    zuvo::Filterbank fb;
    fb.reset_filterbank();
    static float sb_sample[2][3][12][32];
    static float win_que[2][64];
    int index = 0;
    for (auto _ : state) {
        filter_frame(fb, in, index, sb_sample, win_que);
        index = (index + 1) % kFrames;
        benchmark::DoNotOptimize(sb_sample);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * 2 * kFrameSamples);  // samples, both channels
}
BENCHMARK(BM_FilterbankFrame);

void BM_ScaleFactorsFrame(benchmark::State& state) {
    const StereoSignal& in = signal();
    // Subband samples of every frame of the signal, filtered once up front.
    static float sb[kFrames][2][3][12][32];
    {
        zuvo::Filterbank fb;
        fb.reset_filterbank();
        float win_que[2][64];
        for (int f = 0; f < kFrames; ++f) filter_frame(fb, in, f, sb[f], win_que);
    }
    // Stereo at 192 kbit/s, 44.1 kHz: 96 kbit/s per channel codes 30 subbands.
    zuvo::CodingParams coding;
    coding.nch = 2;
    coding.sblimit = 30;
    coding.bound = 30;
    std::int32_t scale_index[2][3][32] = {};
    std::int32_t scfsi[2][32] = {};
    int index = 0;
    for (auto _ : state) {
        const int f = index;
        index = (index + 1) % kFrames;
        zuvo::compute_scale_indices(sb[f], scale_index, coding.nch, coding.sblimit);
        zuvo::select_scfsi(scale_index, scfsi, coding);
        benchmark::DoNotOptimize(scale_index);
        benchmark::DoNotOptimize(scfsi);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * 2 * kFrameSamples);
}
BENCHMARK(BM_ScaleFactorsFrame);

void BM_PsychoModelFrame(benchmark::State& state) {
    const StereoSignal& in = signal();
    zuvo::PsychoModel model;
    static std::int16_t history[2][zuvo::kHistorySamples];
    static float smr[2][32];
    // The first analysis of a stream builds the model's tables; keep that out
    // of the measurement.
    for (int ch = 0; ch < 2; ++ch) model.analyze_channel(in.frame(ch, 0), history[ch], ch, smr[ch], kRate);
    int index = 1;
    for (auto _ : state) {
        const int f = index;
        index = (index + 1) % kFrames;
        for (int ch = 0; ch < 2; ++ch) model.analyze_channel(in.frame(ch, f), history[ch], ch, smr[ch], kRate);
        benchmark::DoNotOptimize(smr);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * 2 * kFrameSamples);
}
BENCHMARK(BM_PsychoModelFrame);

}  // namespace

BENCHMARK_MAIN();
