// Internal header: included by the encoder and its tests.
//
// Psychoacoustic model 2. Each call analyses the 1152 samples of one channel
// in two half-frame passes of 576 new samples: a Hann-windowed 1024-point
// spectrum (real FFT in double, rounded once to float: real_fft.h), a per-line
// unpredictability measure predicted from the channel's two previous passes,
// grouping of the 513 lines into partitions of about a third of a bark,
// spreading across partitions, a tonality estimate choosing between a tonal
// and a noise-like masking SNR, a threshold per line bounded below by the
// threshold in quiet, and finally a signal-to-mask ratio per subband, the
// larger of the two passes.
//
// The tables that depend only on the sampling rate are built once per stream
// by model_setup, on the first analysis of the stream.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace zuvo {

constexpr int kPartitions = 63;
constexpr int kLines = 513;
constexpr int kAbsthrRows = 6;
constexpr int kHistorySamples = 1344;  // per channel; 0..1055 carry input between passes

// SMR in dB reported for every subband when the model has no tables because
// its arrays could not be allocated: neutral, neither masked nor urgent.
constexpr float kFlatSmrDb = 0.0f;

// Threshold in quiet, energy scale, one row per sampling rate: 0 = 32000,
// 1 = 44100, 2 = 48000, 3 = 16000, 4 = 22050, 5 = 24000 Hz.
extern const float absthr_table[kAbsthrRows][kLines];
extern const float bark_edge_hz[27];
extern const float min_snr_by_bark[27];

// Copies row `row` (clamped into 0..kAbsthrRows - 1) of absthr_table into
// destination.
void load_absthr(float* destination, int row);
class PsychoModel {
public:
    PsychoModel() { model_reset(); }
    ~PsychoModel() { model_release(); }
    PsychoModel(const PsychoModel&) = delete;
    PsychoModel& operator=(const PsychoModel&) = delete;

    // Where set-up reports the table row it chose and a rate it had to
    // replace (silent until set).
    void set_diagnostics(const DiagnosticSink& sink) { diagnostics_ = sink; }

    // Builds the per-stream tables for `rate` (Hz). A rate other than 16000,
    // 22050, 24000, 32000, 44100 or 48000 Hz (after rounding to the nearest
    // integer) is reported to the diagnostics and replaced by the nearest of
    // them. Returns false when the
    // arrays could not be allocated (analysis then reports flat ratios).
    bool model_setup(float rate);
    // Not set up; releases the arrays of an earlier stream if still held.
    void model_reset();
    // Releases every array held (null-safe) and nulls the references.
    void model_release();
    // Lowers the threshold in quiet by `db` (0 or more; the design's coding
    // keeps 0) from the next set-up on: a listener who plays the stream
    // louder than the table assumes hears quieter noise. Kept across resets.
    void set_quiet_lowering_db(float db) { quiet_lowering_db_ = db > 0.0f ? db : 0.0f; }
    // SMR in dB for 32 subbands of one channel's 1152 samples into out; the
    // first call of a stream runs model_setup(rate). ch is 0 or 1 (anything
    // else counts as 0). Without tables (failed allocation) or without input
    // every entry is kFlatSmrDb.
    void analyze_channel(const std::int16_t* samples, std::int16_t* history, int ch, float* out,
                         float rate);
    // One half-frame pass of analyze_channel: moves `fresh` (576 samples) into
    // history, advances the slots and writes the pass's 32 SMR values into
    // smr. Public so that tests can observe single passes; without tables it
    // only writes kFlatSmrDb.
    void analyze_pass(std::int16_t* history, const std::int16_t* fresh, int ch, float* smr);

    // The per-stream arrays (null before set-up), exposed for tests.
    float* grouped_c = nullptr;
    float* grouped_e = nullptr;
    float* nb = nullptr;
    float* cb = nullptr;
    float* ecb = nullptr;
    float* bc = nullptr;
    float* wsamp_r = nullptr;  // the windowed samples of the current pass
    float* phase_re = nullptr;  // current pass: cos of each line's phase
    float* phase_im = nullptr;  // current pass: sin of each line's phase
    float* energy = nullptr;
    float* c = nullptr;
    float* fthr = nullptr;
    float* snrtmp = nullptr;
    std::int32_t* numlines = nullptr;
    std::int32_t* partition = nullptr;
    float* cbval = nullptr;
    float* rnorm = nullptr;
    float* window = nullptr;
    float* absthr = nullptr;
    float* tmn = nullptr;
    float* s = nullptr;
    // s transposed, [k][b] with 64 entries per row (b = 63 is zero), the
    // layout the spreading kernel reads.
    float* spread_t = nullptr;
    float* raudio = nullptr;
    // Phase history as unit vectors, laid out like raudio; slots start at
    // phase 0, that is (1, 0).
    float* phase_re_sav = nullptr;
    float* phase_im_sav = nullptr;

    std::int32_t model_ready = 0;
    std::int32_t cur_slot = 0;
    std::int32_t prev_slot = 1;
    std::int32_t prev2_slot = 0;
    float noise_masking_snr = 5.5f;
    std::int32_t absthr_index = 0;

private:
    // Derived at set-up from the tables above, so that a pass visits only
    // what contributes: the lines of partition p are first_line_[p] ..
    // first_line_[p + 1] - 1 (an empty partition has first == next), and
    // partitions from used_partitions_ on have no lines at this rate.
    std::int16_t first_line_[kPartitions + 1] = {};
    int used_partitions_ = 0;
    // Per partition: the lowest SNR allowed (dB, from its bark value) and
    // 1 / (numlines rnorm), 0 for a partition without lines.
    float min_snr_[kPartitions] = {};
    float inv_norm_[kPartitions] = {};
    bool tables_built_ = false;
    float quiet_lowering_db_ = 0.0f;
    DiagnosticSink diagnostics_;
};

}  // namespace zuvo
