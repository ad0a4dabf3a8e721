// Scale-factor indices, the joint sum signal, scfsi selection and the writer
// of scfsi and scale factors.
#include <gtest/gtest.h>

#include <cfloat>
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "layer2/scale_factors.h"
#include "test_layer2_support.h"

namespace {

using zuvo::scale_factor_table;

TEST(ScaleIndex, ExamplesAndLargestCoveringIndex) {
    for (int i = 0; i < 63; ++i) EXPECT_EQ(scale_factor_table[i], static_cast<float>(std::pow(2.0, 1.0 - i / 3.0)));
    static zuvo::ChannelSamples samples[2];
    static zuvo::ChannelScaleIndices out[2];
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> exponent(-22.0, 1.5);
    for (int round = 0; round < 30; ++round) {
        float peak[2][3][32];
        for (int c = 0; c < 2; ++c)
            for (int p = 0; p < 3; ++p)
                for (int s = 0; s < 32; ++s) {
                    // Round 0: every table value, its neighbours and the examples; then random peaks.
                    const int n = c * 96 + p * 32 + s;
                    const float v = n < 64 ? scale_factor_table[n] : n < 128 ? scale_factor_table[n - 64] : 1.0f;
                    peak[c][p][s] = round > 0 ? static_cast<float>(std::pow(2.0, exponent(rng)))
                                    : n < 64 ? std::nextafter(v, 0.0f) : n < 128 ? std::nextafter(v, 3.0f) : v;
                    for (int k = 0; k < 12; ++k) samples[c][p][k][s] = (k % 2 ? -0.5f : 0.25f) * peak[c][p][s];
                    samples[c][p][(s + p) % 12][s] = s % 2 ? -peak[c][p][s] : peak[c][p][s];
                    out[c][p][s] = -7;
                }
        if (round == 0) {
            peak[1][2][0] = samples[1][2][2][0] = 2.5f;
            peak[1][2][1] = samples[1][2][3][1] = -1.0000001f;
            peak[1][2][2] = 0.0f;
            for (auto& row : samples[1][2]) row[2] = 0.0f;
            // A sample that is not a number is passed over; an infinite one
            // takes the largest scale factor; the tiniest ones are silence.
            samples[1][2][0][3] = std::nanf("");
            peak[1][2][4] = samples[1][2][6][4] = -std::numeric_limits<float>::infinity();
            const float tiny[3] = {std::numeric_limits<float>::denorm_min(), 1e-20f, std::nextafter(1e-20f, 1.0f)};
            for (int s = 5; s < 8; ++s) {
                peak[1][2][s] = tiny[s - 5];
                for (auto& row : samples[1][2]) row[s] = tiny[s - 5];
            }
        }
        zuvo::compute_scale_indices(samples, out, 2, 30);
        for (int c = 0; c < 2; ++c)
            for (int p = 0; p < 3; ++p)
                for (int s = 0; s < 32; ++s) {
                    int expected = 63;  // the largest index whose scale factor covers the peak, else 0
                    while (expected > 0 && scale_factor_table[expected] < std::fabs(peak[c][p][s])) --expected;
                    ASSERT_EQ(out[c][p][s], s < 30 ? expected : -7) << peak[c][p][s];
                }
        if (round == 0) {
            EXPECT_EQ(out[1][1][0], 3);  // exactly 1.0
            EXPECT_EQ(out[1][2][0], 0);
            EXPECT_EQ(out[1][2][1], 2);
            EXPECT_EQ(out[1][2][2], 63);
            EXPECT_EQ(out[1][2][4], 0);
            EXPECT_EQ(out[1][2][5], 63);
            EXPECT_EQ(out[1][2][6], 63);
            EXPECT_EQ(out[1][2][7], 62);
        }
    }
}

TEST(ScaleIndex, JointSumRoundsOnce) {
    static zuvo::ChannelSamples sb[2];
    static zuvo::ChannelSamples joint;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> d(-2.0f, 2.0f);
    for (int p = 0; p < 3; ++p)
        for (int k = 0; k < 12; ++k)
            for (int s = 0; s < 32; ++s) sb[0][p][k][s] = d(rng), sb[1][p][k][s] = d(rng), joint[p][k][s] = -3.0f;
    sb[0][2][11][5] = sb[1][2][11][5] = FLT_MAX;  // a float sum would overflow
    zuvo::combine_joint(sb, joint, 27);
    for (int p = 0; p < 3; ++p)
        for (int k = 0; k < 12; ++k)
            for (int s = 0; s < 32; ++s) {
                const double sum = (static_cast<double>(sb[0][p][k][s]) + sb[1][p][k][s]) * 0.5;
                ASSERT_EQ(joint[p][k][s], s < 27 ? static_cast<float>(sum) : -3.0f);
            }
    EXPECT_EQ(joint[2][11][5], FLT_MAX);
}

TEST(Scfsi, PatternsAndRewrites) {
    static zuvo::ChannelScaleIndices index[2];
    std::int32_t scfsi[2][32];
    zuvo::CodingParams coding;
    const int examples[][7] = {  // indices in, scfsi, indices out
        {10, 10, 10, 2, 10, 10, 10}, {10, 14, 12, 3, 10, 12, 12}, {20, 21, 20, 2, 20, 20, 20},
        {21, 22, 20, 2, 20, 20, 20}, {20, 22, 19, 1, 20, 20, 19}, {30, 20, 10, 0, 30, 20, 10},
        {10, 14, 15, 3, 10, 14, 14}, {12, 10, 10, 2, 10, 10, 10}, {10, 10, 8, 2, 8, 8, 8}};
    for (const auto& e : examples) {
        coding.nch = 1;
        coding.sblimit = 1;
        for (int p = 0; p < 3; ++p) index[0][p][0] = e[p];
        zuvo::select_scfsi(index, scfsi, coding);
        EXPECT_EQ(scfsi[0][0], e[3]) << e[0] << "," << e[1] << "," << e[2];
        for (int p = 0; p < 3; ++p) EXPECT_EQ(index[0][p][0], e[4 + p]) << e[0] << "," << e[1] << "," << e[2];
    }
    // Random indices: a part may get a larger scale factor than its own,
    // never a smaller one; the parts scfsi says share one are equal; nothing
    // beyond nch and sblimit is touched.
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> any(0, 63), near(-4, 4);
    static zuvo::ChannelScaleIndices before[2];
    for (int round = 0; round < 300; ++round) {
        for (int c = 0; c < 2; ++c)
            for (int s = 0; s < 32; ++s) {
                const int base = any(rng);
                for (int p = 0; p < 3; ++p) before[c][p][s] = index[c][p][s] = std::min(63, std::max(0, base + near(rng)));
                scfsi[c][s] = -1;
            }
        coding.nch = 1 + round % 2;
        coding.sblimit = round % 3 ? 30 : 8;
        zuvo::select_scfsi(index, scfsi, coding);
        for (int c = 0; c < 2; ++c)
            for (int s = 0; s < 32; ++s) {
                const int i[3] = {index[c][0][s], index[c][1][s], index[c][2][s]};
                if (c >= coding.nch || s >= coding.sblimit) {
                    ASSERT_EQ(scfsi[c][s], -1);
                    for (int p = 0; p < 3; ++p) ASSERT_EQ(i[p], before[c][p][s]);
                    continue;
                }
                for (int p = 0; p < 3; ++p) ASSERT_LE(i[p], before[c][p][s]);
                const int f = scfsi[c][s];
                ASSERT_TRUE(f >= 0 && f <= 3);
                ASSERT_TRUE((f != 1 && f != 2) || i[0] == i[1]);
                ASSERT_TRUE((f != 2 && f != 3) || i[1] == i[2]);
                ASSERT_TRUE(f != 0 || (i[0] == before[c][0][s] && i[1] == before[c][1][s] && i[2] == before[c][2][s]));
            }
    }
}

TEST(ScaleFactorWriter, BitsPerScfsiAndSilence) {
    static zuvo::ChannelScaleIndices index[2];
    std::int32_t allocation[2][32] = {}, scfsi[2][32] = {};
    zuvo::CodingParams coding;
    coding.nch = 2;
    coding.sblimit = coding.bound = 27;
    zuvo::BitWriter writer;
    ASSERT_TRUE(writer.init());
    const std::size_t bits[4] = {2 + 18, 2 + 12, 2 + 6, 2 + 12};  // 3, 2, 1, 2 scale factors
    for (int value = 0; value < 4; ++value) {
        allocation[1][5] = 3;
        scfsi[1][5] = value;
        index[1][0][5] = 11, index[1][1][5] = 22, index[1][2][5] = 63;  // a silent third part
        zuvo::write_scale_factors(allocation, scfsi, index, coding, writer);
        zuvo_test::WrittenBits out(writer);
        ASSERT_EQ(out.count(), bits[value]);
        EXPECT_EQ(out.read(2), static_cast<std::uint32_t>(value));
        EXPECT_EQ(out.read(6), 11u);
        if (value == 0) {
            EXPECT_EQ(out.read(6), 22u);
        }
        if (value != 2) {
            EXPECT_EQ(out.read(6), 62u);  // the stream has no index 63
        }
    }
    EXPECT_EQ(index[1][2][5], 63);
    allocation[1][5] = 0;  // not coded: nothing written
    zuvo::write_scale_factors(allocation, scfsi, index, coding, writer);
    EXPECT_EQ(zuvo_test::WrittenBits(writer).count(), 0u);
}

}  // namespace
