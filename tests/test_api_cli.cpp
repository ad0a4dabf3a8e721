// The command-line encoder, run as a user runs it: one table of command lines
// with their exit codes, messages and outputs (checked by the frame reader),
// the input never written to, existing files and devices never replaced, the
// stream covering every input sample in three decoders, float input at its
// level, tags, the man page, and that a failed or interrupted run leaves
// neither a partial OUTPUT nor a temporary file behind.
#include <gtest/gtest.h>

#include <functional>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
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

// Frames of a stream that carries every input sample past the codec's
// 481-sample delay.
std::size_t frames_for(std::size_t samples) { return (samples + 481 + 1151) / 1152; }

// The stream after an ID3v2 tag, if there is one.
std::vector<std::uint8_t> without_tag(std::vector<std::uint8_t> bytes) {
    if (bytes.size() < 10 || std::memcmp(bytes.data(), "ID3", 3) != 0) return bytes;
    std::size_t size = 10;
    for (std::size_t i = 6; i < 10; ++i) size += static_cast<std::size_t>(bytes[i] & 0x7F) << (7 * (9 - i));
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(size, bytes.size())));
    return bytes;
}

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
        // A clean refusal (2) or, for a readable or partly readable file, a
        // valid stream (0 or 5).
        EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 2 || r.exit_code == 5)
            << "file " << i << ": exit " << r.exit_code << "\n" << r.err;
        if (r.exit_code != 2) {
            const StreamReport report = read_layer2_stream(read_file(out));
            EXPECT_TRUE(report.ok()) << "file " << i << ": " << report.describe();
        } else {
            EXPECT_FALSE(file_exists(out));
        }
    }
    for (const std::string& e : dir_.entries()) EXPECT_EQ(e.find(".part"), std::string::npos) << e;
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
        args.push_back("-qf");
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
        args.insert(args.begin(), "-qf");
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

// The same material given at 96 kHz (resampled by the tool) and at 48 kHz
// decodes to nearly the same signal, lined up to the sample: a sweep and a
// music-like chord, decoded by ffmpeg. The two decoded signals differ far
// less than the coding noise of either (measured SNR between them: 72.5 dB
// for the sweep, 66.5 dB for the chord; required: 50 dB).
TEST_F(CliTest, ResampledInputDecodesLikeTheSameMaterialAt48k) {
    if (find_program("ffmpeg").empty()) GTEST_SKIP() << "ffmpeg not installed";
    const auto sweep = [](int, double t) {
        // 50 Hz to 16 kHz in three seconds, exponentially.
        const double k = std::log(16000.0 / 50.0) / 3.0;
        return 0.4 * std::sin(kTwoPi * 50.0 * (std::exp(k * t) - 1.0) / k);
    };
    const auto chord = [](int ch, double t) {
        double v = 0.0;
        const double notes[4] = {220.0, 277.18, 329.63, 440.0};
        for (int n = 0; n < 4; ++n) {
            for (int h = 1; h <= 6; ++h) v += 0.05 / h * std::sin(kTwoPi * notes[n] * h * t + 0.3 * n + ch);
        }
        return v * (0.7 + 0.3 * std::sin(kTwoPi * 0.8 * t));
    };
    const std::function<double(int, double)> signals[2] = {sweep, chord};
    for (int which = 0; which < 2; ++which) {
        SCOPED_TRACE(which == 0 ? "sweep" : "chord");
        std::vector<std::vector<std::int16_t>> decoded;
        for (const int rate : {96000, 48000}) {
            const std::size_t samples = static_cast<std::size_t>(rate) * 3;
            const std::string in = dir_.file("in" + std::to_string(rate) + ".wav");
            ASSERT_TRUE(write_wav16(in, synthesize(samples, 2, rate, signals[which]), 2, rate));
            const std::string out = dir_.file("out" + std::to_string(rate) + ".mp2");
            const ProcessResult r = run({"-qf", in, out});
            ASSERT_EQ(r.exit_code, 0) << r.err;
            // Every input sample: ceil((n' + 481) / 1152) frames of the 144000 resampled ones.
            EXPECT_TRUE(valid_stream(read_file(out), (144000 + 481 + 1151) / 1152, 192, 1, 48000));
            const ProcessResult d = run_process({"ffmpeg", "-v", "error", "-i", out, "-f", "s16le", "-"});
            ASSERT_EQ(d.exit_code, 0) << d.err;
            decoded.push_back(pcm_from_le(d.out));
        }
        ASSERT_EQ(decoded[0].size(), decoded[1].size());
        const Comparison c = compare_signals(decoded[1], decoded[0], 2, -4, 4, 2000, 2000);
        std::printf("[ measured ] %s at 96 kHz against 48 kHz: %.1f dB, lag %ld\n", which == 0 ? "sweep" : "chord",
                    c.snr_db, c.lag);
        EXPECT_EQ(c.lag, 0);
        EXPECT_GT(c.snr_db, 50.0);
    }
}

// MP2 in WAV: the data chunk holds the plain stream's bytes, the chunks
// describe it, and ffprobe reads it as mp2 of the stream's exact duration.
TEST_F(CliTest, WavOutputHoldsThePlainStream) {
    const std::string in = wav("in.wav", 48000 + 77, 2, 48000);
    ASSERT_EQ(run({"-q", "--emphasis", "ccitt", "--original", in, dir_.file("plain.mp2")}).exit_code, 0);
    const ProcessResult r = run({"-q", "--emphasis", "ccitt", "--original", "--title", "Take 1", in,
                                 dir_.file("wrapped.wav")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto plain = read_file(dir_.file("plain.mp2"));
    const auto wrapped = read_file(dir_.file("wrapped.wav"));
    ASSERT_GT(wrapped.size(), 12u);
    EXPECT_EQ(std::string(wrapped.begin(), wrapped.begin() + 4), "RIFF");
    auto u32 = [&wrapped](std::size_t at) {
        return std::uint32_t{wrapped[at]} | std::uint32_t{wrapped[at + 1]} << 8 | std::uint32_t{wrapped[at + 2]} << 16 |
               std::uint32_t{wrapped[at + 3]} << 24;
    };
    EXPECT_EQ(u32(4), wrapped.size() - 8);
    std::map<std::string, std::pair<std::size_t, std::size_t>> chunks;  // id -> (body offset, size)
    for (std::size_t at = 12; at + 8 <= wrapped.size(); at += 8 + ((u32(at + 4) + 1) & ~1u)) {
        chunks[std::string(wrapped.begin() + static_cast<long>(at), wrapped.begin() + static_cast<long>(at) + 4)] = {
            at + 8, u32(at + 4)};
    }
    for (const char* id : {"bext", "fmt ", "fact", "mext", "data"}) EXPECT_EQ(chunks.count(id), 1u) << id;
    const auto data = chunks["data"];
    ASSERT_EQ(data.second, plain.size());
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), wrapped.begin() + static_cast<long>(data.first)));
    const std::size_t frames = (48000 + 77 + 481 + 1151) / 1152;
    EXPECT_EQ(u32(chunks["fact"].first), frames * 1152);
    EXPECT_EQ(std::string(wrapped.begin() + static_cast<long>(chunks["bext"].first),
                          wrapped.begin() + static_cast<long>(chunks["bext"].first) + 6),
              "Take 1");
    if (find_program("ffprobe").empty()) return;
    const ProcessResult p = run_process({"ffprobe", "-v", "error", "-show_entries",
                                         "stream=codec_name,sample_rate,channels:format=duration", "-of",
                                         "default=nw=1", dir_.file("wrapped.wav")});
    const std::string said(p.out.begin(), p.out.end());
    char duration[64];
    std::snprintf(duration, sizeof duration, "duration=%.6f", frames * 1152 / 48000.0);
    for (const std::string& line : std::vector<std::string>{"codec_name=mp2", "sample_rate=48000", "channels=2", duration}) {
        EXPECT_NE(said.find(line), std::string::npos) << said;
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
    // The input comes through a FIFO that the script keeps open after the
    // file, so the run is still waiting for samples (its output already
    // begun) when it is stopped, however fast the encoder is.
    const std::string in = wav("long.wav", 48000 * 10, 2, 48000);
    const std::string out = dir_.file("out.mp2");
    ASSERT_TRUE(write_file(out, {'k', 'e', 'e', 'p'}));
    const std::string script =
        "mkfifo \"$3/feed\"\n"
        "\"$0\" -qf - \"$2\" < \"$3/feed\" & pid=$!\n"
        "exec 3> \"$3/feed\"; cat \"$1\" >&3\n"
        "for i in $(seq 1 500); do ls -a \"$3\" | grep -q '\\.part$' && break; sleep 0.01; done\n"
        "kill -TERM $pid; wait $pid; echo \"status $?\"; exec 3>&-; rm \"$3/feed\"";
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

namespace {

// One command line of the table below, run by sh in a fresh directory that
// holds the files make_inputs() writes, with $T the tool and TMPDIR=tmp.
struct Row {
    const char* command;
    int exit_code;
    const char* message; // part of standard error ("" when anything goes)
    const char* output;  // file judged afterwards ("" for none)
    long frames;         // kAbsent, kUnchanged, kAnyFrames or the stream's frame count
    bool needs_ffmpeg;   // uses the FLAC files, which ffmpeg makes
};
constexpr long kAbsent = -1;    // `output` must not exist
constexpr long kUnchanged = -2; // `output` is a file as it was before the run
constexpr long kAnyFrames = 0;  // a valid stream of any length

// in.wav: 5860 samples of stereo at 44.1 kHz, so (5860 + 481) / 1152 -> 6 frames.
constexpr std::size_t kInSamples = 1152 * 5 + 100;
constexpr long kInFrames = 6;

const Row kRows[] = {
    // Options are checked before any file is opened: usage errors exit 1.
    {"$T --frobnicate in.wav out.mp2", 1, "unknown option '--frobnicate'", "out.mp2", kAbsent, false},
    {"$T in.wav", 1, "expected INPUT and OUTPUT", "", kAbsent, false},
    {"$T in.wav out.mp2 third.mp2", 1, "expected INPUT and OUTPUT", "out.mp2", kAbsent, false},
    {"$T -b abc in.wav out.mp2", 1, "not a number", "out.mp2", kAbsent, false},
    {"$T -b 100 in.wav out.mp2", 1, "not a bitrate", "out.mp2", kAbsent, false},
    {"$T -b 0 in.wav out.mp2", 1, "not a bitrate", "out.mp2", kAbsent, false},
    {"$T -b 99999999999 in.wav out.mp2", 1, "not a number", "out.mp2", kAbsent, false},
    {"$T -b 999 missing.wav out.mp2", 1, "not a bitrate", "out.mp2", kAbsent, false},
    {"$T -b 224 -m mono in.wav out.mp2", 1, "use 32 48 56 64 80 96 112 128 160 192", "out.mp2", kAbsent, false},
    {"$T -b 32 -m stereo in.wav out.mp2", 1, "use 64 96 112 128 160 192 224 256 320 384", "out.mp2", kAbsent, false},
    {"$T -m dual -b 56 in.wav out.mp2", 1, "use 64 96 112", "out.mp2", kAbsent, false},
    {"$T -b 48 in.wav out.mp2", 1, "joint stereo (two channels); use 64 96", "out.mp2", kAbsent, false},
    {"$T -b 80 -m j in.wav out.mp2", 1, "use 64 96", "out.mp2", kAbsent, false},
    {"$T -m quad in.wav out.mp2", 1, "unknown mode", "out.mp2", kAbsent, false},
    {"$T -b", 1, "'-b' needs a value", "", kAbsent, false},
    {"$T in.wav out.mp2 --title", 1, "'--title' needs a value", "out.mp2", kAbsent, false},
    {"$T --out . in.wav out.mp2", 1, "only for the demo", "out.mp2", kAbsent, false},
    {"$T -q=1 in.wav out.mp2", 1, "unknown option", "out.mp2", kAbsent, false},
    {"$T --year 99 in.wav out.mp2", 1, "--year '99'", "out.mp2", kAbsent, false},
    {"$T --track 2of9 in.wav out.mp2", 1, "--track '2of9'", "out.mp2", kAbsent, false},
    {"$T --title \"$(printf 'caf\\351')\" in.wav out.mp2", 1, "not UTF-8", "out.mp2", kAbsent, false},
    // Input errors exit 2 with no output.
    {"$T missing.wav out.mp2", 2, "cannot read 'missing.wav'", "out.mp2", kAbsent, false},
    {"$T text.wav out.mp2", 2, "cannot read 'text.wav'", "out.mp2", kAbsent, false},
    {"$T -r 11025 rate11.wav out.mp2", 1, "rate 11025 Hz cannot be coded; use 16000, 22050", "out.mp2", kAbsent,
     false},
    {"$T --emphasis 75 in.wav out.mp2", 1, "not none, 50/15 or ccitt", "out.mp2", kAbsent, false},
    {"$T --downmix loud in.wav out.mp2", 1, "not smpte or mean", "out.mp2", kAbsent, false},
    {"$T --wav in.wav -", 1, "OUTPUT cannot be a stream", "", kAbsent, false},
    {"$T -j 2 in.wav out.mp2", 1, "--jobs is for a batch", "out.mp2", kAbsent, false},
    {"$T -O outd in.wav sub/in.flac", 1, "would both be written to 'outd/in.mp2'", "outd/in.mp2", kAbsent, false},
    {"$T -b 192 rate22.wav out.mp2", 1, "at 22050 Hz for joint stereo (two channels); use 8 16 24", "out.mp2", kAbsent, false},
    {"$T three.wav out.mp2", 2, "3 channels of an unknown layout; name a rule with --downmix", "out.mp2", kAbsent,
     false},
    {"$T empty.wav out.mp2", 2, "'empty.wav' holds no samples", "out.mp2", kAbsent, false},
    {"$T - out.mp2 < empty.wav", 2, "'standard input' holds no samples", "out.mp2", kAbsent, false},
    // The input is never written to, however OUTPUT names it (also with -f).
    {"$T in.wav in.wav", 3, "'in.wav': it is the input file", "in.wav", kUnchanged, false},
    {"$T -f in.wav ./in.wav", 3, "it is the input file", "in.wav", kUnchanged, false},
    {"$T -f in.wav link.wav", 3, "it is the input file", "in.wav", kUnchanged, false},
    {"$T -f in.wav hard.wav", 3, "it is the input file", "in.wav", kUnchanged, false},
    {"$T -f - in.wav < in.wav", 3, "it is the input file", "in.wav", kUnchanged, false},
    {"$T in.wav /dev/stdout >> in.wav", 3, "it is the input file", "in.wav", kUnchanged, false},
    // Other output errors exit 3 and leave nothing behind.
    {"$T in.wav old.mp2", 3, "'old.mp2': the file exists; use -f or --force", "old.mp2", kUnchanged, false},
    {"$T in.wav no/such/dir/out.mp2", 3, "cannot write 'no/such/dir/out.mp2'", "", kAbsent, false},
    {"$T in.wav .", 3, "is a directory", "", kAbsent, false},
    {"$T in.wav /dev/full", 3, "cannot write '/dev/full': disk full", "", kAbsent, false},
    // Streams: combined and permuted options, a replaced file that keeps its
    // permissions, devices and inherited descriptors written in place.
    {"$T -qv in.wav out.mp2", 0, "", "out.mp2", kInFrames, false},
    {"$T in.wav -q out.mp2 -m mono -b 64", 0, "", "out.mp2", kInFrames, false},
    // Every rate the library codes, at its own bitrates; mono up to 192.
    {"$T -q in.wav out.mp2 -m mono -b 192", 0, "", "out.mp2", kInFrames, false},
    {"$T -q -b 64 rate24.wav out.mp2", 0, "", "out.mp2", kInFrames, false},
    {"$T -q -b 8 mono16.wav out.mp2", 0, "", "out.mp2", kInFrames, false},
    // Any rate and layout in: resampled, downmixed, said on the summary line.
    {"$T rate11.wav out.mp2", 0, "resampled from 11025 Hz to 22050 Hz (libsoxr", "out.mp2", kAnyFrames, false},
    {"$T --downmix smpte three.wav out.mp2", 0, "3.0 downmixed to stereo (ITU-R BS.775", "out.mp2", kAnyFrames,
     false},
    {"$T six.flac out.mp2", 0, "5.1 downmixed to stereo (ITU-R BS.775, LFE dropped", "out.mp2", kInFrames, true},
    {"$T -m mono six.flac out.mp2", 0, "5.1 downmixed to mono", "out.mp2", kInFrames, true},
    // MP2 in WAV, and a batch two at a time.
    {"$T -q --copyright in.wav out.wav && test \"$(head -c 4 out.wav)\" = RIFF", 0, "", "", kAbsent, false},
    {"$T -q -j 2 -O outd in.wav mono.wav && test -f outd/mono.mp2", 0, "", "outd/in.mp2", kInFrames, false},
    {"$T -qf in.wav old.mp2 && test $(stat -c %a old.mp2) = 640", 0, "", "old.mp2", kInFrames, false},
    {"$T -q --force in.wav symlink.mp2 && test -L symlink.mp2", 0, "", "old.mp2", kInFrames, false},
    {"cat fifo > got.mp2 & $T -q in.wav fifo && wait && test -p fifo", 0, "", "got.mp2", kInFrames, false},
    {"mknod null c 1 3 2>/dev/null || exit 77; $T -q in.wav null && test -c null", 0, "", "", kAbsent, false},
    {"$T -q in.wav /dev/stdout > so.mp2", 0, "", "so.mp2", kInFrames, false},
    {"$T -q in.wav /dev/fd/3 3> fd.mp2", 0, "", "fd.mp2", kInFrames, false},
    {"$T -q in.wav - | cat > piped.mp2", 0, "", "piped.mp2", kInFrames, false},
    {"cat in.wav | $T -q - out.mp2", 0, "", "out.mp2", kInFrames, false},
    {"$T -q mono.wav out.mp2", 0, "", "out.mp2", 2, false},
    {"$T -q --title T --artist A --album B --year 2001-02 --track 2/9 --genre G --comment C in.wav out.mp2", 0, "",
     "out.mp2", kInFrames, false},
    // Formats that need seeking arrive through a pipe; the copy in TMPDIR goes.
    {"cat in.flac | $T -q - out.mp2", 0, "", "out.mp2", kInFrames, true},
    // Damaged input exits 5 and keeps the stream of what was read.
    {"$T -q cut.wav out.mp2", 5, "'cut.wav' is damaged: it declares 0.13 s but only 0.05 s could be read", "out.mp2",
     3, false},
    {"cat cut.wav | $T -q - out.mp2", 5, "declares 0.13 s but only 0.05 s", "out.mp2", 3, false},
    {"$T -q cut.flac out.mp2", 5, "'cut.flac' is damaged", "out.mp2", kAnyFrames, true},
    {"cat cut.flac | $T -q - out.mp2", 5, "'standard input' is damaged", "out.mp2", kAnyFrames, true},
};

std::map<std::string, std::uint64_t> snapshot(const TempDir& dir) {
    std::map<std::string, std::uint64_t> files;
    for (const std::string& name : dir.entries()) {
        struct stat st {};
        if (lstat(dir.file(name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            files[name] = fnv1a64(read_file(dir.file(name)));
        }
    }
    return files;
}

} // namespace

TEST_F(CliTest, EveryCommandLineEndsAsDocumented) {
    const bool have_ffmpeg = !find_program("ffmpeg").empty();
    // The FLAC files, made once.
    const std::string wav_in = wav("in.wav", kInSamples, 2, 44100);
    std::vector<std::uint8_t> flac, cut_flac, six_flac;
    if (have_ffmpeg) {
        const std::string long_in = wav("long.wav", 44100 * 3, 2, 44100);
        // Six channels in FLAC, whose order (L R C LFE BL BR) is fixed.
        const std::string six_in = wav("six.wav", kInSamples, 6, 44100);
        for (const auto& [from, to] : {std::make_pair(wav_in, "in.flac"), std::make_pair(long_in, "long.flac"),
                                       std::make_pair(six_in, "six.flac")}) {
            ASSERT_EQ(run_process({"ffmpeg", "-nostdin", "-v", "error", "-i", from, dir_.file(to)}).exit_code, 0);
        }
        flac = read_file(dir_.file("in.flac"));
        cut_flac = read_file(dir_.file("long.flac"));
        cut_flac.resize(cut_flac.size() / 2);
        six_flac = read_file(dir_.file("six.flac"));
    }
    const std::vector<std::uint8_t> in_bytes = read_file(wav_in);

    for (const Row& row : kRows) {
        SCOPED_TRACE(row.command);
        if (row.needs_ffmpeg && !have_ffmpeg) continue;
        TempDir dir;
        auto put = [&dir](const std::string& name, const std::vector<std::uint8_t>& bytes) {
            ASSERT_TRUE(write_file(dir.file(name), bytes));
        };
        put("in.wav", in_bytes);
        ASSERT_TRUE(write_wav16(dir.file("mono.wav"), std::vector<std::int16_t>(1000, 1000), 1, 48000));
        ASSERT_TRUE(write_wav16(dir.file("empty.wav"), {}, 2, 44100));
        ASSERT_TRUE(write_wav16(dir.file("rate22.wav"), std::vector<std::int16_t>(2000), 2, 22050));
        ASSERT_TRUE(write_wav16(dir.file("rate11.wav"), std::vector<std::int16_t>(2000), 2, 11025));
        ASSERT_TRUE(write_wav16(dir.file("rate24.wav"), std::vector<std::int16_t>(2 * kInSamples, 300), 2, 24000));
        ASSERT_TRUE(write_wav16(dir.file("mono16.wav"), std::vector<std::int16_t>(kInSamples, 300), 1, 16000));
        ASSERT_TRUE(write_wav16(dir.file("three.wav"), std::vector<std::int16_t>(3000), 3, 48000));
        put("text.wav", {'h', 'e', 'l', 'l', 'o', '\n'});
        put("cut.wav", std::vector<std::uint8_t>(in_bytes.begin(), in_bytes.begin() + 44 + 4 * 2000));
        put("old.mp2", {'o', 'l', 'd'});
        ASSERT_EQ(chmod(dir.file("old.mp2").c_str(), 0640), 0);
        if (have_ffmpeg) {
            put("in.flac", flac);
            put("six.flac", six_flac);
            put("cut.flac", cut_flac);
        }
        ASSERT_EQ(symlink("in.wav", dir.file("link.wav").c_str()), 0);
        ASSERT_EQ(symlink("old.mp2", dir.file("symlink.mp2").c_str()), 0);
        ASSERT_EQ(link(dir.file("in.wav").c_str(), dir.file("hard.wav").c_str()), 0);
        ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
        ASSERT_EQ(mkdir(dir.file("tmp").c_str(), 0755), 0);
        const auto before = snapshot(dir);

        const ProcessResult r = run_process(
            {"sh", "-c",
             std::string("cd \"$0\" && export TMPDIR=\"$0/tmp\" T=\"$1\" && (") + row.command +
                 "); rc=$?; [ -z \"$(ls -A tmp)\" ] || echo 'left in TMPDIR' >&2; exit $rc",
             dir.path(), tool_},
            "", 120);
        if (r.exit_code == 77) continue; // mknod is not allowed here
        EXPECT_EQ(r.exit_code, row.exit_code) << r.err;
        EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;

        const std::string output = row.output;
        const std::string output_path = dir.file(output);
        if (row.frames == kAbsent && !output.empty()) {
            EXPECT_FALSE(file_exists(output_path));
        } else if (row.frames >= 0) {
            const StreamReport report = read_layer2_stream(without_tag(read_file(output_path)));
            EXPECT_TRUE(report.ok()) << report.describe();
            if (row.frames > 0) {
                EXPECT_EQ(report.frames.size(), static_cast<std::size_t>(row.frames));
            }
        }
        // Every file that was there is as it was, except a replaced OUTPUT.
        const auto after = snapshot(dir);
        for (const auto& [name, hash] : before) {
            if (name == output && row.frames >= 0) continue;
            EXPECT_TRUE(after.count(name) && after.at(name) == hash) << name << " changed";
        }
        for (const std::string& e : dir.entries()) EXPECT_EQ(e.find(".part"), std::string::npos) << e;
        EXPECT_EQ(r.err.find("left in TMPDIR"), std::string::npos);
    }
}

namespace {

// A WAV file of IEEE floats (32 or 64 bits), one channel.
bool write_wav_float(const std::string& path, const std::vector<double>& samples, int bits, int rate) {
    std::vector<std::uint8_t> b;
    auto put = [&b](std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    const std::uint32_t data = static_cast<std::uint32_t>(samples.size() * static_cast<std::size_t>(bits / 8));
    b.insert(b.end(), {'R', 'I', 'F', 'F'});
    put(36 + data, 4);
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put(16, 4);
    put(3, 2); // IEEE float
    put(1, 2);
    put(static_cast<std::uint32_t>(rate), 4);
    put(static_cast<std::uint32_t>(rate * bits / 8), 4);
    put(static_cast<std::uint32_t>(bits / 8), 2);
    put(static_cast<std::uint32_t>(bits), 2);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    put(data, 4);
    for (double v : samples) {
        if (bits == 32) {
            const float f = static_cast<float>(v);
            std::uint32_t u;
            std::memcpy(&u, &f, 4);
            put(u, 4);
        } else {
            std::uint64_t u;
            std::memcpy(&u, &v, 8);
            put(u, 8);
        }
    }
    return write_file(path, b);
}

struct Decoded {
    std::string decoder;
    std::vector<std::int16_t> pcm; // interleaved
};

// The stream as each installed decoder plays it.
std::vector<Decoded> decode_everywhere(const std::string& path) {
    const std::vector<std::vector<std::string>> commands = {
        {"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "s16le", "-"},
        {"mpg123", "-q", "-e", "s16", "-s", path},
        {"madplay", "-q", "-d", "-o", "raw:-", path},
    };
    std::vector<Decoded> all;
    for (const auto& command : commands) {
        if (find_program(command[0]).empty()) continue;
        const ProcessResult r = run_process(command);
        EXPECT_EQ(r.exit_code, 0) << command[0] << ": " << r.err;
        std::vector<std::int16_t> pcm(r.out.size() / 2);
        std::memcpy(pcm.data(), r.out.data(), pcm.size() * 2); // ffmpeg: s16le; the others: host order (x86)
        all.push_back({command[0], pcm});
    }
    return all;
}

} // namespace

TEST_F(CliTest, DecodersHearTheLastSampleFloatsAtTheirLevelAndTheTags) {
    // Silence, then a tone burst in the last 300 samples: without the tail of
    // silence after the input, the burst stays inside the codec delay and no
    // decoder plays it. Tags must not disturb any decoder.
    const std::size_t n = 1152 * 5;
    const auto burst = synthesize(n, 2, 44100, [n](int, double t) {
        return t * 44100.0 >= static_cast<double>(n - 300) ? 0.5 * std::sin(kTwoPi * 1000.0 * t) : 0.0;
    });
    ASSERT_TRUE(write_wav16(dir_.file("burst.wav"), burst, 2, 44100));
    ASSERT_EQ(run({"-q", "--title", "Tïtle", "--artist", "Artist", "--album", "Album", "--year", "2001-02-03", "--track",
                   "4/12", "--genre", "Genre", "--comment", "Comment", dir_.file("burst.wav"), dir_.file("burst.mp2")})
                  .exit_code,
              0);
    const std::size_t frames = frames_for(n);
    const auto decoded = decode_everywhere(dir_.file("burst.mp2"));
    if (decoded.empty()) GTEST_SKIP() << "none of ffmpeg, mpg123, madplay is installed";
    for (const Decoded& d : decoded) {
        EXPECT_EQ(d.pcm.size(), frames * 1152 * 2) << d.decoder;
        int peak = 0;
        for (std::size_t i = 2 * n; i < d.pcm.size(); ++i) peak = std::max(peak, std::abs(int{d.pcm[i]}));
        EXPECT_GT(peak, 10000) << d.decoder << ": the burst after sample " << n - 300 << " is missing";
    }
    if (!find_program("ffprobe").empty()) {
        const ProcessResult r = run_process({"ffprobe", "-v", "error", "-show_entries", "format_tags", "-of",
                                             "default=nw=1", dir_.file("burst.mp2")});
        const std::string tags(r.out.begin(), r.out.end());
        for (const char* tag : {"title=Tïtle", "artist=Artist", "album=Album", "date=2001-02-03", "track=4/12",
                                "genre=Genre", "comment=Comment"}) {
            EXPECT_NE(tags.find(std::string("TAG:") + tag), std::string::npos) << tag << " in\n" << tags;
        }
        // --copy-tags takes what libsndfile reads; options take precedence.
        ASSERT_EQ(run_process({"ffmpeg", "-nostdin", "-v", "error", "-i", dir_.file("burst.wav"), "-metadata",
                               "title=Copied", "-metadata", "artist=Old", dir_.file("tagged.flac")})
                      .exit_code,
                  0);
        ASSERT_EQ(run({"-q", "--copy-tags", "--artist", "New", dir_.file("tagged.flac"), dir_.file("copied.mp2")})
                      .exit_code,
                  0);
        const ProcessResult c = run_process({"ffprobe", "-v", "error", "-show_entries", "format_tags", "-of",
                                             "default=nw=1", dir_.file("copied.mp2")});
        const std::string copied(c.out.begin(), c.out.end());
        EXPECT_NE(copied.find("TAG:title=Copied"), std::string::npos) << copied;
        EXPECT_NE(copied.find("TAG:artist=New"), std::string::npos) << copied;
    }

    // A -6 dBFS sine in 32- and 64-bit floats decodes at -6 dBFS.
    std::vector<double> sine(48000);
    for (std::size_t i = 0; i < sine.size(); ++i) {
        sine[i] = 0.5 * std::sin(kTwoPi * 1000.0 * static_cast<double>(i) / 48000.0);
    }
    for (int bits : {32, 64}) {
        const std::string in = dir_.file("f" + std::to_string(bits) + ".wav");
        const std::string out = dir_.file("f" + std::to_string(bits) + ".mp2");
        ASSERT_TRUE(write_wav_float(in, sine, bits, 48000));
        ASSERT_EQ(run({"-q", in, out}).exit_code, 0);
        for (const Decoded& d : decode_everywhere(out)) {
            ASSERT_GT(d.pcm.size(), 44000u) << d.decoder;
            double energy = 0;
            for (std::size_t i = 4000; i < 44000; ++i) energy += static_cast<double>(d.pcm[i]) * d.pcm[i];
            const double level = 20.0 * std::log10(std::sqrt(2.0 * energy / 40000.0) / 32768.0);
            EXPECT_NEAR(level, 20.0 * std::log10(0.5), 0.5) << d.decoder << ", " << bits << "-bit floats";
        }
    }
}

TEST_F(CliTest, ManPageListsEveryOptionOfTheHelp) {
    const ProcessResult r = run({"--help"});
    ASSERT_EQ(r.exit_code, 0);
    const std::string help(r.out.begin(), r.out.end());
    std::string man;
    for (std::uint8_t c : read_file(std::string(ZUVO_SOURCE_DIR) + "/man/zuvo-mpa-encode.1")) {
        man += static_cast<char>(c);
    }
    ASSERT_FALSE(man.empty());
    for (std::size_t at; (at = man.find("\\-")) != std::string::npos;) man.erase(at, 1); // roff's minus sign
    std::vector<std::string> options;
    for (std::size_t i = 0; i + 1 < help.size(); ++i) {
        auto letter = [&help](std::size_t at) { return std::isalnum(static_cast<unsigned char>(help[at])) != 0; };
        const bool after_space = i == 0 || help[i - 1] == ' ';
        const bool starts = after_space && help[i] == '-' && std::isalpha(static_cast<unsigned char>(help[i + 1]));
        const bool long_option = after_space && help.compare(i, 2, "--") == 0;
        if (!starts && !long_option) continue;
        std::size_t end = i + (long_option ? 2 : 1);
        while (end < help.size() && (letter(end) || (long_option && help[end] == '-'))) ++end;
        if (!long_option && end != i + 2) continue; // a word with a hyphen, not "-x"
        options.push_back(help.substr(i, end - i));
        i = end;
    }
    EXPECT_GE(options.size(), 20u);
    for (const std::string& option : options) EXPECT_NE(man.find(option), std::string::npos) << option;
    for (const char* fact : {"481", "Exit status: 0", "5 damaged input"}) {
        EXPECT_NE(help.find(fact), std::string::npos) << fact;
    }
    EXPECT_NE(man.find("481"), std::string::npos);
}
