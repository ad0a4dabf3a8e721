// Everything a host can get wrong, as one table: arguments out of range or
// missing, buffer lengths and rate announcements of every kind, calls in the
// wrong order, and PCM at the limits of the 16-bit range. Each row states what
// the host does and what the library must do; the README's "Behaviour on bad
// input" is the same table in prose.
//
// The recurring proof that a refused call consumed nothing is a reference
// stream: the same PCM is encoded on a fresh context without the bad calls, and
// the two streams must be byte-identical. Staging is exact, so any split of
// the same bytes into buffers gives the same stream.
//
// Every call goes through Context::call, which hands the library an exact-size
// copy of the PCM (so that a sanitizer sees any read past the end), an output
// area with a guard zone, and checks that nothing beyond the reported length
// was written and that the length never exceeds ZuvoMaxOutputBytes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ZuvoMPAEncoder.h"
#include "support/frame_reader.h"

namespace {

constexpr std::size_t kStereoFrameBytes = 4608;
constexpr std::size_t kMonoFrameBytes = 2304;
constexpr unsigned char kGuard = 0xA5;
constexpr std::size_t kGuardBytes = 64;
constexpr int kUntouched = -7;  // *output_length before a call that must not write it

std::size_t frame_input_bytes(int mode) { return mode == 3 ? kMonoFrameBytes : kStereoFrameBytes; }
int channels_of(int mode) { return mode == 3 ? 1 : 2; }

// ------------------------------------------------------------------ PCM

void put_sample(std::vector<char>& pcm, std::size_t index, int value) {
    const auto v = static_cast<std::uint16_t>(static_cast<std::int16_t>(value));
    pcm[2 * index] = static_cast<char>(v & 0xFF);
    pcm[2 * index + 1] = static_cast<char>(v >> 8);
}

// Two tones and a little noise per channel, different for every seed.
std::vector<char> music(int channels, std::size_t samples, unsigned seed = 1) {
    std::vector<char> pcm(samples * static_cast<std::size_t>(channels) * 2);
    std::uint32_t noise = 0x9E3779B9u * (seed + 1);
    for (std::size_t i = 0; i < samples; ++i) {
        for (int ch = 0; ch < channels; ++ch) {
            noise = noise * 1664525u + 1013904223u;
            const double t = static_cast<double>(i);
            const double f1 = 0.011 * (seed + 1) + 0.007 * ch;
            const double f2 = 0.23 + 0.013 * seed;
            const double v = 9000.0 * std::sin(f1 * t) + 3000.0 * std::sin(f2 * t + ch) +
                             static_cast<double>(static_cast<std::int32_t>(noise >> 20) - 2048);
            put_sample(pcm, i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(ch),
                       static_cast<int>(std::lround(v)));
        }
    }
    return pcm;
}

enum class Extreme { AllMin, AllMax, AlternatingFullScale, Dc, Silence };

const char* extreme_name(Extreme e) {
    switch (e) {
    case Extreme::AllMin: return "all -32768";
    case Extreme::AllMax: return "all +32767";
    case Extreme::AlternatingFullScale: return "alternating full scale";
    case Extreme::Dc: return "DC";
    case Extreme::Silence: return "digital silence";
    }
    return "?";
}

std::vector<char> extreme(Extreme kind, int channels, std::size_t samples) {
    std::vector<char> pcm(samples * static_cast<std::size_t>(channels) * 2);
    for (std::size_t i = 0; i < samples; ++i) {
        for (int ch = 0; ch < channels; ++ch) {
            int v = 0;
            switch (kind) {
            case Extreme::AllMin: v = -32768; break;
            case Extreme::AllMax: v = 32767; break;
            case Extreme::AlternatingFullScale: v = ((i + static_cast<std::size_t>(ch)) % 2 == 0) ? 32767 : -32768; break;
            case Extreme::Dc: v = ch == 0 ? 12345 : -23456; break;
            case Extreme::Silence: v = 0; break;
            }
            put_sample(pcm, i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(ch), v);
        }
    }
    return pcm;
}

// ------------------------------------------------------------------ host side

void* handle_value(std::uintptr_t v) { return reinterpret_cast<void*>(v); }

// Room for every frame `length` bytes can complete, whatever the rate: at most
// (length + carried) / 2304 frames of at most 1729 bytes.
std::size_t generous_area(std::size_t length) { return ((length + kStereoFrameBytes) / kMonoFrameBytes + 1) * 1729; }

class Context {
public:
    Context() : handle_(ZuvoCreateAudioContext()) { EXPECT_NE(handle_, nullptr); }
    ~Context() { ZuvoDeleteAudioContext(handle_); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    void* handle() const { return handle_; }

    int init(int mode, int bitrate_index, int rate) {
        ZuvoMPAEncoderParams p{mode, bitrate_index, rate};
        return ZuvoInitAudioEncoder(handle_, &p);
    }

    // One call on bytes [offset, offset + length) of `pcm`. Returns the call's
    // result; its output is appended to `stream`.
    int call(const std::vector<char>& pcm, std::size_t offset, std::size_t length, std::uintptr_t user = 0) {
        std::unique_ptr<char[]> data(new char[length == 0 ? 1 : length]);
        if (length > 0) std::memcpy(data.get(), pcm.data() + offset, length);
        wavehdr_tag header{};
        header.lpData = data.get();
        header.dwBufferLength = static_cast<std::uint32_t>(length);
        header.dwUser = user;

        const int bound = ZuvoMaxOutputBytes(handle_, static_cast<unsigned>(length));
        EXPECT_GE(bound, 0);
        const std::size_t area = generous_area(length);
        std::vector<unsigned char> out(area + kGuardBytes, kGuard);
        int produced = kUntouched;
        const int rc = ZuvoCompressAudioFrame(handle_, &header, out.data(), &produced);
        EXPECT_TRUE(rc == 0 || rc == 1) << rc;
        last_length = produced;
        if (rc == 0) {
            // Refused: 0 bytes reported (not running) or nothing written.
            EXPECT_TRUE(produced == 0 || produced == kUntouched) << produced;
        }
        if (produced == kUntouched) produced = 0;
        EXPECT_GE(produced, 0);
        EXPECT_LE(static_cast<std::size_t>(produced), area);
        if (user <= 22050) {
            EXPECT_LE(produced, bound) << "more bytes than ZuvoMaxOutputBytes promised";
        }
        bool guard_intact = true;
        for (std::size_t i = static_cast<std::size_t>(produced); i < out.size(); ++i) {
            guard_intact = guard_intact && out[i] == kGuard;
        }
        EXPECT_TRUE(guard_intact) << "bytes written behind the reported length " << produced;
        stream.insert(stream.end(), out.begin(), out.begin() + produced);
        return rc;
    }

    // Feeds [from, to) of `pcm` in pieces of `piece` bytes; every call must succeed.
    void feed(const std::vector<char>& pcm, std::size_t piece, std::size_t from = 0, std::size_t to = SIZE_MAX,
              std::uintptr_t user = 0) {
        to = std::min(to, pcm.size());
        for (std::size_t at = from; at < to; at += piece) {
            ASSERT_EQ(call(pcm, at, std::min(piece, to - at), user), 1) << "at byte " << at;
        }
    }

    std::vector<std::uint8_t> stream;
    int last_length = kUntouched;

private:
    void* handle_;
};

std::vector<std::uint8_t> reference(int mode, int bitrate_index, int rate, const std::vector<char>& pcm,
                                    std::size_t piece = kStereoFrameBytes) {
    Context c;
    EXPECT_EQ(c.init(mode, bitrate_index, rate), 1);
    c.feed(pcm, piece);
    EXPECT_EQ(ZuvoFinishAudio(c.handle()), 1);
    return c.stream;
}

// The stream is valid and has the frames the PCM allows.
void expect_valid(const std::vector<std::uint8_t>& stream, std::size_t expected_frames, const std::string& what) {
    const auto report = zuvo_test::read_layer2_stream(stream);
    EXPECT_TRUE(report.ok()) << what << ":\n" << report.describe();
    EXPECT_EQ(report.frames.size(), expected_frames) << what;
}

// A call that must be refused without touching anything: result 0, output
// area and *output_length untouched. Returns the result.
struct Refusal {
    int rc;
    int length;
    bool output_untouched;
};

Refusal compress_raw(void* handle, wavehdr_tag* header, bool pass_output, bool pass_length) {
    std::vector<unsigned char> out(8192, kGuard);
    int length = kUntouched;
    const int rc = ZuvoCompressAudioFrame(handle, header, pass_output ? out.data() : nullptr,
                                          pass_length ? &length : nullptr);
    bool untouched = true;
    for (unsigned char b : out) untouched = untouched && b == kGuard;
    return {rc, length, untouched};
}

bool have_program(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<char> read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<char>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Decodes with ffmpeg in its strictest mode, and with mpg123. Returns "" when
// ffmpeg prints nothing on its error stream and both yield `frames` frames of
// samples; otherwise what went wrong. Sets `skipped` when ffmpeg is missing.
std::string decode_problems(const std::vector<std::uint8_t>& stream, std::size_t frames, int channels, bool& skipped,
                            bool expect_silence = false) {
    skipped = !have_program("ffmpeg");
    if (skipped) return "";
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/zuvo-bad-input-XXXXXX";
    std::vector<char> dir_name(pattern.begin(), pattern.end());
    dir_name.push_back('\0');
    if (mkdtemp(dir_name.data()) == nullptr) return "cannot make a temporary directory";
    const std::string dir(dir_name.data());
    const std::string in = dir + "/in.mp2", raw = dir + "/out.raw", err = dir + "/err.txt", raw2 = dir + "/mpg123.raw";
    {
        std::ofstream f(in, std::ios::binary);
        f.write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
    }
    const std::string command = "ffmpeg -nostdin -v warning -err_detect crccheck+bitstream+buffer+explode -f mp3 -i '" +
                                in + "' -f s16le -acodec pcm_s16le -y '" + raw + "' 2>'" + err + "'";
    const int status = std::system(command.c_str());
    std::string problems;
    if (status != 0) problems += "ffmpeg exit status " + std::to_string(status) + "\n";
    {
        std::ifstream e(err);
        std::string line;
        while (std::getline(e, line)) {
            // The demuxer's note that a raw stream has no duration field; not about the data.
            if (line.find("Estimating duration from bitrate") != std::string::npos) continue;
            problems += "ffmpeg: " + line + "\n";
        }
    }
    const std::size_t frame_bytes = 1152 * static_cast<std::size_t>(channels) * 2;
    const std::vector<char> pcm = read_file(raw);
    if (pcm.size() != frames * frame_bytes) {
        problems += "ffmpeg decoded " + std::to_string(pcm.size()) + " bytes, expected " +
                    std::to_string(frames * frame_bytes) + "\n";
    }
    if (expect_silence) {
        for (char c : pcm) {
            if (c != 0) {
                problems += "digital silence did not decode to silence\n";
                break;
            }
        }
    }
    if (have_program("mpg123")) {
        const std::string m = "mpg123 -q -s '" + in + "' >'" + raw2 + "' 2>/dev/null";
        if (std::system(m.c_str()) != 0) problems += "mpg123 failed\n";
        const std::size_t decoded = read_file(raw2).size();
        if (decoded != frames * frame_bytes) {
            problems += "mpg123 decoded " + std::to_string(decoded) + " bytes, expected " +
                        std::to_string(frames * frame_bytes) + "\n";
        }
        std::remove(raw2.c_str());
    }
    std::remove(in.c_str());
    std::remove(raw.c_str());
    std::remove(err.c_str());
    rmdir(dir.c_str());
    return problems;
}

const std::vector<char>& ten_frames_stereo() {
    static const std::vector<char> pcm = music(2, 10 * 1152 + 300, 3);
    return pcm;
}

// ------------------------------------------------------------------ the table

struct Case {
    const char* name;
    void (*run)();
};

const Case kCases[] = {
    // ---------------------------------------------------- ZuvoInitAudioEncoder
    {"InitNullParams", +[] {
         // Fresh context: refused, nothing starts.
         Context fresh;
         EXPECT_EQ(ZuvoInitAudioEncoder(fresh.handle(), nullptr), 0);
         EXPECT_EQ(ZuvoMaxOutputBytes(fresh.handle(), 4608), 0);
         EXPECT_EQ(fresh.call(ten_frames_stereo(), 0, 4608), 0);
         EXPECT_EQ(fresh.last_length, 0);
         EXPECT_EQ(ZuvoFinishAudio(fresh.handle()), 0);

         // Running context: refused, and the stream goes on as if it never happened,
         // also while bytes of an incomplete frame are carried.
         const auto& pcm = ten_frames_stereo();
         const auto expected = reference(1, 9, 44100, pcm, 3000);
         Context c;
         ASSERT_EQ(c.init(1, 9, 44100), 1);
         for (std::size_t at = 0; at < pcm.size(); at += 3000) {
             EXPECT_EQ(ZuvoInitAudioEncoder(c.handle(), nullptr), 0);
             ASSERT_EQ(c.call(pcm, at, std::min<std::size_t>(3000, pcm.size() - at)), 1);
         }
         EXPECT_EQ(c.stream, expected);
         EXPECT_EQ(ZuvoFinishAudio(c.handle()), 1);
     }},
    {"InitUnsupportedSamplingRate", +[] {
         const int rates[] = {0, -1, -44100, INT_MIN, INT_MAX, 8000, 11025, 16000, 22050, 24000, 44099, 44101, 88200, 96000};
         const auto& pcm = ten_frames_stereo();
         for (int rate : rates) {
             SCOPED_TRACE("sampling_rate " + std::to_string(rate));
             Context c;
             EXPECT_EQ(c.init(0, 11, rate), 0);
             EXPECT_EQ(c.call(pcm, 0, 4608), 0);
             EXPECT_EQ(c.last_length, 0);
             EXPECT_EQ(ZuvoFinishEncoder(c.handle()), 1);
             EXPECT_EQ(ZuvoFinishAudio(c.handle()), 0);

             // On a running stream the refused configuration ends that stream;
             // a good one afterwards starts afresh.
             Context r;
             ASSERT_EQ(r.init(0, 11, 44100), 1);
             ASSERT_EQ(r.call(pcm, 0, 6000), 1);
             EXPECT_EQ(r.init(0, 11, rate), 0);
             EXPECT_EQ(ZuvoFinishAudio(r.handle()), 0);
             EXPECT_EQ(r.call(pcm, 0, 4608), 0);
             ASSERT_EQ(r.init(0, 11, 44100), 1);
             r.stream.clear();
             r.feed(pcm, 4608);
             EXPECT_EQ(r.stream, reference(0, 11, 44100, pcm));
         }
     }},
    {"InitModeOutOfRange", +[] {
         const int modes[] = {-1, 4, 5, 255, INT_MIN, INT_MAX};
         const auto& pcm = ten_frames_stereo();
         for (int mode : modes) {
             SCOPED_TRACE("mode " + std::to_string(mode));
             Context c;
             EXPECT_EQ(c.init(mode, 11, 44100), 0);
             EXPECT_EQ(c.call(pcm, 0, 4608), 0);
             EXPECT_EQ(c.last_length, 0);
             EXPECT_EQ(ZuvoFinishAudio(c.handle()), 0);

             Context r;
             ASSERT_EQ(r.init(2, 11, 48000), 1);
             ASSERT_EQ(r.call(pcm, 0, 4608), 1);
             EXPECT_EQ(r.init(mode, 11, 48000), 0);
             EXPECT_EQ(ZuvoFinishAudio(r.handle()), 0);
         }
         // Every field out of range at once.
         Context c;
         EXPECT_EQ(c.init(INT_MIN, INT_MIN, INT_MIN), 0);
         EXPECT_EQ(c.init(INT_MAX, INT_MAX, INT_MAX), 0);
         EXPECT_EQ(ZuvoFinishAudio(c.handle()), 0);
     }},
    {"InitBitrateIndexOutOfRange", +[] {
         // Out-of-range indices become 11 (224 kbit/s); single channel is limited
         // to 10, which its header codes as index 6 (96 kbit/s).
         struct Row {
             int mode, index, header_index;
         };
         const Row rows[] = {{0, 0, 11},  {0, -1, 11},       {0, 15, 11},      {0, 16, 11},
                             {0, INT_MIN, 11}, {0, INT_MAX, 11}, {1, -5, 11},  {2, 99, 11},
                             {3, 0, 6},   {3, -1, 6},        {3, 15, 6},       {3, INT_MIN, 6},
                             {3, INT_MAX, 6}, {3, 14, 6},    {3, 11, 6},       {3, 10, 6},
                             {3, 6, 2},   {3, 5, 1},         {3, 1, 1}};
         for (const Row& row : rows) {
             SCOPED_TRACE("mode " + std::to_string(row.mode) + " bitrate_index " + std::to_string(row.index));
             const auto pcm = music(channels_of(row.mode), 3 * 1152, 2);
             Context c;
             ASSERT_EQ(c.init(row.mode, row.index, 48000), 1);
             c.feed(pcm, 4608);
             const auto report = zuvo_test::read_layer2_stream(c.stream);
             ASSERT_TRUE(report.ok()) << report.describe();
             ASSERT_EQ(report.frames.size(), 3u);
             for (const auto& f : report.frames) EXPECT_EQ(f.bitrate_index, row.header_index);
             if (row.mode != 3 && (row.index <= 0 || row.index >= 15)) {
                 EXPECT_EQ(c.stream, reference(row.mode, 11, 48000, pcm));
             }
         }
     }},

    // ---------------------------------------------------- ZuvoCompressAudioFrame arguments
    {"CompressNullHeader", +[] {
         const auto& pcm = ten_frames_stereo();
         Context c;
         ASSERT_EQ(c.init(0, 8, 44100), 1);
         c.feed(pcm, 3000, 0, 6000);
         const Refusal r = compress_raw(c.handle(), nullptr, true, true);
         EXPECT_EQ(r.rc, 0);
         EXPECT_EQ(r.length, kUntouched);
         EXPECT_TRUE(r.output_untouched);
         EXPECT_EQ(compress_raw(c.handle(), nullptr, false, false).rc, 0);
         c.feed(pcm, 3000, 6000);
         EXPECT_EQ(c.stream, reference(0, 8, 44100, pcm));
     }},
    {"CompressNullLpData", +[] {
         const auto& pcm = ten_frames_stereo();
         Context c;
         ASSERT_EQ(c.init(0, 8, 44100), 1);
         c.feed(pcm, 3000, 0, 6000);
         for (std::uint32_t length : {0u, 1u, 4608u, 0xFFFFFFFFu}) {
             wavehdr_tag h{};
             h.lpData = nullptr;
             h.dwBufferLength = length;
             h.dwUser = 48000;  // must not be taken either
             testing::internal::CaptureStdout();
             const Refusal r = compress_raw(c.handle(), &h, true, true);
             const std::string printed = testing::internal::GetCapturedStdout();
             EXPECT_EQ(r.rc, 0);
             EXPECT_EQ(r.length, kUntouched);
             EXPECT_TRUE(r.output_untouched);
             EXPECT_EQ(printed, "audio data unavailable");
         }
         c.feed(pcm, 3000, 6000);
         EXPECT_EQ(c.stream, reference(0, 8, 44100, pcm));
     }},
    {"CompressNullOutputOrLength", +[] {
         const auto& pcm = ten_frames_stereo();
         Context c;
         ASSERT_EQ(c.init(3, 8, 32000), 1);  // single channel: 2304 bytes a frame
         c.feed(pcm, 1000, 0, 3000);
         // Buffers that would complete frames, offered without somewhere to put them.
         std::vector<char> bytes(pcm.begin() + 3000, pcm.begin() + 3000 + 9000);
         wavehdr_tag h{};
         h.lpData = bytes.data();
         h.dwBufferLength = static_cast<std::uint32_t>(bytes.size());
         h.dwUser = 48000;
         const Refusal no_output = compress_raw(c.handle(), &h, false, true);
         EXPECT_EQ(no_output.rc, 0);
         EXPECT_EQ(no_output.length, kUntouched);
         const Refusal no_length = compress_raw(c.handle(), &h, true, false);
         EXPECT_EQ(no_length.rc, 0);
         EXPECT_TRUE(no_length.output_untouched);
         EXPECT_EQ(compress_raw(c.handle(), &h, false, false).rc, 0);
         c.feed(pcm, 1000, 3000);
         EXPECT_EQ(c.stream, reference(3, 8, 32000, pcm));
     }},

    // ---------------------------------------------------- dwBufferLength
    {"BufferLengthZero", +[] {
         const auto& pcm = ten_frames_stereo();
         Context c;
         ASSERT_EQ(c.init(2, 10, 48000), 1);
         for (std::size_t at = 0; at < pcm.size(); at += 2500) {
             EXPECT_EQ(c.call(pcm, at, 0), 1);
             EXPECT_EQ(c.last_length, 0);
             ASSERT_EQ(c.call(pcm, at, std::min<std::size_t>(2500, pcm.size() - at)), 1);
         }
         EXPECT_EQ(c.stream, reference(2, 10, 48000, pcm));
     }},
    {"BufferLengthOneByte", +[] {
         // Every sample split across two calls; at most one frame per call.
         const auto pcm = music(2, 3 * 1152 + 7, 4);
         Context c;
         ASSERT_EQ(c.init(0, 11, 44100), 1);
         for (std::size_t at = 0; at < pcm.size(); ++at) {
             ASSERT_EQ(c.call(pcm, at, 1), 1);
             ASSERT_LE(c.last_length, 1000);
         }
         EXPECT_EQ(c.stream, reference(0, 11, 44100, pcm));
     }},
    {"BufferLengthOdd", +[] {
         const auto& pcm = ten_frames_stereo();
         const auto expected = reference(1, 11, 44100, pcm);
         for (std::size_t piece : {3u, 4607u, 4609u, 9215u, 12345u}) {
             SCOPED_TRACE("pieces of " + std::to_string(piece) + " bytes");
             Context c;
             ASSERT_EQ(c.init(1, 11, 44100), 1);
             c.feed(pcm, piece);
             EXPECT_EQ(c.stream, expected);
         }
     }},
    {"BufferLengthShortInEveryMode", +[] {
         // Buffers shorter than a frame are staged in every mode, never dropped.
         for (int mode = 0; mode < 4; ++mode) {
             SCOPED_TRACE("mode " + std::to_string(mode));
             const auto pcm = music(channels_of(mode), 6 * 1152 + 11, 5);
             const auto expected = reference(mode, 6, 32000, pcm);
             expect_valid(expected, 6, "reference");
             for (std::size_t piece : {std::size_t{1000}, frame_input_bytes(mode) - 1, frame_input_bytes(mode) / 2}) {
                 Context c;
                 ASSERT_EQ(c.init(mode, 6, 32000), 1);
                 c.feed(pcm, piece);
                 EXPECT_EQ(c.stream, expected) << "pieces of " << piece;
             }
         }
     }},
    {"BufferLengthAbove38400", +[] {
         const auto pcm = music(2, 120 * 1152 + 1, 6);
         const auto expected = reference(0, 14, 48000, pcm);
         expect_valid(expected, 120, "reference");
         for (std::size_t piece : {38401u, 100000u, 460803u, 120u * 4608u + 4u}) {
             Context c;
             ASSERT_EQ(c.init(0, 14, 48000), 1);
             c.feed(pcm, piece);
             EXPECT_EQ(c.stream, expected) << "pieces of " << piece;
         }
     }},

    // ---------------------------------------------------- dwUser
    {"UserNoChange", +[] {
         const auto& pcm = ten_frames_stereo();
         const auto expected = reference(0, 11, 44100, pcm);
         // At or below 22050 means "no change"; the stream's own rate is no change either
         // (the padding sequence must not restart).
         for (std::uintptr_t user : {std::uintptr_t{0}, std::uintptr_t{1}, std::uintptr_t{22050}, std::uintptr_t{44100}}) {
             Context c;
             ASSERT_EQ(c.init(0, 11, 44100), 1);
             c.feed(pcm, 4608, 0, SIZE_MAX, user);
             EXPECT_EQ(c.stream, expected) << "dwUser " << user;
         }
     }},
    {"UserUnsupportedRateIgnored", +[] {
         const auto& pcm = ten_frames_stereo();
         const auto expected = reference(0, 11, 44100, pcm);
         std::vector<std::uintptr_t> values = {22051, 32001, 44099, 47999, 88200, 96000, 192000,
                                               0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu};
         if (sizeof(std::uintptr_t) == 8) {
             values.push_back(~std::uintptr_t{0});
             // A supported rate in the low 32 bits must not be taken for that rate.
             values.push_back((std::uintptr_t{1} << 32) | 48000u);
             values.push_back((std::uintptr_t{1} << 32) | 32000u);
             values.push_back((std::uintptr_t{0xFFFFFFFFu} << 32) | 48000u);
         }
         for (std::uintptr_t user : values) {
             Context c;
             ASSERT_EQ(c.init(0, 11, 44100), 1);
             c.feed(pcm, 4608, 0, SIZE_MAX, user);
             EXPECT_EQ(c.stream, expected) << "dwUser " << user;
         }
     }},
    {"UserSupportedRateSwitches", +[] {
         // 44.1 kHz stream; the rate announced with a buffer applies from the first
         // frame of that call on, and may change again.
         const auto pcm = music(2, 12 * 1152, 7);
         Context c;
         ASSERT_EQ(c.init(1, 10, 44100), 1);
         c.feed(pcm, 4608, 0, 3 * 4608);
         c.feed(pcm, 4608, 3 * 4608, 6 * 4608, 48000);
         c.feed(pcm, 4608, 6 * 4608, 9 * 4608, 32000);
         c.feed(pcm, 4608, 9 * 4608, 12 * 4608, 44100);
         const auto report = zuvo_test::read_layer2_stream(c.stream);
         ASSERT_TRUE(report.ok()) << report.describe();
         ASSERT_EQ(report.frames.size(), 12u);
         const int rates[] = {44100, 48000, 32000, 44100};
         for (std::size_t i = 0; i < 12; ++i) {
             EXPECT_EQ(report.frames[i].sampling_rate, rates[i / 3]) << "frame " << i;
             EXPECT_EQ(report.frames[i].bitrate_kbps, 192) << "frame " << i;
         }
         EXPECT_EQ(report.frames[3].length, 576u);
         EXPECT_EQ(report.frames[6].length, 864u);
     }},

    // ---------------------------------------------------- bounded output
    {"BoundedCapacity", +[] {
         const auto& pcm = ten_frames_stereo();
         Context c;
         ASSERT_EQ(c.init(0, 13, 44100), 1);
         c.feed(pcm, 3000, 0, 3000);
         std::vector<char> bytes(pcm.begin() + 3000, pcm.begin() + 3000 + 3 * 4608);
         wavehdr_tag h{};
         h.lpData = bytes.data();
         h.dwBufferLength = static_cast<std::uint32_t>(bytes.size());
         const int need = ZuvoMaxOutputBytes(c.handle(), h.dwBufferLength);
         ASSERT_GT(need, 0);
         std::vector<unsigned char> out(static_cast<std::size_t>(need) + kGuardBytes, kGuard);
         for (int capacity : {need - 1, 0, -1, INT_MIN}) {
             int length = kUntouched;
             EXPECT_EQ(ZuvoCompressAudioFrameBounded(c.handle(), &h, out.data(), capacity, &length), 0) << capacity;
             EXPECT_EQ(length, kUntouched);
         }
         for (unsigned char b : out) ASSERT_EQ(b, kGuard);
         EXPECT_EQ(ZuvoCompressAudioFrameBounded(c.handle(), &h, out.data(), need, nullptr), 0);
         EXPECT_EQ(ZuvoCompressAudioFrameBounded(c.handle(), nullptr, out.data(), need, nullptr), 0);
         // A rate announced with the buffer raises the bound: 32 kHz frames are larger.
         h.dwUser = 32000;
         int length = kUntouched;
         EXPECT_EQ(ZuvoCompressAudioFrameBounded(c.handle(), &h, out.data(), need, &length), 0);
         h.dwUser = 0;
         ASSERT_EQ(ZuvoCompressAudioFrameBounded(c.handle(), &h, out.data(), need, &length), 1);
         ASSERT_GE(length, 0);
         ASSERT_LE(length, need);
         for (std::size_t i = static_cast<std::size_t>(length); i < out.size(); ++i) ASSERT_EQ(out[i], kGuard);
         c.stream.insert(c.stream.end(), out.begin(), out.begin() + length);
         c.feed(pcm, 3000, 3000 + 3 * 4608);
         EXPECT_EQ(c.stream, reference(0, 13, 44100, pcm));
     }},
    {"MaxOutputBytesExtremes", +[] {
         Context c;
         EXPECT_EQ(ZuvoMaxOutputBytes(c.handle(), 0xFFFFFFFFu), 0);  // not running
         EXPECT_EQ(ZuvoMaxOutputBytes(handle_value(0), 4608), 0);
         EXPECT_EQ(ZuvoMaxOutputBytes(handle_value(0xFFFFFFFFu), 4608), 0);
         struct Row {
             int mode, index, rate;
         };
         for (const Row& row : {Row{0, 14, 32000}, Row{3, 10, 32000}, Row{1, 1, 48000}, Row{2, 14, 44100}}) {
             ASSERT_EQ(c.init(row.mode, row.index, row.rate), 1);
             const std::uint64_t per_frame = frame_input_bytes(row.mode);
             const int zero = ZuvoMaxOutputBytes(c.handle(), 0);
             EXPECT_EQ(zero, 0);
             const int all = ZuvoMaxOutputBytes(c.handle(), 0xFFFFFFFFu);
             EXPECT_GT(all, 0) << "never negative, never wrapped";
             const std::uint64_t frames = 0xFFFFFFFFull / per_frame;
             EXPECT_GE(static_cast<std::uint64_t>(all), frames * 96);  // at least 96 bytes a frame
             EXPECT_EQ(static_cast<std::uint64_t>(all) % frames, 0u);
         }
     }},

    // ---------------------------------------------------- calls in the wrong order
    {"CompressBeforeInit", +[] {
         Context c;
         EXPECT_EQ(c.call(ten_frames_stereo(), 0, 3 * 4608), 0);
         EXPECT_EQ(c.last_length, 0);
         EXPECT_TRUE(c.stream.empty());
         EXPECT_EQ(ZuvoFinishAudio(c.handle()), 0);
         EXPECT_EQ(ZuvoFinishEncoder(c.handle()), 1);
     }},
    {"CompressAfterFinish", +[] {
         const auto& pcm = ten_frames_stereo();
         for (int use_finish_encoder = 0; use_finish_encoder < 2; ++use_finish_encoder) {
             Context c;
             ASSERT_EQ(c.init(0, 11, 44100), 1);
             c.feed(pcm, 4608, 0, 2 * 4608 + 100);
             EXPECT_EQ(use_finish_encoder ? ZuvoFinishEncoder(c.handle()) : ZuvoFinishAudio(c.handle()), 1);
             const std::size_t before = c.stream.size();
             EXPECT_EQ(c.call(pcm, 0, 3 * 4608), 0);
             EXPECT_EQ(c.last_length, 0);
             EXPECT_EQ(c.stream.size(), before);
             EXPECT_EQ(ZuvoMaxOutputBytes(c.handle(), 4608), 0);
         }
     }},
    {"CallsAfterDelete", +[] {
         const auto& pcm = ten_frames_stereo();
         Context before;
         auto doomed = std::make_unique<Context>();
         Context after;  // holds the largest number, so the deleted one is not reissued
         ASSERT_EQ(doomed->init(0, 11, 44100), 1);
         doomed->feed(pcm, 4608, 0, 4608 + 10);
         void* gone = doomed->handle();
         doomed.reset();

         ZuvoMPAEncoderParams p{0, 11, 44100};
         EXPECT_EQ(ZuvoInitAudioEncoder(gone, &p), 0);
         std::vector<char> bytes(pcm.begin(), pcm.begin() + 4608);
         wavehdr_tag h{};
         h.lpData = bytes.data();
         h.dwBufferLength = 4608;
         const Refusal r = compress_raw(gone, &h, true, true);
         EXPECT_EQ(r.rc, 0);
         EXPECT_EQ(r.length, kUntouched);
         EXPECT_TRUE(r.output_untouched);
         EXPECT_EQ(ZuvoFinishAudio(gone), 0);
         EXPECT_EQ(ZuvoFinishEncoder(gone), 0);
         EXPECT_EQ(ZuvoMaxOutputBytes(gone, 4608), 0);
         int length = kUntouched;
         std::vector<unsigned char> out(8192);
         EXPECT_EQ(ZuvoCompressAudioFrameBounded(gone, &h, out.data(), 8192, &length), 0);
         EXPECT_EQ(length, kUntouched);
         ZuvoDeleteAudioContext(gone);
         // Its neighbours are still there.
         EXPECT_EQ(ZuvoFinishEncoder(before.handle()), 1);
         EXPECT_EQ(ZuvoFinishEncoder(after.handle()), 1);
     }},
    {"FinishTwice", +[] {
         Context a;
         ASSERT_EQ(a.init(0, 11, 44100), 1);
         EXPECT_EQ(ZuvoFinishAudio(a.handle()), 1);
         EXPECT_EQ(ZuvoFinishAudio(a.handle()), 0);
         EXPECT_EQ(ZuvoFinishEncoder(a.handle()), 1);

         Context b;
         ASSERT_EQ(b.init(0, 11, 44100), 1);
         EXPECT_EQ(ZuvoFinishEncoder(b.handle()), 1);
         EXPECT_EQ(ZuvoFinishEncoder(b.handle()), 1);
         EXPECT_EQ(ZuvoFinishAudio(b.handle()), 0) << "ZuvoFinishEncoder finished the stream";

         Context never;
         EXPECT_EQ(ZuvoFinishAudio(never.handle()), 0);
         EXPECT_EQ(ZuvoFinishEncoder(never.handle()), 1);
     }},
    {"InitTwiceWithoutFinish", +[] {
         // A second init ends the running stream (its carried bytes are dropped)
         // and starts a new one exactly like a fresh context.
         const auto& pcm = ten_frames_stereo();
         const auto mono = music(1, 7 * 1152, 8);
         Context c;
         ASSERT_EQ(c.init(0, 11, 44100), 1);
         c.feed(pcm, 3000, 0, 9000);
         ASSERT_EQ(c.init(0, 11, 44100), 1);
         c.stream.clear();
         c.feed(pcm, 3000);
         EXPECT_EQ(c.stream, reference(0, 11, 44100, pcm));

         ASSERT_EQ(c.init(3, 4, 32000), 1);  // and with other parameters
         c.stream.clear();
         c.feed(mono, 1000);
         EXPECT_EQ(c.stream, reference(3, 4, 32000, mono));
         expect_valid(c.stream, 7, "after reconfiguration");
     }},
    {"ReinitAfterFinish", +[] {
         const auto& pcm = ten_frames_stereo();
         Context c;
         for (int round = 0; round < 3; ++round) {
             ASSERT_EQ(c.init(2, 9, 48000), 1);
             c.stream.clear();
             c.feed(pcm, 5000);
             EXPECT_EQ(c.stream, reference(2, 9, 48000, pcm)) << "round " << round;
             EXPECT_EQ(ZuvoFinishAudio(c.handle()), 1);
         }
     }},
    {"DeleteTwice", +[] {
         const auto& pcm = ten_frames_stereo();
         Context keeper;
         ASSERT_EQ(keeper.init(0, 11, 44100), 1);
         keeper.feed(pcm, 4608, 0, 4 * 4608);
         void* h = ZuvoCreateAudioContext();
         ZuvoMPAEncoderParams p{0, 11, 44100};
         ASSERT_EQ(ZuvoInitAudioEncoder(h, &p), 1);
         ZuvoDeleteAudioContext(h);
         ZuvoDeleteAudioContext(h);
         EXPECT_EQ(ZuvoFinishAudio(h), 0);
         keeper.feed(pcm, 4608, 4 * 4608);
         EXPECT_EQ(keeper.stream, reference(0, 11, 44100, pcm));
     }},
    {"DeleteUnknownHandles", +[] {
         const auto& pcm = ten_frames_stereo();
         Context keeper;
         ASSERT_EQ(keeper.init(0, 11, 44100), 1);
         keeper.feed(pcm, 4608, 0, 4 * 4608);
         const std::uintptr_t live = reinterpret_cast<std::uintptr_t>(keeper.handle());
         int local = 0;
         std::vector<std::uintptr_t> strangers = {0, live + 1000, 0xFFFFFFFFu, ~std::uintptr_t{0},
                                                  reinterpret_cast<std::uintptr_t>(&local)};
         if (sizeof(std::uintptr_t) == 8) strangers.push_back((std::uintptr_t{1} << 32) | live);
         for (std::uintptr_t s : strangers) {
             SCOPED_TRACE("handle " + std::to_string(s));
             ZuvoDeleteAudioContext(handle_value(s));
             ZuvoMPAEncoderParams p{3, 1, 32000};
             EXPECT_EQ(ZuvoInitAudioEncoder(handle_value(s), &p), 0);
             EXPECT_EQ(ZuvoFinishAudio(handle_value(s)), 0);
             EXPECT_EQ(ZuvoFinishEncoder(handle_value(s)), 0);
         }
         // The live context noticed nothing.
         keeper.feed(pcm, 4608, 4 * 4608);
         EXPECT_EQ(keeper.stream, reference(0, 11, 44100, pcm));
         EXPECT_EQ(ZuvoFinishAudio(keeper.handle()), 1);
     }},

    // ---------------------------------------------------- PCM at the limits
    {"ExtremePcm", +[] {
         const Extreme kinds[] = {Extreme::AllMin, Extreme::AllMax, Extreme::AlternatingFullScale, Extreme::Dc,
                                  Extreme::Silence};
         struct Setting {
             int index, rate;
         };
         const Setting two_channel[] = {{4, 32000}, {8, 44100}, {14, 48000}};
         const Setting one_channel[] = {{1, 32000}, {6, 44100}, {10, 48000}};
         const std::size_t samples = 9 * 1152 + 500;
         bool skipped = false;
         for (int mode = 0; mode < 4; ++mode) {
             for (const Setting& s : mode == 3 ? one_channel : two_channel) {
                 for (Extreme kind : kinds) {
                     const std::string what = std::string(extreme_name(kind)) + ", mode " + std::to_string(mode) +
                                               ", bitrate index " + std::to_string(s.index) + ", " +
                                               std::to_string(s.rate) + " Hz";
                     SCOPED_TRACE(what);
                     const auto pcm = extreme(kind, channels_of(mode), samples);
                     Context c;
                     ASSERT_EQ(c.init(mode, s.index, s.rate), 1);
                     c.feed(pcm, 4000);
                     expect_valid(c.stream, 9, what);
                     const std::string problems = decode_problems(c.stream, 9, channels_of(mode), skipped,
                                                                  kind == Extreme::Silence);
                     EXPECT_EQ(problems, "") << what;
                 }
             }
         }
         if (skipped) std::printf("ffmpeg not installed: decoding not checked\n");
     }},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class BadInput : public testing::TestWithParam<Case> {};

TEST_P(BadInput, LibraryHoldsItsGround) { GetParam().run(); }

INSTANTIATE_TEST_SUITE_P(Table, BadInput, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
