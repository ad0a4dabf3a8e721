// Internal header: included by the encoder and its tests.
//
// Polyphase analysis filterbank. Every 32 new samples of a channel yield one
// sample in each of 32 equal-width subbands. window_block shifts the 32
// samples into a 512-sample circular history (only the offset moves) and
// folds the eight 64-sample segments of the windowed history into 64 partial
// sums Y. matrix_block applies the cosine matrixing
//     S[i] = sum_k cos((2i + 1)(k - 16) pi / 64) Y[k]
// through a fold of Y about k = 16 (symmetry) and k = 48 (antisymmetry) into
// 32 values, so that one 16 x 32 matrix serves subbands r and 31 - r through
// the even (E) and odd (O) partial sums: S[r] = E + O, S[31 - r] = E - O.
// The history holds the samples in double (each is a 16-bit value times 2^-15,
// exact in float and double alike), so that the products with the window are
// formed without conversions; the window sums are accumulated in double and
// rounded once; the fold and the E/O sums are single-precision operations in
// the order of k, so the output is reproducible to the last bit.
//
// analyze_frame runs both steps over a whole frame of one channel in one call:
// the same operations in the same order as 36 window_block/matrix_block pairs,
// vectorized across the 64 sums and the 16 rows of the matrix, several blocks
// at a time, with the frame's samples laid out in one line.
#pragma once

#include <cstdint>

namespace zuvo {

// The 512 analysis-window coefficients.
extern const float analysis_window[512];
// The cosine matrix, computed once per process on first use.
const float (&analysis_matrix())[16][32];

class Filterbank {
public:
    Filterbank() = default;
    ~Filterbank();
    Filterbank(const Filterbank&) = delete;
    Filterbank& operator=(const Filterbank&) = delete;

    // Reads 32 samples at `samples` (advancing it by 32) into the channel's
    // history and writes the 64 partial sums Y[0..63] to y. The history is
    // allocated on the first call; if that fails, y is all zeros for the rest
    // of the stream (the samples are still consumed).
    void window_block(int channel, const std::int16_t*& samples, float* y);
    // Turns 64 partial sums into 32 subband samples.
    static void matrix_block(const float* y, float* row);
    // The 1152 samples of one channel's frame (36 blocks, read from samples)
    // into its subband samples [part][time][subband]: the same results as
    // window_block and matrix_block block by block. The kernel has a copy
    // per instruction set; `copy` (0 = baseline .. frame_kernel_copies() - 1)
    // picks one, for tests that compare them, and by default the widest this
    // machine runs.
    void analyze_frame(int channel, const std::int16_t* samples, float (&rows)[3][12][32], int copy = -1);
    // How many copies of the frame kernel this machine runs (at least 1).
    static int frame_kernel_copies();
    // Start of a stream: offsets 0, all-zero history.
    void reset_filterbank();
    // End of a stream: releases the history.
    void release_filterbank();

    int offset(int channel) const { return x_offset_[channel]; }

private:
    // The channel's history, allocated on the first block of a stream; null
    // when that failed.
    double* history(int channel);

    double* x_ = nullptr;  // [2][512], allocated on first use
    int x_offset_[2] = {0, 0};
    bool x_ready_ = false;
    bool x_failed_ = false;  // the history could not be allocated this stream
};

}  // namespace zuvo
