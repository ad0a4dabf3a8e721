// Internal header: included by the encoder and its tests.
//
// Bit allocation: for joint-stereo streams a per-frame choice between plain
// stereo and joint coding from the highest bound whose noise-free need fits,
// then a greedy distribution of the frame's bits that raises the channel and
// subband with the worst mask-to-noise ratio one allocation index at a time,
// paying for sample codes, scale factors and scfsi, until no raise fits.
#pragma once

#include <cstdint>

#include "layer2/coding_params.h"
#include "layer2/perceptual_allocation.h"

namespace zuvo {

// SNR in dB by (quant_class + 1); index 0 = no allocation.
extern const float snr_table[18];
// Scale factors sent per scfsi value.
extern const int scale_factor_count[4];

// How a frame's two channels are coded, as the bit allocation decided it:
// the header's mode and mode extension and the first jointly coded subband.
// Streams not configured as joint stereo keep their mode, extension 0 and the
// bound they have.
struct StereoDecision {
    std::int32_t mode;
    std::int32_t mode_extension;
    std::int32_t bound;
};

// Per coded subband of a table: width of the allocation field, last index,
// and by index the sample bits of a frame, the step in sample bits to the
// next index (0 from the last one on) and the SNR. Indices past the last
// repeat the last one's SNR and sample bits.
struct AllocationPrices {
    int field_bits[kSubbands];
    int last[kSubbands];
    std::int32_t sample_bits[kSubbands][kAllocIndices];
    std::int32_t step_bits[kSubbands][kAllocIndices];
    float snr[kSubbands][kAllocIndices];
    // 1 / step_bits and 1 / (the steps from k to k + 2), 0 where that is 0:
    // the tuned loop's prices per bit.
    float inverse_step[kSubbands][kAllocIndices];
    float inverse_two_steps[kSubbands][kAllocIndices];
    // (2 / steps)^2, a step's square: a part's 12 samples under a uniform
    // quantizer make a step's square / 12 each, so this is the part's noise
    // over its squared scale factor (0 where the index codes nothing).
    float uniform_noise[kSubbands][kAllocIndices];
    std::int32_t lowest_price;  // the cheapest raise of any coded subband (the largest int32 if none)

    void fill(const AllocTable& alloc, int sblimit);
};

class BitAllocator {
public:
    // Clears the frame-overhead counts and the table prices (at every stream
    // set-up).
    void reset_frame_overhead() {
        overhead_ready_ = 0;
        prices_alloc_ = nullptr;
    }

    // Decides mode, mode extension and bound (joint-stereo streams), then
    // allocates with that bound, and returns the decision; the caller puts it
    // into the frame header and the coding parameters before the frame is
    // written. `coding` itself is not changed.
    // available_bits: in, the frame's bits; out, the bits no field uses.
    // opening_frame: one of the first two frames of a stream; a joint-stereo
    // stream never codes those as plain stereo (mode 1, extension 3 instead).
    // lowest_joint_bound: no subband below it may be coded jointly (0: any
    // bound); where no bound of the format is that high, the frame is coded
    // in plain stereo.
    // signal: when given, the bits are distributed perceptually (the tuned
    // loop, weighted by the subband widths of the last set_rate) instead of
    // by the design's loop.
    StereoDecision allocate_frame(const float (*smr)[32], const std::int32_t (*scfsi)[32],
                                  std::int32_t (*allocation)[32], std::int32_t& available_bits,
                                  const CodingParams& coding, bool opening_frame = false,
                                  int lowest_joint_bound = 0, const FrameSignal* signal = nullptr);
    // The sampling rate the perceptual distribution weighs its subbands for.
    void set_rate(float rate_hz) { subband_bark_widths(rate_hz, bark_width_); }
    std::int32_t bits_for_no_noise(const float (*smr)[32], const std::int32_t (*scfsi)[32],
                                   const CodingParams& coding) const;
    int allocate_greedy(const float (*smr)[32], const std::int32_t (*scfsi)[32],
                        std::int32_t (*allocation)[32], std::int32_t& available_bits,
                        CodingParams& coding);

private:
    int greedy(const AllocationPrices& prices, const float (*smr)[32], const std::int32_t (*scfsi)[32],
               std::int32_t (*allocation)[32], std::int32_t& available_bits, const CodingParams& coding);

    // The prices of the table in use, kept while the same numbered table is.
    const AllocationPrices& prices_for(const CodingParams& coding);

    float bark_width_[kSubbands] = {};
    int overhead_ready_ = 0;
    AllocationPrices prices_{};
    const AllocTable* prices_alloc_ = nullptr;
    std::int32_t prices_table_ = -1;
    int prices_sblimit_ = -1;
    int header_bits_ = 32;
    int crc_bits_ = 0;
};

// The lowest bound at which joint coding keeps the stereo image of a frame:
// one above the highest subband whose two channels cancel in their sum (the
// sum's largest scale factor at least `kCancelSteps` steps, 2 dB each, below
// the louder channel's, in a subband loud enough to matter). Intensity coding
// sends that sum for both channels, so such a subband would lose most of its
// energy. 0 when no subband cancels.
constexpr int kCancelSteps = 5;
int lowest_joint_bound(const std::int32_t (*scale_index)[3][32], const std::int32_t (*joint_scale_index)[32],
                       int sblimit);

// The open pair with the lowest mnr (ties: lower channel, then lower
// subband); subband and channel are -1 when none is left.
void find_lowest_mnr(const float (*mnr)[32], const std::uint8_t (*sb_state)[32], int subbands,
                     int channels, int& subband, int& channel);

}  // namespace zuvo
