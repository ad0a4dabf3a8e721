// Bit allocation of Layer II. For joint-stereo streams each frame first
// decides between plain stereo and joint coding: plain stereo when the frame
// can be coded without audible noise, otherwise the highest bound whose
// noise-free need fits. Then the frame's bits are handed out greedily: the
// channel and subband with the worst mask-to-noise ratio is raised by one
// allocation index at a time, paying for its sample codes and, on its first
// raise, its scfsi and scale factors, until no raise fits any more.
#include "layer2/bit_allocation.h"

#include "layer2/alloc_tables.h"

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

// The greedy loop asks for the open pair with the lowest mnr after every
// raise, and a raise changes one pair (two above the bound). A tournament tree
// over the 64 pairs, in channel-major order, answers with the same choice as a
// full scan (lowest mnr, ties to the lower channel, then the lower subband)
// while each change costs six comparisons instead of a new scan.
class LowestMnrTree {
public:
    static constexpr int kLeaves = 64;

    LowestMnrTree(const float (*mnr)[32], const std::uint8_t (*sb_state)[32], int subbands, int channels)
        : mnr_(mnr), state_(sb_state), subbands_(subbands), channels_(channels) {
        for (int leaf = 0; leaf < kLeaves; ++leaf) key_[leaf] = key_of(leaf);
        for (int leaf = 0; leaf < kLeaves; ++leaf) winner_[kLeaves + leaf] = static_cast<std::uint8_t>(leaf);
        for (int node = kLeaves - 1; node >= 1; --node) winner_[node] = play(node);
    }

    // The pair to raise next, or false when every pair is closed.
    bool lowest(int& subband, int& channel) const {
        const int leaf = winner_[1];
        if (!(key_[leaf] < kNoChoice)) return false;
        channel = leaf / kSubbands;
        subband = leaf % kSubbands;
        return true;
    }

    // Call after the mnr or the state of a pair changed.
    void update(int channel, int subband) {
        const int leaf = channel * kSubbands + subband;
        key_[leaf] = key_of(leaf);
        for (int node = (kLeaves + leaf) / 2; node >= 1; node /= 2) winner_[node] = play(node);
    }

private:
    float key_of(int leaf) const {
        const int c = leaf / kSubbands;
        const int s = leaf % kSubbands;
        if (c >= channels_ || s >= subbands_ || state_[c][s] == kClosed) return kInfinity;
        const float m = mnr_[c][s];
        return m == m ? m : kInfinity;  // a NaN is never chosen
    }
    // The left child holds the lower pairs, so it keeps a tie.
    std::uint8_t play(int node) const {
        const std::uint8_t left = winner_[2 * node];
        const std::uint8_t right = winner_[2 * node + 1];
        return key_[right] < key_[left] ? right : left;
    }

    static constexpr float kInfinity = 3.0e38f;
    const float (*mnr_)[32];
    const std::uint8_t (*state_)[32];
    int subbands_;
    int channels_;
    float key_[kLeaves];
    std::uint8_t winner_[2 * kLeaves];
};

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

int allocation_field_bits(const AllocTable& alloc, const CodingLimits& l) {
    int bits = 0;
    for (int s = 0; s < l.sblimit; ++s) bits += (s < l.bound ? l.nch : 1) * field_bits(alloc, s);
    return bits;
}

bool protected_stream(const CodingParams& coding) {
    return coding.header != nullptr && coding.header->protection != 0;
}

}  // namespace

std::int32_t BitAllocator::bits_for_no_noise(const float (*smr)[32], const std::int32_t (*scfsi)[32],
                                             const CodingParams& coding) const {
    std::int32_t required = kHeaderBits + (protected_stream(coding) ? kCrcBits : 0);
    if (coding.alloc == nullptr || smr == nullptr || scfsi == nullptr) return required;
    const AllocTable& alloc = *coding.alloc;
    const CodingLimits l = coding_limits(coding);
    required += allocation_field_bits(alloc, l);

    for (int s = 0; s < l.sblimit; ++s) {
        const bool joint = l.nch == 2 && s >= l.bound;
        const int channels = s < l.bound ? l.nch : 1;
        // The estimate stops one short of the last index: a subband that no
        // smaller index can mask is priced at the second-to-last one.
        const int highest = last_index(alloc, s) - 1;
        for (int c = 0; c < channels; ++c) {
            int k = 0;
            while (k < highest && snr_of(alloc, s, k) - smr[c][s] < kMinimumMnr) ++k;
            if (joint) {
                while (k < highest && snr_of(alloc, s, k) - smr[1 - c][s] < kMinimumMnr) ++k;
            }
            if (k > 0) {
                required += sample_cost(alloc, s, k) + kScfsiBits + scale_factor_bits(scfsi[c][s]);
                if (joint) required += kScfsiBits + scale_factor_bits(scfsi[1 - c][s]);
            }
        }
    }
    return required;
}

StereoDecision BitAllocator::allocate_frame(const float (*smr)[32], const std::int32_t (*scfsi)[32],
                                            std::int32_t (*allocation)[32], std::int32_t& available_bits,
                                            const CodingParams& coding, bool opening_frame) {
    CodingParams trial = coding;
    StereoDecision decision{coding.configured_mode, 0, coding.bound};
    if (coding.configured_mode == 1) {
        decision.mode = 0;
        trial.bound = coding.sblimit;
        if (bits_for_no_noise(smr, scfsi, trial) <= available_bits) {
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
                if (bits_for_no_noise(smr, scfsi, trial) <= available_bits) break;
            }
            if (extension < 0) extension = 0;  // nothing fits: the lowest bound, coded as well as it goes
            decision.mode_extension = extension;
        }
        decision.bound = trial.bound;
    }
    allocate_greedy(smr, scfsi, allocation, available_bits, trial);
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
    for (int c = 0; c < kMaxChannels; ++c) {
        for (int s = 0; s < kSubbands; ++s) allocation[c][s] = 0;
    }
    if (coding.alloc == nullptr || smr == nullptr || scfsi == nullptr) return 0;

    if (overhead_ready_ == 0) {
        overhead_ready_ = 1;
        header_bits_ = kHeaderBits;
        crc_bits_ = protected_stream(coding) ? kCrcBits : 0;
    }

    const AllocTable& alloc = *coding.alloc;
    const CodingLimits l = coding_limits(coding);
    const std::int32_t budget = available_bits - (header_bits_ + crc_bits_ + allocation_field_bits(alloc, l));

    float mnr[kMaxChannels][kSubbands] = {};
    std::uint8_t sb_state[kMaxChannels][kSubbands] = {};
    for (int c = 0; c < l.nch; ++c) {
        for (int s = 0; s < l.sblimit; ++s) mnr[c][s] = snr_table[0] - smr[c][s];
    }
    std::int32_t sample_bits = 0;
    std::int32_t scale_bits = 0;
    std::int32_t selection_bits = 0;

    LowestMnrTree candidates(mnr, sb_state, l.sblimit, l.nch);
    for (;;) {
        int s = -1;
        int c = -1;
        if (!candidates.lowest(s, c)) break;

        const int k = allocation[c][s];
        const int last = last_index(alloc, s);
        const bool joint = l.nch == 2 && s >= l.bound;
        if (k >= last) {
            // A subband without an allocation field (or already at its last
            // index) cannot be raised.
            sb_state[c][s] = kClosed;
        } else {
            const std::int32_t increment =
                sample_cost(alloc, s, k + 1) - (sb_state[c][s] != kUntouched ? sample_cost(alloc, s, k) : 0);
            std::int32_t side_selection = 0;
            std::int32_t side_scale = 0;
            if (sb_state[c][s] == kUntouched) {
                side_selection = kScfsiBits;
                side_scale = scale_factor_bits(scfsi[c][s]);
                if (joint) {
                    // A joint subband sends scfsi and scale factors for both channels.
                    side_selection += kScfsiBits;
                    side_scale += scale_factor_bits(scfsi[1 - c][s]);
                }
            }
            // Only a budget strictly below the total refuses the raise: a raise
            // that uses the last bit exactly is taken.
            if (budget < sample_bits + scale_bits + selection_bits + side_selection + side_scale + increment) {
                sb_state[c][s] = kClosed;
            } else {
                allocation[c][s] = k + 1;
                sample_bits += increment;
                selection_bits += side_selection;
                scale_bits += side_scale;
                sb_state[c][s] = kOpen;
                mnr[c][s] = snr_of(alloc, s, k + 1) - smr[c][s];
                if (k + 1 >= last) sb_state[c][s] = kClosed;
            }
        }

        if (joint) {
            // Both channels share one allocation above the bound.
            const int other = 1 - c;
            allocation[other][s] = allocation[c][s];
            sb_state[other][s] = sb_state[c][s];
            mnr[other][s] = snr_of(alloc, s, allocation[c][s]) - smr[other][s];
            candidates.update(other, s);
        }
        candidates.update(c, s);
    }

    available_bits = budget - selection_bits - scale_bits - sample_bits;
    return 0;
}

}  // namespace zuvo
