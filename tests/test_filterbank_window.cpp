// Windowing stage of the analysis filterbank: the window table, the scaling
// of samples into the circular history and the 64 windowed partial sums.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "filterbank/filterbank.h"

namespace zuvo {
namespace {

constexpr float kScale = 1.0f / 32768.0f;

// Deterministic full-range 16-bit noise.
std::vector<std::int16_t> lcg_samples(std::size_t count, std::uint32_t seed) {
    std::vector<std::int16_t> out(count);
    std::uint32_t state = seed;
    for (auto& s : out) {
        state = state * 1664525u + 1013904223u;
        s = static_cast<std::int16_t>(static_cast<std::uint16_t>(state >> 16));
    }
    return out;
}

// Runs one channel block by block; returns the 64 sums of every block.
std::vector<float> window_run(Filterbank& fb, int channel, const std::vector<std::int16_t>& pcm) {
    std::vector<float> y(pcm.size() / 32 * 64);
    const std::int16_t* p = pcm.data();
    for (std::size_t b = 0; b < pcm.size() / 32; ++b) fb.window_block(channel, p, &y[b * 64]);
    return y;
}

TEST(FilterbankWindow, TableHasTheKnownCoefficientsAndSymmetry) {
    const float* w = analysis_window;
    EXPECT_EQ(w[0], 0.0f);
    EXPECT_EQ(w[1], -0.000000477f);
    EXPECT_EQ(w[7], -0.000000954f);
    EXPECT_EQ(w[11], -0.000001431f);
    EXPECT_EQ(w[63], -0.000099182f);
    EXPECT_EQ(w[64], 0.000101566f);
    EXPECT_EQ(w[128], 0.000971317f);
    EXPECT_EQ(w[255], -0.035758972f);
    EXPECT_EQ(w[256], 0.035780907f);
    EXPECT_EQ(w[257], 0.035758972f);
    EXPECT_EQ(w[511], 0.000000477f);

    // A transposed, shifted or mistyped stretch of the table breaks the
    // symmetry of the prototype.
    for (int i = 1; i < 512; ++i) {
        if (i % 64 == 0)
            EXPECT_EQ(w[512 - i], w[i]) << "i = " << i;
        else
            EXPECT_EQ(w[512 - i], -w[i]) << "i = " << i;
    }
}

TEST(FilterbankWindow, SilenceGivesExactZerosUntilTheFirstSample) {
    Filterbank fb;
    std::vector<std::int16_t> pcm(32 * 40, 0);
    pcm[32 * 25 + 7] = 1;  // the smallest non-zero sample, in block 25
    std::vector<float> y = window_run(fb, 0, pcm);
    for (std::size_t b = 0; b < 25; ++b)
        for (int i = 0; i < 64; ++i) ASSERT_EQ(y[b * 64 + i], 0.0f) << "block " << b << " Y[" << i << "]";
    bool any = false;
    for (int i = 0; i < 64; ++i) any = any || y[25 * 64 + i] != 0.0f;
    EXPECT_TRUE(any);

    // The subband samples of silence are exact zeros as well, and positive
    // zeros, so that even their bit patterns are reproducible.
    float zeros[64] = {};
    float row[32];
    for (float& v : row) v = 1.0f;
    Filterbank::matrix_block(zeros, row);
    for (float v : row) EXPECT_TRUE(v == 0.0f && !std::signbit(v));
}

TEST(FilterbankWindow, ImpulseWalksThroughTheWindowAndScalingIsExact) {
    // After a reset the history is silent: an impulse as the first sample of a
    // stream lands at window tap 31, and every further block of 32 zeros moves
    // it 32 taps along the window (Y index modulo 64).
    for (std::int16_t s : {std::int16_t(-32768), std::int16_t(32767), std::int16_t(1000)}) {
        Filterbank fb;
        fb.reset_filterbank();
        std::vector<std::int16_t> pcm(32 * 16, 0);
        pcm[0] = s;
        std::vector<float> y = window_run(fb, 0, pcm);
        const double scaled = static_cast<double>(s) / 32768.0;
        for (int b = 0; b < 16; ++b) {
            const int tap = 31 + 32 * b;
            for (int i = 0; i < 64; ++i) {
                const float expected = i == tap % 64 ? static_cast<float>(scaled * analysis_window[tap]) : 0.0f;
                ASSERT_EQ(y[b * 64 + i], expected) << "s = " << s << ", block " << b << ", Y[" << i << "]";
            }
        }
        // Past the last tap the impulse has left the history.
        const std::int16_t zeros[32] = {};
        const std::int16_t* p = zeros;
        float after[64];
        fb.window_block(0, p, after);
        for (float v : after) EXPECT_EQ(v, 0.0f);
    }

    // Full scale maps exactly: -32768 to -1.0 and 32767 to 0.999969482421875.
    Filterbank fb;
    std::int16_t block[32] = {-32768};
    const std::int16_t* p = block;
    float y[64];
    fb.window_block(0, p, y);
    EXPECT_EQ(y[31], -analysis_window[31]);
    EXPECT_EQ(p, block + 32);
    fb.reset_filterbank();
    block[0] = 32767;
    p = block;
    fb.window_block(0, p, y);
    EXPECT_EQ(y[31], static_cast<float>(0.999969482421875 * static_cast<double>(analysis_window[31])));
}

TEST(FilterbankWindow, CircularHistoryMatchesALinearOneAcrossWraps) {
    // Reference: the whole input kept in a straight line, newest sample
    // first, same operation order (products exact in double, sum in order of
    // the segment, rounded once). 100 blocks wrap the circular history six
    // times; any slip of the offset or of the wrap shows as a mismatch.
    const std::vector<std::int16_t> pcm = lcg_samples(32 * 100, 12345u);
    Filterbank fb;
    std::vector<float> y(64);
    const std::int16_t* p = pcm.data();
    for (int b = 0; b < 100; ++b) {
        fb.window_block(0, p, y.data());
        EXPECT_EQ(fb.offset(0), (512 - 32 * ((b + 1) % 16)) % 512);
        const long newest = 32L * b + 31;
        for (int i = 0; i < 64; ++i) {
            double sum = 0.0;
            for (int j = 0; j < 8; ++j) {
                const long n = newest - (i + 64 * j);
                const double x = n >= 0 ? static_cast<float>(pcm[static_cast<std::size_t>(n)]) * kScale : 0.0;
                sum += x * static_cast<double>(analysis_window[i + 64 * j]);
            }
            ASSERT_EQ(y[i], static_cast<float>(sum)) << "block " << b << " Y[" << i << "]";
        }
    }
    EXPECT_EQ(p, pcm.data() + pcm.size());
    EXPECT_EQ(fb.offset(1), 0);  // the other channel has not moved
}

TEST(FilterbankWindow, ChannelsKeepSeparateHistories) {
    const std::vector<std::int16_t> a = lcg_samples(32 * 40, 1u);
    const std::vector<std::int16_t> b = lcg_samples(32 * 40, 2u);

    Filterbank alone_a;
    Filterbank alone_b;
    const std::vector<float> ya = window_run(alone_a, 0, a);
    const std::vector<float> yb = window_run(alone_b, 0, b);

    // Interleaved block by block, channel 1 three blocks ahead of channel 0
    // so the two offsets differ.
    Filterbank both;
    const std::int16_t* pa = a.data();
    const std::int16_t* pb = b.data();
    std::vector<float> y0(ya.size());
    std::vector<float> y1(yb.size());
    for (int k = 0; k < 3; ++k) both.window_block(1, pb, &y1[k * 64]);
    for (int k = 0; k < 40; ++k) {
        both.window_block(0, pa, &y0[k * 64]);
        if (k + 3 < 40) both.window_block(1, pb, &y1[(k + 3) * 64]);
    }
    EXPECT_EQ(y0, ya);
    EXPECT_EQ(y1, yb);
    EXPECT_EQ(both.offset(0), (512 - 32 * (40 % 16)) % 512);
    EXPECT_EQ(both.offset(1), (512 - 32 * (40 % 16)) % 512);
}

TEST(FilterbankWindow, ResetAndReleaseStartTheNextStreamFromSilence) {
    const std::vector<std::int16_t> loud = lcg_samples(32 * 7, 99u);
    const std::vector<std::int16_t> quiet(32 * 20, 0);
    const std::vector<std::int16_t> probe = lcg_samples(32 * 20, 5u);

    Filterbank fresh;
    const std::vector<float> expected = window_run(fresh, 1, probe);

    Filterbank fb;
    window_run(fb, 0, loud);
    window_run(fb, 1, loud);
    fb.reset_filterbank();
    EXPECT_EQ(fb.offset(0), 0);
    EXPECT_EQ(fb.offset(1), 0);
    for (float v : window_run(fb, 0, quiet)) ASSERT_EQ(v, 0.0f);
    EXPECT_EQ(window_run(fb, 1, probe), expected);

    // A released history is allocated again, silent, on the next block.
    window_run(fb, 1, loud);
    fb.release_filterbank();
    EXPECT_EQ(fb.offset(1), 0);
    EXPECT_EQ(window_run(fb, 1, probe), expected);
    fb.release_filterbank();
    fb.release_filterbank();  // releasing twice is harmless
}

}  // namespace
}  // namespace zuvo
