// The tuned distribution of bits: its noise kernels against the quantizer
// itself, the distribution's bookkeeping, and the sum signal's scale factors
// in jointly coded subbands.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "layer2/bit_allocation.h"
#include "layer2/perceptual_allocation.h"
#include "layer2/sample_coding.h"
#include "test_layer2_support.h"

namespace {

using zuvo::ChannelSamples;
using zuvo::ChannelScaleIndices;

// Subband samples with a different peak in each third of the frame (one third
// silent in subband 5, one sample at the very scale factor in subband 6) and
// their scale factors; the last third then shares the first third's larger
// scale factor, as the transmission patterns may make it.
struct Signal {
    ChannelSamples samples[2] = {};
    ChannelScaleIndices index[2] = {};

    explicit Signal(unsigned seed) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
        for (int c = 0; c < 2; ++c) {
            for (int part = 0; part < 3; ++part) {
                for (int i = 0; i < 12; ++i) {
                    for (int s = 0; s < 32; ++s) {
                        const float peak = s == 5 && part == 1 ? 0.0f : std::pow(0.5f, static_cast<float>(s % 7 + part));
                        samples[c][part][i][s] = peak * unit(random);
                        if (s == 6 && i == 3) samples[c][part][i][s] = peak;
                    }
                }
            }
        }
        zuvo::compute_scale_indices(samples, index, 2, 32);
        for (int c = 0; c < 2; ++c) {
            for (int s = 0; s < 32; ++s) index[c][2][s] = std::min(index[c][2][s], index[c][0][s]);
        }
    }
};

// The noise of the encoder's own quantizer: each sample's code, rebuilt as
// a decoder does, (2 code - (n - 1)) / n times the scale factor.
double quantizer_noise(const ChannelSamples& x, const ChannelScaleIndices& index, int s, int steps, int quant_class) {
    double noise = 0.0;
    for (int part = 0; part < 3; ++part) {
        const double scale = zuvo::scale_factor_table[std::min(index[part][s], 62)];
        for (int i = 0; i < 12; ++i) {
            const double v = x[part][i][s];
            const std::uint32_t code = zuvo::quantize_sample(v / scale, quant_class, steps);
            const double rebuilt = (2.0 * code - (steps - 1)) / steps * scale;
            noise += (v - rebuilt) * (v - rebuilt);
        }
    }
    return noise;
}

TEST(PerceptualAllocation, NoiseKernelsMeasureTheQuantizersNoise) {
    const Signal signal(7);
    const struct {
        int steps, quant_class;
    } quantizers[] = {{3, 0}, {5, 1}, {7, 2}, {9, 3}, {15, 4}, {31, 5}, {63, 6}, {65535, 16}};
    for (const auto& q : quantizers) {
        for (int s = 0; s < 32; ++s) {
            const double expected = quantizer_noise(signal.samples[0], signal.index[0], s, q.steps, q.quant_class);
            const double direct = zuvo::quantization_noise(signal.samples[0], signal.index[0], s, q.steps);
            alignas(32) float normalised[48] = {};
            float power[3];
            for (int part = 0; part < 3; ++part) {
                const float scale = zuvo::scale_factor_table[std::min(signal.index[0][part][s], 62)];
                power[part] = scale * scale;
                for (int i = 0; i < 12; ++i) normalised[16 * part + i] = signal.samples[0][part][i][s] / scale;
            }
            const double fast = zuvo::unit_noise(normalised, power, q.steps);
            const double tolerance = 1e-4 * expected + 1e-12;
            EXPECT_NEAR(direct, expected, tolerance) << q.steps << " steps, subband " << s;
            EXPECT_NEAR(fast, expected, tolerance) << q.steps << " steps, subband " << s;
        }
    }
    EXPECT_FLOAT_EQ(zuvo::quantization_noise(signal.samples[0], signal.index[0], 3, 0),
                    zuvo::subband_energy(signal.samples[0], 3));
}

// Whatever the budget: the bits spent are those the allocation's fields
// take and no more than the budget; no index passes its subband's last; both
// channels of a joint subband share one; a unit with a NaN ratio is never
// raised; and when the loop stops, no open unit's next raise fits.
TEST(PerceptualAllocation, SpendsTheBudgetAndLeavesNoRaiseThatFits) {
    zuvo::AllocTable table;
    zuvo_test::make_table_27(table);
    zuvo::AllocationPrices prices;
    prices.fill(table, 27);
    float width[32];
    zuvo::subband_bark_widths(48000.0f, width);
    const Signal signal(11);
    ChannelSamples joint;
    zuvo::combine_joint(signal.samples, joint, 27);
    ChannelScaleIndices joint_index[1];
    zuvo::compute_scale_indices(&joint, joint_index, 1, 27);
    zuvo::FrameSignal frame;
    frame.samples = signal.samples;
    frame.scale_index = signal.index;
    frame.joint_samples = &joint;
    frame.joint_scale_index = joint_index;

    std::mt19937 random(3);
    std::uniform_real_distribution<float> level(-20.0f, 40.0f);
    for (const int nch : {1, 2}) {
        for (const int bound : {4, 16, 27}) {
            for (const std::int32_t budget : {0, 150, 1200, 4000, 9000}) {
                float smr[2][32];
                std::int32_t scfsi[2][32];
                for (int c = 0; c < 2; ++c) {
                    for (int s = 0; s < 32; ++s) {
                        smr[c][s] = level(random);
                        scfsi[c][s] = static_cast<std::int32_t>(random() % 4);
                    }
                }
                smr[0][2] = std::nanf("");
                std::int32_t allocation[2][32];
                const zuvo::CodingLimits limits{nch, 27, nch == 2 ? bound : 27};
                const std::int32_t spent = zuvo::distribute_perceptually(prices, table, smr, scfsi, allocation, budget,
                                                                         limits, width, frame);
                SCOPED_TRACE(testing::Message() << nch << " channels, bound " << limits.bound << ", budget " << budget);
                EXPECT_LE(spent, budget);
                EXPECT_EQ(allocation[0][2], 0);
                std::int32_t counted = 0;
                for (int s = 0; s < 27; ++s) {
                    const bool shared = nch == 2 && s >= limits.bound;
                    if (shared) {
                        EXPECT_EQ(allocation[0][s], allocation[1][s]) << s;
                    }
                    for (int c = 0; c < nch; ++c) {
                        const int k = allocation[c][s];
                        ASSERT_LE(k, prices.last[s]) << s;
                        if (k > 0) counted += 2 + 6 * zuvo::scale_factor_count[scfsi[c][s]];
                        if (k > 0 && (c == 0 || !shared)) counted += prices.sample_bits[s][k];
                        if (k == prices.last[s] || (c == 0 && s == 2) || (c == 1 && shared)) continue;
                        std::int32_t next = k > 0 ? prices.step_bits[s][k]
                                                  : prices.sample_bits[s][1] + 2 + 6 * zuvo::scale_factor_count[scfsi[c][s]];
                        if (k == 0 && shared) next += 2 + 6 * zuvo::scale_factor_count[scfsi[1][s]];
                        EXPECT_GT(spent + next, budget) << "channel " << c << ", subband " << s << " could still rise";
                    }
                }
                EXPECT_EQ(counted, spent);
            }
        }
    }
}

// The sum's index of each part falls by the larger of the two channels' raises
// (never below 0), so that sum / its factor * a channel's factor keeps the
// channel's level.
TEST(PerceptualAllocation, JointScaleFactorsFollowTheSharedOnes) {
    const struct {
        int unshared0[3], shared0[3], unshared1[3], shared1[3], joint[3], expected[3];
    } cases[] = {
        {{20, 40, 59}, {20, 20, 20}, {21, 41, 60}, {21, 21, 21}, {20, 40, 59}, {20, 20, 20}},  // loud part shared onwards
        {{10, 11, 12}, {10, 10, 10}, {10, 11, 30}, {10, 11, 11}, {10, 11, 13}, {10, 10, 0}},   // raises of 0/1/2 and 0/0/19
        {{30, 30, 30}, {30, 30, 30}, {35, 36, 37}, {35, 36, 37}, {31, 31, 31}, {31, 31, 31}},  // nothing shared
    };
    for (const auto& t : cases) {
        ChannelScaleIndices unshared[2] = {}, shared[2] = {}, joint = {};
        for (int part = 0; part < 3; ++part) {
            unshared[0][part][7] = t.unshared0[part];
            shared[0][part][7] = t.shared0[part];
            unshared[1][part][7] = t.unshared1[part];
            shared[1][part][7] = t.shared1[part];
            joint[part][7] = t.joint[part];
        }
        zuvo::follow_shared_scale_factors(unshared, shared, joint, 27);
        for (int part = 0; part < 3; ++part) EXPECT_EQ(joint[part][7], t.expected[part]) << part;
    }
}

// Joint coding stops below the highest subband whose channels a rebuild from
// the sum would audibly misrepresent: the same signal in both channels, one
// scaled, or a source moving from one channel to the other between parts
// (each part has its own scale factors) is kept; opposite or unrelated
// channels are lost where their ratio asks for more than the error leaves,
// and a subband far under its mask is never a reason.
TEST(PerceptualAllocation, ImageKeepingBound) {
    enum Relation { kSame, kScaled, kOpposite, kUnrelated, kLeftThenRight };
    const struct {
        Relation relation;
        float smr;
        int expected;
    } cases[] = {
        {kSame, 30.0f, 0}, {kScaled, 30.0f, 0}, {kOpposite, 30.0f, 10}, {kUnrelated, 30.0f, 10},
        {kLeftThenRight, 30.0f, 0}, {kUnrelated, -20.0f, 0},
    };
    for (const auto& t : cases) {
        std::mt19937 random(5);
        std::uniform_real_distribution<float> unit(-0.5f, 0.5f);
        ChannelSamples samples[2] = {};
        for (int part = 0; part < 3; ++part) {
            for (int i = 0; i < 12; ++i) {
                for (int s = 0; s < 32; ++s) {
                    const float left = unit(random), other = unit(random);
                    samples[0][part][i][s] = left;
                    samples[1][part][i][s] = left;
                    if (s != 9) continue;  // only subband 9 differs
                    samples[1][part][i][s] = t.relation == kScaled     ? 0.25f * left
                                             : t.relation == kOpposite  ? -left
                                             : t.relation == kUnrelated ? other
                                                                        : left;
                    if (t.relation == kLeftThenRight) samples[part == 0 ? 1 : 0][part][i][s] = 0.0f;
                }
            }
        }
        ChannelScaleIndices index[2];
        zuvo::compute_scale_indices(samples, index, 2, 27);
        ChannelSamples joint;
        zuvo::combine_joint(samples, joint, 27);
        ChannelScaleIndices joint_index[1];
        zuvo::compute_scale_indices(&joint, joint_index, 1, 27);
        float smr[2][32];
        for (int c = 0; c < 2; ++c) {
            for (int s = 0; s < 32; ++s) smr[c][s] = s == 9 ? t.smr : 30.0f;
        }
        zuvo::FrameSignal frame;
        frame.samples = samples;
        frame.scale_index = index;
        frame.joint_samples = &joint;
        frame.joint_scale_index = joint_index;
        EXPECT_EQ(zuvo::image_keeping_bound(frame, smr, 27, zuvo::kImageErrorLimit), t.expected)
            << "relation " << t.relation << ", smr " << t.smr;
    }
}

}  // namespace
