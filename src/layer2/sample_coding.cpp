// Allocation fields, quantization and sample codes of Layer II.
//
// A normalised sample x in [-1, 1) is mapped onto the n steps of its class by
// y = A*x + B with A = n / 2P and B = A - 1, P being half the code range. The
// code is the step number floor(n * (x + 1) / 2); its most significant bit is
// the inverted sign of y. Classes of 3, 5 and 9 steps pack the codes of three
// consecutive samples into one codeword c0 + n * (c1 + n * c2).
#include "layer2/sample_coding.h"

#include "platform/platform.h"

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

namespace {

// The quantizers of the subbands of one channel in one part, lane by
// subband, all in double as quantize_sample computes: the scale factor, A, B,
// P and the highest code. A subband that codes nothing has P = 0 and highest
// code 0, which yields code 0 whatever its samples.
struct SubbandQuantizers {
    double scale[kSubbands];
    double a[kSubbands];
    double b[kSubbands];
    double p[kSubbands];
    double highest[kSubbands];
    std::int32_t p_code[kSubbands];
    std::int32_t highest_code[kSubbands];
};

// quantize_sample for the subbands of the twelve samples of a part, side
// by side: x = sample / scale, y = A*x + B; the upper half of the steps
// (offset P) when y >= 0, else y + 1; the step y * P, not a number or
// negative read as 0, limited to the highest code, truncated, plus the
// offset, limited again. The same double operations in the same order as the
// scalar quantizer, with selects for its branches. Subbands from joint_from
// on take their samples from the joint signal.
// Only the first `lanes` subbands are computed; the others code nothing and
// get code 0.
template <int lanes>
inline void quantize_lanes(const float (*samples)[32], const float (*joint)[32], int joint_from,
                           const SubbandQuantizers& q, std::uint32_t (*codes)[32]) {
    for (int j = 0; j < kPartSamples; ++j) {
        for (int sb = lanes; sb < kSubbands; ++sb) codes[j][sb] = 0;
        for (int sb = 0; sb < lanes; ++sb) {
            // Every operand is loaded and every operation done in all lanes;
            // only selects stand for the branches (adding 0 instead of 1
            // leaves y as it is, but for the sign of a zero, which the
            // truncation drops).
            const double highest = q.highest[sb];
            const std::int32_t p_code = q.p_code[sb];
            const std::int32_t highest_code = q.highest_code[sb];
            const float sample = sb < joint_from ? samples[j][sb] : joint[j][sb];
            const double x = static_cast<double>(sample) / q.scale[sb];
            const double y = q.a[sb] * x + q.b[sb];
            const bool upper = y >= 0.0;
            const double step = (y + (upper ? 0.0 : 1.0)) * q.p[sb];
            const double bounded = step >= 0.0 ? step : 0.0;
            const double limited = bounded < highest ? bounded : highest;
            const std::int32_t code = static_cast<std::int32_t>(limited) + (upper ? p_code : 0);
            codes[j][sb] = static_cast<std::uint32_t>(code < highest_code ? code : highest_code);
        }
    }
}

// Only the subbands up to the last one that codes anything are computed, in
// steps of eight lanes: low bitrates code at most 8 or 12 subbands, the
// second channel of a joint frame at most 16, and the top subbands of the
// table often get no allocation; the lanes above code 0 in any case.
ZUVO_VECTOR_KERNEL
void quantize_part(const float (*samples)[32], const float (*joint)[32], int joint_from, int coded_end,
                   const SubbandQuantizers& q, std::uint32_t (*codes)[32]) {
    if (coded_end <= 8) {
        quantize_lanes<8>(samples, joint, joint_from, q, codes);
    } else if (coded_end <= 16) {
        quantize_lanes<16>(samples, joint, joint_from, q, codes);
    } else if (coded_end <= 24) {
        quantize_lanes<24>(samples, joint, joint_from, q, codes);
    } else {
        quantize_lanes<kSubbands>(samples, joint, joint_from, q, codes);
    }
}

// A coded subband writes one or two fields per granule.
constexpr int kMaxFieldsPerSubband = 2;

// Codes are at most 16 bits wide; no table has more steps.
constexpr std::int32_t kMaxSteps = 65536;

}  // namespace

void quantize(const ChannelScaleIndices* scale_index, const ChannelSamples* sb_sample,
              const ChannelScaleIndices& j_scale_index, const ChannelSamples& j_sample,
              const std::int32_t (*allocation)[32], ChannelCodes* subband, const CodingParams& coding) {
    if (coding.alloc == nullptr || scale_index == nullptr || sb_sample == nullptr || allocation == nullptr ||
        subband == nullptr) {
        return;
    }
    const AllocTable& alloc = *coding.alloc;
    const CodingLimits l = coding_limits(coding);

    // Subbands from here on are coded once, from the joint signal, in channel 0.
    const int joint_from = l.nch == 2 ? l.bound : l.sblimit;
    SubbandQuantizers q;
    for (int k = 0; k < l.nch; ++k) {
        int coded_end = 0;  // one past the last subband that codes anything
        for (int sb = 0; sb < kSubbands; ++sb) {
            const bool sent = sb < l.sblimit && (k == 0 || sb < joint_from);
            const int index = sent ? coded_index(alloc, sb, allocation[k][sb]) : 0;
            const AllocEntry& e = alloc[sb][index];
            const bool coded = index != 0 && e.steps > 0;
            const int c = clamp_int(e.quant_class, 0, kMaxClass);
            const std::int32_t steps = coded ? (e.steps < kMaxSteps ? e.steps : kMaxSteps) : 1;
            q.a[sb] = static_cast<double>(quant_a[c]);
            q.b[sb] = static_cast<double>(quant_b[c]);
            q.p_code[sb] = coded ? quant_p[c] : 0;
            q.p[sb] = static_cast<double>(q.p_code[sb]);
            q.highest_code[sb] = steps - 1;
            q.highest[sb] = static_cast<double>(steps - 1);
            if (coded) coded_end = sb + 1;
        }
        for (int s = 0; s < kParts; ++s) {
            for (int sb = 0; sb < joint_from; ++sb) {
                q.scale[sb] = static_cast<double>(scale_factor_table[clamp_int(scale_index[k][s][sb], 0, 63)]);
            }
            for (int sb = joint_from; sb < l.sblimit; ++sb) {
                q.scale[sb] = static_cast<double>(scale_factor_table[clamp_int(j_scale_index[s][sb], 0, 63)]);
            }
            for (int sb = l.sblimit; sb < kSubbands; ++sb) q.scale[sb] = 1.0;
            quantize_part(sb_sample[k][s], j_sample[s], joint_from, coded_end, q, subband[k][s]);
        }
    }
}

void write_samples(const ChannelCodes* subband, const std::int32_t (*allocation)[32], const CodingParams& coding,
                   BitWriter& writer) {
    if (coding.alloc == nullptr || subband == nullptr || allocation == nullptr) return;
    const AllocTable& alloc = *coding.alloc;
    const CodingLimits l = coding_limits(coding);

    // The coded subbands of the frame in the order of the stream (subband,
    // then channel), with their code width, highest code and grouping,
    // worked out once for the twelve granules.
    struct CodedSubband {
        const std::uint32_t (*codes)[12][32];  // the channel's codes [part][sample][subband]
        int sb;
        int width;
        std::uint32_t steps;
        std::uint32_t highest;
        bool grouped;
    };
    CodedSubband coded[2 * kSubbands];
    int count = 0;
    for (int sb = 0; sb < l.sblimit; ++sb) {
        const int channels = sb < l.bound ? l.nch : 1;
        for (int k = 0; k < channels; ++k) {
            const int index = coded_index(alloc, sb, allocation[k][sb]);
            if (index == 0) continue;
            const AllocEntry& e = alloc[sb][index];
            const int width = clamp_int(e.code_bits, 0, 16);
            if (width == 0 || e.steps <= 0) continue;
            coded[count++] = {subband[k], sb, width, static_cast<std::uint32_t>(e.steps),
                              static_cast<std::uint32_t>(e.steps - 1), e.codewords != 3};
        }
    }

    // The fields of every granule, subband by subband: a grouped codeword,
    // three codes of up to 10 bits as one field, or a code and a pair. The
    // widths are the same in every granule; the stream then takes the
    // granules one after another.
    constexpr int kGranules = kParts * kPartSamples / 3;
    std::uint32_t fields[kGranules][kMaxChannels * kMaxFieldsPerSubband * kSubbands];
    int widths[kMaxChannels * kMaxFieldsPerSubband * kSubbands];
    int field_count = 0;
    for (int i = 0; i < count; ++i) {
        const CodedSubband& c = coded[i];
        const int first = field_count;
        for (int g = 0; g < kGranules; ++g) {
            const std::uint32_t (*const granule)[32] = c.codes[g / 4] + 3 * (g % 4);
            std::uint32_t v[3];
            for (int j = 0; j < 3; ++j) {
                const std::uint32_t code = granule[j][c.sb];
                v[j] = code < c.highest ? code : c.highest;
            }
            if (c.grouped) {
                fields[g][first] = v[0] + c.steps * (v[1] + c.steps * v[2]);
            } else if (c.width <= 10) {
                fields[g][first] = (((v[0] << c.width) | v[1]) << c.width) | v[2];
            } else {
                fields[g][first] = v[0];
                fields[g][first + 1] = (v[1] << c.width) | v[2];
            }
        }
        if (c.grouped) {
            widths[field_count++] = c.width;
        } else if (c.width <= 10) {
            widths[field_count++] = 3 * c.width;
        } else {
            widths[field_count++] = c.width;
            widths[field_count++] = 2 * c.width;
        }
    }
    for (int g = 0; g < kGranules; ++g) writer.put_fields(fields[g], widths, field_count);
}

}  // namespace zuvo
