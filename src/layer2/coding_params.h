// Internal header: included by the encoder and every Layer II stage.
//
// The frame header fields and the coding parameters that every Layer II stage
// reads: channel count, coded subbands (sblimit), first jointly coded subband
// (bound) and the loaded allocation table.
#pragma once

#include <cstdint>

namespace zuvo {

// The twelve header fields of the current frame. `padding` is set per frame by
// the frame sequence; `mode` and `mode_extension` per frame by bit allocation.
struct MpaHeader {
    std::int32_t version;             // ID bit: 1 = MPEG-1, 0 = MPEG-2 lower sampling frequencies
    std::int32_t layer;               // 2; written as 4 - layer
    std::int32_t protection;          // 1 = CRC present (bit written inverted)
    std::int32_t bitrate_index;
    std::int32_t sampling_frequency;  // 0 = 44.1, 1 = 48, 2 = 32 kHz (half of each in MPEG-2)
    std::int32_t padding;
    std::int32_t private_bit;
    std::int32_t mode;                // 0 stereo, 1 joint, 2 dual, 3 single channel
    std::int32_t mode_extension;
    std::int32_t copyright;
    std::int32_t original;
    std::int32_t emphasis;
};

// One row of an allocation table. In entry 0 of a subband only code_bits is
// used: the width of the subband's allocation field (nbal).
struct AllocEntry {
    std::int32_t steps;
    std::int32_t code_bits;
    std::int32_t codewords;    // 1 = three samples grouped in one codeword, 3 = one per sample
    std::int32_t quant_class;  // 0..16
};

constexpr int kSubbands = 32;
constexpr int kAllocIndices = 16;
using AllocTable = AllocEntry[kSubbands][kAllocIndices];  // 8192 bytes

struct CodingParams {
    MpaHeader* header = nullptr;
    std::int32_t configured_mode = 0;
    AllocTable* alloc = nullptr;     // owned; released by release_coding_params
    std::int32_t table_number = -1;  // -1 = none loaded
    std::int32_t nch = 2;
    std::int32_t bound = 32;
    std::int32_t sblimit = 32;
};

// The loop limits of a frame, each forced into its legal range, so that no
// stage can index outside its arrays whatever a CodingParams holds.
struct CodingLimits {
    int nch;
    int sblimit;
    int bound;
};

inline int clamp_int(int value, int low, int high) {
    return value < low ? low : (value > high ? high : value);
}

inline CodingLimits coding_limits(const CodingParams& coding) {
    CodingLimits l{};
    l.nch = clamp_int(coding.nch, 1, 2);
    l.sblimit = clamp_int(coding.sblimit, 0, kSubbands);
    l.bound = clamp_int(coding.bound, 0, l.sblimit);
    return l;
}

// Width of a subband's allocation field (0 to 4 bits).
inline int field_bits(const AllocTable& alloc, int s) { return clamp_int(alloc[s][0].code_bits, 0, 4); }

}  // namespace zuvo
