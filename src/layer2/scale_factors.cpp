// Scale factors of Layer II: the index search, the joint-stereo sum signal,
// the choice of how many of a subband's three scale factors a frame carries
// (scfsi), and the writer of scfsi and the scale-factor indices.
#include "layer2/scale_factors.h"

#include <cmath>
#include <cstring>

#include "platform/platform.h"

namespace zuvo {

namespace {

constexpr int kMaxChannels = 2;
constexpr int kParts = 3;
constexpr int kPartSamples = 12;


// Class of the difference between the indices of two neighbouring parts:
// 0 = the later part is much louder (d <= -3), 1 = louder, 2 = equal,
// 3 = quieter, 4 = much quieter (d >= 3). The difference limited to -3..3
// reads the class from a table: a sum of comparisons is compiled into a
// branch on d == 0, which the signal makes unpredictable.
constexpr int kDifferenceClass[7] = {0, 1, 1, 2, 3, 3, 4};

inline int difference_class(int d) {
    const int limited = d < -3 ? -3 : (d > 3 ? 3 : d);
    return kDifferenceClass[limited + 3];
}

}  // namespace

// 2^(1 - i/3) rounded to single precision; the last entry stands for silence.
const float scale_factor_table[64] = {
    2.0f,           1.58740103f,    1.25992107f,    1.0f,
    0.793700516f,   0.629960537f,   0.5f,           0.396850258f,
    0.314980268f,   0.25f,          0.198425129f,   0.157490134f,
    0.125f,         0.0992125645f,  0.0787450671f,  0.0625f,
    0.0496062823f,  0.0393725336f,  0.03125f,       0.0248031411f,
    0.0196862668f,  0.015625f,      0.0124015706f,  0.00984313339f,
    0.0078125f,     0.00620078528f, 0.00492156669f, 0.00390625f,
    0.00310039264f, 0.00246078335f, 0.001953125f,   0.00155019632f,
    0.00123039167f, 0.0009765625f,  0.00077509816f, 0.000615195837f,
    0.00048828125f, 0.00038754908f, 0.000307597918f, 0.000244140625f,
    0.00019377454f, 0.000153798959f, 0.000122070312f, 9.688727e-05f,
    7.68994796e-05f, 6.10351562e-05f, 4.8443635e-05f, 3.84497398e-05f,
    3.05175781e-05f, 2.42218175e-05f, 1.92248699e-05f, 1.52587891e-05f,
    1.21109088e-05f, 9.61243495e-06f, 7.62939453e-06f, 6.05545438e-06f,
    4.80621748e-06f, 3.81469727e-06f, 3.02772719e-06f, 2.40310874e-06f,
    1.90734863e-06f, 1.51386359e-06f, 1.20155437e-06f, 1e-20f,
};

// Patterns by [class of i0 - i1][class of i1 - i2]. Digit k names the part
// (counted from 1) whose scale factor part k reuses; 4 means the larger of the
// scale factors of the first and the third part.
constexpr int scfsi_patterns[5][5] = {
    {123, 122, 122, 133, 123},
    {113, 111, 111, 444, 113},
    {111, 111, 111, 333, 113},
    {222, 222, 222, 333, 123},
    {123, 122, 122, 133, 123},
};

namespace {

// The index of the smallest scale factor that still covers a peak (0 for a
// peak beyond the largest, 63 for silence), from the peak's binary exponent.
// For peak = m * 2^e with m in [1, 2), the scale factors 2^(e + 1),
// 2^(e + 2/3), 2^(e + 1/3) and 2^e have the indices -3e .. 3 - 3e, and each
// is a power of two times 2, 2^(2/3), 2^(1/3) or 1 exactly (rounding to float
// does not depend on the power of two), so comparing m with those three
// entries places the peak among them. The table's last entry stands for
// silence and falls outside the pattern.
inline int scale_index_of(float peak) {
    std::uint32_t bits;
    std::memcpy(&bits, &peak, sizeof bits);
    const int exponent = static_cast<int>(bits >> 23) - 127;  // the peak is not negative
    const std::uint32_t unit_bits = (bits & 0x7FFFFFu) | 0x3F800000u;
    float m;
    std::memcpy(&m, &unit_bits, sizeof m);
    const int index = -3 * exponent + (m <= scale_factor_table[1] ? 1 : 0) + (m <= scale_factor_table[2] ? 1 : 0) +
                      (m <= 1.0f ? 1 : 0);
    const int below_table = peak <= scale_factor_table[63] ? 63 : 62;
    return index < 0 ? 0 : (index > 62 ? below_table : index);
}

}  // namespace

namespace {

// The scale-factor indices of one channel's frame: the largest magnitude of
// each part's twelve samples per subband (a sample that is not a number is
// passed over) and its index, for all 32 subbands side by side; the coded
// ones are kept.
ZUVO_WIDE_KERNEL
void channel_scale_indices(const ChannelSamples& samples, ChannelScaleIndices& out, int sblimit) {
    for (int p = 0; p < kParts; ++p) {
        float peak[kSubbands] = {};
        for (int k = 0; k < kPartSamples; ++k) {
            for (int s = 0; s < kSubbands; ++s) {
                const float magnitude = std::fabs(samples[p][k][s]);
                peak[s] = magnitude > peak[s] ? magnitude : peak[s];
            }
        }
        std::int32_t index[kSubbands];
        for (int s = 0; s < kSubbands; ++s) index[s] = scale_index_of(peak[s]);
        // Every lane rewritten, the uncoded ones with what they held (a
        // copy of the coded ones alone is compiled into a call to memcpy).
        for (int s = 0; s < kSubbands; ++s) out[p][s] = s < sblimit ? index[s] : out[p][s];
    }
}

// (L + R) / 2 in double, rounded once.
ZUVO_VECTOR_KERNEL
void joint_sum(const ChannelSamples& left, const ChannelSamples& right, ChannelSamples& j_sample, int sblimit) {
    for (int p = 0; p < kParts; ++p) {
        for (int k = 0; k < kPartSamples; ++k) {
            for (int s = 0; s < sblimit; ++s) {
                const double sum = static_cast<double>(left[p][k][s]) + static_cast<double>(right[p][k][s]);
                j_sample[p][k][s] = static_cast<float>(sum * 0.5);
            }
        }
    }
}

}  // namespace

void compute_scale_indices(const ChannelSamples* samples, ChannelScaleIndices* out, int channels,
                           int sblimit) {
    if (samples == nullptr || out == nullptr) return;
    channels = clamp_int(channels, 0, kMaxChannels);
    sblimit = clamp_int(sblimit, 0, kSubbands);
    for (int c = 0; c < channels; ++c) channel_scale_indices(samples[c], out[c], sblimit);
}

void combine_joint(const ChannelSamples* sb_sample, ChannelSamples& j_sample, int sblimit) {
    if (sb_sample == nullptr) return;
    joint_sum(sb_sample[0], sb_sample[1], j_sample, clamp_int(sblimit, 0, kSubbands));
}

namespace {

// What a pattern does to a subband: its scfsi and, for each part, which of
// {i0, i1, i2, the smaller of i0 and i2} it takes as its index.
struct ScfsiChoice {
    std::int32_t scfsi;
    int from[3];
};

constexpr ScfsiChoice choice_of(int pattern) {
    switch (pattern) {
        case 122: return {3, {0, 1, 1}};
        case 133: return {3, {0, 2, 2}};
        case 113: return {1, {0, 0, 2}};
        case 111: return {2, {0, 0, 0}};
        case 222: return {2, {1, 1, 1}};
        case 333: return {2, {2, 2, 2}};
        // One scale factor for all three parts: the larger of the first and
        // last, so neither part overloads.
        case 444: return {2, {3, 3, 3}};
        default: return {0, {0, 1, 2}};  // 123: all three sent
    }
}

struct ScfsiChoices {
    ScfsiChoice by_class[5][5];
};

constexpr ScfsiChoices make_choices() {
    ScfsiChoices t{};
    for (int a = 0; a < 5; ++a) {
        for (int b = 0; b < 5; ++b) t.by_class[a][b] = choice_of(scfsi_patterns[a][b]);
    }
    return t;
}

// The patterns resolved once, so that choosing is a table look-up rather
// than a jump that the signal makes unpredictable.
constexpr ScfsiChoices kChoices = make_choices();

}  // namespace

void select_scfsi(ChannelScaleIndices* scale_index, std::int32_t (*scfsi)[32], const CodingParams& coding) {
    if (scale_index == nullptr || scfsi == nullptr) return;
    const int nch = clamp_int(coding.nch, 1, kMaxChannels);
    const int sblimit = clamp_int(coding.sblimit, 0, kSubbands);
    for (int c = 0; c < nch; ++c) {
        for (int s = 0; s < sblimit; ++s) {
            std::int32_t& i0 = scale_index[c][0][s];
            std::int32_t& i1 = scale_index[c][1][s];
            std::int32_t& i2 = scale_index[c][2][s];
            const std::int32_t v[4] = {i0, i1, i2, i2 < i0 ? i2 : i0};
            const ScfsiChoice& choice = kChoices.by_class[difference_class(i0 - i1)][difference_class(i1 - i2)];
            scfsi[c][s] = choice.scfsi;
            i0 = v[choice.from[0]];
            i1 = v[choice.from[1]];
            i2 = v[choice.from[2]];
        }
    }
}

void write_scale_factors(const std::int32_t (*allocation)[32], const std::int32_t (*scfsi)[32],
                         const ChannelScaleIndices* scale_index, const CodingParams& coding,
                         BitWriter& writer) {
    if (allocation == nullptr || scfsi == nullptr || scale_index == nullptr) return;
    const int nch = clamp_int(coding.nch, 1, kMaxChannels);
    const int sblimit = clamp_int(coding.sblimit, 0, kSubbands);

    for (int s = 0; s < sblimit; ++s) {
        for (int c = 0; c < nch; ++c) {
            if (allocation[c][s] != 0) writer.put_bits(scfsi[c][s] & 3, 2);
        }
    }

    // Index 63 marks a silent part inside the encoder; the stream has no such
    // scale factor, so it goes out as 62, the smallest one.
    auto put_index = [&writer](std::int32_t index) { writer.put_bits(clamp_int(index, 0, 62), 6); };
    for (int s = 0; s < sblimit; ++s) {
        for (int c = 0; c < nch; ++c) {
            if (allocation[c][s] == 0) continue;
            switch (scfsi[c][s] & 3) {
                case 0:
                    put_index(scale_index[c][0][s]);
                    put_index(scale_index[c][1][s]);
                    put_index(scale_index[c][2][s]);
                    break;
                case 1:
                case 3:
                    put_index(scale_index[c][0][s]);
                    put_index(scale_index[c][2][s]);
                    break;
                default:  // 2
                    put_index(scale_index[c][0][s]);
                    break;
            }
        }
    }
}

void follow_shared_scale_factors(const ChannelScaleIndices* unshared, const ChannelScaleIndices* shared,
                                 ChannelScaleIndices& joint, int sblimit) {
    for (int sb = 0; sb < clamp_int(sblimit, 0, kSubbands); ++sb) {
        for (int part = 0; part < 3; ++part) {
            int raise = 0;
            for (int ch = 0; ch < 2; ++ch) {
                const int steps = unshared[ch][part][sb] - shared[ch][part][sb];
                raise = steps > raise ? steps : raise;
            }
            const int index = joint[part][sb] - raise;
            joint[part][sb] = index < 0 ? 0 : index;
        }
    }
}

}  // namespace zuvo
