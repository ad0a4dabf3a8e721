// The model's per-line and per-partition loops; see model_kernels.h.
#include "psycho/model_kernels.h"

#include <cmath>

#include "platform/platform.h"

namespace zuvo {

ZUVO_VECTOR_KERNEL
void unpredictability(const float* __restrict energy, const float* __restrict re,
                      const float* __restrict im, const float* __restrict r_last,
                      const float* __restrict re_last, const float* __restrict im_last,
                      const float* __restrict r_older, const float* __restrict re_older,
                      const float* __restrict im_older, float* __restrict r_now,
                      float* __restrict c, float* __restrict weighted_c, int n) {
    for (int w = 0; w < n; ++w) {
        const float r_pred = 2.0f * r_last[w] - r_older[w];
        const float c1 = re_last[w];
        const float s1 = im_last[w];
        const float double_re = c1 * c1 - s1 * s1;  // u1 squared
        const float double_im = 2.0f * c1 * s1;
        const float pred_re = double_re * re_older[w] + double_im * im_older[w];  // times conj(u2)
        const float pred_im = double_im * re_older[w] - double_re * im_older[w];
        const float r = std::sqrt(energy[w]);
        r_now[w] = r;
        const float dx = r * re[w] - r_pred * pred_re;
        const float dy = r * im[w] - r_pred * pred_im;
        const float size = r + std::fabs(r_pred);
        // When size is 0 both magnitudes are 0, so is the distance, and
        // dividing it by 1 gives c = 0 without a branch.
        const float unpredictable = std::sqrt(dx * dx + dy * dy) / (size != 0.0f ? size : 1.0f);
        c[w] = unpredictable;
        weighted_c[w] = energy[w] * unpredictable;
    }
}

ZUVO_VECTOR_KERNEL
void apply_window(const std::int16_t* __restrict samples, const float* __restrict window,
                  float* __restrict out, int n) {
    for (int i = 0; i < n; ++i) {
        out[i] = static_cast<float>(samples[i]) * window[i];
    }
}

ZUVO_VECTOR_KERNEL
void spread(const float* __restrict s_t, const float* __restrict group_e,
            const float* __restrict group_c, float* __restrict spread_e,
            float* __restrict spread_c, int rows, int columns) {
    for (int b = 0; b < rows; ++b) {
        spread_e[b] = 0.0f;
        spread_c[b] = 0.0f;
    }
    for (int k = 0; k < columns; ++k) {
        const float* row = s_t + k * rows;
        const float e = group_e[k];
        const float ec = group_c[k];
        for (int b = 0; b < rows; ++b) {
            spread_e[b] += row[b] * e;
            spread_c[b] += row[b] * ec;
        }
    }
}

}  // namespace zuvo
