// Internal header: included by the encoder and its tests.
//
// Allocation fields, quantization and sample codes. Each allocated sample is
// normalised by its scale factor, mapped by y = A*x + B onto the class's
// steps and coded with its sign in the most significant bit; classes of 3, 5
// and 9 steps group three codes into one codeword.
#pragma once

#include <cstdint>

#include "layer2/coding_params.h"
#include "layer2/scale_factors.h"
#include "output/bit_writer.h"

namespace zuvo {

extern const float quant_a[17];
extern const float quant_b[17];
extern const std::int32_t quant_p[17];

// Sample codes of one channel: [part][sample][subband].
using ChannelCodes = std::uint32_t[3][12][32];

void write_allocation(const std::int32_t (*allocation)[32], const CodingParams& coding,
                      BitWriter& writer);
// The code of one normalised sample in a class, limited to 0 .. steps - 1.
std::uint32_t quantize_sample(double x, int quant_class, std::int32_t steps);
void quantize(const ChannelScaleIndices* scale_index, const ChannelSamples* sb_sample,
              const ChannelScaleIndices& j_scale_index, const ChannelSamples& j_sample,
              const std::int32_t (*allocation)[32], ChannelCodes* subband,
              const CodingParams& coding);
void write_samples(const ChannelCodes* subband, const std::int32_t (*allocation)[32],
                   const CodingParams& coding, BitWriter& writer);

}  // namespace zuvo
