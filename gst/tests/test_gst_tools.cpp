// zuvompaenc through the GStreamer command-line tools, with the plugin of this
// build tree (GST_PLUGIN_PATH): gst-inspect-1.0 lists the element and its
// properties; audiotestsrc ! zuvompaenc ! filesink writes streams that the
// frame reader and the decoders (ffmpeg, mpg123, madplay) take whole, with
// ceil((N + 481) / 1152) frames for N samples; the README's example runs.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/audio_tools.h"
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

std::size_t frames_for(std::size_t samples) { return (samples + 481 + 1151) / 1152; }

// Decodes `path` with every decoder installed; each must run cleanly and give
// 1152 samples per channel for each of `frames` frames.
void expect_decoders_take(const std::string& path, std::size_t frames, int channels, bool dual) {
    const std::vector<std::vector<std::string>> commands = {
        {"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "s16le", "-"},
        {"mpg123", "-q", "-s", path},
        dual ? std::vector<std::string>{"madplay", "-S", "-q", "-o", "raw:-", path}
             : std::vector<std::string>{"madplay", "-q", "-o", "raw:-", path},
    };
    for (const auto& command : commands) {
        if (find_program(command[0]).empty()) continue;
        const ProcessResult r = run_process(command);
        EXPECT_EQ(r.exit_code, 0) << command[0] << ": " << r.err;
        EXPECT_EQ(r.out.size(), frames * 1152 * 2 * static_cast<std::size_t>(channels))
            << command[0] << " decodes " << frames << " frames of " << channels << " channel(s)";
    }
}

TEST(GstTools, InspectListsTheElementAndItsProperties) {
    if (!tools_present()) GTEST_SKIP() << "gst-inspect-1.0 / gst-launch-1.0 not installed";
    const ProcessResult r = run_process({"gst-inspect-1.0", "zuvompaenc"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string out(r.out.begin(), r.out.end());
    for (const char* expected : {"GstAudioEncoder", "bitrate", "mode", "(0): auto", "(1): stereo", "(2): joint",
                                 "(3): dual", "(4): mono", "audio/mpeg", "layer: 2", "parsed: true", "S16LE"}) {
        EXPECT_NE(out.find(expected), std::string::npos) << "gst-inspect-1.0 shows no " << expected << "\n" << out;
    }
}

TEST(GstTools, LaunchedPipelinesWriteStreamsTheDecodersTake) {
    if (!tools_present()) GTEST_SKIP() << "gst-inspect-1.0 / gst-launch-1.0 not installed";
    struct Pipeline {
        int rate;
        int channels;
        const char* mode;
        int kbps;
        int buffers;
        int samples_per_buffer;
    };
    const Pipeline kPipelines[] = {
        {44100, 2, "joint", 192, 40, 1024},  // 40960 samples: tail of one frame after 35 whole ones
        {48000, 2, "dual", 256, 7, 999},
        {32000, 1, "mono", 64, 13, 1152},    // 14976 samples: exactly 13 frames plus the tail
        {44100, 2, "stereo", 128, 3, 441},   // less than two frames: a stream made mostly of the tail
    };
    TempDir dir;
    for (const Pipeline& p : kPipelines) {
        const std::string out = dir.file(std::string(p.mode) + std::to_string(p.rate) + ".mp2");
        SCOPED_TRACE(out);
        const ProcessResult r = run_process({"gst-launch-1.0", "-q", "audiotestsrc", "wave=pink-noise",
                                             "num-buffers=" + std::to_string(p.buffers),
                                             "samplesperbuffer=" + std::to_string(p.samples_per_buffer), "!",
                                             "audio/x-raw,format=S16LE,rate=" + std::to_string(p.rate) +
                                                 ",channels=" + std::to_string(p.channels),
                                             "!", "zuvompaenc", std::string("mode=") + p.mode,
                                             "bitrate=" + std::to_string(p.kbps), "!", "filesink",
                                             "location=" + out});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const StreamReport report = read_layer2_stream(read_file(out));
        EXPECT_TRUE(report.ok()) << report.describe();
        const std::size_t frames = frames_for(static_cast<std::size_t>(p.buffers) * p.samples_per_buffer);
        ASSERT_EQ(report.frames.size(), frames);
        EXPECT_EQ(report.frames[0].sampling_rate, p.rate);
        EXPECT_EQ(report.frames[0].bitrate_kbps, p.kbps);
        EXPECT_EQ(report.frames[0].channels, p.channels);
        expect_decoders_take(out, frames, p.channels, std::string(p.mode) == "dual");
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
