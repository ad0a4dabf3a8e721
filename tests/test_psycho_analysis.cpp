// Psychoacoustic model 2, per-frame analysis: behaviour on silence and tones,
// the pass and slot bookkeeping, and agreement with a plain double-precision
// evaluation of the same model written out below.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "psycho/psycho_model.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

using zuvo::kHistorySamples;
using zuvo::kLines;
using zuvo::kPartitions;
using zuvo::PsychoModel;

constexpr int kFrame = 1152;

void quiet_setup(PsychoModel& model, float rate) {
    testing::internal::CaptureStderr();
    ASSERT_TRUE(model.model_setup(rate));
    model.model_ready = 1;
    testing::internal::GetCapturedStderr();
}

void quiet_analyze(PsychoModel& model, const std::int16_t* samples, std::int16_t* history, int ch,
                   float* out, float rate) {
    testing::internal::CaptureStderr();
    model.analyze_channel(samples, history, ch, out, rate);
    testing::internal::GetCapturedStderr();
}

// A sine of `hz` at `amplitude`, continuing from sample `start` of the stream.
void sine(std::int16_t* out, int count, double hz, double amplitude, double rate, long start) {
    for (int n = 0; n < count; ++n) {
        out[n] = static_cast<std::int16_t>(
            std::lround(amplitude * std::sin(2.0 * kPi * hz * (start + n) / rate)));
    }
}

int subband_of(double hz, double rate) {
    return static_cast<int>(hz / (rate / 64.0));
}

TEST(PsychoAnalysis, DigitalSilence) {
    PsychoModel model;
    quiet_setup(model, 44100.0f);
    std::int16_t history[kHistorySamples] = {};
    const std::int16_t zeros[576] = {};
    float smr[32];

    // c on lines 1..511 is 1, then 1/3, then 0 for good; lines 0 and 512
    // have no energy and stay 0.
    const double expected_c[4] = {1.0, 1.0 / 3.0, 0.0, 0.0};
    for (int pass = 0; pass < 4; ++pass) {
        SCOPED_TRACE(pass);
        model.analyze_pass(history, zeros, 0, smr);
        EXPECT_EQ(model.c[0], 0.0f);
        EXPECT_EQ(model.c[512], 0.0f);
        EXPECT_EQ(model.energy[0], 0.0f);
        EXPECT_EQ(model.energy[512], 0.0f);
        for (int w = 1; w < 512; ++w) {
            ASSERT_EQ(model.energy[w], 0.0005f) << w;
            ASSERT_EQ(model.phi[w], 0.0f) << w;
            ASSERT_NEAR(model.c[w], expected_c[pass], 1e-7) << w;
        }
        for (int sb = 0; sb < 32; ++sb) {
            EXPECT_LT(smr[sb], -60.0f) << sb;
        }
        if (pass >= 2) {
            // Fully tonal everywhere: the required SNR is the tonal one,
            // raised to the minimum of the band where that is higher.
            for (int b = 0; b < kPartitions; ++b) {
                EXPECT_NEAR(model.cb[b], 1.0, 1e-6) << b;
                const int band = static_cast<int>(model.cbval[b] + 0.5f);
                const double snr = std::max<double>(model.tmn[b], zuvo::min_snr_by_bark[band]);
                EXPECT_NEAR(model.bc[b], std::pow(10.0, -snr / 10.0), 1e-6 * model.bc[b]) << b;
            }
        }
    }

    // Whole calls: strongly negative everywhere.
    const std::int16_t frame[kFrame] = {};
    float out[32];
    for (int call = 0; call < 3; ++call) {
        quiet_analyze(model, frame, history, 0, out, 44100.0f);
        for (int sb = 0; sb < 32; ++sb) {
            EXPECT_LT(out[sb], -60.0f) << sb;
        }
    }
}

TEST(PsychoAnalysis, ToneStandsOutInItsSubband) {
    struct Case {
        float rate;
        double hz;
    };
    for (const Case tc : {Case{44100.0f, 1000.0}, Case{48000.0f, 5300.0}, Case{32000.0f, 2600.0},
                          Case{44100.0f, 9000.0}}) {
        SCOPED_TRACE(tc.hz);
        PsychoModel model;
        std::int16_t history[kHistorySamples] = {};
        std::int16_t frame[kFrame];
        float out[32];
        for (int call = 0; call < 4; ++call) {
            sine(frame, kFrame, tc.hz, 12000.0, tc.rate, static_cast<long>(call) * kFrame);
            quiet_analyze(model, frame, history, 0, out, tc.rate);
        }
        const int home = subband_of(tc.hz, tc.rate);
        const int loudest = static_cast<int>(std::max_element(out, out + 32) - out);
        EXPECT_EQ(loudest, home);
        EXPECT_GT(out[home], 20.0f);
        // A pure tone is tonal where it sits.
        EXPECT_GT(model.cb[model.partition[static_cast<int>(tc.hz / tc.rate * 1024 + 0.5)]], 0.9f);
        for (int sb = 0; sb < 32; ++sb) {
            if (std::abs(sb - home) >= 6) {
                EXPECT_LT(out[sb], 0.0f) << sb;
            }
        }
    }
}

TEST(PsychoAnalysis, OutputIsTheLargerPass) {
    PsychoModel model;
    std::int16_t history[kHistorySamples] = {};
    std::int16_t frame[kFrame];
    float out[32];

    // A low tone throughout and a burst of a high tone in the frame's last
    // part only, which pass 0 (samples up to 543) does not see.
    for (int call = 0; call < 3; ++call) {
        sine(frame, kFrame, 700.0, 8000.0, 44100.0, static_cast<long>(call) * kFrame);
        if (call == 2) {
            std::int16_t burst[kFrame];
            sine(burst, kFrame, 12000.0, 8000.0, 44100.0, 0);
            for (int n = 700; n < kFrame; ++n) {
                frame[n] = static_cast<std::int16_t>(frame[n] / 2 + burst[n] / 2);
            }
        }
        quiet_analyze(model, frame, history, 0, out, 44100.0f);
    }
    bool first_won = false;
    bool second_won = false;
    for (int sb = 0; sb < 32; ++sb) {
        const float p0 = model.snrtmp[sb];
        const float p1 = model.snrtmp[32 + sb];
        EXPECT_EQ(out[sb], std::max(p0, p1)) << sb;
        first_won = first_won || p0 > p1;
        second_won = second_won || p1 > p0;
    }
    EXPECT_TRUE(first_won);
    EXPECT_TRUE(second_won);
    const int burst_band = subband_of(12000.0, 44100.0);
    EXPECT_GT(model.snrtmp[32 + burst_band], model.snrtmp[burst_band] + 20.0f);

    // Steady silence gives two identical passes, and that value.
    PsychoModel still;
    std::int16_t quiet_history[kHistorySamples] = {};
    const std::int16_t zeros[kFrame] = {};
    for (int call = 0; call < 3; ++call) {
        quiet_analyze(still, zeros, quiet_history, 0, out, 44100.0f);
    }
    for (int sb = 0; sb < 32; ++sb) {
        EXPECT_EQ(still.snrtmp[sb], still.snrtmp[32 + sb]) << sb;
        EXPECT_EQ(out[sb], still.snrtmp[sb]) << sb;
    }
}

TEST(PsychoAnalysis, SlotsAndChannels) {
    PsychoModel model;
    quiet_setup(model, 48000.0f);
    std::int16_t history[kHistorySamples] = {};
    const std::int16_t zeros[kFrame] = {};
    float smr[32];

    // One pass writes slot 1 and predicts from slots 0 (last) and 1 (older);
    // the next writes slot 0; a call of two passes returns to the start.
    model.analyze_pass(history, zeros, 0, smr);
    EXPECT_EQ(model.cur_slot, 1);
    EXPECT_EQ(model.prev_slot, 0);
    EXPECT_EQ(model.prev2_slot, 1);
    model.analyze_pass(history, zeros, 0, smr);
    EXPECT_EQ(model.cur_slot, 0);
    EXPECT_EQ(model.prev_slot, 1);
    EXPECT_EQ(model.prev2_slot, 0);
    float out[32];
    model.analyze_channel(zeros, history, 0, out, 48000.0f);
    EXPECT_EQ(model.cur_slot, 0);
    EXPECT_EQ(model.prev_slot, 1);
    EXPECT_EQ(model.prev2_slot, 0);

    // The history moves by 576 per pass: after a call the last 480 + 576
    // samples of the frame are held, the 288 beyond them untouched.
    std::int16_t ramp[kFrame];
    for (int n = 0; n < kFrame; ++n) {
        ramp[n] = static_cast<std::int16_t>(n - 500);
    }
    std::int16_t marked[kHistorySamples];
    for (int n = 0; n < kHistorySamples; ++n) {
        marked[n] = 7;
    }
    model.analyze_channel(ramp, marked, 0, out, 48000.0f);
    for (int n = 0; n < 1056; ++n) {
        ASSERT_EQ(marked[n], ramp[96 + n]) << n;
    }
    for (int n = 1056; n < kHistorySamples; ++n) {
        ASSERT_EQ(marked[n], 7) << n;
    }

    // A mono stream (channel 0 only) and a stereo stream give channel 0 the
    // same results; channel 1 of the mono stream keeps a zero history.
    PsychoModel mono;
    PsychoModel stereo;
    std::int16_t mono_history[kHistorySamples] = {};
    std::int16_t left_history[kHistorySamples] = {};
    std::int16_t right_history[kHistorySamples] = {};
    std::int16_t left[kFrame];
    std::int16_t right[kFrame];
    float mono_out[32];
    float left_out[32];
    float right_out[32];
    for (int call = 0; call < 4; ++call) {
        const long start = static_cast<long>(call) * kFrame;
        sine(left, kFrame, 440.0, 9000.0, 48000.0, start);
        sine(right, kFrame, 3000.0 + 100.0 * call, 5000.0, 48000.0, start);
        quiet_analyze(mono, left, mono_history, 0, mono_out, 48000.0f);
        quiet_analyze(stereo, left, left_history, 0, left_out, 48000.0f);
        quiet_analyze(stereo, right, right_history, 1, right_out, 48000.0f);
        for (int sb = 0; sb < 32; ++sb) {
            ASSERT_EQ(mono_out[sb], left_out[sb]) << call << " " << sb;
        }
        EXPECT_EQ(mono.cur_slot, 0);
        EXPECT_EQ(stereo.cur_slot, 0);
    }
    EXPECT_NE(std::memcmp(left_out, right_out, sizeof left_out), 0);
    for (int i = 2 * kLines; i < 4 * kLines; ++i) {
        ASSERT_EQ(mono.raudio[i], 0.0f);
        ASSERT_EQ(mono.phi_sav[i], 0.0f);
    }
    for (int i = 0; i < 2 * kLines; ++i) {
        ASSERT_EQ(mono.raudio[i], stereo.raudio[i]);
        ASSERT_EQ(mono.phi_sav[i], stereo.phi_sav[i]);
    }
}

// ---------------------------------------------------------------------------
// The same model, evaluated plainly in double precision: direct DFT, no
// shortcuts, no rounding of stored values except where the model defines a
// single-precision value as an input of a formula: the spreading distance,
// the window and the windowed samples. (Their rounding perturbs the whole
// spectrum by about 1e-7 of its strongest line, enough to move the phase of
// a line 60 dB down by 1e-6 rad.)
class ReferenceModel {
public:
    explicit ReferenceModel(double rate) {
        for (int i = 0; i < 1024; ++i) {
            window_[i] =
                static_cast<float>(0.5 * (1.0 - std::cos((i - 0.5) * 0.006135923151542559)));
            cos_[i] = std::cos(2.0 * kPi * i / 1024.0);
            sin_[i] = std::sin(2.0 * kPi * i / 1024.0);
        }
        const int row = rate < 40000 ? 0 : (rate < 46000 ? 1 : 2);
        for (int w = 0; w < kLines; ++w) {
            absthr_[w] = zuvo::absthr_table[row][w];
            const double f = w * rate / 1024.0;
            int j = 1;
            while (f > zuvo::bark_edge_hz[j]) {
                ++j;
            }
            const double lo = zuvo::bark_edge_hz[j - 1];
            const double hi = zuvo::bark_edge_hz[j];
            bark_[w] = (j - 1) + (f - lo) / (hi - lo);
        }
        std::vector<double> sums(kPartitions, 0.0);
        int p = 0;
        double start = bark_[0];
        for (int w = 0; w < kLines; ++w) {
            if (bark_[w] - start > 0.33) {
                ++p;
                start = bark_[w];
            }
            partition_[w] = p;
            ++numlines_[p];
            sums[p] += bark_[w];
        }
        for (int q = 0; q <= p; ++q) {
            cbval_[q] = sums[q] / numlines_[q];
        }
        for (int j = 0; j < kPartitions; ++j) {
            rnorm_[j] = 0.0;
            for (int i = 0; i < kPartitions; ++i) {
                const double tempx = static_cast<float>(1.05 * (cbval_[j] - cbval_[i]));
                double x = 0.0;
                if (tempx >= 0.5 && tempx <= 2.5) {
                    x = 8.0 * ((tempx - 0.5) * (tempx - 0.5) - 2.0 * (tempx - 0.5));
                }
                const double u = tempx + 0.474;
                const double tempy = 15.811389 + 7.5 * u - 17.5 * std::sqrt(1.0 + u * u);
                s_[j][i] = tempy > -100.0 ? std::pow(10.0, (x + tempy) / 10.0) : 0.0;
                rnorm_[j] += s_[j][i];
            }
            tmn_[j] = std::max(cbval_[j] + 15.5, 24.5);
        }
    }

    int numlines(int p) const { return numlines_[p]; }

    void analyze(const std::int16_t* samples, double* out) {
        double smr[2][32];
        for (int pass = 0; pass < 2; ++pass) {
            std::memmove(history_, history_ + 576, 480 * sizeof(int));
            for (int n = 0; n < 576; ++n) {
                history_[480 + n] = samples[576 * pass + n];
            }
            run_pass(smr[pass]);
        }
        for (int sb = 0; sb < 32; ++sb) {
            out[sb] = std::max(smr[0][sb], smr[1][sb]);
        }
    }

    double c[kLines] = {};

private:
    void run_pass(double* smr) {
        double energy[kLines];
        double phase[kLines];
        for (int k = 0; k < kLines; ++k) {
            double re = 0.0;
            double im = 0.0;
            for (int n = 0; n < 1024; ++n) {
                const double x = static_cast<float>(history_[n] * window_[n]);
                re += x * cos_[(n * k) % 1024];
                im -= x * sin_[(n * k) % 1024];
            }
            const double h_k = re - im;       // Hartley line k
            const double h_mirror = re + im;  // Hartley line 1024 - k
            if (k == 0 || k == 512) {
                energy[k] = h_k * h_k;
                phase[k] = k == 0 ? 0.0 : std::atan2(0.0, h_k);
            } else {
                energy[k] = 0.5 * (h_k * h_k + h_mirror * h_mirror);
                if (energy[k] < 0.0005) {
                    energy[k] = 0.0005;
                    phase[k] = 0.0;
                } else {
                    phase[k] = std::atan2(-h_k, h_mirror) + 0.7853981;
                }
            }
        }

        // Magnitude and phase of the two previous passes of this channel.
        for (int w = 0; w < kLines; ++w) {
            const double r_pred = 2.0 * r_[1][w] - r_[0][w];
            const double phi_pred = 2.0 * p_[1][w] - p_[0][w];
            const double r = std::sqrt(energy[w]);
            const double d = r + std::fabs(r_pred);
            const double dx = r * std::cos(phase[w]) - r_pred * std::cos(phi_pred);
            const double dy = r * std::sin(phase[w]) - r_pred * std::sin(phi_pred);
            c[w] = d == 0.0 ? 0.0 : std::sqrt(dx * dx + dy * dy) / d;
            r_[0][w] = r_[1][w];
            p_[0][w] = p_[1][w];
            r_[1][w] = r;
            p_[1][w] = phase[w];
        }

        double ge[kPartitions] = {};
        double gc[kPartitions] = {};
        for (int w = 0; w < kLines; ++w) {
            ge[partition_[w]] += energy[w];
            gc[partition_[w]] += energy[w] * c[w];
        }
        double nb[kPartitions];
        for (int b = 0; b < kPartitions; ++b) {
            double ecb = 0.0;
            double cb = 0.0;
            for (int k = 0; k < kPartitions; ++k) {
                ecb += s_[b][k] * ge[k];
                cb += s_[b][k] * gc[k];
            }
            cb = ecb != 0.0 ? cb / ecb : 0.0;
            cb = std::min(std::max(cb, 0.05), 0.5);
            const double tb = -std::log10(cb) - std::log10(2.0);
            double bc = tb * tmn_[b] + (1.0 - tb) * 5.5;
            bc = std::max(bc, static_cast<double>(
                                  zuvo::min_snr_by_bark[static_cast<int>(cbval_[b] + 0.5)]));
            bc = std::pow(10.0, -bc / 10.0);
            nb[b] = numlines_[b] != 0 && rnorm_[b] != 0.0
                        ? ecb * bc / (numlines_[b] * rnorm_[b])
                        : 0.0;
        }
        double thr[kLines];
        for (int w = 0; w < kLines; ++w) {
            thr[w] = std::max(nb[partition_[w]], absthr_[w]);
        }
        for (int sb = 0; sb < 32; ++sb) {
            double e = 0.0;
            double sum = 0.0;
            double lowest = 60802371420160.0;
            for (int w = 16 * sb; w <= 16 * sb + 16; ++w) {
                e += energy[w];
                sum += thr[w];
                lowest = std::min(lowest, thr[w]);
            }
            smr[sb] = sb < 13 ? 10.0 * std::log10(e / (17.0 * lowest))
                              : 10.0 * std::log10(e / sum);
        }
    }

    double window_[1024];
    double cos_[1024];
    double sin_[1024];
    double absthr_[kLines];
    double bark_[kLines];
    int partition_[kLines];
    int numlines_[kPartitions] = {};
    double cbval_[kPartitions] = {};
    double s_[kPartitions][kPartitions];
    double rnorm_[kPartitions];
    double tmn_[kPartitions];
    int history_[1056] = {};
    double r_[2][kLines] = {};  // [0] older, [1] last
    double p_[2][kLines] = {};
};

TEST(PsychoAnalysis, AgreesWithDoublePrecisionReference) {
    const double rate = 44100.0;
    ReferenceModel reference(rate);
    PsychoModel model;
    quiet_setup(model, static_cast<float>(rate));
    for (int p = 0; p < kPartitions; ++p) {
        ASSERT_EQ(model.numlines[p], reference.numlines(p)) << p;
    }

    // Tones that glide and change level, over noise of changing colour.
    std::uint32_t state = 12345u;
    auto noise = [&state]() {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) / 8388608.0 - 1.0;
    };
    std::int16_t history[kHistorySamples] = {};
    std::int16_t frame[kFrame];
    float out[32];
    double expected[32];
    double smoothed = 0.0;
    double worst = 0.0;
    for (int call = 0; call < 6; ++call) {
        for (int n = 0; n < kFrame; ++n) {
            const double t = (call * kFrame + n) / rate;
            smoothed = 0.7 * smoothed + 0.3 * noise();
            const double v = 7000.0 * std::sin(2.0 * kPi * (300.0 + 400.0 * t) * t) +
                             3000.0 * (1.0 + std::sin(9.0 * t)) * std::sin(2.0 * kPi * 3150.0 * t) +
                             1500.0 * std::sin(2.0 * kPi * 11025.5 * t) +
                             (call % 2 == 0 ? 2500.0 * noise() : 4000.0 * smoothed);
            frame[n] = static_cast<std::int16_t>(std::lround(v));
        }
        model.analyze_channel(frame, history, 0, out, static_cast<float>(rate));
        reference.analyze(frame, expected);
        for (int sb = 0; sb < 32; ++sb) {
            worst = std::max(worst, std::fabs(out[sb] - expected[sb]));
            ASSERT_NEAR(out[sb], expected[sb], 1e-4) << "call " << call << " subband " << sb;
        }
        // Phases are stored in single precision (up to 2.4e-7 rad apart from
        // the exact ones) and the prediction combines three of them.
        for (int w = 0; w < kLines; ++w) {
            ASSERT_NEAR(model.c[w], reference.c[w], 2e-6) << "call " << call << " line " << w;
        }
    }
    RecordProperty("largest_difference_db", std::to_string(worst));
}

}  // namespace
