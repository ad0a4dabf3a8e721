// Whole frames built from the Layer II stages alone (scale factors, scfsi,
// bit allocation, check word, header, allocation fields, scale factors,
// quantized samples, fill bits), judged by the independent frame reader.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "layer2/bit_allocation.h"
#include "layer2/frame_header.h"
#include "layer2/sample_coding.h"
#include "layer2/scale_factors.h"
#include "support/frame_reader.h"
#include "test_layer2_support.h"

namespace {

struct Stream {
    int configured_mode;  // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
    int bitrate_index;    // at 48 kHz every one of these uses the 27-subband table
    int frame_bytes;
};

class FrameBuilder {
public:
    explicit FrameBuilder(const Stream& stream) : stream_(stream) {
        zuvo_test::make_table_27(table_);
        header_.version = 1;
        header_.layer = 2;
        header_.protection = 1;
        header_.bitrate_index = stream.bitrate_index;
        header_.sampling_frequency = 1;  // 48 kHz: frames of a whole number of bytes, no padding
        header_.mode = stream.configured_mode;
        coding_.header = &header_;
        coding_.configured_mode = stream.configured_mode;
        coding_.alloc = &table_;
        coding_.table_number = 0;
        coding_.nch = stream.configured_mode == 3 ? 1 : 2;
        coding_.sblimit = 27;
        coding_.bound = stream.configured_mode == 1 ? 4 : 27;
        allocator_.reset_frame_overhead();
        EXPECT_TRUE(writer_.init());
    }

    // Random subband samples: silent, quiet, ordinary and overloaded (peaks
    // above 2.0) subbands and parts.
    void fill_samples(std::mt19937& rng) {
        std::uniform_int_distribution<int> kind(0, 9);
        std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
        std::uniform_real_distribution<float> level(-30.0f, 60.0f);
        for (int c = 0; c < 2; ++c)
            for (int s = 0; s < 32; ++s) {
                smr_[c][s] = level(rng);
                for (int p = 0; p < 3; ++p) {
                    const int k = kind(rng);
                    const float amplitude = k == 0 ? 0.0f : k == 1 ? 3.0f : k < 4 ? 1e-4f : 0.7f;
                    for (int j = 0; j < 12; ++j) sb_[c][p][j][s] = amplitude * unit(rng);
                }
            }
    }

    // Encodes one frame; returns its bytes.
    std::vector<std::uint8_t> encode() {
        const int nch = coding_.nch;
        zuvo::compute_scale_indices(sb_, scale_index_, nch, coding_.sblimit);
        if (coding_.configured_mode == 1) {
            zuvo::combine_joint(sb_, joint_, coding_.sblimit);
            zuvo::compute_scale_indices(&joint_, &j_scale_index_, 1, coding_.sblimit);
        }
        zuvo::select_scfsi(scale_index_, scfsi_, coding_);

        const std::int32_t frame_bits = stream_.frame_bytes * 8;
        std::int32_t unused = frame_bits;
        allocator_.allocate_frame(smr_, scfsi_, allocation_, unused, coding_);

        std::uint32_t crc = 0;
        zuvo::compute_crc(coding_, allocation_, scfsi_, crc);
        zuvo::write_header(coding_, writer_);
        zuvo::write_crc(crc, writer_);
        zuvo::write_allocation(allocation_, coding_, writer_);
        zuvo::write_scale_factors(allocation_, scfsi_, scale_index_, coding_, writer_);
        zuvo::quantize(scale_index_, sb_, j_scale_index_, joint_, allocation_, codes_, coding_);
        zuvo::write_samples(codes_, allocation_, coding_, writer_);
        const int written = writer_.length() * 8 + 64 - writer_.free_bits();
        EXPECT_EQ(written, frame_bits - unused);
        for (std::int32_t i = 0; i < unused; ++i) writer_.put_bit(0);
        last_unused_ = unused;

        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(stream_.frame_bytes) + 16);
        int n = 0;
        writer_.drain(bytes.data(), n);
        bytes.resize(static_cast<std::size_t>(n));
        return bytes;
    }

    const std::int32_t (*allocation() const)[32] { return allocation_; }
    const std::int32_t (*scfsi() const)[32] { return scfsi_; }
    int nch() const { return coding_.nch; }
    int mode() const { return header_.mode; }
    int bound() const { return coding_.bound; }
    std::int32_t last_unused() const { return last_unused_; }

private:
    Stream stream_;
    zuvo::MpaHeader header_{};
    zuvo::AllocTable table_{};
    zuvo::CodingParams coding_;
    zuvo::BitAllocator allocator_;
    zuvo::BitWriter writer_;
    zuvo::ChannelSamples sb_[2] = {};
    zuvo::ChannelSamples joint_ = {};
    zuvo::ChannelScaleIndices scale_index_[2] = {};
    zuvo::ChannelScaleIndices j_scale_index_ = {};
    zuvo::ChannelCodes codes_[2] = {};
    float smr_[2][32] = {};
    std::int32_t scfsi_[2][32] = {};
    std::int32_t allocation_[2][32] = {};
    std::int32_t last_unused_ = 0;
};

TEST(FrameAssembly, FramesReadBackCleanly) {
    const Stream streams[] = {
        {3, 5, 240},   // single channel, 80 kbit/s
        {0, 10, 576},  // stereo, 192 kbit/s
        {2, 8, 384},   // dual channel, 128 kbit/s
        {1, 8, 384},   // joint stereo, 128 kbit/s
        {1, 10, 576},  // joint stereo, 192 kbit/s
    };
    std::mt19937 rng(4242);
    for (const Stream& stream : streams) {
        auto builder = std::make_unique<FrameBuilder>(stream);
        std::vector<std::uint8_t> bytes;
        std::vector<std::vector<int>> allocations;
        std::vector<int> modes;
        std::vector<std::size_t> unused;
        int joint_frames = 0;
        for (int frame = 0; frame < 24; ++frame) {
            builder->fill_samples(rng);
            const std::vector<std::uint8_t> one = builder->encode();
            ASSERT_EQ(one.size(), static_cast<std::size_t>(stream.frame_bytes));
            bytes.insert(bytes.end(), one.begin(), one.end());
            std::vector<int> a;
            for (int c = 0; c < builder->nch(); ++c)
                for (int s = 0; s < 27; ++s) a.push_back(builder->allocation()[c][s]);
            allocations.push_back(a);
            modes.push_back(builder->mode());
            unused.push_back(static_cast<std::size_t>(builder->last_unused()));
            if (builder->mode() == 1) ++joint_frames;
        }
        const zuvo_test::StreamReport report = zuvo_test::read_layer2_stream(bytes);
        ASSERT_TRUE(report.ok()) << "mode " << stream.configured_mode << ": " << report.describe();
        ASSERT_EQ(report.frames.size(), allocations.size());
        for (std::size_t i = 0; i < report.frames.size(); ++i) {
            const zuvo_test::FrameInfo& info = report.frames[i];
            EXPECT_EQ(info.mode, modes[i]);
            EXPECT_EQ(info.channels, builder->nch());
            EXPECT_EQ(info.fill_bits, unused[i]);
            std::size_t k = 0;
            for (int c = 0; c < builder->nch(); ++c)
                for (int s = 0; s < 27; ++s, ++k) EXPECT_EQ(info.allocation[c][s], allocations[i][k]) << i;
        }
        if (stream.configured_mode == 1) {
            EXPECT_GT(joint_frames, 0) << "no frame needed joint coding";
        }
    }
}

}  // namespace
