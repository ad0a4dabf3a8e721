// Allocation fields, quantization and sample codes of Layer II.
//
// A normalised sample x in [-1, 1) is mapped onto the n steps of its class by
// y = A*x + B with A = n / 2P and B = A - 1, P being half the code range. The
// code is the step number floor(n * (x + 1) / 2); its most significant bit is
// the inverted sign of y. Classes of 3, 5 and 9 steps pack the codes of three
// consecutive samples into one codeword c0 + n * (c1 + n * c2).
#include "layer2/sample_coding.h"

namespace zuvo {

const float quant_a[17] = {0.750000000f, 0.625000000f, 0.875000000f, 0.562500000f, 0.937500000f, 0.968750000f,
                           0.984375000f, 0.992187500f, 0.996093750f, 0.998046875f, 0.999023438f, 0.999511719f,
                           0.999755859f, 0.999877930f, 0.999938965f, 0.999969482f, 0.999984741f};

const float quant_b[17] = {-0.250000000f, -0.375000000f, -0.125000000f, -0.437500000f, -0.062500000f,
                           -0.031250000f, -0.015625000f, -0.007812500f, -0.003906250f, -0.001953125f,
                           -0.000976563f, -0.000488281f, -0.000244141f, -0.000122070f, -0.000061035f,
                           -0.000030518f, -0.000015259f};

const std::int32_t quant_p[17] = {2,   4,    4,    8,    8,    16,   32,    64,   128,
                                  256, 512, 1024, 2048, 4096, 8192, 16384, 32768};

namespace {

constexpr int kMaxChannels = 2;
constexpr int kParts = 3;
constexpr int kPartSamples = 12;
constexpr int kMaxClass = 16;

// The allocation index as its field carries it, so that the writers, the
// quantizer and the check word all see the same value and never index past
// the subband's sixteen entries.
int coded_index(const AllocTable& alloc, int s, std::int32_t allocation) {
    return allocation & ((1 << field_bits(alloc, s)) - 1);
}

}  // namespace

void write_allocation(const std::int32_t (*allocation)[32], const CodingParams& coding, BitWriter& writer) {
    if (coding.alloc == nullptr || allocation == nullptr) return;
    const AllocTable& alloc = *coding.alloc;
    const CodingLimits l = coding_limits(coding);
    for (int sb = 0; sb < l.sblimit; ++sb) {
        const int width = field_bits(alloc, sb);
        if (width == 0) continue;
        const int channels = sb < l.bound ? l.nch : 1;
        for (int k = 0; k < channels; ++k) writer.put_bits(coded_index(alloc, sb, allocation[k][sb]), width);
    }
}

std::uint32_t quantize_sample(double x, int quant_class, std::int32_t steps) {
    if (steps <= 0) return 0;
    const int q = clamp_int(quant_class, 0, kMaxClass);
    const double p = static_cast<double>(quant_p[q]);
    double y = static_cast<double>(quant_a[q]) * x + static_cast<double>(quant_b[q]);
    double offset = 0.0;
    if (y >= 0.0) {
        offset = p;  // sign bit set: the upper half of the steps
    } else {
        y += 1.0;
    }
    // In range, y * P lies in [0, P) and adding P equals setting the sign bit.
    // A sample beyond the scale factor (or not a number) saturates at the
    // outermost step instead of producing a code the class cannot hold.
    double scaled = y * p;
    if (!(scaled >= 0.0)) scaled = 0.0;
    const double highest = static_cast<double>(steps - 1);
    double code = static_cast<double>(static_cast<std::int64_t>(scaled < highest ? scaled : highest)) + offset;
    if (code > highest) code = highest;
    return static_cast<std::uint32_t>(code);
}

void quantize(const ChannelScaleIndices* scale_index, const ChannelSamples* sb_sample,
              const ChannelScaleIndices& j_scale_index, const ChannelSamples& j_sample,
              const std::int32_t (*allocation)[32], ChannelCodes* subband, const CodingParams& coding) {
    if (coding.alloc == nullptr || scale_index == nullptr || sb_sample == nullptr || allocation == nullptr ||
        subband == nullptr) {
        return;
    }
    const AllocTable& alloc = *coding.alloc;
    const CodingLimits l = coding_limits(coding);

    for (int sb = 0; sb < l.sblimit; ++sb) {
        const bool joint = l.nch == 2 && sb >= l.bound;
        const int channels = sb < l.bound ? l.nch : 1;
        for (int k = 0; k < channels; ++k) {
            const int index = coded_index(alloc, sb, allocation[k][sb]);
            if (index == 0) continue;
            const AllocEntry& e = alloc[sb][index];
            for (int s = 0; s < kParts; ++s) {
                const float scale = joint ? scale_factor_table[clamp_int(j_scale_index[s][sb], 0, 63)]
                                          : scale_factor_table[clamp_int(scale_index[k][s][sb], 0, 63)];
                for (int j = 0; j < kPartSamples; ++j) {
                    const float sample = joint ? j_sample[s][j][sb] : sb_sample[k][s][j][sb];
                    const double x = static_cast<double>(sample) / static_cast<double>(scale);
                    subband[k][s][j][sb] = quantize_sample(x, e.quant_class, e.steps);
                }
            }
        }
    }

    for (int k = 0; k < l.nch; ++k) {
        for (int s = 0; s < kParts; ++s) {
            for (int j = 0; j < kPartSamples; ++j) {
                for (int sb = l.sblimit; sb < kSubbands; ++sb) subband[k][s][j][sb] = 0;
            }
        }
    }
}

void write_samples(const ChannelCodes* subband, const std::int32_t (*allocation)[32], const CodingParams& coding,
                   BitWriter& writer) {
    if (coding.alloc == nullptr || subband == nullptr || allocation == nullptr) return;
    const AllocTable& alloc = *coding.alloc;
    const CodingLimits l = coding_limits(coding);

    for (int s = 0; s < kParts; ++s) {
        for (int j0 = 0; j0 < kPartSamples; j0 += 3) {
            for (int sb = 0; sb < l.sblimit; ++sb) {
                const int channels = sb < l.bound ? l.nch : 1;
                for (int k = 0; k < channels; ++k) {
                    const int index = coded_index(alloc, sb, allocation[k][sb]);
                    if (index == 0) continue;
                    const AllocEntry& e = alloc[sb][index];
                    const int width = clamp_int(e.code_bits, 0, 16);
                    if (width == 0 || e.steps <= 0) continue;
                    const std::uint32_t highest = static_cast<std::uint32_t>(e.steps - 1);
                    auto code = [&](int j) {
                        const std::uint32_t c = subband[k][s][j][sb];
                        return c < highest ? c : highest;
                    };
                    if (e.codewords == 3) {
                        for (int j = j0; j < j0 + 3; ++j) writer.put_bits(static_cast<std::int32_t>(code(j)), width);
                    } else {
                        const std::uint32_t n = static_cast<std::uint32_t>(e.steps);
                        const std::uint32_t grouped = code(j0) + n * (code(j0 + 1) + n * code(j0 + 2));
                        writer.put_bits(static_cast<std::int32_t>(grouped), width);
                    }
                }
            }
        }
    }
}

}  // namespace zuvo
