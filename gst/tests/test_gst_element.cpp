// The zuvompaenc element in a GstHarness: input in buffers of odd sizes must
// come out as one whole frame per buffer, byte for byte the stream the C API
// makes from the same samples, with timestamps and durations of 1152 samples
// per frame, the delay tail drained at end of stream, the latency reported,
// settings the library refuses refused at negotiation, and a stream after a
// flush identical to a fresh one. The header properties reach every frame;
// S16LE, S32LE and F32LE input of the same values give the same bytes.
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "support/audio_tools.h"
#include "support/frame_reader.h"
#include "zuvo_mpa.h"

namespace {

using namespace zuvo_test;

constexpr std::size_t kFrameSamples = 1152;
constexpr std::size_t kDelay = 481;

// GStreamer sees only this build's plugin, with a registry of its own.
class GstEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("GST_PLUGIN_PATH_1_0", ZUVO_GST_PLUGIN_DIR, 1);
        setenv("GST_PLUGIN_SYSTEM_PATH_1_0", "", 1);
        setenv("GST_REGISTRY_1_0", registry_.file("registry.bin").c_str(), 1);
        gst_init(nullptr, nullptr);
    }

private:
    TempDir registry_;
};
const ::testing::Environment* const kGstEnvironment = ::testing::AddGlobalTestEnvironment(new GstEnvironment);

struct Stream {
    const char* name;
    int rate;
    int channels;
    const char* mode;  // the element's mode property
    int kbps;          // the element's bitrate property (0: its default)
    zuvo_mpa_mode library_mode;
    int library_kbps;
};

// The header settings, as the library's configuration takes them.
struct Flags {
    int copyright = 0;
    int original = 0;
    int emphasis = ZUVO_MPA_EMPHASIS_NONE;
    int error_protection = 1;
    int tuning = ZUVO_MPA_TUNING_BEST;  // the element's default
};

// The stream the C API makes of `pcm` in one call and a flush.
std::vector<std::uint8_t> c_api_stream(const Stream& s, const std::vector<std::int16_t>& pcm, const Flags& f = {}) {
    zuvo_mpa_config* config = zuvo_mpa_config_new();
    EXPECT_EQ(zuvo_mpa_config_set_mode(config, s.library_mode), ZUVO_MPA_OK);
    EXPECT_EQ(zuvo_mpa_config_set_bitrate(config, s.library_kbps), ZUVO_MPA_OK);
    EXPECT_EQ(zuvo_mpa_config_set_sample_rate(config, s.rate), ZUVO_MPA_OK);
    EXPECT_EQ(zuvo_mpa_config_set_copyright(config, f.copyright), ZUVO_MPA_OK);
    EXPECT_EQ(zuvo_mpa_config_set_original(config, f.original), ZUVO_MPA_OK);
    EXPECT_EQ(zuvo_mpa_config_set_emphasis(config, f.emphasis), ZUVO_MPA_OK);
    EXPECT_EQ(zuvo_mpa_config_set_error_protection(config, f.error_protection), ZUVO_MPA_OK);
    EXPECT_EQ(zuvo_mpa_config_set_tuning(config, f.tuning), ZUVO_MPA_OK);
    int error = 0;
    zuvo_mpa_encoder* enc = zuvo_mpa_create_with_config(config, &error);
    zuvo_mpa_config_free(config);
    EXPECT_NE(enc, nullptr) << zuvo_mpa_strerror(error);
    if (enc == nullptr) return {};
    const std::size_t n = pcm.size() / static_cast<std::size_t>(s.channels);
    std::vector<std::uint8_t> out(zuvo_mpa_max_output(enc, n));
    std::size_t written = 0;
    EXPECT_EQ(zuvo_mpa_encode(enc, pcm.data(), n, out.data(), out.size(), &written), ZUVO_MPA_OK);
    std::vector<std::uint8_t> tail(zuvo_mpa_max_output(enc, 0));
    std::size_t tail_written = 0;
    EXPECT_EQ(zuvo_mpa_flush(enc, tail.data(), tail.size(), &tail_written), ZUVO_MPA_OK);
    zuvo_mpa_destroy(enc);
    out.resize(written);
    out.insert(out.end(), tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(tail_written));
    return out;
}

// Properties as a user writes them: {name, value} pairs.
using Properties = std::vector<std::pair<const char*, const char*>>;

GstHarness* make_harness(const Stream& s, int input_channels, const char* format = "S16LE",
                         const Properties& properties = {}) {
    GstHarness* h = gst_harness_new("zuvompaenc");
    if (s.kbps != 0) g_object_set(h->element, "bitrate", s.kbps, nullptr);
    gst_util_set_object_arg(G_OBJECT(h->element), "mode", s.mode);
    for (const auto& [name, value] : properties) gst_util_set_object_arg(G_OBJECT(h->element), name, value);
    const std::string caps = std::string("audio/x-raw,format=") + format + ",layout=interleaved,rate=" +
                             std::to_string(s.rate) + ",channels=" + std::to_string(input_channels);
    gst_harness_set_src_caps_str(h, caps.c_str());
    return h;
}

GstClockTime at_sample(std::size_t sample, int rate) {
    return gst_util_uint64_scale_int(sample, GST_SECOND, rate);
}

// The 16-bit values as S16LE, as S32LE (v << 16) or as F32LE (v / 32767).
std::vector<std::uint8_t> pcm_bytes(const std::vector<std::int16_t>& pcm, const std::string& format) {
    if (format == "S16LE") return pcm_to_le(pcm);
    std::vector<std::uint8_t> bytes;
    for (const std::int16_t v : pcm) {
        std::uint32_t word = static_cast<std::uint32_t>(v) << 16;
        if (format == "F32LE") {
            const float f = static_cast<float>(v) / 32767.0f;
            std::memcpy(&word, &f, sizeof word);
        }
        for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<std::uint8_t>(word >> (8 * b)));
    }
    return bytes;
}

// Pushes `pcm` in buffers cycling through sizes that straddle frame borders,
// timestamped from `start`; returns the flow of the first push that failed.
GstFlowReturn push_in_odd_buffers(GstHarness* h, const std::vector<std::int16_t>& pcm, int channels, int rate,
                                  GstClockTime start = 0, const std::string& format = "S16LE") {
    static const std::size_t kSizes[] = {1, 7, 1151, 1153, 3000, 577, 2304};
    const std::vector<std::uint8_t> bytes = pcm_bytes(pcm, format);
    const std::size_t instants = pcm.size() / static_cast<std::size_t>(channels);
    const std::size_t bytes_per_instant = bytes.size() / instants;
    std::size_t at = 0;
    for (std::size_t i = 0; at < instants; ++i) {
        const std::size_t n = std::min(kSizes[i % std::size(kSizes)], instants - at);
        const std::size_t offset = at * bytes_per_instant;
        const std::size_t size = n * bytes_per_instant;
        GstBuffer* buffer = gst_harness_create_buffer(h, size);
        gst_buffer_fill(buffer, 0, bytes.data() + offset, size);
        GST_BUFFER_PTS(buffer) = start + at_sample(at, rate);
        GST_BUFFER_DURATION(buffer) = at_sample(at + n, rate) - at_sample(at, rate);
        const GstFlowReturn flow = gst_harness_push(h, buffer);
        if (flow != GST_FLOW_OK) return flow;
        at += n;
    }
    return GST_FLOW_OK;
}

struct Pulled {
    std::vector<std::uint8_t> bytes;  // every buffer, concatenated
    std::size_t buffers = 0;
};

// Takes every buffer the element has pushed; each must be exactly one valid
// frame, stamped as frame k of a stream starting at `start`.
Pulled pull_frames(GstHarness* h, int rate, GstClockTime start = 0) {
    Pulled p;
    while (GstBuffer* buffer = gst_harness_try_pull(h)) {
        const std::size_t k = p.buffers;
        GstMapInfo map;
        EXPECT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_READ));
        const StreamReport report = read_layer2_stream(map.data, map.size);
        EXPECT_TRUE(report.ok()) << "buffer " << k << ": " << report.describe();
        EXPECT_EQ(report.frames.size(), 1u) << "buffer " << k << " holds one frame";
        p.bytes.insert(p.bytes.end(), map.data, map.data + map.size);
        gst_buffer_unmap(buffer, &map);
        EXPECT_EQ(GST_BUFFER_PTS(buffer), start + at_sample(k * kFrameSamples, rate)) << "pts of frame " << k;
        EXPECT_EQ(GST_BUFFER_DURATION(buffer),
                  at_sample((k + 1) * kFrameSamples, rate) - at_sample(k * kFrameSamples, rate))
            << "duration of frame " << k;
        gst_buffer_unref(buffer);
        ++p.buffers;
    }
    return p;
}

std::size_t frames_for(std::size_t samples) { return (samples + kDelay + kFrameSamples - 1) / kFrameSamples; }

// rows: 44.1 kHz streams have padded frames; 10000 samples end with a tail of
// two frames, 4608 (four whole frames) with one, 1000 (less than a frame)
// with a stream made only of the tail.
const Stream kStreams[] = {
    {"JointStereo44k", 44100, 2, "joint", 192, ZUVO_MPA_JOINT_STEREO, 192},
    {"StereoDefaultBitrate44k", 44100, 2, "stereo", 0, ZUVO_MPA_STEREO, 192},
    {"AutoMono32k", 32000, 1, "auto", 0, ZUVO_MPA_MONO, 96},
    {"Dual48k", 48000, 2, "dual", 256, ZUVO_MPA_DUAL_CHANNEL, 256},
    {"AutoStereo48k", 48000, 2, "auto", 64, ZUVO_MPA_JOINT_STEREO, 64},
    {"JointStereo24kDefaultBitrate", 24000, 2, "joint", 0, ZUVO_MPA_JOINT_STEREO, 96},
    {"AutoMono22k", 22050, 1, "auto", 8, ZUVO_MPA_MONO, 8},
    {"Mono48kAt192", 48000, 1, "mono", 192, ZUVO_MPA_MONO, 192},
};
const std::size_t kLengths[] = {10000, 4608, 1000, 30000};

TEST(GstElement, OddBuffersGiveTheCApiStreamOneStampedFramePerBuffer) {
    for (const Stream& s : kStreams) {
        for (const std::size_t samples : kLengths) {
            SCOPED_TRACE(std::string(s.name) + ", " + std::to_string(samples) + " samples");
            const std::vector<std::int16_t> pcm = white_noise(samples, s.channels, 0.5, 7u + samples);
            GstHarness* h = make_harness(s, s.channels);
            ASSERT_EQ(push_in_odd_buffers(h, pcm, s.channels, s.rate), GST_FLOW_OK);
            EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_eos()));
            const Pulled p = pull_frames(h, s.rate);
            EXPECT_EQ(p.buffers, frames_for(samples));
            EXPECT_TRUE(p.bytes == c_api_stream(s, pcm)) << "bytes differ from the C API's stream";

            GstCaps* caps = gst_pad_get_current_caps(h->sinkpad);
            ASSERT_NE(caps, nullptr);
            const std::string expected = "audio/mpeg, mpegversion=(int)1, mpegaudioversion=(int)" +
                                         std::to_string(s.rate < 32000 ? 2 : 1) +
                                         ", layer=(int)2, parsed=(boolean)true, rate=(int)" + std::to_string(s.rate) +
                                         ", channels=(int)" + std::to_string(s.channels);
            GstCaps* wanted = gst_caps_from_string(expected.c_str());
            EXPECT_TRUE(gst_caps_is_subset(caps, wanted)) << gst_caps_to_string(caps);
            gst_caps_unref(wanted);
            gst_caps_unref(caps);
            EXPECT_EQ(gst_harness_query_latency(h), at_sample(kFrameSamples + kDelay, s.rate));
            gst_harness_teardown(h);
        }
    }
}

TEST(GstElement, FlushStopRestartsTheStream) {
    const Stream& s = kStreams[0];
    const std::vector<std::int16_t> before = white_noise(5000, s.channels, 0.5, 1);
    const std::vector<std::int16_t> after = white_noise(8000, s.channels, 0.5, 2);  // a tail of two frames
    GstHarness* h = make_harness(s, s.channels);
    ASSERT_EQ(push_in_odd_buffers(h, before, s.channels, s.rate), GST_FLOW_OK);
    EXPECT_EQ(pull_frames(h, s.rate).buffers, 5000 / kFrameSamples);

    // As after a seek to 10 s: the samples of the unfinished frame are
    // dropped, and the frames count from the new segment's first buffer.
    const GstClockTime seek = 10 * GST_SECOND;
    EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_flush_start()));
    EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_flush_stop(TRUE)));
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    segment.start = seek;
    segment.time = seek;
    EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_segment(&segment)));
    ASSERT_EQ(push_in_odd_buffers(h, after, s.channels, s.rate, seek), GST_FLOW_OK);
    EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_eos()));
    const Pulled p = pull_frames(h, s.rate, seek);
    EXPECT_EQ(p.buffers, frames_for(8000));
    EXPECT_TRUE(p.bytes == c_api_stream(s, after)) << "the stream after the flush differs from a fresh one";
    gst_harness_teardown(h);
}

// New input caps end the running stream (its tail drained) and start another.
TEST(GstElement, NewCapsEndTheStreamAndStartAnother) {
    const Stream& first = kStreams[0];
    const Stream& second = kStreams[3];
    const std::vector<std::int16_t> a = white_noise(5000, first.channels, 0.5, 4);
    const std::vector<std::int16_t> b = white_noise(3000, second.channels, 0.5, 5);
    GstHarness* h = make_harness(first, first.channels);
    ASSERT_EQ(push_in_odd_buffers(h, a, first.channels, first.rate), GST_FLOW_OK);
    const Pulled p = pull_frames(h, first.rate);
    EXPECT_EQ(p.buffers, 5000 / kFrameSamples);
    gst_util_set_object_arg(G_OBJECT(h->element), "mode", second.mode);
    g_object_set(h->element, "bitrate", second.kbps, nullptr);
    gst_harness_set_src_caps_str(h, "audio/x-raw,format=S16LE,layout=interleaved,rate=48000,channels=2");
    ASSERT_EQ(push_in_odd_buffers(h, b, second.channels, second.rate), GST_FLOW_OK);
    EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_eos()));
    std::vector<std::uint8_t> bytes = p.bytes;
    while (GstBuffer* buffer = gst_harness_try_pull(h)) {
        GstMapInfo map;
        EXPECT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_READ));
        bytes.insert(bytes.end(), map.data, map.data + map.size);
        gst_buffer_unmap(buffer, &map);
        gst_buffer_unref(buffer);
    }
    std::vector<std::uint8_t> expected = c_api_stream(first, a);
    const std::vector<std::uint8_t> then = c_api_stream(second, b);
    expected.insert(expected.end(), then.begin(), then.end());
    EXPECT_TRUE(bytes == expected) << "not the two streams of the C API one after the other";
    gst_harness_teardown(h);
}

// Each input format, in odd buffers, gives the stream of the 16-bit values:
// the same bytes, one stamped frame per buffer. Full-scale values are in.
TEST(GstElement, InputFormatsGiveTheSameStream) {
    const Stream* const kFormatStreams[] = {&kStreams[0], &kStreams[2], &kStreams[3], &kStreams[5], &kStreams[6]};
    for (const Stream* s : kFormatStreams) {
        std::vector<std::int16_t> pcm = white_noise(7000, s->channels, 1.0, 11);
        const std::int16_t kExtremes[] = {32767, -32768, -1, 1, 0, -32767};
        std::copy(std::begin(kExtremes), std::end(kExtremes), pcm.begin() + 100);
        const std::vector<std::uint8_t> expected = c_api_stream(*s, pcm);
        for (const char* format : {"S16LE", "S32LE", "F32LE"}) {
            SCOPED_TRACE(std::string(s->name) + ", " + format);
            GstHarness* h = make_harness(*s, s->channels, format);
            ASSERT_EQ(push_in_odd_buffers(h, pcm, s->channels, s->rate, 0, format), GST_FLOW_OK);
            EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_eos()));
            const Pulled p = pull_frames(h, s->rate);
            EXPECT_EQ(p.buffers, frames_for(pcm.size() / static_cast<std::size_t>(s->channels)));
            EXPECT_TRUE(p.bytes == expected) << "bytes differ from the 16-bit stream";
            gst_harness_teardown(h);
        }
    }
}

// copyright, original, emphasis and error-protection in every frame's header
// (the reader checks the CRC where there is one), and the bytes of the C API
// with the same configuration.
TEST(GstElement, HeaderPropertiesReachEveryFrame) {
    const struct {
        const Stream* stream;
        const char* format;
        Properties properties;
        Flags flags;
    } kRows[] = {
        {&kStreams[0], "S16LE", {}, {0, 0, ZUVO_MPA_EMPHASIS_NONE, 1}},
        {&kStreams[0], "S16LE", {{"copyright", "true"}, {"emphasis", "50/15"}}, {1, 0, ZUVO_MPA_EMPHASIS_50_15, 1}},
        {&kStreams[6], "F32LE", {{"original", "true"}, {"emphasis", "ccitt"}, {"error-protection", "false"}},
         {0, 1, ZUVO_MPA_EMPHASIS_CCITT, 0}},
        {&kStreams[3], "S32LE",
         {{"copyright", "true"}, {"original", "true"}, {"emphasis", "3"}, {"error-protection", "false"}},
         {1, 1, ZUVO_MPA_EMPHASIS_CCITT, 0}},
        {&kStreams[5], "S16LE", {{"error-protection", "false"}}, {0, 0, ZUVO_MPA_EMPHASIS_NONE, 0}},
        {&kStreams[0], "S16LE", {{"tuning", "reference"}},
         {0, 0, ZUVO_MPA_EMPHASIS_NONE, 1, ZUVO_MPA_TUNING_REFERENCE}},
    };
    for (const auto& row : kRows) {
        const Stream& s = *row.stream;
        std::string trace = std::string(s.name) + " " + row.format;
        for (const auto& [name, value] : row.properties) trace += std::string(" ") + name + "=" + value;
        SCOPED_TRACE(trace);
        const std::vector<std::int16_t> pcm = white_noise(6000, s.channels, 0.5, 21);
        GstHarness* h = make_harness(s, s.channels, row.format, row.properties);
        ASSERT_EQ(push_in_odd_buffers(h, pcm, s.channels, s.rate, 0, row.format), GST_FLOW_OK);
        EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_eos()));
        const Pulled p = pull_frames(h, s.rate);
        const StreamReport report = read_layer2_stream(p.bytes);
        EXPECT_TRUE(report.ok()) << report.describe();
        ASSERT_EQ(report.frames.size(), frames_for(6000));
        for (const FrameInfo& f : report.frames) {
            EXPECT_EQ(f.copyright, row.flags.copyright) << "frame at byte " << f.offset;
            EXPECT_EQ(f.original, row.flags.original) << "frame at byte " << f.offset;
            EXPECT_EQ(f.emphasis, row.flags.emphasis) << "frame at byte " << f.offset;
            EXPECT_EQ(f.protection_bit, row.flags.error_protection ? 0 : 1) << "frame at byte " << f.offset;
        }
        EXPECT_TRUE(p.bytes == c_api_stream(s, pcm, row.flags)) << "bytes differ from the C API's stream";
        gst_harness_teardown(h);
    }
}

// The reserved emphasis value 2 and unknown names are refused when set; the
// setting made before stays, and the stream carries it.
TEST(GstElement, RefusedEmphasisKeepsTheSettingBefore) {
    const Stream& s = kStreams[2];
    GstHarness* h = make_harness(s, s.channels, "S16LE", {{"emphasis", "ccitt"}});
    for (const char* refused : {"2", "reserved", "50"}) {
        gst_util_set_object_arg(G_OBJECT(h->element), "emphasis", refused);
        gint emphasis = -1;
        g_object_get(h->element, "emphasis", &emphasis, nullptr);
        EXPECT_EQ(emphasis, ZUVO_MPA_EMPHASIS_CCITT) << "after emphasis=\"" << refused << "\"";
    }
    const std::vector<std::int16_t> pcm = white_noise(3000, s.channels, 0.5, 5);
    ASSERT_EQ(push_in_odd_buffers(h, pcm, s.channels, s.rate), GST_FLOW_OK);
    EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_eos()));
    const StreamReport report = read_layer2_stream(pull_frames(h, s.rate).bytes);
    ASSERT_FALSE(report.frames.empty());
    for (const FrameInfo& f : report.frames) EXPECT_EQ(f.emphasis, ZUVO_MPA_EMPHASIS_CCITT);
    gst_harness_teardown(h);
}

// The sink pad offers the channel counts the settings can code, so that an
// audioconvert before the element mixes to one of them.
constexpr const char* kAllRates = "16000 22050 24000 32000 44100 48000";
constexpr const char* kHighRates = "32000 44100 48000";
constexpr const char* kLowRates = "16000 22050 24000";

TEST(GstElement, SinkCapsOfferTheChannelCountsAndRatesTheSettingsCode) {
    const struct {
        const char* mode;
        int kbps;
        const char* channels;  // the sink caps' channels field
        const char* rates;     // and its rate field
    } kRows[] = {
        {"auto", 0, "[ 1, 2 ]", kAllRates},
        {"auto", 64, "[ 1, 2 ]", kAllRates},
        {"auto", 384, "2", kHighRates},
        {"auto", 224, "2", kHighRates},
        {"auto", 192, "[ 1, 2 ]", kHighRates},
        {"mono", 192, "1", kHighRates},
        {"auto", 8, "[ 1, 2 ]", kLowRates},
        {"stereo", 48, "2", kLowRates},  // two channels at 48 kbit/s: only the lower rates
        {"mono", 48, "1", kAllRates},
        {"auto", 100, "[ 1, 2 ]", kAllRates},  // codable with neither; set_format refuses it
        {"mono", 0, "1", kAllRates},
        {"stereo", 0, "2", kAllRates},
        {"joint", 0, "2", kAllRates},
        {"dual", 0, "2", kAllRates},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(std::string(row.mode) + " " + std::to_string(row.kbps));
        GstHarness* h = gst_harness_new("zuvompaenc");
        gst_util_set_object_arg(G_OBJECT(h->element), "mode", row.mode);
        g_object_set(h->element, "bitrate", row.kbps, nullptr);
        GstCaps* caps = gst_pad_peer_query_caps(h->srcpad, nullptr);
        ASSERT_EQ(gst_caps_get_size(caps), 1u);
        gchar* channels = gst_value_serialize(gst_structure_get_value(gst_caps_get_structure(caps, 0), "channels"));
        EXPECT_STREQ(channels, row.channels);
        g_free(channels);
        // The rates in ascending order, however the caps list them.
        const GValue* list = gst_structure_get_value(gst_caps_get_structure(caps, 0), "rate");
        ASSERT_TRUE(list != nullptr && GST_VALUE_HOLDS_LIST(list));
        std::vector<int> rates;
        for (guint i = 0; i < gst_value_list_get_size(list); ++i) {
            rates.push_back(g_value_get_int(gst_value_list_get_value(list, i)));
        }
        std::sort(rates.begin(), rates.end());
        std::string text;
        for (int rate : rates) text += (text.empty() ? "" : " ") + std::to_string(rate);
        EXPECT_EQ(text, row.rates);
        gst_caps_unref(caps);
        gst_harness_teardown(h);
    }
}

TEST(GstElement, SettingsTheLibraryCannotCodeAreRefused) {
    struct Refused {
        Stream setup;
        int input_channels;
    };
    const Refused kRefused[] = {
        {{"BitrateNotInTheTable", 44100, 2, "joint", 100, ZUVO_MPA_JOINT_STEREO, 0}, 2},
        {{"BitrateTooHighForMono", 48000, 1, "mono", 384, ZUVO_MPA_MONO, 0}, 1},
        {{"BitrateTooLowForStereo", 32000, 2, "stereo", 32, ZUVO_MPA_STEREO, 0}, 2},
        {{"MonoModeStereoInput", 44100, 2, "mono", 0, ZUVO_MPA_MONO, 0}, 2},
        {{"DualModeMonoInput", 44100, 1, "dual", 0, ZUVO_MPA_DUAL_CHANNEL, 0}, 1},
    };
    for (const Refused& r : kRefused) {
        SCOPED_TRACE(r.setup.name);
        GstHarness* h = make_harness(r.setup, r.input_channels);
        const std::vector<std::int16_t> pcm = white_noise(3000, r.input_channels, 0.5, 3);
        EXPECT_NE(push_in_odd_buffers(h, pcm, r.input_channels, r.setup.rate), GST_FLOW_OK);
        EXPECT_EQ(gst_harness_try_pull(h), nullptr);
        gst_harness_teardown(h);
    }
}

} // namespace
