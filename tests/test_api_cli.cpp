// The command-line encoder, run as a user runs it: exit codes for bad
// arguments and bad input, the stream it writes (checked by the frame reader),
// standard input and output, the demo clip, and that a failed or interrupted
// run leaves neither a partial OUTPUT nor a temporary file behind.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "support/audio_tools.h"
#include "support/frame_reader.h"

using namespace zuvo_test;

namespace {

constexpr double kTwoPi = 6.283185307179586;

// The tool is built beside the library: <build>/tools/zuvo-mpa-encode.
std::string tool_path() {
    std::string library = ZUVO_LIBRARY_PATH;
    const std::size_t slash = library.rfind('/');
    const std::string build = slash == std::string::npos ? "." : library.substr(0, slash);
    return build + "/tools/zuvo-mpa-encode";
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        tool_ = tool_path();
        if (!file_exists(tool_)) GTEST_SKIP() << "zuvo-mpa-encode not built at " << tool_ << " (ZUVO_BUILD_TOOLS off?)";
        ASSERT_FALSE(dir_.path().empty());
    }

    ProcessResult run(std::vector<std::string> args, const std::string& stdin_path = "",
                      const std::string& cwd = "") {
        args.insert(args.begin(), tool_);
        return run_process(args, stdin_path, 300, cwd);
    }

    std::string wav(const std::string& name, std::size_t frames, int channels, int rate) {
        const std::string path = dir_.file(name);
        const auto pcm = synthesize(frames, channels, rate, [](int ch, double t) {
            return 0.3 * std::sin(kTwoPi * (ch ? 660.0 : 440.0) * t);
        });
        EXPECT_TRUE(write_wav16(path, pcm, channels, rate));
        return path;
    }

    // Files in the temporary directory other than the given ones.
    std::vector<std::string> leftovers(std::initializer_list<std::string> expected) const {
        std::vector<std::string> extra;
        for (const std::string& e : dir_.entries()) {
            bool known = false;
            for (const std::string& x : expected) known = known || e == x;
            if (!known) extra.push_back(e);
        }
        return extra;
    }

    std::string tool_;
    TempDir dir_;
};

std::size_t frames_for(std::size_t samples) { return (samples + 1151) / 1152; }

::testing::AssertionResult valid_stream(const std::vector<std::uint8_t>& bytes, std::size_t frames, int kbps,
                                        int mode, int rate) {
    const StreamReport r = read_layer2_stream(bytes);
    if (!r.ok()) return ::testing::AssertionFailure() << r.describe();
    if (r.frames.size() != frames)
        return ::testing::AssertionFailure() << r.frames.size() << " frames, expected " << frames;
    for (const FrameInfo& f : r.frames) {
        const bool mode_ok = mode == 1 ? (f.mode == 0 || f.mode == 1) : f.mode == mode;
        if (f.bitrate_kbps != kbps || !mode_ok || f.sampling_rate != rate) {
            return ::testing::AssertionFailure() << "frame at " << f.offset << ": " << f.bitrate_kbps
                                                 << " kbit/s, mode " << f.mode << ", " << f.sampling_rate << " Hz";
        }
    }
    return ::testing::AssertionSuccess();
}

} // namespace

TEST_F(CliTest, HelpAndVersion) {
    ProcessResult r = run({"--help"});
    EXPECT_EQ(r.exit_code, 0);
    const std::string help(r.out.begin(), r.out.end());
    EXPECT_NE(help.find("Usage:"), std::string::npos);
    EXPECT_NE(help.find("Exit status"), std::string::npos);
    EXPECT_NE(help.find("32 48 56 64 80 96"), std::string::npos);

    r = run({"-V"});
    EXPECT_EQ(r.exit_code, 0);
    const std::string version(r.out.begin(), r.out.end());
    EXPECT_EQ(version.rfind("zuvo-mpa-encode ", 0), 0u) << version;
}

TEST_F(CliTest, UsageErrorsExitWithOne) {
    const std::string in = wav("in.wav", 2000, 2, 44100);
    const std::string out = dir_.file("out.mp2");
    const std::vector<std::vector<std::string>> cases = {
        {"--frobnicate", in, out},
        {in},
        {in, out, dir_.file("third.mp2")},
        {"-b", "abc", in, out},
        {"-b", "100", in, out},                // not a Layer II bitrate
        {"-b", "128", "-m", "mono", in, out},  // above what mono streams offer
        {"-b", "99999999999", in, out},
        {"-m", "quad", in, out},
        {"-b"},
        {"--out", dir_.path(), in, out},       // --out is only for the demo
        {"-q=1", in, out},
    };
    for (const auto& args : cases) {
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        const ProcessResult r = run(args);
        EXPECT_EQ(r.exit_code, 1) << joined << "\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << joined;
        EXPECT_FALSE(file_exists(out)) << joined;
    }
    // The rejected bitrates are answered with the ones that exist.
    const ProcessResult r = run({"-b", "128", "-m", "m", in, out});
    EXPECT_NE(r.err.find("32 48 56 64 80 or 96"), std::string::npos) << r.err;
    EXPECT_EQ(leftovers({"in.wav"}), std::vector<std::string>{});
}

TEST_F(CliTest, InputErrorsExitWithTwo) {
    const std::string out = dir_.file("out.mp2");
    ASSERT_TRUE(write_file(dir_.file("text.wav"), std::vector<std::uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'}));
    const std::string rate22 = wav("rate22.wav", 4000, 2, 22050);
    const std::string three = wav("three.wav", 4000, 3, 48000);

    struct Case {
        std::string input;
        const char* message;
    };
    const Case cases[] = {
        {dir_.file("missing.wav"), "cannot read"},
        {dir_.file("text.wav"), "cannot read"},
        {rate22, "32000, 44100 and 48000 Hz"},
        {three, "only 1 or 2 channels"},
    };
    for (const Case& c : cases) {
        const ProcessResult r = run({c.input, out});
        EXPECT_EQ(r.exit_code, 2) << c.input << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(file_exists(out));
    }
    EXPECT_EQ(leftovers({"text.wav", "rate22.wav", "three.wav"}), std::vector<std::string>{});
}

TEST_F(CliTest, MalformedFilesNeverCrashTheTool) {
    // WAV headers with absurd fields, and random bytes.
    auto header = [](std::uint16_t format, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                     std::uint32_t data_size) {
        std::vector<std::uint8_t> h = {'R', 'I', 'F', 'F', 0xFF, 0xFF, 0xFF, 0x7F, 'W', 'A', 'V', 'E',
                                       'f', 'm', 't', ' ', 16, 0, 0, 0};
        auto put = [&h](std::uint32_t v, int n) {
            for (int i = 0; i < n; ++i) h.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        };
        put(format, 2);
        put(channels, 2);
        put(rate, 4);
        put(rate * channels * bits / 8, 4);
        put(static_cast<std::uint32_t>(channels * bits / 8), 2);
        put(bits, 2);
        h.insert(h.end(), {'d', 'a', 't', 'a'});
        put(data_size, 4);
        for (int i = 0; i < 3000; ++i) h.push_back(static_cast<std::uint8_t>(i * 37));
        return h;
    };
    const std::vector<std::vector<std::uint8_t>> files = {
        header(1, 0, 44100, 16, 1000),
        header(1, 2, 0, 16, 1000),
        header(1, 2, 44100, 0, 1000),
        header(1, 2, 44100, 16, 0xFFFFFFF0u), // claims far more data than there is
        header(1, 1, 48000, 13, 3000),
        header(7, 2, 44100, 8, 3000),         // mu-law
        header(3, 2, 48000, 32, 3000),        // float
        header(0xFFFE, 2, 44100, 16, 3000),   // extensible without its extension
        header(1, 65535, 48000, 16, 3000),
    };
    std::vector<std::uint8_t> noise;
    std::uint32_t s = 12345;
    for (int i = 0; i < 20000; ++i) {
        s = s * 1103515245u + 12345u;
        noise.push_back(static_cast<std::uint8_t>(s >> 16));
    }
    std::vector<std::vector<std::uint8_t>> all = files;
    all.push_back(noise);
    for (std::size_t i = 0; i < all.size(); ++i) {
        const std::string in = dir_.file("bad" + std::to_string(i) + ".wav");
        ASSERT_TRUE(write_file(in, all[i]));
        const std::string out = dir_.file("bad" + std::to_string(i) + ".mp2");
        const ProcessResult r = run({"-q", in, out});
        // A clean refusal (2) or, for a readable file, a valid stream.
        EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 2) << "file " << i << ": exit " << r.exit_code << "\n" << r.err;
        if (r.exit_code == 0) {
            const StreamReport report = read_layer2_stream(read_file(out));
            EXPECT_TRUE(report.ok()) << "file " << i << ": " << report.describe();
        } else {
            EXPECT_FALSE(file_exists(out));
        }
    }
    for (const std::string& e : dir_.entries()) EXPECT_EQ(e.find(".part"), std::string::npos) << e;
}

TEST_F(CliTest, OutputErrorsExitWithThree) {
    const std::string in = wav("in.wav", 3000, 2, 48000);
    ProcessResult r = run({in, dir_.file("no/such/dir/out.mp2")});
    EXPECT_EQ(r.exit_code, 3) << r.err;
    r = run({in, dir_.path()});
    EXPECT_EQ(r.exit_code, 3) << r.err;
    EXPECT_EQ(leftovers({"in.wav"}), std::vector<std::string>{});
}

TEST_F(CliTest, FrameCountCoversEveryInputSample) {
    struct Case {
        std::size_t samples;
        int channels;
        int rate;
        std::vector<std::string> options;
        int kbps;
        int mode;
        std::size_t frames; // 0: ceil(samples / 1152)
    };
    const Case cases[] = {
        {0, 2, 44100, {}, 192, 1, 0},
        {1, 2, 44100, {}, 192, 1, 0},
        {1151, 2, 48000, {}, 192, 1, 0},
        {1152, 2, 48000, {}, 192, 1, 0},
        {1153, 2, 32000, {"-m", "stereo", "-b", "256"}, 256, 0, 0},
        {1152 * 9 + 700, 2, 44100, {"-m", "dual", "-b", "384"}, 384, 2, 0},
        {1152 * 20 + 1, 2, 44100, {"-m", "j", "-b", "128k"}, 128, 1, 0},
        {1152 * 7 + 3, 1, 44100, {}, 96, 3, 0},
        {1152 * 8, 1, 48000, {"-b", "48"}, 48, 3, 0},
        {1152 * 3 + 5, 1, 32000, {"-b", "32"}, 32, 3, 0},
        {1152 * 4, 1, 44100, {"-b", "56"}, 56, 3, 0},
        {1152 * 4, 1, 44100, {"-b", "64"}, 64, 3, 0},
        {1152 * 4, 1, 44100, {"-b", "80"}, 80, 3, 0},
        {100, 1, 48000, {}, 96, 3, 0},
        {1152 * 5 + 1, 1, 48000, {"-m", "stereo"}, 192, 0, 0},
        {1152 * 5 + 1, 2, 48000, {"-m", "mono", "-b", "64"}, 64, 3, 0},
    };
    for (const Case& c : cases) {
        const std::string in = wav("in.wav", c.samples, c.channels, c.rate);
        const std::string out = dir_.file("out.mp2");
        std::vector<std::string> args = c.options;
        args.push_back("-q");
        args.push_back(in);
        args.push_back(out);
        const ProcessResult r = run(args);
        SCOPED_TRACE(std::to_string(c.samples) + " samples, " + std::to_string(c.channels) + " ch, " +
                     std::to_string(c.rate) + " Hz, " + std::to_string(c.kbps) + " kbit/s");
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, ""); // -q
        const std::size_t frames = c.frames ? c.frames : frames_for(c.samples);
        EXPECT_TRUE(valid_stream(read_file(out), frames, c.kbps, c.mode, c.rate));
    }
}

TEST_F(CliTest, SummaryAndPermissions) {
    const std::string in = wav("in.wav", 44100, 2, 44100);
    const std::string out = dir_.file("out.mp2");
    ASSERT_TRUE(write_file(out, {'o', 'l', 'd'})); // replaced
    const ProcessResult r = run({in, out});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("39 frames"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("192 kbit/s"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("real time"), std::string::npos) << r.err;
    EXPECT_TRUE(valid_stream(read_file(out), 39, 192, 1, 44100));
    // Not the private mode of a temporary file.
    struct stat st {};
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
    EXPECT_EQ(leftovers({"in.wav", "out.mp2"}), std::vector<std::string>{});
}

TEST_F(CliTest, DownmixAndDuplication) {
    // The encoder is deterministic, so a stereo input encoded as mono must give
    // the very bytes of a mono input holding (L+R)/2, and a mono input in a
    // two-channel mode those of a stereo input with both channels equal.
    const std::size_t samples = 1152 * 6 + 31;
    const std::vector<std::int16_t> stereo = synthesize(samples, 2, 48000, [](int ch, double t) {
        return ch ? 0.6 * std::sin(kTwoPi * 1500.0 * t) : -0.7 * std::sin(kTwoPi * 300.0 * t);
    });
    std::vector<std::int16_t> mix(samples), doubled(2 * samples);
    for (std::size_t i = 0; i < samples; ++i) {
        mix[i] = static_cast<std::int16_t>((stereo[2 * i] + stereo[2 * i + 1]) / 2);
        doubled[2 * i] = doubled[2 * i + 1] = mix[i];
    }
    ASSERT_TRUE(write_wav16(dir_.file("stereo.wav"), stereo, 2, 48000));
    ASSERT_TRUE(write_wav16(dir_.file("mix.wav"), mix, 1, 48000));
    ASSERT_TRUE(write_wav16(dir_.file("doubled.wav"), doubled, 2, 48000));

    auto encode = [this](std::vector<std::string> args) {
        const std::string out = dir_.file("out.mp2");
        args.insert(args.begin(), "-q");
        args.push_back(out);
        const ProcessResult r = run(args);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return read_file(out);
    };
    const auto downmixed = encode({"-m", "mono", "-b", "64", dir_.file("stereo.wav")});
    EXPECT_TRUE(valid_stream(downmixed, 7, 64, 3, 48000));
    EXPECT_EQ(downmixed, encode({"-b", "64", dir_.file("mix.wav")}));

    for (const char* mode : {"stereo", "joint", "dual"}) {
        const auto duplicated = encode({"-m", mode, dir_.file("mix.wav")});
        EXPECT_EQ(duplicated, encode({"-m", mode, dir_.file("doubled.wav")})) << mode;
        EXPECT_TRUE(valid_stream(duplicated, 7, 192, std::string(mode) == "dual" ? 2 : std::string(mode) == "joint",
                                 48000))
            << mode;
    }
}

TEST_F(CliTest, StandardInputAndOutput) {
    const std::string in = wav("in.wav", 1152 * 12 + 77, 2, 44100);
    const std::string out = dir_.file("file.mp2");
    ASSERT_EQ(run({"-q", in, out}).exit_code, 0);
    const std::vector<std::uint8_t> expected = read_file(out);
    ASSERT_TRUE(valid_stream(expected, 13, 192, 1, 44100));

    // A file on standard input, and the stream on standard output.
    ProcessResult r = run({"-q", "-", "-"}, in);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, expected);

    // A pipe (not seekable) on standard input.
    r = run_process({"sh", "-c", "cat \"$0\" | \"$1\" -q - -", in, tool_});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, expected);
}

TEST_F(CliTest, InterruptedRunLeavesNothingBehind) {
    // Long enough that the run is still going when it is stopped.
    const std::string in = wav("long.wav", 48000 * 120, 2, 48000);
    const std::string out = dir_.file("out.mp2");
    ASSERT_TRUE(write_file(out, {'k', 'e', 'e', 'p'}));
    const std::string script =
        "\"$0\" -q \"$1\" \"$2\" & pid=$!\n"
        "for i in $(seq 1 500); do ls -a \"$3\" | grep -q '\\.part$' && break; sleep 0.01; done\n"
        "kill -TERM $pid; wait $pid; echo \"status $?\"";
    const ProcessResult r = run_process({"sh", "-c", script, tool_, in, out, dir_.path()});
    const std::string said(r.out.begin(), r.out.end());
    EXPECT_NE(said.find("status 143"), std::string::npos) << said << r.err; // ended by SIGTERM
    EXPECT_EQ(read_file(out), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(leftovers({"long.wav", "out.mp2"}), std::vector<std::string>{});
}

TEST_F(CliTest, DemoClip) {
    ProcessResult r = run({}, "", dir_.path());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("demo.mp2"), std::string::npos) << r.err;
    // 5 s at 44.1 kHz: 220500 samples in 192 frames.
    EXPECT_TRUE(valid_stream(read_file(dir_.file("demo.mp2")), 192, 192, 1, 44100));

    const std::string sub = dir_.file("clips");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    r = run({"--out", sub, "-m", "mono", "-b", "64"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(valid_stream(read_file(sub + "/demo.mp2"), 192, 64, 3, 44100));
}

TEST_F(CliTest, OtherInputFormats) {
    if (find_program("ffmpeg").empty()) GTEST_SKIP() << "ffmpeg not installed: no FLAC/AIFF/float inputs to make";
    const std::string in = wav("in.wav", 1152 * 5 + 10, 2, 32000);
    for (const std::string ext : {"flac", "aiff"}) {
        const std::string converted = dir_.file("in." + ext);
        ASSERT_EQ(run_process({"ffmpeg", "-nostdin", "-v", "error", "-i", in, converted}).exit_code, 0);
        const std::string out = dir_.file(ext + ".mp2");
        const ProcessResult r = run({"-q", converted, out});
        ASSERT_EQ(r.exit_code, 0) << ext << ": " << r.err;
        EXPECT_TRUE(valid_stream(read_file(out), 6, 192, 1, 32000)) << ext;
    }
    const std::string floats = dir_.file("float.wav");
    ASSERT_EQ(run_process({"ffmpeg", "-nostdin", "-v", "error", "-i", in, "-c:a", "pcm_f32le", floats}).exit_code, 0);
    const ProcessResult r = run({"-q", floats, dir_.file("float.mp2")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(valid_stream(read_file(dir_.file("float.mp2")), 6, 192, 1, 32000));
}
