// Internal header: the per-line and per-partition loops of the model's
// analysis, included by the model and its tests.
//
// Each kernel is a plain loop over independent outputs (single precision per
// line, double per partition and subband): the compiler vectorizes it across
// outputs, never inside one sum, so every output is the same sequence of IEEE
// operations at every vector width (the baseline and AVX2 builds, Windows x86
// with SSE2 and x64 agree bit for bit).
#pragma once

#include <cstdint>

namespace zuvo {

// Unpredictability of lines 0..n-1. For each line the previous two passes
// predict magnitude r^ = 2 r1 - r2 and phase u^ = u1 u1 conj(u2) (phases as
// unit vectors, so the predicted angle 2 phi1 - phi2 needs no trigonometric
// call); with r = magnitude = sqrt(energy) and u the current phase,
//   c = |r u - r^ u^| / (r + |r^|),   0 when r + |r^| = 0.
// The energy-weighted unpredictability energy * c goes to weighted_c.
// The older pass is not needed again: once read, each line of r_older,
// re_older, im_older is overwritten with this pass's magnitude and phase, so
// the history advances without a separate copy.
void unpredictability(const float* __restrict energy, const float* __restrict magnitude,
                      const float* __restrict re, const float* __restrict im,
                      const float* __restrict r_last, const float* __restrict re_last,
                      const float* __restrict im_last, float* __restrict r_older,
                      float* __restrict re_older, float* __restrict im_older,
                      float* __restrict c, float* __restrict weighted_c, int n);

// Windowing of the transform's input: out[i] = samples[i] * window[i] in
// single precision, i < n.
void apply_window(const std::int16_t* __restrict samples, const float* __restrict window,
                  float* __restrict out, int n);

// Spreading across partitions: for every output b < rows,
//   spread_e[b] = sum over k < columns of s_t[k * rows + b] * group_e[k],
//   spread_c[b] likewise with group_c,
// summed in ascending k. s_t is the spreading matrix transposed (row k holds
// how partition k spreads into every partition b), rows a multiple of 64.
// The kernel has a copy per instruction set, all giving the same bits;
// `copy` (0 = baseline .. spread_copies() - 1) picks one, for tests that
// compare them, and by default the widest this machine runs.
void spread(const float* __restrict s_t, const float* __restrict group_e, const float* __restrict group_c,
            float* __restrict spread_e, float* __restrict spread_c, int rows, int columns, int copy = -1);
int spread_copies();

// Natural logarithm and exponential by range reduction and a polynomial, in
// plain arithmetic and integer operations on the bits (no library call,
// vectorizable, the same bits on every platform).
// log_kernel: x a positive normal number. Writes x = 2^k m with m in
// [sqrt(1/2), sqrt(2)), then ln x = k ln 2 + 2 atanh((m - 1) / (m + 1)) by
// its odd series: to a few units in the last place of a double, or of a
// float for the single-precision version.
// exp_kernel: |y| < 87. Writes y = n ln 2 + f with n the nearest integer to
// y / ln 2, then e^y = 2^n e^f by the Taylor series of e^f (|f| <= 0.35) and
// the exponent bits of 2^n, to a few units in the last place of a float.
double log_kernel(double x);
float log_kernel(float x);
float exp_kernel(float y);

// Noise threshold of partitions b < rows from their spread energy and
// spread weighted unpredictability, in single precision:
//   ratio = spread_c / spread_e (0 when spread_e = 0), clamped to [0.05, 0.5],
//   tonality[b] = -log10(ratio) - log10(2)    (1 tonal .. 0 noise-like),
//   snr = max(tonality tmn[b] + (1 - tonality) noise_snr, min_snr[b])  dB,
//   factor[b] = 10^(-snr / 10),
//   nb[b] = spread_e factor[b] inv_norm[b].
void partition_thresholds(const float* __restrict spread_e, const float* __restrict spread_c,
                          const float* __restrict tmn, const float* __restrict min_snr,
                          const float* __restrict inv_norm, float noise_snr,
                          float* __restrict tonality, float* __restrict factor,
                          float* __restrict nb, int rows);

// Threshold of every line: fthr[w] = max(nb[partition[w]], absthr[w]), w < n,
// for nb[0 .. partitions - 1], partitions <= kMaxPartitions. Copies per
// instruction set as for spread.
constexpr int kMaxPartitions = 64;
void line_thresholds(const float* __restrict nb, int partitions, const std::int32_t* __restrict partition,
                     const float* __restrict absthr, float* __restrict fthr, int n, int copy = -1);
int line_threshold_copies();

// Per subband sb < 32 over its 17 lines L = 16 sb .. 16 sb + 16 (lines 0..512;
// neighbours share one line): the energy E = sum of energy[L] and the
// threshold T = the sum of fthr[L] (sb >= low) or 17 times the smallest
// fthr[L], at most `ceiling` (sb < low); ratio[sb] = E / T in double. The
// sums of 17 values run in single precision in one fixed order on every
// path: lines j and j + 8 (j < 8) first, those 8 sums in pairs, line 16 last.
void subband_ratios(const float* __restrict energy, const float* __restrict fthr, int low,
                    float ceiling, double* __restrict ratio);

// smr[i] = 10 log10(ratio[i]) for i < n, ratio positive and normal.
void ratio_to_db(const double* __restrict ratio, float* __restrict smr, int n);

}  // namespace zuvo
