// Test-side runs of the three independent decoders (ffmpeg, mpg123, madplay)
// over a stream file: their 16-bit output and whatever they complained of.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zuvo_test {

struct Decoder {
    const char* name;
    std::vector<std::string> (*command)(const std::string& path, int mode);
    bool host_endian;  // raw output in host byte order (else little-endian)
};

// ffmpeg (with every error check on, CRC included), mpg123 and madplay
// (undithered; both channels of a dual-channel stream).
extern const Decoder kDecoders[3];

struct DecoderRun {
    bool available = false;  // the program is installed
    bool started = false;
    bool timed_out = false;
    int exit_code = -1;
    std::string complaint;   // standard error, less ffmpeg's note on estimated durations
    std::vector<std::int16_t> pcm;
};

// Decodes the stream file at `path`; `mode` is the stream's channel mode.
DecoderRun run_decoder(const Decoder& decoder, const std::string& path, int mode);

}  // namespace zuvo_test
