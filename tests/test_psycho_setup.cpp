// Psychoacoustic model 2: the per-stream tables, the rate choice, the
// threshold-in-quiet table and the life cycle of the model's arrays.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "psycho/psycho_model.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

using zuvo::kLines;
using zuvo::kPartitions;
using zuvo::PsychoModel;

// Expands (count, value) runs into one entry per partition.
std::vector<int> runs(std::initializer_list<std::pair<int, int>> list) {
    std::vector<int> out;
    for (const auto& run : list) {
        out.insert(out.end(), static_cast<std::size_t>(run.first), run.second);
    }
    return out;
}

struct RateCase {
    float rate;
    int index;
    double bark_line16;   // 500, 689.06 or 750 Hz
    double bark_line512;  // 16000, 22050 or 24000 Hz
    std::vector<int> numlines;
};

std::vector<RateCase> rate_cases() {
    return {
        {32000.0f, 0, 4 + 100.0 / 110, 24 + 500.0 / 9500,
         runs({{18, 2}, {9, 3}, {3, 4}, {5, 5}, {3, 6}, {3, 8}, {3, 10}, {2, 12},
               {1, 13}, {2, 14}, {1, 16}, {2, 20}, {1, 23}, {2, 27}, {1, 32}, {3, 37}})},
        {44100.0f, 1, 6 + 59.0625 / 140, 24 + 6550.0 / 9500,
         runs({{15, 1}, {13, 2}, {7, 3}, {3, 4}, {3, 5}, {2, 6}, {3, 7}, {3, 9}, {2, 10},
               {1, 11}, {2, 14}, {1, 15}, {2, 20}, {1, 21}, {2, 27}, {1, 36}, {1, 73},
               {1, 66}})},
        {48000.0f, 2, 6 + 120.0 / 140, 24.894737,
         runs({{16, 1}, {13, 2}, {5, 3}, {5, 4}, {3, 5}, {1, 6}, {2, 7}, {3, 8}, {3, 10},
               {2, 13}, {1, 14}, {2, 18}, {1, 20}, {2, 25}, {1, 35}, {2, 67}, {1, 32}})},
    };
}

// Sets a model up for `rate`, swallowing the index line on stderr.
bool quiet_setup(PsychoModel& model, float rate, std::string* messages = nullptr) {
    testing::internal::CaptureStderr();
    const bool ok = model.model_setup(rate);
    const std::string text = testing::internal::GetCapturedStderr();
    if (messages != nullptr) {
        *messages = text;
    }
    return ok;
}

// Spreading in linear power for a bark distance dz = (receiving partition's
// bark) - (spreading partition's bark), straight from its defining formula.
double spreading(double dz) {
    const double tempx = static_cast<float>(1.05 * dz);
    double x = 0.0;
    if (tempx >= 0.5 && tempx <= 2.5) {
        x = 8.0 * ((tempx - 0.5) * (tempx - 0.5) - 2.0 * (tempx - 0.5));
    }
    const double tempy = 15.811389 + 7.5 * (tempx + 0.474) -
                         17.5 * std::sqrt(1.0 + (tempx + 0.474) * (tempx + 0.474));
    return tempy > -100.0 ? std::pow(10.0, (x + tempy) / 10.0) : 0.0;
}

int count_of(const std::string& text, const std::string& piece) {
    int n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos;
         at = text.find(piece, at + 1)) {
        ++n;
    }
    return n;
}

TEST(PsychoSetup, PartitionsFollowTheBarkScale) {
    for (const RateCase& rc : rate_cases()) {
        SCOPED_TRACE(rc.rate);
        PsychoModel model;
        ASSERT_TRUE(quiet_setup(model, rc.rate));
        EXPECT_EQ(model.absthr_index, rc.index);

        // Bark value of each line (kept in fthr by the set-up): 0 at line 0,
        // rising with frequency, interpolated between the band edges.
        EXPECT_EQ(model.fthr[0], 0.0f);
        for (int w = 1; w < kLines; ++w) {
            ASSERT_GT(model.fthr[w], model.fthr[w - 1]) << w;
        }
        EXPECT_NEAR(model.fthr[2], 2 * rc.rate / 1024.0 / 100.0, 1e-6);  // below 100 Hz
        EXPECT_NEAR(model.fthr[16], rc.bark_line16, 2e-6);
        EXPECT_NEAR(model.fthr[512], rc.bark_line512, 2e-6);

        const int used = static_cast<int>(rc.numlines.size());
        int total = 0;
        for (int p = 0; p < kPartitions; ++p) {
            const int expected = p < used ? rc.numlines[static_cast<std::size_t>(p)] : 0;
            EXPECT_EQ(model.numlines[p], expected) << "partition " << p;
            total += model.numlines[p];
        }
        EXPECT_EQ(total, kLines);

        // partition[] walks the lines in order, numlines[p] lines each, and
        // cbval is the mean bark value of a partition's lines (0 if empty).
        int w = 0;
        for (int p = 0; p < used; ++p) {
            double sum = 0.0;
            const double first_bark = model.fthr[w];
            for (int n = 0; n < model.numlines[p]; ++n, ++w) {
                ASSERT_EQ(model.partition[w], p) << "line " << w;
                EXPECT_LE(model.fthr[w] - first_bark, 0.33 + 1e-9);
                sum += model.fthr[w];
            }
            if (w < kLines) {
                EXPECT_GT(model.fthr[w] - first_bark, 0.33);  // closed as late as possible
            }
            EXPECT_NEAR(model.cbval[p], sum / model.numlines[p], 2e-6) << p;
        }
        for (int p = used; p < kPartitions; ++p) {
            EXPECT_EQ(model.cbval[p], 0.0f);
        }
    }
}

TEST(PsychoSetup, SpreadingMatrix) {
    // Anchors of the spreading function itself: upward spreading (into a
    // higher partition) is weaker than downward at the same distance.
    EXPECT_NEAR(spreading(1.0), 0.0788, 5e-4);
    EXPECT_NEAR(spreading(-1.0), 0.135, 5e-4);
    EXPECT_EQ(spreading(-4.795), 0.0);
    EXPECT_GT(spreading(-4.787), 0.0);
    EXPECT_GT(spreading(10.50), 0.0);
    EXPECT_EQ(spreading(10.51), 0.0);

    for (const RateCase& rc : rate_cases()) {
        SCOPED_TRACE(rc.rate);
        PsychoModel model;
        ASSERT_TRUE(quiet_setup(model, rc.rate));
        for (int j = 0; j < kPartitions; ++j) {
            EXPECT_NEAR(model.s[j * kPartitions + j], 1.0, 1e-7);
            for (int i = 0; i < kPartitions; ++i) {
                const double dz = static_cast<double>(model.cbval[j]) - model.cbval[i];
                const double expected = spreading(dz);
                const float got = model.s[j * kPartitions + i];
                if (dz <= -4.792 || dz >= 10.507) {
                    ASSERT_EQ(got, 0.0f) << j << "," << i;
                } else if (dz > -4.790 && dz < 10.505) {
                    ASSERT_GT(got, 0.0f) << j << "," << i;
                }
                ASSERT_NEAR(got, expected, 1e-6 * expected + 1e-30) << j << "," << i;
            }
        }
    }
}

TEST(PsychoSetup, TonalSnrAndRowSums) {
    for (const RateCase& rc : rate_cases()) {
        SCOPED_TRACE(rc.rate);
        PsychoModel model;
        ASSERT_TRUE(quiet_setup(model, rc.rate));
        for (int j = 0; j < kPartitions; ++j) {
            if (model.cbval[j] <= 9.0f) {
                EXPECT_EQ(model.tmn[j], 24.5f) << j;
            } else {
                EXPECT_NEAR(model.tmn[j], model.cbval[j] + 15.5, 2e-6) << j;
            }
            double sum = 0.0;
            for (int i = 0; i < kPartitions; ++i) {
                sum += model.s[j * kPartitions + i];
            }
            EXPECT_NEAR(model.rnorm[j], sum, 1e-6 * sum) << j;
        }
    }

    // At 32 kHz the four empty partitions sit at bark 0, next to the lowest
    // partitions, and their columns count in those rows' sums.
    PsychoModel model;
    ASSERT_TRUE(quiet_setup(model, 32000.0f));
    ASSERT_EQ(model.numlines[58], 37);
    ASSERT_EQ(model.numlines[59], 0);
    double occupied = 0.0;
    for (int i = 0; i < 59; ++i) {
        occupied += model.s[i];
    }
    const double empty_share = 4.0 * spreading(model.cbval[0]);
    EXPECT_GT(empty_share, 0.5);
    EXPECT_NEAR(model.rnorm[0], occupied + empty_share, 1e-6 * (occupied + empty_share));
    EXPECT_EQ(model.tmn[62], 24.5f);
}

TEST(PsychoSetup, HannWindowWithHalfSampleShift) {
    PsychoModel model;
    ASSERT_TRUE(quiet_setup(model, 44100.0f));
    const float* w = model.window;
    EXPECT_EQ(w[0], w[1]);
    EXPECT_NEAR(w[0], 2.353e-6, 0.001e-6);
    EXPECT_NEAR(w[1023], 2.118e-5, 0.001e-5);
    EXPECT_EQ(w[512], w[513]);
    for (int i = 2; i < 1024; ++i) {
        ASSERT_NEAR(w[i], w[1025 - i], 1.2e-7 * w[i]) << i;
    }
    for (int i = 0; i < 1024; ++i) {
        ASSERT_GT(w[i], 0.0f);
        ASSERT_LT(w[i], 1.0f);
        ASSERT_NEAR(w[i], 0.5 * (1.0 - std::cos((i - 0.5) * 2.0 * kPi / 1024.0)), 1e-7);
    }
    EXPECT_GT(w[512], 0.99999f);
}

TEST(PsychoSetup, RateChoiceNeverEndsTheProcess) {
    struct Case {
        float rate;
        int index;
        const char* error;  // null: accepted without complaint
    };
    const Case cases[] = {
        {32000.0f, 0, nullptr},
        {44100.0f, 1, nullptr},
        {48000.0f, 2, nullptr},
        {44099.7f, 1, nullptr},  // rounds to 44100
        {47999.5f, 2, nullptr},
        {44099.4f, 1, "error, invalid sampling frequency: 44099 Hz\n"},
        {22050.0f, 0, "error, invalid sampling frequency: 22050 Hz\n"},
        {38049.0f, 0, "error, invalid sampling frequency: 38049 Hz\n"},
        {38051.0f, 1, "error, invalid sampling frequency: 38051 Hz\n"},
        {46051.0f, 2, "error, invalid sampling frequency: 46051 Hz\n"},
        {96000.0f, 2, "error, invalid sampling frequency: 96000 Hz\n"},
        {0.0f, 0, "error, invalid sampling frequency: 0 Hz\n"},
        {-5.0f, 0, "error, invalid sampling frequency: -4 Hz\n"},
        {1e30f, 2, "error, invalid sampling frequency: 2147483647 Hz\n"},
        {std::nanf(""), 1, "error, invalid sampling frequency: 0 Hz\n"},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.rate);
        PsychoModel model;
        std::string messages;
        ASSERT_TRUE(quiet_setup(model, tc.rate, &messages));
        EXPECT_EQ(model.absthr_index, tc.index);
        const std::string index_line =
            "absthr[][] sampling frequency index: " + std::to_string(tc.index) + "\n";
        EXPECT_EQ(messages, std::string(tc.error ? tc.error : "") + index_line);

        // The fallback builds the tables of the rate chosen, as if given it.
        PsychoModel nominal;
        const float rates[] = {32000.0f, 44100.0f, 48000.0f};
        ASSERT_TRUE(quiet_setup(nominal, rates[tc.index]));
        for (int p = 0; p < kPartitions; ++p) {
            ASSERT_EQ(model.numlines[p], nominal.numlines[p]);
            ASSERT_EQ(model.cbval[p], nominal.cbval[p]);
        }
        for (int w = 0; w < kLines; ++w) {
            ASSERT_EQ(model.absthr[w], zuvo::absthr_table[tc.index][w]);
        }
    }

    // The index line comes with every stream set-up.
    PsychoModel model;
    std::string first;
    std::string second;
    ASSERT_TRUE(quiet_setup(model, 48000.0f, &first));
    ASSERT_TRUE(quiet_setup(model, 48000.0f, &second));
    EXPECT_EQ(count_of(first + second, "sampling frequency index: 2"), 2);
}

TEST(PsychoSetup, ArrayLifeCycle) {
    PsychoModel model;
    auto arrays = [&model]() {
        return std::vector<const void*>{
            model.grouped_c, model.grouped_e, model.nb,     model.cb,        model.ecb,
            model.bc,        model.wsamp_r,   model.phi,    model.energy,    model.c,
            model.fthr,      model.snrtmp,    model.numlines, model.partition, model.cbval,
            model.rnorm,     model.window,    model.absthr, model.tmn,       model.s,
            model.raudio,    model.phi_sav};
    };
    auto expect_scalars_reset = [&model]() {
        EXPECT_EQ(model.model_ready, 0);
        EXPECT_EQ(model.cur_slot, 0);
        EXPECT_EQ(model.prev_slot, 1);
        EXPECT_EQ(model.prev2_slot, 0);
        EXPECT_EQ(model.noise_masking_snr, 5.5f);
    };

    expect_scalars_reset();
    for (const void* p : arrays()) {
        EXPECT_EQ(p, nullptr);
    }
    model.model_release();  // nothing held: harmless

    ASSERT_TRUE(quiet_setup(model, 44100.0f));
    for (const void* p : arrays()) {
        EXPECT_NE(p, nullptr);
    }
    for (int i = 0; i < 2 * 2 * kLines; ++i) {
        ASSERT_EQ(model.raudio[i], 0.0f);
        ASSERT_EQ(model.phi_sav[i], 0.0f);
    }

    // A reset releases what an unfinished stream still holds.
    model.model_ready = 1;
    model.cur_slot = 1;
    model.noise_masking_snr = 9.0f;
    model.model_reset();
    expect_scalars_reset();
    for (const void* p : arrays()) {
        EXPECT_EQ(p, nullptr);
    }

    // The first analysis sets up with its rate; later rates are ignored.
    std::int16_t samples[1152] = {};
    std::int16_t history[zuvo::kHistorySamples] = {};
    float out[32];
    testing::internal::CaptureStderr();
    model.analyze_channel(samples, history, 0, out, 48000.0f);
    model.analyze_channel(samples, history, 0, out, 32000.0f);
    const std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_EQ(messages, "absthr[][] sampling frequency index: 2\n");
    EXPECT_EQ(model.model_ready, 1);
    EXPECT_EQ(model.absthr_index, 2);

    // Released twice, then analysed without tables: a flat row, no crash.
    model.model_release();
    model.model_release();
    for (const void* p : arrays()) {
        EXPECT_EQ(p, nullptr);
    }
    for (float& v : out) {
        v = -1.0f;
    }
    model.analyze_channel(samples, history, 0, out, 48000.0f);
    for (float v : out) {
        EXPECT_EQ(v, zuvo::kFlatSmrDb);
    }
    float pass[32];
    model.analyze_pass(history, samples, 0, pass);
    for (float v : pass) {
        EXPECT_EQ(v, zuvo::kFlatSmrDb);
    }

    // Missing input is answered with the flat row as well.
    PsychoModel fresh;
    for (float& v : out) {
        v = -1.0f;
    }
    testing::internal::CaptureStderr();
    fresh.analyze_channel(samples, nullptr, 0, out, 44100.0f);
    testing::internal::GetCapturedStderr();
    for (float v : out) {
        EXPECT_EQ(v, zuvo::kFlatSmrDb);
    }
}

TEST(PsychoSetup, ThresholdInQuietTable) {
    struct Row {
        float telling[13];  // lines 0, 1, 2, 4, 8, 16, 32, 64, 128, 192, 256, 320, 384
        float minimum;
        int min_first, min_last;
        int plateau_first, plateau_last;  // -1: none
        int ceiling_first;
    };
    const int lines[13] = {0, 1, 2, 4, 8, 16, 32, 64, 128, 192, 256, 320, 384};
    const Row rows[3] = {
        {{1.0156347e10f, 3.3708348e7f, 3987838.75f, 614805.19f, 153016.27f, 60358.379f,
          32339.82f, 13481.48f, 7902.0098f, 26105.83f, 51848.66f, 220667.11f, 3053076.0f},
         4861.1299f, 104, 107, -1, -1, 480},
        {{4.8835709e8f, 5898447.0f, 1131716.5f, 265911.78f, 90518.547f, 43524.879f, 24029.1f,
          5953.02f, 22789.65f, 62912.59f, 806747.31f, 1.613384e8f, 1.249503e11f},
         4849.9502f, 76, 77, 368, 463, 464},
        {{2.4759246e8f, 3987838.75f, 852584.69f, 220667.11f, 80489.188f, 40247.379f,
          21814.109f, 5090.23f, 25747.65f, 103929.2f, 3782140.25f, 6.4973711e9f, 9.6324682e10f},
         4849.9502f, 68, 69, 332, 427, 428},
    };
    const float ceiling = 60776765194240.0f;
    EXPECT_EQ(ceiling, 6.0776765e13f);

    for (int r = 0; r < 3; ++r) {
        SCOPED_TRACE(r);
        const float* t = zuvo::absthr_table[r];
        const Row& row = rows[r];
        for (int n = 0; n < 13; ++n) {
            EXPECT_NEAR(t[lines[n]], row.telling[n], 1e-6 * row.telling[n]) << lines[n];
        }

        // Falls (not strictly) to the minimum, then rises (not strictly).
        for (int w = 1; w <= row.min_first; ++w) {
            ASSERT_LE(t[w], t[w - 1]) << w;
        }
        for (int w = row.min_first; w <= row.min_last; ++w) {
            EXPECT_NEAR(t[w], row.minimum, 1e-6 * row.minimum) << w;
        }
        EXPECT_GT(t[row.min_first - 1], t[row.min_first]);
        EXPECT_GT(t[row.min_last + 1], t[row.min_last]);
        for (int w = row.min_last + 1; w < kLines; ++w) {
            ASSERT_GE(t[w], t[w - 1]) << w;
        }
        // The minimum lies between 3.1 and 3.4 kHz.
        const double rate = r == 0 ? 32000.0 : (r == 1 ? 44100.0 : 48000.0);
        EXPECT_GE(row.min_first * rate / 1024.0, 3100.0);
        EXPECT_LE(row.min_last * rate / 1024.0, 3400.0);

        // Plateau and ceiling.
        if (row.plateau_first >= 0) {
            for (int w = row.plateau_first; w <= row.plateau_last; ++w) {
                ASSERT_EQ(t[w], t[row.plateau_first]) << w;
            }
            EXPECT_LT(t[row.plateau_first - 1], t[row.plateau_first]);
        }
        EXPECT_LT(t[row.ceiling_first - 1], ceiling);
        for (int w = row.ceiling_first; w < kLines; ++w) {
            ASSERT_EQ(t[w], ceiling) << w;
        }

        // Runs of equal values: 1 line up to 47, 2 lines for 48..95, 4 for
        // 96..191, 8 from 192 until the plateau or ceiling; at 48 kHz the run
        // just before the plateau, 328..331, has only 4 lines.
        const int flat_from = row.plateau_first >= 0 ? row.plateau_first : row.ceiling_first;
        int w = 0;
        while (w < flat_from) {
            int length = w < 48 ? 1 : (w < 96 ? 2 : (w < 192 ? 4 : 8));
            if (r == 2 && w == 328) {
                length = 4;
            }
            for (int n = 1; n < length; ++n) {
                ASSERT_EQ(t[w + n], t[w]) << "run at " << w;
            }
            ASSERT_NE(t[w + length], t[w]) << "run at " << w << " too long";
            w += length;
        }
        EXPECT_EQ(w, flat_from);
    }

    // load_absthr copies a row, the index clamped into the table.
    float row[kLines];
    const int requests[][2] = {{0, 0}, {1, 1}, {2, 2}, {-3, 0}, {7, 2}};
    for (const auto& request : requests) {
        zuvo::load_absthr(row, request[0]);
        for (int w = 0; w < kLines; ++w) {
            ASSERT_EQ(row[w], zuvo::absthr_table[request[1]][w]) << request[0];
        }
    }
}

}  // namespace
