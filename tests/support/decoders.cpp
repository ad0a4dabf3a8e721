#include "support/decoders.h"

#include <sstream>

#include "support/audio_tools.h"

namespace zuvo_test {

namespace {

bool host_is_little_endian() {
    const std::uint16_t probe = 1;
    return *reinterpret_cast<const std::uint8_t*>(&probe) == 1;
}

// ffmpeg's raw-stream demuxer always notes that it guesses the duration; that
// line says nothing about the stream.
std::string significant_stderr(const std::string& err) {
    std::istringstream in(err);
    std::string line, kept;
    while (std::getline(in, line)) {
        if (line.find("Estimating duration from bitrate") != std::string::npos) continue;
        if (!line.empty()) kept += line + "\n";
    }
    return kept;
}

}  // namespace

const Decoder kDecoders[3] = {
    {"ffmpeg",
     [](const std::string& p, int) {
         return std::vector<std::string>{"ffmpeg", "-nostdin", "-v", "warning", "-err_detect",
                                         "crccheck+bitstream+buffer+explode", "-i", p, "-f", "s16le", "-"};
     },
     false},
    {"mpg123", [](const std::string& p, int) { return std::vector<std::string>{"mpg123", "-q", "-s", p}; }, true},
    // -d: no dither, so the comparison sees only the coding noise; -S: both
    // channels of a dual-channel stream (by default madplay plays the first).
    {"madplay",
     [](const std::string& p, int mode) {
         std::vector<std::string> args{"madplay", "-q", "-d", "-o", "raw:-", p};
         if (mode == 2) args.insert(args.begin() + 1, "-S");
         return args;
     },
     true},
};

DecoderRun run_decoder(const Decoder& decoder, const std::string& path, int mode) {
    DecoderRun run;
    if (find_program(decoder.name).empty()) return run;
    run.available = true;
    const ProcessResult r = run_process(decoder.command(path, mode));
    run.started = r.started;
    run.timed_out = r.timed_out;
    run.exit_code = r.exit_code;
    run.complaint = significant_stderr(r.err);
    run.pcm = decoder.host_endian && !host_is_little_endian() ? pcm_from_be(r.out) : pcm_from_le(r.out);
    return run;
}

}  // namespace zuvo_test
