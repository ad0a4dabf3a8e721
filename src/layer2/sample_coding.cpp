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

// The scale-factor indices of one channel's part: its own below joint_from,
// the joint signal's from there to `end` (sblimit); none is read past it, as
// those subbands code nothing whatever their scale factor.
struct PartScaleIndices {
    const std::int32_t* own;
    const std::int32_t* joint;
    int joint_from;
    int end;
};

// The quantizers of the subbands of one channel in one part, lane by
// subband, all in double as quantize_sample computes: the scale factor, A, B,
// P and the highest code. A subband that codes nothing has P = 0 and highest
// code 0, which yields code 0 whatever its samples.
struct SubbandQuantizers {
    double a[kSubbands];
    double b[kSubbands];
    double p[kSubbands];
    double highest[kSubbands];
    std::int32_t p_code[kSubbands];
    std::int32_t highest_code[kSubbands];
};

// quantize_sample for the subbands of the twelve samples of a part, side
// by side: the scale factor of each subband from its index (limited to the
// table), then x = sample / scale, y = A*x + B; the upper half of the steps
// (offset P) when y >= 0, else y + 1; the step y * P, not a number or
// negative read as 0, limited to the highest code, truncated, plus the
// offset, limited again. The same double operations in the same order as the
// scalar quantizer, with selects for its branches. Subbands from joint_from
// on take their samples from the joint signal.
// Only the first `lanes` subbands are computed; the others code nothing and
// get code 0.
template <int lanes>
inline void quantize_lanes(const float (*samples)[32], const float (*joint)[32], const PartScaleIndices& scale_index,
                           const SubbandQuantizers& q, std::uint32_t (*codes)[32]) {
    const int joint_from = scale_index.joint_from;
    double scale[kSubbands];
    for (int sb = 0; sb < lanes; ++sb) {
        const std::int32_t own = scale_index.own[sb];
        const std::int32_t shared = sb < scale_index.end ? scale_index.joint[sb] : 0;
        const std::int32_t index = sb < joint_from ? own : shared;
        scale[sb] = static_cast<double>(scale_factor_table[index < 0 ? 0 : (index > 63 ? 63 : index)]);
    }
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
            const double x = static_cast<double>(sample) / scale[sb];
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
ZUVO_WIDE_KERNEL
void quantize_part(const float (*samples)[32], const float (*joint)[32], const PartScaleIndices& scale_index,
                   int coded_end, const SubbandQuantizers& q, std::uint32_t (*codes)[32]) {
    if (coded_end <= 8) {
        quantize_lanes<8>(samples, joint, scale_index, q, codes);
    } else if (coded_end <= 16) {
        quantize_lanes<16>(samples, joint, scale_index, q, codes);
    } else if (coded_end <= 24) {
        quantize_lanes<24>(samples, joint, scale_index, q, codes);
    } else {
        quantize_lanes<kSubbands>(samples, joint, scale_index, q, codes);
    }
}

// The sample fields of a granule (three consecutive samples of a subband)
// by subband and channel, in a table of 128 per granule: the first field of
// channel c at c * 32 + subband, the second (codes wider than 10 bits) 64
// further on.
constexpr int kGranules = kParts * kPartSamples / 3;

// Codes are at most 16 bits wide; no table has more steps.
constexpr std::int32_t kMaxSteps = 65536;
constexpr int kGranuleFields = 2 * kMaxChannels * kSubbands;
constexpr int kSecondField = kMaxChannels * kSubbands;

// How the codes of one channel's subbands become fields, lane by subband:
// the highest code of the class, its steps, the code width, and whether the
// three codes are grouped into one codeword or written as a code and a pair.
// A subband that codes nothing has all zero and yields zero fields.
struct FieldFormats {
    std::uint32_t highest[kSubbands];
    std::uint32_t steps[kSubbands];
    std::uint32_t width[kSubbands];
    std::uint32_t grouped[kSubbands];
    std::uint32_t split[kSubbands];
    std::uint32_t first_mask[kSubbands];   // the width of the first field, as a mask
    std::uint32_t second_mask[kSubbands];  // of the second
};

// The fields of one channel's twelve granules, all subbands side by side:
// each code limited to its class's highest code, then the grouped codeword
// c0 + n * (c1 + n * c2), or the three codes side by side (c0 c1 c2), or, for
// codes wider than 10 bits, c0 alone and the pair (c1 c2) in the second field;
// each cut to its field's width (a table whose codewords outgrow their width
// loses the excess bits, as put_bits would drop them).
template <int lanes>
inline void granule_lanes(const ChannelCodes& codes, const FieldFormats& f, int channel,
                          std::uint32_t (*fields)[kGranuleFields]) {
    for (int g = 0; g < kGranules; ++g) {
        const std::uint32_t (*const rows)[32] = codes[g / 4] + 3 * (g % 4);
        std::uint32_t* const first = fields[g] + channel * kSubbands;
        std::uint32_t* const second = first + kSecondField;
        for (int sb = 0; sb < lanes; ++sb) {
            const std::uint32_t highest = f.highest[sb];
            const std::uint32_t steps = f.steps[sb];
            const std::uint32_t width = f.width[sb];
            const std::uint32_t v0 = rows[0][sb] < highest ? rows[0][sb] : highest;
            const std::uint32_t v1 = rows[1][sb] < highest ? rows[1][sb] : highest;
            const std::uint32_t v2 = rows[2][sb] < highest ? rows[2][sb] : highest;
            const std::uint32_t grouped = v0 + steps * (v1 + steps * v2);
            const std::uint32_t packed = (((v0 << width) | v1) << width) | v2;
            first[sb] = (f.grouped[sb] != 0 ? grouped : (f.split[sb] != 0 ? v0 : packed)) & f.first_mask[sb];
            second[sb] = ((v1 << width) | v2) & f.second_mask[sb];
        }
    }
}

// Only the subbands below coded_end (one past the last that codes anything)
// are worked out, in steps of sixteen lanes: the second channel of a joint
// frame codes at most 16. The fields of the others are never read.
ZUVO_WIDE_KERNEL
void granule_fields(const ChannelCodes& codes, const FieldFormats& f, int channel, int coded_end,
                    std::uint32_t (*fields)[kGranuleFields]) {
    if (coded_end <= 16) {
        granule_lanes<16>(codes, f, channel, fields);
    } else {
        granule_lanes<kSubbands>(codes, f, channel, fields);
    }
}

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
        // The subbands this channel sends; the others code nothing, whatever
        // A and B (P and the highest code are 0).
        const int sent = k == 0 ? l.sblimit : joint_from;
        for (int sb = sent; sb < kSubbands; ++sb) {
            q.a[sb] = q.b[sb] = q.p[sb] = q.highest[sb] = 0.0;
            q.p_code[sb] = q.highest_code[sb] = 0;
        }
        for (int sb = 0; sb < sent; ++sb) {
            const int index = coded_index(alloc, sb, allocation[k][sb]);
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
            const PartScaleIndices index{scale_index[k][s], j_scale_index[s], joint_from, l.sblimit};
            quantize_part(sb_sample[k][s], j_sample[s], index, coded_end, q, subband[k][s]);
        }
    }
}

void write_samples(const ChannelCodes* subband, const std::int32_t (*allocation)[32], const CodingParams& coding,
                   BitWriter& writer) {
    if (coding.alloc == nullptr || subband == nullptr || allocation == nullptr) return;
    const AllocTable& alloc = *coding.alloc;
    const CodingLimits l = coding_limits(coding);

    // The fields of the coded subbands in the order of the stream (subband,
    // then channel) with their widths, worked out once for the twelve
    // granules: the widths are the same in every granule.
    FieldFormats formats[kMaxChannels] = {};
    int coded_end[kMaxChannels] = {};
    std::uint16_t at[2 * kMaxChannels * kSubbands];
    int widths[2 * kMaxChannels * kSubbands];
    int field_count = 0;
    for (int sb = 0; sb < l.sblimit; ++sb) {
        const int channels = sb < l.bound ? l.nch : 1;
        for (int k = 0; k < channels; ++k) {
            const int index = coded_index(alloc, sb, allocation[k][sb]);
            if (index == 0) continue;
            const AllocEntry& e = alloc[sb][index];
            const int width = clamp_int(e.code_bits, 0, 16);
            if (width == 0 || e.steps <= 0) continue;
            FieldFormats& f = formats[k];
            coded_end[k] = sb + 1;
            f.highest[sb] = static_cast<std::uint32_t>(e.steps - 1);
            f.steps[sb] = static_cast<std::uint32_t>(e.steps);
            f.width[sb] = static_cast<std::uint32_t>(width);
            f.grouped[sb] = e.codewords != 3 ? 1u : 0u;
            f.split[sb] = e.codewords == 3 && width > 10 ? 1u : 0u;
            // Field widths: 1 to 16 bits, three codes of up to 10 bits, or a
            // code and a pair of up to 32 bits.
            const int first_width = e.codewords != 3 || width > 10 ? width : 3 * width;
            const int second_width = f.split[sb] != 0 ? 2 * width : 0;
            f.first_mask[sb] = static_cast<std::uint32_t>((std::uint64_t{1} << first_width) - 1);
            f.second_mask[sb] = static_cast<std::uint32_t>((std::uint64_t{1} << second_width) - 1);
            at[field_count] = static_cast<std::uint16_t>(k * kSubbands + sb);
            widths[field_count++] = first_width;
            if (second_width != 0) {
                at[field_count] = static_cast<std::uint16_t>(kSecondField + k * kSubbands + sb);
                widths[field_count++] = second_width;
            }
        }
    }

    std::uint32_t fields[kGranules][kGranuleFields];
    for (int k = 0; k < l.nch; ++k) granule_fields(subband[k], formats[k], k, coded_end[k], fields);
    for (int g = 0; g < kGranules; ++g) writer.put_fitted_fields(fields[g], at, widths, field_count);
}

}  // namespace zuvo
