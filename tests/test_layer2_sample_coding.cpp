// Quantization, the allocation fields and the sample codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "layer2/sample_coding.h"
#include "test_layer2_support.h"

namespace {

using zuvo::quantize_sample;

TEST(Quantize, NearestLevelAndSaturation) {
    EXPECT_EQ(quantize_sample(0.0, 0, 3), 1u);    // the middle of three steps
    EXPECT_EQ(quantize_sample(-1.0, 4, 15), 0u);
    EXPECT_EQ(quantize_sample(0.5, 5, 31), 23u);  // 7 with the sign bit 16
    EXPECT_EQ(quantize_sample(-0.5, 5, 31), 7u);
    std::mt19937 rng(31);
    std::uniform_real_distribution<double> inside(-1.0, 1.0);
    const double inf = std::numeric_limits<double>::infinity();
    for (int q = 0; q < 17; ++q) {
        const int n = q == 0 ? 3 : q == 1 ? 5 : q == 2 ? 7 : q == 3 ? 9 : (1 << q) - 1;
        // Inside the scale factor a sample lands on the nearest of the n
        // levels a decoder reconstructs, (2v - (n - 1)) / n.
        for (int i = 0; i < 4000; ++i) {
            const double x = inside(rng);
            const std::uint32_t v = quantize_sample(x, q, n);
            ASSERT_LE(v, static_cast<std::uint32_t>(n - 1));
            ASSERT_LE(std::fabs(x - (2.0 * v - (n - 1)) / n), 1.0 / n * (1.0 + 1e-3)) << "class " << q << " x " << x;
        }
        // Beyond it the code saturates at the outermost step; codes never
        // decrease as the sample grows.
        for (double x : {1.0, 1.0000001, 1.5, 1e300, inf}) EXPECT_EQ(quantize_sample(x, q, n), n - 1u) << q;
        for (double x : {-1.0000001, -1.5, -1e300, -inf}) EXPECT_EQ(quantize_sample(x, q, n), 0u) << q;
        EXPECT_LE(quantize_sample(std::nan(""), q, n), n - 1u);
        std::uint32_t previous = 0;
        for (double x = -3.0; x <= 3.0; x += 1.0 / 4096) {
            ASSERT_GE(quantize_sample(x, q, n), previous) << "class " << q << " x " << x;
            previous = quantize_sample(x, q, n);
        }
    }
}

struct Frame {
    zuvo::AllocTable table{};
    zuvo::CodingParams coding;
    std::int32_t allocation[2][32] = {};
    Frame(int nch, int sblimit, int bound) {
        zuvo_test::make_table_27(table);
        coding.alloc = &table;
        coding.nch = nch;
        coding.sblimit = sblimit;
        coding.bound = bound;
    }
};

TEST(Quantize, SamplesAndScaleFactorsOfEachSubband) {
    static zuvo::ChannelSamples sb[2], joint;
    static zuvo::ChannelScaleIndices index[2], j_index;
    static zuvo::ChannelCodes codes[2];
    for (auto& c : codes)
        for (auto& p : c)
            for (auto& k : p)
                for (auto& v : k) v = 0xAAAA;
    // Joint from subband 4. 31 steps (class 5): index 4 of subband 1, index 6
    // of subband 6. Channel samples and indices are poisoned where the joint
    // ones count, and the other way round.
    Frame f(2, 27, 4);
    f.allocation[0][1] = f.allocation[1][1] = 4;
    f.allocation[0][6] = f.allocation[1][6] = 6;
    for (int p = 0; p < 3; ++p) {
        index[0][p][1] = 3, index[1][p][1] = 6, j_index[p][1] = 60;  // 1.0, 0.5
        index[0][p][6] = index[1][p][6] = 60, j_index[p][6] = 6;
        for (int k = 0; k < 12; ++k) {
            sb[0][p][k][1] = 0.5f, sb[1][p][k][1] = 0.25f, joint[p][k][1] = -0.9f;
            sb[0][p][k][6] = sb[1][p][k][6] = -0.9f, joint[p][k][6] = 0.25f;
        }
    }
    zuvo::quantize(index, sb, j_index, joint, f.allocation, codes, f.coding);
    for (int p = 0; p < 3; ++p)
        for (int k = 0; k < 12; ++k) {
            EXPECT_TRUE(codes[0][p][k][1] == 23 && codes[1][p][k][1] == 23 && codes[0][p][k][6] == 23);  // all 0.5
            for (int s = 27; s < 32; ++s) EXPECT_TRUE(codes[0][p][k][s] == 0 && codes[1][p][k][s] == 0);
        }
}

TEST(Quantize, FrameAgreesWithTheScalarQuantizerSampleBySample) {
    // Every subband of a frame, quantized side by side, against
    // quantize_sample on sample / scale factor: random allocations over the
    // whole table, random scale indices (63, silence, included), samples
    // inside and beyond their scale factor and non-numbers, for single
    // channel, stereo and joint stereo from several bounds.
    static zuvo::ChannelSamples sb[2], joint;
    static zuvo::ChannelScaleIndices index[2], j_index;
    static zuvo::ChannelCodes codes[2];
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> unit(-1.2f, 1.2f);
    const float odd[] = {std::nanf(""), std::numeric_limits<float>::infinity(), -1e30f, 0.0f, -0.0f, 1.0f, -1.0f};
    auto sample = [&]() { return rng() % 16 == 0 ? odd[rng() % 7] : unit(rng); };
    const int shapes[][3] = {{1, 27, 27}, {2, 27, 27}, {2, 27, 4}, {2, 27, 16}, {2, 20, 8}, {2, 27, 0}, {1, 8, 8}, {2, 12, 4}};
    for (const auto& shape : shapes) {
        Frame f(shape[0], shape[1], shape[2]);
        for (int round = 0; round < 20; ++round) {
            for (int c = 0; c < 2; ++c)
                for (int s = 0; s < 32; ++s) f.allocation[c][s] = static_cast<std::int32_t>(rng() % 16);
            for (int p = 0; p < 3; ++p)
                for (int s = 0; s < 32; ++s) {
                    index[0][p][s] = static_cast<std::int32_t>(rng() % 64);
                    index[1][p][s] = static_cast<std::int32_t>(rng() % 64);
                    j_index[p][s] = static_cast<std::int32_t>(rng() % 64);
                    for (int k = 0; k < 12; ++k) {
                        sb[0][p][k][s] = sample(), sb[1][p][k][s] = sample(), joint[p][k][s] = sample();
                        // Scaled to the scale factor, so that most land inside it.
                        sb[0][p][k][s] *= zuvo::scale_factor_table[index[0][p][s]];
                        sb[1][p][k][s] *= zuvo::scale_factor_table[index[1][p][s]];
                        joint[p][k][s] *= zuvo::scale_factor_table[j_index[p][s]];
                    }
                }
            zuvo::quantize(index, sb, j_index, joint, f.allocation, codes, f.coding);
            const int nch = shape[0], sblimit = shape[1], bound = nch == 2 ? shape[2] : sblimit;
            for (int c = 0; c < nch; ++c)
                for (int s = 0; s < sblimit; ++s) {
                    if (c == 1 && s >= bound) continue;  // coded once, in channel 0
                    const int i = f.allocation[c][s] & ((1 << f.table[s][0].code_bits) - 1);
                    if (i == 0) continue;
                    const zuvo::AllocEntry& e = f.table[s][i];
                    for (int p = 0; p < 3; ++p) {
                        const bool j = s >= bound;
                        const float scale = zuvo::scale_factor_table[j ? j_index[p][s] : index[c][p][s]];
                        for (int k = 0; k < 12; ++k) {
                            const float v = j ? joint[p][k][s] : sb[c][p][k][s];
                            const double x = static_cast<double>(v) / static_cast<double>(scale);
                            ASSERT_EQ(codes[c][p][k][s], quantize_sample(x, e.quant_class, e.steps))
                                << "channel " << c << " subband " << s << " part " << p << " sample " << v;
                        }
                    }
                }
        }
    }
}

TEST(SampleWriter, FieldsAndCodes) {
    zuvo::BitWriter writer;
    ASSERT_TRUE(writer.init());
    // Joint from subband 4 of 27: two allocation fields in subbands 0..3, then one each.
    Frame f(2, 27, 4);
    for (int s = 0; s < 32; ++s) f.allocation[0][s] = s % 3, f.allocation[1][s] = 1 + s % 2;
    zuvo::write_allocation(f.allocation, f.coding, writer);
    zuvo_test::WrittenBits fields(writer);
    ASSERT_EQ(fields.count(), 8u * 4 + 7 * 4 + 12 * 3 + 4 * 2);  // 8 + 23 fields
    for (int s = 0; s < 27; ++s) {
        EXPECT_EQ(fields.read(f.table[s][0].code_bits), s % 3u) << s;
        if (s < 4) {
            EXPECT_EQ(fields.read(4), 1u + s % 2) << s;
        }
    }

    // 3 steps: codes 2, 0, 1 form the 5-bit codeword 2 + 3 * (0 + 3 * 1);
    // an out-of-range code is limited to its class. Subband 1 is not coded.
    static zuvo::ChannelCodes codes[2];
    Frame g(1, 2, 2);
    g.allocation[0][0] = 1;
    codes[0][0][0][0] = 2, codes[0][0][2][0] = 1, codes[0][0][3][0] = 7;
    zuvo::write_samples(codes, g.allocation, g.coding, writer);
    zuvo_test::WrittenBits samples(writer);
    ASSERT_EQ(samples.count(), 3u * 4 * 5);
    EXPECT_EQ(samples.read(5), 11u);
    EXPECT_EQ(samples.read(5), 2u);

    // Order: part, group of three samples, subband, channel (channel 1 only
    // below the bound). 7 steps: three 3-bit codes per group.
    Frame h(2, 2, 1);
    h.allocation[0][0] = h.allocation[1][0] = h.allocation[0][1] = h.allocation[1][1] = 2;
    for (int c = 0; c < 2; ++c)
        for (int p = 0; p < 3; ++p)
            for (int j = 0; j < 12; ++j)
                for (int s = 0; s < 2; ++s) codes[c][p][j][s] = (c * 5 + p * 3 + j + s * 2) % 7u;
    zuvo::write_samples(codes, h.allocation, h.coding, writer);
    zuvo_test::WrittenBits ordered(writer);
    ASSERT_EQ(ordered.count(), 3u * 12 * 3 * 3);
    for (int p = 0; p < 3; ++p)
        for (int j0 = 0; j0 < 12; j0 += 3)
            for (int s = 0; s < 2; ++s)
                for (int c = 0; c < 2 - s; ++c)
                    for (int j = j0; j < j0 + 3; ++j) ASSERT_EQ(ordered.read(3), codes[c][p][j][s]) << p << j << s << c;

    // Every class of the table (grouped, three codes in one field, and codes
    // wider than 10 bits), random codes beyond their class included, for
    // single channel, stereo and joint stereo: the bits of the direct
    // order, a codeword per group or each code limited to its class.
    std::mt19937 rng(5);
    const int shapes[][3] = {{1, 27, 27}, {2, 27, 27}, {2, 27, 4}, {2, 20, 12}};
    for (const auto& shape : shapes) {
        Frame d(shape[0], shape[1], shape[2]);
        for (int round = 0; round < 8; ++round) {
            for (int c = 0; c < 2; ++c)
                for (int s = 0; s < 32; ++s) d.allocation[c][s] = static_cast<std::int32_t>(rng() % 16);
            for (auto& channel : codes)
                for (auto& part : channel)
                    for (auto& row : part)
                        for (auto& v : row) v = rng() % 8 == 0 ? rng() : rng() % 65536;
            zuvo::write_samples(codes, d.allocation, d.coding, writer);
            zuvo_test::WrittenBits written(writer);
            zuvo::BitWriter direct;
            ASSERT_TRUE(direct.init());
            for (int p = 0; p < 3; ++p)
                for (int j0 = 0; j0 < 12; j0 += 3)
                    for (int s = 0; s < shape[1]; ++s)
                        for (int c = 0; c < (s < shape[2] ? shape[0] : 1); ++c) {
                            const int i = d.allocation[c][s] & ((1 << d.table[s][0].code_bits) - 1);
                            if (i == 0) continue;
                            const zuvo::AllocEntry& e = d.table[s][i];
                            std::uint32_t v[3];
                            for (int j = 0; j < 3; ++j) v[j] = std::min(codes[c][p][j0 + j][s], e.steps - 1u);
                            if (e.codewords == 1) {
                                direct.put_bits(static_cast<std::int32_t>(v[0] + e.steps * (v[1] + e.steps * v[2])), e.code_bits);
                            } else {
                                for (std::uint32_t code : v) direct.put_bits(static_cast<std::int32_t>(code), e.code_bits);
                            }
                        }
            zuvo_test::WrittenBits expected(direct);
            ASSERT_EQ(written.count(), expected.count()) << shape[2] << " round " << round;
            ASSERT_EQ(written.bytes(), expected.bytes()) << shape[2] << " round " << round;
        }
    }

    g.coding.alloc = nullptr;  // no table: nothing written
    zuvo::write_allocation(g.allocation, g.coding, writer);
    zuvo::write_samples(codes, g.allocation, g.coding, writer);
    EXPECT_EQ(zuvo_test::WrittenBits(writer).count(), 0u);
}

}  // namespace
