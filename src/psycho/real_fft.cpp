// The model's 1024-point real FFT and spectrum; the algorithm is described in
// real_fft.h.
#include "psycho/real_fft.h"

#include <array>
#include <cmath>

#include "platform/platform.h"

namespace zuvo {

namespace {

// The transform is compiled for AVX-512 too where the other kernels stop at
// AVX2: its double-precision butterflies gain most from wider vectors. The
// operations and their order are the same in every copy, so are the bits.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define ZUVO_FFT_KERNEL __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define ZUVO_FFT_KERNEL
#endif

// The helpers below are inlined into each instruction-set copy of the two
// kernels; left out of line they would only exist for the baseline.
#define ZUVO_KERNEL_PART __attribute__((always_inline)) inline

constexpr int kHalf = 512;  // complex points
using Real = double;       // precision of the transform's arithmetic

// ------------------------------------------------ compile-time twiddles

struct CosSin {
    double c;
    double s;
};

// cos and sin of t for 0 <= t <= pi/4 by their Taylor series (the terms
// fall below 1e-20 long before the last one).
constexpr CosSin taylor(double t) {
    double c = 0.0;
    double s = 0.0;
    double term_c = 1.0;
    double term_s = t;
    for (int i = 0; i < 14; ++i) {
        c += term_c;
        s += term_s;
        term_c *= -t * t / ((2.0 * i + 1.0) * (2.0 * i + 2.0));
        term_s *= -t * t / ((2.0 * i + 2.0) * (2.0 * i + 3.0));
    }
    return {c, s};
}

// cos and sin of 2 pi j / n (n a multiple of 8), reduced to the first
// octant by the symmetries of the circle.
constexpr CosSin unit_root(long j, long n) {
    constexpr double kTwoPi = 6.283185307179586476925286766559;
    j %= n;
    if (j < 0) {
        j += n;
    }
    const long quadrant = 4 * j / n;
    const long r = j - quadrant * (n / 4);  // 0 <= r < n/4
    CosSin v{};
    if (2 * r <= n / 4) {
        v = taylor(kTwoPi * static_cast<double>(r) / static_cast<double>(n));
    } else {
        const CosSin w = taylor(kTwoPi * static_cast<double>(n / 4 - r) / static_cast<double>(n));
        v = {w.s, w.c};
    }
    switch (quadrant) {
        case 0:
            return v;
        case 1:
            return {-v.s, v.c};
        case 2:
            return {-v.c, -v.s};
        default:
            return {v.s, -v.c};
    }
}

// The forward factors W_n^(k p) = e^(-2 pi i k p / n), k = 1, 2, 3, of the
// radix-4 pass on sub-transforms of length n, for p = 0 .. n/4 - 1, stored
// as six rows of n/4 values (w1 re, w1 im, w2 re, w2 im, w3 re, w3 im) in
// one table for all four passes (n = 512, 128, 32, 8).
constexpr int kTwiddleCount = 6 * (128 + 32 + 8 + 2);
constexpr int twiddle_offset(int n) {
    return n == 512 ? 0 : n == 128 ? 6 * 128 : n == 32 ? 6 * (128 + 32) : 6 * (128 + 32 + 8);
}

constexpr std::array<Real, kTwiddleCount> make_twiddles() {
    std::array<Real, kTwiddleCount> t{};
    for (int n = 512; n >= 8; n /= 4) {
        const int m = n / 4;
        const int base = twiddle_offset(n);
        for (int p = 0; p < m; ++p) {
            for (int k = 1; k <= 3; ++k) {
                const CosSin w = unit_root(static_cast<long>(k) * p, n);
                t[static_cast<std::size_t>(base + (2 * k - 2) * m + p)] = static_cast<Real>(w.c);
                t[static_cast<std::size_t>(base + (2 * k - 1) * m + p)] = static_cast<Real>(-w.s);
            }
        }
    }
    return t;
}

// e^(-2 pi i k / 1024) for k = 0..512: the split of the packed transform.
struct SplitTable {
    std::array<Real, kHalf + 1> re{};
    std::array<Real, kHalf + 1> im{};
};

constexpr SplitTable make_split() {
    SplitTable t{};
    for (int k = 0; k <= kHalf; ++k) {
        const CosSin w = unit_root(k, 2 * kHalf);
        t.re[static_cast<std::size_t>(k)] = static_cast<Real>(w.c);
        t.im[static_cast<std::size_t>(k)] = static_cast<Real>(-w.s);
    }
    return t;
}

constexpr std::array<Real, kTwiddleCount> kTwiddles = make_twiddles();
constexpr SplitTable kSplit = make_split();

// ------------------------------------------------------------- passes

// One radix-4 decimation-in-frequency Stockham pass over sub-transforms of
// length n with stride s (n * s = 512): for p < n/4 and q < s, the four
// inputs x[q + s (p + j m)], j = 0..3 (m = n/4), go to y[q + s (4p + j)],
// the outputs 1..3 turned by W_n^p, W_n^2p, W_n^3p.
ZUVO_KERNEL_PART void radix4_butterfly(Real ar, Real ai, Real br, Real bi, Real cr, Real ci, Real dr,
                             Real di, const Real* w, int m, int p, Real* yr, Real* yi, int out,
                             int s) {
    const Real apc_r = ar + cr;
    const Real apc_i = ai + ci;
    const Real amc_r = ar - cr;
    const Real amc_i = ai - ci;
    const Real bpd_r = br + dr;
    const Real bpd_i = bi + di;
    // -i (b - d)
    const Real jbd_r = bi - di;
    const Real jbd_i = dr - br;
    const Real y1r = amc_r + jbd_r;
    const Real y1i = amc_i + jbd_i;
    const Real y2r = apc_r - bpd_r;
    const Real y2i = apc_i - bpd_i;
    const Real y3r = amc_r - jbd_r;
    const Real y3i = amc_i - jbd_i;
    const Real w1r = w[p];
    const Real w1i = w[m + p];
    const Real w2r = w[2 * m + p];
    const Real w2i = w[3 * m + p];
    const Real w3r = w[4 * m + p];
    const Real w3i = w[5 * m + p];
    yr[out] = apc_r + bpd_r;
    yi[out] = apc_i + bpd_i;
    yr[out + s] = y1r * w1r - y1i * w1i;
    yi[out + s] = y1r * w1i + y1i * w1r;
    yr[out + 2 * s] = y2r * w2r - y2i * w2i;
    yi[out + 2 * s] = y2r * w2i + y2i * w2r;
    yr[out + 3 * s] = y3r * w3r - y3i * w3i;
    yi[out + 3 * s] = y3r * w3i + y3i * w3r;
}

// The later passes, s > 1: inner loops over q run over contiguous data.
template <int n, int s>
ZUVO_KERNEL_PART void radix4_pass(const Real* __restrict xr, const Real* __restrict xi, Real* __restrict yr,
                        Real* __restrict yi) {
    static_assert(n * s == kHalf && s > 1, "one pass covers the whole transform");
    constexpr int m = n / 4;
    const Real* w = kTwiddles.data() + twiddle_offset(n);
    for (int p = 0; p < m; ++p) {
        const Real* ar = xr + s * p;
        const Real* ai = xi + s * p;
        Real* outr = yr + 4 * s * p;
        Real* outi = yi + 4 * s * p;
        for (int q = 0; q < s; ++q) {
            radix4_butterfly(ar[q], ai[q], ar[q + s * m], ai[q + s * m], ar[q + 2 * s * m],
                             ai[q + 2 * s * m], ar[q + 3 * s * m], ai[q + 3 * s * m], w, m, p,
                             outr + q, outi + q, 0, s);
        }
    }
}

// The first four passes of the 512-point transform of the packed samples
// z[n] = x[2n] + i x[2n+1], into ar, ai (zr, zi are scratch); the last
// radix-2 pass is left to the split below. The first pass (s = 1) reads the
// packed samples straight from x.
ZUVO_KERNEL_PART void packed_radix4_passes(const float* __restrict x, Real* __restrict zr,
                                           Real* __restrict zi, Real* __restrict ar,
                                           Real* __restrict ai) {
    constexpr int m = kHalf / 4;
    const Real* w = kTwiddles.data() + twiddle_offset(kHalf);
    for (int p = 0; p < m; ++p) {
        radix4_butterfly(x[2 * p], x[2 * p + 1], x[2 * (p + m)], x[2 * (p + m) + 1],
                         x[2 * (p + 2 * m)], x[2 * (p + 2 * m) + 1], x[2 * (p + 3 * m)],
                         x[2 * (p + 3 * m) + 1], w, m, p, zr, zi, 4 * p, 1);
    }
    radix4_pass<128, 4>(zr, zi, ar, ai);
    radix4_pass<32, 16>(ar, ai, zr, zi);
    radix4_pass<8, 64>(zr, zi, ar, ai);
}

// The last radix-2 pass (length 2, stride 256, no turning) fused with the
// split: from the four passes' output a, Z[q] = a[q] + a[q + 256] and
// Z[q + 256] = a[q] - a[q + 256]. Lines k and 512 - k (1 <= k < 256) need the
// same two values Z[k] and Z[512 - k], so one step gives both:
//   2 E[k] = Z[k] + conj Z[512-k],  2 O[k] = (Z[k] - conj Z[512-k]) / i,
//   E[512-k] = conj E[k],  O[512-k] = -conj O[k],
//   2 X[k] = 2 E[k] + w[k] 2 O[k]  (w[k] = e^(-2 pi i k / 1024)).
// The sign flips are exact, so every line is the same sequence of roundings
// as the split computed one line at a time. Each line is halved (exact) and
// rounded once to float into re, im for k = 1..511 (through xr, xi: the
// compiler vectorizes the partner lines' reversed order only in a loop with
// one element type); lines 0 and 512 are left to the caller, from
// Z[0] = (z0r, z0i).
ZUVO_KERNEL_PART void last_pass_and_split(const Real* __restrict ar, const Real* __restrict ai,
                                          Real* __restrict xr, Real* __restrict xi,
                                          float* __restrict re, float* __restrict im,
                                          Real& z0r, Real& z0i) {
    constexpr int h = kHalf / 2;
    const Real* wr = kSplit.re.data();
    const Real* wi = kSplit.im.data();
    for (int k = 1; k < h; ++k) {
        const int j = kHalf - k;  // its partner line, 257..511
        const Real zr = ar[k] + ar[k + h];
        const Real zi = ai[k] + ai[k + h];
        const Real rr = ar[h - k] - ar[j];  // Z[512 - k] = a[256 - k] - a[512 - k]
        const Real ri = ai[h - k] - ai[j];
        const Real er = zr + rr;
        const Real ei = zi - ri;
        const Real or_ = zi + ri;
        const Real oi = rr - zr;
        // line k
        xr[k] = (er + (or_ * wr[k] - oi * wi[k]));
        xi[k] = (ei + (or_ * wi[k] + oi * wr[k]));
        // line 512 - k: E' = (er, -ei), O' = (or_, -oi)
        xr[j] = (er + (or_ * wr[j] + oi * wi[j]));
        xi[j] = (-ei + (or_ * wi[j] - oi * wr[j]));
    }
    // Line 256 is its own partner: Z[256] = a[0] - a[256].
    {
        const Real zr = ar[0] - ar[h];
        const Real zi = ai[0] - ai[h];
        const Real er = zr + zr;
        const Real ei = zi - zi;
        const Real or_ = zi + zi;
        const Real oi = zr - zr;
        xr[h] = (er + (or_ * wr[h] - oi * wi[h]));
        xi[h] = (ei + (or_ * wi[h] + oi * wr[h]));
    }
    for (int k = 1; k < kHalf; ++k) {
        re[k] = static_cast<float>(0.5 * xr[k]);
        im[k] = static_cast<float>(0.5 * xi[k]);
    }
    z0r = ar[0] + ar[h];
    z0i = ai[0] + ai[h];
}

}  // namespace

ZUVO_FFT_KERNEL
static void real_fft_1024_clones(const float* x, float* re, float* im) {
    alignas(64) Real zr[kHalf];
    alignas(64) Real zi[kHalf];
    alignas(64) Real ar[kHalf];
    alignas(64) Real ai[kHalf];
    packed_radix4_passes(x, zr, zi, ar, ai);
    Real z0r = 0.0;
    Real z0i = 0.0;
    last_pass_and_split(ar, ai, zr, zi, re, im, z0r, z0i);
    re[0] = static_cast<float>(z0r + z0i);
    im[0] = 0.0f;
    re[kHalf] = static_cast<float>(z0r - z0i);
    im[kHalf] = 0.0f;
}

ZUVO_FFT_KERNEL
static void spectrum_1024_clones(const float* x, float* energy, float* magnitude, float* phase_re,
                                 float* phase_im) {
    constexpr float kEnergyFloor = 0.0005f;
    alignas(64) Real zr[kHalf];
    alignas(64) Real zi[kHalf];
    alignas(64) Real ar[kHalf];
    alignas(64) Real ai[kHalf];
    packed_radix4_passes(x, zr, zi, ar, ai);
    // The spectrum rounded to float, as real_fft_1024 gives it; the rest in
    // single precision.
    alignas(64) float spec_re[kHalf];
    alignas(64) float spec_im[kHalf];
    Real z0r = 0.0;
    Real z0i = 0.0;
    last_pass_and_split(ar, ai, zr, zi, spec_re, spec_im, z0r, z0i);

    const float re0 = static_cast<float>(z0r + z0i);
    energy[0] = re0 * re0;
    magnitude[0] = std::sqrt(energy[0]);
    phase_re[0] = 1.0f;
    phase_im[0] = 0.0f;
    for (int k = 1; k < kHalf; ++k) {
        const float re = spec_re[k];
        const float im = spec_im[k];
        const float e = re * re + im * im;
        const bool floored = e < kEnergyFloor;
        const float stored = floored ? kEnergyFloor : e;
        const float root = std::sqrt(stored);
        // A floored line has phase 0; the division by its root is unused.
        const float inverse = 1.0f / root;
        energy[k] = stored;
        magnitude[k] = root;
        phase_re[k] = floored ? 1.0f : re * inverse;
        phase_im[k] = floored ? 0.0f : im * inverse;
    }
    const float re512 = static_cast<float>(z0r - z0i);
    energy[kHalf] = re512 * re512;
    magnitude[kHalf] = std::sqrt(energy[kHalf]);
    phase_re[kHalf] = std::signbit(re512) ? -1.0f : 1.0f;
    phase_im[kHalf] = 0.0f;
}

// The entry points. The instruction-set copies above stay static: a function
// with copies and external linkage would be exported from the shared library
// through its resolver.
void real_fft_1024(const float* x, float* re, float* im) {
    real_fft_1024_clones(x, re, im);
}

void spectrum_1024(const float* x, float* energy, float* magnitude, float* phase_re,
                   float* phase_im) {
    spectrum_1024_clones(x, energy, magnitude, phase_re, phase_im);
}

}  // namespace zuvo
