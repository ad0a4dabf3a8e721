// Bit allocation: the noise-free estimate, the joint-stereo decision, the
// greedy distribution and its bookkeeping of the frame's bits.
#include <gtest/gtest.h>

#include <random>

#include "layer2/bit_allocation.h"
#include "layer2/frame_header.h"
#include "layer2/sample_coding.h"
#include "layer2/scale_factors.h"
#include "test_layer2_support.h"

namespace {

using zuvo::AllocTable;
using zuvo::BitAllocator;
using zuvo::CodingParams;
using zuvo::MpaHeader;

constexpr int kOverhead = 32 + 16;
constexpr int kStereoFields = 2 * (3 * 4 + 8 * 4 + 12 * 3 + 4 * 2);  // table of 27 subbands
constexpr int kMonoFields = kStereoFields / 2;
constexpr int kJoint4Fields = 2 * (4 * 4) + (7 * 4 + 12 * 3 + 4 * 2);

struct Frame {
    MpaHeader header{};
    AllocTable table{};
    CodingParams coding;
    float smr[2][32] = {};
    std::int32_t scfsi[2][32] = {};
    std::int32_t allocation[2][32] = {};

    explicit Frame(int nch, int configured_mode = 0) {
        zuvo_test::make_table_27(table);
        header.version = 1;
        header.layer = 2;
        header.protection = 1;
        header.bitrate_index = 10;
        header.mode = configured_mode;
        coding.header = &header;
        coding.configured_mode = configured_mode;
        coding.alloc = &table;
        coding.table_number = 0;
        coding.nch = nch;
        coding.sblimit = 27;
        coding.bound = 27;
        for (auto& row : smr)
            for (float& v : row) v = -100.0f;  // masked everywhere
    }
    void use_table_8() {
        zuvo_test::make_table_8(table);
        coding.sblimit = 8;
        coding.bound = 8;
    }
    std::int32_t need() const { return BitAllocator().bits_for_no_noise(smr, scfsi, coding); }
    std::int32_t need_with_bound(int bound) {
        const int saved = coding.bound;
        coding.bound = bound;
        const std::int32_t n = need();
        coding.bound = saved;
        return n;
    }
    std::int32_t greedy(BitAllocator& allocator, std::int32_t bits) {
        allocator.allocate_greedy(smr, scfsi, allocation, bits, coding);
        return bits;
    }
    std::int32_t greedy(std::int32_t bits) {
        BitAllocator allocator;
        return greedy(allocator, bits);
    }
};

int sample_bits(const AllocTable& t, int s, int k) {
    return k == 0 ? 0 : 12 * t[s][k].codewords * t[s][k].code_bits;
}
int last_index(const AllocTable& t, int s) { return (1 << t[s][0].code_bits) - 1; }
int side_bits(std::int32_t scfsi) { return 2 + 6 * zuvo::scale_factor_count[scfsi]; }

TEST(BitAllocation, NoiseFreeEstimate) {
    Frame f(2);
    EXPECT_EQ(f.need(), kOverhead + kStereoFields);
    f.header.protection = 0;
    EXPECT_EQ(f.need(), 32 + kStereoFields);
    f.header.protection = 1;

    // 10 dB above the mask in subband 0: the 7-step quantizer (16 dB) is the
    // first to reach it.
    f.smr[0][0] = 10.0f;
    f.scfsi[0][0] = 1;
    EXPECT_EQ(f.need(), kOverhead + kStereoFields + 12 * 3 * 3 + 2 + 12);
    f.smr[0][0] = 16.0f;  // an SNR that equals the smr reaches the mask
    EXPECT_EQ(f.need(), kOverhead + kStereoFields + 12 * 3 * 3 + 2 + 12);
    f.smr[0][0] = 16.5f;  // the 15-step quantizer (20.84 dB)
    EXPECT_EQ(f.need(), kOverhead + kStereoFields + 12 * 3 * 4 + 2 + 12);

    // Unmaskable: priced at the second-to-last index, never at the last.
    f.smr[0][0] = 1000.0f;
    f.scfsi[0][0] = 0;
    EXPECT_EQ(f.need(), kOverhead + kStereoFields + 12 * 3 * 15 + 2 + 18);
    f.smr[0][0] = -100.0f;
    f.smr[1][23] = 1000.0f;  // two-bit field: index 2 (5 steps, grouped in 7 bits)
    f.scfsi[1][23] = 2;
    EXPECT_EQ(f.need(), kOverhead + kStereoFields + 12 * 7 + 2 + 6);
    f.smr[1][23] = -100.0f;

    // Above the bound one index must satisfy both channels, and both
    // channels send scfsi and scale factors.
    f.coding.bound = 4;
    f.smr[1][10] = 10.0f;  // channel 0 is masked anyway
    f.scfsi[0][10] = 0;
    f.scfsi[1][10] = 2;
    EXPECT_EQ(f.need(), kOverhead + kJoint4Fields + 12 * 7 + (2 + 18) + (2 + 6));
    f.smr[0][10] = 12.0f;  // channel 0 now needs the 7-step quantizer (16 dB)
    EXPECT_EQ(f.need(), kOverhead + kJoint4Fields + 12 * 3 * 3 + (2 + 18) + (2 + 6));
}

TEST(BitAllocation, JointStereoDecision) {
    Frame f(2, 1);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> d(5.0f, 40.0f);
    for (auto& row : f.smr)
        for (float& v : row) v = d(rng);
    const std::int32_t full = f.need_with_bound(27);
    std::int32_t by_bound[17] = {};
    for (int b : {16, 12, 8, 4}) by_bound[b] = f.need_with_bound(b);
    ASSERT_GT(full, by_bound[16]);
    ASSERT_GT(by_bound[16], by_bound[12]);
    ASSERT_GT(by_bound[12], by_bound[8]);
    ASSERT_GT(by_bound[8], by_bound[4]);

    struct Case {
        std::int32_t bits;
        int mode, extension, bound;
    };
    const Case cases[] = {
        {full, 0, 0, 27},                 // fits in plain stereo
        {full + 500, 0, 0, 27},
        {full - 1, 1, 3, 16},             // the highest bound that fits
        {by_bound[12], 1, 2, 12},
        {by_bound[12] - 1, 1, 1, 8},
        {by_bound[4], 1, 0, 4},
        {by_bound[4] - 1, 1, 0, 4},       // nothing fits: the lowest bound
    };
    for (const Case& c : cases) {
        // Stale values of an earlier frame must not matter.
        f.header.mode = 1 - c.mode;
        f.header.mode_extension = 3 - c.extension;
        f.coding.bound = 11;
        std::int32_t bits = c.bits;
        BitAllocator allocator;
        allocator.allocate_frame(f.smr, f.scfsi, f.allocation, bits, f.coding);
        EXPECT_EQ(f.header.mode, c.mode) << c.bits;
        EXPECT_EQ(f.header.mode_extension, c.extension) << c.bits;
        EXPECT_EQ(f.coding.bound, c.bound) << c.bits;
        for (int s = c.bound; s < 27; ++s) EXPECT_EQ(f.allocation[0][s], f.allocation[1][s]) << s;
    }

    // Plain stereo and dual-channel streams keep their mode and bound even
    // when the frame cannot be coded without noise.
    for (int mode : {0, 2}) {
        Frame g(2, mode);
        g.smr[0][3] = 1000.0f;
        std::int32_t bits = 300;
        BitAllocator allocator;
        allocator.allocate_frame(g.smr, g.scfsi, g.allocation, bits, g.coding);
        EXPECT_EQ(g.header.mode, mode);
        EXPECT_EQ(g.header.mode_extension, 0);
        EXPECT_EQ(g.coding.bound, 27);
    }
}

TEST(BitAllocation, LowestMnrAndTies) {
    float mnr[2][32];
    std::uint8_t state[2][32] = {};
    for (auto& row : mnr)
        for (float& v : row) v = 5.0f;
    mnr[0][20] = -3.0f;
    mnr[1][3] = -3.0f;
    int s = 0, c = 0;
    zuvo::find_lowest_mnr(mnr, state, 32, 2, s, c);
    EXPECT_EQ(s, 20);
    EXPECT_EQ(c, 0);
    state[0][20] = 2;  // closed pairs are passed over
    zuvo::find_lowest_mnr(mnr, state, 32, 2, s, c);
    EXPECT_EQ(s, 3);
    EXPECT_EQ(c, 1);
    state[1][3] = 1;  // open pairs are not
    zuvo::find_lowest_mnr(mnr, state, 32, 2, s, c);
    EXPECT_EQ(s, 3);
    zuvo::find_lowest_mnr(mnr, state, 3, 2, s, c);  // only the subbands asked for
    EXPECT_EQ(s, 0);
    EXPECT_EQ(c, 0);
    for (auto& row : mnr)
        for (float& v : row) v = 999999.0f;
    zuvo::find_lowest_mnr(mnr, state, 32, 2, s, c);
    EXPECT_EQ(s, -1);
    EXPECT_EQ(c, -1);

    // In a frame with room for one first raise of 80 bits, the tie between
    // channel 0 subband 20 and channel 1 subband 3 goes to channel 0.
    Frame f(2);
    f.smr[0][20] = 50.0f;
    f.smr[1][3] = 50.0f;
    ASSERT_EQ(sample_bits(f.table, 20, 1) + side_bits(0), 80);
    ASSERT_EQ(sample_bits(f.table, 3, 1) + side_bits(0), 80);
    EXPECT_EQ(f.greedy(kOverhead + kStereoFields + 80), 0);
    EXPECT_EQ(f.allocation[0][20], 1);
    EXPECT_EQ(f.allocation[1][3], 0);

    // A raise of a shared subband updates the mnr of both channels. Subband
    // 10 (shared from bound 4) is 20 and 15 dB above the mask, subband 2 of
    // channel 0 10 dB; one scale factor each (8 side bits per channel).
    // Order: 10 to index 1 (76 bits; mnr -13 and -8), 10 to index 2 (24; -9
    // and -4), then 2 to index 1 (68), which uses the last bit. Were channel
    // 1 left at its initial -15, subband 10 would be raised once more first
    // and subband 2 would not fit.
    Frame g(2);
    g.coding.bound = 4;
    g.smr[0][10] = 20.0f;
    g.smr[1][10] = 15.0f;
    g.smr[0][2] = 10.0f;
    for (auto& row : g.scfsi)
        for (auto& v : row) v = 2;
    EXPECT_EQ(g.greedy(kOverhead + kJoint4Fields + 76 + 24 + 68), 0);
    EXPECT_EQ(g.allocation[0][10], 2);
    EXPECT_EQ(g.allocation[1][10], 2);
    EXPECT_EQ(g.allocation[0][2], 1);
}

TEST(BitAllocation, PricingOfRaisesAndExactFit) {
    const int fixed = kOverhead + kMonoFields;
    {
        Frame f(1);
        f.smr[0][5] = 10.0f;  // subband 5: 3 steps (60 bits), then 5 steps (84 bits)
        f.scfsi[0][5] = 0;
        EXPECT_EQ(f.greedy(fixed + 60 + 20), 0);  // uses the last bit exactly
        EXPECT_EQ(f.allocation[0][5], 1);
        EXPECT_EQ(f.greedy(fixed + 60 + 19), 60 + 19);  // one bit short
        EXPECT_EQ(f.allocation[0][5], 0);
        EXPECT_EQ(f.greedy(fixed + 60 + 20 + 24), 0);  // a second raise costs only the increment
        EXPECT_EQ(f.allocation[0][5], 2);
        f.scfsi[0][5] = 2;  // one scale factor
        EXPECT_EQ(f.greedy(fixed + 60 + 8), 0);
        EXPECT_EQ(f.allocation[0][5], 1);
        EXPECT_EQ(f.greedy(fixed + 60 + 7), 60 + 7);
        EXPECT_EQ(f.allocation[0][5], 0);
    }
    {
        // Above the bound the first raise pays both channels' side bits.
        Frame f(2);
        f.coding.bound = 4;
        const int joint_fixed = kOverhead + kJoint4Fields;
        f.smr[0][10] = 10.0f;
        f.smr[1][10] = 10.0f;
        f.scfsi[0][10] = 0;
        f.scfsi[1][10] = 2;
        EXPECT_EQ(f.greedy(joint_fixed + 60 + 20 + 8), 0);
        EXPECT_EQ(f.allocation[0][10], 1);
        EXPECT_EQ(f.allocation[1][10], 1);
        // One bit short: subband 10 stays empty, and the 87 bits go to the
        // cheapest first raise below the bound (80 bits in subband 0).
        EXPECT_EQ(f.greedy(joint_fixed + 60 + 20 + 8 - 1), 7);
        EXPECT_EQ(f.allocation[0][10], 0);
        EXPECT_EQ(f.allocation[1][10], 0);
    }
}

TEST(BitAllocation, LastIndexClosesThePair) {
    for (int nch : {1, 2}) {
        Frame f(nch);
        f.smr[0][0] = 1000.0f;
        const std::int32_t left = f.greedy(1000000);
        int used = kOverhead + (nch == 2 ? kStereoFields : kMonoFields);
        for (int c = 0; c < nch; ++c)
            for (int s = 0; s < 27; ++s) {
                ASSERT_EQ(f.allocation[c][s], last_index(f.table, s)) << c << " " << s;
                used += sample_bits(f.table, s, last_index(f.table, s)) + side_bits(0);
            }
        EXPECT_EQ(left, 1000000 - used);
    }
}

TEST(BitAllocation, OverheadIsFixedPerAllocatorUntilReset) {
    Frame f(1);
    const int fields = kMonoFields;
    BitAllocator a;
    EXPECT_EQ(f.greedy(a, kOverhead + fields), 0);
    f.header.protection = 0;  // read only on the first allocation after a reset
    EXPECT_EQ(f.greedy(a, kOverhead + fields), 0);
    BitAllocator b;  // another encoder's allocator has its own counts
    EXPECT_EQ(f.greedy(b, kOverhead + fields), 16);
    a.reset_frame_overhead();
    EXPECT_EQ(f.greedy(a, kOverhead + fields), 16);
    f.header.protection = 1;
    EXPECT_EQ(f.greedy(a, kOverhead + fields), 16);
    EXPECT_EQ(f.greedy(b, kOverhead + fields), 16);
}

// Writes the frame's fields with the real writers; returns the bits written.
std::size_t write_frame(Frame& f) {
    static zuvo::ChannelScaleIndices index[2];
    static zuvo::ChannelCodes codes[2];
    zuvo::BitWriter writer;
    EXPECT_TRUE(writer.init());
    std::uint32_t crc = 0;
    zuvo::compute_crc(f.coding, f.allocation, f.scfsi, crc);
    zuvo::write_header(f.coding, writer);
    zuvo::write_crc(crc, writer);
    zuvo::write_allocation(f.allocation, f.coding, writer);
    zuvo::write_scale_factors(f.allocation, f.scfsi, index, f.coding, writer);
    zuvo::write_samples(codes, f.allocation, f.coding, writer);
    return zuvo_test::WrittenBits(writer).count();
}

TEST(BitAllocation, FrameBookkeepingOverRandomFrames) {
    std::mt19937 rng(2024);
    std::uniform_real_distribution<float> level(-30.0f, 70.0f);
    std::uniform_int_distribution<int> selection(0, 3);
    std::uniform_int_distribution<int> frame_bits(300, 9000);
    for (int round = 0; round < 400; ++round) {
        const int layout = round % 5;  // mono, stereo, joint, and the 8-subband table
        Frame f(layout == 0 ? 1 : 2, layout == 2 || layout == 4 ? 1 : 0);
        if (layout >= 3) f.use_table_8();
        for (auto& row : f.smr)
            for (float& v : row) v = level(rng);
        for (auto& row : f.scfsi)
            for (auto& v : row) v = selection(rng);
        for (auto& row : f.allocation)
            for (auto& v : row) v = 9;  // stale
        const std::int32_t bits = frame_bits(rng);
        std::int32_t left = bits;
        BitAllocator allocator;
        allocator.allocate_frame(f.smr, f.scfsi, f.allocation, left, f.coding);

        const int nch = f.coding.nch;
        const int sblimit = f.coding.sblimit;
        const int bound = f.coding.bound < sblimit ? f.coding.bound : sblimit;
        // Recount what the allocation costs.
        int used = kOverhead;
        for (int s = 0; s < sblimit; ++s) {
            const int channels = s < bound ? nch : 1;
            for (int c = 0; c < channels; ++c) {
                used += f.table[s][0].code_bits;
                used += sample_bits(f.table, s, f.allocation[c][s]);
            }
            for (int c = 0; c < nch; ++c) {
                if (f.allocation[c][s] != 0) used += side_bits(f.scfsi[c][s]);
            }
        }
        ASSERT_EQ(left, bits - used) << "round " << round;
        ASSERT_EQ(write_frame(f), static_cast<std::size_t>(used)) << "round " << round;

        for (int c = 0; c < 2; ++c)
            for (int s = 0; s < 32; ++s) {
                if (s >= sblimit || c >= nch) {
                    ASSERT_EQ(f.allocation[c][s], 0) << c << " " << s;
                    continue;
                }
                const int k = f.allocation[c][s];
                ASSERT_GE(k, 0);
                ASSERT_LE(k, last_index(f.table, s));
                if (nch == 2 && s >= bound) {
                    ASSERT_EQ(f.allocation[0][s], f.allocation[1][s]) << s;
                }
                // Greedy to the end: no further raise would have fitted.
                if (k < last_index(f.table, s) && c < (s < bound ? nch : 1)) {
                    int next = sample_bits(f.table, s, k + 1) - sample_bits(f.table, s, k);
                    if (k == 0) {
                        next += side_bits(f.scfsi[c][s]);
                        if (nch == 2 && s >= bound) next += side_bits(f.scfsi[1 - c][s]);
                    }
                    ASSERT_GT(next, left) << "round " << round << " ch " << c << " sb " << s;
                }
            }
    }
}

}  // namespace
