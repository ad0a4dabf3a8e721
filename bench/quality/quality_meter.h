// quality_meter — an objective quality meter for decoded audio, in the manner
// of a total noise-to-mask ratio (NMR). It is a development and benchmark aid,
// not installed, and deliberately shares nothing with the encoder's own
// psychoacoustic model: the encoder must not grade itself.
//
// Method. The original and the decoded signal (aligned by a lag) are cut into
// 2048-sample Hann-windowed frames with a hop of 1024. Per channel and frame,
// the power spectra of the original and of the noise (decoded - original) are
// scaled so that a full-scale 1 kHz sine is 92 dB SPL and summed into bands a
// third of a bark wide (Zwicker's bark scale, z = 13 atan(0.00076 f) +
// 3.5 atan((f/7500)^2)), from the first bin above DC up to the Nyquist
// frequency; a third of a bark that holds no bin is merged into its neighbour.
// The masked threshold of the ORIGINAL in each band is
//   - its band energies spread over the bark scale with two slopes: +27 dB per
//     bark towards lower bands and -(24 + 230 Hz/f - 0.2 L) dB per bark
//     towards higher bands (f the masker's centre frequency, L its level in
//     dB SPL; the slope is held at 4 dB/bark or steeper), normalised so that a
//     flat excitation keeps its level;
//   - lowered by one conservative masking offset that assumes no tonality
//     analysis: 12 dB at 0 bark falling linearly to 6 dB at 24 bark;
//   - never below the threshold in quiet (Terhardt's formula, the lowest value
//     over the band's bins).
// Frames in which every band of the original lies below the threshold in
// quiet are skipped. The noise energy over the mask is averaged linearly over
// bands, then over frames and channels, and reported in dB (nmr_db: lower is
// better, negative means the noise sits below the mask). frames_over_mask is
// the share of the measured (channel, frame) pairs in which some band's noise
// exceeds its mask by more than 1.5 dB. snr_db is the plain SNR over the
// compared range. bandwidth_hz is the highest bin frequency at which, averaged
// over the measured frames, the original is audible (its band's energy is
// above the band's threshold in quiet) and the decoded signal keeps at least
// 1% (-20 dB) of the original's power in that bin: above it the decoded energy
// is negligible beside the original's, or the original has nothing audible
// (0 when no bin qualifies). Ratios with no noise at all are held at -200 dB / +200 dB.
#pragma once

#include <string>
#include <vector>

namespace zuvo::quality {

// Planar audio: channels[c][n], full scale +-1.0.
struct Audio {
    int rate = 48000;
    std::vector<std::vector<double>> channels;
    [[nodiscard]] std::size_t length() const { return channels.empty() ? 0 : channels[0].size(); }
};

struct Result {
    double nmr_db = 0;
    double frames_over_mask = 0;
    double snr_db = 0;
    double bandwidth_hz = 0;
    int lag = 0;
    // Per band: its highest frequency and its mean noise-to-mask ratio in dB
    // over the measured frames (where a total NMR comes from).
    std::vector<double> band_top_hz;
    std::vector<double> band_nmr_db;
};

// The lag in 0..max_lag (samples dropped from the start of `decoded`) that
// maximises the normalised cross-correlation of the two mono sums: a coarse
// search on 4:1 decimated signals, then every lag within 6 samples of the
// coarse best at the full rate. Looks at the first 2^19 samples at most.
//
// `expected` (a codec's known delay; -1 for none) wins wherever it correlates
// within 0.001 of the best lag found: periodic material (a square wave, a
// chord of tones) correlates almost equally at every period, and the search
// alone would pick one of them by the noise.
int find_lag(const Audio& original, const Audio& decoded, int max_lag = 3000, int expected = -1);

// Measures `decoded` against `original` with the first `lag` samples of
// `decoded` dropped, over the overlapping length. Both must have the same rate
// and channel count (checked by the caller); throws std::invalid_argument if
// they do not or if nothing overlaps.
Result measure(const Audio& original, const Audio& decoded, int lag);

// The program's output line, keys in this order:
// nmr_db=%.2f frames_over_mask=%.4f snr_db=%.2f bandwidth_hz=%.0f lag=%d
std::string format(const Result& result);

}  // namespace zuvo::quality
