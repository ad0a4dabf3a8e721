// The frame header and its check word.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "layer2/frame_header.h"
#include "layer2/sample_coding.h"
#include "layer2/scale_factors.h"
#include "test_layer2_support.h"

namespace {

using zuvo::update_crc;

zuvo::MpaHeader plain_header() {
    zuvo::MpaHeader h{};
    h.version = 1;
    h.layer = 2;
    h.protection = 1;
    h.bitrate_index = 10;
    return h;
}

TEST(Crc, Examples) {
    std::uint32_t crc = 0xFFFF;
    for (char ch : std::string("123456789")) update_crc(static_cast<std::uint8_t>(ch), 8, crc);
    EXPECT_EQ(crc, 0xAEE7u);

    // Wide values are fed bit by bit: one 16-bit value equals two bytes.
    std::uint32_t a = 0xFFFF, b = 0xFFFF;
    update_crc(0x3132, 16, a);
    update_crc(0x31, 8, b);
    update_crc(0x32, 8, b);
    EXPECT_EQ(a, b);
    // Only the low `width` bits count; width 0 only cuts the word to 16 bits.
    std::uint32_t c = 0xFFFF;
    update_crc(0xFF31, 8, c);
    update_crc(0x32, 8, c);
    EXPECT_EQ(c, a);
    std::uint32_t d = 0x1ABCD;
    update_crc(0xFFFF, 0, d);
    EXPECT_EQ(d, 0xABCDu);

    // Header bits 15..0 = 0xA000 (bitrate index 10, everything else 0).
    zuvo::MpaHeader h = plain_header();
    zuvo::CodingParams coding;
    coding.header = &h;
    std::int32_t allocation[2][32] = {};
    std::int32_t scfsi[2][32] = {};
    std::uint32_t header_crc = 0;
    zuvo::compute_crc(coding, allocation, scfsi, header_crc);  // no table: the header alone
    EXPECT_EQ(header_crc, 0x4007u);

    // Two frames that differ only in padding have different check words.
    zuvo::AllocTable table;
    zuvo_test::make_table_27(table);
    coding.alloc = &table;
    coding.nch = 2;
    coding.sblimit = 27;
    coding.bound = 27;
    allocation[0][3] = 5;
    scfsi[0][3] = 1;
    std::uint32_t without = 0, with = 0;
    zuvo::compute_crc(coding, allocation, scfsi, without);
    h.padding = 1;
    zuvo::compute_crc(coding, allocation, scfsi, with);
    EXPECT_NE(without, with);
}

// Writes header, check word, allocation fields and scale factors of a frame,
// then recomputes the check word from the written bits the way a decoder
// does: header bits 16..31, the allocation fields, then the scfsi fields.
void check_frame_crc(zuvo::CodingParams& coding, std::int32_t (*allocation)[32], std::int32_t (*scfsi)[32]) {
    static zuvo::ChannelScaleIndices index[2];
    std::uint32_t crc = 0;
    zuvo::compute_crc(coding, allocation, scfsi, crc);
    zuvo::BitWriter writer;
    ASSERT_TRUE(writer.init());
    zuvo::write_header(coding, writer);
    zuvo::write_crc(crc, writer);
    zuvo::write_allocation(allocation, coding, writer);
    zuvo::write_scale_factors(allocation, scfsi, index, coding, writer);
    zuvo_test::WrittenBits bits(writer);

    std::size_t field_bits = 0;
    std::size_t coded = 0;
    for (int s = 0; s < coding.sblimit; ++s) {
        field_bits += static_cast<std::size_t>((s < coding.bound ? coding.nch : 1) * (*coding.alloc)[s][0].code_bits);
        for (int c = 0; c < coding.nch; ++c) coded += allocation[c][s] != 0 ? 1 : 0;
    }
    std::uint32_t expected = 0xFFFF;
    for (std::size_t i = 16; i < 32; ++i) update_crc(bits.bit(i), 1, expected);
    for (std::size_t i = 48; i < 48 + field_bits + 2 * coded; ++i) update_crc(bits.bit(i), 1, expected);
    EXPECT_EQ(crc, expected) << "nch " << coding.nch << " bound " << coding.bound;

    bits.read(32);
    EXPECT_EQ(bits.read(16), crc);
}

TEST(Crc, CoversHeaderAllocationAndScfsiAsWritten) {
    zuvo::MpaHeader h = plain_header();
    zuvo::AllocTable table;
    zuvo_test::make_table_27(table);
    zuvo::CodingParams coding;
    coding.header = &h;
    coding.alloc = &table;
    coding.sblimit = 27;
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> any(0, 15);
    std::int32_t allocation[2][32];
    std::int32_t scfsi[2][32];
    struct Layout {
        int nch, bound, mode;
    };
    for (const Layout& l : {Layout{1, 27, 3}, Layout{2, 27, 0}, Layout{2, 4, 1}, Layout{2, 16, 1}}) {
        for (int round = 0; round < 20; ++round) {
            coding.nch = l.nch;
            coding.bound = l.bound;
            h.mode = l.mode;
            h.mode_extension = l.bound == 4 ? 0 : 3;
            h.padding = round % 2;
            for (int c = 0; c < 2; ++c)
                for (int s = 0; s < 32; ++s) {
                    const int width = table[s][0].code_bits;
                    // About a third of the subbands empty.
                    allocation[c][s] = (width == 0 || any(rng) < 5) ? 0 : any(rng) % (1 << width);
                    scfsi[c][s] = any(rng) % 4;
                }
            for (int s = l.bound; s < 32; ++s) allocation[1][s] = allocation[0][s];
            check_frame_crc(coding, allocation, scfsi);
        }
        // Nothing allocated: header and all-zero allocation fields only.
        for (auto& row : allocation)
            for (auto& a : row) a = 0;
        check_frame_crc(coding, allocation, scfsi);
    }
}

TEST(Header, Layout) {
    zuvo::MpaHeader h = plain_header();
    zuvo::CodingParams coding;
    coding.header = &h;
    h.bitrate_index = 0xB;
    h.sampling_frequency = 1;
    h.padding = 1;
    h.mode = 1;
    h.mode_extension = 2;
    h.copyright = 1;
    h.emphasis = 3;
    zuvo::BitWriter writer;
    ASSERT_TRUE(writer.init());
    zuvo::write_header(coding, writer);
    zuvo::write_crc(0x1BEEF, writer);  // cut to 16 bits
    {
        zuvo_test::WrittenBits bits(writer);
        ASSERT_EQ(bits.count(), 48u);
        const std::vector<std::uint8_t> expected = {0xFF, 0xFC, 0xB6, 0x6B, 0xBE, 0xEF};
        EXPECT_EQ(bits.bytes(), expected);
    }

    // No check word: the protection bit is set.
    h.protection = 0;
    zuvo::write_header(coding, writer);
    EXPECT_EQ(zuvo_test::WrittenBits(writer).bytes()[1], 0xFD);

    // Out-of-range values stay inside their own fields.
    h = plain_header();
    h.bitrate_index = 0x1F;
    h.sampling_frequency = 6;
    h.padding = 3;
    h.mode = 7;
    h.mode_extension = -1;
    h.emphasis = 4;
    zuvo::write_header(coding, writer);
    {
        zuvo_test::WrittenBits bits(writer);
        ASSERT_EQ(bits.count(), 32u);
        const std::vector<std::uint8_t> expected = {0xFF, 0xFC, 0xFA, 0xF0};
        EXPECT_EQ(bits.bytes(), expected);
    }
}

}  // namespace
