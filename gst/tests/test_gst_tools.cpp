// zuvompaenc through the GStreamer command-line tools, with the plugin of this
// build tree (GST_PLUGIN_PATH): gst-inspect-1.0 lists the element and its
// properties; audiotestsrc ! zuvompaenc ! filesink writes streams that the
// frame reader and the decoders (ffmpeg, mpg123, madplay) take whole and
// without complaint, with ceil((N + 481) / 1152) frames for N samples and the
// header flags the properties ask for; through mpegaudioparse ! mpegtsmux the
// stream lands in a transport stream that ffprobe reads as mp2; the README's
// example runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/audio_tools.h"
#include "support/decoders.h"
#include "support/frame_reader.h"

namespace {

using namespace zuvo_test;

// The tools find this build's plugin, and keep their registry to themselves.
class ToolEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("GST_PLUGIN_PATH_1_0", ZUVO_GST_PLUGIN_DIR, 1);
        setenv("GST_REGISTRY_1_0", registry_.file("registry.bin").c_str(), 1);
    }

private:
    TempDir registry_;
};
const ::testing::Environment* const kToolEnvironment = ::testing::AddGlobalTestEnvironment(new ToolEnvironment);

bool tools_present() { return !find_program("gst-inspect-1.0").empty() && !find_program("gst-launch-1.0").empty(); }

// The first of `elements` that GStreamer does not have, or "" when it has all.
std::string missing_element(const std::vector<std::string>& elements) {
    for (const std::string& e : elements) {
        if (run_process({"gst-inspect-1.0", "--exists", e}).exit_code != 0) return e;
    }
    return "";
}

// `words` split at spaces, appended to `argv`.
void append_words(std::vector<std::string>& argv, const std::string& words) {
    std::istringstream in(words);
    std::string word;
    while (in >> word) argv.push_back(word);
}

std::size_t frames_for(std::size_t samples) { return (samples + 481 + 1151) / 1152; }

// Decodes `path` with every decoder installed; each must run without a
// complaint and give 1152 samples per channel for each of `frames` frames.
// ffmpeg's probe of a raw stream of fewer than three frames notes that it is
// unsure of the format; that note says nothing about the frames.
void expect_decoders_take(const std::string& path, std::size_t frames, int channels, int mode) {
    for (const Decoder& decoder : kDecoders) {
        const DecoderRun run = run_decoder(decoder, path, mode);
        if (!run.available) continue;
        EXPECT_EQ(run.exit_code, 0) << decoder.name;
        std::string complaint = run.complaint;
        if (frames < 3 && complaint.find("misdetection possible") != std::string::npos &&
            std::count(complaint.begin(), complaint.end(), '\n') == 1) {
            complaint.clear();
        }
        EXPECT_EQ(complaint, "") << decoder.name;
        EXPECT_EQ(run.pcm.size(), frames * 1152 * static_cast<std::size_t>(channels))
            << decoder.name << " decodes " << frames << " frames of " << channels << " channel(s)";
    }
}

TEST(GstTools, InspectListsTheElementAndItsProperties) {
    if (!tools_present()) GTEST_SKIP() << "gst-inspect-1.0 / gst-launch-1.0 not installed";
    const ProcessResult r = run_process({"gst-inspect-1.0", "zuvompaenc"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string out(r.out.begin(), r.out.end());
    for (const char* expected : {"GstAudioEncoder", "bitrate", "mode", "(0): auto", "(1): stereo", "(2): joint",
                                 "(3): dual", "(4): mono", "audio/mpeg", "layer: 2", "parsed: true", "S16LE",
                                 "S32LE", "F32LE", "copyright", "original", "error-protection", "emphasis",
                                 "(0): none", "(1): 50/15", "(3): ccitt"}) {
        EXPECT_NE(out.find(expected), std::string::npos) << "gst-inspect-1.0 shows no " << expected << "\n" << out;
    }
}

TEST(GstTools, LaunchedPipelinesWriteStreamsTheDecodersTake) {
    if (!tools_present()) GTEST_SKIP() << "gst-inspect-1.0 / gst-launch-1.0 not installed";
    struct Pipeline {
        const char* caps;      // after audio/x-raw
        const char* settings;  // the element's properties
        int rate, channels, kbps, mode;
        int buffers, samples_per_buffer;
        int copyright, original, emphasis, protection_bit;  // every frame's header
    };
    const Pipeline kPipelines[] = {
        // 40960 samples: tail of one frame after 35 whole ones
        {"format=S16LE,rate=44100,channels=2", "mode=joint bitrate=192", 44100, 2, 192, 1, 40, 1024, 0, 0, 0, 0},
        {"format=S16LE,rate=48000,channels=2", "mode=dual bitrate=256", 48000, 2, 256, 2, 7, 999, 0, 0, 0, 0},
        // 14976 samples: exactly 13 frames plus the tail
        {"format=S16LE,rate=32000,channels=1", "mode=mono bitrate=64", 32000, 1, 64, 3, 13, 1152, 0, 0, 0, 0},
        // less than two frames: a stream made mostly of the tail
        {"format=S16LE,rate=44100,channels=2", "mode=stereo bitrate=128", 44100, 2, 128, 0, 3, 441, 0, 0, 0, 0},
        // 24 kHz with format and channels left to negotiation (mono, the default bitrate)
        {"rate=24000", "", 24000, 1, 48, 3, 30, 1000, 0, 0, 0, 0},
        {"format=F32LE,rate=22050,channels=2", "copyright=true emphasis=50/15", 22050, 2, 96, 1, 20, 1000, 1, 0, 1,
         0},
        {"format=S32LE,rate=16000,channels=1", "original=true emphasis=ccitt error-protection=false bitrate=32",
         16000, 1, 32, 3, 20, 800, 0, 1, 3, 1},
        {"format=S32LE,rate=48000,channels=2",
         "mode=stereo bitrate=384 copyright=true original=true error-protection=false", 48000, 2, 384, 0, 20, 1000,
         1, 1, 0, 1},
    };
    TempDir dir;
    int index = 0;
    for (const Pipeline& p : kPipelines) {
        const std::string out = dir.file(std::to_string(index++) + ".mp2");
        SCOPED_TRACE(std::string(p.caps) + " ! zuvompaenc " + p.settings);
        std::vector<std::string> argv = {"gst-launch-1.0", "-q", "audiotestsrc", "wave=pink-noise",
                                         "num-buffers=" + std::to_string(p.buffers),
                                         "samplesperbuffer=" + std::to_string(p.samples_per_buffer), "!",
                                         std::string("audio/x-raw,") + p.caps, "!", "zuvompaenc"};
        append_words(argv, p.settings);
        for (const char* word : {"!", "filesink"}) argv.push_back(word);
        argv.push_back("location=" + out);
        const ProcessResult r = run_process(argv);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const StreamReport report = read_layer2_stream(read_file(out));
        EXPECT_TRUE(report.ok()) << report.describe();
        const std::size_t frames = frames_for(static_cast<std::size_t>(p.buffers) * p.samples_per_buffer);
        ASSERT_EQ(report.frames.size(), frames);
        for (const FrameInfo& f : report.frames) {
            SCOPED_TRACE("frame at byte " + std::to_string(f.offset));
            EXPECT_EQ(f.sampling_rate, p.rate);
            EXPECT_EQ(f.bitrate_kbps, p.kbps);
            EXPECT_EQ(f.channels, p.channels);
            EXPECT_EQ(f.copyright, p.copyright);
            EXPECT_EQ(f.original, p.original);
            EXPECT_EQ(f.emphasis, p.emphasis);
            EXPECT_EQ(f.protection_bit, p.protection_bit);
        }
        expect_decoders_take(out, frames, p.channels, p.mode);
    }
}

// zuvompaenc ! mpegaudioparse ! mpegtsmux: a transport stream whose audio
// ffprobe reads as mp2 with the rate and channels of the input, stream type 3
// (MPEG-1) or 4 (the lower rates).
TEST(GstTools, TransportStreamCarriesTheStream) {
    if (!tools_present()) GTEST_SKIP() << "gst-inspect-1.0 / gst-launch-1.0 not installed";
    if (find_program("ffprobe").empty()) GTEST_SKIP() << "ffprobe not installed";
    const std::string missing = missing_element({"mpegaudioparse", "mpegtsmux"});
    if (!missing.empty()) GTEST_SKIP() << "GStreamer element " << missing << " not installed";
    const struct {
        const char* caps;
        const char* settings;
        const char* expected[4];  // lines of ffprobe -show_streams
    } kRows[] = {
        {"rate=48000,channels=2", "",
         {"codec_name=mp2", "sample_rate=48000", "channels=2", "codec_tag=0x0003"}},
        {"format=F32LE,rate=22050,channels=1", "error-protection=false copyright=true",
         {"codec_name=mp2", "sample_rate=22050", "channels=1", "codec_tag=0x0004"}},
        {"format=S32LE,rate=44100,channels=2", "mode=dual bitrate=256",
         {"codec_name=mp2", "sample_rate=44100", "channels=2", "codec_tag=0x0003"}},
    };
    TempDir dir;
    for (const auto& row : kRows) {
        SCOPED_TRACE(std::string(row.caps) + " ! zuvompaenc " + row.settings);
        const std::string out = dir.file("stream.ts");
        std::vector<std::string> argv = {"gst-launch-1.0", "-q", "audiotestsrc", "num-buffers=50", "!",
                                         std::string("audio/x-raw,") + row.caps, "!", "zuvompaenc"};
        append_words(argv, row.settings);
        append_words(argv, "! mpegaudioparse ! mpegtsmux ! filesink");
        argv.push_back("location=" + out);
        const ProcessResult r = run_process(argv);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const ProcessResult probe = run_process({"ffprobe", "-v", "error", "-show_streams", out});
        ASSERT_EQ(probe.exit_code, 0) << probe.err;
        EXPECT_EQ(probe.err, "");
        std::istringstream lines(std::string(probe.out.begin(), probe.out.end()));
        std::vector<std::string> shown;
        for (std::string line; std::getline(lines, line);) shown.push_back(line);
        EXPECT_EQ(std::count(shown.begin(), shown.end(), "[STREAM]"), 1) << "one stream in the transport stream";
        for (const char* expected : row.expected) {
            EXPECT_NE(std::find(shown.begin(), shown.end(), expected), shown.end())
                << "ffprobe -show_streams shows no " << expected;
        }
    }
}

// The README's "Use from GStreamer" section shows a pipeline; it must run as
// written (in an empty directory) and leave a stream there.
TEST(GstTools, ReadmePipelineRuns) {
    if (!tools_present()) GTEST_SKIP() << "gst-inspect-1.0 / gst-launch-1.0 not installed";
    std::ifstream readme(std::string(ZUVO_SOURCE_DIR) + "/README.md");
    ASSERT_TRUE(readme) << "README.md not found";
    std::string line, command;
    bool in_section = false, in_block = false;
    while (std::getline(readme, line)) {
        if (line.rfind("## ", 0) == 0) in_section = line.find("Use from GStreamer") != std::string::npos;
        if (!in_section) continue;
        if (line.rfind("```", 0) == 0) {
            if (in_block) break;
            in_block = true;
            continue;
        }
        if (in_block && line.rfind("gst-launch-1.0", 0) == 0) command = line;
    }
    ASSERT_FALSE(command.empty()) << "no gst-launch-1.0 line in the README's \"Use from GStreamer\" section";
    const std::string location = command.substr(command.find("location=") + 9);
    ASSERT_EQ(location.find(' '), std::string::npos) << "the pipeline should end in filesink location=FILE";

    TempDir dir;
    const ProcessResult r = run_process({"sh", "-c", command}, "", 300, dir.path());
    ASSERT_EQ(r.exit_code, 0) << command << "\n" << r.err;
    const StreamReport report = read_layer2_stream(read_file(dir.file(location)));
    EXPECT_TRUE(report.ok()) << report.describe();
    EXPECT_FALSE(report.frames.empty());
}

// Settings no input can satisfy fail the state change at once, with the
// reason: the pipeline never starts streaming, so it cannot hang on the way
// down (repeated, since a race would show only now and then).
TEST(GstTools, SettingsNoInputCanSatisfyFailAtStart) {
    if (!tools_present()) GTEST_SKIP() << "gst-inspect-1.0 / gst-launch-1.0 not installed";
    const char* const kSettings[][2] = {{"auto", "100"}, {"mono", "384"}, {"stereo", "100"}};
    for (const auto& setting : kSettings) {
        for (int run = 0; run < 5; ++run) {
            const ProcessResult r =
                run_process({"gst-launch-1.0", "-q", "audiotestsrc", "num-buffers=20", "!", "zuvompaenc",
                             std::string("mode=") + setting[0], std::string("bitrate=") + setting[1], "!", "fakesink"},
                            "", 20);
            EXPECT_FALSE(r.timed_out) << setting[0] << " " << setting[1];
            EXPECT_NE(r.exit_code, 0) << setting[0] << " " << setting[1];
            EXPECT_NE(r.out.size() + r.err.size(), 0u);
            const std::string said(r.out.begin(), r.out.end());
            EXPECT_NE((said + r.err).find(std::string("cannot code ") + setting[1] + " kbit/s"), std::string::npos)
                << said << r.err;
        }
    }
}

} // namespace
