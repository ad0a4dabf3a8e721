// Internal header: included by the encoder and the Layer II stages.
//
// Scale factors: per channel, part of 12 samples and subband, the index of
// the smallest scale factor 2^(1 - i/3) that still covers the part's peak;
// the joint-stereo sum signal; the choice of how many of a subband's three
// scale factors are sent (scfsi) with the matching rewrite of the indices;
// and the writer of scfsi and scale factors.
#pragma once

#include <cstdint>

#include "layer2/coding_params.h"
#include "output/bit_writer.h"

namespace zuvo {

// Subband samples of one channel: [part][sample][subband].
using ChannelSamples = float[3][12][32];
// Scale-factor indices of one channel: [part][subband].
using ChannelScaleIndices = std::int32_t[3][32];

// Entry i = 2^(1 - i/3) in single precision for i = 0..62; entry 63 = 1e-20.
extern const float scale_factor_table[64];
// Transmission patterns by class of the two index differences.
extern const int scfsi_patterns[5][5];

void compute_scale_indices(const ChannelSamples* samples, ChannelScaleIndices* out,
                           int channels, int sblimit);
void combine_joint(const ChannelSamples* sb_sample, ChannelSamples& j_sample, int sblimit);
void select_scfsi(ChannelScaleIndices* scale_index, std::int32_t (*scfsi)[32],
                  const CodingParams& coding);
// A decoder rebuilds each channel of a jointly coded subband from the sum's
// normalised samples times the channel's own scale factors. Where the scfsi
// choice lets a quiet part share a louder part's scale factor, the sum's
// samples of that part must be normalised by a scale factor raised by as many
// steps, or the decoder would amplify the part by the difference. Raises the
// sum's indices by the larger of the two channels' raises.
void follow_shared_scale_factors(const ChannelScaleIndices* unshared, const ChannelScaleIndices* shared,
                                 ChannelScaleIndices& joint, int sblimit);
// Index 63 (a silent part) is written as 62, the smallest defined scale factor.
void write_scale_factors(const std::int32_t (*allocation)[32], const std::int32_t (*scfsi)[32],
                         const ChannelScaleIndices* scale_index, const CodingParams& coding,
                         BitWriter& writer);

}  // namespace zuvo
