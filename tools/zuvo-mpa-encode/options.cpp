// The command line (see options.h).
#include "options.h"

#include "common.h"
#include "compat.h"
#include "output_file.h"

#include "zuvo_mpa.h"

#include <getopt.h>

#include <algorithm>
#include <cstdlib>

#ifndef ZUVO_VERSION
#define ZUVO_VERSION "unknown"
#endif

namespace zuvo_tool {

namespace {

[[noreturn]] void usage_error(const std::string& message) { throw UsageError(message); }

// "a b c" of a list of numbers.
std::string number_list(const int* values, std::size_t count, const char* separator = " ") {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += (i == 0 ? "" : separator) + std::to_string(values[i]);
    return text;
}

// The bitrates a rate and mode allow, "64 96 112 ...".
std::string bitrate_list(int rate, int mode) {
    int kbps[32];
    const std::size_t count = std::min<std::size_t>(zuvo_mpa_bitrates(rate, mode, kbps, 32), 32);
    return number_list(kbps, count);
}

// The bitrates of a mode at the MPEG-1 rates and at the lower ones (the same
// lists at every rate of each group).
std::string bitrate_lists(int mode) {
    return bitrate_list(44100, mode) + " (32000-48000 Hz) or " + bitrate_list(24000, mode) + " (16000-24000 Hz)";
}

// Whether some rate codes `kbps` in `mode`.
bool some_rate_carries(int mode, int kbps) {
    int rates[16];
    const std::size_t count = std::min<std::size_t>(zuvo_mpa_sample_rates(rates, 16), 16);
    for (std::size_t i = 0; i < count; ++i) {
        if (zuvo_mpa_check_format(rates[i], mode, kbps) == ZUVO_MPA_OK) return true;
    }
    return false;
}

int parse_mode(const std::string& text) {
    if (text == "stereo" || text == "s") return 0;
    if (text == "joint" || text == "j") return 1;
    if (text == "dual" || text == "d") return 2;
    if (text == "mono" || text == "m") return 3;
    usage_error("unknown mode '" + text + "' (use stereo, joint, dual or mono)");
}

int parse_bitrate(const std::string& text) {
    std::string digits = text;
    if (!digits.empty() && (digits.back() == 'k' || digits.back() == 'K')) digits.pop_back();
    if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("0123456789") != std::string::npos) {
        usage_error("bitrate '" + text + "' is not a number of kbit/s");
    }
    const int kbps = std::atoi(digits.c_str());
    if (kbps == 0) usage_error("bitrate '" + text + "' is not a bitrate; use 8 to 384 kbit/s");
    return kbps;
}

// A usage error when no rate codes `kbps` in `mode`.
void check_bitrate(int mode, int kbps) {
    if (some_rate_carries(mode, kbps)) return;
    usage_error(std::to_string(kbps) + " kbit/s is not available for " + mode_name(mode) +
                (mode == 3 ? "" : " (two channels)") + "; use " + bitrate_lists(mode));
}

enum LongOnly { kOptOut = 256, kOptTitle, kOptArtist, kOptAlbum, kOptYear, kOptTrack, kOptGenre, kOptComment,
                kOptCopyTags, kOptDownmix, kOptCopyright, kOptOriginal, kOptEmphasis, kOptNoCrc, kOptWav, kOptTuning };

int parse_rate(const std::string& text) {
    std::string digits = text;
    if (!all_digits(digits, 0, digits.size()) || digits.empty() || digits.size() > 6) {
        usage_error("rate '" + text + "' is not a number of Hz");
    }
    const int hz = std::atoi(digits.c_str());
    if (!rate_is_coded(hz)) usage_error("rate " + text + " Hz cannot be coded; use " + rate_list() + " Hz");
    return hz;
}

int parse_emphasis(const std::string& text) {
    if (text == "none") return 0;
    if (text == "50/15") return 1;
    if (text == "ccitt") return 3;
    usage_error("emphasis '" + text + "' is not none, 50/15 or ccitt");
}

int parse_jobs(const std::string& text) {
    if (text.empty() || text.size() > 3 || !all_digits(text, 0, text.size()) || std::atoi(text.c_str()) < 1) {
        usage_error("jobs '" + text + "' is not a number from 1 to 999");
    }
    return std::atoi(text.c_str());
}

bool ends_with_wav(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return tail == ".wav";
}

void set_tag(std::string& field, const char* option, const char* value) {
    const std::string text = value;
    if (!is_utf8(text)) usage_error(std::string("--") + option + ": the text is not UTF-8");
    field = text;
}

} // namespace

std::string rate_list() {
    int rates[16];
    const std::size_t count = std::min<std::size_t>(zuvo_mpa_sample_rates(rates, 16), 16);
    return number_list(rates, count - 1, ", ") + " and " + std::to_string(rates[count - 1]);
}

bool rate_is_coded(int hz) {
    int rates[16];
    const std::size_t count = std::min<std::size_t>(zuvo_mpa_sample_rates(rates, 16), 16);
    return std::find(rates, rates + count, hz) != rates + count;
}

void print_usage(std::FILE* to) {
    const std::string rates = rate_list();
    const std::string two_high = bitrate_list(44100, 0), mono_high = bitrate_list(44100, 3);
    const std::string low = bitrate_list(24000, 0);
    std::fprintf(to,
                 "Usage: %s [options] INPUT OUTPUT\n"
                 "       %s [options] -O DIR INPUT...   (each INPUT to DIR/NAME.mp2)\n"
                 "       %s [--out DIR] [options]     (no files: encode a demo clip)\n"
                 "\n"
                 "Encodes audio to an MPEG Audio Layer II stream (.mp2) with CRC-protected\n"
                 "frames (unless --no-crc): MPEG-1 at 32000, 44100 and 48000 Hz, MPEG-2 at\n"
                 "the lower rates.\n"
                 "INPUT is any file libsndfile reads (WAV, AIFF, FLAC, Ogg, ...), with 1 to 8\n"
                 "channels at any rate. Rates other than %s Hz\n"
                 "are converted (libsoxr, very high quality); 3 to 8 channels are downmixed\n"
                 "(ITU-R BS.775, LFE dropped, scaled not to clip).\n"
                 "Integer samples keep their top 16 bits, floating-point samples are scaled\n"
                 "(1.0 = full scale) and clipped.\n"
                 "Use '-' for INPUT to read standard input, '-' for OUTPUT to write standard\n"
                 "output. A new or replaced OUTPUT file appears only once encoding has\n"
                 "succeeded; devices, FIFOs and /dev/fd/N are written into directly.\n"
                 "\n"
                 "Every input sample is coded: decoders output the first input sample after\n"
                 "481 samples of delay, and the stream is extended with silence until the last\n"
                 "input sample has come through. Trim 481 samples at the start to line the\n"
                 "decoded audio up with the input.\n"
                 "\n"
                 "Options:\n"
                 "  -b, --bitrate KBPS  stream bitrate in kbit/s (default 192, or 96 for mono;\n"
                 "                      96 and 48 below 32000 Hz)\n"
                 "                        32-48 kHz, two channels: %s\n"
                 "                        32-48 kHz, mono: %s\n"
                 "                        16-24 kHz, every mode: %s\n"
                 "  -m, --mode MODE     stereo, joint, dual or mono (also s, j, d, m);\n"
                 "                      default joint for 2-channel input, mono for 1-channel.\n"
                 "                      mono from 2 channels mixes (L+R)/2; a 1-channel input\n"
                 "                      in a 2-channel mode is copied to both channels.\n"
                 "  -f, --force         replace OUTPUT if it is an existing file (it keeps its\n"
                 "                      permissions); never the input file itself\n"
                 "  -q, --quiet         no progress bar and no summary (warnings still shown)\n"
                 "  -v, --verbose       also show the encoder library's own diagnostics\n"
                 "  -r, --rate HZ       the stream's rate; the input is resampled to it. Default:\n"
                 "                      the input's when it is coded; above 48000 Hz 44100 for\n"
                 "                      multiples of 11025, else 48000; below, the lowest coded\n"
                 "                      rate above it, a multiple of it where there is one\n"
                 "      --downmix RULE  3 to 8 channels of an unknown layout: smpte (the order\n"
                 "                      L R C LFE BL BR SL SR) or mean (equal weights)\n"
                 "      --copyright     set the copyright bit of every frame\n"
                 "      --original      set the original bit of every frame\n"
                 "      --emphasis E    none (default), 50/15 or ccitt: the de-emphasis a\n"
                 "                      decoder applies (the audio must be pre-emphasized)\n"
                 "      --no-crc        frames without the CRC check word (16 more bits of audio)\n"
                 "      --tuning T      best (default): the bit distribution that sounds better;\n"
                 "                      reference: exactly the original design's streams\n"
                 "      --wav           MP2 in a Broadcast Wave file (bext, fmt, fact, mext\n"
                 "                      chunks); also when OUTPUT ends in .wav\n"
                 "  -O, --output-dir DIR  encode each INPUT to DIR/NAME.mp2 (.wav with --wav);\n"
                 "                      an existing file is kept unless --force\n"
                 "  -j, --jobs N        with -O: files encoded at a time (default: one per core)\n"
                 "      --out DIR       where the demo clip goes (default: current directory)\n"
                 "  -h, --help          show this help\n"
                 "  -V, --version       show the version\n"
                 "\n"
                 "Tags (an ID3v2.4 tag at the start of OUTPUT; none unless asked for):\n"
                 "      --title TEXT    --artist TEXT    --album TEXT    --genre TEXT\n"
                 "      --comment TEXT\n"
                 "      --year YYYY     also YYYY-MM or YYYY-MM-DD\n"
                 "      --track N       also N/TOTAL\n"
                 "      --copy-tags     copy INPUT's title, artist, album, date and comment;\n"
                 "                      the options above take precedence\n"
                 "Text is UTF-8.\n"
                 "\n"
                 "Without INPUT and OUTPUT a 5-second stereo demo clip (44.1 kHz, a few tones)\n"
                 "is synthesized and encoded to demo.mp2, replacing an earlier demo.mp2.\n"
                 "\n"
                 "Exit status: 0 success, 1 usage error (nothing is read or written),\n"
                 "2 input error (unreadable, unsupported or empty audio; no output),\n"
                 "3 output error (cannot write OUTPUT, OUTPUT is the input, or OUTPUT exists\n"
                 "without --force), 4 encoder error, 5 damaged input: it ended early or could\n"
                 "not be decoded to its end; OUTPUT holds the stream of what was read.\n",
                 kProgram, kProgram, kProgram, rates.c_str(), two_high.c_str(), mono_high.c_str(), low.c_str());
}

const char* mode_name(int mode) {
    static const char* const names[4] = {"stereo", "joint stereo", "dual channel", "mono"};
    return names[mode];
}

std::string bitrate_refusal(int rate, int mode, int kbps) {
    if (zuvo_mpa_check_format(rate, mode, kbps) == ZUVO_MPA_OK) return {};
    return std::to_string(kbps) + " kbit/s is not available at " + std::to_string(rate) + " Hz for " +
           mode_name(mode) + (mode == 3 ? "" : " (two channels)") + "; use " + bitrate_list(rate, mode);
}

void report_usage_error(const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram, message.c_str(), kProgram);
}

void print_version(std::FILE* to) { std::fprintf(to, "%s %s\n", kProgram, ZUVO_VERSION); }

std::string batch_output_path(const Options& options, const std::string& input) {
    std::string name = input;
    const std::size_t slash = name.find_last_of(path_separators());
    if (slash != std::string::npos) name = name.substr(slash + 1);
    const std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name = name.substr(0, dot);
    const std::string& dir = options.output_dir;
    const bool ends_in_separator = std::string(path_separators()).find(dir.back()) != std::string::npos;
    return dir + (ends_in_separator ? "" : "/") + name + (options.wav ? ".wav" : ".mp2");
}

std::string Options::output_path() const {
    if (!demo()) return files[1];
    const std::string dir = out_dir_given ? out_dir : ".";
    return dir + (dir.back() == '/' ? "" : "/") + "demo.mp2";
}

Options parse_args(int argc, char** argv) {
    static const option kLong[] = {
        {"bitrate", required_argument, nullptr, 'b'}, {"mode", required_argument, nullptr, 'm'},
        {"force", no_argument, nullptr, 'f'},         {"quiet", no_argument, nullptr, 'q'},
        {"verbose", no_argument, nullptr, 'v'},       {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},       {"out", required_argument, nullptr, kOptOut},
        {"title", required_argument, nullptr, kOptTitle},     {"artist", required_argument, nullptr, kOptArtist},
        {"album", required_argument, nullptr, kOptAlbum},     {"year", required_argument, nullptr, kOptYear},
        {"track", required_argument, nullptr, kOptTrack},     {"genre", required_argument, nullptr, kOptGenre},
        {"comment", required_argument, nullptr, kOptComment}, {"copy-tags", no_argument, nullptr, kOptCopyTags},
        {"rate", required_argument, nullptr, 'r'},           {"downmix", required_argument, nullptr, kOptDownmix},
        {"copyright", no_argument, nullptr, kOptCopyright},   {"original", no_argument, nullptr, kOptOriginal},
        {"emphasis", required_argument, nullptr, kOptEmphasis}, {"no-crc", no_argument, nullptr, kOptNoCrc},
        {"wav", no_argument, nullptr, kOptWav},               {"output-dir", required_argument, nullptr, 'O'},
        {"jobs", required_argument, nullptr, 'j'},            {"tuning", required_argument, nullptr, kOptTuning},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    optind = 0; // a fresh scan of this command line
    opterr = 0; // the messages below name the option and say what to do
    for (;;) {
        const int previous = optind;
        const int c = getopt_long(argc, argv, ":b:m:fqvhVr:O:j:", kLong, nullptr);
        if (c == -1) break;
        // The argument getopt stopped at, for messages.
        const int at = optind > previous ? optind - 1 : previous;
        const std::string seen = at >= 0 && at < argc && argv[at] ? argv[at] : "";
        switch (c) {
            case 'b': o.bitrate_kbps = parse_bitrate(optarg); break;
            case 'm': o.mode = parse_mode(optarg); break;
            case 'f': o.force = true; break;
            case 'q': o.quiet = true; break;
            case 'v': o.verbose = true; break;
            case 'h': o.action = Options::Action::kHelp; return o;
            case 'V': o.action = Options::Action::kVersion; return o;
            case kOptOut:
                o.out_dir = optarg;
                o.out_dir_given = true;
                if (o.out_dir.empty()) usage_error("--out needs a directory");
                break;
            case kOptTitle: set_tag(o.tags.title, "title", optarg); break;
            case kOptArtist: set_tag(o.tags.artist, "artist", optarg); break;
            case kOptAlbum: set_tag(o.tags.album, "album", optarg); break;
            case kOptGenre: set_tag(o.tags.genre, "genre", optarg); break;
            case kOptComment: set_tag(o.tags.comment, "comment", optarg); break;
            case kOptYear:
                if (!is_year(optarg)) {
                    usage_error(std::string("--year '") + optarg + "' is not YYYY, YYYY-MM or YYYY-MM-DD");
                }
                o.tags.year = optarg;
                break;
            case kOptTrack:
                if (!is_track(optarg)) usage_error(std::string("--track '") + optarg + "' is not N or N/TOTAL");
                o.tags.track = optarg;
                break;
            case kOptCopyTags: o.copy_tags = true; break;
            case 'r': o.rate = parse_rate(optarg); break;
            case kOptDownmix:
                o.downmix = optarg;
                if (o.downmix != "smpte" && o.downmix != "mean") {
                    usage_error("--downmix '" + o.downmix + "' is not smpte or mean");
                }
                break;
            case kOptCopyright: o.copyright = true; break;
            case kOptOriginal: o.original = true; break;
            case kOptEmphasis: o.emphasis = parse_emphasis(optarg); break;
            case kOptNoCrc: o.crc = false; break;
            case kOptWav: o.wav = true; break;
            case 'O':
                o.output_dir = optarg;
                if (o.output_dir.empty()) usage_error("--output-dir needs a directory");
                break;
            case 'j': o.jobs = parse_jobs(optarg); break;
            case kOptTuning:
                if (std::string(optarg) == "reference") {
                    o.tuning = 0;
                } else if (std::string(optarg) == "best") {
                    o.tuning = 1;
                } else {
                    usage_error(std::string("--tuning '") + optarg + "' is not reference or best");
                }
                break;
            case ':':
                // A long option's own spelling, or the short option's letter.
                usage_error("option '" +
                            (seen.rfind("--", 0) == 0 ? seen : std::string("-") + static_cast<char>(optopt)) +
                            "' needs a value");
            default:
                usage_error("unknown option '" +
                            (optopt > 0 && optopt < 256 ? std::string("-") + static_cast<char>(optopt) : seen) + "'");
        }
    }
    for (int i = optind; i < argc; ++i) o.files.push_back(argv[i]);
    if (o.batch()) {
        if (o.out_dir_given) usage_error("--out is only for the demo clip");
        if (o.files.empty()) usage_error("--output-dir needs at least one INPUT");
        for (const std::string& f : o.files) {
            if (f.empty() || f == "-") usage_error("a batch reads files: INPUT must not be '-' or empty");
        }
        // Two inputs that would write one output are refused before anything is written.
        for (std::size_t i = 0; i < o.files.size(); ++i) {
            for (std::size_t j = 0; j < i; ++j) {
                if (batch_output_path(o, o.files[i]) == batch_output_path(o, o.files[j])) {
                    usage_error("'" + o.files[j] + "' and '" + o.files[i] + "' would both be written to '" +
                                batch_output_path(o, o.files[i]) + "'");
                }
            }
        }
    } else {
        if (o.jobs > 0) usage_error("--jobs is for a batch (--output-dir)");
        if (o.files.empty()) return o; // demo clip
        if (o.out_dir_given) usage_error("--out is only for the demo clip; give OUTPUT instead");
        if (o.files.size() != 2) usage_error("expected INPUT and OUTPUT");
        if (o.files[0].empty() || o.files[1].empty()) usage_error("INPUT and OUTPUT must not be empty");
        if (ends_with_wav(o.files[1])) o.wav = true;
        if (o.wav && inherited_descriptor(o.files[1]) >= 0) {
            usage_error("--wav writes a file it completes at the end; OUTPUT cannot be a stream");
        }
    }
    // What can be checked without the input: the bitrate exists at all, and
    // fits an explicitly chosen mode.
    if (o.bitrate_kbps > 0) {
        if (o.mode >= 0) {
            check_bitrate(o.mode, o.bitrate_kbps);
        } else if (!some_rate_carries(0, o.bitrate_kbps) && !some_rate_carries(3, o.bitrate_kbps)) {
            usage_error(std::to_string(o.bitrate_kbps) + " kbit/s is not a bitrate; use " + bitrate_lists(0) +
                        " (two channels) or " + bitrate_lists(3) + " (mono)");
        }
    }
    return o;
}

} // namespace zuvo_tool
