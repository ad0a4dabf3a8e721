// Internal header: included by the encoder and its tests.
//
// The 32-bit frame header and its CRC-16 check word (generator 0x8005, from
// 0xFFFF, most significant bit first, no reflection) over header bits 15..0,
// the allocation fields and the scale-factor selection information.
#pragma once

#include <cstdint>

#include "layer2/coding_params.h"
#include "output/bit_writer.h"

namespace zuvo {

void update_crc(std::uint32_t value, int width, std::uint32_t& crc);
void compute_crc(const CodingParams& coding, const std::int32_t (*allocation)[32],
                 const std::int32_t (*scfsi)[32], std::uint32_t& crc);
void write_header(const CodingParams& coding, BitWriter& writer);
void write_crc(std::uint32_t crc, BitWriter& writer);

}  // namespace zuvo
