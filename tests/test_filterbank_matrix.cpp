// Matrixing stage of the analysis filterbank and the filterbank as a whole:
// the rounded cosine matrix, the fold, agreement with a direct evaluation of
// the subband filters, and a pinned checksum of the exact output.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <vector>

#include "filterbank/filterbank.h"

namespace zuvo {
namespace {

constexpr double kTruePi = 3.14159265358979323846;

std::uint32_t float_bits(float v) {
    std::uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}

std::vector<std::int16_t> lcg_samples(std::size_t count, std::uint32_t seed) {
    std::vector<std::int16_t> out(count);
    std::uint32_t state = seed;
    for (auto& s : out) {
        state = state * 1664525u + 1013904223u;
        s = static_cast<std::int16_t>(static_cast<std::uint16_t>(state >> 16));
    }
    return out;
}

TEST(FilterbankMatrix, CoefficientsAreTheNineDecimalRoundedCosines) {
    const float(&m)[16][32] = analysis_matrix();
    EXPECT_EQ(&analysis_matrix(), &m);  // one matrix per process

    // Each entry: cos(m k p / 64) with p = 3.14159265358979, scaled by 1e9,
    // rounded half away from zero, through float, times 1e-9.
    int differ_from_plain = 0;
    for (int r = 0; r < 16; ++r) {
        for (int k = 0; k < 32; ++k) {
            const long long n = std::llround(1e9 * std::cos((2.0 * r + 1.0) * k * 3.14159265358979 / 64.0));
            const float expected = static_cast<float>(static_cast<double>(static_cast<float>(n)) * 1e-9);
            ASSERT_EQ(float_bits(m[r][k]), float_bits(expected)) << "r = " << r << ", k = " << k;
            const float plain = static_cast<float>(std::cos((2.0 * r + 1.0) * k * kTruePi / 64.0));
            if (m[r][k] != plain) ++differ_from_plain;
        }
    }
    // The rounding is really applied: cos(8 pi / 64) = 0.92387953251... goes
    // to 923879533, whose float is 923879552, so the entry lands one ulp above
    // the float nearest the cosine.
    EXPECT_EQ(float_bits(m[0][8]), 0x3f6c835fu);
    EXPECT_EQ(float_bits(static_cast<float>(std::cos(8.0 * kTruePi / 64.0))), 0x3f6c835eu);
    EXPECT_EQ(m[0][0], 1.0f);
    EXPECT_EQ(float_bits(m[0][16]), 0x3f3504f3u);  // 707106781 -> 0.70710677
    EXPECT_EQ(m[15][31], -m[0][1]);                // cos(31 * 31 p / 64) = -cos(p / 64)
    // About a quarter of the 512 entries differ in the last bit.
    EXPECT_GT(differ_from_plain, 64);
    EXPECT_LT(differ_from_plain, 192);
}

TEST(FilterbankMatrix, FoldPairsSubbandsAndDropsY48) {
    const float(&m)[16][32] = analysis_matrix();
    float y[64] = {};
    float row[32];

    // Only Y[16]: the cosine of every subband is 1 there.
    y[16] = 0.3125f;
    Filterbank::matrix_block(y, row);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(row[i], 0.3125f) << "subband " << i;

    // Only Y[48]: the cosine of every subband is 0 there.
    y[16] = 0.0f;
    y[48] = 0.75f;
    Filterbank::matrix_block(y, row);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(row[i], 0.0f) << "subband " << i;

    // Y[15] and Y[17] both fold onto k = 1 (odd): subbands r and 31 - r get
    // opposite signs. Y[47] and Y[49] fold onto k = 31 with opposite signs,
    // so equal values cancel.
    y[48] = 0.0f;
    y[15] = 0.25f;
    y[17] = 0.25f;
    y[47] = 0.5f;
    y[49] = 0.5f;
    Filterbank::matrix_block(y, row);
    for (int r = 0; r < 16; ++r) {
        EXPECT_EQ(row[r], 0.5f * m[r][1]) << "subband " << r;
        EXPECT_EQ(row[31 - r], -(0.5f * m[r][1])) << "subband " << 31 - r;
    }

    // Y[0] folds onto k = 16 (even): the same value in r and 31 - r.
    std::memset(y, 0, sizeof y);
    y[0] = -2.0f;
    Filterbank::matrix_block(y, row);
    for (int r = 0; r < 16; ++r) {
        EXPECT_EQ(row[r], -2.0f * m[r][16]);
        EXPECT_EQ(row[31 - r], row[r]);
    }
}

TEST(FilterbankMatrix, AgreesWithDirectDoublePrecisionFilterbank) {
    // Direct evaluation in double of the windowing over a straight history and
    // of S[i] = sum over k = 0..63 of cos((2i + 1)(k - 16) pi / 64) Y[k] with
    // the true pi. The filterbank differs only by single-precision rounding
    // and the nine-decimal cosines.
    double cosines[32][64];
    for (int i = 0; i < 32; ++i)
        for (int k = 0; k < 64; ++k) cosines[i][k] = std::cos((2 * i + 1) * (k - 16) * kTruePi / 64.0);

    // Full-scale noise, then a quiet tone: the error must scale with the signal.
    std::vector<std::int16_t> pcm = lcg_samples(32 * 120, 777u);
    for (int n = 32 * 60; n < 32 * 120; ++n)
        pcm[static_cast<std::size_t>(n)] = static_cast<std::int16_t>(std::lround(40.0 * std::sin(0.37 * n)));

    Filterbank fb;
    const std::int16_t* p = pcm.data();
    float y[64];
    float row[32];
    double worst = 0.0;
    for (int b = 0; b < 120; ++b) {
        fb.window_block(0, p, y);
        Filterbank::matrix_block(y, row);

        const long newest = 32L * b + 31;
        double yd[64];
        double magnitude = 0.0;  // sum of |Y|: bounds every |S[i]|
        for (int k = 0; k < 64; ++k) {
            yd[k] = 0.0;
            for (int j = 0; j < 8; ++j) {
                const long n = newest - (k + 64 * j);
                if (n >= 0) yd[k] += pcm[static_cast<std::size_t>(n)] / 32768.0 * analysis_window[k + 64 * j];
            }
            magnitude += std::fabs(yd[k]);
        }
        for (int i = 0; i < 32; ++i) {
            double s = 0.0;
            for (int k = 0; k < 64; ++k) s += cosines[i][k] * yd[k];
            const double error = std::fabs(row[i] - s);
            ASSERT_LE(error, 1e-6 * magnitude) << "block " << b << ", subband " << i;
            if (magnitude > 0.0) worst = std::fmax(worst, error / magnitude);
        }
    }
    EXPECT_GT(worst, 0.0);  // the comparison did see rounding, not identical code
    std::ostringstream text;
    text << worst;
    RecordProperty("worst_relative_error", text.str());
}

// FNV-1a over the bit patterns of the subband samples of a fixed input:
// two channels, four frames of 1152 samples, filtered block by block in the
// order part, sample time, channel, or a whole frame per channel at once, or
// the two mixed frame by frame on one filterbank. Any change of rounding or
// operation order, or a slip of the history between the two, changes it.
TEST(FilterbankMatrix, PinnedChecksumOfStereoFrames) {
    constexpr int kFrames = 4;
    std::vector<std::int16_t> pcm[2];
    std::uint32_t state = 2024u;
    for (int ch = 0; ch < 2; ++ch) {
        pcm[ch].resize(1152 * kFrames);
        for (int n = 0; n < 1152 * kFrames; ++n) {
            state = state * 1664525u + 1013904223u;
            const double tone = ch == 0 ? 12000.0 * std::sin(2.0 * kTruePi * 1000.0 * n / 44100.0)
                                        : 9000.0 * std::sin(2.0 * kTruePi * 5512.5 * n / 44100.0);
            const double noise = static_cast<double>(static_cast<std::int32_t>(state >> 16) - 32768) / 16.0;
            pcm[ch][static_cast<std::size_t>(n)] = static_cast<std::int16_t>(std::lround(tone + noise));
        }
    }

    // Which frames go through analyze_frame (and with which instruction-set
    // copy of its kernel), one bit per frame.
    for (int copy = 0; copy < Filterbank::frame_kernel_copies(); ++copy)
    for (const unsigned whole_frames : {0x0u, 0xFu, 0x5u, 0xAu}) {
    Filterbank fb;
    fb.reset_filterbank();
    float sb_sample[2][3][12][32];
    float win_que[2][64];
    std::uint32_t hash = 2166136261u;
    for (int frame = 0; frame < kFrames; ++frame) {
        const std::int16_t* win_buf[2] = {pcm[0].data() + 1152 * frame, pcm[1].data() + 1152 * frame};
        if ((whole_frames >> frame) & 1u) {
            for (int ch = 0; ch < 2; ++ch) fb.analyze_frame(ch, win_buf[ch], sb_sample[ch], copy);
        } else {
            for (int part = 0; part < 3; ++part)
                for (int t = 0; t < 12; ++t)
                    for (int ch = 0; ch < 2; ++ch) {
                        fb.window_block(ch, win_buf[ch], win_que[ch]);
                        Filterbank::matrix_block(win_que[ch], sb_sample[ch][part][t]);
                    }
        }
        for (int ch = 0; ch < 2; ++ch)
            for (int part = 0; part < 3; ++part)
                for (int t = 0; t < 12; ++t)
                    for (int i = 0; i < 32; ++i) {
                        const std::uint32_t u = float_bits(sb_sample[ch][part][t][i]);
                        for (int byte = 0; byte < 4; ++byte) {
                            hash ^= (u >> (8 * byte)) & 0xffu;
                            hash *= 16777619u;
                        }
                    }
    }
    EXPECT_EQ(hash, 0x03d57a9du) << std::hex << "frames 0x" << whole_frames << " whole, copy " << copy
                                 << ": hash = 0x" << hash;
    }
}

}  // namespace
}  // namespace zuvo
