// Psychoacoustic model 2: the per-stream tables, the choice of rate, the
// threshold-in-quiet table and the life cycle of the model's arrays.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "psycho/psycho_model.h"

namespace {

using zuvo::kLines;
using zuvo::kPartitions;
using zuvo::PsychoModel;

// Indexed by table row: the MPEG-1 rates, then the lower sampling frequencies.
const float kRates[6] = {32000.0f, 44100.0f, 48000.0f, 16000.0f, 22050.0f, 24000.0f};

// numlines per partition, as (count, lines) runs; 59, 63 and 63 partitions.
std::vector<int> expected_numlines(int row) {
    const std::vector<std::vector<std::pair<int, int>>> runs = {
        {{18, 2}, {9, 3}, {3, 4}, {5, 5}, {3, 6}, {3, 8}, {3, 10}, {2, 12}, {1, 13}, {2, 14},
         {1, 16}, {2, 20}, {1, 23}, {2, 27}, {1, 32}, {3, 37}},
        {{15, 1}, {13, 2}, {7, 3}, {3, 4}, {3, 5}, {2, 6}, {3, 7}, {3, 9}, {2, 10}, {1, 11},
         {2, 14}, {1, 15}, {2, 20}, {1, 21}, {2, 27}, {1, 36}, {1, 73}, {1, 66}},
        {{16, 1}, {13, 2}, {5, 3}, {5, 4}, {3, 5}, {1, 6}, {2, 7}, {3, 8}, {3, 10}, {2, 13},
         {1, 14}, {2, 18}, {1, 20}, {2, 25}, {1, 35}, {2, 67}, {1, 32}}};
    std::vector<int> out;
    for (const auto& run : runs[static_cast<std::size_t>(row)]) {
        out.insert(out.end(), static_cast<std::size_t>(run.first), run.second);
    }
    out.resize(kPartitions, 0);
    return out;
}

// Collects the model's diagnostic messages, one line each.
struct Messages {
    std::string text;
    zuvo::DiagnosticSink sink() {
        zuvo::DiagnosticSink s;
        s.emit = [](void* context, zuvo::Diagnostic, const char* message) {
            static_cast<Messages*>(context)->text += std::string(message) + "\n";
        };
        s.context = this;
        return s;
    }
};

// Sets up for `rate`; returns the diagnostics, one line each.
std::string setup(PsychoModel& model, float rate) {
    Messages messages;
    model.set_diagnostics(messages.sink());
    EXPECT_TRUE(model.model_setup(rate));
    model.set_diagnostics(zuvo::DiagnosticSink{});
    return messages.text;
}

// Spreading (linear power) into a partition dz bark above the spreading one.
double spreading(double dz) {
    const double t = static_cast<float>(1.05 * dz);
    const double x = t >= 0.5 && t <= 2.5 ? 8.0 * ((t - 0.5) * (t - 0.5) - 2.0 * (t - 0.5)) : 0.0;
    const double y = 15.811389 + 7.5 * (t + 0.474) - 17.5 * std::sqrt(1.0 + (t + 0.474) * (t + 0.474));
    return y > -100.0 ? std::pow(10.0, (x + y) / 10.0) : 0.0;
}

TEST(PsychoSetup, PartitionsOfAThirdBark) {
    // Bark value of lines 16 and 512 (kept in fthr after the set-up), and the
    // partitions with lines; the lower rates reach 8000, 11025 and 12000 Hz.
    const double bark16[6] = {4 + 100.0 / 110,  6 + 59.0625 / 140, 6 + 120.0 / 140,
                              2 + 50.0 / 100,   3 + 44.53125 / 100, 3 + 75.0 / 100};
    const double bark512[6] = {24 + 500.0 / 9500, 24 + 6550.0 / 9500, 24.894737,
                               21 + 300.0 / 1800,  22 + 1525.0 / 2500, 23.0};
    const int used[6] = {59, 63, 63, 57, 61, 61};
    for (int row = 0; row < 6; ++row) {
        SCOPED_TRACE(kRates[row]);
        PsychoModel model;
        setup(model, kRates[row]);
        EXPECT_EQ(model.absthr_index, row);
        EXPECT_EQ(model.fthr[0], 0.0f);
        EXPECT_NEAR(model.fthr[16], bark16[row], 2e-6);
        EXPECT_NEAR(model.fthr[512], bark512[row], 2e-6);

        // Runs known for the MPEG-1 rates; at the lower ones each partition
        // with lines spans at most 0.33 bark, the next one starting beyond.
        const std::vector<int> numlines = row < 3 ? expected_numlines(row) : std::vector<int>();
        int w = 0;
        for (int p = 0; p < kPartitions; ++p) {
            if (row < 3) {
                ASSERT_EQ(model.numlines[p], numlines[static_cast<std::size_t>(p)]) << p;
            }
            ASSERT_EQ(model.numlines[p] > 0, p < used[row]) << p;
            double sum = 0.0;
            for (int n = 0; n < model.numlines[p]; ++n, ++w) {
                ASSERT_EQ(model.partition[w], p) << w;
                ASSERT_LE(static_cast<double>(model.fthr[w]) - model.fthr[w - n], 0.33) << w;
                sum += model.fthr[w];
            }
            if (w < kLines && p + 1 < used[row]) {
                ASSERT_GT(static_cast<double>(model.fthr[w]) - model.fthr[w - model.numlines[p]], 0.33) << w;
            }
            EXPECT_NEAR(model.cbval[p], p < used[row] ? sum / model.numlines[p] : 0.0, 2e-6);
        }
        EXPECT_EQ(w, kLines);
    }
}

TEST(PsychoSetup, SpreadingTonalSnrAndRowSums) {
    EXPECT_NEAR(spreading(1.0), 0.0788, 5e-4);  // upwards, weaker
    EXPECT_NEAR(spreading(-1.0), 0.135, 5e-4);
    for (int row = 0; row < 6; ++row) {
        SCOPED_TRACE(kRates[row]);
        PsychoModel model;
        setup(model, kRates[row]);
        for (int j = 0; j < kPartitions; ++j) {
            const float* s = model.s + j * kPartitions;
            EXPECT_NEAR(s[j], 1.0, 1e-7);
            double sum = 0.0;
            for (int i = 0; i < kPartitions; ++i) {
                const double dz = static_cast<double>(model.cbval[j]) - model.cbval[i];
                ASSERT_NEAR(s[i], spreading(dz), 1e-6 * spreading(dz)) << j << "," << i;
                if (dz <= -4.792 || dz >= 10.507) {
                    ASSERT_EQ(s[i], 0.0f) << j << "," << i;
                } else if (dz > -4.790 && dz < 10.505) {
                    ASSERT_GT(s[i], 0.0f) << j << "," << i;
                }
                sum += s[i];
            }
            EXPECT_NEAR(model.rnorm[j], sum, 1e-6 * sum) << j;
            if (model.cbval[j] <= 9.0f) {
                EXPECT_EQ(model.tmn[j], 24.5f) << j;
            } else {
                EXPECT_NEAR(model.tmn[j], model.cbval[j] + 15.5, 2e-6) << j;
            }
        }
        if (row == 0) {
            // The four empty partitions (bark 0) count in the row sums too.
            double occupied = 0.0;
            for (int i = 0; i < 59; ++i) {
                occupied += model.s[i];
            }
            EXPECT_GT(model.rnorm[0] - occupied, 4 * 0.99 * spreading(model.cbval[0]));
        }
    }
}

TEST(PsychoSetup, HannWindowWithHalfSampleShift) {
    PsychoModel model;
    setup(model, 44100.0f);
    const float* w = model.window;
    EXPECT_EQ(w[0], w[1]);
    EXPECT_NEAR(w[0], 2.353e-6, 0.001e-6);
    EXPECT_NEAR(w[1023], 2.118e-5, 0.001e-5);
    EXPECT_EQ(w[512], w[513]);
    EXPECT_GT(w[512], 0.99999f);
    EXPECT_LT(w[512], 1.0f);
    for (int i = 2; i < 1024; ++i) {
        ASSERT_NEAR(w[i], w[1025 - i], 1.2e-7 * w[i]) << i;
    }
}

TEST(PsychoSetup, RateIsRoundedAndNeverEndsTheProcess) {
    const struct {
        float rate;
        int row;
        const char* error;
    } cases[] = {
        {44099.7f, 1, ""},  // rounds to 44100
        {47999.5f, 2, ""},
        {32000.0f, 0, ""},
        {44099.4f, 1, "error, invalid sampling frequency: 44099 Hz\n"},
        {38049.0f, 0, "error, invalid sampling frequency: 38049 Hz\n"},
        {46051.0f, 2, "error, invalid sampling frequency: 46051 Hz\n"},
        {16000.4f, 3, ""},
        {22049.5f, 4, ""},
        {24000.0f, 5, ""},
        // Nearest of the six; the lower one at a midpoint.
        {19025.0f, 3, "error, invalid sampling frequency: 19025 Hz\n"},
        {19026.0f, 4, "error, invalid sampling frequency: 19026 Hz\n"},
        {23025.0f, 4, "error, invalid sampling frequency: 23025 Hz\n"},
        {28000.0f, 5, "error, invalid sampling frequency: 28000 Hz\n"},
        {28001.0f, 0, "error, invalid sampling frequency: 28001 Hz\n"},
        {-5.0f, 3, "error, invalid sampling frequency: -4 Hz\n"},
        {1e30f, 2, "error, invalid sampling frequency: 2147483647 Hz\n"},
        {std::nanf(""), 1, "error, invalid sampling frequency: 0 Hz\n"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.rate);
        PsychoModel model;
        EXPECT_EQ(setup(model, tc.rate), std::string(tc.error) +
                                             "absthr[][] sampling frequency index: " +
                                             std::to_string(tc.row) + "\n");
        // The tables are those of the rate chosen.
        PsychoModel nominal;
        setup(nominal, kRates[tc.row]);
        for (int p = 0; p < kPartitions; ++p) {
            ASSERT_EQ(model.cbval[p], nominal.cbval[p]);
        }
        for (int w = 0; w < kLines; ++w) {
            ASSERT_EQ(model.absthr[w], zuvo::absthr_table[tc.row][w]);
        }
    }
}

TEST(PsychoSetup, ArrayLifeCycle) {
    PsychoModel model;
    auto held = [&model]() {
        const void* arrays[] = {model.grouped_c, model.grouped_e, model.nb,       model.cb,
                                model.ecb,       model.bc,        model.wsamp_r,  model.phase_re, model.phase_im,
                                model.energy,    model.c,         model.fthr,     model.snrtmp,
                                model.numlines,  model.partition, model.cbval,    model.rnorm,
                                model.window,    model.absthr,    model.tmn,      model.s,
                                model.spread_t,
                                model.raudio,    model.phase_re_sav, model.phase_im_sav};
        int n = 0;
        for (const void* a : arrays) {
            n += a != nullptr;
        }
        return n;
    };
    EXPECT_EQ(held(), 0);
    model.model_release();  // nothing held: harmless
    setup(model, 44100.0f);
    EXPECT_EQ(held(), 25);

    // A reset releases what an unfinished stream still holds (the
    // sanitizer build checks that nothing leaks) and restores the scalars.
    model.model_ready = 1;
    model.cur_slot = 1;
    model.prev_slot = 0;
    model.noise_masking_snr = 9.0f;
    model.model_reset();
    EXPECT_EQ(held(), 0);
    EXPECT_EQ(model.model_ready, 0);
    EXPECT_EQ(model.cur_slot, 0);
    EXPECT_EQ(model.prev_slot, 1);
    EXPECT_EQ(model.prev2_slot, 0);
    EXPECT_EQ(model.noise_masking_snr, 5.5f);

    // The first analysis sets up with its rate, later rates are ignored.
    std::int16_t samples[1152] = {};
    std::int16_t history[zuvo::kHistorySamples] = {};
    float out[32];
    Messages messages;
    model.set_diagnostics(messages.sink());
    model.analyze_channel(samples, history, 0, out, 48000.0f);
    model.analyze_channel(samples, history, 0, out, 32000.0f);
    EXPECT_EQ(messages.text, "absthr[][] sampling frequency index: 2\n");
    EXPECT_EQ(model.absthr_index, 2);

    // Without tables (released, as after a failed allocation) or without
    // input the analysis answers with the flat row.
    model.model_release();
    model.model_release();
    EXPECT_EQ(held(), 0);
    model.analyze_channel(samples, history, 0, out, 48000.0f);
    for (float v : out) {
        EXPECT_EQ(v, zuvo::kFlatSmrDb);
    }
    PsychoModel fresh;
    std::fill(out, out + 32, -1.0f);
    setup(fresh, 44100.0f);
    fresh.model_ready = 1;
    fresh.analyze_channel(samples, nullptr, 0, out, 44100.0f);
    for (float v : out) {
        EXPECT_EQ(v, zuvo::kFlatSmrDb);
    }
}

TEST(PsychoSetup, ThresholdInQuietTable) {
    const int lines[13] = {0, 1, 2, 4, 8, 16, 32, 64, 128, 192, 256, 320, 384};
    // Rows 3..5 read the same curve at their own line frequencies; at
    // 16000 Hz line 0 (101.39 dB) is held at the ceiling.
    const float telling[6][13] = {
        {1.0156347e10f, 3.3708348e7f, 3987838.75f, 614805.19f, 153016.27f, 60358.379f, 32339.82f,
         13481.48f, 7902.0098f, 26105.83f, 51848.66f, 220667.11f, 3053076.0f},
        {4.8835709e8f, 5898447.0f, 1131716.5f, 265911.78f, 90518.547f, 43524.879f, 24029.1f,
         5953.02f, 22789.65f, 62912.59f, 806747.31f, 1.613384e8f, 1.249503e11f},
        {2.4759246e8f, 3987838.75f, 852584.69f, 220667.11f, 80489.188f, 40247.379f, 21814.109f,
         5090.23f, 25747.65f, 103929.2f, 3782140.25f, 6.4973711e9f, 9.6324682e10f},
        {6.0776765e13f, 1.0156347e10f, 2.4759246e8f, 9566159.0f, 852584.69f, 170898.23f,
         62479.504f, 32339.82f, 13481.48f, 5031.9648f, 7902.0098f, 18312.076f, 25394.379f},
        {1.0659518e12f, 4.8835709e8f, 27589104.0f, 2221967.0f, 342560.75f, 98568.375f, 44744.285f,
         24029.1f, 5953.02f, 9500.3057f, 22789.65f, 32265.439f, 57245.004f},
        {3.2639055e11f, 2.4759246e8f, 16855342.0f, 1605970.6f, 279085.69f, 87043.75f, 41374.961f,
         21814.109f, 5090.23f, 13574.93f, 25747.65f, 40154.812f, 90727.219f}};
    const float minimum[6] = {4861.1299f, 4849.9502f, 4849.9502f, 4861.1299f, 4849.9502f, 4849.9502f};
    const int min_first[6] = {104, 76, 68, 208, 152, 136};
    const int min_last[6] = {107, 77, 69, 215, 155, 139};
    const int plateau_first[6] = {-1, 368, 332, -1, -1, -1};
    const int ceiling_first[6] = {480, 464, 428, 480, 480, 480};
    const float ceiling = 60776765194240.0f;
    EXPECT_EQ(ceiling, 6.0776765e13f);

    for (int r = 0; r < 6; ++r) {
        SCOPED_TRACE(kRates[r]);
        const float* t = zuvo::absthr_table[r];
        for (int n = 0; n < 13; ++n) {
            EXPECT_NEAR(t[lines[n]], telling[r][n], 1e-6 * telling[r][n]) << lines[n];
        }
        // Falls to the minimum (3.1 to 3.4 kHz), then rises, neither
        // strictly; nothing lies above the ceiling.
        for (int w = 1; w < kLines; ++w) {
            if (w <= min_first[r]) {
                ASSERT_LE(t[w], t[w - 1]) << w;
            } else {
                ASSERT_GE(t[w], t[w - 1]) << w;
            }
        }
        EXPECT_LE(t[0], ceiling);
        EXPECT_NEAR(t[min_first[r]], minimum[r], 1e-6 * minimum[r]);
        EXPECT_EQ(t[min_last[r]], t[min_first[r]]);
        EXPECT_GT(t[min_first[r] - 1], t[min_first[r]]);
        EXPECT_GT(t[min_last[r] + 1], t[min_last[r]]);
        EXPECT_GE(min_first[r] * kRates[r] / 1024.0, 3100.0);
        EXPECT_LE(min_last[r] * kRates[r] / 1024.0, 3400.0);

        // Runs of equal values: 1 line up to 47, 2 up to 95, 4 up to 191,
        // then 8 (at 48 kHz the run 328..331 has 4), up to the plateau or
        // ceiling; the plateau holds until the ceiling, which holds to 512.
        const int flat = plateau_first[r] >= 0 ? plateau_first[r] : ceiling_first[r];
        int w = 0;
        while (w < flat) {
            const int length = w < 48 ? 1 : w < 96 ? 2 : w < 192 ? 4 : (r == 2 && w == 328) ? 4 : 8;
            for (int n = 1; n < length; ++n) {
                ASSERT_EQ(t[w + n], t[w]) << "run at " << w;
            }
            ASSERT_NE(t[w + length], t[w]) << "run at " << w;
            w += length;
        }
        EXPECT_EQ(w, flat);
        for (; w < ceiling_first[r]; ++w) {
            ASSERT_EQ(t[w], t[flat]) << w;
        }
        EXPECT_LT(t[ceiling_first[r] - 1], ceiling);
        for (; w < kLines; ++w) {
            ASSERT_EQ(t[w], ceiling) << w;
        }
    }

    // load_absthr copies a row, the index clamped into the table.
    float row[kLines];
    for (const auto& request : {std::make_pair(1, 1), std::make_pair(4, 4), std::make_pair(-3, 0),
                               std::make_pair(7, 5)}) {
        zuvo::load_absthr(row, request.first);
        EXPECT_EQ(std::memcmp(row, zuvo::absthr_table[request.second], sizeof row), 0);
    }
}

}  // namespace
