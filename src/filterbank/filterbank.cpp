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
    alignas(64) float by_row[16][32];
    alignas(64) float by_column[32][16];
    alignas(64) double window[kHistory];
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

// Helpers inlined into each instruction-set copy of the frame kernel.
#define ZUVO_KERNEL_PART __attribute__((always_inline)) inline

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

// A whole frame of one channel. The 480 samples of history that the frame's
// first block still reads and the frame's 1152 new ones are laid out newest
// first in one linear array, so that block t (newest sample at frame index
// 32t + 31) finds its 512 taps contiguous from line 1120 - 32t on. No block
// then writes what another reads: the 36 window sums are independent of each
// other and overlap in the pipeline, eight doubles to a vector where the
// machine has them. The matrixing takes two blocks at a time for the same
// reason: within a block the sums in the order of k are one dependent chain
// per vector. Each sum still adds the same terms in the same order as
// window_sums and matrix_sums, so the results are those of window_step and
// matrix_step block by block. Returns the offset after the frame, having
// left the newest 512 samples in the circular history as those steps would.
typedef double Lanes8d __attribute__((vector_size(64)));
typedef float Lanes8f __attribute__((vector_size(32)));
typedef float Lanes16 __attribute__((vector_size(64)));
typedef std::int16_t Lanes8s __attribute__((vector_size(16)));
typedef std::int32_t Lanes8i __attribute__((vector_size(32)));
typedef std::int32_t Index16 __attribute__((vector_size(64)));
typedef std::int16_t Index8s __attribute__((vector_size(16)));

constexpr int kFrameBlocks = 36;
constexpr int kFrameSamples = kFrameBlocks * kBlock;     // 1152
constexpr int kCarried = kHistory - kBlock;              // 480 samples of history read by the first block
constexpr int kLine = kFrameSamples + kCarried;          // 1632

// Lane order reversed (by reference: a 64-byte vector is not passed by value
// in the baseline calling convention).
ZUVO_KERNEL_PART void reverse_lanes(Lanes16& v) {
    v = ZUVO_SHUFFLE(v, Index16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
}

// line[p] = sample 1151 - p of the frame, then the carried history newest
// first. Pure data movement and exact scalings.
ZUVO_KERNEL_PART void frame_line(const double* x, int o, const std::int16_t* samples, double* line) {
    for (int p = 0; p < kFrameSamples; p += 8) {
        Lanes8s s;
        std::memcpy(&s, samples + kFrameSamples - 8 - p, sizeof s);
        s = ZUVO_SHUFFLE(s, Index8s, 7, 6, 5, 4, 3, 2, 1, 0);
        // Widened to 32 bits first: the direct conversion is not vectorized.
        const Lanes8d v = __builtin_convertvector(__builtin_convertvector(s, Lanes8i), Lanes8d) * 0x1p-15;
        std::memcpy(line + p, &v, sizeof v);
    }
    // x[(o + 32 + m) mod 512] for m = 0..479: two contiguous runs.
    const int first = (o + kBlock) & kHistoryMask;
    const int run = kHistory - first < kCarried ? kHistory - first : kCarried;
    std::memcpy(line + kFrameSamples, x + first, run * sizeof(double));
    std::memcpy(line + kFrameSamples + run, x, (kCarried - run) * sizeof(double));
}

// The window sums of the frame's 36 blocks. Each product of a history sample
// (16 significant bits) and a window coefficient (a float, 24 bits) is exact
// in double, so a fused multiply-add rounds exactly as the multiplication and
// addition of window_sums do: the copies below that may fuse them are
// compiled with contraction allowed, and only for these sums.
//
// Block t + 1 starts 32 lines before block t, so the samples that block t
// multiplies into its sums Y[0..31] in segment j are those that block t + 1
// multiplies into Y[32..63]: one load serves both, with the two halves of the
// window. The pass for t = -1 gives block 0 its upper half (its lower half is
// not used), the pass for t = 35 its lower half to the last block. Each pass
// carries 2 Vectors sums of eight doubles through the eight segments, as many
// as the machine's registers hold.
template <int Vectors>
ZUVO_KERNEL_PART void frame_window_sums(const double* line, const double* w, float (*y)[kPartialSums]) {
    constexpr int kGroup = 8 * Vectors;  // sums of each half per pass
    for (int t = -1; t < kFrameBlocks; ++t) {
        const double* const shared = line + (kFrameSamples - kBlock) - kBlock * t;
        for (int q = 0; q < kBlock; q += kGroup) {
            Lanes8d lower[Vectors] = {};
            Lanes8d upper[Vectors] = {};
            for (int j = 0; j < kSegments; ++j) {
                for (int v = 0; v < Vectors; ++v) {
                    const int i = kPartialSums * j + q + 8 * v;
                    Lanes8d xs;
                    Lanes8d w_lower;
                    Lanes8d w_upper;
                    std::memcpy(&xs, shared + i, sizeof xs);
                    std::memcpy(&w_lower, w + i, sizeof w_lower);
                    std::memcpy(&w_upper, w + i + kBlock, sizeof w_upper);
                    lower[v] += xs * w_lower;
                    upper[v] += xs * w_upper;
                }
            }
            for (int v = 0; v < Vectors; ++v) {
                if (t >= 0) {
                    const Lanes8f rounded = __builtin_convertvector(lower[v], Lanes8f);
                    std::memcpy(y[t] + q + 8 * v, &rounded, sizeof rounded);
                }
                if (t + 1 < kFrameBlocks) {
                    const Lanes8f rounded = __builtin_convertvector(upper[v], Lanes8f);
                    std::memcpy(y[t + 1] + kBlock + q + 8 * v, &rounded, sizeof rounded);
                }
            }
        }
    }
}

// The fold of matrix_sums, sixteen lanes at a time: folded[1..16] =
// Y[15..0] + Y[17..32] and folded[17..31] = Y[33..47] - Y[63..49] (lane 32
// is Y[48] - Y[48], unused).
ZUVO_KERNEL_PART void fold_partial_sums(const float* y, float* folded) {
    Lanes16 low;
    Lanes16 mid;
    Lanes16 high;
    Lanes16 top;
    std::memcpy(&low, y, sizeof low);
    std::memcpy(&mid, y + 17, sizeof mid);
    std::memcpy(&high, y + 33, sizeof high);
    std::memcpy(&top, y + 48, sizeof top);
    reverse_lanes(low);
    reverse_lanes(top);
    const Lanes16 sums = low + mid;
    const Lanes16 differences = high - top;
    folded[0] = y[16];
    std::memcpy(folded + 1, &sums, sizeof sums);
    std::memcpy(folded + 17, &differences, sizeof differences);
}

// The matrixing of matrix_sums for Together blocks side by side (within a
// block the sums in the order of k are one dependent chain per vector).
template <int Together>
ZUVO_KERNEL_PART void frame_matrix_sums(const float (*by_column)[16], const float (*y)[kPartialSums],
                                        float (*rows)[32]) {
    static_assert(kFrameBlocks % Together == 0, "whole groups of blocks");
    for (int t = 0; t < kFrameBlocks; t += Together) {
        alignas(64) float folded[Together][48];
        for (int b = 0; b < Together; ++b) fold_partial_sums(y[t + b], folded[b]);
        Lanes16 even[Together] = {};
        Lanes16 odd[Together] = {};
        for (int k = 0; k < 32; k += 2) {
            Lanes16 ce;
            Lanes16 co;
            std::memcpy(&ce, by_column[k], sizeof ce);
            std::memcpy(&co, by_column[k + 1], sizeof co);
            for (int b = 0; b < Together; ++b) {
                even[b] += folded[b][k] * ce;
                odd[b] += folded[b][k + 1] * co;
            }
        }
        for (int b = 0; b < Together; ++b) {
            const Lanes16 sum = even[b] + odd[b];
            Lanes16 difference = even[b] - odd[b];
            reverse_lanes(difference);
            std::memcpy(rows[t + b], &sum, sizeof sum);
            std::memcpy(rows[t + b] + 16, &difference, sizeof difference);
        }
    }
}

using WindowSums = void (*)(const double* line, const double* w, float (*y)[kPartialSums]);

template <int Together>
ZUVO_KERNEL_PART int frame_steps(WindowSums window_sums, double* x, int o, const std::int16_t* samples,
                                 float (&rows)[3][12][32]) {
    const FilterbankTables& tables = filterbank_tables();
    alignas(64) double line[kLine];
    frame_line(x, o, samples, line);

    alignas(64) float y[kFrameBlocks][kPartialSums];
    window_sums(line, tables.window, y);
    frame_matrix_sums<Together>(tables.by_column, y, &rows[0][0]);

    // The newest 512 samples back into the circular history, the newest at
    // the last block's offset: two contiguous runs again.
    const int last = (o - kBlock * (kFrameBlocks - 1)) & kHistoryMask;
    std::memcpy(x + last, line, (kHistory - last) * sizeof(double));
    std::memcpy(x, line + (kHistory - last), last * sizeof(double));
    return (last - kBlock) & kHistoryMask;
}

// The frame kernel for each instruction set, with as many sums in flight as
// its registers hold (32 vector registers of 8 doubles with AVX-512, 16 of 4
// with AVX2). Every copy does the same IEEE operations on every sum in the
// same order, so all give the same bits.
using FrameSteps = int (*)(double* x, int o, const std::int16_t* samples, float (&rows)[3][12][32]);

void window_sums_baseline(const double* line, const double* w, float (*y)[kPartialSums]) {
    frame_window_sums<2>(line, w, y);
}
int frame_steps_baseline(double* x, int o, const std::int16_t* samples, float (&rows)[3][12][32]) {
    return frame_steps<2>(window_sums_baseline, x, o, samples, rows);
}

#if ZUVO_MULTIVERSION
__attribute__((target("avx2,fma"), optimize("fp-contract=fast")))
void window_sums_avx2(const double* line, const double* w, float (*y)[kPartialSums]) {
    frame_window_sums<2>(line, w, y);
}
__attribute__((target("avx2")))
int frame_steps_avx2(double* x, int o, const std::int16_t* samples, float (&rows)[3][12][32]) {
    return frame_steps<2>(window_sums_avx2, x, o, samples, rows);
}
__attribute__((target("avx512f"), optimize("fp-contract=fast")))
void window_sums_avx512(const double* line, const double* w, float (*y)[kPartialSums]) {
    frame_window_sums<4>(line, w, y);
}
__attribute__((target("avx512f")))
int frame_steps_avx512(double* x, int o, const std::int16_t* samples, float (&rows)[3][12][32]) {
    return frame_steps<4>(window_sums_avx512, x, o, samples, rows);
}
#endif

const KernelCopies<FrameSteps>& frame_kernels() {
    static const KernelCopies<FrameSteps> kernels = find_kernel_copies<FrameSteps>(
        frame_steps_baseline, ZUVO_COPY(frame_steps_avx2), ZUVO_COPY(frame_steps_avx512));
    return kernels;
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

int Filterbank::frame_kernel_copies() {
    return frame_kernels().count;
}

void Filterbank::analyze_frame(int channel, const std::int16_t* samples, float (&rows)[3][12][32], int copy) {
    channel = channel != 0 ? 1 : 0;
    double* const x = history(channel);
    if (x == nullptr) {
        std::memset(rows, 0, sizeof rows);
        return;
    }
    x_offset_[channel] = frame_kernels().pick(copy)(x, x_offset_[channel], samples, rows);
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
