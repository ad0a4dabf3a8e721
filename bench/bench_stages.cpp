// Per-stage cost of one frame of the encoder, for a stereo 44.1 kHz stream:
// the polyphase filterbank (36 blocks per channel), the scale-factor indices
// with their selection information, the psychoacoustic model (two half-frame
// passes per channel), and the Layer II coding of a frame at 192 kbit/s (bit
// allocation, check word, quantization and all bit writing), for plain and
// for joint stereo.
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
#include "layer2/alloc_tables.h"
#include "layer2/bit_allocation.h"
#include "layer2/coding_params.h"
#include "layer2/frame_header.h"
#include "layer2/sample_coding.h"
#include "layer2/scale_factors.h"
#include "output/bit_writer.h"
#include "psycho/psycho_model.h"
#include "psycho/real_fft.h"

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

// One frame through the filterbank as the encoder runs it: each channel's
// 36 blocks in one call.
void filter_frame(zuvo::Filterbank& fb, const StereoSignal& in, int index, float (&sb_sample)[2][3][12][32]) {
    for (int ch = 0; ch < 2; ++ch) fb.analyze_frame(ch, in.frame(ch, index), sb_sample[ch]);
}

void BM_FilterbankFrame(benchmark::State& state) {
    const StereoSignal& in = signal();
    zuvo::Filterbank fb;
    fb.reset_filterbank();
    static float sb_sample[2][3][12][32];
    int index = 0;
    for (auto _ : state) {
        filter_frame(fb, in, index, sb_sample);
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
        for (int f = 0; f < kFrames; ++f) filter_frame(fb, in, f, sb[f]);
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

// The model's spectrum of one 1024-sample block (energy, magnitude and phase
// per line); the model computes four per stereo frame. The blocks are taken
// from the signal, windowed by nothing: only the transform's cost matters.
void BM_Spectrum1024(benchmark::State& state) {
    const StereoSignal& in = signal();
    constexpr int kBlocks = kFrames;
    static float blocks[kBlocks][zuvo::kSpectrumSize];
    for (int b = 0; b < kBlocks; ++b) {
        for (int n = 0; n < zuvo::kSpectrumSize; ++n) blocks[b][n] = in.frame(b % 2, b)[n];
    }
    static float energy[zuvo::kSpectrumLines], magnitude[zuvo::kSpectrumLines];
    static float phase_re[zuvo::kSpectrumLines], phase_im[zuvo::kSpectrumLines];
    int index = 0;
    for (auto _ : state) {
        zuvo::spectrum_1024(blocks[index], energy, magnitude, phase_re, phase_im);
        index = (index + 1) % kBlocks;
        benchmark::DoNotOptimize(energy);
        benchmark::DoNotOptimize(phase_re);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());  // transforms
}
BENCHMARK(BM_Spectrum1024);

// Everything the Layer II stages read for one frame, computed up front for
// every frame of the signal: subband samples, scale-factor indices with their
// selection information (plain and joint), and the model's ratios.
struct Layer2Input {
    float sb[2][3][12][32];
    float j_sample[3][12][32];
    std::int32_t scale_index[2][3][32];
    std::int32_t j_scale_index[3][32];
    std::int32_t scfsi[2][32];
    float smr[2][32];
};

const Layer2Input* layer2_inputs(const zuvo::CodingParams& coding) {
    static Layer2Input frames[kFrames];
    static bool ready = false;
    if (ready) return frames;
    const StereoSignal& in = signal();
    zuvo::Filterbank fb;
    fb.reset_filterbank();
    zuvo::PsychoModel model;
    static std::int16_t history[2][zuvo::kHistorySamples];
    for (int f = 0; f < kFrames; ++f) {
        Layer2Input& d = frames[f];
        filter_frame(fb, in, f, d.sb);
        zuvo::compute_scale_indices(d.sb, d.scale_index, 2, coding.sblimit);
        zuvo::combine_joint(d.sb, d.j_sample, coding.sblimit);
        zuvo::compute_scale_indices(&d.j_sample, &d.j_scale_index, 1, coding.sblimit);
        zuvo::select_scfsi(d.scale_index, d.scfsi, coding);
        for (int ch = 0; ch < 2; ++ch) model.analyze_channel(in.frame(ch, f), history[ch], ch, d.smr[ch], kRate);
    }
    ready = true;
    return frames;
}

// The header of the Layer II benchmarks: protected, 192 kbit/s, 44.1 kHz.
zuvo::MpaHeader layer2_header(std::int32_t mode) {
    zuvo::MpaHeader header{};
    header.version = 1;
    header.layer = 2;
    header.protection = 1;
    header.bitrate_index = 10;  // 192 kbit/s
    header.sampling_frequency = 0;
    header.mode = mode;
    return header;
}

// The coding parameters of layer2_header(mode) and the prepared frames, for
// the length of one benchmark.
struct Layer2Setup {
    explicit Layer2Setup(std::int32_t mode) : header(layer2_header(mode)) {
        coding.header = &header;
        zuvo::derive_coding_params(coding);
        frames = layer2_inputs(coding);
    }
    ~Layer2Setup() { zuvo::release_coding_params(coding); }
    Layer2Setup(const Layer2Setup&) = delete;
    Layer2Setup& operator=(const Layer2Setup&) = delete;

    zuvo::MpaHeader header;
    zuvo::CodingParams coding;
    const Layer2Input* frames = nullptr;
};

constexpr std::int32_t kFrameBits = 626 * 8;  // 192 kbit/s at 44.1 kHz, without padding

// Bit allocation, check word, header, allocation fields, scale factors,
// quantization and sample codes of one frame, then the frame's bytes drained
// as the encoder does. Argument: the configured mode (0 stereo, 1 joint).
void BM_Layer2Frame(benchmark::State& state) {
    Layer2Setup setup(static_cast<std::int32_t>(state.range(0)));
    zuvo::MpaHeader& header = setup.header;
    zuvo::CodingParams& coding = setup.coding;
    const Layer2Input* frames = setup.frames;

    zuvo::BitAllocator allocator;
    zuvo::BitWriter writer;
    writer.init();
    static zuvo::ChannelCodes codes[2];
    static std::uint8_t out[4096];
    std::int32_t allocation[2][32] = {};
    int index = 0;
    for (auto _ : state) {
        const Layer2Input& d = frames[index];
        index = (index + 1) % kFrames;
        std::int32_t available_bits = kFrameBits;
        const zuvo::StereoDecision decision =
            allocator.allocate_frame(d.smr, d.scfsi, allocation, available_bits, coding, false);
        header.mode = decision.mode;
        header.mode_extension = decision.mode_extension;
        coding.bound = decision.bound;
        std::uint32_t crc = 0;
        zuvo::compute_crc(coding, allocation, d.scfsi, crc);
        zuvo::write_header(coding, writer);
        zuvo::write_crc(crc, writer);
        zuvo::write_allocation(allocation, coding, writer);
        zuvo::write_scale_factors(allocation, d.scfsi, d.scale_index, coding, writer);
        zuvo::quantize(d.scale_index, d.sb, d.j_scale_index, d.j_sample, allocation, codes, coding);
        zuvo::write_samples(codes, allocation, coding, writer);
        for (; available_bits >= 32; available_bits -= 32) writer.put_bits(0, 32);
        if (available_bits > 0) writer.put_bits(0, available_bits);
        int length = 0;
        writer.drain(out, length);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    writer.finish();
    state.SetItemsProcessed(state.iterations() * 2 * kFrameSamples);
}
BENCHMARK(BM_Layer2Frame)->Arg(0)->Arg(1);

// The bit allocation alone (joint-stereo decision and greedy distribution)
// of the frames above, for its share of the Layer II coding.
void BM_Layer2Allocation(benchmark::State& state) {
    Layer2Setup setup(static_cast<std::int32_t>(state.range(0)));
    const zuvo::CodingParams& coding = setup.coding;
    const Layer2Input* frames = setup.frames;
    zuvo::BitAllocator allocator;
    std::int32_t allocation[2][32] = {};
    int index = 0;
    for (auto _ : state) {
        const Layer2Input& d = frames[index];
        index = (index + 1) % kFrames;
        std::int32_t available_bits = kFrameBits;
        const zuvo::StereoDecision decision =
            allocator.allocate_frame(d.smr, d.scfsi, allocation, available_bits, coding, false);
        benchmark::DoNotOptimize(decision);
        benchmark::DoNotOptimize(allocation);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * 2 * kFrameSamples);
}
BENCHMARK(BM_Layer2Allocation)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
