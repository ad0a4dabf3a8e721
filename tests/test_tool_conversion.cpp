// The tool's conversions on their own: the rate a stream is coded at, the
// resampler's length and alignment, the channel mixes and the MP2-in-WAV
// header.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "channel_mix.h"
#include "mp2_wav.h"
#include "resampler.h"

using namespace zuvo_tool;

namespace {

const std::vector<int> kCoded = {16000, 22050, 24000, 32000, 44100, 48000};

std::uint32_t u32_at(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}
std::uint16_t u16_at(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
// Offset of the body of chunk `id` (after its 8-byte head), or 0.
std::size_t chunk(const std::vector<std::uint8_t>& b, const char* id) {
    for (std::size_t at = 12; at + 8 <= b.size(); at += 8 + ((u32_at(b, at + 4) + 1) & ~1u)) {
        if (std::string(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at) + 4) == id) return at + 8;
    }
    return 0;
}

}  // namespace

TEST(ToolConversion, StreamRateForEveryInputRate) {
    const struct {
        int input, coded;
    } rows[] = {
        {48000, 48000}, {22050, 22050}, {16000, 16000}, {96000, 48000}, {192000, 48000}, {88200, 44100},
        {176400, 44100}, {64000, 48000}, {8000, 16000},  {11025, 22050}, {12000, 24000},  {37800, 44100},
        {6000, 24000},  {20000, 22050}, {47999, 48000},
    };
    for (const auto& r : rows) EXPECT_EQ(choose_stream_rate(r.input, kCoded), r.coded) << r.input;
}

// A slowly swelling 1 kHz tone converted in odd blocks comes out at the new
// rate with the same timing (no lag) and round(n x ratio) samples.
TEST(ToolConversion, ResamplerKeepsTimingAndLength) {
    for (const int in_rate : {96000, 88200, 11025}) {
        const int out_rate = choose_stream_rate(in_rate, kCoded);
        const auto tone = [](double t) { return 0.5 * std::sin(2 * M_PI * 1000 * t) * std::sin(2 * M_PI * 0.7 * t); };
        const int n = in_rate + 123;
        std::vector<float> in(2 * static_cast<std::size_t>(n)), out;
        for (int i = 0; i < n; ++i) in[2 * i] = in[2 * i + 1] = static_cast<float>(tone(double(i) / in_rate));
        Resampler r;
        std::string error;
        ASSERT_TRUE(r.open(in_rate, out_rate, 2, error)) << error;
        for (int at = 0; at < n; at += 3001) {
            ASSERT_TRUE(r.process(in.data() + 2 * at, std::min(3001, n - at), out, error)) << error;
        }
        ASSERT_TRUE(r.finish(out, error)) << error;
        const std::size_t m = out.size() / 2;
        EXPECT_EQ(m, static_cast<std::size_t>(std::llround(double(n) * out_rate / in_rate))) << in_rate;
        double worst = 0.0;
        for (std::size_t k = 1000; k + 1000 < m; ++k) {
            worst = std::max(worst, std::fabs(out[2 * k] - tone(double(k) / out_rate)));
        }
        EXPECT_LT(worst, 1e-4) << in_rate << " -> " << out_rate;
    }
}

TEST(ToolConversion, ChannelMixesFollowTheLayoutAndNeverClip) {
    ChannelMix mix;
    std::string error;
    // 5.1 to stereo: L + 0.707 C + 0.707 Ls, LFE dropped, then scaled.
    ASSERT_TRUE(make_channel_mix(smpte_layout(6), 2, mix, error)) << error;
    const float scale = 1.0f / (1.0f + 0.70710678f + 0.70710678f);
    EXPECT_NEAR(mix.gain[0][0], scale, 1e-6);
    EXPECT_NEAR(mix.gain[0][2], 0.70710678f * scale, 1e-6);
    EXPECT_EQ(mix.gain[0][3], 0.0f) << "LFE";
    EXPECT_NEAR(mix.gain[0][4], 0.70710678f * scale, 1e-6);
    EXPECT_EQ(mix.gain[0][1], 0.0f);
    EXPECT_EQ(mix.gain[0][5], 0.0f);
    EXPECT_NE(mix.description.find("5.1"), std::string::npos);
    EXPECT_NE(mix.description.find("LFE dropped"), std::string::npos);

    // Every layout of both orders, to stereo and to mono: full-scale input of
    // the worst signs stays within full scale.
    for (int channels = 1; channels <= kMaxChannels; ++channels) {
        for (const auto& layout : {smpte_layout(channels), flac_layout(channels)}) {
            for (int out = 1; out <= 2; ++out) {
                ASSERT_TRUE(make_channel_mix(layout, out, mix, error)) << channels << ": " << error;
                for (int o = 0; o < out; ++o) {
                    float sum = 0.0f;
                    for (int i = 0; i < channels; ++i) sum += std::fabs(mix.gain[o][i]);
                    EXPECT_LE(sum, 1.0f + 1e-6f) << channels << " channels to " << out;
                    EXPECT_GT(sum, 0.49f) << channels << " channels to " << out;
                }
            }
        }
    }
    // Stereo to mono is (L + R) / 2; mono to stereo copies.
    ASSERT_TRUE(make_channel_mix(smpte_layout(2), 1, mix, error));
    const float lr[4] = {1.0f, -0.5f, 0.25f, 0.25f};
    float mono[2];
    apply_mix(mix, lr, 2, mono);
    EXPECT_FLOAT_EQ(mono[0], 0.25f);
    EXPECT_FLOAT_EQ(mono[1], 0.25f);

    // A speaker without a place is refused with the way out named.
    std::vector<Speaker> odd = smpte_layout(3);
    odd[2] = Speaker::kUnknown;
    EXPECT_FALSE(make_channel_mix(odd, 2, mix, error));
    EXPECT_NE(error.find("--downmix"), std::string::npos);
    const ChannelMix mean = mean_mix(5, 2);
    EXPECT_FLOAT_EQ(mean.gain[1][4], 0.2f);
}

TEST(ToolConversion, Mp2WavHeaderDescribesTheStream) {
    Mp2WavFacts f;
    f.sample_rate = 24000, f.mode = 3, f.bitrate_kbps = 64, f.mpeg_version = 2;
    f.copyright = true, f.original = true, f.emphasis = 3, f.protection = false;
    f.frame_bytes = 384, f.padded = false;
    f.description = "speech";
    f.coding_history = coding_history_line(f, "zuvo-mpa-encode");
    EXPECT_EQ(f.coding_history, "A=MPEG2L2,F=24000,B=64,M=mono,T=zuvo-mpa-encode\r\n");
    const auto h = mp2_wav_header(f, 384 * 10 + 1, 10);
    EXPECT_EQ(mp2_wav_header(f, 0, 0).size(), h.size()) << "the same length for every size";
    EXPECT_EQ(u32_at(h, 4), h.size() - 8 + 384 * 10 + 1 + 1) << "RIFF size counts the odd stream's pad byte";
    const std::size_t fmt = chunk(h, "fmt "), fact = chunk(h, "fact"), mext = chunk(h, "mext"), bext = chunk(h, "bext");
    ASSERT_TRUE(fmt && fact && mext && bext);
    EXPECT_EQ(u16_at(h, fmt), 0x0050);
    EXPECT_EQ(u16_at(h, fmt + 2), 1) << "channels";
    EXPECT_EQ(u32_at(h, fmt + 4), 24000u);
    EXPECT_EQ(u32_at(h, fmt + 8), 8000u) << "bytes per second";
    EXPECT_EQ(u16_at(h, fmt + 12), 384) << "block: one frame";
    EXPECT_EQ(u16_at(h, fmt + 16), 22) << "extra bytes of the MPEG fields";
    EXPECT_EQ(u16_at(h, fmt + 18), 2) << "layer II";
    EXPECT_EQ(u32_at(h, fmt + 20), 64000u);
    EXPECT_EQ(u16_at(h, fmt + 24), 8) << "single channel";
    EXPECT_EQ(u16_at(h, fmt + 28), 4) << "CCITT J.17";
    EXPECT_EQ(u16_at(h, fmt + 30), 0x0002 | 0x0004) << "copyright and original, no CRC, not MPEG-1";
    EXPECT_EQ(u32_at(h, fact), 11520u);
    EXPECT_EQ(u16_at(h, mext + 2), 384);
    EXPECT_EQ(std::string(h.begin() + static_cast<long>(bext), h.begin() + static_cast<long>(bext) + 6), "speech");
    EXPECT_EQ(std::string(h.end() - 8, h.end() - 4), "data");
    EXPECT_EQ(u32_at(h, h.size() - 4), 384u * 10 + 1);
    EXPECT_EQ(mp2_wav_max_data(f) + h.size() - 8 + 1, 0xFFFFFFFFull) << "the largest stream fills the RIFF size";
}
