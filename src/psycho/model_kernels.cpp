// The model's per-line and per-partition loops; see model_kernels.h.
#include "psycho/model_kernels.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

#if ZUVO_MULTIVERSION
#include <immintrin.h>
#endif

namespace zuvo {

ZUVO_VECTOR_KERNEL
static void unpredictability_clones(const float* __restrict energy,
                                    const float* __restrict magnitude,
                                    const float* __restrict re, const float* __restrict im,
                                    const float* __restrict r_last,
                                    const float* __restrict re_last,
                                    const float* __restrict im_last,
                                    float* __restrict r_older,
                                    float* __restrict re_older,
                                    float* __restrict im_older, float* __restrict c,
                                    float* __restrict weighted_c, int n) {
    for (int w = 0; w < n; ++w) {
        const float r_pred = 2.0f * r_last[w] - r_older[w];
        const float c1 = re_last[w];
        const float s1 = im_last[w];
        const float double_re = c1 * c1 - s1 * s1;  // u1 squared
        const float double_im = 2.0f * c1 * s1;
        const float pred_re = double_re * re_older[w] + double_im * im_older[w];  // times conj(u2)
        const float pred_im = double_im * re_older[w] - double_re * im_older[w];
        const float r = magnitude[w];
        const float dx = r * re[w] - r_pred * pred_re;
        const float dy = r * im[w] - r_pred * pred_im;
        const float size = r + std::fabs(r_pred);
        // When size is 0 both magnitudes are 0, so is the distance, and
        // dividing it by 1 gives c = 0 without a branch.
        const float unpredictable = std::sqrt(dx * dx + dy * dy) / (size != 0.0f ? size : 1.0f);
        c[w] = unpredictable;
        weighted_c[w] = energy[w] * unpredictable;
        r_older[w] = r;
        re_older[w] = re[w];
        im_older[w] = im[w];
    }
}

ZUVO_VECTOR_KERNEL
static void apply_window_clones(const std::int16_t* __restrict samples,
                                const float* __restrict window, float* __restrict out, int n) {
    for (int i = 0; i < n; ++i) {
        out[i] = static_cast<float>(samples[i]) * window[i];
    }
}

// Eight floats processed as one value (a vector of the compiler's; each lane
// is plain IEEE single-precision arithmetic, lowered to whatever vector
// instructions the copy is compiled for).
typedef float Float8 __attribute__((vector_size(32)));

namespace {

// Blocks of 4 x Lanes rows whose eight running sums (four of spread energy,
// four of spread unpredictability) stay in registers across all columns;
// lane b of a sum adds the columns in ascending k, as the plain loop would.
template <int Lanes>
__attribute__((always_inline)) inline void spread_rows(const float* __restrict s_t,
                                                       const float* __restrict group_e,
                                                       const float* __restrict group_c,
                                                       float* __restrict spread_e,
                                                       float* __restrict spread_c, int rows,
                                                       int columns) {
    typedef float Vec __attribute__((vector_size(4 * Lanes)));
    constexpr int kRows = 4 * Lanes;
    for (int b0 = 0; b0 + kRows <= rows; b0 += kRows) {
        Vec e[4] = {};
        Vec c[4] = {};
        for (int k = 0; k < columns; ++k) {
            const float* row = s_t + k * rows + b0;
            const float g = group_e[k];
            const float h = group_c[k];
            for (int i = 0; i < 4; ++i) {
                Vec r;
                std::memcpy(&r, row + Lanes * i, sizeof r);
                e[i] += r * g;
                c[i] += r * h;
            }
        }
        for (int i = 0; i < 4; ++i) {
            std::memcpy(spread_e + b0 + Lanes * i, &e[i], sizeof e[i]);
            std::memcpy(spread_c + b0 + Lanes * i, &c[i], sizeof c[i]);
        }
    }
}

using SpreadKernel = void (*)(const float*, const float*, const float*, float*, float*, int, int);

void spread_baseline(const float* s_t, const float* group_e, const float* group_c, float* spread_e,
                     float* spread_c, int rows, int columns) {
    spread_rows<8>(s_t, group_e, group_c, spread_e, spread_c, rows, columns);
}

#if ZUVO_MULTIVERSION
__attribute__((target("avx2"))) void spread_avx2(const float* s_t, const float* group_e,
                                                 const float* group_c, float* spread_e,
                                                 float* spread_c, int rows, int columns) {
    spread_rows<8>(s_t, group_e, group_c, spread_e, spread_c, rows, columns);
}
// Sixteen lanes: all 64 rows in one block.
__attribute__((target("avx512f"))) void spread_avx512(const float* s_t, const float* group_e,
                                                      const float* group_c, float* spread_e,
                                                      float* spread_c, int rows, int columns) {
    spread_rows<16>(s_t, group_e, group_c, spread_e, spread_c, rows, columns);
}
#endif

const KernelCopies<SpreadKernel>& spread_kernels() {
    static const KernelCopies<SpreadKernel> kernels =
        find_kernel_copies<SpreadKernel>(spread_baseline, ZUVO_COPY(spread_avx2), ZUVO_COPY(spread_avx512));
    return kernels;
}

}  // namespace

namespace {

std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

double from_bits(std::uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

constexpr double kLn2High = 0.693147180369123816490;  // ln 2 in 32 significant bits
constexpr double kLn2Low = 1.90821492927058770002e-10;  // the rest
constexpr double kSqrt2 = 1.4142135623730950488;

inline double log_inline(double x) {
    const std::uint64_t bits = bits_of(x);
    // Biased exponent as a double, without an integer-to-double conversion:
    // 2^52 + e has e in its low bits.
    const double biased = from_bits((bits >> 52) | 0x4330000000000000ull) - 4503599627370496.0;
    double m = from_bits((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);  // [1, 2)
    double k = biased - 1023.0;
    const bool high = m > kSqrt2;
    m = high ? 0.5 * m : m;
    k = high ? k + 1.0 : k;
    const double s = (m - 1.0) / (m + 1.0);  // |s| <= 0.1716
    const double s2 = s * s;
    // 2 atanh(s) = 2 (s + s^3/3 + s^5/5 + ...), to s^21.
    double series = 1.0 / 21.0;
    series = series * s2 + 1.0 / 19.0;
    series = series * s2 + 1.0 / 17.0;
    series = series * s2 + 1.0 / 15.0;
    series = series * s2 + 1.0 / 13.0;
    series = series * s2 + 1.0 / 11.0;
    series = series * s2 + 1.0 / 9.0;
    series = series * s2 + 1.0 / 7.0;
    series = series * s2 + 1.0 / 5.0;
    series = series * s2 + 1.0 / 3.0;
    const double atanh2 = 2.0 * s + 2.0 * s * s2 * series;
    return k * kLn2High + (atanh2 + k * kLn2Low);
}

std::uint32_t bits_of(float x) {
    std::uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

float from_bits(std::uint32_t b) {
    float x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

constexpr float kLn2HighF = 0.693145751953125f;  // ln 2 in 16 significant bits
constexpr float kLn2LowF = 1.428606765330187e-06f;
constexpr float kInvLn2F = 1.44269504f;
constexpr float kSqrt2F = 1.41421356f;
// Adding and subtracting 1.5 * 2^23 rounds a float of magnitude below 2^22 to
// the nearest integer, which then sits in the low bits of the sum.
constexpr float kRoundMagicF = 12582912.0f;

// The single-precision counterparts, to about 1e-7 relative: the same
// reductions, shorter series.
inline float log_inline(float x) {
    const std::uint32_t bits = bits_of(x);
    const float biased = from_bits((bits >> 23) | 0x4B000000u) - 8388608.0f;
    float m = from_bits((bits & 0x007FFFFFu) | 0x3F800000u);  // [1, 2)
    float k = biased - 127.0f;
    const bool high = m > kSqrt2F;
    m = high ? 0.5f * m : m;
    k = high ? k + 1.0f : k;
    const float s = (m - 1.0f) / (m + 1.0f);  // |s| <= 0.1716
    const float s2 = s * s;
    float series = 1.0f / 9.0f;  // 2 atanh(s) to s^9
    series = series * s2 + 1.0f / 7.0f;
    series = series * s2 + 1.0f / 5.0f;
    series = series * s2 + 1.0f / 3.0f;
    const float atanh2 = 2.0f * s + 2.0f * s * s2 * series;
    return k * kLn2HighF + (atanh2 + k * kLn2LowF);
}

inline float exp_inline(float y) {
    const float shifted = y * kInvLn2F + kRoundMagicF;
    const float n = shifted - kRoundMagicF;
    const float f = (y - n * kLn2HighF) - n * kLn2LowF;  // |f| <= 0.35
    float p = 1.0f / 5040.0f;  // e^f to f^7
    p = p * f + 1.0f / 720.0f;
    p = p * f + 1.0f / 120.0f;
    p = p * f + 1.0f / 24.0f;
    p = p * f + 1.0f / 6.0f;
    p = p * f + 0.5f;
    p = p * f + 1.0f;
    p = p * f + 1.0f;
    const std::uint32_t integer = bits_of(shifted) - bits_of(kRoundMagicF);
    return p * from_bits((integer + 127u) << 23);
}

}  // namespace

double log_kernel(double x) { return log_inline(x); }
float log_kernel(float x) { return log_inline(x); }
float exp_kernel(float y) { return exp_inline(y); }

ZUVO_VECTOR_KERNEL
static void partition_thresholds_clones(const float* __restrict spread_e,
                                        const float* __restrict spread_c,
                                        const float* __restrict tmn,
                                        const float* __restrict min_snr,
                                        const float* __restrict inv_norm, float noise_snr,
                                        float* __restrict tonality, float* __restrict factor,
                                        float* __restrict nb, int rows) {
    constexpr float kLog10E = 0.434294482f;
    constexpr float kLog10Of2 = 0.301029996f;
    constexpr float kDbToNeper = 0.2302585093f;
    for (int b = 0; b < rows; ++b) {
        const float e = spread_e[b];
        // Dividing by 1 where e = 0 keeps the loop free of branches.
        float ratio = e != 0.0f ? spread_c[b] / (e != 0.0f ? e : 1.0f) : 0.0f;
        ratio = ratio < 0.05f ? 0.05f : (ratio > 0.5f ? 0.5f : ratio);
        const float tb = -kLog10E * log_inline(ratio) - kLog10Of2;
        tonality[b] = tb;
        float snr = tb * tmn[b] + (1.0f - tb) * noise_snr;
        snr = snr <= min_snr[b] ? min_snr[b] : snr;
        const float f = exp_inline(-kDbToNeper * snr);
        factor[b] = f;
        nb[b] = e * f * inv_norm[b];
    }
}

ZUVO_VECTOR_KERNEL
static void line_thresholds_clones(const float* __restrict nb,
                                   const std::int32_t* __restrict partition,
                                   const float* __restrict absthr, float* __restrict fthr, int n) {
    for (int w = 0; w < n; ++w) {
        const float level = nb[partition[w]];
        fthr[w] = level > absthr[w] ? level : absthr[w];
    }
}

namespace {

using LineThresholds = void (*)(const float*, int, const std::int32_t*, const float*, float*, int);

void line_thresholds_baseline(const float* nb, int /*partitions*/, const std::int32_t* partition,
                              const float* absthr, float* fthr, int n) {
    line_thresholds_clones(nb, partition, absthr, fthr, n);
}

#if ZUVO_MULTIVERSION
// With AVX-512 the partition thresholds (at most 64) fit in four registers,
// and a line's threshold is picked from them by two two-register permutes
// and a blend on bit 5 of its partition, sixteen lines at a time, instead of
// being gathered from memory.
__attribute__((target("avx512f"))) void line_thresholds_avx512(const float* nb, int partitions,
                                                             const std::int32_t* partition,
                                                             const float* absthr, float* fthr,
                                                             int n) {
    alignas(64) float table[kMaxPartitions] = {};
    for (int p = 0; p < partitions && p < kMaxPartitions; ++p) table[p] = nb[p];
    const __m512 t0 = _mm512_load_ps(table);
    const __m512 t1 = _mm512_load_ps(table + 16);
    const __m512 t2 = _mm512_load_ps(table + 32);
    const __m512 t3 = _mm512_load_ps(table + 48);
    const __m512i bit5 = _mm512_set1_epi32(32);
    int w = 0;
    for (; w + 16 <= n; w += 16) {
        const __m512i index = _mm512_loadu_si512(partition + w);
        const __m512 low = _mm512_permutex2var_ps(t0, index, t1);
        const __m512 high = _mm512_permutex2var_ps(t2, index, t3);
        const __m512 level = _mm512_mask_blend_ps(_mm512_test_epi32_mask(index, bit5), low, high);
        typedef float Float16 __attribute__((vector_size(64)));
        const Float16 chosen = reinterpret_cast<const Float16&>(level);
        Float16 quiet;
        std::memcpy(&quiet, absthr + w, sizeof quiet);
        const Float16 result = chosen > quiet ? chosen : quiet;
        std::memcpy(fthr + w, &result, sizeof result);
    }
    for (; w < n; ++w) {
        const float level = nb[partition[w]];
        fthr[w] = level > absthr[w] ? level : absthr[w];
    }
}
#endif

const KernelCopies<LineThresholds>& line_threshold_kernels() {
    static const KernelCopies<LineThresholds> kernels = find_kernel_copies<LineThresholds>(
        line_thresholds_baseline, nullptr, ZUVO_COPY(line_thresholds_avx512));
    return kernels;
}

}  // namespace

namespace {

// Sum of the 17 values v[0..16] in a fixed order: the two halves of 8 added
// lane by lane, the 8 lanes in pairs, then v[16]:
// ((s0 + s4) + (s2 + s6)) + ((s1 + s5) + (s3 + s7)) + v[16]. The pairs are
// formed by moving lanes down within the vector (lane j + 4, then j + 2,
// then j + 1 onto lane j), so that the sums never leave the registers.
typedef std::int32_t Index8 __attribute__((vector_size(32)));

inline float sum17(const float* v) {
    Float8 a;
    Float8 b;
    std::memcpy(&a, v, sizeof a);
    std::memcpy(&b, v + 8, sizeof b);
    const Float8 s = a + b;
    const Float8 u = s + ZUVO_SHUFFLE(s, Index8, 4, 5, 6, 7, 4, 5, 6, 7);
    const Float8 p = u + ZUVO_SHUFFLE(u, Index8, 2, 3, 2, 3, 2, 3, 2, 3);
    const Float8 w = p + ZUVO_SHUFFLE(p, Index8, 1, 1, 1, 1, 1, 1, 1, 1);
    return w[0] + v[16];
}

inline float min17(const float* v, float ceiling) {
    float lowest = ceiling;
    for (int j = 0; j <= 16; ++j) {
        lowest = v[j] < lowest ? v[j] : lowest;
    }
    return lowest;
}

}  // namespace

ZUVO_VECTOR_KERNEL
static void subband_ratios_clones(const float* __restrict energy, const float* __restrict fthr,
                                  int low, float ceiling, double* __restrict ratio) {
    constexpr int kSubbands = 32;
    constexpr int kStep = 16;
    for (int sb = 0; sb < kSubbands; ++sb) {
        const double e = sum17(energy + kStep * sb);
        const double threshold =
            sb < low ? 17.0 * min17(fthr + kStep * sb, ceiling) : sum17(fthr + kStep * sb);
        ratio[sb] = e / threshold;
    }
}

ZUVO_VECTOR_KERNEL
static void ratio_to_db_clones(const double* __restrict ratio, float* __restrict smr, int n) {
    constexpr double kNeperToDb = 4.342944819;
    for (int i = 0; i < n; ++i) {
        smr[i] = static_cast<float>(kNeperToDb * log_inline(ratio[i]));
    }
}

// The entry points the model calls. The instruction-set copies above stay
// static: a function with copies and external linkage would be exported from
// the shared library through its resolver.
void unpredictability(const float* __restrict energy, const float* __restrict magnitude,
                      const float* __restrict re, const float* __restrict im,
                      const float* __restrict r_last, const float* __restrict re_last,
                      const float* __restrict im_last, float* __restrict r_older,
                      float* __restrict re_older, float* __restrict im_older,
                      float* __restrict c, float* __restrict weighted_c, int n) {
    unpredictability_clones(energy, magnitude, re, im, r_last, re_last, im_last, r_older,
                            re_older, im_older, c, weighted_c, n);
}

void apply_window(const std::int16_t* __restrict samples, const float* __restrict window,
                  float* __restrict out, int n) {
    apply_window_clones(samples, window, out, n);
}

void spread(const float* __restrict s_t, const float* __restrict group_e,
            const float* __restrict group_c, float* __restrict spread_e,
            float* __restrict spread_c, int rows, int columns, int copy) {
    spread_kernels().pick(copy)(s_t, group_e, group_c, spread_e, spread_c, rows, columns);
}

int spread_copies() {
    return spread_kernels().count;
}

void partition_thresholds(const float* __restrict spread_e, const float* __restrict spread_c,
                          const float* __restrict tmn, const float* __restrict min_snr,
                          const float* __restrict inv_norm, float noise_snr,
                          float* __restrict tonality, float* __restrict factor,
                          float* __restrict nb, int rows) {
    partition_thresholds_clones(spread_e, spread_c, tmn, min_snr, inv_norm, noise_snr, tonality,
                                factor, nb, rows);
}

void line_thresholds(const float* __restrict nb, int partitions, const std::int32_t* __restrict partition,
                     const float* __restrict absthr, float* __restrict fthr, int n, int copy) {
    line_threshold_kernels().pick(copy)(nb, partitions, partition, absthr, fthr, n);
}

int line_threshold_copies() {
    return line_threshold_kernels().count;
}

void ratio_to_db(const double* __restrict ratio, float* __restrict smr, int n) {
    ratio_to_db_clones(ratio, smr, n);
}

void subband_ratios(const float* __restrict energy, const float* __restrict fthr, int low,
                    float ceiling, double* __restrict ratio) {
    subband_ratios_clones(energy, fthr, low, ceiling, ratio);
}

}  // namespace zuvo
