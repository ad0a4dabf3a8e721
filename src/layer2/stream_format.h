// Internal header: included by the Layer II stages, the encoder, the
// boundary and the tests. The one place that knows the stream format's facts.
//
// A Layer II stream is MPEG-1 (ISO/IEC 11172-3: 32, 44.1 and 48 kHz, header
// ID bit 1) or MPEG-2 at the lower sampling frequencies (ISO/IEC 13818-3: 16,
// 22.05 and 24 kHz, ID bit 0). Both code 1152 samples per channel in a frame;
// the header's two-bit sampling-frequency index means 44.1/48/32 kHz in
// MPEG-1 and half of each in MPEG-2, and its four-bit bitrate index reads a
// table of its own in each. MPEG-1 forbids two channels at 32, 48, 56 and
// 80 kbit/s and one channel above 192 kbit/s; MPEG-2 allows every bitrate in
// every mode. A frame is 144000 x kbit/s / Hz bytes, rounded down; streams at
// 44.1 and 22.05 kHz add a padding byte to some frames so that the average
// matches the bitrate.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zuvo {

constexpr int kFrameSamples = 1152;  // samples per channel in one frame
// Samples a decoder's output lags behind the encoder's input: the analysis
// filterbank's 256 and the synthesis filterbank's 225 (less the one sample
// both count).
constexpr int kDecoderDelay = 481;

// Channel modes, as the header's mode field codes them.
constexpr int kModeStereo = 0;
constexpr int kModeJointStereo = 1;
constexpr int kModeDualChannel = 2;
constexpr int kModeSingleChannel = 3;

// The header's ID bit.
constexpr int kVersionLsf = 0;    // MPEG-2, lower sampling frequencies
constexpr int kVersionMpeg1 = 1;  // MPEG-1

// Bitrates in kbit/s by ID bit and bitrate index (0 = free format, which
// this encoder does not write).
constexpr int kBitrateKbps[2][15] = {
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
};

// Sampling rates in kHz by ID bit and sampling-frequency index, held in
// single precision as the frame geometry and the allocation tables read them
// (44.1 is 44.099998474121094).
constexpr float kSamplingKhz[2][3] = {{22.05f, 24.0f, 16.0f}, {44.1f, 48.0f, 32.0f}};

// A sampling rate the format codes and how its header says it.
struct StreamRate {
    int hz;
    int version;          // ID bit
    int frequency_index;  // the header's sampling-frequency field
};
constexpr int kStreamRateCount = 6;
constexpr StreamRate kStreamRates[kStreamRateCount] = {
    {16000, kVersionLsf, 2},   {22050, kVersionLsf, 0},   {24000, kVersionLsf, 1},
    {32000, kVersionMpeg1, 2}, {44100, kVersionMpeg1, 0}, {48000, kVersionMpeg1, 1},
};

// The rate's entry, or null for a rate the format does not code.
const StreamRate* find_stream_rate(std::int64_t hz);
// Whether the rate is one of MPEG-1's three.
bool is_mpeg1_rate(std::int64_t hz);
// The rate in Hz that a header's ID bit and sampling-frequency index name
// (0 for index 3, which is reserved, or anything out of range).
int rate_hz(int version, int frequency_index);
// kSamplingKhz with out-of-range arguments read as 0.
float rate_khz(int version, int frequency_index);
// Kbit/s of a bitrate index (0 for anything out of range).
int bitrate_kbps(int version, int bitrate_index);
// The bitrate index of `kbps` in the version's table; 0 when it has none.
int bitrate_index(int version, int kbps);
// Whether the version allows `kbps` (a bitrate of its table) in `mode`.
bool mode_allows(int version, int mode, int kbps);
// Whether a stream of this rate, mode and bitrate can be coded.
bool format_codes(std::int64_t hz, int mode, int kbps);
// The bitrates a rate and mode can code, ascending, into `kbps` (room for
// 14); returns their number (0 for a rate or mode that does not exist).
int list_bitrates(std::int64_t hz, int mode, int* kbps);
// Bytes of a frame, with the padding byte when `padded` and the rate pads;
// 0 for a rate or bitrate the format does not code.
std::uint32_t frame_bytes(std::int64_t hz, int kbps, bool padded);
// The longest frame of any stream: 384 kbit/s at 32 kHz.
constexpr std::uint32_t kMaxFrameBytes = 1728;

}  // namespace zuvo
