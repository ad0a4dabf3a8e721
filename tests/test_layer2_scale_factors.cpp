// Scale-factor indices, the joint sum signal, scfsi selection and the writer
// of scfsi and scale factors.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "layer2/scale_factors.h"
#include "test_layer2_support.h"

namespace {

using zuvo::ChannelSamples;
using zuvo::ChannelScaleIndices;
using zuvo::scale_factor_table;

// The largest index whose scale factor still covers the peak; 0 when none does.
int covering_index(float peak) {
    for (int i = 63; i >= 0; --i) {
        if (scale_factor_table[i] >= peak) return i;
    }
    return 0;
}

TEST(ScaleIndex, TableAndExamples) {
    for (int i = 0; i < 63; ++i) {
        EXPECT_EQ(scale_factor_table[i], static_cast<float>(std::pow(2.0, 1.0 - i / 3.0))) << "entry " << i;
        EXPECT_GT(scale_factor_table[i], scale_factor_table[i + 1]) << "entry " << i;
    }
    EXPECT_EQ(scale_factor_table[63], 1e-20f);

    static ChannelSamples samples[2];
    static ChannelScaleIndices out[2];
    for (auto& c : samples)
        for (auto& p : c)
            for (auto& k : p)
                for (float& v : k) v = 0.0f;
    for (auto& c : out)
        for (auto& p : c)
            for (auto& v : p) v = -7;

    samples[0][0][11][1] = 2.5f;        // peak at the last sample of the part
    samples[0][0][0][2] = 1.0f;
    samples[0][0][5][3] = -1.0f;        // a negative peak counts by its magnitude
    samples[0][0][3][4] = 1.0000001f;
    samples[0][0][4][4] = 0.5f;         // smaller samples do not matter
    samples[0][1][6][1] = 0.3f;         // the parts are independent
    samples[0][0][0][20] = 9.0f;        // beyond sblimit: not looked at
    samples[1][0][0][0] = 9.0f;         // beyond the channel count

    zuvo::compute_scale_indices(samples, out, 1, 20);
    EXPECT_EQ(out[0][0][0], 63);  // twelve zero samples
    EXPECT_EQ(out[0][0][1], 0);
    EXPECT_EQ(out[0][0][2], 3);
    EXPECT_EQ(out[0][0][3], 3);
    EXPECT_EQ(out[0][0][4], 2);
    EXPECT_EQ(out[0][1][1], covering_index(0.3f));
    EXPECT_EQ(out[0][2][1], 63);
    EXPECT_EQ(out[0][0][20], -7);
    EXPECT_EQ(out[1][0][0], -7);
}

TEST(ScaleIndex, IsTheLargestCoveringIndex) {
    std::vector<float> peaks = {0.0f, 1e-30f, 1e-20f, 2e-20f, 2.0f, std::nextafter(2.0f, 3.0f), 1e30f,
                                std::numeric_limits<float>::infinity(), FLT_MIN};
    for (int i = 0; i < 64; ++i) {
        const float v = scale_factor_table[i];
        peaks.push_back(v);
        peaks.push_back(std::nextafter(v, 0.0f));
        peaks.push_back(std::nextafter(v, 10.0f));
    }
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> exponent(-22.0, 1.5);
    while (peaks.size() < 6000) peaks.push_back(static_cast<float>(std::pow(2.0, exponent(rng))));

    static ChannelSamples samples[2];
    static ChannelScaleIndices out[2];
    std::size_t next = 0;
    while (next < peaks.size()) {
        // One peak per (channel, part, subband), placed at a varying sample
        // among smaller ones of either sign.
        std::size_t base = next;
        for (int c = 0; c < 2; ++c)
            for (int p = 0; p < 3; ++p)
                for (int s = 0; s < 32; ++s) {
                    const float peak = next < peaks.size() ? peaks[next++] : 0.0f;
                    for (int k = 0; k < 12; ++k) samples[c][p][k][s] = (k % 2 ? -0.5f : 0.25f) * peak;
                    samples[c][p][(s + p) % 12][s] = (s % 2) ? -peak : peak;
                }
        zuvo::compute_scale_indices(samples, out, 2, 32);
        std::size_t i = base;
        for (int c = 0; c < 2; ++c)
            for (int p = 0; p < 3; ++p)
                for (int s = 0; s < 32 && i < peaks.size(); ++s, ++i)
                    ASSERT_EQ(out[c][p][s], covering_index(peaks[i])) << "peak " << peaks[i];
    }
}

TEST(ScaleIndex, JointSumRoundsOnce) {
    static ChannelSamples sb[2];
    static ChannelSamples joint;
    for (auto& p : joint)
        for (auto& k : p)
            for (float& v : k) v = -3.0f;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> d(-2.0f, 2.0f);
    for (auto& c : sb)
        for (auto& p : c)
            for (auto& k : p)
                for (float& v : k) v = d(rng);
    // The float sum would overflow; the sum in double does not.
    sb[0][2][11][5] = FLT_MAX;
    sb[1][2][11][5] = FLT_MAX;

    zuvo::combine_joint(sb, joint, 27);
    for (int p = 0; p < 3; ++p)
        for (int k = 0; k < 12; ++k)
            for (int s = 0; s < 32; ++s) {
                if (s >= 27) {
                    EXPECT_EQ(joint[p][k][s], -3.0f);
                    continue;
                }
                const double expected = (static_cast<double>(sb[0][p][k][s]) + sb[1][p][k][s]) * 0.5;
                ASSERT_EQ(joint[p][k][s], static_cast<float>(expected)) << p << " " << k << " " << s;
            }
    EXPECT_EQ(joint[2][11][5], FLT_MAX);
}

struct Selection {
    int scfsi;
    int i0, i1, i2;
};

Selection select(int i0, int i1, int i2) {
    static ChannelScaleIndices index[2];
    static std::int32_t scfsi[2][32];
    index[0][0][0] = i0;
    index[0][1][0] = i1;
    index[0][2][0] = i2;
    zuvo::CodingParams coding;
    coding.nch = 1;
    coding.sblimit = 1;
    zuvo::select_scfsi(index, scfsi, coding);
    return {scfsi[0][0], index[0][0][0], index[0][1][0], index[0][2][0]};
}

void expect_selection(int i0, int i1, int i2, Selection expected) {
    const Selection got = select(i0, i1, i2);
    EXPECT_EQ(got.scfsi, expected.scfsi) << i0 << "," << i1 << "," << i2;
    EXPECT_EQ(got.i0, expected.i0) << i0 << "," << i1 << "," << i2;
    EXPECT_EQ(got.i1, expected.i1) << i0 << "," << i1 << "," << i2;
    EXPECT_EQ(got.i2, expected.i2) << i0 << "," << i1 << "," << i2;
}

TEST(Scfsi, PatternsAndRewrites) {
    expect_selection(10, 10, 10, {2, 10, 10, 10});
    expect_selection(10, 14, 12, {3, 10, 12, 12});
    expect_selection(20, 21, 20, {2, 20, 20, 20});
    expect_selection(21, 22, 20, {2, 20, 20, 20});  // the larger scale factor of parts 1 and 3
    expect_selection(20, 22, 19, {1, 20, 20, 19});
    expect_selection(30, 20, 10, {0, 30, 20, 10});
    expect_selection(10, 14, 15, {3, 10, 14, 14});
    expect_selection(12, 10, 10, {2, 10, 10, 10});
    expect_selection(10, 10, 8, {2, 8, 8, 8});
    expect_selection(63, 63, 63, {2, 63, 63, 63});
}

TEST(Scfsi, NoPartIsOverloadedAndSharingMatchesScfsi) {
    static ChannelScaleIndices index[2];
    static ChannelScaleIndices before[2];
    static std::int32_t scfsi[2][32];
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> any(0, 63);
    std::uniform_int_distribution<int> near(-4, 4);
    for (int round = 0; round < 300; ++round) {
        for (int c = 0; c < 2; ++c)
            for (int s = 0; s < 32; ++s) {
                // Mostly close indices, so that every pattern occurs.
                const int base = any(rng);
                for (int p = 0; p < 3; ++p) {
                    const int v = (round % 4 == 0) ? any(rng) : base + near(rng);
                    index[c][p][s] = v < 0 ? 0 : (v > 63 ? 63 : v);
                }
                scfsi[c][s] = -1;
            }
        std::memcpy(before, index, sizeof index);
        zuvo::CodingParams coding;
        coding.nch = (round % 2) ? 2 : 1;
        coding.sblimit = (round % 3) ? 30 : 8;
        zuvo::select_scfsi(index, scfsi, coding);
        for (int c = 0; c < 2; ++c)
            for (int s = 0; s < 32; ++s) {
                const bool coded = c < coding.nch && s < coding.sblimit;
                if (!coded) {
                    EXPECT_EQ(scfsi[c][s], -1);
                    for (int p = 0; p < 3; ++p) EXPECT_EQ(index[c][p][s], before[c][p][s]);
                    continue;
                }
                const int i0 = index[c][0][s], i1 = index[c][1][s], i2 = index[c][2][s];
                // A part may get a larger scale factor than its own, never a smaller one.
                for (int p = 0; p < 3; ++p) ASSERT_LE(index[c][p][s], before[c][p][s]);
                switch (scfsi[c][s]) {
                    case 0: ASSERT_EQ(i0, before[c][0][s]); ASSERT_EQ(i1, before[c][1][s]); break;
                    case 1: ASSERT_EQ(i0, i1); break;
                    case 2: ASSERT_EQ(i0, i1); ASSERT_EQ(i1, i2); break;
                    case 3: ASSERT_EQ(i1, i2); break;
                    default: FAIL() << "scfsi " << scfsi[c][s];
                }
            }
    }
}

TEST(ScaleFactorWriter, BitsPerScfsiOrderAndSilence) {
    static ChannelScaleIndices index[2];
    std::int32_t allocation[2][32] = {};
    std::int32_t scfsi[2][32] = {};
    zuvo::CodingParams coding;
    coding.nch = 1;
    coding.sblimit = 27;
    coding.bound = 27;
    zuvo::BitWriter writer;
    ASSERT_TRUE(writer.init());

    // One allocated subband: 2 bits of scfsi, then 3, 2, 1 or 2 indices.
    const std::size_t expected_bits[4] = {2 + 18, 2 + 12, 2 + 6, 2 + 12};
    for (int value = 0; value < 4; ++value) {
        allocation[0][5] = 3;
        scfsi[0][5] = value;
        index[0][0][5] = 11;
        index[0][1][5] = 22;
        index[0][2][5] = 33;
        zuvo::write_scale_factors(allocation, scfsi, index, coding, writer);
        zuvo_test::WrittenBits bits(writer);
        ASSERT_EQ(bits.count(), expected_bits[value]) << "scfsi " << value;
        EXPECT_EQ(bits.read(2), static_cast<std::uint32_t>(value));
        EXPECT_EQ(bits.read(6), 11u);
        if (value == 0) {
            EXPECT_EQ(bits.read(6), 22u);
        }
        if (value != 2) {
            EXPECT_EQ(bits.read(6), 33u);
        }
    }

    // Nothing allocated: nothing written, whatever scfsi says.
    allocation[0][5] = 0;
    zuvo::write_scale_factors(allocation, scfsi, index, coding, writer);
    EXPECT_EQ(zuvo_test::WrittenBits(writer).count(), 0u);

    // A silent part's index 63 goes out as 62.
    allocation[0][0] = 1;
    scfsi[0][0] = 2;
    index[0][0][0] = 63;
    zuvo::write_scale_factors(allocation, scfsi, index, coding, writer);
    {
        zuvo_test::WrittenBits bits(writer);
        ASSERT_EQ(bits.count(), 8u);
        EXPECT_EQ(bits.read(2), 2u);
        EXPECT_EQ(bits.read(6), 62u);
    }
    EXPECT_EQ(index[0][0][0], 63);  // the index itself is kept

    // Two channels: all scfsi first (by subband, then channel), then all
    // scale factors in the same order; channel 1 of subband 1 is not coded.
    coding.nch = 2;
    for (auto& row : allocation)
        for (auto& a : row) a = 0;
    allocation[0][0] = 1;
    allocation[1][0] = 2;
    allocation[0][1] = 1;
    scfsi[0][0] = 2;
    scfsi[1][0] = 1;
    scfsi[0][1] = 2;
    scfsi[1][1] = 0;
    index[0][0][0] = 1;
    index[1][0][0] = 2;
    index[1][2][0] = 3;
    index[0][0][1] = 4;
    zuvo::write_scale_factors(allocation, scfsi, index, coding, writer);
    zuvo_test::WrittenBits bits(writer);
    ASSERT_EQ(bits.count(), 3u * 2 + 4u * 6);
    EXPECT_EQ(bits.read(2), 2u);
    EXPECT_EQ(bits.read(2), 1u);
    EXPECT_EQ(bits.read(2), 2u);
    EXPECT_EQ(bits.read(6), 1u);
    EXPECT_EQ(bits.read(6), 2u);
    EXPECT_EQ(bits.read(6), 3u);
    EXPECT_EQ(bits.read(6), 4u);
}

}  // namespace
