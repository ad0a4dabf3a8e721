#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "layer2/alloc_tables.h"
#include "layer2/stream_format.h"

using namespace zuvo;

namespace {

using Steps = std::vector<int>;

// Allocation-field width and step counts of indices 1.. for one subband, as
// ISO/IEC 11172-3 Tables 3-B.2a..d and 13818-3 Table B.1 list them.
struct Subband {
    int nbal;
    Steps steps;
};

Subband expected_subband(int table, int sb) {
    const Steps a_low{3, 7, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383, 32767, 65535};
    const Steps a_mid{3, 5, 7, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 65535};
    const Steps c_low{3, 5, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383, 32767};
    const Steps lsf_low{3, 5, 7, 9, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095, 8191, 16383};
    switch (table) {
    case 0:
    case 1:
        if (sb <= 2) return {4, a_low};
        if (sb <= 10) return {4, a_mid};
        if (sb <= 22) return {3, {3, 5, 7, 9, 15, 31, 65535}};
        if (sb <= (table == 0 ? 26 : 29)) return {2, {3, 5, 65535}};
        return {0, {}};
    case 2:
    case 3:
        if (sb <= 1) return {4, c_low};
        if (sb <= (table == 2 ? 7 : 11)) return {3, {3, 5, 9, 15, 31, 63, 127}};
        return {0, {}};
    default:
        if (sb <= 3) return {4, lsf_low};
        if (sb <= 10) return {3, {3, 5, 9, 15, 31, 63, 127}};
        if (sb <= 29) return {2, {3, 5, 9}};
        return {0, {}};
    }
}

AllocEntry expected_entry(int steps) {
    switch (steps) {
    case 3: return {3, 5, 1, 0};
    case 5: return {5, 7, 1, 1};
    case 7: return {7, 3, 3, 2};
    case 9: return {9, 10, 1, 3};
    default: {
        int c = 0;
        while ((1 << c) - 1 < steps) ++c;
        EXPECT_EQ((1 << c) - 1, steps);
        return {steps, c, 3, c};
    }
    }
}

bool same(const AllocEntry& a, const AllocEntry& b) {
    return a.steps == b.steps && a.code_bits == b.code_bits && a.codewords == b.codewords &&
           a.quant_class == b.quant_class;
}

struct Stream {
    MpaHeader header{};
    CodingParams coding{};
    Stream(int sampling, int bitrate_index, int mode) {
        header.version = 1;
        header.layer = 2;
        header.sampling_frequency = sampling;
        header.bitrate_index = bitrate_index;
        header.mode = mode;
        coding.header = &header;
    }
    ~Stream() { release_coding_params(coding); }
};

}  // namespace

TEST(AllocTables, RecordLayout) {
    const int starts[6] = {0, 290, 592, 674, 788, 986};
    const int sblimits[5] = {27, 30, 8, 12, 30};
    for (int t = 0; t < 5; ++t) EXPECT_EQ(alloc_section_start[t], starts[t]);
    for (int r = 0; r < kAllocRecords; ++r) {
        ASSERT_NE(std::memchr(alloc_text[r], '\0', kAllocRecordBytes), nullptr) << r;
    }
    EXPECT_STREQ(alloc_text[986], "<next>");
    for (int t = 0; t < 5; ++t) {
        EXPECT_EQ(std::string(alloc_text[starts[t]]), "<alloc_" + std::to_string(t) + ">");
        EXPECT_EQ(std::string(alloc_text[starts[t] + 1]), std::to_string(sblimits[t]));
        for (int r = starts[t] + 2; r < starts[t + 1]; ++r) {
            int v[6];
            char extra;
            ASSERT_NE(alloc_text[r][0], '<') << r;
            ASSERT_EQ(std::sscanf(alloc_text[r], "%d %d %d %d %d %d%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &extra), 6)
                << r << ": " << alloc_text[r];
        }
    }
}

TEST(AllocTables, EverySectionParsesToTheStandardTables) {
    const int sblimits[5] = {27, 30, 8, 12, 30};
    for (int t = 0; t < 5; ++t) {
        AllocTable alloc{};
        ASSERT_EQ(load_alloc_table(t, alloc), sblimits[t]);
        for (int sb = 0; sb < kSubbands; ++sb) {
            const Subband want = expected_subband(t, sb);
            EXPECT_EQ(sb < sblimits[t], want.nbal != 0);
            for (int j = 0; j < kAllocIndices; ++j) {
                AllocEntry e{0, 0, 0, 0};
                if (want.nbal != 0 && j == 0) e = {0, want.nbal, 0, 0};
                if (j >= 1 && j <= static_cast<int>(want.steps.size())) e = expected_entry(want.steps[j - 1]);
                if (want.nbal != 0) {
                    ASSERT_EQ(static_cast<int>(want.steps.size()), (1 << want.nbal) - 1);
                }
                const AllocEntry& got = alloc[sb][j];
                EXPECT_TRUE(same(got, e)) << "table " << t << " sb " << sb << " index " << j << ": got (" << got.steps
                                          << ", " << got.code_bits << ", " << got.codewords << ", " << got.quant_class
                                          << ")";
            }
        }
    }
    AllocTable alloc{};
    EXPECT_EQ(load_alloc_table(7, alloc), 27);  // out of range reads table 0
    EXPECT_EQ(load_alloc_table(-1, alloc), 27);
}

TEST(AllocTables, TableChoiceForEveryRateBitrateAndChannelCount) {
    // kbit/s of the stream -> table, per rate (44.1, 48, 32 kHz) and channels.
    auto expected = [](int rate, int kbps, int nch) {
        const int b = kbps / nch;
        const int lo = nch == 1 ? 48 : 96;  // upper end of the low-rate run
        if (rate == 1) return kbps <= lo ? 2 : 0;
        if (kbps <= lo) return rate == 0 ? 2 : 3;
        return (b >= 56 && b <= 80) ? 0 : 1;
    };
    for (int rate = 0; rate < 3; ++rate) {
        for (int index = 1; index <= 14; ++index) {
            for (int mode : {0, 3}) {
                Stream s(rate, index, mode);
                derive_coding_params(s.coding);
                const int nch = mode == 3 ? 1 : 2;
                EXPECT_EQ(s.coding.nch, nch);
                EXPECT_EQ(s.coding.table_number, expected(rate, kBitrateKbps[kVersionMpeg1][index], nch))
                    << "rate " << rate << " index " << index << " nch " << nch;
                EXPECT_NE(s.coding.alloc, nullptr);
            }
        }
    }
    Stream lsf(0, 8, 0);
    lsf.header.version = 0;
    derive_coding_params(lsf.coding);
    EXPECT_EQ(lsf.coding.table_number, 4);
}

TEST(AllocTables, CodingParamsSblimitBoundAndReload) {
    struct Case { int rate, index, mode, table, sblimit; };
    const Case cases[] = {{1, 8, 0, 0, 27}, {0, 10, 0, 1, 30}, {0, 6, 2, 2, 8}, {2, 2, 3, 3, 12}, {2, 6, 3, 1, 30}};
    for (const Case& c : cases) {
        Stream s(c.rate, c.index, c.mode);
        derive_coding_params(s.coding);
        EXPECT_EQ(s.coding.table_number, c.table);
        EXPECT_EQ(s.coding.sblimit, c.sblimit);
        EXPECT_EQ(s.coding.bound, c.sblimit);  // not joint stereo
        EXPECT_EQ(s.coding.configured_mode, c.mode);
    }

    Stream joint(0, 10, 1);
    derive_coding_params(joint.coding);
    EXPECT_EQ(joint.coding.bound, 4);
    EXPECT_EQ(joint.coding.nch, 2);

    // Unchanged fields: the table is not loaded again (a mark in an unused
    // entry survives); a new rate choosing another table reloads.
    ASSERT_NE(joint.coding.alloc, nullptr);
    (*joint.coding.alloc)[31][15].steps = 12345;
    EXPECT_EQ(choose_alloc_table(joint.coding), 30);
    EXPECT_EQ((*joint.coding.alloc)[31][15].steps, 12345);
    joint.header.sampling_frequency = 1;  // 48 kHz, 96 kbit/s per channel: table 0
    derive_coding_params(joint.coding);
    EXPECT_EQ(joint.coding.table_number, 0);
    EXPECT_EQ(joint.coding.sblimit, 27);
    EXPECT_EQ((*joint.coding.alloc)[31][15].steps, 0);

    release_coding_params(joint.coding);
    EXPECT_EQ(joint.coding.alloc, nullptr);
    EXPECT_EQ(joint.coding.table_number, -1);
    release_coding_params(joint.coding);

    const int bounds[] = {4, 4, 8, 12, 16, 16};
    for (int e = -1; e <= 4; ++e) EXPECT_EQ(bound_for_extension(e), bounds[e + 1]) << e;

    CodingParams orphan{};  // no header: nothing loaded, nothing to code
    derive_coding_params(orphan);
    EXPECT_EQ(orphan.sblimit, 0);
    EXPECT_EQ(orphan.alloc, nullptr);
}
