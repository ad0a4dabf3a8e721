// The tuned distribution of a frame's bits (see the header for the idea).
//
// The noise left in a unit (a channel's subband below the bound, or a jointly
// coded subband with both channels) is read as r, its noise power over its
// mask power: the quantizer's noise on the frame's samples over the subband's
// energy lowered by its signal-to-mask ratio. The loop lowers the sum over
// units of w * p(r), w the unit's width in barks and p(r) = r over the mask,
// r^2 under it: over the mask every unit earns bits in proportion to the
// audible noise they remove; under it the square leans the distribution
// towards the units least under their masks, towards the design's
// worst-first order. Each open unit holds the gain of its next
// raise, the drop in w * p(r) summed over the channels it codes, per bit the
// raise costs. A first raise also pays for the scfsi and scale factors,
// which makes it dear beside the steps after it, so a unit's gain is the
// better of one raise and two raises together. The unit with the highest gain
// is raised; a unit whose raise no longer fits the bits left is closed, as is
// one at its last index.
#include "layer2/perceptual_allocation.h"

#include <cmath>
#include <cstring>

#include "layer2/bit_allocation.h"
#include "layer2/lowest_key_tree.h"
#include "platform/platform.h"

namespace zuvo {

namespace {

constexpr int kMaxChannels = 2;
constexpr int kParts = 3;
constexpr int kPartSamples = 12;
constexpr int kScfsiBits = 2;
constexpr int kScaleFactorBits = 6;
constexpr int kUnitPartStride = 16;     // a part's 12 samples and 4 zeros
constexpr float kWorthMeasuring = 0.1f;  // r uncoded: 10 dB under the mask
constexpr int kMeasuredSteps = 15;      // finer quantizers make uniform noise
constexpr float kHighestSmrDb = 200.0f;  // keeps 10^(smr/10) finite

float bark(float hz) { return 13.0f * std::atan(0.00076f * hz) + 3.5f * std::atan((hz / 7500.0f) * (hz / 7500.0f)); }

// The scale factor of an index, with 63 (a silent part) read as the smallest.
float scale_of(std::int32_t index) { return scale_factor_table[index < 0 ? 0 : (index > 62 ? 62 : index)]; }

}  // namespace

float quiet_lowering_db(float kbps_per_channel) {
    constexpr float kFromKbps = 96.0f, kFullKbps = 128.0f, kMostDb = 6.0f;
    if (!(kbps_per_channel > kFromKbps)) return 0.0f;  // NaN too
    if (kbps_per_channel >= kFullKbps) return kMostDb;
    return kMostDb * (kbps_per_channel - kFromKbps) / (kFullKbps - kFromKbps);
}

void subband_bark_widths(float rate_hz, float (&width)[kSubbands]) {
    const float band = rate_hz / 64.0f;
    for (int s = 0; s < kSubbands; ++s) {
        width[s] = bark(band * static_cast<float>(s + 1)) - bark(band * static_cast<float>(s));
    }
}

float subband_energy(const ChannelSamples& samples, int subband) {
    float energy = 0.0f;
    for (int part = 0; part < kParts; ++part) {
        for (int i = 0; i < kPartSamples; ++i) energy += samples[part][i][subband] * samples[part][i][subband];
    }
    return energy;
}

// A normalised sample x in [-1, 1) takes step floor(n (x + 1) / 2) of n and
// comes back as (2 step - (n - 1)) / n: a uniform quantizer with its middle
// step at zero.
float quantization_noise(const ChannelSamples& samples, const std::int32_t (&scale_index)[3][32], int subband,
                         int steps) {
    if (steps <= 0) return subband_energy(samples, subband);
    const float n = static_cast<float>(steps);
    const float half = 0.5f * n;
    const float top = n - 1.0f;
    const float inverse_n = 1.0f / n;
    float noise = 0.0f;
    for (int part = 0; part < kParts; ++part) {
        const float scale = scale_of(scale_index[part][subband]);
        const float inverse = 1.0f / scale;
        float part_noise = 0.0f;
        for (int i = 0; i < kPartSamples; ++i) {
            const float x = samples[part][i][subband] * inverse;
            float step = std::floor((x + 1.0f) * half);
            step = step < 0.0f ? 0.0f : (step > top ? top : step);
            const float error = x - (2.0f * step - top) * inverse_n;
            part_noise += error * error;
        }
        noise += part_noise * scale * scale;
    }
    return noise;
}

// Each channel's energy and rebuilding error per subband, the subbands side
// by side (the layout of the samples).
ZUVO_VECTOR_KERNEL
static void image_errors(const ChannelSamples* samples, const ChannelScaleIndices* scale_index,
                         const ChannelSamples& joint, const ChannelScaleIndices& joint_index,
                         float (*energy)[kSubbands], float (*error)[kSubbands]) {
    for (int c = 0; c < 2; ++c) {
        for (int s = 0; s < kSubbands; ++s) energy[c][s] = error[c][s] = 0.0f;
        for (int part = 0; part < kParts; ++part) {
            float gain[kSubbands];
            for (int s = 0; s < kSubbands; ++s) gain[s] = scale_of(scale_index[c][part][s]) / scale_of(joint_index[part][s]);
            for (int i = 0; i < kPartSamples; ++i) {
                const float* x = samples[c][part][i];
                const float* j = joint[part][i];
                for (int s = 0; s < kSubbands; ++s) {
                    const float e = x[s] - j[s] * gain[s];
                    energy[c][s] += x[s] * x[s];
                    error[c][s] += e * e;
                }
            }
        }
    }
}

int image_keeping_bound(const FrameSignal& signal, const float (*smr)[32], int sblimit, float limit) {
    if (signal.samples == nullptr || signal.scale_index == nullptr || signal.joint_samples == nullptr ||
        signal.joint_scale_index == nullptr || smr == nullptr || limit <= 0.0f) {
        return 0;
    }
    float energy[2][kSubbands], error[2][kSubbands];
    image_errors(signal.samples, signal.scale_index, *signal.joint_samples, *signal.joint_scale_index, energy, error);
    int bound = 0;
    for (int s = 0; s < (sblimit < kSubbands ? sblimit : kSubbands); ++s) {
        for (int c = 0; c < 2; ++c) {
            const float level = smr[c][s];
            if (!(level == level)) continue;
            // The mask: the energy lowered by 10^(smr / 10).
            const float mask = energy[c][s] * std::exp2(-0.33219281f * (level > kHighestSmrDb ? kHighestSmrDb : level));
            if (error[c][s] > limit * mask) bound = s + 1;
        }
    }
    return bound;
}

ZUVO_WIDE_KERNEL
float unit_noise(const float* normalised, const float* part_power, int steps) {
    // One part's 12 samples and 4 zeros fill a vector of 16 lanes.
    typedef float Float16 __attribute__((vector_size(64)));
    typedef std::int32_t Int16 __attribute__((vector_size(64)));
    const float n = static_cast<float>(steps > 0 ? steps : 1);
    const Float16 half = Float16{} + 0.5f * n;
    const Float16 top = Float16{} + (n - 1.0f);
    const Float16 inverse_n = Float16{} + 1.0f / n;
    const Float16 one = Float16{} + 1.0f;
    const Float16 zero = Float16{};
    Float16 sum = zero;
    for (int part = 0; part < kParts; ++part) {
        Float16 x;
        std::memcpy(&x, normalised + part * kUnitPartStride, sizeof x);
        // (x + 1) n / 2 is never below 0 for |x| <= 1, where truncation is
        // the floor; the limits catch the rest.
        Float16 step = __builtin_convertvector(__builtin_convertvector((x + one) * half, Int16), Float16);
        step = step < zero ? zero : step;
        step = step > top ? top : step;
        const Float16 error = x - (step + step - top) * inverse_n;
        sum += error * error * part_power[part];
    }
    // The lanes summed pairwise, halves first: a short chain of adds.
    typedef float Float8 __attribute__((vector_size(32)));
    typedef float Float4 __attribute__((vector_size(16)));
    Float8 low8, high8;
    std::memcpy(&low8, &sum, sizeof low8);
    std::memcpy(&high8, reinterpret_cast<const char*>(&sum) + sizeof low8, sizeof high8);
    const Float8 eight = low8 + high8;
    Float4 low4, high4;
    std::memcpy(&low4, &eight, sizeof low4);
    std::memcpy(&high4, reinterpret_cast<const char*>(&eight) + sizeof low4, sizeof high4);
    const Float4 four = low4 + high4;
    return (four[0] + four[2]) + (four[1] + four[3]);
}

std::int32_t distribute_perceptually(const AllocationPrices& prices, const AllocTable& alloc,
                                     const float (*smr)[32], const std::int32_t (*scfsi)[32],
                                     std::int32_t (*allocation)[32], std::int32_t budget, const CodingLimits& limits,
                                     const float (&weight)[kSubbands], const FrameSignal& signal) {
    const int nch = limits.nch;
    const int sblimit = limits.sblimit;
    const int joint_from = nch == 2 ? limits.bound : kSubbands;
    // Without the samples the nominal ratios of the classes stand in for the
    // measured noise.
    const bool measured = signal.samples != nullptr && signal.scale_index != nullptr &&
                          (joint_from >= sblimit || (signal.joint_samples != nullptr && signal.joint_scale_index != nullptr));

    // Per unit: 1 / mask in the units of the noise (the measured noise of a
    // joint subband is the sum signal's, so its mask is the sum's energy
    // lowered by the channel's ratio), the noise by index as worked out so
    // far (-1: not yet), and its samples normalised by their scale factors,
    // each part padded with zeros (which a quantizer with a step at zero
    // codes without error), with each part's scale factor squared.
    float inverse_mask[kMaxChannels][kSubbands] = {};
    float joint_energy[kSubbands] = {};  // channel 0's energy: the sum's in a joint subband
    float noise[kMaxChannels][kSubbands][kAllocIndices];
    bool open[kMaxChannels][kSubbands] = {};
    alignas(32) float normalised[kMaxChannels][kSubbands][kParts * kUnitPartStride];
    float part_power[kMaxChannels][kSubbands][kParts];
    for (int c = 0; c < kMaxChannels; ++c) {
        for (int s = 0; s < kSubbands; ++s) allocation[c][s] = 0;
    }
    for (int c = 0; c < nch; ++c) {
        for (int s = 0; s < sblimit; ++s) {
            for (int k = 0; k < kAllocIndices; ++k) noise[c][s][k] = -1.0f;
        }
    }
    for (int c = 0; c < nch; ++c) {
        for (int s = 0; s < sblimit; ++s) {
            const float level = smr[c][s];
            if (!(level == level) || prices.last[s] <= 0) continue;  // a NaN ratio is never raised
            const bool joint = s >= joint_from;
            open[c][s] = !joint || c == 0;
            // 10^(smr / 10)
            const float ratio = std::exp2(0.33219281f * (level > kHighestSmrDb ? kHighestSmrDb : level));
            if (!measured) {
                inverse_mask[c][s] = ratio;
                continue;
            }
            if (joint && c == 1) {
                // The sum's samples and noise are channel 0's unit's.
                inverse_mask[c][s] = joint_energy[s] > 0.0f ? ratio / joint_energy[s] : 0.0f;
                continue;
            }
            const ChannelSamples& samples = joint ? *signal.joint_samples : signal.samples[c];
            const ChannelScaleIndices& index = joint ? *signal.joint_scale_index : signal.scale_index[c];
            float energy = 0.0f;
            float* x = normalised[c][s];
            for (int part = 0; part < kParts; ++part) {
                const float scale = scale_of(index[part][s]);
                const float inverse = 1.0f / scale;
                part_power[c][s][part] = scale * scale;
                for (int i = 0; i < kUnitPartStride; ++i) {
                    const float v = i < kPartSamples ? samples[part][i][s] : 0.0f;
                    energy += v * v;
                    x[part * kUnitPartStride + i] = v * inverse;
                }
            }
            noise[c][s][0] = energy;
            inverse_mask[c][s] = energy > 0.0f ? ratio / energy : 0.0f;
            joint_energy[s] = energy;
        }
    }

    // p(r) of unit (c, s) at index k.
    auto penalty = [&](int c, int s, int k) -> float {
        const int index = k < prices.last[s] ? k : prices.last[s];
        float& cached = noise[c][s][index];
        if (cached < 0.0f) {
            const bool joint = s >= joint_from;
            if (!measured) {
                cached = std::pow(10.0f, -0.1f * prices.snr[s][index]);
            } else {
                // Both channels of a joint subband share the sum's noise,
                // worked out in channel 0's unit.
                const int owner = joint ? 0 : c;
                float& shared = noise[owner][s][index];
                if (shared < 0.0f) {
                    const int steps = alloc[s][index].steps;
                    const float* power = part_power[owner][s];
                    // A unit already far under its mask uncoded earns its
                    // bits last whatever they measure: the step's uniform
                    // noise stands in there too.
                    const bool audible = noise[owner][s][0] * inverse_mask[owner][s] >= kWorthMeasuring;
                    if (steps <= kMeasuredSteps && audible) {
                        shared = unit_noise(normalised[owner][s], power, steps);
                    } else {
                        // Fine steps: uniform noise of a step's square / 12 per sample.
                        shared = (power[0] + power[1] + power[2]) * prices.uniform_noise[s][index];
                    }
                }
                cached = shared;
            }
        }
        // Audible noise counts in proportion to how far it is over the
        // mask; inaudible noise as its square, so that among the units under
        // their masks the loudest noise is served first.
        const float r = cached * inverse_mask[c][s];
        return r * (r < 1.0f ? r : 1.0f);
    };
    auto first_price = [&](int c, int s) {
        std::int32_t p = prices.sample_bits[s][1] + kScfsiBits + kScaleFactorBits * scale_factor_count[scfsi[c][s] & 3];
        if (s >= joint_from) p += kScfsiBits + kScaleFactorBits * scale_factor_count[scfsi[1 - c][s] & 3];
        return p;
    };
    // The drop in weighted penalty from index k to k + steps.
    auto drop = [&](int c, int s, int k, int steps) {
        float d = penalty(c, s, k) - penalty(c, s, k + steps);
        if (s >= joint_from) d += penalty(1, s, k) - penalty(1, s, k + steps);
        return weight[s] * d;
    };
    // Per unit, as a key of the design's tree (lowest first, ties to the
    // lower channel, then the lower subband): the negated gain of its next
    // raise per bit, or the closed key when it has none; and that raise's price.
    std::uint64_t key[kMaxChannels][kSubbands];
    std::int32_t price[kMaxChannels][kSubbands] = {};
    auto update = [&](int c, int s) {
        const int k = allocation[c][s];
        if (k >= prices.last[s]) {
            key[c][s] = LowestMnrTree::closed_key(c, s);
            return;
        }
        std::int32_t one;
        float per_bit, per_bit_two;
        if (k == 0) {
            one = first_price(c, s);
            per_bit = 1.0f / static_cast<float>(one > 0 ? one : 1);
            const std::int32_t two = one + prices.step_bits[s][1];
            per_bit_two = 1.0f / static_cast<float>(two > 0 ? two : 1);
        } else {
            one = prices.step_bits[s][k];
            per_bit = prices.inverse_step[s][k];
            per_bit_two = prices.inverse_two_steps[s][k];
        }
        float g = drop(c, s, k, 1) * per_bit;
        // Past the measured steps the noise falls by a steady factor per
        // step and two raises never beat one.
        const bool measured_next =
            measured && alloc[s][k + 1 < prices.last[s] ? k + 1 : prices.last[s]].steps <= kMeasuredSteps;
        if (k + 1 < prices.last[s] && (k == 0 || measured_next || !measured)) {
            const float g2 = drop(c, s, k, 2) * per_bit_two;
            g = g2 > g ? g2 : g;
        }
        // 0 - g: never -0, which would order below +0; a ratio beyond float
        // (no gain to measure) counts as none.
        key[c][s] = LowestMnrTree::key_of(g == g ? 0.0f - g : 0.0f, c, s);
        price[c][s] = one;
    };
    for (int c = 0; c < kMaxChannels; ++c) {
        for (int s = 0; s < kSubbands; ++s) {
            key[c][s] = LowestMnrTree::closed_key(c, s);
            if (c < nch && s < sblimit && open[c][s]) update(c, s);
        }
    }
    LowestMnrTree units(key);
    const std::uint64_t closed_from = LowestMnrTree::closed_key(0, 0);

    std::int32_t spent = 0;
    for (std::uint64_t top = units.lowest(); top < closed_from;) {
        const int c = LowestMnrTree::channel_of(top);
        const int s = LowestMnrTree::subband_of(top);
        if (spent + price[c][s] > budget) {
            key[c][s] = LowestMnrTree::closed_key(c, s);  // the bits left only shrink
        } else {
            spent += price[c][s];
            const int k = ++allocation[c][s];
            if (s >= joint_from) allocation[1][s] = k;
            update(c, s);
        }
        top = units.replace(s, key[0][s], key[1][s]);
    }
    return spent;
}

}  // namespace zuvo
