// Internal header: included by the encoder and its tests.
//
// The five Layer II allocation tables, embedded as fixed 20-byte text records
// and parsed at run time into the encoder's `alloc` table, and the derivation
// of the coding parameters (table, sblimit, bound, nch) from the header.
#pragma once

#include <cstdint>

#include "layer2/coding_params.h"

namespace zuvo {

constexpr int kAllocRecordBytes = 20;
constexpr int kAllocRecords = 987;
extern const char alloc_text[kAllocRecords][kAllocRecordBytes];
extern const std::int32_t alloc_section_start[5];

// Fills configured_mode, nch, sblimit (loading a table when needed) and bound
// from the header (the header's mode must be the configured one).
void derive_coding_params(CodingParams& coding);
// The number of the table a frame with this header and channel count codes
// with: 4 for MPEG-2 lower sampling frequencies; for MPEG-1 chosen by the
// bitrate per channel and the rate.
std::int32_t alloc_table_number(const MpaHeader& header, std::int32_t nch);
// Returns sblimit; loads the chosen table when it differs from table_number.
std::int32_t choose_alloc_table(CodingParams& coding);
// Parses section `table` (outside 0..4 reads as 0) into `alloc`; returns its sblimit.
std::int32_t load_alloc_table(std::int32_t table, AllocTable& alloc);
// {4, 8, 12, 16} by mode_extension, clamped into 0..3.
std::int32_t bound_for_extension(std::int32_t mode_extension);
// Releases the loaded table (table_number back to -1).
void release_coding_params(CodingParams& coding);

}  // namespace zuvo
