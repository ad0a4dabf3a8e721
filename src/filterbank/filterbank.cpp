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
constexpr int kLanes = 16;           // window sums accumulated side by side

// The cosine matrix in two layouts: by row r for callers that read
// matrix[r][k], and by column k for the matrixing loop, which accumulates all
// 16 rows at once in the order of k. Beside it the window in double: each
// entry is its float exactly, so a product with a history sample is the same
// exact product as before, only without converting either factor per block.
struct FilterbankTables {
    float by_row[16][32];
    float by_column[32][16];
    double window[kHistory];
};

FilterbankTables build_tables() {
    // The cosines are taken at a truncated value of pi and rounded to nine
    // decimals before going to single precision. This is not the nearest
    // float of the true cosine (about a quarter of the entries differ in the
    // last bit), but it is the matrix the encoder's output is defined by.
    constexpr double kPi = 3.14159265358979;
    FilterbankTables tables{};
    for (int r = 0; r < 16; ++r) {
        const int m = 2 * r + 1;
        for (int k = 0; k < 32; ++k) {
            const double v = 1.0e9 * std::cos(static_cast<double>(m * k) * kPi / 64.0);
            const long long rounded =
                v >= 0.0 ? static_cast<long long>(v + 0.5) : static_cast<long long>(v - 0.5);
            const float coefficient =
                static_cast<float>(static_cast<double>(static_cast<float>(rounded)) * 1.0e-9);
            tables.by_row[r][k] = coefficient;
            tables.by_column[k][r] = coefficient;
        }
    }
    for (int i = 0; i < kHistory; ++i) tables.window[i] = static_cast<double>(analysis_window[i]);
    return tables;
}

// Computed on first use; the initialisation of a function-local static is
// guarded, so concurrent first callers all see the finished tables.
const FilterbankTables& filterbank_tables() {
    static const FilterbankTables tables = build_tables();
    return tables;
}

// Newest sample at o, oldest of the block at o + 31. 2^-15 is exact, so full
// scale -32768 maps to exactly -1.0.
inline void insert_block(double* x, int o, const std::int16_t* samples) {
    for (int i = 0; i < kBlock; ++i) x[o + i] = static_cast<double>(samples[kBlock - 1 - i]) * 0x1p-15;
}

// Y[i] = sum over j of x[(o + i + 64 j) mod 512] * w[i + 64 j], in the order
// of j, in double. The product of two floats is exact in double, so only the
// additions round; the sum is rounded to float once. Segment j starts at a
// multiple of 32 in the history, so each half (32 taps) of a segment is
// contiguous there and the circular index never splits a half. Sixteen sums
// are carried at once through the eight segments, so that they stay in
// registers and their additions overlap.
inline void window_sums(const double* x, int o, const double* w, float* y) {
    for (int half = 0; half < 2; ++half) {
        for (int lane0 = 0; lane0 < kBlock; lane0 += kLanes) {
            const int first = kBlock * half + lane0;
            double acc[kLanes] = {};
#pragma GCC unroll 8
            for (int j = 0; j < kSegments; ++j) {
                const double* const xs = x + ((o + kPartialSums * j + first) & kHistoryMask);
                const double* const ws = w + kPartialSums * j + first;
                for (int i = 0; i < kLanes; ++i) acc[i] += xs[i] * ws[i];
            }
            for (int i = 0; i < kLanes; ++i) y[first + i] = static_cast<float>(acc[i]);
        }
    }
}

// Eight single-precision lanes. Arithmetic on it is element-wise IEEE
// arithmetic (one AVX or two SSE instructions); a scalar operand stands for
// eight copies of itself.
typedef float Lanes8 __attribute__((vector_size(32)));

// S[i] = sum over k = 0..63 of cos((2i + 1)(k - 16) pi / 64) Y[k]. The cosine
// is symmetric about k = 16 and antisymmetric about k = 48 (where it is zero),
// so the 64 inputs fold into 32 that need only the cosines of k = 0..31.
// Subband 31 - r has the multiplier 64 - m, whose cosines equal those of m
// with the sign (-1)^k: one even and one odd partial sum per row give both
// subbands. Every product and sum is a float operation in the order of k; the
// 16 rows are accumulated side by side, eight to a vector.
inline void matrix_sums(const float (*by_column)[16], const float* y, float* row) {
    float folded[32];
    folded[0] = y[16];
    for (int k = 1; k <= 16; ++k) folded[k] = y[16 - k] + y[16 + k];
    for (int k = 17; k < 32; ++k) folded[k] = y[16 + k] - y[80 - k];

    Lanes8 even[2] = {};
    Lanes8 odd[2] = {};
    for (int k = 0; k < 32; k += 2) {
        for (int h = 0; h < 2; ++h) {
            Lanes8 ce;
            Lanes8 co;
            std::memcpy(&ce, by_column[k] + 8 * h, sizeof ce);
            std::memcpy(&co, by_column[k + 1] + 8 * h, sizeof co);
            even[h] += folded[k] * ce;
            odd[h] += folded[k + 1] * co;
        }
    }
    float upper[16];
    for (int h = 0; h < 2; ++h) {
        const Lanes8 sum = even[h] + odd[h];
        const Lanes8 difference = even[h] - odd[h];
        std::memcpy(row + 8 * h, &sum, sizeof sum);
        std::memcpy(upper + 8 * h, &difference, sizeof difference);
    }
    for (int r = 0; r < 16; ++r) row[31 - r] = upper[r];
}

ZUVO_VECTOR_KERNEL
void window_step(double* x, int o, const std::int16_t* samples, float* y) {
    insert_block(x, o, samples);
    window_sums(x, o, filterbank_tables().window, y);
}

ZUVO_VECTOR_KERNEL
void matrix_step(const float* y, float* row) {
    matrix_sums(filterbank_tables().by_column, y, row);
}

// A frame of one channel, block by block; returns the offset after it.
ZUVO_VECTOR_KERNEL
int frame_steps(double* x, int o, const std::int16_t* samples, float (&rows)[3][12][32]) {
    const FilterbankTables& tables = filterbank_tables();
    float y[kPartialSums];
    for (int part = 0; part < 3; ++part) {
        for (int t = 0; t < 12; ++t) {
            insert_block(x, o, samples);
            samples += kBlock;
            window_sums(x, o, tables.window, y);
            matrix_sums(tables.by_column, y, rows[part][t]);
            o = (o - kBlock) & kHistoryMask;
        }
    }
    return o;
}

}  // namespace

const float (&analysis_matrix())[16][32] {
    return filterbank_tables().by_row;
}

Filterbank::~Filterbank() {
    release_filterbank();
}

double* Filterbank::history(int channel) {
    if (!x_ready_ && !x_failed_) {
        x_ = static_cast<double*>(allocate(2 * kHistory * sizeof(double), "x"));
        x_ready_ = x_ != nullptr;
        x_failed_ = x_ == nullptr;
    }
    return x_ready_ ? x_ + channel * kHistory : nullptr;
}

void Filterbank::window_block(int channel, const std::int16_t*& samples, float* y) {
    channel = channel != 0 ? 1 : 0;
    double* const x = history(channel);
    if (x == nullptr) {
        // Without a history there is nothing to filter: the stream's subband
        // samples are silence, and the input is still consumed block by block.
        samples += kBlock;
        for (int i = 0; i < kPartialSums; ++i) y[i] = 0.0f;
        return;
    }
    const int o = x_offset_[channel];
    window_step(x, o, samples, y);
    samples += kBlock;
    x_offset_[channel] = (o - kBlock) & kHistoryMask;
}

void Filterbank::matrix_block(const float* y, float* row) {
    matrix_step(y, row);
}

void Filterbank::analyze_frame(int channel, const std::int16_t* samples, float (&rows)[3][12][32]) {
    channel = channel != 0 ? 1 : 0;
    double* const x = history(channel);
    if (x == nullptr) {
        std::memset(rows, 0, sizeof rows);
        return;
    }
    x_offset_[channel] = frame_steps(x, x_offset_[channel], samples, rows);
}

void Filterbank::reset_filterbank() {
    x_offset_[0] = 0;
    x_offset_[1] = 0;
    x_failed_ = false;  // a new stream tries the allocation again
    if (x_ != nullptr) std::memset(x_, 0, 2 * kHistory * sizeof(double));
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
