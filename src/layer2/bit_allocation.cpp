// Bit allocation of Layer II. For joint-stereo streams each frame first
// decides between plain stereo and joint coding: plain stereo when the frame
// can be coded without audible noise, otherwise the highest bound whose
// noise-free need fits. Then the frame's bits are handed out greedily: the
// channel and subband with the worst mask-to-noise ratio is raised by one
// allocation index at a time, paying for its sample codes and, on its first
// raise, its scfsi and scale factors, until no raise fits any more.
#include "layer2/bit_allocation.h"

#include <algorithm>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "layer2/alloc_tables.h"
#include "layer2/lowest_key_tree.h"

namespace zuvo {

// Signal-to-noise ratio in dB of each quantizer class, by class + 1.
const float snr_table[18] = {0.00f,  7.00f,  11.00f, 16.00f, 20.84f, 25.28f, 31.59f, 37.75f, 43.84f,
                             49.89f, 55.93f, 61.96f, 67.98f, 74.01f, 80.03f, 86.05f, 92.01f, 98.01f};

// Scale factors a subband sends for each scfsi value.
const int scale_factor_count[4] = {3, 2, 1, 2};

namespace {

constexpr int kMaxChannels = 2;
constexpr int kHeaderBits = 32;
constexpr int kCrcBits = 16;
constexpr int kScfsiBits = 2;
constexpr int kScaleFactorBits = 6;
constexpr int kGranules = 12;  // granules of three samples per subband in a frame
constexpr float kNoChoice = 999999.0f;
constexpr float kMinimumMnr = 0.0f;  // the mask is reached when mnr is at least this

enum : std::uint8_t { kUntouched = 0, kOpen = 1, kClosed = 2 };


// Highest allocation index of a subband (0 when it has no field).
int last_index(const AllocTable& alloc, int s) { return (1 << field_bits(alloc, s)) - 1; }

// Sample bits of a frame for allocation index k.
int sample_cost(const AllocTable& alloc, int s, int k) {
    if (k <= 0) return 0;
    const AllocEntry& e = alloc[s][k];
    return kGranules * e.codewords * e.code_bits;
}

float snr_of(const AllocTable& alloc, int s, int k) {
    if (k <= 0) return snr_table[0];
    return snr_table[clamp_int(alloc[s][k].quant_class, 0, 16) + 1];
}

int scale_factor_bits(std::int32_t scfsi) { return kScaleFactorBits * scale_factor_count[scfsi & 3]; }

// Allocation fields of a frame: one per channel below the bound, one shared
// from it on.
int allocation_field_bits(const int (&field_bits)[kSubbands], const CodingLimits& l) {
    int bits = 0;
    for (int s = 0; s < l.sblimit; ++s) bits += (s < l.bound ? l.nch : 1) * field_bits[s];
    return bits;
}

bool protected_stream(const CodingParams& coding) {
    return coding.header != nullptr && coding.header->protection != 0;
}

}  // namespace

void AllocationPrices::fill(const AllocTable& alloc, int sblimit) {
    lowest_price = INT32_MAX;
    for (int s = 0; s < sblimit; ++s) {
        field_bits[s] = zuvo::field_bits(alloc, s);
        last[s] = last_index(alloc, s);
        for (int k = 0; k < kAllocIndices; ++k) {
            const int index = k < last[s] ? k : last[s];
            sample_bits[s][k] = sample_cost(alloc, s, index);
            snr[s][k] = snr_of(alloc, s, index);
        }
        for (int k = 0; k < kAllocIndices; ++k) {
            step_bits[s][k] = k + 1 < kAllocIndices ? sample_bits[s][k + 1] - sample_bits[s][k] : 0;
        }
        for (int k = 0; k < kAllocIndices; ++k) {
            const std::int32_t two = step_bits[s][k] + (k + 1 < kAllocIndices ? step_bits[s][k + 1] : 0);
            inverse_step[s][k] = step_bits[s][k] > 0 ? 1.0f / static_cast<float>(step_bits[s][k]) : 0.0f;
            inverse_two_steps[s][k] = two > 0 ? 1.0f / static_cast<float>(two) : 0.0f;
            const int steps = alloc[s][k < last[s] ? k : last[s]].steps;
            const float step = steps > 0 ? 2.0f / static_cast<float>(steps) : 0.0f;
            uniform_noise[s][k] = step * step;
        }
        // A first raise costs its sample bits and more; a later one its step.
        for (int k = 0; k < last[s]; ++k) {
            const std::int32_t price = k == 0 ? sample_bits[s][1] : step_bits[s][k];
            lowest_price = price < lowest_price ? price : lowest_price;
        }
    }
}

const AllocationPrices& BitAllocator::prices_for(const CodingParams& coding) {
    const int sblimit = coding_limits(coding).sblimit;
    const bool known = coding.table_number >= 0 && coding.alloc == prices_alloc_ &&
                       coding.table_number == prices_table_ && sblimit == prices_sblimit_;
    if (!known) {
        prices_.fill(*coding.alloc, sblimit);
        // Only a numbered table is the same table the next time it is seen.
        prices_alloc_ = coding.table_number >= 0 ? coding.alloc : nullptr;
        prices_table_ = coding.table_number;
        prices_sblimit_ = sblimit;
    }
    return prices_;
}

namespace {

// The noise-free need of a frame, split so that every bound is priced from
// one pass over the subbands: per subband the bits when each channel codes it
// and when it is coded jointly (both channels' ratios, scfsi and scale
// factors, one set of samples). The estimate stops one short of the last
// index: a subband that no smaller index can mask is priced at the
// second-to-last one.
struct NoiseFreeNeed {
    bool priced = false;  // false: nothing to price, the need is the header's
    int field_bits[kSubbands] = {};
    std::int32_t per_channel[kSubbands] = {};
    std::int32_t joint[kSubbands] = {};

    NoiseFreeNeed(const AllocationPrices* table_prices, const float (*smr)[32], const std::int32_t (*scfsi)[32],
                  const CodingLimits& l) {
        if (table_prices == nullptr || smr == nullptr || scfsi == nullptr) return;
        priced = true;
        const AllocationPrices& prices = *table_prices;
        for (int s = 0; s < l.sblimit; ++s) {
            field_bits[s] = prices.field_bits[s];
            const int highest = prices.last[s] - 1;
            const float* const snr = prices.snr[s];
            int first_k = 0;  // channel 0's index, where the joint search goes on
            for (int c = 0; c < l.nch; ++c) {
                int k = 0;
                while (k < highest && snr[k] - smr[c][s] < kMinimumMnr) ++k;
                if (c == 0) first_k = k;
                if (k > 0) per_channel[s] += prices.sample_bits[s][k] + kScfsiBits + scale_factor_bits(scfsi[c][s]);
            }
            if (l.nch == 2) {
                int k = first_k;
                while (k < highest && snr[k] - smr[1][s] < kMinimumMnr) ++k;
                if (k > 0) {
                    joint[s] = prices.sample_bits[s][k] + kScfsiBits + scale_factor_bits(scfsi[0][s]) + kScfsiBits +
                               scale_factor_bits(scfsi[1][s]);
                }
            } else {
                joint[s] = per_channel[s];
            }
        }
    }

    // Header, check word, allocation fields and the subbands' bits at the
    // coding's bound.
    std::int32_t bits(const CodingParams& coding) const {
        std::int32_t required = kHeaderBits + (protected_stream(coding) ? kCrcBits : 0);
        if (!priced) return required;
        const CodingLimits l = coding_limits(coding);
        required += allocation_field_bits(field_bits, l);
        for (int s = 0; s < l.sblimit; ++s) required += s < l.bound ? per_channel[s] : joint[s];
        return required;
    }
};

}  // namespace

std::int32_t BitAllocator::bits_for_no_noise(const float (*smr)[32], const std::int32_t (*scfsi)[32],
                                             const CodingParams& coding) const {
    const CodingLimits l = coding_limits(coding);
    AllocationPrices prices;
    if (coding.alloc != nullptr) prices.fill(*coding.alloc, l.sblimit);
    return NoiseFreeNeed(coding.alloc != nullptr ? &prices : nullptr, smr, scfsi, l).bits(coding);
}

int lowest_joint_bound(const std::int32_t (*scale_index)[3][32], const std::int32_t (*joint_scale_index)[32],
                       int sblimit) {
    // Scale-factor index 63 is silence; 40 steps (80 dB) below full scale a
    // subband is too quiet for its image to matter.
    constexpr int kAudible = 40;
    int bound = 0;
    for (int sb = 0; sb < clamp_int(sblimit, 0, kSubbands); ++sb) {
        int loudest = 63, sum = 63;
        for (int part = 0; part < 3; ++part) {
            loudest = std::min({loudest, scale_index[0][part][sb], scale_index[1][part][sb]});
            sum = std::min(sum, joint_scale_index[part][sb]);
        }
        if (loudest <= kAudible && sum - loudest >= kCancelSteps) bound = sb + 1;
    }
    return bound;
}

StereoDecision BitAllocator::allocate_frame(const float (*smr)[32], const std::int32_t (*scfsi)[32],
                                            std::int32_t (*allocation)[32], std::int32_t& available_bits,
                                            const CodingParams& coding, bool opening_frame, int lowest_joint_bound,
                                            const FrameSignal* signal) {
    // The table's prices, looked up once per table for the decision and the
    // greedy distribution.
    const AllocationPrices* const prices = coding.alloc != nullptr ? &prices_for(coding) : nullptr;
    CodingParams trial = coding;
    StereoDecision decision{coding.configured_mode, 0, coding.bound};
    if (coding.configured_mode == 1) {
        const NoiseFreeNeed need(prices, smr, scfsi, coding_limits(coding));
        decision.mode = 0;
        trial.bound = coding.sblimit;
        if (need.bits(trial) <= available_bits) {
            if (opening_frame) {
                // Some demuxers confirm a stream's first frame only when the
                // next header carries the same channel-mode bits. The opening
                // frames hold mostly the filterbank's start-up silence and
                // would otherwise be plain stereo ahead of jointly coded
                // music, so they are marked joint with the highest bound
                // (16). Tables that code fewer subbands take the highest
                // bound that does not pass their last subband (12 or 8):
                // no subband is then coded jointly, and no decoder has a
                // bound beyond the coded subbands to truncate.
                int extension = 3;
                while (extension > 0 && bound_for_extension(extension) > coding.sblimit) --extension;
                decision.mode = 1;
                decision.mode_extension = extension;
                trial.bound = bound_for_extension(extension);
            }
        } else {
            decision.mode = 1;
            int extension = 3;
            for (; extension >= 0; --extension) {
                trial.bound = bound_for_extension(extension);
                if (need.bits(trial) <= available_bits) break;
            }
            if (extension < 0) extension = 0;  // nothing fits: the lowest bound, coded as well as it goes
            // A bound below the guard would code cancelling subbands jointly:
            // the lowest bound at or above it, or plain stereo where there is none.
            while (extension < 3 && bound_for_extension(extension) < lowest_joint_bound) ++extension;
            trial.bound = bound_for_extension(extension);
            decision.mode_extension = extension;
            // The opening frames stay joint whatever the guard asks (see
            // above): a demuxer could otherwise drop the first frame.
            if (trial.bound < lowest_joint_bound && !opening_frame) {
                decision.mode = 0;
                decision.mode_extension = 0;
                trial.bound = coding.sblimit;
            }
        }
        decision.bound = trial.bound;
    }
    if (allocation == nullptr || coding.alloc == nullptr || smr == nullptr || scfsi == nullptr) {
        allocate_greedy(smr, scfsi, allocation, available_bits, trial);
    } else if (signal != nullptr) {
        const CodingLimits l = coding_limits(trial);
        const std::int32_t budget = available_bits - (kHeaderBits + (protected_stream(trial) ? kCrcBits : 0) +
                                                      allocation_field_bits(prices->field_bits, l));
        available_bits = budget - distribute_perceptually(*prices, *trial.alloc, smr, scfsi, allocation, budget, l,
                                                          bark_width_, *signal);
    } else {
        greedy(*prices, smr, scfsi, allocation, available_bits, trial);
    }
    return decision;
}

void find_lowest_mnr(const float (*mnr)[32], const std::uint8_t (*sb_state)[32], int subbands, int channels,
                     int& subband, int& channel) {
    subband = -1;
    channel = -1;
    if (mnr == nullptr || sb_state == nullptr) return;
    subbands = clamp_int(subbands, 0, kSubbands);
    channels = clamp_int(channels, 0, kMaxChannels);
    float lowest = kNoChoice;
    for (int c = 0; c < channels; ++c) {
        for (int s = 0; s < subbands; ++s) {
            if (sb_state[c][s] != kClosed && mnr[c][s] < lowest) {
                lowest = mnr[c][s];
                subband = s;
                channel = c;
            }
        }
    }
}

int BitAllocator::allocate_greedy(const float (*smr)[32], const std::int32_t (*scfsi)[32],
                                  std::int32_t (*allocation)[32], std::int32_t& available_bits,
                                  CodingParams& coding) {
    if (allocation == nullptr) return 0;
    if (coding.alloc == nullptr || smr == nullptr || scfsi == nullptr) {
        for (int c = 0; c < kMaxChannels; ++c) {
            for (int s = 0; s < kSubbands; ++s) allocation[c][s] = 0;
        }
        return 0;
    }
    return greedy(prices_for(coding), smr, scfsi, allocation, available_bits, coding);
}

// Every open pair carries the price of its next raise and the key it will
// have after it: on the first raise, the sample bits of index 1 with the
// pair's scfsi and scale factors (both channels' in a joint subband); later,
// the step in sample bits to the next index. A pair is untouched exactly
// while its index is 0, and a raise to the last index closes it, so no
// per-pair state is needed; pairs without an allocation field start closed,
// as the search would close them on sight without spending a bit. With the
// next key ready, the chain from one choice to the next is a load, a select
// and the walk up the tree; the key after that is worked out beside it.
int BitAllocator::greedy(const AllocationPrices& prices, const float (*smr)[32], const std::int32_t (*scfsi)[32],
                         std::int32_t (*allocation)[32], std::int32_t& available_bits, const CodingParams& coding) {
    for (int c = 0; c < kMaxChannels; ++c) {
        for (int s = 0; s < kSubbands; ++s) allocation[c][s] = 0;
    }

    if (overhead_ready_ == 0) {
        overhead_ready_ = 1;
        header_bits_ = kHeaderBits;
        crc_bits_ = protected_stream(coding) ? kCrcBits : 0;
    }

    const CodingLimits l = coding_limits(coding);
    const std::int32_t budget =
        available_bits - (header_bits_ + crc_bits_ + allocation_field_bits(prices.field_bits, l));
    // Subbands from here on share one allocation between the two channels.
    const int joint_from = l.nch == 2 ? l.bound : kSubbands;

    // The ratios of the frame's pairs, 0 elsewhere. A NaN is read as -inf:
    // its mnr is then +inf, above every key that can be chosen, as a closed
    // pair's is, so such a pair is never raised (but shares its partner's
    // index in a joint subband).
    float level[kMaxChannels][kSubbands] = {};
    for (int c = 0; c < l.nch; ++c) {
        for (int s = 0; s < l.sblimit; ++s) level[c][s] = smr[c][s] == smr[c][s] ? smr[c][s] : -HUGE_VALF;
    }
    // The key of a pair after a raise from index k: closed at the last index.
    auto raised_key = [&prices, &level](int c, int s, int k) {
        return k + 1 >= prices.last[s]
                   ? LowestMnrTree::closed_key(c, s)
                   : LowestMnrTree::key_of(prices.snr[s][(k + 1) & (kAllocIndices - 1)] - level[c][s], c, s);
    };
    std::uint64_t key[kMaxChannels][kSubbands];
    std::uint64_t next_key[kMaxChannels][kSubbands];
    std::int32_t next_price[kMaxChannels][kSubbands] = {};
    for (int c = 0; c < kMaxChannels; ++c) {
        for (int s = 0; s < kSubbands; ++s) key[c][s] = next_key[c][s] = LowestMnrTree::closed_key(c, s);
    }
    for (int c = 0; c < l.nch; ++c) {
        for (int s = 0; s < l.sblimit; ++s) {
            const std::int32_t other_side = s >= joint_from ? kScfsiBits + scale_factor_bits(scfsi[1 - c][s]) : 0;
            next_price[c][s] = prices.sample_bits[s][1] + kScfsiBits + scale_factor_bits(scfsi[c][s]) + other_side;
            if (prices.last[s] > 0) key[c][s] = LowestMnrTree::key_of(snr_table[0] - level[c][s], c, s);
            next_key[c][s] = raised_key(c, s, 0);
        }
    }
    // Bits spent so far on samples, scale factors and scfsi.
    std::int32_t spent = 0;

    LowestMnrTree candidates(key);
    const std::uint64_t no_choice = LowestMnrTree::key_of(kNoChoice, 0, 0);
    // Once the bits left are below every price a pair can ask, each pair
    // would only be refused and closed in turn: the search ends there.
    for (std::uint64_t top = candidates.lowest(); top < no_choice && budget - spent >= prices.lowest_price;) {
        const int c = LowestMnrTree::channel_of(top);
        const int s = LowestMnrTree::subband_of(top);
        const int other = 1 - c;
        const bool joint = s >= joint_from;
        const std::int32_t price = next_price[c][s];
        // Only a budget strictly below the total refuses the raise: a raise
        // that uses the last bit exactly is taken. A refused pair closes,
        // in a joint subband with its partner.
        const bool fits = spent + price <= budget;
        spent += fits ? price : 0;
        const std::uint64_t own = fits ? next_key[c][s] : LowestMnrTree::closed_key(c, s);
        const std::uint64_t shared = fits ? next_key[other][s] : LowestMnrTree::closed_key(other, s);
        const std::uint64_t partner = joint ? shared : candidates.key(other, s);
        top = candidates.replace(s, c == 0 ? own : partner, c == 0 ? partner : own);

        const int k = allocation[c][s] + (fits ? 1 : 0);
        allocation[c][s] = k;
        next_price[c][s] = prices.step_bits[s][k];
        next_key[c][s] = raised_key(c, s, k);
        // Both channels share one allocation above the bound. (Selects: a
        // branch on it would follow the signal.)
        allocation[other][s] = joint ? k : allocation[other][s];
        next_price[other][s] = joint ? prices.step_bits[s][k] : next_price[other][s];
        next_key[other][s] = joint ? raised_key(other, s, k) : next_key[other][s];
    }

    available_bits = budget - spent;
    return 0;
}

}  // namespace zuvo
