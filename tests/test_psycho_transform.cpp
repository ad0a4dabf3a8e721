// The model's 1024-point Hartley transform and the energy and phase per line
// taken from it, against direct O(n^2) transforms in double precision.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "psycho/psycho_model.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

constexpr int N = 1024;

// Deterministic pseudo-random values in [-1, 1).
struct Lcg {
    std::uint32_t state;
    double next() {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) / 8388608.0 - 1.0;
    }
};

struct Direct {
    std::vector<double> cosine = std::vector<double>(N);
    std::vector<double> sine = std::vector<double>(N);
    Direct() {
        for (int m = 0; m < N; ++m) {
            cosine[m] = std::cos(2.0 * kPi * m / N);
            sine[m] = std::sin(2.0 * kPi * m / N);
        }
    }
    // H[k] = sum x[n] (cos + sin)(2 pi n k / N)
    std::vector<double> hartley(const std::vector<float>& x) const {
        std::vector<double> h(N);
        for (int k = 0; k < N; ++k) {
            double sum = 0.0;
            for (int n = 0; n < N; ++n) {
                const int m = (n * k) % N;
                sum += x[n] * (cosine[m] + sine[m]);
            }
            h[k] = sum;
        }
        return h;
    }
    // X[k] = sum x[n] e^(-2 pi i n k / N)
    void dft(const std::vector<float>& x, int k, double& re, double& im) const {
        re = 0.0;
        im = 0.0;
        for (int n = 0; n < N; ++n) {
            const int m = (n * k) % N;
            re += x[n] * cosine[m];
            im -= x[n] * sine[m];
        }
    }
};

double wrapped(double angle) {
    return std::remainder(angle, 2.0 * kPi);
}

// Windowed 16-bit-like input: what the model transforms.
std::vector<float> windowed_noise(std::uint32_t seed) {
    Lcg lcg{seed};
    std::vector<float> x(N);
    for (int n = 0; n < N; ++n) {
        const double hann = 0.5 * (1.0 - std::cos((n - 0.5) * 2.0 * kPi / N));
        x[n] = static_cast<float>(std::round(32767.0 * lcg.next()) * hann);
    }
    return x;
}

TEST(PsychoTransform, HartleyMatchesDirectTransform) {
    const Direct direct;
    for (std::uint32_t seed : {1u, 77u, 4242u}) {
        SCOPED_TRACE(seed);
        std::vector<float> x = windowed_noise(seed);
        const std::vector<double> expected = direct.hartley(x);
        double peak = 0.0;
        for (double v : expected) {
            peak = std::fmax(peak, std::fabs(v));
        }
        zuvo::hartley_1024(x.data());
        for (int k = 0; k < N; ++k) {
            // Each output is the exact value rounded once to single precision.
            ASSERT_NEAR(x[k], expected[k], 6.0e-8 * std::fabs(expected[k]) + 1e-12 * peak) << k;
        }
    }

    // Structured inputs: an impulse at n spreads cas(2 pi n k / N) over every
    // line, a constant collects in line 0 and an alternating one in line 512.
    for (int at : {0, 1, 3, 511, 1023}) {
        std::vector<float> x(N, 0.0f);
        x[at] = 1.0f;
        zuvo::hartley_1024(x.data());
        for (int k = 0; k < N; ++k) {
            const double angle = 2.0 * kPi * ((at * k) % N) / N;
            ASSERT_NEAR(x[k], std::cos(angle) + std::sin(angle), 1e-7) << at << " " << k;
        }
    }
    std::vector<float> level(N, 3.0f);
    std::vector<float> alternating(N);
    for (int n = 0; n < N; ++n) {
        alternating[n] = n % 2 == 0 ? 1.0f : -1.0f;
    }
    zuvo::hartley_1024(level.data());
    zuvo::hartley_1024(alternating.data());
    for (int k = 0; k < N; ++k) {
        ASSERT_NEAR(level[k], k == 0 ? 3072.0 : 0.0, 1e-9) << k;
        ASSERT_NEAR(alternating[k], k == 512 ? 1024.0 : 0.0, 1e-9) << k;
    }
}

TEST(PsychoTransform, EnergyAndPhasePerLine) {
    const Direct direct;
    for (std::uint32_t seed : {5u, 901u}) {
        SCOPED_TRACE(seed);
        const std::vector<float> input = windowed_noise(seed);
        std::vector<float> x = input;
        std::vector<float> energy(N, -1.0f);
        std::vector<float> phi(N, 7.0f);  // phi[0] must stay as it was
        zuvo::spectrum_from_hartley(x.data(), energy.data(), phi.data(), N);
        EXPECT_EQ(phi[0], 7.0f);
        for (int k = 0; k <= 512; ++k) {
            double re;
            double im;
            direct.dft(input, k, re, im);
            const double power = re * re + im * im;
            ASSERT_NEAR(energy[k], power, 2.4e-7 * power) << k;
            if (k == 0) {
                continue;
            }
            // Phase of X[k], turned by 0.7853981 - pi/4 (just under 0).
            const double expected = std::atan2(im, re) + (0.7853981 - kPi / 4.0);
            const double tolerance = 2.4e-7 * std::fabs(phi[k]) + 1e-6 * std::sqrt(1e9 / power);
            ASSERT_NEAR(wrapped(phi[k] - expected), 0.0, tolerance) << k;
        }
    }

    // Silence: lines 1..511 take the floor (as its single-precision value)
    // with phase 0; lines 0 and 512 have no floor.
    std::vector<float> x(N, 0.0f);
    std::vector<float> energy(N, -1.0f);
    std::vector<float> phi(N, 7.0f);
    zuvo::spectrum_from_hartley(x.data(), energy.data(), phi.data(), N);
    EXPECT_EQ(energy[0], 0.0f);
    EXPECT_EQ(energy[512], 0.0f);
    EXPECT_EQ(phi[512], 0.0f);
    for (int k = 1; k < 512; ++k) {
        ASSERT_EQ(energy[k], 0.0005f) << k;
        ASSERT_EQ(phi[k], 0.0f) << k;
    }

    // A line just under the floor is floored, one just over it is not.
    // x[n] = a cos(2 pi 5 n / N) puts energy (512 a)^2 into line 5.
    for (double target : {0.000499, 0.000501}) {
        const double a = std::sqrt(target) / 512.0;
        for (int n = 0; n < N; ++n) {
            x[n] = static_cast<float>(a * std::cos(2.0 * kPi * 5 * n / N));
        }
        zuvo::spectrum_from_hartley(x.data(), energy.data(), phi.data(), N);
        if (target < 0.0005) {
            EXPECT_EQ(energy[5], 0.0005f);
            EXPECT_EQ(phi[5], 0.0f);
        } else {
            EXPECT_NEAR(energy[5], target, 1e-6 * target);
            EXPECT_NEAR(phi[5], 0.0, 1e-5);  // a cosine has phase 0
        }
    }

    // Line 512 of an alternating signal starting negative: phase pi.
    for (int n = 0; n < N; ++n) {
        x[n] = n % 2 == 0 ? -2.0f : 2.0f;
    }
    zuvo::spectrum_from_hartley(x.data(), energy.data(), phi.data(), N);
    EXPECT_EQ(energy[512], 2048.0f * 2048.0f);
    EXPECT_EQ(phi[512], static_cast<float>(kPi));

    // Other transform lengths are not supported and leave everything alone.
    std::vector<float> untouched(N, 1.0f);
    std::vector<float> e2(N, -1.0f);
    zuvo::spectrum_from_hartley(untouched.data(), e2.data(), phi.data(), 512);
    EXPECT_EQ(untouched[0], 1.0f);
    EXPECT_EQ(e2[0], -1.0f);
}

}  // namespace
