// The C interface as a host sees it: every result code reached and named, the
// same streams as the six functions for the same samples, the flush's frame
// count, bounded output, reset, and diagnostics that reach the log callback
// and never the standard streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "ZuvoMPAEncoder.h"
#include "zuvo_mpa.h"

namespace {

constexpr std::size_t kFrame = 1152;

// Interleaved noise, the same on every platform.
std::vector<std::int16_t> noise(std::size_t samples_per_channel, int channels, std::uint32_t seed) {
    std::vector<std::int16_t> pcm(samples_per_channel * static_cast<std::size_t>(channels));
    for (auto& value : pcm) {
        seed = seed * 1664525u + 1013904223u;
        value = static_cast<std::int16_t>(static_cast<std::int32_t>(seed >> 16) - 32768) / 4;
    }
    return pcm;
}

struct Log {
    std::vector<std::string> messages;
    static void receive(void* user_data, const char* message) {
        static_cast<Log*>(user_data)->messages.emplace_back(message);
    }
};

// Encodes `pcm` through the C interface in calls of `block` samples per
// channel, each with exactly zuvo_mpa_max_output bytes of room, then flushes.
std::vector<std::uint8_t> encode_c(const zuvo_mpa_settings& settings, const std::vector<std::int16_t>& pcm,
                                   std::size_t block) {
    int error = 1;
    zuvo_mpa_encoder* encoder = zuvo_mpa_create(&settings, &error);
    EXPECT_EQ(error, ZUVO_MPA_OK);
    if (encoder == nullptr) return {};
    const std::size_t channels = static_cast<std::size_t>(zuvo_mpa_channels(encoder));
    const std::size_t total = pcm.size() / channels;
    std::vector<std::uint8_t> stream;
    std::vector<unsigned char> out;
    for (std::size_t at = 0; at <= total; at += block) {
        const std::size_t n = std::min(block, total - at);
        out.assign(zuvo_mpa_max_output(encoder, n), 0);
        std::size_t written = 99;
        EXPECT_EQ(zuvo_mpa_encode(encoder, pcm.data() + at * channels, n, out.data(), out.size(), &written),
                  ZUVO_MPA_OK);
        EXPECT_LE(written, out.size());
        stream.insert(stream.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(written));
    }
    out.assign(zuvo_mpa_max_output(encoder, 0), 0);
    std::size_t written = 99;
    EXPECT_EQ(zuvo_mpa_flush(encoder, out.data(), out.size(), &written), ZUVO_MPA_OK);
    stream.insert(stream.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(written));
    zuvo_mpa_destroy(encoder);
    return stream;
}

// The same samples through the six functions, followed by the silence that
// completes the frames a flush codes.
std::vector<std::uint8_t> encode_six(int mode, int bitrate_index, int rate, std::vector<std::int16_t> pcm) {
    const std::size_t channels = mode == 3 ? 1 : 2;
    const std::size_t total = pcm.size() / channels;
    if (total > 0) {
        const std::size_t frames = (total + 481 + kFrame - 1) / kFrame;
        pcm.resize(frames * kFrame * channels, 0);
    }
    void* context = ZuvoCreateAudioContext();
    ZuvoMPAEncoderParams params{mode, bitrate_index, rate};
    EXPECT_EQ(ZuvoInitAudioEncoder(context, &params), 1);
    std::vector<std::uint8_t> stream(pcm.size() + 4096);
    wavehdr_tag header{};
    header.lpData = reinterpret_cast<char*>(pcm.data());
    header.dwBufferLength = static_cast<std::uint32_t>(pcm.size() * 2);
    int length = 0;
    if (!pcm.empty()) {
        EXPECT_EQ(ZuvoCompressAudioFrame(context, &header, stream.data(), &length), 1);
    }
    stream.resize(static_cast<std::size_t>(length));
    ZuvoDeleteAudioContext(context);
    return stream;
}

std::size_t count_frames(const std::vector<std::uint8_t>& stream) {
    std::size_t frames = 0;
    for (std::size_t at = 0; at + 4 <= stream.size(); ++frames) {
        if (stream[at] != 0xFF || (stream[at + 1] & 0xF0) != 0xF0) return SIZE_MAX;
        static const int kbps[15] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
        static const int rates[3] = {44100, 48000, 32000};
        const int bitrate = kbps[stream[at + 2] >> 4];
        const int rate = rates[(stream[at + 2] >> 2) & 3];
        at += static_cast<std::size_t>(144000 * bitrate / rate + ((stream[at + 2] >> 1) & 1));
    }
    return frames;
}

}  // namespace

TEST(CApi, StreamsEqualTheSixFunctionsInEveryMode) {
    const struct {
        int mode;
        int kbps;
        int index;  // the six functions' bitrate index for the same stream
        int rate;
        std::size_t samples;
        std::size_t block;
    } cases[] = {
        {ZUVO_MPA_STEREO, 64, 4, 32000, 3 * kFrame, 1000},
        {ZUVO_MPA_JOINT_STEREO, 192, 10, 44100, 5 * kFrame + 671, 4096},  // the flush fits one frame
        {ZUVO_MPA_JOINT_STEREO, 384, 14, 48000, 5 * kFrame + 672, 333},   // ... and needs two
        {ZUVO_MPA_DUAL_CHANNEL, 256, 12, 48000, 7000, 7000},
        {ZUVO_MPA_MONO, 32, 1, 44100, 2 * kFrame + 1, 1152},
        {ZUVO_MPA_MONO, 48, 6, 32000, 4000, 500},
        {ZUVO_MPA_MONO, 56, 7, 48000, 4000, 4000},
        {ZUVO_MPA_MONO, 64, 8, 44100, 100, 7},
        {ZUVO_MPA_MONO, 80, 9, 32000, 4000, 4000},
        {ZUVO_MPA_MONO, 96, 10, 48000, 4000, 1},
        {ZUVO_MPA_STEREO, 224, 11, 44100, 0, 100},  // no samples, no frames
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", " << c.kbps << " kbit/s, " << c.rate << " Hz, "
                                        << c.samples << " samples");
        const int channels = c.mode == ZUVO_MPA_MONO ? 1 : 2;
        const auto pcm = noise(c.samples, channels, static_cast<std::uint32_t>(c.samples));
        const zuvo_mpa_settings settings{c.mode, c.kbps, c.rate, nullptr, nullptr};
        const auto from_c = encode_c(settings, pcm, c.block);
        EXPECT_EQ(count_frames(from_c), (c.samples == 0 ? 0 : (c.samples + 481 + kFrame - 1) / kFrame));
        EXPECT_TRUE(from_c == encode_six(c.mode, c.index, c.rate, pcm)) << "C interface and six functions differ";
        if (!from_c.empty()) {
            EXPECT_EQ(from_c[2] >> 4, c.mode == ZUVO_MPA_MONO ? c.index - (c.index > 1 ? 4 : 0) : c.index)
                << "header bitrate index";
        }
    }
}

TEST(CApi, EveryResultIsReachableAndNamed) {
    int error = 1;
    zuvo_mpa_settings good{ZUVO_MPA_JOINT_STEREO, 192, 44100, nullptr, nullptr};
    std::set<int> seen;
    auto create_result = [&](zuvo_mpa_settings s) {
        zuvo_mpa_encoder* e = zuvo_mpa_create(&s, &error);
        EXPECT_EQ(e, nullptr);
        return error;
    };
    const struct {
        zuvo_mpa_settings settings;
        int expected;
    } refused[] = {
        {{-1, 192, 44100, nullptr, nullptr}, ZUVO_MPA_ERROR_BAD_MODE},
        {{4, 192, 44100, nullptr, nullptr}, ZUVO_MPA_ERROR_BAD_MODE},
        {{ZUVO_MPA_STEREO, 32, 44100, nullptr, nullptr}, ZUVO_MPA_ERROR_BAD_BITRATE},
        {{ZUVO_MPA_JOINT_STEREO, 48, 44100, nullptr, nullptr}, ZUVO_MPA_ERROR_BAD_BITRATE},
        {{ZUVO_MPA_DUAL_CHANNEL, 56, 44100, nullptr, nullptr}, ZUVO_MPA_ERROR_BAD_BITRATE},
        {{ZUVO_MPA_STEREO, 80, 44100, nullptr, nullptr}, ZUVO_MPA_ERROR_BAD_BITRATE},
        {{ZUVO_MPA_STEREO, 193, 44100, nullptr, nullptr}, ZUVO_MPA_ERROR_BAD_BITRATE},
        {{ZUVO_MPA_STEREO, 0, 44100, nullptr, nullptr}, ZUVO_MPA_ERROR_BAD_BITRATE},
        {{ZUVO_MPA_MONO, 224, 44100, nullptr, nullptr}, ZUVO_MPA_ERROR_BAD_BITRATE},
        {{ZUVO_MPA_STEREO, 192, 24000, nullptr, nullptr}, ZUVO_MPA_ERROR_BAD_BITRATE},
        {{ZUVO_MPA_MONO, 8, 32000, nullptr, nullptr}, ZUVO_MPA_ERROR_BAD_BITRATE},
        {{ZUVO_MPA_MONO, 96, 11025, nullptr, nullptr}, ZUVO_MPA_ERROR_BAD_SAMPLE_RATE},
        {{ZUVO_MPA_STEREO, 384, 0, nullptr, nullptr}, ZUVO_MPA_ERROR_BAD_SAMPLE_RATE},
    };
    for (const auto& r : refused) {
        EXPECT_EQ(create_result(r.settings), r.expected);
        seen.insert(error);
    }
    EXPECT_EQ(zuvo_mpa_create(nullptr, &error), nullptr);
    EXPECT_EQ(error, ZUVO_MPA_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(zuvo_mpa_create(nullptr, nullptr), nullptr);

    zuvo_mpa_encoder* e = zuvo_mpa_create(&good, &error);
    ASSERT_NE(e, nullptr);
    seen.insert(error);
    // The bound: the longest frame (627 bytes) times max(ceil(n / 1152), 2).
    for (const auto& bound : {std::pair<std::size_t, std::size_t>{0, 2}, {1, 2}, {2 * kFrame, 2},
                              {2 * kFrame + 1, 3}, {10 * kFrame, 10}}) {
        EXPECT_EQ(zuvo_mpa_max_output(e, bound.first), bound.second * 627) << bound.first;
    }
    const auto pcm = noise(kFrame, 2, 1);
    std::vector<unsigned char> out(zuvo_mpa_max_output(e, kFrame), 0xAA);
    ASSERT_EQ(out.size(), 2 * 627u) << "room for a frame and for the flush after it";
    std::size_t written = 99;
    const struct {
        const std::int16_t* pcm;
        std::size_t samples;
        unsigned char* output;
        std::size_t capacity;
        std::size_t* written;
        int expected;
    } calls[] = {
        {nullptr, 1, out.data(), out.size(), &written, ZUVO_MPA_ERROR_INVALID_ARGUMENT},
        {pcm.data(), kFrame, nullptr, out.size(), &written, ZUVO_MPA_ERROR_INVALID_ARGUMENT},
        {pcm.data(), kFrame, out.data(), out.size(), nullptr, ZUVO_MPA_ERROR_INVALID_ARGUMENT},
        {pcm.data(), SIZE_MAX / 2, out.data(), SIZE_MAX, &written, ZUVO_MPA_ERROR_INVALID_ARGUMENT},
        {pcm.data(), kFrame, out.data(), out.size() - 1, &written, ZUVO_MPA_ERROR_BUFFER_TOO_SMALL},
        {pcm.data(), 1, out.data(), 0, &written, ZUVO_MPA_ERROR_BUFFER_TOO_SMALL},
    };
    for (const auto& c : calls) {
        EXPECT_EQ(zuvo_mpa_encode(e, c.pcm, c.samples, c.output, c.capacity, c.written), c.expected);
        seen.insert(c.expected);
    }
    EXPECT_EQ(zuvo_mpa_encode(nullptr, pcm.data(), 1, out.data(), out.size(), &written),
              ZUVO_MPA_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(out[0], 0xAA) << "a refused call writes nothing";
    EXPECT_EQ(zuvo_mpa_encode(e, nullptr, 0, out.data(), out.size(), &written), ZUVO_MPA_OK);
    EXPECT_EQ(zuvo_mpa_flush(e, out.data(), out.size(), nullptr), ZUVO_MPA_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(zuvo_mpa_flush(nullptr, out.data(), out.size(), &written), ZUVO_MPA_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(zuvo_mpa_flush(e, out.data(), out.size() - 1, &written), ZUVO_MPA_ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(zuvo_mpa_flush(e, out.data(), out.size(), &written), ZUVO_MPA_OK);
    EXPECT_EQ(written, 0u) << "the refused calls consumed nothing: no sample, no frame";
    EXPECT_EQ(zuvo_mpa_flush(e, out.data(), out.size(), &written), ZUVO_MPA_ERROR_FLUSHED);
    EXPECT_EQ(zuvo_mpa_encode(e, pcm.data(), 1, out.data(), out.size(), &written), ZUVO_MPA_ERROR_FLUSHED);
    seen.insert(ZUVO_MPA_ERROR_FLUSHED);
    EXPECT_EQ(zuvo_mpa_reset(nullptr), ZUVO_MPA_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(zuvo_mpa_reset(e), ZUVO_MPA_OK);
    EXPECT_EQ(zuvo_mpa_encode(e, pcm.data(), 1, out.data(), out.size(), &written), ZUVO_MPA_OK);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(zuvo_mpa_flush(e, out.data(), out.size(), &written), ZUVO_MPA_OK);
    EXPECT_EQ(written, 627u) << "one sample and the delay fill one frame";
    zuvo_mpa_destroy(e);
    zuvo_mpa_destroy(nullptr);
    EXPECT_EQ(zuvo_mpa_channels(nullptr), 0);
    EXPECT_EQ(zuvo_mpa_max_output(nullptr, 1), 0u);

    // Out of memory is reached by test_boundary_c_api, the configuration's
    // own codes by test_api_stream_settings; every code is named.
    seen.insert(ZUVO_MPA_ERROR_OUT_OF_MEMORY);
    seen.insert(ZUVO_MPA_ERROR_BAD_EMPHASIS);
    seen.insert(ZUVO_MPA_ERROR_BAD_ANCILLARY);
    seen.insert(ZUVO_MPA_ERROR_BAD_TUNING);
    EXPECT_EQ(seen.size(), 11u);
    std::set<std::string> names;
    for (int code : seen) {
        names.insert(zuvo_mpa_strerror(code));
    }
    names.insert(zuvo_mpa_strerror(1));
    names.insert(zuvo_mpa_strerror(-11));
    EXPECT_EQ(names.size(), 12u) << "eleven names and one for unknown codes";
    EXPECT_STREQ(zuvo_mpa_strerror(-11), "unknown error");
    EXPECT_STREQ(zuvo_mpa_version(), "1.1.0");
}

TEST(CApi, ResetStartsAStreamLikeANewEncoder) {
    const zuvo_mpa_settings settings{ZUVO_MPA_JOINT_STEREO, 128, 48000, nullptr, nullptr};
    const auto pcm = noise(3000, 2, 7);
    const auto expected = encode_c(settings, pcm, 3000);
    int error = 0;
    zuvo_mpa_encoder* e = zuvo_mpa_create(&settings, &error);
    ASSERT_NE(e, nullptr);
    std::vector<unsigned char> out(zuvo_mpa_max_output(e, 3000));
    std::size_t written = 0;
    // A stream abandoned half-way, and one completed: reset drops both.
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(zuvo_mpa_encode(e, pcm.data(), 3000, out.data(), out.size(), &written), ZUVO_MPA_OK);
        std::vector<std::uint8_t> stream(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(written));
        std::vector<unsigned char> tail(zuvo_mpa_max_output(e, 0));
        if (round == 0) {
            ASSERT_EQ(zuvo_mpa_reset(e), ZUVO_MPA_OK);
            continue;
        }
        ASSERT_EQ(zuvo_mpa_flush(e, tail.data(), tail.size(), &written), ZUVO_MPA_OK);
        stream.insert(stream.end(), tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(written));
        EXPECT_TRUE(stream == expected) << "round " << round;
        ASSERT_EQ(zuvo_mpa_reset(e), ZUVO_MPA_OK);
    }
    zuvo_mpa_destroy(e);
}

TEST(CApi, DiagnosticsGoToTheLogOnlyAndTheSixFunctionsKeepTheirLine) {
    const auto pcm = noise(2 * kFrame, 2, 3);
    Log log;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    encode_c(zuvo_mpa_settings{ZUVO_MPA_STEREO, 192, 48000, Log::receive, &log}, pcm, 1000);
    encode_c(zuvo_mpa_settings{ZUVO_MPA_STEREO, 192, 32000, nullptr, nullptr}, pcm, 1000);  // silent
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(log.messages, std::vector<std::string>{"absthr[][] sampling frequency index: 2"});

    testing::internal::CaptureStderr();
    encode_six(0, 10, 32000, pcm);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "absthr[][] sampling frequency index: 0\n");
}
