// Test-side reader of Layer II streams: MPEG-1 and MPEG-2 at the lower
// sampling frequencies.
//
// Written from the bitstream format alone, with its own tables, so that it can
// judge the encoder's output without sharing any of its code. It walks a byte
// stream frame by frame and checks every field a decoder relies on: header
// fields and frame length, the CRC-16 check word, allocation indices, scale
// factors, sample codes and the zero fill bits after the last sample code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zuvo_test {

// CRC-16 as the frame check word uses it: generator x^16 + x^15 + x^2 + 1
// (0x8005), most significant bit first, no reflection, no final inversion.
// Feeds the low `width` bits of `value` into `crc` and returns the new value.
std::uint16_t crc16_update(std::uint16_t crc, std::uint32_t value, int width);

// Layer II bitrate in kbit/s for index 1..14 of the ID bit's table (1 =
// MPEG-1, 0 = lower sampling frequencies); 0 for any other index.
int layer2_bitrate_kbps(int bitrate_index, int id = 1);
// Sampling rate in Hz for index 0..2 (0 for any other index).
int layer2_sampling_rate(int sampling_index, int id = 1);
// Bytes of a frame: floor(144000 * kbps / rate) + padding.
std::size_t layer2_frame_bytes(int bitrate_kbps, int sampling_rate, int padding);

// One quantizer of an allocation table entry.
struct Quantizer {
    int steps = 0;        // 0: the index means "not coded"
    int bits = 0;         // bits of one codeword
    bool grouped = false; // three samples share one codeword
};

// Allocation table chosen from the per-channel bitrate and the sampling rate:
// 0 = table a (27 subbands), 1 = b (30), 2 = c (8), 3 = d (12); 4 = the
// lower sampling frequencies' table (30) for every rate below 32 kHz.
int layer2_alloc_table(int bitrate_kbps, int channels, int sampling_rate);
int layer2_sblimit(int table);
// Width of the allocation field of `subband` (0 at and above the sblimit).
int layer2_nbal(int table, int subband);
// Quantizer of allocation `index` in `subband`; steps 0 for index 0 and for
// indices the table does not define.
Quantizer layer2_quantizer(int table, int subband, int index);

struct FrameInfo {
    std::size_t offset = 0; // byte offset of the frame in the stream
    std::size_t length = 0; // bytes, from the header (including padding)

    // Header fields as written.
    int id = 0;
    int layer_code = 0;     // 2 = Layer II
    int protection_bit = 0; // 0 = check word present
    int bitrate_index = 0;
    int sampling_index = 0;
    int padding = 0;
    int private_bit = 0;
    int mode = 0;           // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
    int mode_extension = 0;
    int copyright = 0;
    int original = 0;
    int emphasis = 0;

    // Derived.
    int bitrate_kbps = 0;
    int sampling_rate = 0;
    int channels = 0;
    int table = -1;
    int sblimit = 0;
    int bound = 0;          // first subband coded jointly (= sblimit unless joint stereo)

    std::uint16_t crc_stored = 0;
    std::uint16_t crc_computed = 0;
    std::array<std::array<int, 32>, 2> allocation{};
    std::array<std::array<int, 32>, 2> scfsi{};
    std::size_t payload_bits = 0; // bits up to and including the last sample code
    std::size_t fill_bits = 0;    // bits after the last sample code, before the ancillary bytes
    std::vector<std::uint8_t> ancillary; // the frame's last bytes, as many as the reader was told

    std::vector<std::string> errors;   // violations of the format
    std::vector<std::string> warnings; // legal but unusual (e.g. non-permitted bitrate/mode pair)

    bool ok() const { return errors.empty(); }
};

struct StreamReport {
    std::vector<FrameInfo> frames;
    std::vector<std::string> errors; // stream-level: lost sync, truncation, padding drift

    // True when neither the stream nor any frame has an error.
    bool ok() const;
    std::size_t error_count() const;
    // Human-readable list of the first `max_lines` errors, for test messages.
    std::string describe(std::size_t max_lines = 12) const;
};

// Reads a whole stream. Stops at the first byte where no frame can be read.
// Each frame's last `ancillary_bytes` bytes are ancillary data: taken into
// FrameInfo::ancillary, not checked as fill bits.
StreamReport read_layer2_stream(const std::uint8_t* data, std::size_t size, std::size_t ancillary_bytes = 0);
StreamReport read_layer2_stream(const std::vector<std::uint8_t>& data, std::size_t ancillary_bytes = 0);

} // namespace zuvo_test
