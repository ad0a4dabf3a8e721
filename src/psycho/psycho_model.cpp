// Psychoacoustic model 2: the per-stream tables (set-up) and the per-frame
// signal-to-mask ratios (analysis).
//
// Precision: every array holds single-precision values; the arithmetic that
// produces them runs in double, and values that only flow from one step to
// the next inside a pass stay in double, so the stored results are the
// rounded outcome of a double-precision evaluation of each formula. The one
// exception, sine and cosine of the stored phases, is explained where the
// unpredictability is computed.
#include "psycho/psycho_model.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

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
constexpr int kLinesPerSubband = 16;   // each subband also reads the next one's first line

// (i - 0.5) times this is the window's angle: 2 pi / 1024 with pi to 15 digits.
constexpr double kWindowStep = 0.006135923151542559;
constexpr double kPartitionWidthBark = 0.33;
constexpr double kDbToNeper = 0.2302585093;    // ln(10) / 10
constexpr double kNeperToDb = 4.342944819;     // 10 / ln(10)
constexpr double kLog10E = 0.434294482;
constexpr double kLog10Of2 = 0.301029996;
constexpr double kMinUnpredictability = 0.05;  // fully tonal
constexpr double kMaxUnpredictability = 0.5;   // fully noise-like
constexpr float kThresholdCeiling = 6.080237e13f;

struct SupportedRate {
    int hz;
    int absthr_index;
};
constexpr SupportedRate kRates[3] = {{32000, 0}, {44100, 1}, {48000, 2}};

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
        return kRates[1];
    }
    // Nearest by the midpoints between neighbouring rates.
    const double value = rate;
    if (value <= (kRates[0].hz + kRates[1].hz) / 2.0) {
        return kRates[0];
    }
    if (value <= (kRates[1].hz + kRates[2].hz) / 2.0) {
        return kRates[1];
    }
    return kRates[2];
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

    // Column range of each row's non-zero entries among the partitions that
    // have lines; columns of empty partitions meet zero energy in the
    // analysis and add nothing there.
    for (int j = 0; j < kPartitions; ++j) {
        const float* row = s + j * kPartitions;
        int first = 0;
        while (first < used && row[first] == 0.0f) {
            ++first;
        }
        int last = used - 1;
        while (last >= first && row[last] == 0.0f) {
            --last;
        }
        spread_first_[j] = static_cast<std::int16_t>(first);
        spread_last_[j] = static_cast<std::int16_t>(last);
    }

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
    for (int i = 0; i < kBlock; ++i) {
        wsamp_r[i] = static_cast<float>(history[i]) * window[i];
    }
    spectrum_with_unit_phase(wsamp_r, energy, phase_re, phase_im);

    // The two history slots alternate; the slot written now is the one of
    // two passes ago, read (as the older prediction input) before it is
    // overwritten line by line.
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
    //
    // Phases are kept as unit vectors, so the predicted phase 2*phi1 - phi2
    // is the complex product u1 * u1 * conj(u2): no trigonometric call per
    // line, and a perfectly steady line predicts itself exactly.
    float* r_now = raudio + (2 * ch + cur_slot) * kLines;
    const float* r_last = raudio + (2 * ch + prev_slot) * kLines;
    const float* r_older = raudio + (2 * ch + prev2_slot) * kLines;
    float* re_now = phase_re_sav + (2 * ch + cur_slot) * kLines;
    float* im_now = phase_im_sav + (2 * ch + cur_slot) * kLines;
    const float* re_last = phase_re_sav + (2 * ch + prev_slot) * kLines;
    const float* im_last = phase_im_sav + (2 * ch + prev_slot) * kLines;
    const float* re_older = phase_re_sav + (2 * ch + prev2_slot) * kLines;
    const float* im_older = phase_im_sav + (2 * ch + prev2_slot) * kLines;
    for (int w = 0; w < kLines; ++w) {
        const double r_pred = 2.0 * r_last[w] - static_cast<double>(r_older[w]);
        const double c1 = re_last[w];
        const double s1 = im_last[w];
        const double c2 = re_older[w];
        const double s2 = im_older[w];
        const double double_re = c1 * c1 - s1 * s1;  // u1 squared
        const double double_im = 2.0 * c1 * s1;
        const double pred_re = double_re * c2 + double_im * s2;  // times conj(u2)
        const double pred_im = double_im * c2 - double_re * s2;
        const double r = std::sqrt(static_cast<double>(energy[w]));
        const double now_re = phase_re[w];
        const double now_im = phase_im[w];
        r_now[w] = static_cast<float>(r);
        re_now[w] = phase_re[w];
        im_now[w] = phase_im[w];
        const double size = r + std::fabs(r_pred);
        double unpredictability = 0.0;
        if (size != 0.0) {
            const double dx = r * now_re - r_pred * pred_re;
            const double dy = r * now_im - r_pred * pred_im;
            unpredictability = std::sqrt(dx * dx + dy * dy) / size;
        }
        c[w] = static_cast<float>(unpredictability);
    }

    // Energy and energy-weighted unpredictability per partition.
    double group_e[kPartitions];
    double group_c[kPartitions];
    for (int p = 0; p < kPartitions; ++p) {
        double e = 0.0;
        double ec = 0.0;
        for (int w = first_line_[p]; w < first_line_[p + 1]; ++w) {
            e += energy[w];
            ec += static_cast<double>(energy[w]) * c[w];
        }
        group_e[p] = e;
        group_c[p] = ec;
        grouped_e[p] = static_cast<float>(e);
        grouped_c[p] = static_cast<float>(ec);
    }

    // Spread, estimate tonality, and turn it into a noise threshold.
    for (int b = 0; b < kPartitions; ++b) {
        const float* row = s + b * kPartitions;
        double spread_e = 0.0;
        double spread_c = 0.0;
        for (int k = spread_first_[b]; k <= spread_last_[b]; ++k) {
            spread_e += row[k] * group_e[k];
            spread_c += row[k] * group_c[k];
        }
        ecb[b] = static_cast<float>(spread_e);

        double ratio = spread_e != 0.0 ? spread_c / spread_e : 0.0;
        if (ratio < kMinUnpredictability) {
            ratio = kMinUnpredictability;
        } else if (ratio > kMaxUnpredictability) {
            ratio = kMaxUnpredictability;
        }
        // Tonality index: 1 for a fully predictable partition, 0 for noise.
        const double tonality = -kLog10E * std::log(ratio) - kLog10Of2;
        cb[b] = static_cast<float>(tonality);

        double snr_db = tonality * tmn[b] + (1.0 - tonality) * noise_masking_snr;
        int bark = static_cast<int>(static_cast<double>(cbval[b]) + 0.5);
        bark = bark < 0 ? 0 : (bark > 26 ? 26 : bark);
        if (snr_db <= min_snr_by_bark[bark]) {
            snr_db = min_snr_by_bark[bark];
        }
        const double snr_factor = std::exp(-kDbToNeper * snr_db);
        bc[b] = static_cast<float>(snr_factor);

        if (rnorm[b] != 0.0f && numlines[b] != 0) {
            nb[b] = static_cast<float>(spread_e * snr_factor /
                                       (numlines[b] * static_cast<double>(rnorm[b])));
        } else {
            nb[b] = 0.0f;
        }
    }

    // Threshold per line: the partition's noise threshold, at least the
    // threshold in quiet.
    for (int p = 0; p < kPartitions; ++p) {
        const float level = nb[p];
        for (int w = first_line_[p]; w < first_line_[p + 1]; ++w) {
            fthr[w] = level > absthr[w] ? level : absthr[w];
        }
    }

    // Signal-to-mask ratio per subband over its 17 lines.
    for (int sb = 0; sb < kSubbands; ++sb) {
        const int first = kLinesPerSubband * sb;
        double e = 0.0;
        for (int w = first; w <= first + kLinesPerSubband; ++w) {
            e += energy[w];
        }
        double ratio;
        if (sb < kLowSubbands) {
            float lowest = kThresholdCeiling;
            for (int w = first; w <= first + kLinesPerSubband; ++w) {
                lowest = fthr[w] < lowest ? fthr[w] : lowest;
            }
            ratio = e / (17.0 * lowest);
        } else {
            double threshold = 0.0;
            for (int w = first; w <= first + kLinesPerSubband; ++w) {
                threshold += fthr[w];
            }
            ratio = e / threshold;
        }
        smr[sb] = static_cast<float>(kNeperToDb * std::log(ratio));
    }
}

}  // namespace zuvo
