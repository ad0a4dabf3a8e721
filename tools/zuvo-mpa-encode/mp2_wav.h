// MP2 in a RIFF WAVE file, the way broadcast playout and archive systems
// store Layer II: a Broadcast Wave `bext` chunk (description, originator,
// date and time, coding history), a `fmt ` chunk of format tag
// WAVE_FORMAT_MPEG (0x0050) whose MPEG1WAVEFORMAT fields describe the stream
// (layer, bitrate, mode, mode extension, emphasis, header flags), a `fact`
// chunk with the decoded length in samples per channel, the MPEG audio
// extension chunk `mext` (sound information, nominal frame size, ancillary
// data length) and the `data` chunk holding the frames as they are.
//
// The header is a pure function of the stream's facts and its final sizes
// and always has the same length, so a writer puts a provisional header
// first, the frames after it, and rewrites the header in place at the end.
// A stream of an odd number of bytes is followed by one zero byte, as RIFF
// chunks are; the header counts it. RIFF counts bytes in 32 bits: mp2_wav_max_data says how many stream
// bytes fit, so that a writer stops cleanly before the file would pass
// 4 GiB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zuvo_tool {

struct Mp2WavFacts {
    int sample_rate = 44100;
    int mode = 1;  // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
    int bitrate_kbps = 192;
    int mpeg_version = 1;  // 1, or 2 for the lower sampling frequencies
    bool copyright = false;
    bool original = false;
    bool private_bit = false;
    int emphasis = 0;  // the header's value: 0 none, 1 50/15 us, 3 CCITT J.17
    bool protection = true;  // frames carry a CRC check word
    std::uint32_t frame_bytes = 0;  // of a frame without the padding byte
    bool padded = false;            // some frames carry a padding byte (22.05 and 44.1 kHz)
    std::uint32_t ancillary_bytes = 0;

    // Broadcast Wave fields (ASCII; cut to their field lengths).
    std::string description;
    std::string originator;
    std::string originator_reference;
    std::string origination_date;  // yyyy-mm-dd
    std::string origination_time;  // hh:mm:ss
    std::string coding_history;    // one or more lines, each ending in CR LF
};

// The coding history line of a Layer II stream:
// "A=MPEG1L2,F=48000,B=192,M=joint-stereo,T=<text>\r\n".
std::string coding_history_line(const Mp2WavFacts& facts, const std::string& text);

// Everything before the stream's bytes, for a file that holds `data_bytes`
// of stream in `frames` frames (each 1152 samples per channel).
std::vector<std::uint8_t> mp2_wav_header(const Mp2WavFacts& facts, std::uint64_t data_bytes, std::uint64_t frames);

// The most stream bytes a file with this header can hold (the RIFF size
// field counts at most 2^32 - 1 bytes after itself).
std::uint64_t mp2_wav_max_data(const Mp2WavFacts& facts);

}  // namespace zuvo_tool
