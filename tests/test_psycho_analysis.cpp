// Psychoacoustic model 2, per-frame analysis: the transform against direct
// transforms, behaviour on silence and tones, the pass and slot bookkeeping,
// and agreement with a plain double-precision evaluation of the model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "psycho/model_kernels.h"
#include "psycho/psycho_model.h"
#include "psycho/real_fft.h"

namespace {

using zuvo::kHistorySamples;
using zuvo::kLines;
using zuvo::kPartitions;
using zuvo::PsychoModel;

constexpr double kPi = 3.14159265358979323846;
constexpr int kFrame = 1152;

// Deterministic noise in [-1, 1).
struct Noise {
    std::uint32_t state;
    double operator()() {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) / 8388608.0 - 1.0;
    }
};

void quiet_setup(PsychoModel& model, float rate) {
    ASSERT_TRUE(model.model_setup(rate));  // no diagnostics set: silent
    model.model_ready = 1;
}

void sine(std::int16_t* out, double hz, double amplitude, double rate, long start) {
    for (int n = 0; n < kFrame; ++n) {
        out[n] = static_cast<std::int16_t>(
            std::lround(amplitude * std::sin(2.0 * kPi * hz * (start + n) / rate)));
    }
}

// X[k] = sum x[n] e^(-2 pi i n k / 1024), directly.
void dft(const float* x, int k, double& re, double& im) {
    re = 0.0;
    im = 0.0;
    for (int n = 0; n < 1024; ++n) {
        const double angle = 2.0 * kPi * ((n * k) % 1024) / 1024.0;
        re += x[n] * std::cos(angle);
        im -= x[n] * std::sin(angle);
    }
}

TEST(PsychoAnalysis, TransformEnergyAndPhase) {
    // Windowed noise, a loud tone over faint noise, and an impulse: the
    // single-precision transform is within a few 1e-7 of the block's
    // strongest line on every line.
    std::vector<std::vector<float>> inputs(3, std::vector<float>(1024));
    Noise noise{77u};
    for (int n = 0; n < 1024; ++n) {
        const double hann = 0.5 * (1.0 - std::cos((n - 0.5) * 2.0 * kPi / 1024.0));
        inputs[0][static_cast<std::size_t>(n)] = static_cast<float>(std::round(32767.0 * noise()) * hann);
        inputs[1][static_cast<std::size_t>(n)] = static_cast<float>(
            (30000.0 * std::sin(2.0 * kPi * 37.3 * n / 1024.0) + 3.0 * noise()) * hann);
    }
    inputs[2][5] = 1000.0f;
    for (const std::vector<float>& input : inputs) {
        std::vector<float> re(513);
        std::vector<float> im(513);
        zuvo::real_fft_1024(input.data(), re.data(), im.data());
        double exact_re[513];
        double exact_im[513];
        double peak = 0.0;
        for (int k = 0; k <= 512; ++k) {
            dft(input.data(), k, exact_re[k], exact_im[k]);
            peak = std::max(peak, std::hypot(exact_re[k], exact_im[k]));
        }
        for (int k = 0; k <= 512; ++k) {
            ASSERT_NEAR(re[static_cast<std::size_t>(k)], exact_re[k], 5e-7 * peak) << k;
            ASSERT_NEAR(im[static_cast<std::size_t>(k)], exact_im[k], 5e-7 * peak) << k;
        }

        // Energy |X|^2 and the phase as a unit vector, from that transform.
        std::vector<float> energy(513);
        std::vector<float> magnitude(513);
        std::vector<float> phase_re(513);
        std::vector<float> phase_im(513);
        zuvo::spectrum_1024(input.data(), energy.data(), magnitude.data(), phase_re.data(),
                            phase_im.data());
        for (int k = 0; k <= 512; ++k) {
            const double e = double(re[static_cast<std::size_t>(k)]) * re[static_cast<std::size_t>(k)] +
                             double(im[static_cast<std::size_t>(k)]) * im[static_cast<std::size_t>(k)];
            ASSERT_NEAR(energy[static_cast<std::size_t>(k)], std::max(e, k == 0 || k == 512 ? 0.0 : 0.0005),
                        3e-7 * e) << k;
            ASSERT_EQ(magnitude[static_cast<std::size_t>(k)], std::sqrt(energy[static_cast<std::size_t>(k)])) << k;
            if (k > 0 && k < 512 && e >= 0.0005) {
                ASSERT_NEAR(phase_re[static_cast<std::size_t>(k)], re[static_cast<std::size_t>(k)] / std::sqrt(e), 3e-7) << k;
                ASSERT_NEAR(phase_im[static_cast<std::size_t>(k)], im[static_cast<std::size_t>(k)] / std::sqrt(e), 3e-7) << k;
            }
        }
    }

    // Silence: lines 1..511 take the floor 0.0005 with phase 0; lines 0 and
    // 512 have no floor.
    std::vector<float> x(1024, 0.0f);
    std::vector<float> energy(513);
    std::vector<float> magnitude(513);
    std::vector<float> phase_re(513);
    std::vector<float> phase_im(513);
    zuvo::spectrum_1024(x.data(), energy.data(), magnitude.data(), phase_re.data(), phase_im.data());
    EXPECT_EQ(energy[0], 0.0f);
    EXPECT_EQ(energy[512], 0.0f);
    for (int k = 0; k <= 512; ++k) {
        ASSERT_EQ(energy[static_cast<std::size_t>(k)], k == 0 || k == 512 ? 0.0f : 0.0005f) << k;
        ASSERT_EQ(phase_re[static_cast<std::size_t>(k)], 1.0f) << k;
        ASSERT_EQ(phase_im[static_cast<std::size_t>(k)], 0.0f) << k;
    }
    // A cosine on line 5 with energy just under the floor is floored.
    for (int n = 0; n < 1024; ++n) {
        x[static_cast<std::size_t>(n)] = static_cast<float>(std::sqrt(0.000499) / 512 * std::cos(2 * kPi * 5 * n / 1024));
    }
    zuvo::spectrum_1024(x.data(), energy.data(), magnitude.data(), phase_re.data(), phase_im.data());
    EXPECT_EQ(energy[5], 0.0005f);
    EXPECT_EQ(phase_re[5], 1.0f);
    EXPECT_EQ(phase_im[5], 0.0f);
    // An alternating signal starting negative: line 512 only, phase pi.
    for (int n = 0; n < 1024; ++n) {
        x[static_cast<std::size_t>(n)] = n % 2 == 0 ? -2.0f : 2.0f;
    }
    zuvo::spectrum_1024(x.data(), energy.data(), magnitude.data(), phase_re.data(), phase_im.data());
    EXPECT_EQ(energy[512], 2048.0f * 2048.0f);
    EXPECT_EQ(phase_re[512], -1.0f);
    EXPECT_EQ(phase_im[512], 0.0f);
}

TEST(PsychoAnalysis, LogAndExpKernels) {
    // Against the library functions over the ranges the model uses (ratios
    // of unpredictability and of energy to threshold, masking SNRs) and
    // beyond, including exact powers of two and the reduction boundaries.
    const double log_inputs[] = {0.05, 0.5, 0.0713, 1.0, 2.0, 1.4142135623730951, 0.7071067811865476,
                                 1e-30, 3.7e-17, 123456.789, 6.02e23, 1e300, 2.2250738585072014e-308};
    for (double x : log_inputs) {
        EXPECT_NEAR(zuvo::log_kernel(x), std::log(x), 4e-16 * std::max(1.0, std::fabs(std::log(x)))) << x;
    }
    for (float x : {0.05f, 0.5f, 1.0f, 1.41421356f, 0.70710678f, 1e-30f, 3e30f}) {
        EXPECT_NEAR(zuvo::log_kernel(x), std::log(static_cast<double>(x)),
                    2.4e-7 * std::max(1.0, std::fabs(std::log(static_cast<double>(x))))) << x;
    }
    for (float y : {0.0f, -0.8f, -9.3f, -0.34657359f, 0.34657359f, -80.0f, 80.0f}) {
        EXPECT_NEAR(zuvo::exp_kernel(y), std::exp(static_cast<double>(y)), 3e-7 * std::exp(y)) << y;
    }
    Noise noise{99u};
    for (int i = 0; i < 2000; ++i) {
        const double x = std::exp(40.0 * noise());
        ASSERT_NEAR(zuvo::log_kernel(x), std::log(x), 4e-16 * std::max(1.0, std::fabs(std::log(x)))) << x;
        const float xf = static_cast<float>(std::exp(20.0 * noise()));
        const double log_xf = std::log(static_cast<double>(xf));
        ASSERT_NEAR(zuvo::log_kernel(xf), log_xf, 2.4e-7 * std::max(1.0, std::fabs(log_xf))) << xf;
        const float yf = static_cast<float>(10.0 * noise());
        ASSERT_NEAR(zuvo::exp_kernel(yf), std::exp(static_cast<double>(yf)), 3e-7 * std::exp(yf)) << yf;
    }
}

TEST(PsychoAnalysis, SpreadingEveryCopyIsTheAscendingSum) {
    // Each instruction-set copy of the spreading kernel must give, bit for
    // bit, the plain loop over the columns in ascending order; zeros in the
    // matrix and empty partitions included.
    constexpr int kRows = 64;
    constexpr int kColumns = 59;
    Noise noise{7u};
    std::vector<float> s_t(kRows * kColumns);
    std::vector<float> group_e(kColumns);
    std::vector<float> group_c(kColumns);
    for (int k = 0; k < kColumns; ++k) {
        for (int b = 0; b < kRows; ++b) {
            const float v = static_cast<float>(std::exp(10.0 * noise()));
            s_t[k * kRows + b] = std::abs(b - k) > 20 ? 0.0f : v;
        }
        group_e[k] = k % 9 == 0 ? 0.0f : static_cast<float>(std::exp(20.0 * noise()));
        group_c[k] = static_cast<float>(std::exp(15.0 * noise()));
    }
    float want_e[kRows];
    float want_c[kRows];
    for (int b = 0; b < kRows; ++b) {
        float e = 0.0f;
        float c = 0.0f;
        for (int k = 0; k < kColumns; ++k) {
            e += s_t[k * kRows + b] * group_e[k];
            c += s_t[k * kRows + b] * group_c[k];
        }
        want_e[b] = e;
        want_c[b] = c;
    }
    for (int copy = 0; copy < zuvo::spread_copies(); ++copy) {
        float got_e[kRows];
        float got_c[kRows];
        zuvo::spread(s_t.data(), group_e.data(), group_c.data(), got_e, got_c, kRows, kColumns, copy);
        for (int b = 0; b < kRows; ++b) {
            ASSERT_EQ(got_e[b], want_e[b]) << "copy " << copy << " row " << b;
            ASSERT_EQ(got_c[b], want_c[b]) << "copy " << copy << " row " << b;
        }
    }
}

TEST(PsychoAnalysis, LineThresholdsEveryCopyPicksThePartitionOrQuiet) {
    // fthr[w] = max(nb[partition[w]], absthr[w]) from every copy, over all 64
    // partitions (bit 5 of the index chooses the upper half of the table),
    // ties and a count that leaves a tail after whole vectors.
    constexpr int kLines = 513;
    Noise noise{11u};
    float nb[zuvo::kMaxPartitions];
    for (float& v : nb) v = static_cast<float>(std::exp(10.0 * noise()));
    std::vector<std::int32_t> partition(kLines);
    std::vector<float> absthr(kLines);
    for (int w = 0; w < kLines; ++w) {
        partition[static_cast<std::size_t>(w)] = (w * 64) / kLines;
        absthr[static_cast<std::size_t>(w)] =
            w % 7 == 0 ? nb[(w * 64) / kLines] : static_cast<float>(std::exp(10.0 * noise()));
    }
    for (int copy = 0; copy < zuvo::line_threshold_copies(); ++copy) {
        std::vector<float> fthr(kLines, -1.0f);
        zuvo::line_thresholds(nb, zuvo::kMaxPartitions, partition.data(), absthr.data(), fthr.data(), kLines, copy);
        for (int w = 0; w < kLines; ++w) {
            const float level = nb[partition[static_cast<std::size_t>(w)]];
            const float quiet = absthr[static_cast<std::size_t>(w)];
            ASSERT_EQ(fthr[static_cast<std::size_t>(w)], level > quiet ? level : quiet) << "copy " << copy << " line " << w;
        }
    }
}

TEST(PsychoAnalysis, DigitalSilence) {
    PsychoModel model;
    quiet_setup(model, 44100.0f);
    std::int16_t history[kHistorySamples] = {};
    const std::int16_t zeros[kFrame] = {};
    float smr[32];
    // c on lines 1..511: 1, then 1/3, then 0 for good (the prediction is
    // exact); lines 0 and 512 have no energy and c = 0.
    const double expected_c[4] = {1.0, 1.0 / 3.0, 0.0, 0.0};
    for (int pass = 0; pass < 4; ++pass) {
        SCOPED_TRACE(pass);
        model.analyze_pass(history, zeros, 0, smr);
        EXPECT_EQ(model.c[0], 0.0f);
        EXPECT_EQ(model.c[512], 0.0f);
        for (int w = 1; w < 512; ++w) {
            ASSERT_NEAR(model.c[w], expected_c[pass], 1e-7) << w;
        }
        for (int sb = 0; sb < 32; ++sb) {
            EXPECT_LT(smr[sb], -60.0f) << sb;
        }
    }
    // Fully tonal: the required SNR is the tonal one, or the band minimum.
    for (int b = 0; b < kPartitions; ++b) {
        EXPECT_NEAR(model.cb[b], 1.0, 1e-6) << b;
        const double snr = std::max<double>(
            model.tmn[b], zuvo::min_snr_by_bark[static_cast<int>(model.cbval[b] + 0.5f)]);
        EXPECT_NEAR(model.bc[b], std::pow(10.0, -snr / 10.0), 1e-6 * model.bc[b]) << b;
    }
}

TEST(PsychoAnalysis, ToneStandsOutInItsSubband) {
    const struct {
        float rate;
        double hz;
    } cases[] = {{44100.0f, 1000.0}, {48000.0f, 5300.0}, {32000.0f, 2600.0}, {44100.0f, 9000.0},
                 {16000.0f, 1130.0}, {22050.0f, 3000.0}, {24000.0f, 7000.0}, {16000.0f, 6900.0}};
    for (const auto& tc : cases) {
        SCOPED_TRACE(std::to_string(tc.hz) + " Hz at " + std::to_string(tc.rate));
        PsychoModel model;
        quiet_setup(model, tc.rate);
        std::int16_t history[kHistorySamples] = {};
        std::int16_t frame[kFrame];
        float out[32];
        for (int call = 0; call < 4; ++call) {
            sine(frame, tc.hz, 12000.0, tc.rate, static_cast<long>(call) * kFrame);
            model.analyze_channel(frame, history, 0, out, tc.rate);
        }
        const int home = static_cast<int>(tc.hz / (tc.rate / 64.0));
        EXPECT_EQ(std::max_element(out, out + 32) - out, home);
        EXPECT_GT(out[home], 20.0f);
        for (int sb = 0; sb < 32; ++sb) {
            ASSERT_TRUE(std::isfinite(out[sb])) << sb;
            if (std::abs(sb - home) >= 6) {
                EXPECT_LT(out[sb], 0.0f) << sb;
            }
        }
    }
}

// A faint 15 kHz tone sits under the threshold in quiet: lowering that
// threshold raises its subband's ratio by the lowering, and the table the
// model holds is the stored one scaled.
TEST(PsychoAnalysis, QuietLoweringRaisesRatiosTheThresholdInQuietHolds) {
    float ratio[2][32];
    for (int lowered = 0; lowered < 2; ++lowered) {
        PsychoModel model;
        model.set_quiet_lowering_db(lowered * 6.0f);
        quiet_setup(model, 48000.0f);
        for (int w = 0; w < kLines; w += 64) {
            EXPECT_NEAR(model.absthr[w], zuvo::absthr_table[2][w] * (lowered ? 0.2511886f : 1.0f),
                        1e-5f * zuvo::absthr_table[2][w]);
        }
        std::int16_t history[kHistorySamples] = {};
        std::int16_t frame[kFrame];
        for (int call = 0; call < 4; ++call) {
            sine(frame, 15000.0, 40.0, 48000.0, static_cast<long>(call) * kFrame);
            model.analyze_channel(frame, history, 0, ratio[lowered], 48000.0f);
        }
    }
    EXPECT_NEAR(ratio[1][20] - ratio[0][20], 6.0f, 0.05f);
}

TEST(PsychoAnalysis, OutputIsTheLargerPass) {
    PsychoModel model;
    quiet_setup(model, 44100.0f);
    std::int16_t history[kHistorySamples] = {};
    std::int16_t frame[kFrame];
    std::int16_t burst[kFrame];
    float out[32];
    // A low tone throughout, and in the last frame a high tone from sample
    // 700 on, which pass 0 (frame samples up to 543) does not see.
    for (int call = 0; call < 3; ++call) {
        sine(frame, 700.0, 8000.0, 44100.0, static_cast<long>(call) * kFrame);
        sine(burst, 12000.0, 8000.0, 44100.0, 0);
        for (int n = 700; call == 2 && n < kFrame; ++n) {
            frame[n] = static_cast<std::int16_t>(frame[n] / 2 + burst[n] / 2);
        }
        model.analyze_channel(frame, history, 0, out, 44100.0f);
    }
    int pass0_won = 0;
    int pass1_won = 0;
    for (int sb = 0; sb < 32; ++sb) {
        EXPECT_EQ(out[sb], std::max(model.snrtmp[sb], model.snrtmp[32 + sb])) << sb;
        pass0_won += model.snrtmp[sb] > model.snrtmp[32 + sb];
        pass1_won += model.snrtmp[32 + sb] > model.snrtmp[sb];
    }
    EXPECT_GT(pass0_won, 0);
    EXPECT_GT(pass1_won, 0);
    EXPECT_GT(model.snrtmp[32 + 17], model.snrtmp[17] + 20.0f);  // 12 kHz

    // Steady silence: two identical passes, and that value.
    const std::int16_t zeros[kFrame] = {};
    for (int call = 0; call < 3; ++call) {
        model.analyze_channel(zeros, history, 0, out, 44100.0f);
    }
    for (int sb = 0; sb < 32; ++sb) {
        EXPECT_EQ(model.snrtmp[sb], model.snrtmp[32 + sb]) << sb;
        EXPECT_EQ(out[sb], model.snrtmp[sb]) << sb;
    }
}

TEST(PsychoAnalysis, HistoryAndSlotsPerChannel) {
    PsychoModel model;
    quiet_setup(model, 48000.0f);
    std::int16_t ramp[kFrame];
    for (int n = 0; n < kFrame; ++n) {
        ramp[n] = static_cast<std::int16_t>(n - 500);
    }
    std::int16_t history[kHistorySamples];
    std::fill(history, history + kHistorySamples, std::int16_t{7});
    float smr[32];
    // A pass writes slot 1 and predicts from slots 0 (last) and 1 (older);
    // the next writes slot 0; so every call starts and ends at (0, 1, 0).
    model.analyze_pass(history, ramp, 0, smr);
    EXPECT_EQ(model.cur_slot * 100 + model.prev_slot * 10 + model.prev2_slot, 101);
    model.analyze_pass(history, ramp + 576, 0, smr);
    EXPECT_EQ(model.cur_slot * 100 + model.prev_slot * 10 + model.prev2_slot, 10);
    // After the two passes the history holds the frame's last 1056 samples;
    // the elements above 1055 are not touched.
    for (int n = 0; n < kHistorySamples; ++n) {
        ASSERT_EQ(history[n], n < 1056 ? ramp[96 + n] : 7) << n;
    }

    // Mono (channel 0 only) and stereo give channel 0 the same results and
    // the same history; the mono stream leaves channel 1's history at zero.
    PsychoModel mono;
    PsychoModel stereo;
    quiet_setup(mono, 48000.0f);
    quiet_setup(stereo, 48000.0f);
    std::int16_t histories[3][kHistorySamples] = {};
    std::int16_t left[kFrame];
    std::int16_t right[kFrame];
    float mono_out[32];
    float left_out[32];
    float right_out[32];
    for (int call = 0; call < 4; ++call) {
        sine(left, 440.0, 9000.0, 48000.0, static_cast<long>(call) * kFrame);
        sine(right, 3000.0 + 100.0 * call, 5000.0, 48000.0, static_cast<long>(call) * kFrame);
        mono.analyze_channel(left, histories[0], 0, mono_out, 48000.0f);
        stereo.analyze_channel(left, histories[1], 0, left_out, 48000.0f);
        stereo.analyze_channel(right, histories[2], 1, right_out, 48000.0f);
        ASSERT_EQ(std::memcmp(mono_out, left_out, sizeof mono_out), 0) << call;
        EXPECT_EQ(mono.cur_slot * 100 + mono.prev_slot * 10 + mono.prev2_slot, 10);
    }
    EXPECT_NE(std::memcmp(left_out, right_out, sizeof left_out), 0);
    const std::size_t half = 2 * kLines * sizeof(float);
    EXPECT_EQ(std::memcmp(mono.raudio, stereo.raudio, half), 0);
    EXPECT_EQ(std::memcmp(mono.phase_re_sav, stereo.phase_re_sav, half), 0);
    EXPECT_EQ(std::memcmp(mono.phase_im_sav, stereo.phase_im_sav, half), 0);
    EXPECT_EQ(*std::max_element(mono.raudio + 2 * kLines, mono.raudio + 4 * kLines), 0.0f);
}

// The analysis written out plainly in double precision on the model's own
// set-up tables (checked against their formulas elsewhere): direct DFT, all
// 63 x 63 spreading products, and no rounding of values except the windowed
// samples, which the model defines as single-precision inputs of its
// transform. (That rounding disturbs the spectrum by about 1e-7 of its
// strongest line, enough to move the phase of a line 60 dB down by 1e-6.)
struct Reference {
    const PsychoModel& m;
    int history[1056] = {};
    double r[2][kLines] = {};    // [0] the pass before last, [1] the last pass
    double phi[2][kLines] = {};
    double c[kLines] = {};

    void pass(const std::int16_t* fresh, double* smr) {
        std::memmove(history, history + 576, 480 * sizeof(int));
        std::copy(fresh, fresh + 576, history + 480);
        float x[1024];
        for (int n = 0; n < 1024; ++n) {
            x[n] = static_cast<float>(history[n] * static_cast<double>(m.window[n]));
        }
        double energy[kLines];
        double ge[kPartitions] = {};
        double gc[kPartitions] = {};
        for (int k = 0; k < kLines; ++k) {
            double re;
            double im;
            dft(x, k, re, im);
            double e = re * re + im * im;
            double angle = k == 0 ? 0.0
                           : k == 512 ? std::atan2(0.0, re)
                                      : std::atan2(im - re, re + im) + 0.7853981;
            if (k > 0 && k < 512 && e < 0.0005) {
                e = 0.0005;
                angle = 0.0;
            }
            energy[k] = e;
            const double mag = std::sqrt(e);
            const double r_pred = 2.0 * r[1][k] - r[0][k];
            const double phi_pred = 2.0 * phi[1][k] - phi[0][k];
            const double dx = mag * std::cos(angle) - r_pred * std::cos(phi_pred);
            const double dy = mag * std::sin(angle) - r_pred * std::sin(phi_pred);
            const double d = mag + std::fabs(r_pred);
            c[k] = d == 0.0 ? 0.0 : std::sqrt(dx * dx + dy * dy) / d;
            r[0][k] = r[1][k];
            phi[0][k] = phi[1][k];
            r[1][k] = mag;
            phi[1][k] = angle;
            ge[m.partition[k]] += e;
            gc[m.partition[k]] += e * c[k];
        }
        double nb[kPartitions];
        for (int b = 0; b < kPartitions; ++b) {
            double ecb = 0.0;
            double cb = 0.0;
            for (int k = 0; k < kPartitions; ++k) {
                ecb += m.s[b * kPartitions + k] * ge[k];
                cb += m.s[b * kPartitions + k] * gc[k];
            }
            cb = std::min(std::max(ecb != 0.0 ? cb / ecb : 0.0, 0.05), 0.5);
            const double tb = -std::log10(cb) - std::log10(2.0);
            const double snr = std::max<double>(tb * m.tmn[b] + (1.0 - tb) * 5.5,
                                                zuvo::min_snr_by_bark[static_cast<int>(m.cbval[b] + 0.5)]);
            nb[b] = m.numlines[b] == 0 ? 0.0
                                       : ecb * std::pow(10.0, -snr / 10.0) / m.numlines[b] / m.rnorm[b];
        }
        for (int sb = 0; sb < 32; ++sb) {
            double e = 0.0;
            double sum = 0.0;
            double lowest = 60802371420160.0;
            for (int w = 16 * sb; w <= 16 * sb + 16; ++w) {
                const double thr = std::max<double>(nb[m.partition[w]], m.absthr[w]);
                e += energy[w];
                sum += thr;
                lowest = std::min(lowest, thr);
            }
            smr[sb] = 10.0 * std::log10(sb < 13 ? e / (17.0 * lowest) : e / sum);
        }
    }
};

// Test signals for the agreement with the reference, sample n of the
// stream at `rate`.
enum class Material { kMusicLike, kLoudToneFaintNoise, kSpeechLike, kTransients };

struct MaterialSource {
    Material kind;
    double rate;
    Noise noise{12345u};
    double smoothed = 0.0;

    double operator()(long n) {
        const double t = n / rate;
        const double white = noise();
        smoothed = 0.7 * smoothed + 0.3 * white;
        switch (kind) {
            case Material::kMusicLike:  // gliding, level-changing tones over coloured noise
                return 7000.0 * std::sin(2.0 * kPi * (300.0 + 400.0 * t) * t) +
                       3000.0 * (1.0 + std::sin(9.0 * t)) * std::sin(2.0 * kPi * 3150.0 * t) +
                       1500.0 * std::sin(2.0 * kPi * 11025.5 * t) +
                       ((n / kFrame) % 2 == 0 ? 2500.0 * white : 4000.0 * smoothed);
            case Material::kLoudToneFaintNoise:  // 90 dB between the tone and the noise
                return 30000.0 * std::sin(2.0 * kPi * 1234.5 * t) + 1.0 * white;
            case Material::kSpeechLike: {  // pulse train through a formant, syllable envelope
                const double envelope = std::max(0.0, std::sin(2.0 * kPi * 4.0 * t));
                const double pulse = std::fmod(t * (120.0 + 20.0 * std::sin(3.0 * t)), 1.0) < 0.05 ? 1.0 : 0.0;
                return envelope * (9000.0 * pulse * std::sin(2.0 * kPi * 700.0 * t) +
                                   3000.0 * pulse * std::sin(2.0 * kPi * 2200.0 * t)) +
                       200.0 * smoothed;
            }
            case Material::kTransients:  // clicks every 700 samples over a quiet tone
                return (n % 700 < 3 ? 20000.0 * white : 0.0) + 300.0 * std::sin(2.0 * kPi * 440.0 * t);
        }
        return 0.0;
    }
};

TEST(PsychoAnalysis, AgreesWithDoublePrecisionReference) {
    // The model computes its spectrum, unpredictability and spreading in
    // single precision; its signal-to-mask ratios stay within 0.01 dB of the
    // same formulas evaluated in double, at every rate and on material from
    // dense mixtures to a tone 90 dB above the noise.
    const struct {
        Material kind;
        double rate;
    } cases[] = {{Material::kMusicLike, 44100.0},          {Material::kMusicLike, 32000.0},
                 {Material::kLoudToneFaintNoise, 48000.0}, {Material::kSpeechLike, 44100.0},
                 {Material::kTransients, 32000.0},         {Material::kSpeechLike, 48000.0}};
    for (const auto& tc : cases) {
        SCOPED_TRACE(static_cast<int>(tc.kind) * 100000 + static_cast<int>(tc.rate));
        PsychoModel model;
        quiet_setup(model, static_cast<float>(tc.rate));
        Reference reference{model};
        MaterialSource source{tc.kind, tc.rate};
        std::int16_t history[kHistorySamples] = {};
        std::int16_t frame[kFrame];
        double worst = 0.0;
        for (int call = 0; call < 8; ++call) {
            for (int n = 0; n < kFrame; ++n) {
                const double v = source(static_cast<long>(call) * kFrame + n);
                frame[n] = static_cast<std::int16_t>(std::lround(std::min(32767.0, std::max(-32768.0, v))));
            }
            float out[32];
            model.analyze_channel(frame, history, 0, out, static_cast<float>(tc.rate));
            double smr[2][32];
            reference.pass(frame, smr[0]);
            reference.pass(frame + 576, smr[1]);
            for (int sb = 0; sb < 32; ++sb) {
                const double error = std::fabs(out[sb] - std::max(smr[0][sb], smr[1][sb]));
                worst = std::max(worst, error);
                ASSERT_LE(error, 0.01) << call << " " << sb;
            }
            // Unpredictability of the lines that carry the energy (within
            // 80 dB of the strongest): single-precision phases of three
            // passes combine in the prediction.
            double peak = 0.0;
            for (int w = 0; w < kLines; ++w) {
                peak = std::max(peak, static_cast<double>(model.energy[w]));
            }
            for (int w = 0; w < kLines; ++w) {
                if (model.energy[w] >= 1e-8 * peak) {
                    ASSERT_NEAR(model.c[w], reference.c[w], 1e-3) << call << " " << w;
                }
            }
        }
        RecordProperty("worst_smr_error_db", std::to_string(worst));
        std::printf("largest SMR difference: %.2e dB\n", worst);
    }
}

}  // namespace
