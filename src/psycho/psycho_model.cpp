// Psychoacoustic model 2: the per-stream tables (set-up) and the per-frame
// signal-to-mask ratios (analysis).
//
// Precision: the set-up evaluates its tables in double and stores them in
// single precision. The analysis runs its per-line and per-partition loops
// (spectrum, unpredictability, grouping, spreading) in single precision, in
// loops the compiler vectorizes across independent outputs, and its few
// per-partition and per-subband logarithms and exponentials in double. The
// signal-to-mask ratios stay within 0.01 dB of a double-precision evaluation
// of the same formulas (tests/test_psycho_analysis.cpp).
#include "psycho/psycho_model.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "psycho/model_kernels.h"
#include "psycho/real_fft.h"

namespace zuvo {

// Critical-band edges in Hz; entry n lies at bark value n.
const float bark_edge_hz[27] = {
    0.0f,    100.0f,  200.0f,  300.0f,  400.0f,  510.0f,  630.0f,   770.0f,   920.0f,
    1080.0f, 1270.0f, 1480.0f, 1720.0f, 2000.0f, 2320.0f, 2700.0f,  3150.0f,  3700.0f,
    4400.0f, 5300.0f, 6400.0f, 7700.0f, 9500.0f, 12000.0f, 15500.0f, 25000.0f, 30000.0f,
};

// Lowest SNR in dB a partition may require, by its rounded bark value: the
// ear tolerates less noise relative to the signal in the lowest bands.
const float min_snr_by_bark[27] = {
    20.0f, 20.0f, 20.0f, 20.0f, 20.0f, 17.0f, 15.0f, 10.0f, 7.0f,
    4.4f,  4.5f,  4.5f,  4.5f,  4.5f,  4.5f,  4.5f,  4.5f,  4.5f,
    4.5f,  4.5f,  4.5f,  4.5f,  4.5f,  4.5f,  3.5f,  3.5f,  3.5f,
};

namespace {

constexpr int kBlock = 1024;           // transform length
constexpr int kPassSamples = 576;      // new samples per pass
constexpr int kKeptSamples = 480;      // older samples still in the next window
constexpr int kSubbands = 32;
constexpr int kLowSubbands = 13;       // subbands whose threshold is the minimum line

// (i - 0.5) times this is the window's angle: 2 pi / 1024 with pi to 15 digits.
constexpr double kWindowStep = 0.006135923151542559;
constexpr double kPartitionWidthBark = 0.33;
constexpr double kDbToNeper = 0.2302585093;    // ln(10) / 10
constexpr float kThresholdCeiling = 6.080237e13f;
constexpr int kSpreadRows = 64;  // partitions padded to a whole number of vectors

struct SupportedRate {
    int hz;
    int absthr_index;
};
// Ascending by rate; absthr_index keeps 0..2 for the MPEG-1 rates (hosts see
// the index in the set-up message) and 3..5 for the lower sampling
// frequencies.
constexpr SupportedRate kRates[6] = {{16000, 3}, {22050, 4}, {24000, 5},
                                     {32000, 0}, {44100, 1}, {48000, 2}};
constexpr int kRateCount = static_cast<int>(sizeof kRates / sizeof kRates[0]);
constexpr int kFallbackRate = 4;  // 44100 Hz, for a rate that is not a number

// Picks the table row for `rate`. A rate that does not round to a supported
// one is reported and replaced by the nearest supported rate (the lower one
// when two are equally near; 44100 Hz when the rate is not a number), so a
// bad value costs masking accuracy but never the host process.
SupportedRate choose_rate(float rate, const DiagnosticSink& diagnostics) {
    const double shifted = static_cast<double>(rate) + 0.5;
    int rounded = 0;
    if (shifted > -2147483649.0 && shifted < 2147483648.0) {
        rounded = static_cast<int>(shifted);  // truncates toward zero
    } else if (shifted > 0.0) {
        rounded = INT_MAX;
    } else if (shifted < 0.0) {
        rounded = INT_MIN;
    }
    for (const SupportedRate& candidate : kRates) {
        if (rounded == candidate.hz) {
            return candidate;
        }
    }
    char message[64];
    std::snprintf(message, sizeof message, "error, invalid sampling frequency: %d Hz", rounded);
    diagnostics(Diagnostic::kStreamSetup, message);
    if (std::isnan(rate)) {
        return kRates[kFallbackRate];
    }
    // Nearest by the midpoints between neighbouring rates.
    const double value = rate;
    for (int i = 0; i + 1 < kRateCount; ++i) {
        if (value <= (kRates[i].hz + kRates[i + 1].hz) / 2.0) {
            return kRates[i];
        }
    }
    return kRates[kRateCount - 1];
}

template <typename T>
bool take(T*& slot, int count, const char* name) {
    slot = static_cast<T*>(allocate(static_cast<std::size_t>(count) * sizeof(T), name));
    return slot != nullptr;
}

template <typename T>
void give_back(T*& slot) {
    release(slot);
    slot = nullptr;
}

}  // namespace

// ------------------------------------------------------------------ set-up

void PsychoModel::model_reset() {
    model_release();
    model_ready = 0;
    cur_slot = 0;
    prev_slot = 1;
    prev2_slot = 0;
    noise_masking_snr = 5.5f;
}

void PsychoModel::model_release() {
    give_back(grouped_c);
    give_back(grouped_e);
    give_back(nb);
    give_back(cb);
    give_back(ecb);
    give_back(bc);
    give_back(wsamp_r);
    give_back(phase_re);
    give_back(phase_im);
    give_back(energy);
    give_back(c);
    give_back(fthr);
    give_back(snrtmp);
    give_back(numlines);
    give_back(partition);
    give_back(cbval);
    give_back(rnorm);
    give_back(window);
    give_back(absthr);
    give_back(tmn);
    give_back(s);
    give_back(spread_t);
    give_back(raudio);
    give_back(phase_re_sav);
    give_back(phase_im_sav);
    tables_built_ = false;
}

bool PsychoModel::model_setup(float rate) {
    model_release();  // a repeated set-up must not leak the earlier arrays
    const bool complete = take(grouped_c, kPartitions, "grouped_c") &&
                          take(grouped_e, kPartitions, "grouped_e") &&
                          take(nb, kPartitions, "nb") && take(cb, kPartitions, "cb") &&
                          take(ecb, kPartitions, "ecb") && take(bc, kPartitions, "bc") &&
                          take(wsamp_r, kBlock, "wsamp_r") &&
                          take(phase_re, kLines, "phase_re") && take(phase_im, kLines, "phase_im") &&
                          take(energy, kBlock, "energy") && take(c, kLines, "c") &&
                          take(fthr, kLines, "fthr") && take(snrtmp, 2 * kSubbands, "snrtmp") &&
                          take(numlines, kPartitions, "numlines") &&
                          take(partition, kLines, "partition") &&
                          take(cbval, kPartitions, "cbval") && take(rnorm, kPartitions, "rnorm") &&
                          take(window, kBlock, "window") && take(absthr, kLines, "absthr") &&
                          take(tmn, kPartitions, "tmn") &&
                          take(s, kPartitions * kPartitions, "s") &&
                          take(spread_t, kPartitions * kSpreadRows, "spread_t") &&
                          take(raudio, 2 * 2 * kLines, "raudio") &&
                          take(phase_re_sav, 2 * 2 * kLines, "phase_re_sav") &&
                          take(phase_im_sav, 2 * 2 * kLines, "phase_im_sav");
    if (!complete) {
        model_release();
        return false;
    }

    const SupportedRate chosen = choose_rate(rate, diagnostics_);
    absthr_index = chosen.absthr_index;
    char message[64];
    std::snprintf(message, sizeof message, "absthr[][] sampling frequency index: %d", absthr_index);
    diagnostics_(Diagnostic::kStreamSetup, message);
    load_absthr(absthr, absthr_index);
    if (quiet_lowering_db_ > 0.0f) {
        const float lowering = static_cast<float>(std::pow(10.0, -0.1 * quiet_lowering_db_));
        for (int w = 0; w < kLines; ++w) absthr[w] *= lowering;
    }
    // The phase history starts at phase 0 in every slot, like the magnitudes
    // start at 0.
    for (int i = 0; i < 2 * 2 * kLines; ++i) {
        phase_re_sav[i] = 1.0f;
    }

    // Hann window, shifted by half a sample so that it peaks equally at 512
    // and 513 and never reaches exactly 0 or 1.
    for (int i = 0; i < kBlock; ++i) {
        window[i] = static_cast<float>(0.5 * (1.0 - std::cos((i - 0.5) * kWindowStep)));
    }

    // Magnitude and phase history: zero from the allocator.

    // Bark value of every line, kept in fthr until the analysis reuses it.
    // The lines are placed by the supported rate the tables are made for.
    const double step = chosen.hz * 0.0009765625;
    int edge = 1;
    for (int w = 0; w < kLines; ++w) {
        const double f = w * step;
        while (edge < 26 && f > bark_edge_hz[edge]) {
            ++edge;
        }
        const double low = bark_edge_hz[edge - 1];
        const double high = bark_edge_hz[edge];
        fthr[w] = static_cast<float>((edge - 1) + (f - low) / (high - low));
    }

    // Partitions: consecutive lines, each partition spanning at most 0.33
    // bark from its first line; cbval is the mean bark value of its lines.
    int p = 0;
    double start_bark = fthr[0];
    double bark_sum = fthr[0];
    int count = 1;
    partition[0] = 0;
    first_line_[0] = 0;
    for (int w = 1; w < kLines; ++w) {
        const double bark = fthr[w];
        if (bark - start_bark > kPartitionWidthBark && p + 1 < kPartitions) {
            cbval[p] = static_cast<float>(bark_sum / count);
            numlines[p] = count;
            ++p;
            first_line_[p] = static_cast<std::int16_t>(w);
            start_bark = bark;
            bark_sum = bark;
            count = 1;
        } else {
            bark_sum += bark;
            ++count;
        }
        partition[w] = p;
    }
    cbval[p] = static_cast<float>(bark_sum / count);
    numlines[p] = count;
    const int used = p + 1;
    for (int q = used; q <= kPartitions; ++q) {
        first_line_[q] = static_cast<std::int16_t>(kLines);  // empty: cbval 0, numlines 0
    }

    // Spreading function: s[j][i] is how much of partition i's energy
    // spreads into partition j, from their bark distance; a slope of about
    // 25 dB per bark downwards and a shallower, level-independent slope
    // upwards, with entries below -100 dB left at zero.
    for (int j = 0; j < kPartitions; ++j) {
        for (int i = 0; i < kPartitions; ++i) {
            const float tempx =
                static_cast<float>(1.05 * (static_cast<double>(cbval[j]) - cbval[i]));
            const double t = tempx;
            double x = 0.0;
            if (t >= 0.5 && t <= 2.5) {
                const double d = t - 0.5;
                x = 8.0 * (d * d - 2.0 * d);
            }
            const double shifted = t + 0.474;
            const double tempy =
                15.811389 + 7.5 * shifted - 17.5 * std::sqrt(1.0 + shifted * shifted);
            s[j * kPartitions + i] =
                tempy > -100.0 ? static_cast<float>(std::exp(kDbToNeper * (x + tempy))) : 0.0f;
        }
    }

    // The spreading kernel reads s transposed and only the columns of
    // partitions that have lines; the others meet zero energy and add
    // nothing.
    for (int k = 0; k < kPartitions; ++k) {
        for (int j = 0; j < kPartitions; ++j) {
            spread_t[k * kSpreadRows + j] = s[j * kPartitions + k];
        }
    }
    used_partitions_ = used;

    // Tonal SNR and the row sums of s; the sums run over all 63 columns, so
    // the empty partitions' columns (bark 0) also count for the low rows.
    for (int j = 0; j < kPartitions; ++j) {
        const double tonal = cbval[j] + 15.5;
        tmn[j] = tonal > 24.5 ? static_cast<float>(tonal) : 24.5f;
        double sum = 0.0;
        for (int i = 0; i < kPartitions; ++i) {
            sum += s[j * kPartitions + i];
        }
        rnorm[j] = static_cast<float>(sum);
        int bark = static_cast<int>(static_cast<double>(cbval[j]) + 0.5);
        bark = bark < 0 ? 0 : (bark > 26 ? 26 : bark);
        min_snr_[j] = min_snr_by_bark[bark];
        inv_norm_[j] = rnorm[j] != 0.0f && numlines[j] != 0
                           ? static_cast<float>(1.0 / (numlines[j] * static_cast<double>(rnorm[j])))
                           : 0.0f;
    }

    tables_built_ = true;
    return true;
}

// ---------------------------------------------------------------- analysis

void PsychoModel::analyze_channel(const std::int16_t* samples, std::int16_t* history, int ch,
                                  float* out, float rate) {
    if (out == nullptr) {
        return;
    }
    if (model_ready == 0) {
        model_setup(rate);
        model_ready = 1;
    }
    if (!tables_built_ || samples == nullptr || history == nullptr) {
        for (int sb = 0; sb < kSubbands; ++sb) {
            out[sb] = kFlatSmrDb;
        }
        return;
    }
    ch = ch == 1 ? 1 : 0;

    analyze_pass(history, samples, ch, snrtmp);
    analyze_pass(history, samples + kPassSamples, ch, snrtmp + kSubbands);
    for (int sb = 0; sb < kSubbands; ++sb) {
        const float first = snrtmp[sb];
        const float second = snrtmp[kSubbands + sb];
        out[sb] = first > second ? first : second;
    }
}

void PsychoModel::analyze_pass(std::int16_t* history, const std::int16_t* fresh, int ch,
                               float* smr) {
    if (!tables_built_) {
        for (int sb = 0; sb < kSubbands; ++sb) {
            smr[sb] = kFlatSmrDb;
        }
        return;
    }
    ch = ch == 1 ? 1 : 0;

    // Window the 1024 most recent samples but the last 32: 480 carried over
    // and 544 of the 576 new ones.
    std::memmove(history, history + kPassSamples, kKeptSamples * sizeof(std::int16_t));
    std::memcpy(history + kKeptSamples, fresh, kPassSamples * sizeof(std::int16_t));
    apply_window(history, window, wsamp_r, kBlock);
    // The spectrum's phases are exact angles of X[k]; the model's phase
    // convention adds a constant (0.7853981 - pi/4) to every angle, which
    // cancels in the prediction below (2 phi1 - phi2 - phi), so it is left out.
    float magnitude[kLines];
    spectrum_1024(wsamp_r, energy, magnitude, phase_re, phase_im);

    // The two history slots alternate; the slot written now is the one of
    // two passes ago, read (as the older prediction input) before it is
    // overwritten.
    if (cur_slot == 0) {
        cur_slot = 1;
        prev2_slot = 1;
    } else {
        cur_slot = 0;
        prev2_slot = 0;
    }
    prev_slot = 1 - prev_slot;

    // Unpredictability: distance of each line from its linear extrapolation
    // (in magnitude and phase) from the two previous passes, relative to the
    // size of both. Steady tones predict well (c near 0), noise does not.
    // The kernel overwrites the older slot (cur_slot) with this pass as it
    // goes, after reading it.
    const int last = (2 * ch + prev_slot) * kLines;
    const int older = (2 * ch + prev2_slot) * kLines;
    float weighted_c[kLines];
    unpredictability(energy, magnitude, phase_re, phase_im, raudio + last, phase_re_sav + last,
                     phase_im_sav + last, raudio + older, phase_re_sav + older,
                     phase_im_sav + older, c, weighted_c, kLines);

    // Energy and energy-weighted unpredictability per partition.
    for (int p = 0; p < kPartitions; ++p) {
        float e = 0.0f;
        float ec = 0.0f;
        for (int w = first_line_[p]; w < first_line_[p + 1]; ++w) {
            e += energy[w];
            ec += weighted_c[w];
        }
        grouped_e[p] = e;
        grouped_c[p] = ec;
    }
    float spread_e[kSpreadRows];
    float spread_c[kSpreadRows];
    spread(spread_t, grouped_e, grouped_c, spread_e, spread_c, kSpreadRows, used_partitions_);

    // Tonality, the masking SNR it asks for, and the noise threshold.
    for (int b = 0; b < kPartitions; ++b) {
        ecb[b] = spread_e[b];
    }
    partition_thresholds(spread_e, spread_c, tmn, min_snr_, inv_norm_, noise_masking_snr, cb, bc,
                         nb, kPartitions);

    // Threshold per line: the partition's noise threshold, at least the
    // threshold in quiet; then the signal-to-mask ratio per subband over its
    // 17 lines.
    line_thresholds(nb, kPartitions, partition, absthr, fthr, kLines);
    double ratio[kSubbands];
    subband_ratios(energy, fthr, kLowSubbands, kThresholdCeiling, ratio);
    ratio_to_db(ratio, smr, kSubbands);
}

}  // namespace zuvo
