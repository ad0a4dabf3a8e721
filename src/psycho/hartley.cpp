// The model's spectrum: an unscaled 1024-point discrete Hartley transform,
//   H[k] = sum over n of x[n] * (cos(2 pi n k / 1024) + sin(2 pi n k / 1024)),
// computed as a radix-4 fast Hartley transform, and the energy and phase of
// the lines 0..512 of the corresponding DFT taken from it.
//
// The transform works on a double-precision copy of the block and stores the
// result back as floats: the stored spectrum then differs from the exact one
// only by its final rounding, also on lines far below the strongest one.
#include "psycho/psycho_model.h"

#include <array>
#include <cmath>
#include <cstdint>
#include "platform/platform.h"

namespace zuvo {

namespace {

constexpr int kSize = 1024;
constexpr int kBits = 10;

constexpr int reverse_bits(int value) {
    int reversed = 0;
    for (int b = 0; b < kBits; ++b) {
        reversed = (reversed << 1) | ((value >> b) & 1);
    }
    return reversed;
}

// Indices below 1024 whose ten-bit reversal is smaller than themselves; each
// such (i, r) pair is swapped once to put the input in bit-reversed order.
constexpr int count_swap_pairs() {
    int count = 0;
    for (int i = 0; i < kSize; ++i) {
        if (reverse_bits(i) < i) {
            ++count;
        }
    }
    return count;
}

constexpr int kSwapPairs = 496;
static_assert(count_swap_pairs() == kSwapPairs, "1024 points have 496 bit-reversal swaps");

struct SwapPair {
    std::uint16_t i;
    std::uint16_t r;
};

constexpr std::array<SwapPair, kSwapPairs> make_swap_pairs() {
    std::array<SwapPair, kSwapPairs> pairs{};
    int n = 0;
    for (int i = 0; i < kSize; ++i) {
        const int r = reverse_bits(i);
        if (r < i) {
            pairs[n].i = static_cast<std::uint16_t>(i);
            pairs[n].r = static_cast<std::uint16_t>(r);
            ++n;
        }
    }
    return pairs;
}

constexpr std::array<SwapPair, kSwapPairs> hartley_swap_pairs = make_swap_pairs();

// cos and sin of pi / 2^(k + 1); pass k of the transform advances its
// rotation by this angle. Kept in double: with single-precision values the
// 127 steps of the recurrence in the last pass drift by more than 1e-6, well
// above the rounding of the stored result.
constexpr double hartley_cos[9] = {
    0.0,                    // pi/2 (unused)
    0.7071067811865476,     // pi/4 (unused)
    0.9238795325112867,     // pi/8
    0.9807852804032304,     // pi/16 (unused)
    0.9951847266721969,     // pi/32
    0.9987954562051724,     // pi/64 (unused)
    0.9996988186962042,     // pi/128
    0.9999247018391445,     // pi/256 (unused)
    0.9999811752826011,     // pi/512
};
constexpr double hartley_sin[9] = {
    1.0,                    // pi/2 (unused)
    0.7071067811865475,     // pi/4 (unused)
    0.3826834323650898,     // pi/8
    0.19509032201612825,    // pi/16 (unused)
    0.0980171403295606,     // pi/32
    0.049067674327418015,   // pi/64 (unused)
    0.024541228522912288,   // pi/128
    0.012271538285719925,   // pi/256 (unused)
    0.006135884649154475,   // pi/512
};

constexpr double kSqrt2 = 1.4142135623730951;

// Phase offset added to every line's angle (slightly below pi/4).
constexpr double kPhaseOffset = 0.7853981;
// Energy floor of lines 1..511 (their phase is then 0).
constexpr double kEnergyFloor = 0.0005;

}  // namespace

// The transform itself; kept static so that its per-instruction-set copies
// stay private to the library.
ZUVO_VECTOR_KERNEL
static void transform_1024(float* x) {
    double y[kSize];
    for (int i = 0; i < kSize; ++i) {
        y[i] = x[i];
    }
    for (const SwapPair& pair : hartley_swap_pairs) {
        const double t = y[pair.i];
        y[pair.i] = y[pair.r];
        y[pair.r] = t;
    }

    // First radix-4 pass on groups of four neighbours.
    for (int q = 0; q < kSize; q += 4) {
        const double f0 = y[q] + y[q + 1];
        const double f1 = y[q] - y[q + 1];
        const double f2 = y[q + 2] + y[q + 3];
        const double f3 = y[q + 2] - y[q + 3];
        y[q] = f0 + f2;
        y[q + 1] = f1 + f3;
        y[q + 2] = f0 - f2;
        y[q + 3] = f1 - f3;
    }

    for (int k = 2; k <= 8; k += 2) {
        const int k1 = 1 << k;
        const int k2 = 2 * k1;
        const int k3 = 3 * k1;
        const int k4 = 4 * k1;
        const int kx = k1 / 2;

        // Offsets 0 and kx of each block need no general rotation.
        for (int start = 0; start < kSize; start += k4) {
            double* F = y + start;
            const double f0 = F[0] + F[k1];
            const double f1 = F[0] - F[k1];
            const double f2 = F[k2] + F[k3];
            const double f3 = F[k2] - F[k3];
            F[0] = f0 + f2;
            F[k1] = f1 + f3;
            F[k2] = f0 - f2;
            F[k3] = f1 - f3;

            double* G = y + start + kx;
            const double g0 = G[0] + G[k1];
            const double g1 = G[0] - G[k1];
            const double g2 = kSqrt2 * G[k2];
            const double g3 = kSqrt2 * G[k3];
            G[0] = g0 + g2;
            G[k1] = g1 + g3;
            G[k2] = g0 - g2;
            G[k3] = g1 - g3;
        }

        // The other offsets: c1, s1 follow cos and sin of i * pi / (2 * k1)
        // by rotation, without a trigonometric call per step.
        const double u = hartley_cos[k];
        const double v = hartley_sin[k];
        double c1 = 1.0;
        double s1 = 0.0;
        for (int i = 1; i < kx; ++i) {
            const double next_c1 = c1 * u - s1 * v;
            s1 = c1 * v + s1 * u;
            c1 = next_c1;
            const double c2 = c1 * c1 - s1 * s1;
            const double s2 = 2.0 * c1 * s1;
            for (int start = 0; start < kSize; start += k4) {
                double* F = y + start + i;
                double* G = y + start + k1 - i;
                double a = c2 * F[k1] + s2 * G[k1];
                double b = s2 * F[k1] - c2 * G[k1];
                const double f0 = F[0] + a;
                const double f1 = F[0] - a;
                const double g0 = G[0] + b;
                const double g1 = G[0] - b;
                a = c2 * F[k3] + s2 * G[k3];
                b = s2 * F[k3] - c2 * G[k3];
                const double f2 = F[k2] + a;
                const double f3 = F[k2] - a;
                const double g2 = G[k2] + b;
                const double g3 = G[k2] - b;
                a = c1 * f2 + s1 * g3;
                b = s1 * f2 - c1 * g3;
                F[0] = f0 + a;
                F[k2] = f0 - a;
                G[k1] = g1 + b;
                G[k3] = g1 - b;
                a = s1 * g2 + c1 * f3;
                b = c1 * g2 - s1 * f3;
                G[0] = g0 + a;
                G[k2] = g0 - a;
                F[k1] = f1 + b;
                F[k3] = f1 - b;
            }
        }
    }

    for (int i = 0; i < kSize; ++i) {
        x[i] = static_cast<float>(y[i]);
    }
}

void hartley_1024(float* x) { transform_1024(x); }

void spectrum_from_hartley(float* x, float* energy, float* phi, int n) {
    // Only the model's transform length is supported; anything else is
    // left untouched rather than read out of bounds.
    if (n != kSize) {
        return;
    }
    hartley_1024(x);

    // For the DFT X[k] = sum x[n] e^(-2 pi i n k / N) of real input,
    // Re X[k] = (H[k] + H[N-k]) / 2 and Im X[k] = (H[N-k] - H[k]) / 2, so
    // |X[k]|^2 = (H[k]^2 + H[N-k]^2) / 2 and arg X[k] is the angle of
    // (H[N-k], -H[k]) turned by pi/4.
    const double h0 = x[0];
    energy[0] = static_cast<float>(h0 * h0);  // phi[0] stays 0
    for (int k = 1; k < kSize / 2; ++k) {
        const double a = x[k];
        const double b = x[kSize - k];
        const double e = 0.5 * (a * a + b * b);
        if (e < kEnergyFloor) {
            energy[k] = static_cast<float>(kEnergyFloor);
            phi[k] = 0.0f;
        } else {
            energy[k] = static_cast<float>(e);
            phi[k] = static_cast<float>(std::atan2(-a, b) + kPhaseOffset);
        }
    }
    const double h512 = x[kSize / 2];
    energy[kSize / 2] = static_cast<float>(h512 * h512);
    phi[kSize / 2] = static_cast<float>(std::atan2(0.0, h512));
}

void spectrum_with_unit_phase(float* x, float* energy, float* phase_re, float* phase_im) {
    hartley_1024(x);

    // The phase is the angle of (H[N-k], -H[k]) turned by 0.7853981 rad; its
    // cosine and sine are the normalised vector rotated by that angle.
    constexpr double kTurnCos = 0.7071068260153117;  // cos(0.7853981)
    constexpr double kTurnSin = 0.7071067363577804;  // sin(0.7853981)
    const double h0 = x[0];
    energy[0] = static_cast<float>(h0 * h0);
    phase_re[0] = 1.0f;
    phase_im[0] = 0.0f;
    for (int k = 1; k < kSize / 2; ++k) {
        const double a = x[k];
        const double b = x[kSize - k];
        const double sum = a * a + b * b;
        const double e = 0.5 * sum;
        if (e < kEnergyFloor) {
            energy[k] = static_cast<float>(kEnergyFloor);
            phase_re[k] = 1.0f;
            phase_im[k] = 0.0f;
        } else {
            energy[k] = static_cast<float>(e);
            const double inverse = 1.0 / std::sqrt(sum);
            const double cos_a = b * inverse;
            const double sin_a = -a * inverse;
            phase_re[k] = static_cast<float>(cos_a * kTurnCos - sin_a * kTurnSin);
            phase_im[k] = static_cast<float>(sin_a * kTurnCos + cos_a * kTurnSin);
        }
    }
    const double h512 = x[kSize / 2];
    energy[kSize / 2] = static_cast<float>(h512 * h512);
    phase_re[kSize / 2] = std::signbit(h512) ? -1.0f : 1.0f;  // angle 0 or pi
    phase_im[kSize / 2] = 0.0f;
}

}  // namespace zuvo
