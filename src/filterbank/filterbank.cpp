// Polyphase analysis filterbank: windowing into 64 partial sums and the
// folded cosine matrixing into 32 subband samples.
#include "filterbank/filterbank.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "platform/platform.h"

namespace zuvo {

namespace {

constexpr int kHistory = 512;        // taps of the window = samples of history per channel
constexpr int kHistoryMask = kHistory - 1;
constexpr int kBlock = 32;           // new samples per block = subbands
constexpr int kPartialSums = 64;     // Y[0..63]
constexpr int kSegments = kHistory / kPartialSums;  // 8 window segments of 64 taps

// The cosine matrix in two layouts: by row r for callers that read
// matrix[r][k], and by column k for the matrixing loop, which accumulates all
// 16 rows at once in the order of k.
struct CosineMatrix {
    float by_row[16][32];
    float by_column[32][16];
};

CosineMatrix build_cosine_matrix() {
    // The cosines are taken at a truncated value of pi and rounded to nine
    // decimals before going to single precision. This is not the nearest
    // float of the true cosine (about a quarter of the entries differ in the
    // last bit), but it is the matrix the encoder's output is defined by.
    constexpr double kPi = 3.14159265358979;
    CosineMatrix matrix{};
    for (int r = 0; r < 16; ++r) {
        const int m = 2 * r + 1;
        for (int k = 0; k < 32; ++k) {
            const double v = 1.0e9 * std::cos(static_cast<double>(m * k) * kPi / 64.0);
            const long long rounded =
                v >= 0.0 ? static_cast<long long>(v + 0.5) : static_cast<long long>(v - 0.5);
            const float coefficient =
                static_cast<float>(static_cast<double>(static_cast<float>(rounded)) * 1.0e-9);
            matrix.by_row[r][k] = coefficient;
            matrix.by_column[k][r] = coefficient;
        }
    }
    return matrix;
}

// Computed on first use; the initialisation of a function-local static is
// guarded, so concurrent first callers all see the finished matrix.
const CosineMatrix& cosine_matrix() {
    static const CosineMatrix matrix = build_cosine_matrix();
    return matrix;
}

}  // namespace

const float (&analysis_matrix())[16][32] {
    return cosine_matrix().by_row;
}

Filterbank::~Filterbank() {
    release_filterbank();
}

// Y[i] = sum over j of x[(o + i + 64 j) mod 512] * w[i + 64 j], in the order
// of j, in double. The product of two floats is exact in double, so only the
// additions round; the sum is rounded to float once. Segment j starts at a
// multiple of 32 in the history, so each half (32 taps) of a segment is
// contiguous there and the circular index never splits a half.
ZUVO_VECTOR_KERNEL
static void window_sums(const float* x, int o, float* y) {
    double acc[kPartialSums];
    for (int i = 0; i < kPartialSums; ++i) acc[i] = 0.0;
    for (int j = 0; j < kSegments; ++j) {
        const float* const w = analysis_window + kPartialSums * j;
        for (int half = 0; half < 2; ++half) {
            const float* const xs = x + ((o + kPartialSums * j + kBlock * half) & kHistoryMask);
            const float* const ws = w + kBlock * half;
            double* const as = acc + kBlock * half;
            for (int i = 0; i < kBlock; ++i)
                as[i] += static_cast<double>(xs[i]) * static_cast<double>(ws[i]);
        }
    }
    for (int i = 0; i < kPartialSums; ++i) y[i] = static_cast<float>(acc[i]);
}

void Filterbank::window_block(int channel, const std::int16_t*& samples, float* y) {
    channel = channel != 0 ? 1 : 0;
    if (!x_ready_ && !x_failed_) {
        x_ = static_cast<float*>(allocate(2 * kHistory * sizeof(float), "x"));
        x_ready_ = x_ != nullptr;
        x_failed_ = x_ == nullptr;
    }
    if (!x_ready_) {
        // Without a history there is nothing to filter: the stream's subband
        // samples are silence, and the input is still consumed block by block.
        samples += kBlock;
        for (int i = 0; i < kPartialSums; ++i) y[i] = 0.0f;
        return;
    }

    float* const x = x_ + channel * kHistory;
    const int o = x_offset_[channel];

    // Newest sample at o, oldest of the block at o + 31. 2^-15 is exact, so
    // full scale -32768 maps to exactly -1.0.
    for (int i = 0; i < kBlock; ++i) x[o + kBlock - 1 - i] = static_cast<float>(samples[i]) * 0x1p-15f;
    samples += kBlock;

    window_sums(x, o, y);

    x_offset_[channel] = (o - kBlock) & kHistoryMask;
}

void Filterbank::matrix_block(const float* y, float* row) {
    const CosineMatrix& matrix = cosine_matrix();

    // S[i] = sum over k = 0..63 of cos((2i + 1)(k - 16) pi / 64) Y[k]. The
    // cosine is symmetric about k = 16 and antisymmetric about k = 48 (where it
    // is zero), so the 64 inputs fold into 32 that need only the cosines of
    // k = 0..31.
    float folded[32];
    folded[0] = y[16];
    for (int k = 1; k <= 16; ++k) folded[k] = y[16 - k] + y[16 + k];
    for (int k = 17; k < 32; ++k) folded[k] = y[16 + k] - y[80 - k];

    // Subband 31 - r has the multiplier 64 - m, whose cosines equal those of m
    // with the sign (-1)^k: one even and one odd partial sum per row give
    // both subbands. Every product and sum is a float operation in the order
    // of k; the 16 rows are accumulated side by side.
    float even[16];
    float odd[16];
    for (int r = 0; r < 16; ++r) {
        even[r] = 0.0f;
        odd[r] = 0.0f;
    }
    for (int k = 0; k < 32; k += 2) {
        const float fe = folded[k];
        const float fo = folded[k + 1];
        const float* const ce = matrix.by_column[k];
        const float* const co = matrix.by_column[k + 1];
        for (int r = 0; r < 16; ++r) {
            even[r] += fe * ce[r];
            odd[r] += fo * co[r];
        }
    }
    for (int r = 0; r < 16; ++r) {
        row[r] = even[r] + odd[r];
        row[31 - r] = even[r] - odd[r];
    }
}

void Filterbank::reset_filterbank() {
    x_offset_[0] = 0;
    x_offset_[1] = 0;
    x_failed_ = false;  // a new stream tries the allocation again
    if (x_ != nullptr) std::memset(x_, 0, 2 * kHistory * sizeof(float));
}

void Filterbank::release_filterbank() {
    release(x_);
    x_ = nullptr;
    x_offset_[0] = 0;
    x_offset_[1] = 0;
    x_ready_ = false;
    x_failed_ = false;
}

}  // namespace zuvo
