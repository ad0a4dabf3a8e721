// End-to-end checks through the public functions only: streams are encoded as
// a host would encode them, every frame is checked by the test-side frame
// reader, and then three independent decoders (ffmpeg, mpg123, madplay) must
// play them back without complaint and close to the input.
//
// A decoder that is not installed is skipped with a message, never failed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ZuvoMPAEncoder.h"
#include "support/audio_tools.h"
#include "support/decoders.h"
#include "support/frame_reader.h"

using namespace zuvo_test;

namespace {

constexpr double kTwoPi = 6.283185307179586;

struct StreamConfig {
    int mode;          // 0 stereo, 1 joint, 2 dual, 3 single channel
    int bitrate_index; // as configured (single channel is mapped by the library)
    int rate;
};

int stream_channels(const StreamConfig& c) { return c.mode == 3 ? 1 : 2; }

// Splits `total` bytes into buffers whose sizes cycle through `pattern`. In
// stereo and single-channel mode buffers under 4608 bytes are refused, so a
// short last buffer is merged into the one before it.
std::vector<std::size_t> buffer_sizes(std::size_t total, const std::vector<std::size_t>& pattern) {
    std::vector<std::size_t> sizes;
    std::size_t done = 0;
    for (std::size_t i = 0; done < total; ++i) {
        const std::size_t n = std::min(pattern[i % pattern.size()], total - done);
        sizes.push_back(n);
        done += n;
    }
    if (sizes.size() > 1 && sizes.back() < 4608) {
        sizes[sizes.size() - 2] += sizes.back();
        sizes.pop_back();
    }
    return sizes;
}

// Encodes interleaved PCM (already in the stream's channel count) through the
// six exported functions. Fails the test on any refusal.
std::vector<std::uint8_t> encode(const std::vector<std::int16_t>& pcm, const StreamConfig& config,
                                 const std::vector<std::size_t>& pattern = {4608 * 4}) {
    std::vector<std::uint8_t> stream;
    void* context = ZuvoCreateAudioContext();
    EXPECT_NE(context, nullptr);
    if (!context) return stream;
    ZuvoMPAEncoderParams params{config.mode, config.bitrate_index, config.rate};
    EXPECT_EQ(ZuvoInitAudioEncoder(context, &params), 1);

    std::vector<std::uint8_t> bytes = pcm_to_le(pcm);
    std::vector<std::uint8_t> output;
    std::size_t offset = 0;
    for (std::size_t size : buffer_sizes(bytes.size(), pattern)) {
        // Room for every frame this buffer can complete, with carried bytes.
        output.assign((size / 2304 + 2) * 1729, 0);
        std::vector<char> copy(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                               bytes.begin() + static_cast<std::ptrdiff_t>(offset + size));
        wavehdr_tag header{};
        header.lpData = copy.data();
        header.dwBufferLength = static_cast<std::uint32_t>(size);
        int produced = -1;
        EXPECT_EQ(ZuvoCompressAudioFrame(context, &header, output.data(), &produced), 1);
        if (produced > 0) stream.insert(stream.end(), output.begin(), output.begin() + produced);
        offset += size;
    }
    EXPECT_EQ(ZuvoFinishAudio(context), 1);
    ZuvoDeleteAudioContext(context);
    return stream;
}

// Frames of 1152 samples; an even count, so that single-channel input splits
// into whole 4608-byte buffers.
std::size_t whole_frames(double seconds, int rate) {
    std::size_t frames = static_cast<std::size_t>(std::ceil(seconds * rate / 1152.0));
    return (frames + 1) / 2 * 2;
}

// Two tones per channel: 440 Hz and 3 kHz, at different levels and phases.
// A slow swell keeps the signal from repeating every 1/40 s, so that the
// codec delay can be found by cross-correlation without ambiguity.
std::vector<std::int16_t> two_tone(std::size_t samples, int channels, int rate) {
    return synthesize(samples, channels, rate, [](int ch, double t) {
        const double swell = 0.75 + 0.25 * std::sin(kTwoPi * 1.7 * t + ch);
        if (ch == 0) return swell * (0.35 * std::sin(kTwoPi * 440.0 * t) + 0.2 * std::sin(kTwoPi * 3000.0 * t));
        return swell * (0.2 * std::sin(kTwoPi * 440.0 * t + 1.0) + 0.3 * std::sin(kTwoPi * 3000.0 * t + 0.5));
    });
}

struct Decoded {
    bool available = false;
    std::vector<std::int16_t> pcm;
};

// Decodes the stream at `path` with `decoder`; checks that it ran cleanly and
// produced exactly 1152 samples per channel for every frame.
Decoded decode(const Decoder& decoder, const std::string& path, const StreamReport& report) {
    Decoded d;
    const int mode = report.frames.empty() ? 0 : report.frames[0].mode;
    DecoderRun r = run_decoder(decoder, path, mode);
    if (!r.available) return d;
    d.available = true;
    EXPECT_TRUE(r.started) << decoder.name;
    EXPECT_FALSE(r.timed_out) << decoder.name;
    EXPECT_EQ(r.exit_code, 0) << decoder.name << ": " << r.complaint;
    EXPECT_EQ(r.complaint, "") << decoder.name << " complained";
    d.pcm = std::move(r.pcm);

    const std::size_t channels = report.frames.empty() ? 2 : static_cast<std::size_t>(report.frames[0].channels);
    const std::size_t frame_samples = 1152 * channels;
    const std::size_t expected = report.frames.size() * frame_samples;
    EXPECT_EQ(d.pcm.size(), expected) << decoder.name << ": samples for " << report.frames.size() << " frames";
    return d;
}

// ---- Round trips ---------------------------------------------------------------

struct RoundTrip {
    const char* name;
    StreamConfig config;
    int header_kbps;  // the bitrate the stream must carry
    double seconds;
    double min_snr_db; // measured values are in the comments of kRoundTrips
    bool noisy;        // two tones over white noise instead of two tones
};

// Minimum SNRs are set about 10 dB below the lowest of the three decoders'
// measurements (noted per case): far enough for a deliberate change of the
// model or the allocation, close enough that a coding fault fails.
const RoundTrip kRoundTrips[] = {
    // name             mode, index, rate   kbit/s  s    min   measured (ffmpeg / mpg123 / madplay)
    {"stereo_44k_256", {0, 12, 44100}, 256, 3.0, 70.0, false}, // 82.5 / 85.8 / 85.8
    {"stereo_44k_128", {0, 8, 44100}, 128, 3.0, 58.0, false},  // 69.0 / 69.1 / 69.1
    {"stereo_44k_64", {0, 4, 44100}, 64, 3.0, 35.0, false},    // 43.5 / 43.5 / 43.5
    {"joint_48k_192", {1, 10, 48000}, 192, 3.0, 66.0, false},  // 78.6 / 79.2 / 79.2
    {"joint_32k_128", {1, 8, 32000}, 128, 3.0, 50.0, false},   // 60.3 / 60.3 / 60.3
    {"dual_32k_192", {2, 10, 32000}, 192, 3.0, 58.0, false},   // 69.4 / 69.5 / 69.5
    {"stereo_48k_384", {0, 14, 48000}, 384, 2.0, 68.0, false}, // 80.1 / 80.9 / 80.9
    {"mono_44k_96", {3, 10, 44100}, 96, 3.0, 67.0, false},     // 79.4 / 80.0 / 80.0
    {"mono_48k_64", {3, 8, 48000}, 64, 3.0, 56.0, false},      // 67.7 / 67.8 / 67.8
    {"mono_32k_48", {3, 6, 32000}, 48, 3.0, 40.0, false},      // 50.7 / 50.7 / 50.7
    // Tones over wide-band noise: every subband carries signal, and the model
    // lets the coding noise rise to the masking threshold.
    {"noisy_joint_44k_192", {1, 10, 44100}, 192, 3.0, 9.0, true},   // 13.8 / 13.8 / 13.8
    {"noisy_stereo_48k_256", {0, 12, 48000}, 256, 3.0, 9.0, true},  // 13.7 / 13.7 / 13.7
    {"noisy_mono_32k_96", {3, 10, 32000}, 96, 3.0, 12.0, true},     // 17.7 / 17.7 / 17.7
};

// Names the case in test listings (instead of a byte dump of the record).
void PrintTo(const RoundTrip& rt, std::ostream* os) { *os << rt.name; }

class DecoderRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(DecoderRoundTrip, FramesAreValidAndDecodersAgree) {
    const RoundTrip& rt = GetParam();
    const int channels = stream_channels(rt.config);
    const std::size_t frames = whole_frames(rt.seconds, rt.config.rate);
    std::vector<std::int16_t> input = two_tone(frames * 1152, channels, rt.config.rate);
    if (rt.noisy) {
        const std::vector<std::int16_t> noise = white_noise(frames * 1152, channels, 0.1, 5);
        for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<std::int16_t>(input[i] * 0.8 + noise[i]);
    }
    const std::vector<std::uint8_t> stream = encode(input, rt.config);

    const StreamReport report = read_layer2_stream(stream);
    ASSERT_TRUE(report.ok()) << report.describe();
    ASSERT_EQ(report.frames.size(), frames);
    for (const FrameInfo& f : report.frames) {
        EXPECT_EQ(f.bitrate_kbps, rt.header_kbps);
        EXPECT_EQ(f.sampling_rate, rt.config.rate);
        EXPECT_EQ(f.channels, channels);
        if (rt.config.mode != 1) {
            EXPECT_EQ(f.mode, rt.config.mode);
        } else {
            EXPECT_TRUE(f.mode == 0 || f.mode == 1);
        }
    }

    TempDir dir;
    const std::string path = dir.file("stream.mp2");
    ASSERT_TRUE(write_file(path, stream));
    int decoders_run = 0;
    std::ostringstream measured;
    for (const Decoder& decoder : kDecoders) {
        SCOPED_TRACE(decoder.name);
        const Decoded d = decode(decoder, path, report);
        if (!d.available) continue;
        ++decoders_run;
        if (d.pcm.size() != input.size()) continue; // already reported
        // Skip the first and last frame: the filterbanks' start-up and the
        // samples still in flight at the end.
        const Comparison c = compare_signals(input, d.pcm, channels, -64, 3000, 1152, 1152);
        measured << decoder.name << ": " << c.snr_db << " dB at lag " << c.lag;
        measured << "; ";
        EXPECT_GT(c.snr_db, rt.min_snr_db) << "lag " << c.lag;
        // Analysis plus synthesis delay of the polyphase filterbanks.
        EXPECT_GE(c.lag, 400);
        EXPECT_LE(c.lag, 600);
    }
    RecordProperty("measured", measured.str());
    std::printf("[ measured ] %s: %s\n", rt.name, measured.str().c_str());
    if (decoders_run == 0) GTEST_SKIP() << "none of ffmpeg, mpg123, madplay is installed";
}

INSTANTIATE_TEST_SUITE_P(Streams, DecoderRoundTrip, ::testing::ValuesIn(kRoundTrips),
                         [](const ::testing::TestParamInfo<RoundTrip>& info) { return std::string(info.param.name); });

// ---- Joint stereo -----------------------------------------------------------------

// Two seconds of a centred tone (stereo costs nothing extra), then two
// seconds of independent wide-band noise in each channel (it does).
std::vector<std::int16_t> tone_then_noise(int rate, std::size_t frames) {
    const std::size_t half = frames / 2 * 1152;
    std::vector<std::int16_t> pcm = synthesize(half, 2, rate, [](int, double t) {
        return 0.3 * std::sin(kTwoPi * 1000.0 * t);
    });
    const std::vector<std::int16_t> noise = white_noise(frames * 1152 - half, 2, 0.3, 99);
    pcm.insert(pcm.end(), noise.begin(), noise.end());
    return pcm;
}

TEST(DecoderJointStereo, DecidedPerFrameAtLowBitrate) {
    const int rate = 48000;
    const std::size_t frames = whole_frames(4.0, rate);
    const std::vector<std::int16_t> input = tone_then_noise(rate, frames);
    const std::vector<std::uint8_t> stream = encode(input, {1, 8, rate}); // 128 kbit/s

    const StreamReport report = read_layer2_stream(stream);
    ASSERT_TRUE(report.ok()) << report.describe();
    ASSERT_EQ(report.frames.size(), frames);
    std::map<int, int> by_mode;
    std::set<int> bounds;
    for (const FrameInfo& f : report.frames) {
        ++by_mode[f.mode];
        if (f.mode == 1) bounds.insert(f.bound);
        if (f.mode == 0) {
            EXPECT_EQ(f.mode_extension, 0);
        }
    }
    EXPECT_GT(by_mode[0], 0) << "the tone part should fit without joint coding";
    EXPECT_GT(by_mode[1], 0) << "independent noise at 128 kbit/s should need joint coding";
    EXPECT_EQ(by_mode[0] + by_mode[1], static_cast<int>(frames));
    // The noise half is coded jointly in (nearly) every frame.
    int joint_in_noise = 0;
    for (std::size_t i = frames / 2 + 1; i < frames; ++i) joint_in_noise += report.frames[i].mode == 1;
    EXPECT_GE(joint_in_noise, static_cast<int>(frames / 2) - 2);
    std::ostringstream b;
    for (int x : bounds) b << x << " ";
    std::printf("[ measured ] joint frames %d of %zu, bounds used: %s\n", by_mode[1], frames, b.str().c_str());

    // Joint frames decode as cleanly as stereo ones.
    TempDir dir;
    const std::string path = dir.file("joint.mp2");
    ASSERT_TRUE(write_file(path, stream));
    for (const Decoder& decoder : kDecoders) {
        SCOPED_TRACE(decoder.name);
        decode(decoder, path, report);
    }
}

TEST(DecoderJointStereo, PlainStereoWhenBitsSufficeAfterTheOpeningFrames) {
    const int rate = 48000;
    const std::size_t frames = whole_frames(4.0, rate);
    const std::vector<std::int16_t> input = tone_then_noise(rate, frames);
    const std::vector<std::uint8_t> stream = encode(input, {1, 14, rate}); // 384 kbit/s

    const StreamReport report = read_layer2_stream(stream);
    ASSERT_TRUE(report.ok()) << report.describe();
    ASSERT_EQ(report.frames.size(), frames);
    for (std::size_t i = 0; i < frames; ++i) {
        // The two opening frames are marked joint with the highest bound.
        const bool opening = i < 2;
        EXPECT_EQ(report.frames[i].mode, opening ? 1 : 0) << "frame " << i;
        EXPECT_EQ(report.frames[i].mode_extension, opening ? 3 : 0) << "frame " << i;
        EXPECT_EQ(report.frames[i].bound, opening ? 16 : report.frames[i].sblimit) << "frame " << i;
    }
}

// Joint-stereo streams whose start is quiet and whose body needs joint coding:
// the opening frames would be plain stereo ahead of joint ones, a switch that
// makes some demuxers (ffmpeg's) discard the first frame. Every decoder must
// return every frame, and the opening frames carry the joint header.
TEST(DecoderJointStereo, EveryDecoderKeepsTheOpeningFrames) {
    struct Opening {
        const char* name;
        int bitrate_index;
        int rate;
        std::function<double(int, double)> value;
    };
    const auto noise = [](int ch, double t) {  // deterministic, independent per channel
        const double x = std::sin(12.9898 * (t * 48000.0 + 1.0) + 78.233 * ch) * 43758.5453;
        return 2.0 * (x - std::floor(x)) - 1.0;
    };
    const Opening openings[] = {
        {"silence_then_noise", 8, 44100,
         [&](int ch, double t) { return t < 0.05 ? 0.0 : 0.3 * noise(ch, t); }},
        {"quiet_tone_then_drums", 8, 48000,
         [&](int ch, double t) {
             const double beat = std::fmod(t, 0.25);
             const double hit = t < 0.04 ? 0.0 : std::exp(-beat * 30.0) * 0.6 * noise(ch, t);
             return 0.001 * std::sin(kTwoPi * 200.0 * t) + hit;
         }},
        {"fade_in_mixture", 6, 32000,
         [&](int ch, double t) {
             const double gain = std::min(1.0, t / 0.2);
             return gain * (0.2 * std::sin(kTwoPi * (220.0 + 110.0 * ch) * t) + 0.15 * noise(ch, t));
         }},
    };
    for (const Opening& o : openings) {
        SCOPED_TRACE(o.name);
        const std::size_t frames = whole_frames(1.0, o.rate);
        const std::vector<std::int16_t> input = synthesize(frames * 1152, 2, o.rate, o.value);
        const std::vector<std::uint8_t> stream = encode(input, {1, o.bitrate_index, o.rate});
        const StreamReport report = read_layer2_stream(stream);
        ASSERT_TRUE(report.ok()) << report.describe();
        ASSERT_EQ(report.frames.size(), frames);
        for (std::size_t i = 0; i < 2; ++i) {
            // Marked joint, with no bound beyond the coded subbands.
            EXPECT_EQ(report.frames[i].mode, 1) << "frame " << i;
            EXPECT_LE(report.frames[i].bound, report.frames[i].sblimit) << "frame " << i;
        }
        TempDir dir;
        const std::string path = dir.file("opening.mp2");
        ASSERT_TRUE(write_file(path, stream));
        for (const Decoder& decoder : kDecoders) {
            SCOPED_TRACE(decoder.name);
            decode(decoder, path, report);  // exactly frames x 1152 samples per channel
        }
    }
}

// ---- Determinism ------------------------------------------------------------------

TEST(DecoderDeterminism, BufferSizesDoNotChangeTheStream) {
    const int rate = 44100;
    const std::size_t frames = whole_frames(2.0, rate);
    const std::vector<std::int16_t> input = two_tone(frames * 1152, 2, rate);
    const std::size_t total = input.size() * 2;

    // Joint stereo stages buffers of any size, even single bytes.
    const StreamConfig joint{1, 10, rate};
    const std::vector<std::uint8_t> whole = encode(input, joint, {total});
    ASSERT_EQ(read_layer2_stream(whole).frames.size(), frames);
    EXPECT_EQ(encode(input, joint, {1, 7, 333, 4607, 4609, 1000, 9999, 2, 12345}), whole);
    EXPECT_EQ(encode(input, joint, {4608}), whole);

    // Stereo refuses buffers under one frame, so odd sizes above it.
    const StreamConfig stereo{0, 10, rate};
    const std::vector<std::uint8_t> stereo_whole = encode(input, stereo, {total});
    EXPECT_EQ(encode(input, stereo, {4609, 5001, 9999, 4608 * 3 + 1, 38401}), stereo_whole);
}

TEST(DecoderDeterminism, RepeatedRunsAndInterleavedContextsAgree) {
    const int rate = 48000;
    const std::size_t frames = whole_frames(1.0, rate);
    const std::vector<std::int16_t> stereo = two_tone(frames * 1152, 2, rate);
    const std::vector<std::int16_t> mono = two_tone(frames * 1152, 1, rate);
    const std::vector<std::uint8_t> first = encode(stereo, {1, 9, rate});
    const std::vector<std::uint8_t> mono_first = encode(mono, {3, 9, rate});
    EXPECT_EQ(encode(stereo, {1, 9, rate}), first);
    EXPECT_EQ(encode(mono, {3, 9, rate}), mono_first);

    // Two contexts fed alternately on one thread give the same streams as
    // each one alone.
    void* a = ZuvoCreateAudioContext();
    void* b = ZuvoCreateAudioContext();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ZuvoMPAEncoderParams pa{1, 9, rate};
    ZuvoMPAEncoderParams pb{3, 9, rate};
    ASSERT_EQ(ZuvoInitAudioEncoder(a, &pa), 1);
    ASSERT_EQ(ZuvoInitAudioEncoder(b, &pb), 1);
    std::vector<std::uint8_t> sa = pcm_to_le(stereo), sb = pcm_to_le(mono);
    std::vector<std::uint8_t> out_a, out_b, buffer(8 * 1729);
    for (std::size_t f = 0; f < frames; f += 2) {
        wavehdr_tag ha{};
        ha.lpData = reinterpret_cast<char*>(sa.data() + f * 4608);
        ha.dwBufferLength = 2 * 4608;
        int n = 0;
        ASSERT_EQ(ZuvoCompressAudioFrame(a, &ha, buffer.data(), &n), 1);
        out_a.insert(out_a.end(), buffer.begin(), buffer.begin() + n);
        wavehdr_tag hb{};
        hb.lpData = reinterpret_cast<char*>(sb.data() + f * 2304);
        hb.dwBufferLength = 2 * 2304;
        ASSERT_EQ(ZuvoCompressAudioFrame(b, &hb, buffer.data(), &n), 1);
        out_b.insert(out_b.end(), buffer.begin(), buffer.begin() + n);
    }
    ZuvoFinishAudio(a);
    ZuvoFinishAudio(b);
    ZuvoDeleteAudioContext(a);
    ZuvoDeleteAudioContext(b);
    EXPECT_EQ(out_a, first);
    EXPECT_EQ(out_b, mono_first);
}

// The exact bytes of a few streams, pinned. Together they reach every coding
// path: jointly coded subbands at low bounds, a single channel at a tight
// bitrate (where the psychoacoustic model decides nearly every bit), and the
// 32 kHz tables. A change here means the encoder's output changed: if that
// was intended (a deliberate change of the bit allocation, the model or the
// filterbank), check the new streams with the round-trip tests above and a
// listen, then replace the value with the one this test prints.
TEST(DecoderDeterminism, GoldenChecksums) {
    struct Golden {
        const char* name;
        StreamConfig config;
        bool noisy;  // two tones over independent wide-band noise
        std::uint64_t checksum;
    };
    const Golden goldens[] = {
        {"joint_44k_192_tones", {1, 10, 44100}, false, 0xdf82b861fcc88c07ULL},
        {"joint_44k_128_noisy", {1, 8, 44100}, true, 0x6ac8262bf989a2d4ULL},
        {"mono_48k_48_noisy", {3, 6, 48000}, true, 0xb58744234649f268ULL},
        {"stereo_32k_192_noisy", {0, 10, 32000}, true, 0x842bfe84ea895df1ULL},
    };
    for (const Golden& g : goldens) {
        SCOPED_TRACE(g.name);
        const int channels = stream_channels(g.config);
        std::vector<std::int16_t> input = two_tone(40 * 1152, channels, g.config.rate);
        if (g.noisy) {
            const std::vector<std::int16_t> noise = white_noise(40 * 1152, channels, 0.2, 17);
            for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<std::int16_t>(input[i] * 0.7 + noise[i]);
        }
        const std::vector<std::uint8_t> stream = encode(input, g.config);
        const StreamReport report = read_layer2_stream(stream);
        ASSERT_EQ(report.frames.size(), 40u);
        if (g.config.mode == 1 && g.noisy) {
            // Most frames code the upper subbands jointly from a low bound.
            int low_bounds = 0;
            for (const FrameInfo& f : report.frames) low_bounds += f.mode == 1 && f.bound <= 8;
            EXPECT_GE(low_bounds, 30);
        }
        const std::uint64_t hash = fnv1a64(stream);
        char text[32];
        std::snprintf(text, sizeof text, "0x%016llxULL", static_cast<unsigned long long>(hash));
        EXPECT_EQ(hash, g.checksum) << "stream checksum is now " << text << " (" << stream.size() << " bytes)";
    }
}

} // namespace
