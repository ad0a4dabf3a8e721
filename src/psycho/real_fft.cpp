// The model's 1024-point real FFT and spectrum; the algorithm is described in
// real_fft.h.
#include "psycho/real_fft.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace zuvo {

namespace {

// The transform is compiled for AVX-512 too where the other kernels stop at
// AVX2: its double-precision butterflies gain most from wider vectors. The
// operations and their order are the same in every copy, so are the bits.
#if ZUVO_MULTIVERSION
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

// The forward factors W_n^(k p) = e^(-2 pi i k p / n), k = 1..7, of the
// radix-8 pass on sub-transforms of length n, for p = 0 .. n/8 - 1, stored
// as fourteen rows of n/8 values (w1 re, w1 im, ..., w7 re, w7 im) in one
// table for the two passes that turn their outputs (n = 512, 64; the last,
// n = 8, has only p = 0 and factors 1).
constexpr int kTwiddleCount = 14 * (64 + 8);
constexpr int twiddle_offset(int n) {
    return n == 512 ? 0 : 14 * 64;
}

constexpr std::array<Real, kTwiddleCount> make_twiddles() {
    std::array<Real, kTwiddleCount> t{};
    for (int n = 512; n >= 64; n /= 8) {
        const int m = n / 8;
        const int base = twiddle_offset(n);
        for (int p = 0; p < m; ++p) {
            for (int k = 1; k <= 7; ++k) {
                const CosSin w = unit_root(static_cast<long>(k) * p, n);
                t[static_cast<std::size_t>(base + (2 * k - 2) * m + p)] = static_cast<Real>(w.c);
                t[static_cast<std::size_t>(base + (2 * k - 1) * m + p)] = static_cast<Real>(-w.s);
            }
        }
    }
    return t;
}
// e^(-2 pi i k / 1024) for k = 0..511: the split of the packed transform.
struct SplitTable {
    std::array<Real, kHalf> re{};
    std::array<Real, kHalf> im{};
};

constexpr SplitTable make_split() {
    SplitTable t{};
    for (int k = 0; k < kHalf; ++k) {
        const CosSin w = unit_root(k, 2 * kHalf);
        t.re[static_cast<std::size_t>(k)] = static_cast<Real>(w.c);
        t.im[static_cast<std::size_t>(k)] = static_cast<Real>(-w.s);
    }
    return t;
}

constexpr std::array<Real, kTwiddleCount> kTwiddles = make_twiddles();
constexpr SplitTable kSplit = make_split();

// ------------------------------------------------------------- passes

// A complex value in double.
struct Cx {
    Real r;
    Real i;
};

ZUVO_KERNEL_PART Cx add(Cx a, Cx b) { return {a.r + b.r, a.i + b.i}; }
ZUVO_KERNEL_PART Cx sub(Cx a, Cx b) { return {a.r - b.r, a.i - b.i}; }
// -i a
ZUVO_KERNEL_PART Cx turn_minus_i(Cx a) { return {a.i, -a.r}; }

// The 4-point DFT of u0..u3 into y[0], y[step], y[2 step], y[3 step].
ZUVO_KERNEL_PART void dft4(Cx u0, Cx u1, Cx u2, Cx u3, Cx* y, int step) {
    const Cx s02 = add(u0, u2);
    const Cx d02 = sub(u0, u2);
    const Cx s13 = add(u1, u3);
    const Cx d13 = turn_minus_i(sub(u1, u3));
    y[0] = add(s02, s13);
    y[step] = add(d02, d13);
    y[2 * step] = sub(s02, s13);
    y[3 * step] = sub(d02, d13);
}

// One radix-8 butterfly of a decimation-in-frequency pass: the eight inputs
// x[j step], j = 0..7, to y[k out_step], output k turned by W_n^(k p) (the
// factors' rows hold m = n/8 values). The 8-point DFT is two 4-point DFTs:
// of the sums a_j + a_(j+4) (the even outputs) and of the differences turned
// by W_8^j (the odd ones).
template <int n>
ZUVO_KERNEL_PART void radix8_butterfly(const Real* xr, const Real* xi, int step, int p, Real* yr,
                                       Real* yi, int out_step) {
    constexpr int m = n / 8;
    constexpr Real kRoot = 0.70710678118654752440;  // sqrt(1/2)
    const Real* w = kTwiddles.data() + twiddle_offset(n);
    Cx a[8];
    for (int j = 0; j < 8; ++j) {
        a[j] = {xr[j * step], xi[j * step]};
    }
    const Cx d0 = sub(a[0], a[4]);
    const Cx d1 = sub(a[1], a[5]);
    const Cx d2 = sub(a[2], a[6]);
    const Cx d3 = sub(a[3], a[7]);
    // W_8 = (1 - i) / sqrt 2, W_8^2 = -i, W_8^3 = (-1 - i) / sqrt 2
    const Cx t1 = {(d1.r + d1.i) * kRoot, (d1.i - d1.r) * kRoot};
    const Cx t3 = {(d3.i - d3.r) * kRoot, -((d3.r + d3.i) * kRoot)};
    Cx out[8];
    dft4(add(a[0], a[4]), add(a[1], a[5]), add(a[2], a[6]), add(a[3], a[7]), out, 2);
    dft4(d0, t1, turn_minus_i(d2), t3, out + 1, 2);
    yr[0] = out[0].r;
    yi[0] = out[0].i;
    for (int k = 1; k < 8; ++k) {
        if constexpr (m == 1) {
            yr[k * out_step] = out[k].r;
            yi[k * out_step] = out[k].i;
        } else {
            const Real wr = w[(2 * k - 2) * m + p];
            const Real wi = w[(2 * k - 1) * m + p];
            yr[k * out_step] = out[k].r * wr - out[k].i * wi;
            yi[k * out_step] = out[k].r * wi + out[k].i * wr;
        }
    }
}

// One radix-8 decimation-in-frequency Stockham pass over sub-transforms of
// length n with stride s (n * s = 512): for p < m = n/8 and q < s, the eight
// inputs x[q + s (p + j m)], j = 0..7, go to y[q + s (8p + k)]. The first
// pass (s = 1) is a loop over p alone, with its outputs eight apart.
template <int n, int s>
ZUVO_KERNEL_PART void radix8_pass(const Real* __restrict xr, const Real* __restrict xi,
                                  Real* __restrict yr, Real* __restrict yi) {
    static_assert(n * s == kHalf, "one pass covers the whole transform");
    constexpr int m = n / 8;
    for (int p = 0; p < m; ++p) {
        if constexpr (s == 1) {
            radix8_butterfly<n>(xr + p, xi + p, m, p, yr + 8 * p, yi + 8 * p, 1);
        } else {
            for (int q = 0; q < s; ++q) {
                radix8_butterfly<n>(xr + q + s * p, xi + q + s * p, s * m, p, yr + q + s * 8 * p,
                                    yi + q + s * 8 * p, s);
            }
        }
    }
}

// The three radix-8 passes of the 512-point transform of the packed samples
// z[n] = x[2n] + i x[2n+1], into zr, zi (ar, ai are scratch).
ZUVO_KERNEL_PART void packed_radix8_passes(const float* __restrict x, Real* __restrict zr,
                                           Real* __restrict zi, Real* __restrict ar,
                                           Real* __restrict ai) {
    for (int k = 0; k < kHalf; ++k) {
        ar[k] = x[2 * k];
        ai[k] = x[2 * k + 1];
    }
    radix8_pass<512, 1>(ar, ai, zr, zi);
    radix8_pass<64, 8>(zr, zi, ar, ai);
    radix8_pass<8, 64>(ar, ai, zr, zi);
}

// Line k of the real input's spectrum from the packed transform Z, for
// k = 0..511 (z holds Z[0..511] and Z[512] = Z[0]):
//   2 E[k] = Z[k] + conj Z[512-k],  2 O[k] = (Z[k] - conj Z[512-k]) / i,
//   2 X[k] = 2 E[k] + w[k] 2 O[k]  (w[k] = e^(-2 pi i k / 1024)),
// into xr, xi (2 X, still in double) for the lines [begin, end). Line 512 is
// Z[0]'s real part minus its imaginary part.
ZUVO_KERNEL_PART void split(const Real* __restrict zr, const Real* __restrict zi, int begin, int end,
                            Real* __restrict xr, Real* __restrict xi) {
    const Real* wr = kSplit.re.data();
    const Real* wi = kSplit.im.data();
    for (int k = begin; k < end; ++k) {
        const int j = kHalf - k;
        const Real er = zr[k] + zr[j];
        const Real ei = zi[k] - zi[j];
        const Real or_ = zi[k] + zi[j];
        const Real oi = zr[j] - zr[k];
        xr[k] = er + (or_ * wr[k] - oi * wi[k]);
        xi[k] = ei + (or_ * wi[k] + oi * wr[k]);
    }
}

// Each line halved (exact) and rounded once to float. The compiler
// vectorizes the partner lines' reversed order only in a loop with one
// element type: so the split stays in double and this loop converts.
ZUVO_KERNEL_PART float to_float(Real twice) {
    return static_cast<float>(0.5 * twice);
}

// The 512-point transform of the packed samples into z (512 values and a
// copy of Z[0] after them), with the scratch arrays a.
ZUVO_KERNEL_PART void packed_transform(const float* __restrict x, Real* __restrict zr,
                                       Real* __restrict zi, Real* __restrict ar,
                                       Real* __restrict ai) {
    packed_radix8_passes(x, zr, zi, ar, ai);
    zr[kHalf] = zr[0];
    zi[kHalf] = zi[0];
}

// a where keep has all bits set, b where it has none. Choosing by bit masks
// rather than by a condition makes every line compute its square root and
// reciprocal (also those it then discards), so that the compiler can
// vectorize the loop without masked divisions: given a condition, it moves
// the division under it, and may not execute a division the source does not
// (it could raise a floating-point exception).
ZUVO_KERNEL_PART float choose(std::uint32_t keep, float a, float b) {
    std::uint32_t bits_a = 0;
    std::uint32_t bits_b = 0;
    std::memcpy(&bits_a, &a, sizeof bits_a);
    std::memcpy(&bits_b, &b, sizeof bits_b);
    const std::uint32_t bits = (bits_a & keep) | (bits_b & ~keep);
    float v = 0.0f;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// The four working arrays of the passes. Arrays exactly 4 KiB apart would
// make the loads from one wait for stores to another at the same low address
// bits; a gap of one cache line between them staggers them (and leaves room
// for the copy of Z[0]).
struct Scratch {
    static constexpr int kStride = kHalf + 8;
    alignas(64) Real data[4 * kStride];
    Real* const zr = data;                // the packed transform Z
    Real* const zi = data + kStride;
    Real* const xr = data + 2 * kStride;  // the split's lines
    Real* const xi = data + 3 * kStride;
};

}  // namespace

ZUVO_FFT_KERNEL
static void real_fft_1024_clones(const float* x, float* re, float* im) {
    Scratch work;
    packed_transform(x, work.zr, work.zi, work.xr, work.xi);
    split(work.zr, work.zi, 0, kHalf, work.xr, work.xi);
    for (int k = 0; k < kHalf; ++k) {
        re[k] = to_float(work.xr[k]);
        im[k] = to_float(work.xi[k]);
    }
    re[kHalf] = static_cast<float>(work.zr[0] - work.zi[0]);
    im[kHalf] = 0.0f;
}

// The transform, then per line the energy, magnitude and phase. The split
// and the per-line work alternate in blocks of lines, so that the square
// roots and divisions of one block overlap the split's arithmetic of the
// next.
ZUVO_FFT_KERNEL
static void spectrum_1024_clones(const float* x, float* energy, float* magnitude, float* phase_re,
                                 float* phase_im) {
    constexpr float kEnergyFloor = 0.0005f;
    constexpr int kBlock = 64;
    const float floor_root = std::sqrt(kEnergyFloor);
    Scratch work;
    packed_transform(x, work.zr, work.zi, work.xr, work.xi);
    for (int begin = 0; begin < kHalf; begin += kBlock) {
        split(work.zr, work.zi, begin, begin + kBlock, work.xr, work.xi);
        for (int k = begin; k < begin + kBlock; ++k) {
            // The spectrum rounded to float, as real_fft_1024 gives it; the
            // rest in single precision.
            const float re = to_float(work.xr[k]);
            const float im = to_float(work.xi[k]);
            const float e = re * re + im * im;
            // All bits set for lines at or above the floor (not for NaN).
            const std::uint32_t keep = 0u - static_cast<std::uint32_t>(!(e < kEnergyFloor));
            const float root = std::sqrt(e);
            const float inverse = 1.0f / root;
            energy[k] = choose(keep, e, kEnergyFloor);
            magnitude[k] = choose(keep, root, floor_root);
            // A floored line has phase 0.
            phase_re[k] = choose(keep, re * inverse, 1.0f);
            phase_im[k] = choose(keep, im * inverse, 0.0f);
        }
    }
    // Line 0 (real: Z[0]'s real part plus its imaginary part) has no floor
    // and phase (1, 0); line 512 (real too) has phase (1, 0) or (-1, 0).
    const float re0 = static_cast<float>(work.zr[0] + work.zi[0]);
    energy[0] = re0 * re0;
    magnitude[0] = std::sqrt(energy[0]);
    phase_re[0] = 1.0f;
    phase_im[0] = 0.0f;
    const float re512 = static_cast<float>(work.zr[0] - work.zi[0]);
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
