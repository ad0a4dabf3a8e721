// MpaEncoder: configuration repairs, frame geometry, padding, input staging
// and the sampling-rate switch announced with a buffer.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "encoder/mpa_encoder.h"

using zuvo::MpaEncoder;

namespace {

struct Stream {
    MpaEncoder encoder;
    std::vector<unsigned char> out = std::vector<unsigned char>(1 << 20);

    bool init(int mode, int bitrate_index, int rate) {
        encoder.configure(mode, bitrate_index, rate);
        return encoder.start();
    }
    // Feeds `pcm` (announcing `rate`) and returns the bytes written; -1 when refused.
    int feed(const std::vector<char>& pcm, std::uint64_t rate = 0) {
        return static_cast<int>(
            encoder.compress(reinterpret_cast<const std::uint8_t*>(pcm.data()), pcm.size(), rate, out.data()));
    }
};

// Deterministic 16-bit noise-like PCM.
std::vector<char> pcm_bytes(std::size_t bytes, std::uint32_t seed = 1) {
    std::vector<char> v(bytes);
    for (auto& b : v) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<char>(seed >> 24);
    }
    return v;
}

int header_bitrate_index(const MpaEncoder& e) { return e.header().bitrate_index; }

}  // namespace

TEST(EncoderConfiguration, BitrateRepairsAndTheSingleChannelMap) {
    struct Case { int mode, index, header_index; };
    const Case cases[] = {
        {0, 0, 11}, {0, -1, 11}, {0, 15, 11}, {0, INT_MIN, 11}, {0, INT_MAX, 11}, {0, 14, 14},
        {1, 1, 1},  {2, 7, 7},   {3, 0, 6},   {3, 15, 6},       {3, 11, 6},       {3, 10, 6},
        {3, 6, 2},  {3, 5, 1},   {3, 1, 1},
    };
    for (const auto& c : cases) {
        Stream s;
        ASSERT_TRUE(s.init(c.mode, c.index, 44100)) << c.mode << "/" << c.index;
        EXPECT_EQ(header_bitrate_index(s.encoder), c.header_index) << c.mode << "/" << c.index;
        EXPECT_EQ(s.encoder.coding().nch, c.mode == 3 ? 1 : 2);
    }
}

TEST(EncoderConfiguration, RejectedRatesAndModesLeaveTheEncoderStopped) {
    const int rates[] = {0, -1, 22050, 44099, 96000, INT_MIN, INT_MAX};
    for (int rate : rates) {
        Stream s;
        EXPECT_FALSE(s.init(0, 11, rate)) << rate;
        EXPECT_FALSE(s.encoder.configured());
        EXPECT_FALSE(s.encoder.running());
        EXPECT_FALSE(s.encoder.holds_stream_buffers());
    }
    for (int mode : {-1, 4, INT_MIN, INT_MAX}) {
        Stream s;
        EXPECT_FALSE(s.init(mode, 11, 48000)) << mode;
        EXPECT_FALSE(s.encoder.running());
    }
    // A rejected configuration also ends a running stream.
    Stream s;
    ASSERT_TRUE(s.init(0, 11, 48000));
    EXPECT_FALSE(s.init(0, 11, 22050));
    EXPECT_FALSE(s.encoder.running());
    EXPECT_EQ(s.encoder.coding().alloc, nullptr);
}

TEST(EncoderGeometry, FrameSizesAndPaddingPattern) {
    {
        Stream s;
        ASSERT_TRUE(s.init(0, 10, 48000));
        EXPECT_EQ(s.encoder.slots_per_frame(), 576);
        EXPECT_EQ(s.encoder.slot_fraction(), 0.0);
        const auto pcm = pcm_bytes(4608 * 5);
        EXPECT_EQ(s.feed(pcm), 5 * 576);
        for (int f = 0; f < 5; ++f) EXPECT_EQ(s.out[f * 576 + 2] & 0x02, 0) << "no padding at 48 kHz";
    }
    {
        Stream s;
        ASSERT_TRUE(s.init(0, 8, 44100));
        EXPECT_EQ(s.encoder.slots_per_frame(), 417);
        EXPECT_NEAR(s.encoder.slot_fraction(), 0.959198, 1e-6);
    }
    // 44.1 kHz, 192 kbit/s: 626 bytes plus a fraction of 0.938797...; frames
    // 16, 32 and 49 are the first unpadded ones.
    Stream s;
    ASSERT_TRUE(s.init(0, 10, 44100));
    EXPECT_EQ(s.encoder.slots_per_frame(), 626);
    EXPECT_NEAR(s.encoder.slot_fraction(), 0.938797, 1e-6);
    const int frames = 400;
    const auto pcm = pcm_bytes(4608 * frames);
    const int bytes = s.feed(pcm);
    std::vector<int> unpadded;
    std::size_t at = 0;
    for (int f = 1; f <= frames; ++f) {
        ASSERT_LT(at + 3, static_cast<std::size_t>(bytes));
        ASSERT_EQ(s.out[at], 0xFF);
        ASSERT_EQ(s.out[at + 1], 0xFC);
        const int padding = (s.out[at + 2] >> 1) & 1;
        if (!padding && unpadded.size() < 3) unpadded.push_back(f);
        at += 626 + padding;
    }
    EXPECT_EQ(at, static_cast<std::size_t>(bytes));
    EXPECT_EQ(unpadded, (std::vector<int>{16, 32, 49}));
    EXPECT_NEAR(static_cast<double>(bytes) / frames, 626.9388, 0.003);
}

TEST(EncoderGeometry, LowBitratePaddingAlternates) {
    Stream s;
    ASSERT_TRUE(s.init(0, 1, 44100));  // 32 kbit/s: 104 bytes + 0.4898
    EXPECT_EQ(s.encoder.slots_per_frame(), 104);
    const auto pcm = pcm_bytes(4608 * 52);
    const int bytes = s.feed(pcm);
    std::vector<int> padding;
    for (std::size_t at = 0; at < static_cast<std::size_t>(bytes);) {
        padding.push_back((s.out[at + 2] >> 1) & 1);
        at += 104 + padding.back();
    }
    ASSERT_EQ(padding.size(), 52u);
    for (int f = 1; f <= 48; ++f) EXPECT_EQ(padding[f - 1], f % 2 == 0 ? 1 : 0) << "frame " << f;
    EXPECT_EQ(padding[48], 0);
    EXPECT_EQ(padding[49], 0);
    EXPECT_EQ(padding[50], 1);
}

TEST(EncoderStaging, StereoBuffersOf6000Bytes) {
    Stream s;
    ASSERT_TRUE(s.init(0, 10, 48000));
    const int carried[] = {1392, 2784, 4176, 960};
    const int frames[] = {1, 1, 1, 2};
    for (int call = 0; call < 4; ++call) {
        EXPECT_EQ(s.feed(pcm_bytes(6000, call + 1)), frames[call] * 576) << "call " << call + 1;
        EXPECT_EQ(s.encoder.staging().carried(), carried[call]) << "call " << call + 1;
    }
}

TEST(EncoderStaging, ShortBuffersAreStagedInEveryMode) {
    // Joint stereo, 1000-byte buffers: the fifth completes the first frame.
    {
        Stream s;
        ASSERT_TRUE(s.init(1, 10, 48000));
        for (int call = 1; call <= 4; ++call) {
            EXPECT_EQ(s.feed(pcm_bytes(1000, call)), 0);
            EXPECT_EQ(s.encoder.staging().carried(), 1000 * call);
        }
        EXPECT_EQ(s.feed(pcm_bytes(1000, 5)), 576);
        EXPECT_EQ(s.encoder.staging().carried(), 392);
    }
    // Stereo, 4607 bytes then one byte: nothing is dropped.
    {
        Stream s;
        ASSERT_TRUE(s.init(0, 10, 48000));
        EXPECT_EQ(s.feed(pcm_bytes(4607)), 0);
        EXPECT_EQ(s.encoder.staging().carried(), 4607);
        EXPECT_EQ(s.feed(pcm_bytes(1)), 576);
        EXPECT_EQ(s.encoder.staging().carried(), 0);
    }
    // Single channel: 2304 bytes make one frame, 4608 bytes two.
    {
        Stream s;
        ASSERT_TRUE(s.init(3, 10, 48000));  // header index 6: 96 kbit/s, 288 bytes
        EXPECT_EQ(s.feed(pcm_bytes(2304)), 288);
        EXPECT_EQ(s.feed(pcm_bytes(4608)), 2 * 288);
        EXPECT_EQ(s.feed(pcm_bytes(1000)), 0);
        EXPECT_EQ(s.encoder.staging().carried(), 1000);
    }
}

TEST(EncoderStaging, SplittingTheInputAnywhereGivesTheSameStream) {
    const auto pcm = pcm_bytes(4608 * 6 + 1234, 99);
    Stream whole;
    ASSERT_TRUE(whole.init(1, 6, 44100));
    const int whole_bytes = whole.feed(pcm);
    ASSERT_GT(whole_bytes, 0);
    const std::vector<unsigned char> expected(whole.out.begin(), whole.out.begin() + whole_bytes);

    Stream pieces;
    ASSERT_TRUE(pieces.init(1, 6, 44100));
    std::vector<unsigned char> got;
    const std::size_t sizes[] = {1, 3, 4607, 2, 9999, 577, 1, 4608, 333};
    std::size_t at = 0;
    for (std::size_t i = 0; at < pcm.size(); ++i) {
        const std::size_t n = std::min(sizes[i % 9], pcm.size() - at);
        const int bytes = pieces.feed(std::vector<char>(pcm.begin() + at, pcm.begin() + at + n));
        ASSERT_GE(bytes, 0);
        got.insert(got.end(), pieces.out.begin(), pieces.out.begin() + bytes);
        at += n;
    }
    EXPECT_EQ(got, expected) << "odd splits must complete samples across calls";
    EXPECT_EQ(pieces.encoder.staging().carried(), whole.encoder.staging().carried());
}

TEST(EncoderStaging, RateAnnouncedWithTheBuffer) {
    Stream s;
    ASSERT_TRUE(s.init(1, 10, 44100));
    const auto frame = pcm_bytes(4608);
    EXPECT_EQ(s.feed(frame, 0), 627);
    for (std::uint64_t ignored : {std::uint64_t{22050}, std::uint64_t{22051}, std::uint64_t{96000},
                                  std::uint64_t{0xFFFFFFFFu}, ~std::uint64_t{0}}) {
        const int bytes = s.feed(frame, ignored);
        EXPECT_TRUE(bytes == 626 || bytes == 627) << ignored;
        EXPECT_EQ(s.encoder.sampling_rate(), 44100);
    }
    EXPECT_EQ(s.feed(frame, 48000), 576) << "the switch applies from the first frame of the call";
    EXPECT_EQ((s.out[2] >> 2) & 3, 1) << "sampling-frequency bits say 48 kHz";
    EXPECT_EQ(s.encoder.coding().configured_mode, 1) << "joint stereo stays joint stereo";
    EXPECT_EQ(s.feed(frame, 32000), 864);
    EXPECT_EQ(s.encoder.coding().sblimit, 30) << "192 kbit/s at 32 kHz uses the 30-subband table";
}

TEST(EncoderLifecycle, RestartAndFinish) {
    Stream s;
    ASSERT_TRUE(s.init(0, 10, 48000));
    EXPECT_EQ(s.feed(pcm_bytes(3000)), 0);
    EXPECT_TRUE(s.encoder.finish_stream());
    EXPECT_FALSE(s.encoder.finish_stream());
    EXPECT_EQ(s.feed(pcm_bytes(4608)), -1);
    // A new stream starts with nothing carried and gives the same bytes as a
    // fresh encoder.
    ASSERT_TRUE(s.init(0, 10, 48000));
    EXPECT_EQ(s.encoder.staging().carried(), 0);
    const auto pcm = pcm_bytes(4608 * 3, 5);
    const int bytes = s.feed(pcm);
    Stream fresh;
    ASSERT_TRUE(fresh.init(0, 10, 48000));
    ASSERT_EQ(fresh.feed(pcm), bytes);
    EXPECT_EQ(0, std::memcmp(s.out.data(), fresh.out.data(), static_cast<std::size_t>(bytes)));
    // Starting again while running releases the previous stream first.
    ASSERT_TRUE(s.init(3, 5, 32000));
    EXPECT_TRUE(s.encoder.running());
    EXPECT_EQ(s.encoder.coding().nch, 1);
}
