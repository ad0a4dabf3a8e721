// Internal header: the model's spectrum, included by the model and its tests.
//
// Algorithm: the 1024 real samples x[n] are read as 512 complex values
// z[n] = x[2n] + i x[2n+1] and transformed by a 512-point complex FFT
// (Stockham autosort: three radix-8 decimation-in-frequency passes, 512 = 8^3,
// real and imaginary parts in separate arrays, so that every pass is a plain
// loop over independent butterflies that the compiler vectorizes).
// The DFT of the real input then follows from Z = FFT(z) by the split
//   X[k] = E[k] + e^(-2 pi i k / 1024) O[k],   k = 0..512,
//   E[k] = (Z[k] + conj Z[512-k]) / 2,  O[k] = (Z[k] - conj Z[512-k]) / 2i.
// The arithmetic runs in double and each output is rounded once to float:
// in single precision the rounding of the passes spreads about 1e-7 of the
// strongest line over every line, enough to move the ratio of a subband
// 90 dB below a loud tone by 0.01 dB; in double it stays below 1e-4 dB.
// The twiddle factors are tables evaluated at compile time (a Taylor series
// in double), so every platform and every instruction set uses the same
// values and gets the same bits: each output is the same sequence of IEEE
// operations on every path.
#pragma once

namespace zuvo {

constexpr int kSpectrumSize = 1024;     // real input samples
constexpr int kSpectrumLines = 513;     // lines 0..512 of the DFT

// Unscaled DFT X[k] = sum x[n] e^(-2 pi i n k / 1024) of the real block x
// (1024 values) for k = 0..512, as real parts re[k] and imaginary parts im[k].
void real_fft_1024(const float* x, float* re, float* im);

// The model's view of that spectrum: energy[k] = |X[k]|^2, its square root
// magnitude[k], and the phase of each line as a unit vector
// (phase_re, phase_im) = X[k] / |X[k]|. Lines 1..511 with energy below 0.0005
// get 0.0005 and phase (1, 0); line 0 always has phase (1, 0), line 512
// (real) has (1, 0) or (-1, 0) by its sign; neither has a floor.
void spectrum_1024(const float* x, float* energy, float* magnitude, float* phase_re,
                   float* phase_im);

}  // namespace zuvo
