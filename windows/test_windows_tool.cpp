// The Windows build of zuvo-mpa-encode: its WAV reader (tools/wav_sndfile.h)
// on the layouts WAV writers produce, and the tool itself run as a user runs
// it, through cmd.exe.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "host_common.h"
#include "wav_sndfile.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;

void put16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<unsigned char>(v & 0xFF));
    b.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
}
void put32(Bytes& b, std::uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
void put_id(Bytes& b, const char* id) { b.insert(b.end(), id, id + 4); }

struct WavLayout {
    std::uint16_t tag = 1;  // 1 PCM, 3 float
    std::uint16_t channels = 2;
    std::uint32_t rate = 44100;
    std::uint16_t bits = 16;
    bool extensible = false;
    bool chunk_before_format = false;  // an odd-sized LIST chunk first
    bool unknown_size = false;         // data size 0, as streaming writers leave it
};

Bytes wav(const WavLayout& w, const Bytes& samples) {
    Bytes b;
    put_id(b, "RIFF");
    put32(b, 0);  // the RIFF size, filled in at the end
    put_id(b, "WAVE");
    if (w.chunk_before_format) {
        put_id(b, "LIST");
        put32(b, 5);
        put_id(b, "INFO");
        b.push_back('x');
        b.push_back(0);  // pad byte
    }
    put_id(b, "fmt ");
    put32(b, w.extensible ? 40 : 16);
    put16(b, w.extensible ? 0xFFFE : w.tag);
    put16(b, w.channels);
    put32(b, w.rate);
    const std::uint32_t align = static_cast<std::uint32_t>(w.channels * w.bits / 8);
    put32(b, w.rate * align);
    put16(b, align);
    put16(b, w.bits);
    if (w.extensible) {
        put16(b, 22);
        put16(b, w.bits);
        put32(b, w.channels == 2 ? 3 : 4);
        put16(b, w.tag);  // the sub-format GUID starts with the tag
        static const unsigned char rest[14] = {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
        b.insert(b.end(), rest, rest + 14);
    }
    put_id(b, "data");
    put32(b, w.unknown_size ? 0 : static_cast<std::uint32_t>(samples.size()));
    b.insert(b.end(), samples.begin(), samples.end());
    if (!w.unknown_size) {
        const std::uint32_t riff = static_cast<std::uint32_t>(b.size() - 8);
        for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<unsigned char>(riff >> (8 * i));
    }
    return b;
}

class WavTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("zuvo-tool-" + std::to_string(GetCurrentProcessId()));
        fs::remove_all(dir_);
        ASSERT_TRUE(fs::create_directories(dir_));
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(const std::string& name, const Bytes& bytes) {
        const std::string path = (dir_ / name).string();
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    static Bytes read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // Opens `bytes` as a WAV file and reads every frame.
    std::vector<short> decode(const Bytes& bytes, SF_INFO& info, int& error) {
        SNDFILE* file = sf_open(write("in.wav", bytes).c_str(), SFM_READ, &info);
        error = sf_error(file);
        std::vector<short> samples;
        if (file == nullptr) return samples;
        short chunk[64];
        for (;;) {
            const sf_count_t got = sf_readf_short(file, chunk, 64 / info.channels);
            if (got <= 0) break;
            samples.insert(samples.end(), chunk, chunk + got * info.channels);
        }
        sf_close(file);
        return samples;
    }
    fs::path dir_;
};

}  // namespace

TEST_F(WavTest, IntegerLayoutsKeepTheTop16Bits) {
    SF_INFO info{};
    int error = -1;

    Bytes pcm16;
    for (std::uint32_t v : {0x0001u, 0x7FFFu, 0x8000u, 0xFFFFu}) put16(pcm16, v);
    std::vector<short> s = decode(wav(WavLayout{}, pcm16), info, error);
    EXPECT_EQ(error, SF_ERR_NO_ERROR);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.samplerate, 44100);
    EXPECT_EQ(info.frames, 2);
    EXPECT_EQ(s, (std::vector<short>{1, 32767, -32768, -1}));

    // 24-bit mono behind an odd-sized chunk: the low byte is dropped.
    WavLayout w24;
    w24.channels = 1;
    w24.bits = 24;
    w24.rate = 48000;
    w24.chunk_before_format = true;
    const Bytes pcm24 = {0xFF, 0x34, 0x12, 0x00, 0x00, 0x80, 0x01, 0x00, 0x00};
    s = decode(wav(w24, pcm24), info, error);
    EXPECT_EQ(error, SF_ERR_NO_ERROR);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(s, (std::vector<short>{0x1234, -32768, 0}));

    WavLayout w8;
    w8.bits = 8;
    w8.channels = 1;
    s = decode(wav(w8, {0x80, 0xFF, 0x00}), info, error);
    EXPECT_EQ(s, (std::vector<short>{0, 127 * 256, -128 * 256}));

    WavLayout w32;
    w32.bits = 32;
    w32.extensible = true;
    Bytes pcm32;
    put32(pcm32, 0x7FFFFFFFu);
    put32(pcm32, 0xFFFF0000u);
    s = decode(wav(w32, pcm32), info, error);
    EXPECT_EQ(s, (std::vector<short>{32767, -1}));
}

TEST_F(WavTest, FloatsAreScaledAndClipped) {
    WavLayout w;
    w.tag = 3;
    w.bits = 32;
    w.channels = 1;
    w.extensible = true;
    Bytes pcm;
    for (float v : {0.5f, -1.0f, 1.5f, -2.0f, std::numeric_limits<float>::quiet_NaN()}) {
        std::uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        put32(pcm, bits);
    }
    SF_INFO info{};
    int error = -1;
    EXPECT_EQ(decode(wav(w, pcm), info, error), (std::vector<short>{16384, -32767, 32767, -32768, 0}));

    w.bits = 64;
    w.extensible = false;
    pcm.clear();
    for (double v : {0.25, -0.25}) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        put32(pcm, static_cast<std::uint32_t>(bits));
        put32(pcm, static_cast<std::uint32_t>(bits >> 32));
    }
    EXPECT_EQ(decode(wav(w, pcm), info, error), (std::vector<short>{8192, -8192}));
}

TEST_F(WavTest, UnknownLengthReadsToTheEndAndBadFilesAreRefused) {
    WavLayout streamed;
    streamed.unknown_size = true;
    Bytes pcm;
    for (int i = 0; i < 10; ++i) put16(pcm, static_cast<std::uint32_t>(i));
    pcm.push_back(0x55);  // half a sample at the end is not a frame
    SF_INFO info{};
    int error = -1;
    const std::vector<short> s = decode(wav(streamed, pcm), info, error);
    EXPECT_EQ(info.frames, SF_COUNT_MAX);
    EXPECT_EQ(s.size(), 10u);

    WavLayout adpcm;
    adpcm.tag = 2;
    decode(wav(adpcm, pcm), info, error);
    EXPECT_EQ(error, SF_ERR_UNSUPPORTED_ENCODING);
    decode(Bytes{'f', 'L', 'a', 'C', 0, 0, 0, 0, 0, 0, 0, 0}, info, error);
    EXPECT_EQ(error, SF_ERR_UNRECOGNISED_FORMAT);
    EXPECT_NE(std::string(sf_strerror(nullptr)).find("WAV"), std::string::npos);
    Bytes cut = wav(WavLayout{}, pcm);
    cut.resize(30);  // inside the format chunk
    decode(cut, info, error);
    EXPECT_EQ(error, SF_ERR_MALFORMED_FILE);
}

// ---------------------------------------------------------------- the tool

namespace {

std::string tool_path() {
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    return (fs::path(std::string(self, length)).parent_path() / "zuvo-mpa-encode.exe").string();
}

// Runs the tool in `directory`, as a user does in a console window.
int run(const fs::path& directory, const std::string& arguments) {
    // cmd.exe /c strips the outer quotes of its command line.
    return std::system(("\"cd /d \"" + directory.string() + "\" && \"" + tool_path() + "\" " + arguments + "\"").c_str());
}

}  // namespace

TEST_F(WavTest, ToolEncodesWavToWholeFramesOnFilesAndStandardOutput) {
    const int frames = 10;
    const std::vector<std::int16_t> samples = host::test_signal(2, 1152 * frames + 100);
    Bytes pcm;
    for (std::int16_t v : samples) put16(pcm, static_cast<std::uint16_t>(v));
    write("tone.wav", wav(WavLayout{}, pcm));

    ASSERT_EQ(run(dir_, "-q -b 192 tone.wav tone.mp2"), 0);
    const Bytes stream = read((dir_ / "tone.mp2").string());
    // 1152 * 10 + 100 samples and the 481-sample delay: 11 frames.
    EXPECT_EQ(host::count_frames(stream), frames + 1);

    // The existing file is kept without --force (exit 3), replaced with it;
    // the input is never the output. Then to standard output and from
    // standard input: the same bytes each time.
    EXPECT_EQ(run(dir_, "-q -b 192 tone.wav tone.mp2 2>nul"), 3);
    EXPECT_EQ(run(dir_, "-q -f tone.wav .\\tone.wav 2>nul"), 3);
    EXPECT_EQ(run(dir_, "-qf -b 192 tone.wav tone.mp2"), 0);
    EXPECT_EQ(read((dir_ / "tone.mp2").string()), stream);
    ASSERT_EQ(run(dir_, "-q -b 192 tone.wav - > piped.mp2"), 0);
    EXPECT_EQ(read((dir_ / "piped.mp2").string()), stream);
    ASSERT_EQ(run(dir_, "-q -b 192 - - < tone.wav > piped.mp2"), 0);
    EXPECT_EQ(read((dir_ / "piped.mp2").string()), stream);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 3);  // no leftovers
}

TEST_F(WavTest, ToolRefusesWhatItCannotReadAndLeavesNoOutput) {
    write("not.wav", Bytes(64, 'x'));
    EXPECT_EQ(run(dir_, "-q not.wav never.mp2 2>nul"), 2);
    EXPECT_FALSE(fs::exists(dir_ / "never.mp2"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}
