// The frame header and its check word, and whole frames built from the
// Layer II stages alone, judged by the independent frame reader.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "layer2/bit_allocation.h"
#include "layer2/frame_header.h"
#include "layer2/sample_coding.h"
#include "layer2/scale_factors.h"
#include "support/frame_reader.h"
#include "test_layer2_support.h"

namespace {

TEST(FrameHeader, CheckWordAndLayout) {
    std::uint32_t crc = 0xFFFF;
    for (char ch : std::string("123456789")) zuvo::update_crc(static_cast<std::uint8_t>(ch), 8, crc);
    EXPECT_EQ(crc, 0xAEE7u);
    zuvo::update_crc(0xFF00, 8, crc);  // only the low `width` bits count
    zuvo::update_crc(0, 0, crc);
    std::uint32_t same = 0xAEE7;
    zuvo::update_crc(0, 8, same);
    EXPECT_EQ(crc, same);

    zuvo::MpaHeader h{};
    h.version = 1, h.layer = 2, h.protection = 1, h.bitrate_index = 10;
    zuvo::AllocTable table;
    zuvo_test::make_table_27(table);
    zuvo::CodingParams coding;
    coding.header = &h;
    std::int32_t allocation[2][32] = {}, scfsi[2][32] = {};
    zuvo::compute_crc(coding, allocation, scfsi, crc);  // no table: header bits 15..0 = 0xA000 only
    EXPECT_EQ(crc, 0x4007u);
    coding.alloc = &table;
    coding.nch = 2;
    coding.sblimit = coding.bound = 27;
    allocation[0][3] = 5;
    std::uint32_t with_padding = 0;
    zuvo::compute_crc(coding, allocation, scfsi, crc);
    h.padding = 1;
    zuvo::compute_crc(coding, allocation, scfsi, with_padding);
    EXPECT_NE(crc, with_padding);

    h.bitrate_index = 0xB, h.sampling_frequency = 1, h.mode = 1, h.mode_extension = 2, h.copyright = 1, h.emphasis = 3;
    zuvo::BitWriter writer;
    ASSERT_TRUE(writer.init());
    zuvo::write_header(coding, writer);
    zuvo::write_crc(0x1BEEF, writer);
    h = zuvo::MpaHeader{1, 2, 0, 0x1F, 6, 3, 0, 7, -1, 0, 0, 4};  // no check word; fields out of range
    zuvo::write_header(coding, writer);
    zuvo_test::WrittenBits bits(writer);
    const std::vector<std::uint8_t> expected = {0xFF, 0xFC, 0xB6, 0x6B, 0xBE, 0xEF, 0xFF, 0xFD, 0xFA, 0xF0};
    EXPECT_EQ(bits.bytes(), expected);
}

// Encodes frames of random subband samples (silent, quiet, ordinary and
// overloaded parts) through every Layer II stage, in frame order.
std::vector<std::uint8_t> encode_stream(int configured_mode, int bitrate_index, int frame_bytes, std::mt19937& rng,
                                        std::vector<std::int32_t>& unused, std::vector<int>& modes) {
    struct State {
        zuvo::MpaHeader header{1, 2, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0};  // 48 kHz: no padding
        zuvo::AllocTable table;
        zuvo::ChannelSamples sb[2], joint;
        zuvo::ChannelScaleIndices index[2], j_index;
        zuvo::ChannelCodes codes[2];
        float smr[2][32];
        std::int32_t scfsi[2][32], allocation[2][32];
    };
    auto st = std::make_unique<State>();
    zuvo_test::make_table_27(st->table);
    st->header.bitrate_index = bitrate_index;
    st->header.mode = configured_mode;
    zuvo::CodingParams coding;
    coding.header = &st->header;
    coding.configured_mode = configured_mode;
    coding.alloc = &st->table;
    coding.nch = configured_mode == 3 ? 1 : 2;
    coding.sblimit = coding.bound = 27;
    zuvo::BitAllocator allocator;
    zuvo::BitWriter writer;
    EXPECT_TRUE(writer.init());
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f), level(-30.0f, 60.0f);
    std::vector<std::uint8_t> stream;
    for (int frame = 0; frame < 24; ++frame) {
        for (int c = 0; c < 2; ++c)
            for (int s = 0; s < 32; ++s) {
                st->smr[c][s] = level(rng);
                for (int p = 0; p < 3; ++p) {
                    const int k = kind(rng);
                    const float amplitude = k == 0 ? 0.0f : k == 1 ? 3.0f : k < 4 ? 1e-4f : 0.7f;
                    for (int j = 0; j < 12; ++j) st->sb[c][p][j][s] = amplitude * unit(rng);
                }
            }
        zuvo::compute_scale_indices(st->sb, st->index, coding.nch, coding.sblimit);
        if (configured_mode == 1) {
            zuvo::combine_joint(st->sb, st->joint, coding.sblimit);
            zuvo::compute_scale_indices(&st->joint, &st->j_index, 1, coding.sblimit);
        }
        zuvo::select_scfsi(st->index, st->scfsi, coding);
        std::int32_t left = frame_bytes * 8;
        const zuvo::StereoDecision decision =
            allocator.allocate_frame(st->smr, st->scfsi, st->allocation, left, coding);
        st->header.mode = decision.mode;
        st->header.mode_extension = decision.mode_extension;
        coding.bound = decision.bound;
        std::uint32_t crc = 0;
        zuvo::compute_crc(coding, st->allocation, st->scfsi, crc);
        zuvo::write_header(coding, writer);
        zuvo::write_crc(crc, writer);
        zuvo::write_allocation(st->allocation, coding, writer);
        zuvo::write_scale_factors(st->allocation, st->scfsi, st->index, coding, writer);
        zuvo::quantize(st->index, st->sb, st->j_index, st->joint, st->allocation, st->codes, coding);
        zuvo::write_samples(st->codes, st->allocation, coding, writer);
        for (std::int32_t i = 0; i < left; ++i) writer.put_bit(0);
        unused.push_back(left);
        modes.push_back(st->header.mode);
        const std::size_t start = stream.size();
        stream.resize(start + static_cast<std::size_t>(frame_bytes) + 8);
        int n = 0;
        writer.drain(stream.data() + start, n);
        EXPECT_EQ(n, frame_bytes);  // the allocator counted every bit written
        stream.resize(start + static_cast<std::size_t>(n));
    }
    return stream;
}

TEST(FrameHeader, WholeFramesReadBackCleanly) {
    const int streams[][3] = {{3, 5, 240}, {0, 10, 576}, {2, 8, 384}, {1, 8, 384}, {1, 10, 576}};  // mode, index, bytes
    std::mt19937 rng(4242);
    for (const auto& s : streams) {
        std::vector<std::int32_t> unused;
        std::vector<int> modes;
        const std::vector<std::uint8_t> bytes = encode_stream(s[0], s[1], s[2], rng, unused, modes);
        const zuvo_test::StreamReport report = zuvo_test::read_layer2_stream(bytes);
        ASSERT_TRUE(report.ok()) << "mode " << s[0] << ": " << report.describe();
        ASSERT_EQ(report.frames.size(), unused.size());
        int joint_frames = 0;
        for (std::size_t i = 0; i < unused.size(); ++i) {
            EXPECT_EQ(report.frames[i].fill_bits, static_cast<std::size_t>(unused[i]));
            EXPECT_EQ(report.frames[i].mode, modes[i]);
            joint_frames += modes[i] == 1;
        }
        EXPECT_TRUE(s[0] != 1 || joint_frames > 0) << "no frame needed joint coding";
    }
}

}  // namespace
