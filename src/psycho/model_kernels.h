// Internal header: the per-line and per-partition loops of the model's
// analysis, included by the model and its tests.
//
// Each kernel is a plain loop over independent outputs in single precision:
// the compiler vectorizes it across outputs, never inside one sum, so every
// output is the same sequence of IEEE operations at every vector width (the
// baseline and AVX2 builds, Windows x86 with SSE2 and x64 agree bit for bit).
#pragma once

#include <cstdint>

namespace zuvo {

// Unpredictability of lines 0..n-1. For each line the previous two passes
// predict magnitude r^ = 2 r1 - r2 and phase u^ = u1 u1 conj(u2) (phases as
// unit vectors, so the predicted angle 2 phi1 - phi2 needs no trigonometric
// call); with r = sqrt(energy) and u the current phase,
//   c = |r u - r^ u^| / (r + |r^|),   0 when r + |r^| = 0.
// The line's magnitude r is written to r_now for the next passes, and its
// energy-weighted unpredictability energy * c to weighted_c.
void unpredictability(const float* __restrict energy, const float* __restrict re,
                      const float* __restrict im, const float* __restrict r_last,
                      const float* __restrict re_last, const float* __restrict im_last,
                      const float* __restrict r_older, const float* __restrict re_older,
                      const float* __restrict im_older, float* __restrict r_now,
                      float* __restrict c, float* __restrict weighted_c, int n);

// Windowing of the transform's input: out[i] = samples[i] * window[i] in
// single precision, i < n.
void apply_window(const std::int16_t* __restrict samples, const float* __restrict window,
                  float* __restrict out, int n);

// Spreading across partitions: for every output b < rows,
//   spread_e[b] = sum over k < columns of s_t[k * rows + b] * group_e[k],
//   spread_c[b] likewise with group_c,
// summed in ascending k. s_t is the spreading matrix transposed (row k holds
// how partition k spreads into every partition b), rows a multiple of 8.
void spread(const float* __restrict s_t, const float* __restrict group_e,
            const float* __restrict group_c, float* __restrict spread_e,
            float* __restrict spread_c, int rows, int columns);

}  // namespace zuvo
