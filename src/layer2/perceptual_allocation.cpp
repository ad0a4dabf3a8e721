// The tuned distribution of a frame's bits (see the header for the idea).
//
// The noise left in a unit (a channel's subband below the bound, or a jointly
// coded subband with both channels) is read as r, its noise power over its
// mask power: the quantizer's noise on the frame's samples over the subband's
// energy lowered by its signal-to-mask ratio. The loop lowers the sum over
// units of w * r^2, w the unit's width in barks: the square leans the
// distribution towards the units furthest over their masks (towards the
// design's worst-first order) while units well under their masks still earn
// bits in proportion to what those buy. Each open unit holds the gain of its
// next raise, the drop in w * r^2 summed over the channels it codes, per bit
// the raise costs. A first raise also pays for the scfsi and scale factors,
// which makes it dear beside the steps after it, so a unit's gain is the
// better of one raise and two raises together. The unit with the highest gain
// is raised; a unit whose raise no longer fits the bits left is closed, as is
// one at its last index.
#include "layer2/perceptual_allocation.h"

#include <cmath>

#include "layer2/bit_allocation.h"

namespace zuvo {

namespace {

constexpr int kMaxChannels = 2;
constexpr int kParts = 3;
constexpr int kPartSamples = 12;
constexpr int kScfsiBits = 2;
constexpr int kScaleFactorBits = 6;
constexpr float kHighestSmrDb = 200.0f;  // keeps 10^(smr/10) finite

float bark(float hz) { return 13.0f * std::atan(0.00076f * hz) + 3.5f * std::atan((hz / 7500.0f) * (hz / 7500.0f)); }

// The scale factor of an index, with 63 (a silent part) read as the smallest.
float scale_of(std::int32_t index) { return scale_factor_table[index < 0 ? 0 : (index > 62 ? 62 : index)]; }

}  // namespace

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
    // lowered by the channel's ratio), and the noise by index as worked out
    // so far (-1: not yet).
    float inverse_mask[kMaxChannels][kSubbands] = {};
    float noise[kMaxChannels][kSubbands][kAllocIndices];
    bool open[kMaxChannels][kSubbands] = {};
    for (int c = 0; c < kMaxChannels; ++c) {
        for (int s = 0; s < kSubbands; ++s) {
            allocation[c][s] = 0;
            for (int k = 0; k < kAllocIndices; ++k) noise[c][s][k] = -1.0f;
        }
    }
    for (int c = 0; c < nch; ++c) {
        for (int s = 0; s < sblimit; ++s) {
            const float level = smr[c][s];
            if (!(level == level) || prices.last[s] <= 0) continue;  // a NaN ratio is never raised
            const bool joint = s >= joint_from;
            open[c][s] = !joint || c == 0;
            const float ratio = std::pow(10.0f, 0.1f * (level > kHighestSmrDb ? kHighestSmrDb : level));
            if (measured) {
                const float energy =
                    joint ? subband_energy(*signal.joint_samples, s) : subband_energy(signal.samples[c], s);
                inverse_mask[c][s] = energy > 0.0f ? ratio / energy : 0.0f;
            } else {
                inverse_mask[c][s] = ratio;
            }
        }
    }

    // r^2 of unit (c, s) at index k.
    auto penalty = [&](int c, int s, int k) -> float {
        const int index = k < prices.last[s] ? k : prices.last[s];
        float& cached = noise[c][s][index];
        if (cached < 0.0f) {
            const bool joint = s >= joint_from;
            if (!measured) {
                cached = std::pow(10.0f, -0.1f * prices.snr[s][index]);
            } else if (joint && c == 1 && noise[0][s][index] >= 0.0f) {
                cached = noise[0][s][index];  // both channels of a joint subband share the sum's noise
            } else {
                const int steps = index > 0 ? alloc[s][index].steps : 0;
                cached = joint ? quantization_noise(*signal.joint_samples, *signal.joint_scale_index, s, steps)
                               : quantization_noise(signal.samples[c], signal.scale_index[c], s, steps);
            }
        }
        const float r = cached * inverse_mask[c][s];
        return r * r;
    };
    auto price_of = [&](int c, int s, int k) {
        if (k > 0) return prices.step_bits[s][k];
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
    float gain[kMaxChannels][kSubbands] = {};
    auto update = [&](int c, int s) {
        const int k = allocation[c][s];
        if (k >= prices.last[s]) {
            open[c][s] = false;
            return;
        }
        const std::int32_t one = price_of(c, s, k);
        float g = drop(c, s, k, 1) / static_cast<float>(one > 0 ? one : 1);
        if (k + 1 < prices.last[s]) {
            const std::int32_t two = one + prices.step_bits[s][k + 1];
            const float g2 = drop(c, s, k, 2) / static_cast<float>(two > 0 ? two : 1);
            g = g2 > g ? g2 : g;
        }
        gain[c][s] = g;
    };
    for (int c = 0; c < nch; ++c) {
        for (int s = 0; s < sblimit; ++s) {
            if (open[c][s]) update(c, s);
        }
    }

    std::int32_t spent = 0;
    for (;;) {
        int best_c = -1, best_s = -1;
        float best = -1.0f;
        for (int c = 0; c < nch; ++c) {
            for (int s = 0; s < sblimit; ++s) {
                if (!open[c][s]) continue;
                if (spent + price_of(c, s, allocation[c][s]) > budget) {
                    open[c][s] = false;  // the bits left only shrink
                    continue;
                }
                if (gain[c][s] > best) {
                    best = gain[c][s];
                    best_c = c;
                    best_s = s;
                }
            }
        }
        if (best_c < 0) break;
        spent += price_of(best_c, best_s, allocation[best_c][best_s]);
        const int k = ++allocation[best_c][best_s];
        if (best_s >= joint_from) allocation[1][best_s] = k;
        update(best_c, best_s);
    }
    return spent;
}

}  // namespace zuvo
