// Quantization, the allocation fields and the sample codes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "layer2/sample_coding.h"
#include "test_layer2_support.h"

namespace {

using zuvo::quantize_sample;

// Steps of each quantizer class.
int steps_of(int q) {
    static const int steps[17] = {3, 5, 7, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383, 32767, 65535};
    return steps[q];
}

// The value a decoder reconstructs for code v of an n-step quantizer.
double level(std::uint32_t v, int n) { return (2.0 * v - (n - 1)) / n; }

TEST(Quantize, Examples) {
    EXPECT_EQ(quantize_sample(0.0, 0, 3), 1u);        // the middle of three steps
    EXPECT_EQ(quantize_sample(-1.0, 4, 15), 0u);
    EXPECT_EQ(quantize_sample(0.5, 5, 31), 23u);      // 7 with the sign bit 16
    EXPECT_EQ(quantize_sample(-0.5, 5, 31), 7u);
    EXPECT_EQ(quantize_sample(0.0, 16, 65535), 32767u);
}

TEST(Quantize, NearestLevelAndSaturation) {
    std::mt19937 rng(31);
    std::uniform_real_distribution<double> inside(-1.0, 1.0);
    const double inf = std::numeric_limits<double>::infinity();
    for (int q = 0; q < 17; ++q) {
        const int n = steps_of(q);
        const std::uint32_t top = static_cast<std::uint32_t>(n - 1);
        // Inside the scale factor every sample lands on its nearest level.
        for (int i = 0; i < 4000; ++i) {
            const double x = inside(rng);
            const std::uint32_t v = quantize_sample(x, q, n);
            ASSERT_LE(v, top) << "class " << q << " x " << x;
            ASSERT_LE(std::fabs(x - level(v, n)), 1.0 / n * (1.0 + 1e-3)) << "class " << q << " x " << x;
        }
        // Beyond it the code saturates at the outermost step.
        for (double x : {1.0, 1.0000001, 1.5, 2.0, 1e6, 1e300, inf}) EXPECT_EQ(quantize_sample(x, q, n), top) << q;
        for (double x : {-1.0, -1.0000001, -1.5, -2.0, -1e6, -1e300, -inf}) EXPECT_EQ(quantize_sample(x, q, n), 0u) << q;
        EXPECT_LE(quantize_sample(std::nan(""), q, n), top);
        // And the codes never decrease as the sample grows.
        std::uint32_t previous = 0;
        for (double x = -3.0; x <= 3.0; x += 1.0 / 4096) {
            const std::uint32_t v = quantize_sample(x, q, n);
            ASSERT_GE(v, previous) << "class " << q << " x " << x;
            previous = v;
        }
    }
}

struct Frame {
    zuvo::MpaHeader header{};
    zuvo::AllocTable table{};
    zuvo::CodingParams coding;
    std::int32_t allocation[2][32] = {};

    Frame(int nch, int sblimit, int bound) {
        zuvo_test::make_table_27(table);
        coding.header = &header;
        coding.alloc = &table;
        coding.nch = nch;
        coding.sblimit = sblimit;
        coding.bound = bound;
    }
};

TEST(Quantize, SamplesAndScaleFactorsOfEachSubband) {
    static zuvo::ChannelSamples sb[2];
    static zuvo::ChannelSamples joint;
    static zuvo::ChannelScaleIndices index[2];
    static zuvo::ChannelScaleIndices j_index;
    static zuvo::ChannelCodes codes[2];
    for (auto& c : codes)
        for (auto& p : c)
            for (auto& k : p)
                for (auto& v : k) v = 0xAAAA;

    // Joint stereo from subband 4. The 31-step quantizer (class 5) is index 4
    // in subband 1 and index 6 in subband 6; index 4 of subband 11 is the
    // 9-step one (class 3).
    Frame f(2, 27, 4);
    f.allocation[0][1] = 4;
    f.allocation[1][1] = 4;
    f.allocation[0][6] = 6;
    f.allocation[1][6] = 6;
    f.allocation[0][11] = 4;
    f.allocation[1][11] = 4;
    for (int p = 0; p < 3; ++p) {
        for (int c = 0; c < 2; ++c) {
            index[c][p][1] = 3 + 3 * c;                  // 1.0 and 0.5
            index[c][p][6] = 60;                         // must not be used above the bound
            index[c][p][11] = 60;
        }
        j_index[p][6] = 6;                               // 0.5
        j_index[p][11] = 3;                              // 1.0
        j_index[p][1] = 60;                              // must not be used below the bound
        for (int k = 0; k < 12; ++k) {
            sb[0][p][k][1] = 0.5f;
            sb[1][p][k][1] = 0.25f;
            sb[0][p][k][6] = sb[1][p][k][6] = -0.9f;     // not used above the bound
            joint[p][k][6] = 0.25f;
            joint[p][k][11] = -0.5f;
        }
    }
    zuvo::quantize(index, sb, j_index, joint, f.allocation, codes, f.coding);
    for (int p = 0; p < 3; ++p)
        for (int k = 0; k < 12; ++k) {
            EXPECT_EQ(codes[0][p][k][1], 23u);             // 0.5 / 1.0 in 31 steps
            EXPECT_EQ(codes[1][p][k][1], 23u);             // 0.25 / 0.5
            EXPECT_EQ(codes[0][p][k][6], 23u);             // joint 0.25 / 0.5
            EXPECT_EQ(codes[0][p][k][11], quantize_sample(-0.5, 3, 9));
            for (int c = 0; c < 2; ++c)
                for (int s = 27; s < 32; ++s) EXPECT_EQ(codes[c][p][k][s], 0u) << c << " " << s;
        }
}

TEST(SampleWriter, AllocationFields) {
    // Joint stereo from subband 4 of 27: two fields in each of subbands 0..3,
    // then one per subband, each as wide as the subband's field.
    Frame f(2, 27, 4);
    for (int s = 0; s < 32; ++s) {
        const int width = f.table[s][0].code_bits;
        f.allocation[0][s] = s % (1 << (width > 0 ? width : 1));
        f.allocation[1][s] = (s + 1) % (1 << (width > 0 ? width : 1));
    }
    zuvo::BitWriter writer;
    ASSERT_TRUE(writer.init());
    zuvo::write_allocation(f.allocation, f.coding, writer);
    zuvo_test::WrittenBits bits(writer);
    ASSERT_EQ(bits.count(), static_cast<std::size_t>(8 * 4 + 7 * 4 + 12 * 3 + 4 * 2));
    int fields = 0;
    for (int s = 0; s < 27; ++s) {
        const int width = f.table[s][0].code_bits;
        EXPECT_EQ(bits.read(width), static_cast<std::uint32_t>(f.allocation[0][s])) << s;
        ++fields;
        if (s < 4) {
            EXPECT_EQ(bits.read(width), static_cast<std::uint32_t>(f.allocation[1][s])) << s;
            ++fields;
        }
    }
    EXPECT_EQ(fields, 8 + 23);

    // Single channel: one field per subband; an empty subband still has its field.
    Frame mono(1, 27, 27);
    mono.allocation[1][0] = 5;  // not a coded channel
    zuvo::write_allocation(mono.allocation, mono.coding, writer);
    EXPECT_EQ(zuvo_test::WrittenBits(writer).count(), static_cast<std::size_t>(88));

    // No table: nothing is written.
    mono.coding.alloc = nullptr;
    zuvo::write_allocation(mono.allocation, mono.coding, writer);
    zuvo::write_samples(nullptr, mono.allocation, mono.coding, writer);
    EXPECT_EQ(zuvo_test::WrittenBits(writer).count(), 0u);
}

TEST(SampleWriter, GroupingAndOrder) {
    static zuvo::ChannelCodes codes[2];
    zuvo::BitWriter writer;
    ASSERT_TRUE(writer.init());

    // Class 0 (3 steps): codes 2, 0, 1 form the 5-bit codeword 2 + 3 * (0 + 3 * 1) = 11.
    Frame f(1, 1, 1);
    f.allocation[0][0] = 1;
    codes[0][0][0][0] = 2;
    codes[0][0][1][0] = 0;
    codes[0][0][2][0] = 1;
    zuvo::write_samples(codes, f.allocation, f.coding, writer);
    {
        zuvo_test::WrittenBits bits(writer);
        ASSERT_EQ(bits.count(), 3u * 4 * 5);
        EXPECT_EQ(bits.read(5), 11u);
    }

    // Two channels, subband 0 coded per channel with 7 steps (3 bits per
    // sample), subband 3 shared from the bound with 9 steps (one 10-bit
    // codeword per three samples), subbands 1 and 2 not coded. Order: part,
    // group of three samples, subband, channel.
    Frame g(2, 4, 3);
    g.allocation[0][0] = 2;
    g.allocation[1][0] = 2;
    g.allocation[0][3] = 4;
    g.allocation[1][3] = 4;
    for (int c = 0; c < 2; ++c)
        for (int p = 0; p < 3; ++p)
            for (int k = 0; k < 12; ++k) {
                codes[c][p][k][0] = static_cast<std::uint32_t>((k + c + p) % 7);
                codes[c][p][k][1] = 1;
                codes[c][p][k][2] = 1;
                codes[c][p][k][3] = static_cast<std::uint32_t>((k + 2 * p) % 9);
            }
    codes[1][0][0][3] = 8;  // channel 1 of a shared subband is not written
    zuvo::write_samples(codes, g.allocation, g.coding, writer);
    zuvo_test::WrittenBits bits(writer);
    ASSERT_EQ(bits.count(), 3u * 4 * (3 * 3 * 2 + 10));
    for (int p = 0; p < 3; ++p)
        for (int j0 = 0; j0 < 12; j0 += 3) {
            for (int c = 0; c < 2; ++c)
                for (int j = j0; j < j0 + 3; ++j) ASSERT_EQ(bits.read(3), codes[c][p][j][0]) << p << " " << j;
            const std::uint32_t grouped = codes[0][p][j0][3] + 9 * (codes[0][p][j0 + 1][3] + 9 * codes[0][p][j0 + 2][3]);
            ASSERT_EQ(bits.read(10), grouped) << p << " " << j0;
        }

    // A code beyond its class cannot corrupt the codeword or its neighbours.
    f.allocation[0][0] = 1;
    codes[0][0][0][0] = 7;
    codes[0][0][1][0] = 0;
    codes[0][0][2][0] = 0;
    zuvo::write_samples(codes, f.allocation, f.coding, writer);
    zuvo_test::WrittenBits clamped(writer);
    EXPECT_EQ(clamped.read(5), 2u);
}

}  // namespace
