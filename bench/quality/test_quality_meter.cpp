// The quality meter ranks signals with known, synthesised noise correctly, and
// the program keeps its one-line interface and exit codes.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <regex>
#include <string>

#include "quality_meter.h"

namespace q = zuvo::quality;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kRate = 48000;

// Music-like: a chord every quarter second, three notes whose partials fall
// off as 1/sqrt(h), each with a short attack and a decay. Only partials below
// `max_hz` are kept, so two calls that differ only there agree on the rest to
// the sample (an exact low-pass). The second channel is a different mix.
q::Audio music(double seconds, double max_hz, int channels) {
    const double roots[] = {110.0, 146.8, 164.8, 196.0, 220.0, 130.8};
    const double chord[] = {1.0, 1.26, 1.5};
    const std::size_t length = static_cast<std::size_t>(seconds * kRate);
    const std::size_t segment = kRate / 4;
    q::Audio a;
    a.rate = kRate;
    a.channels.assign(channels, std::vector<double>(length, 0.0));
    for (std::size_t start = 0, s = 0; start < length; start += segment, ++s) {
        for (int note = 0; note < 3; ++note) {
            const double f0 = roots[s % 6] * chord[note] * (note == 2 ? 2.0 : 1.0);
            for (int h = 1; h * f0 < max_hz; ++h) {
                const double amp = 0.08 / std::sqrt(h);
                const double phase = 0.7 * h + note;
                for (std::size_t n = start; n < std::min(length, start + segment); ++n) {
                    const double t = static_cast<double>(n - start) / kRate;
                    const double env = std::min(1.0, t / 0.01) * std::exp(-3.0 * t);
                    const double v = amp * env * std::sin(2 * kPi * h * f0 * t + phase);
                    for (int c = 0; c < channels; ++c) a.channels[c][n] += v * (c == 0 ? 1.0 : 0.5 + 0.25 * note);
                }
            }
        }
    }
    return a;
}

double energy(const q::Audio& a) {
    double e = 0;
    for (const auto& ch : a.channels)
        for (double v : ch) e += v * v;
    return e;
}

// x + noise, the noise scaled to `snr_db` below x's energy.
q::Audio plus(const q::Audio& x, const q::Audio& noise, double snr_db) {
    const double gain = std::sqrt(energy(x) / energy(noise) * std::pow(10.0, -snr_db / 10.0));
    q::Audio y = x;
    for (std::size_t c = 0; c < y.channels.size(); ++c)
        for (std::size_t n = 0; n < y.length(); ++n) y.channels[c][n] += gain * noise.channels[c][n];
    return y;
}

q::Audio white_noise(const q::Audio& like, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> gauss;
    q::Audio n = like;
    for (auto& ch : n.channels)
        for (double& v : ch) v = gauss(rng);
    return n;
}

// Noise made of 200 random-phase sines between lo and hi Hz.
q::Audio band_noise(const q::Audio& like, double lo, double hi, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    q::Audio n = like;
    for (auto& ch : n.channels) {
        std::fill(ch.begin(), ch.end(), 0.0);
        for (int i = 0; i < 200; ++i) {
            const double w = 2 * kPi * (lo + (hi - lo) * unit(rng)) / kRate;
            const double phase = 2 * kPi * unit(rng);
            for (std::size_t t = 0; t < ch.size(); ++t) ch[t] += std::sin(w * static_cast<double>(t) + phase);
        }
    }
    return n;
}

q::Audio delayed(const q::Audio& x, std::size_t delay) {
    q::Audio y = x;
    for (auto& ch : y.channels) ch.insert(ch.begin(), delay, 0.0);
    return y;
}

TEST(QualityMeter, WhiteNoiseAtRisingLevelsRanksInOrderWithTheSetSnr) {
    const q::Audio x = music(3.0, 16000, 2);
    const q::Audio noise = white_noise(x, 1);
    double previous = -1e9;
    for (double snr : {60.0, 40.0, 20.0}) {
        const q::Result r = q::measure(x, plus(x, noise, snr), 0);
        SCOPED_TRACE(q::format(r));
        EXPECT_NEAR(r.snr_db, snr, 1.0);
        EXPECT_GT(r.nmr_db, previous + 10.0);  // 20 dB more noise: clearly worse
        previous = r.nmr_db;
    }
}

TEST(QualityMeter, NoiseUnderTheSignalScoresBetterThanTheSameNoiseInAnEmptyBand) {
    const q::Audio x = music(3.0, 4000, 1);
    const q::Result under = q::measure(x, plus(x, band_noise(x, 300, 3000, 2), 30), 0);
    const q::Result empty = q::measure(x, plus(x, band_noise(x, 6000, 8000, 3), 30), 0);
    SCOPED_TRACE(q::format(under) + " / " + q::format(empty));
    EXPECT_NEAR(under.snr_db, empty.snr_db, 0.5);
    EXPECT_LT(under.nmr_db, 0.0);
    EXPECT_GT(empty.nmr_db, 0.0);
    EXPECT_LT(under.frames_over_mask, empty.frames_over_mask);
}

TEST(QualityMeter, DelayedCopyIsFoundAndMeasuresClean) {
    const q::Audio x = music(3.0, 16000, 2);
    const q::Audio y = delayed(plus(x, white_noise(x, 4), 80), 481);
    EXPECT_EQ(q::find_lag(x, y), 481);
    const q::Result aligned = q::measure(x, y, 481);
    const q::Result off_by_one = q::measure(x, y, 480);
    SCOPED_TRACE(q::format(aligned) + " / " + q::format(off_by_one));
    EXPECT_LT(aligned.nmr_db, -30.0);
    EXPECT_GT(aligned.snr_db, 70.0);
    EXPECT_EQ(aligned.frames_over_mask, 0.0);
    EXPECT_GT(off_by_one.nmr_db, aligned.nmr_db + 20.0);
    // Mono search on a mono copy, and no delay at all.
    const q::Audio m = music(2.0, 8000, 1);
    EXPECT_EQ(q::find_lag(m, m), 0);
    EXPECT_EQ(q::find_lag(m, delayed(m, 2999)), 2999);
    // Channels in anti-phase, whose mono sum is silence.
    q::Audio anti = x;
    for (std::size_t n = 0; n < anti.channels[0].size(); ++n) anti.channels[1][n] = -anti.channels[0][n];
    EXPECT_EQ(q::find_lag(anti, delayed(anti, 481)), 481);
    // A square wave of period 100 correlates as well at 381 or 581: the
    // expected delay settles it, and a wrong expectation does not win.
    q::Audio square = x;
    for (auto& ch : square.channels)
        for (std::size_t n = 0; n < ch.size(); ++n) ch[n] = (n / 50) % 2 ? 0.5 : -0.5;
    const q::Audio square_decoded = delayed(plus(square, white_noise(square, 6), 40), 481);
    EXPECT_EQ(q::find_lag(square, square_decoded, 3000, 481), 481);
    EXPECT_EQ(q::find_lag(x, y, 3000, 700), 481);
}

TEST(QualityMeter, LowPassedCopyReportsItsBandwidthAndWorseNmr) {
    const q::Audio x = music(3.0, 16000, 2);
    const q::Result full = q::measure(x, plus(x, white_noise(x, 5), 60), 0);
    const q::Result low = q::measure(x, music(3.0, 8000, 2), 0);
    SCOPED_TRACE(q::format(full) + " / " + q::format(low));
    EXPECT_GT(full.bandwidth_hz, 12000.0);
    EXPECT_GT(low.bandwidth_hz, 7500.0);
    EXPECT_LE(low.bandwidth_hz, 8200.0);
    EXPECT_GT(low.nmr_db, full.nmr_db + 20.0);
    EXPECT_GT(low.frames_over_mask, 0.9);
}

TEST(QualityMeter, SilenceIsSkippedAndMismatchesAreRefused) {
    q::Audio silent;
    silent.channels.assign(1, std::vector<double>(48000, 0.0));
    const q::Result r = q::measure(silent, silent, 0);
    EXPECT_EQ(r.frames_over_mask, 0.0);
    EXPECT_EQ(r.nmr_db, -200.0);
    q::Audio other = silent;
    other.rate = 44100;
    EXPECT_THROW(q::measure(silent, other, 0), std::invalid_argument);
    EXPECT_THROW(q::measure(silent, silent, 48000), std::invalid_argument);
}

// The program, on WAV files.
class QualityMeterProgram : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = "/tmp/zuvo-quality-meter-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string write(const std::string& name, const q::Audio& a) {
        const std::string path = dir_ + "/" + name;
        SF_INFO info{};
        info.samplerate = a.rate;
        info.channels = static_cast<int>(a.channels.size());
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
        EXPECT_NE(f, nullptr) << path;
        std::vector<double> interleaved;
        for (std::size_t n = 0; n < a.length(); ++n)
            for (const auto& ch : a.channels) interleaved.push_back(ch[n]);
        sf_writef_double(f, interleaved.data(), static_cast<sf_count_t>(a.length()));
        sf_close(f);
        return path;
    }

    // Runs the program; returns its exit status and sets `out` to its stdout.
    static int run(const std::string& args, std::string& out) {
        FILE* p = popen((std::string(ZUVO_QUALITY_METER) + " " + args + " 2>/dev/null").c_str(), "r");
        out.clear();
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
        const int status = pclose(p);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir_;
};

TEST_F(QualityMeterProgram, PrintsOneLineOfTheAgreedKeysAndRefusesBadInput) {
    const q::Audio x = music(2.0, 16000, 2);
    const q::Audio y = plus(x, white_noise(x, 6), 40);
    const std::string orig = write("orig.wav", x);
    const std::string dec = write("dec.wav", delayed(y, 481));
    const std::regex line(
        R"(nmr_db=-?\d+\.\d\d frames_over_mask=[01]\.\d{4} snr_db=(-?\d+\.\d\d) bandwidth_hz=\d+ lag=(\d+)\n)");
    std::string out;
    std::smatch m;
    for (const std::string& mode : {std::string(""), std::string("--search "), std::string("--delay 481 ")}) {
        ASSERT_EQ(run(mode + orig + " " + dec, out), 0) << mode;
        ASSERT_TRUE(std::regex_match(out, m, line)) << mode << out;
        EXPECT_NEAR(std::stod(m[1]), 40.0, 0.5) << out;  // 16-bit rounding is far below
        EXPECT_EQ(m[2], "481");
    }

    q::Audio three = x;
    three.channels.push_back(x.channels[0]);
    q::Audio other_rate = x;
    other_rate.rate = 44100;
    const q::Audio mono = music(2.0, 16000, 1);
    for (const std::string& args : {orig + " " + write("three.wav", three),
                                    orig + " " + write("rate.wav", other_rate),
                                    orig + " " + write("mono.wav", mono),
                                    orig + " " + dir_ + "/missing.wav",
                                    "--delay x " + orig + " " + dec,
                                    orig}) {
        EXPECT_EQ(run(args, out), 2) << args;
        EXPECT_EQ(out, "") << args;
    }
}

}  // namespace
