// The command line of zuvo-mpa-encode: the Options struct, parse_args with
// every check that needs no file, the help and version texts, and the
// formats the library codes (asked of the library, never listed here).
#pragma once

#include "id3_tags.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace zuvo_tool {

// A refused command line; main reports it (report_usage_error) and exits with
// kUsage. Nothing has been read or written when it is thrown.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    enum class Action { kEncode, kHelp, kVersion };
    Action action = Action::kEncode; // kHelp, kVersion: print that and exit 0
    int bitrate_kbps = 0;            // 0: default for the mode
    int mode = -1;                   // -1: from the input's channel count
    bool quiet = false;
    bool verbose = false;
    bool force = false;
    bool copy_tags = false;
    Tags tags;
    std::string out_dir;
    bool out_dir_given = false;
    std::vector<std::string> files; // empty: the demo clip; else INPUT and OUTPUT, or the INPUTs of a batch

    int rate = 0;             // -r: the stream's rate; 0: from the input's
    std::string downmix;      // --downmix: "", "smpte" or "mean"
    bool copyright = false;   // header flags
    bool original = false;
    int emphasis = 0;         // 0 none, 1 50/15 us, 3 CCITT J.17
    bool crc = true;          // --no-crc turns the check word off
    bool wav = false;         // --wav, or an OUTPUT ending in .wav: MP2 in a Broadcast Wave file
    std::string output_dir;   // -O: encode every INPUT into this folder
    int jobs = 0;             // -j: files at a time in a batch; 0: one per core
    int tuning = 1;           // --tuning: 0 reference (the design), 1 best (the default)

    bool demo() const { return files.empty(); }
    bool batch() const { return !output_dir.empty(); }
    // OUTPUT, or demo.mp2 in the --out directory for the demo clip.
    std::string output_path() const;
};

// Parses a command line (getopt_long; argv may be permuted). --help and
// --version end the parsing where they stand. Throws UsageError.
Options parse_args(int argc, char** argv);

// "zuvo-mpa-encode: MESSAGE" and the pointer to --help, on stderr.
void report_usage_error(const std::string& message);
void print_usage(std::FILE* to);
void print_version(std::FILE* to);

// The library's sampling rates, "16000, 22050, ... and 48000".
std::string rate_list();
bool rate_is_coded(int hz);
// "stereo", "joint stereo", "dual channel", "mono".
const char* mode_name(int mode);
// Where a batch writes `input`: DIR/<name without extension>.mp2 (or .wav).
std::string batch_output_path(const Options& options, const std::string& input);

// Why `rate` cannot code `kbps` in `mode`, or "" when it can.
std::string bitrate_refusal(int rate, int mode, int kbps);

} // namespace zuvo_tool
