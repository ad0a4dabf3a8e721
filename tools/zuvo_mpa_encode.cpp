// zuvo-mpa-encode: the command-line encoder.
//
// Reads audio with libsndfile and feeds it to the library exactly as a host
// application would: through the C interface (zuvo_mpa.h), with interleaved
// 16-bit samples; the library's flush codes the delay at the end.
//
// What it promises its user:
// - the input is never written to, whatever OUTPUT names;
// - an existing regular file is replaced only with --force, and then only
//   once the new stream is complete (it is written to a temporary file beside
//   OUTPUT and renamed into place), keeping the old file's permission bits;
// - devices, FIFOs, sockets and inherited descriptors (/dev/stdout,
//   /dev/fd/N) are written into directly and never replaced;
// - every input sample reaches a decoder's output: the stream is extended
//   with silence past the encoder and decoder delay;
// - input that ends early or fails to decode is reported, with its own exit
//   status, while the stream of what could be read is kept.
#include "zuvo_mpa.h"

#include <sndfile.h>

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#if !defined(_WIN32)
#  include <sys/socket.h>
#  include <sys/un.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#ifndef ZUVO_VERSION
#define ZUVO_VERSION "unknown"
#endif

namespace {

// kDamagedInput: the input ended early or could not be decoded to its end;
// OUTPUT holds the stream of what was read.
enum ExitCode { kOk = 0, kUsage = 1, kInputError = 2, kOutputError = 3, kEncoderError = 4, kDamagedInput = 5 };

const char* const kProgram = "zuvo-mpa-encode";

// The rates and bitrates the stream format allows come from the library
// (zuvo_mpa_sample_rates, zuvo_mpa_bitrates): the tool keeps no list of its own.

// "a b c" of a list of numbers.
std::string number_list(const int* values, std::size_t count, const char* separator = " ") {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += (i == 0 ? "" : separator) + std::to_string(values[i]);
    return text;
}

// The sampling rates the library codes, "16000, 22050, ... and 48000".
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

constexpr long kSamplesPerRead = 1152 * 8;
constexpr double kTwoPi = 6.283185307179586;

void print_usage(FILE* to) {
    const std::string rates = rate_list();
    const std::string two_high = bitrate_list(44100, 0), mono_high = bitrate_list(44100, 3);
    const std::string low = bitrate_list(24000, 0);
    std::fprintf(to,
                 "Usage: %s [options] INPUT OUTPUT\n"
                 "       %s [--out DIR] [options]     (no files: encode a demo clip)\n"
                 "\n"
                 "Encodes audio to an MPEG Audio Layer II stream (.mp2) with CRC-protected\n"
                 "frames: MPEG-1 at 32000, 44100 and 48000 Hz, MPEG-2 at the lower rates.\n"
                 "INPUT is any file libsndfile reads (WAV, AIFF, FLAC, Ogg, ...), with 1 or 2\n"
                 "channels at %s Hz;\n"
                 "integer samples keep their top 16 bits, floating-point samples are scaled\n"
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
                 kProgram, kProgram, rates.c_str(), two_high.c_str(), mono_high.c_str(), low.c_str());
}

[[noreturn]] void usage_error(const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram, message.c_str(), kProgram);
    std::exit(kUsage);
}

std::string describe_errno(int error) {
    if (error == ENOSPC) return "disk full (" + std::string(std::strerror(error)) + ")";
    return std::strerror(error);
}

// ---- Tags ---------------------------------------------------------------------

struct Tags {
    std::string title, artist, album, year, track, genre, comment;
    bool empty() const {
        return title.empty() && artist.empty() && album.empty() && year.empty() && track.empty() && genre.empty() &&
               comment.empty();
    }
};

bool is_utf8(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int follow = 0;
        std::uint32_t code = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            follow = 1;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            follow = 2;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            follow = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (i + static_cast<std::size_t>(follow) >= text.size()) return false;
        for (int k = 1; k <= follow; ++k) {
            const unsigned char d = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((d & 0xC0) != 0x80) return false;
            code = code << 6 | (d & 0x3F);
        }
        // Overlong forms, surrogates and values beyond U+10FFFF.
        if ((follow == 2 && code < 0x800) || (follow == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
            (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += static_cast<std::size_t>(follow) + 1;
    }
    return true;
}

// Strings from file headers that are not UTF-8 are taken as Latin-1.
std::string to_utf8(const std::string& text) {
    if (is_utf8(text)) return text;
    std::string out;
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool all_digits(const std::string& text, std::size_t from, std::size_t count) {
    if (from + count > text.size()) return false;
    for (std::size_t i = from; i < from + count; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

// YYYY, YYYY-MM or YYYY-MM-DD: the forms an ID3v2.4 recording time takes.
bool is_year(const std::string& text) {
    if (!all_digits(text, 0, 4)) return false;
    if (text.size() == 4) return true;
    if (text.size() != 7 && text.size() != 10) return false;
    if (text[4] != '-' || !all_digits(text, 5, 2)) return false;
    return text.size() == 7 || (text[7] == '-' && all_digits(text, 8, 2));
}

// The longest leading part of a date string that is a recording time, or "".
std::string year_prefix(const std::string& date) {
    for (const std::size_t length : {std::size_t{10}, std::size_t{7}, std::size_t{4}}) {
        if (date.size() >= length && is_year(date.substr(0, length))) return date.substr(0, length);
    }
    return {};
}

bool is_track(const std::string& text) {
    const std::size_t slash = text.find('/');
    const std::string number = text.substr(0, slash);
    if (number.empty() || number.size() > 6 || !all_digits(number, 0, number.size())) return false;
    if (slash == std::string::npos) return true;
    const std::string total = text.substr(slash + 1);
    return !total.empty() && total.size() <= 6 && all_digits(total, 0, total.size());
}

void put_synchsafe(std::vector<unsigned char>& out, std::size_t value) {
    for (int shift = 21; shift >= 0; shift -= 7) out.push_back(static_cast<unsigned char>((value >> shift) & 0x7F));
}

// An ID3v2.4 tag of UTF-8 text frames (and a comment frame), no padding.
std::vector<unsigned char> id3v2_tag(const Tags& tags) {
    std::vector<unsigned char> frames;
    auto frame = [&frames](const char* id, const std::string& prefix, const std::string& text) {
        if (text.empty()) return;
        frames.insert(frames.end(), id, id + 4);
        put_synchsafe(frames, 1 + prefix.size() + text.size());
        frames.push_back(0);
        frames.push_back(0);
        frames.push_back(3); // UTF-8
        frames.insert(frames.end(), prefix.begin(), prefix.end());
        frames.insert(frames.end(), text.begin(), text.end());
    };
    frame("TIT2", "", tags.title);
    frame("TPE1", "", tags.artist);
    frame("TALB", "", tags.album);
    frame("TDRC", "", tags.year);
    frame("TRCK", "", tags.track);
    frame("TCON", "", tags.genre);
    frame("COMM", std::string("eng\0", 4), tags.comment); // language, empty description
    std::vector<unsigned char> tag = {'I', 'D', '3', 4, 0, 0};
    put_synchsafe(tag, frames.size());
    tag.insert(tag.end(), frames.begin(), frames.end());
    return tag;
}

// ---- Command line -----------------------------------------------------------

struct Options {
    int bitrate_kbps = 0; // 0: default for the mode
    int mode = -1;        // -1: from the input's channel count
    bool quiet = false;
    bool verbose = false;
    bool force = false;
    bool copy_tags = false;
    Tags tags;
    std::string out_dir;
    bool out_dir_given = false;
    std::vector<std::string> files;
};

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

const char* mode_name(int mode) {
    static const char* const names[4] = {"stereo", "joint stereo", "dual channel", "mono"};
    return names[mode];
}

// Exits with a usage error when no rate codes `kbps` in `mode`.
void check_bitrate(int mode, int kbps) {
    if (some_rate_carries(mode, kbps)) return;
    usage_error(std::to_string(kbps) + " kbit/s is not available for " + mode_name(mode) +
                (mode == 3 ? "" : " (two channels)") + "; use " + bitrate_lists(mode));
}

// Exits with a usage error when `rate` cannot code `kbps` in `mode`.
void check_bitrate(int rate, int mode, int kbps) {
    if (zuvo_mpa_check_format(rate, mode, kbps) == ZUVO_MPA_OK) return;
    usage_error(std::to_string(kbps) + " kbit/s is not available at " + std::to_string(rate) + " Hz for " +
                mode_name(mode) + (mode == 3 ? "" : " (two channels)") + "; use " + bitrate_list(rate, mode));
}

enum LongOnly { kOptOut = 256, kOptTitle, kOptArtist, kOptAlbum, kOptYear, kOptTrack, kOptGenre, kOptComment,
                kOptCopyTags };

void set_tag(std::string& field, const char* option, const char* value) {
    const std::string text = value;
    if (!is_utf8(text)) usage_error(std::string("--") + option + ": the text is not UTF-8");
    field = text;
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
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    opterr = 0; // the messages below name the option and say what to do
    for (;;) {
        const int previous = optind;
        const int c = getopt_long(argc, argv, ":b:m:fqvhV", kLong, nullptr);
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
            case 'h':
                print_usage(stdout);
                std::exit(kOk);
            case 'V':
                std::printf("%s %s\n", kProgram, ZUVO_VERSION);
                std::exit(kOk);
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
    if (o.files.empty()) return o; // demo clip
    if (o.out_dir_given) usage_error("--out is only for the demo clip; give OUTPUT instead");
    if (o.files.size() != 2) usage_error("expected INPUT and OUTPUT");
    if (o.files[0].empty() || o.files[1].empty()) usage_error("INPUT and OUTPUT must not be empty");
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

// ---- Files --------------------------------------------------------------------

// Identity of a file: device and inode on POSIX systems; on Windows, where
// st_ino is always 0, the volume serial number and file index.
struct FileId {
    bool known = false;
    unsigned long long volume = 0;
    unsigned long long index = 0;
    bool operator==(const FileId& other) const {
        return known && other.known && volume == other.volume && index == other.index;
    }
};

#if defined(_WIN32)
FileId id_of_handle(HANDLE handle) {
    FileId id;
    BY_HANDLE_FILE_INFORMATION info;
    if (handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info)) {
        id.known = true;
        id.volume = info.dwVolumeSerialNumber;
        id.index = static_cast<unsigned long long>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    }
    return id;
}
FileId id_of_fd(int fd) { return id_of_handle(reinterpret_cast<HANDLE>(_get_osfhandle(fd))); }
FileId id_of_path(const std::string& path) {
    const HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const FileId id = id_of_handle(handle);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return id;
}
#else
FileId id_of_stat(const struct stat& st) {
    FileId id;
    id.known = true;
    id.volume = static_cast<unsigned long long>(st.st_dev);
    id.index = static_cast<unsigned long long>(st.st_ino);
    return id;
}
FileId id_of_fd(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? id_of_stat(st) : FileId{};
}
FileId id_of_path(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? id_of_stat(st) : FileId{};
}
#endif

// The descriptor a path names when it is one the process already holds:
// "-", /dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N. -1 otherwise.
int inherited_descriptor(const std::string& path) {
    if (path == "-" || path == "/dev/stdout") return 1;
    if (path == "/dev/stderr") return 2;
    for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        const std::size_t length = std::strlen(prefix);
        if (path.compare(0, length, prefix) != 0) continue;
        const std::string number = path.substr(length);
        if (number.empty() || number.size() > 6 || !all_digits(number, 0, number.size())) return -1;
        return std::atoi(number.c_str());
    }
    return -1;
}

// The temporary file of the running encode and the spool of standard input,
// removed if a signal ends us.
char g_temp_path[4096] = "";
char g_spool_path[4096] = "";

extern "C" void on_fatal_signal(int sig) {
    if (g_temp_path[0] != '\0') unlink(g_temp_path);
    if (g_spool_path[0] != '\0') unlink(g_spool_path);
    signal(sig, SIG_DFL);
    raise(sig);
}

bool remember_path(char (&slot)[4096], const std::string& path) {
    if (path.size() >= sizeof slot) return false;
    std::memcpy(slot, path.c_str(), path.size() + 1);
    return true;
}

class Output {
public:
    // Decides how OUTPUT is written, opening nothing yet. Returns kOk, or an
    // exit code with `message` set.
    int prepare(const std::string& path, bool force, const FileId& input, std::string& message) {
        path_ = path;
        name_ = path == "-" ? "standard output" : "'" + path + "'";
        const int inherited = inherited_descriptor(path);
        if (inherited >= 0) {
            kind_ = Kind::kInherited;
            fd_ = inherited;
            struct stat st {};
            if (fstat(fd_, &st) != 0) {
                message = "descriptor " + std::to_string(fd_) + " is not open";
                return kOutputError;
            }
            if (isatty(fd_)) {
                message = "refusing to write binary audio to a terminal";
                return kOutputError;
            }
            if (id_of_fd(fd_) == input) {
                message = "it is the input file; refusing to write over it";
                return kOutputError;
            }
            return kOk;
        }
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) {
            const int error = errno;
            if (error != ENOENT) {
                message = describe_errno(error);
                return kOutputError;
            }
            kind_ = Kind::kNewFile;
            target_ = path;
            return kOk;
        }
        if (id_of_path(path) == input) {
            message = "it is the input file; refusing to write over it (also with --force)";
            return kOutputError;
        }
        if (S_ISDIR(st.st_mode)) {
            message = "it is a directory";
            return kOutputError;
        }
        if (!S_ISREG(st.st_mode)) {
            kind_ = Kind::kDirect;
            return kOk;
        }
        if (!force) {
            message = "the file exists; use -f or --force to replace it";
            return kOutputError;
        }
        kind_ = Kind::kNewFile;
        keep_mode_ = true;
        mode_ = st.st_mode & 07777;
        target_ = path;
#if !defined(_WIN32)
        // A symbolic link stays; the file it points to is replaced.
        struct stat link {};
        if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            char* resolved = realpath(path.c_str(), nullptr);
            if (resolved != nullptr) target_ = resolved;
            std::free(resolved);
        }
#endif
        return kOk;
    }

    const std::string& name() const { return name_; }
    const std::string& error() const { return error_; }

    bool write(const unsigned char* data, std::size_t size) {
        if (!opened_ && !open()) return false;
        while (size > 0) {
            const ssize_t done = ::write(fd_, data, size);
            if (done < 0) {
                if (errno == EINTR) continue;
                error_ = describe_errno(errno);
                return false;
            }
            if (done == 0) {
                error_ = describe_errno(ENOSPC);
                return false;
            }
            data += done;
            size -= static_cast<std::size_t>(done);
        }
        return true;
    }

    // Completes OUTPUT: the temporary file is moved into place.
    bool commit() {
        if (!opened_) return true;
        opened_ = false;
        if (kind_ == Kind::kInherited) return true;
        const int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0) {
            error_ = describe_errno(errno);
            return false;
        }
        if (kind_ == Kind::kNewFile) {
            if (rename(temp_.c_str(), target_.c_str()) != 0) {
                error_ = std::string("cannot rename the finished file into place: ") + describe_errno(errno);
                return false;
            }
            temp_.clear();
            g_temp_path[0] = '\0';
        }
        return true;
    }

    // Removes the temporary file (if any); OUTPUT is left as it was.
    void discard() {
        if (opened_ && kind_ != Kind::kInherited && fd_ >= 0) close(fd_);
        opened_ = false;
        fd_ = -1;
        if (temp_.empty()) return;
        unlink(temp_.c_str());
        temp_.clear();
        g_temp_path[0] = '\0';
    }

    ~Output() { discard(); }

private:
    enum class Kind { kInherited, kNewFile, kDirect };

    bool open() {
        if (kind_ == Kind::kInherited) {
            opened_ = true;
            return true;
        }
        if (kind_ == Kind::kDirect) return open_direct();
#if defined(_WIN32)
        const std::size_t slash = target_.find_last_of("/\\");
#else
        const std::size_t slash = target_.rfind('/');
#endif
        const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : target_.substr(0, slash));
        const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
        if (base.empty()) {
            error_ = "it names a directory, not a file";
            return false;
        }
        std::string temp = dir + "/." + base + ".XXXXXX.part";
        if (temp.size() >= sizeof g_temp_path) {
            error_ = "the path is too long";
            return false;
        }
        std::vector<char> name(temp.begin(), temp.end());
        name.push_back('\0');
        fd_ = mkstemps(name.data(), 5);
        if (fd_ < 0) {
            error_ = "cannot create a file in '" + dir + "': " + describe_errno(errno);
            return false;
        }
        temp_ = name.data();
        remember_path(g_temp_path, temp_);
        opened_ = true;
        // mkstemp makes the file private: give it the old file's permissions,
        // or the usual ones for a new file.
        mode_t mode = static_cast<mode_t>(mode_);
        if (!keep_mode_) {
            const mode_t mask = umask(0);
            umask(mask);
            mode = 0666 & ~mask;
        }
        fchmod(fd_, mode);
        return true;
    }

    // A device, FIFO or socket: written as it is, never replaced.
    bool open_direct() {
#if !defined(_WIN32)
        struct stat st {};
        if (stat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            if (path_.size() >= sizeof address.sun_path) {
                error_ = "the socket's path is too long";
                return false;
            }
            std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
            fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
            if (fd_ < 0 || connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                error_ = describe_errno(errno);
                if (fd_ >= 0) close(fd_);
                fd_ = -1;
                return false;
            }
            opened_ = true;
            return true;
        }
        fd_ = ::open(path_.c_str(), O_WRONLY | O_NOCTTY);
#else
        fd_ = ::open(path_.c_str(), O_WRONLY | O_BINARY);
#endif
        if (fd_ < 0) {
            error_ = describe_errno(errno);
            return false;
        }
        opened_ = true;
        return true;
    }

    std::string path_;   // as given
    std::string name_;   // for messages
    std::string target_; // the file a finished temporary file becomes
    std::string temp_;
    std::string error_;
    Kind kind_ = Kind::kNewFile;
    bool keep_mode_ = false;
    unsigned mode_ = 0;
    bool opened_ = false;
    int fd_ = -1;
};

// ---- Audio sources ------------------------------------------------------------

class Source {
public:
    virtual ~Source() = default;
    // Reads up to `frames` sample frames of `channels()` interleaved samples.
    // Returns the number read; 0 at the end or on an error (see error()).
    virtual long read(std::int16_t* samples, long frames) = 0;
    virtual int channels() const = 0;
    virtual int rate() const = 0;
    // Sample frames the input declares (-1 when unknown).
    virtual long long declared_frames() const = 0;
    // Why reading stopped early, or "" when it did not.
    virtual std::string error() const { return {}; }
    virtual Tags tags() const { return {}; }
};

class SndfileSource : public Source {
public:
    SndfileSource(SNDFILE* file, const SF_INFO& info) : file_(file), info_(info) {
        sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
#if !defined(ZUVO_WAV_ONLY)
        const int subtype = info.format & SF_FORMAT_SUBMASK;
        floats_ = subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE;
#endif
        declared_ = info.frames > 0 && info.frames < SF_COUNT_MAX ? info.frames : -1;
        check_declared_length();
    }
    ~SndfileSource() override {
        sf_close(file_);
        if (relay_.joinable()) relay_.join();
    }
    SndfileSource(const SndfileSource&) = delete;
    SndfileSource& operator=(const SndfileSource&) = delete;

    // A thread that feeds the descriptor libsndfile reads (see open_stdin).
    void adopt_relay(std::thread relay) { relay_ = std::move(relay); }

    long read(std::int16_t* samples, long frames) override {
        sf_count_t got = 0;
#if !defined(ZUVO_WAV_ONLY) // the WAV-only reader scales floats this way itself
        if (floats_) {
            // Floating-point samples: 1.0 is full scale. Scaled and clipped
            // here rather than by libsndfile, whose float-to-integer scaling
            // normalizes to the file's peak and would change the level.
            buffer_.resize(static_cast<std::size_t>(frames) * static_cast<std::size_t>(info_.channels));
            got = sf_readf_float(file_, buffer_.data(), frames);
            for (std::size_t i = 0; i < static_cast<std::size_t>(got) * static_cast<std::size_t>(info_.channels); ++i) {
                const double scaled = std::nearbyint(static_cast<double>(buffer_[i]) * 32767.0);
                samples[i] = !(scaled > -32768.0) ? (scaled < 0 ? -32768 : 0)
                                                  : scaled > 32767.0 ? 32767 : static_cast<std::int16_t>(scaled);
            }
        } else
#endif
        {
            got = sf_readf_short(file_, samples, frames);
        }
        if (got < frames && error_.empty() && sf_error(file_) != SF_ERR_NO_ERROR) error_ = sf_strerror(file_);
        return got > 0 ? static_cast<long>(got) : 0;
    }
    int channels() const override { return info_.channels; }
    int rate() const override { return info_.samplerate; }
    long long declared_frames() const override { return declared_; }
    std::string error() const override { return error_; }
    Tags tags() const override {
        auto get = [this](int which) {
            const char* text = sf_get_string(file_, which);
            return text ? to_utf8(text) : std::string();
        };
        Tags t;
        t.title = get(SF_STR_TITLE);
        t.artist = get(SF_STR_ARTIST);
        t.album = get(SF_STR_ALBUM);
        t.year = year_prefix(get(SF_STR_DATE));
        t.comment = get(SF_STR_COMMENT);
        return t;
    }

private:
    // libsndfile trims a WAV or AIFF data chunk that claims more bytes than
    // the file holds to what is there, and says so only in its log. The
    // length the header declared is what the user expects to hear.
    void check_declared_length() {
#if !defined(ZUVO_WAV_ONLY)
        char log[8192] = "";
        sf_command(file_, SFC_GET_LOG_INFO, log, sizeof log);
        const std::string text = log;
        const int container = info_.format & SF_FORMAT_TYPEMASK;
        long long declared = -1;
        if (container == SF_FORMAT_WAV || container == SF_FORMAT_WAVEX) {
            const std::size_t at = text.find("\ndata : ");
            if (at == std::string::npos) return;
            const std::string line = text.substr(at + 8, text.find('\n', at + 1) - at - 8);
            const long long length = std::atoll(line.c_str());
            const bool corrected = line.find("(should be") != std::string::npos;
            // Streaming writers leave 0 or a huge value for "unknown"; read
            // from a pipe, libsndfile then takes that value at its word.
            if (length == 0 || length >= 0x7FFFF000LL) {
                if (!corrected) declared_ = -1;
                return;
            }
            if (corrected && sample_bytes() > 0) declared = length / (sample_bytes() * info_.channels);
        } else if (container == SF_FORMAT_AIFF) {
            const char* const marker = "from 'COMM' chunk (";
            const std::size_t at = text.find(marker);
            if (at != std::string::npos) declared = std::atoll(text.c_str() + at + std::strlen(marker));
        }
        if (declared > declared_) declared_ = declared;
#endif
    }

    int sample_bytes() const {
#if !defined(ZUVO_WAV_ONLY)
        switch (info_.format & SF_FORMAT_SUBMASK) {
            case SF_FORMAT_PCM_S8: case SF_FORMAT_PCM_U8: case SF_FORMAT_ULAW: case SF_FORMAT_ALAW: return 1;
            case SF_FORMAT_PCM_16: return 2;
            case SF_FORMAT_PCM_24: return 3;
            case SF_FORMAT_PCM_32: case SF_FORMAT_FLOAT: return 4;
            case SF_FORMAT_DOUBLE: return 8;
            default: return 0;
        }
#else
        return 0;
#endif
    }

    SNDFILE* file_;
    SF_INFO info_;
    bool floats_ = false;
    long long declared_ = -1;
    std::string error_;
    std::vector<float> buffer_;
    std::thread relay_;
};

// Five seconds of stereo at 44.1 kHz: a slow arpeggio on the left, its fifth
// on the right, over a quiet low drone in both.
class DemoSource : public Source {
public:
    long read(std::int16_t* samples, long frames) override {
        long n = 0;
        for (; n < frames && position_ < kLength; ++n, ++position_) {
            const double t = static_cast<double>(position_) / kRate;
            const int note = static_cast<int>(t / 0.625) % 8;
            static const double semitones[8] = {0, 4, 7, 12, 7, 4, 0, -5};
            const double f = 440.0 * std::pow(2.0, semitones[note] / 12.0);
            const double within = std::fmod(t, 0.625);
            const double envelope = std::min(1.0, within / 0.01) * std::exp(-3.0 * within);
            const double drone = 0.08 * std::sin(kTwoPi * 110.0 * t);
            const double left = drone + 0.45 * envelope * std::sin(kTwoPi * f * t);
            const double right = drone + 0.35 * envelope * std::sin(kTwoPi * f * 1.5 * t);
            samples[2 * n] = static_cast<std::int16_t>(std::lround(left * 32767.0));
            samples[2 * n + 1] = static_cast<std::int16_t>(std::lround(right * 32767.0));
        }
        return n;
    }
    int channels() const override { return 2; }
    int rate() const override { return kRate; }
    long long declared_frames() const override { return kLength; }

private:
    static constexpr int kRate = 44100;
    static constexpr long kLength = 5L * kRate;
    long position_ = 0;
};

// Standard input as libsndfile wants it. A file (or anything seekable) is
// read in place. From a pipe, WAV, AIFF and AU stream as they arrive; every
// other format needs to seek, so the pipe is first copied to a temporary file
// in TMPDIR, which is unlinked as soon as it is open.
#if defined(ZUVO_WAV_ONLY)
std::unique_ptr<SndfileSource> open_stdin(std::string& message) {
    SF_INFO info{};
    SNDFILE* file = sf_open_fd(STDIN_FILENO, SFM_READ, &info, SF_FALSE);
    if (!file) {
        message = sf_strerror(nullptr);
        return nullptr;
    }
    return std::make_unique<SndfileSource>(file, info);
}
#else
bool write_all(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        data += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

std::unique_ptr<SndfileSource> open_stdin(std::string& message) {
    SF_INFO info{};
    if (lseek(STDIN_FILENO, 0, SEEK_CUR) >= 0) {
        SNDFILE* file = sf_open_fd(STDIN_FILENO, SFM_READ, &info, SF_FALSE);
        if (!file) {
            message = sf_strerror(nullptr);
            return nullptr;
        }
        return std::make_unique<SndfileSource>(file, info);
    }
    // What the stream starts with decides.
    std::vector<unsigned char> head(12);
    std::size_t have = 0;
    while (have < head.size()) {
        const ssize_t got = ::read(STDIN_FILENO, head.data() + have, head.size() - have);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            message = describe_errno(errno);
            return nullptr;
        }
        if (got == 0) break;
        have += static_cast<std::size_t>(got);
    }
    head.resize(have);
    auto starts = [&head](std::size_t at, const char* tag) {
        return head.size() >= at + 4 && std::memcmp(head.data() + at, tag, 4) == 0;
    };
    const bool streams = (starts(0, "RIFF") && starts(8, "WAVE")) ||
                         (starts(0, "FORM") && (starts(8, "AIFF") || starts(8, "AIFC"))) || starts(0, ".snd");
    if (streams) {
        // The bytes already taken go first, then the rest of the pipe.
        int ends[2];
        if (pipe(ends) != 0) {
            message = describe_errno(errno);
            return nullptr;
        }
        std::thread relay([head, to = ends[1]]() {
            std::vector<unsigned char> block(65536);
            bool ok = write_all(to, head.data(), head.size());
            while (ok) {
                const ssize_t got = ::read(STDIN_FILENO, block.data(), block.size());
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) break;
                ok = write_all(to, block.data(), static_cast<std::size_t>(got));
            }
            close(to);
        });
        SNDFILE* file = sf_open_fd(ends[0], SFM_READ, &info, SF_TRUE);
        if (!file) {
            message = sf_strerror(nullptr);
            close(ends[0]); // ends the relay, whose writes now fail
            relay.join();
            return nullptr;
        }
        auto source = std::make_unique<SndfileSource>(file, info);
        source->adopt_relay(std::move(relay));
        return source;
    }

    const char* tmpdir = std::getenv("TMPDIR");
    std::string spool = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/zuvo-mpa-encode-stdin.XXXXXX";
    std::vector<char> name(spool.begin(), spool.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        message =
            "cannot make a temporary copy in '" + spool.substr(0, spool.rfind('/')) + "': " + describe_errno(errno);
        return nullptr;
    }
    spool = name.data();
    remember_path(g_spool_path, spool);
    auto forget = [&spool]() {
        unlink(spool.c_str());
        g_spool_path[0] = '\0';
    };
    std::vector<unsigned char> block(65536);
    bool ok = write_all(fd, head.data(), head.size());
    while (ok) {
        const ssize_t got = ::read(STDIN_FILENO, block.data(), block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            message = describe_errno(errno);
            close(fd);
            forget();
            return nullptr;
        }
        if (got == 0) break;
        ok = write_all(fd, block.data(), static_cast<std::size_t>(got));
    }
    if (!ok || close(fd) != 0) {
        message = "cannot make a temporary copy in '" + spool + "': " + describe_errno(errno);
        if (ok) close(fd);
        forget();
        return nullptr;
    }
    SNDFILE* file = sf_open(spool.c_str(), SFM_READ, &info);
    forget(); // libsndfile holds it open; the name is no longer needed
    if (!file) {
        message = sf_strerror(nullptr);
        return nullptr;
    }
    return std::make_unique<SndfileSource>(file, info);
}
#endif

// ---- Progress -----------------------------------------------------------------

class Progress {
public:
    Progress(bool enabled, long long total_frames, int rate)
        : enabled_(enabled), total_(total_frames), rate_(rate), last_(std::chrono::steady_clock::now()) {}

    void update(long long done_frames) {
        if (!enabled_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        const double seconds = static_cast<double>(done_frames) / rate_;
        if (total_ > 0) {
            const double fraction = std::min(1.0, static_cast<double>(done_frames) / static_cast<double>(total_));
            const int width = 30;
            const int filled = static_cast<int>(fraction * width);
            std::string bar(static_cast<std::size_t>(filled), '#');
            bar.append(static_cast<std::size_t>(width - filled), '.');
            std::fprintf(stderr, "\r[%s] %3d%%  %.1f s", bar.c_str(), static_cast<int>(fraction * 100.0), seconds);
        } else {
            std::fprintf(stderr, "\r%.1f s encoded", seconds);
        }
        std::fflush(stderr);
        shown_ = true;
    }
    void clear() {
        if (shown_) std::fprintf(stderr, "\r\033[K");
        shown_ = false;
    }

private:
    bool enabled_;
    long long total_;
    int rate_;
    std::chrono::steady_clock::time_point last_;
    bool shown_ = false;
};

// ---- Encoding -----------------------------------------------------------------

// Frames in `data` of a stream at `rate` and `kbps`, walking their headers'
// padding bits; -1 when the bytes are not a run of whole frames (which would
// be an encoder fault).
long count_frames(const unsigned char* data, std::size_t size, int rate, int kbps) {
    long frames = 0;
    std::size_t offset = 0;
    while (offset < size) {
        if (size - offset < 4 || data[offset] != 0xFF || (data[offset + 1] & 0xE0) != 0xE0) return -1;
        const int padding = (data[offset + 2] >> 1) & 1;
        const std::size_t length = zuvo_mpa_frame_bytes(rate, kbps, padding);
        if (length == 0) return -1;
        offset += length;
        ++frames;
    }
    return offset == size ? frames : -1;
}

struct Result {
    int code = kOk;
    long frames = 0;
    unsigned long long bytes = 0;
    long long input_frames = 0;
};

// The library's diagnostics, shown with --verbose.
extern "C" void show_library_message(void*, const char* message) {
    std::fprintf(stderr, "%s: library: %s\n", kProgram, message);
}

// One stream of the C interface.
class Encoder {
public:
    Encoder() = default;
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;
    ~Encoder() { zuvo_mpa_destroy(encoder_); }

    // Returns a zuvo_mpa_error. The output area is sized once, for the
    // largest call (a flush needs no more).
    int start(int mode, int kbps, int rate, bool verbose, std::size_t samples_per_call) {
        const zuvo_mpa_settings settings{mode, kbps, rate, verbose ? show_library_message : nullptr, nullptr};
        int error = ZUVO_MPA_OK;
        encoder_ = zuvo_mpa_create(&settings, &error);
        if (encoder_) output_.resize(zuvo_mpa_max_output(encoder_, samples_per_call));
        return error;
    }
    int channels() const { return zuvo_mpa_channels(encoder_); }
    // Encodes `count` samples per channel, or ends the stream when `pcm` is
    // null; the frames are in data()[0, size()).
    int encode(const std::int16_t* pcm, std::size_t count) {
        size_ = 0;
        return pcm ? zuvo_mpa_encode(encoder_, pcm, count, output_.data(), output_.size(), &size_)
                   : zuvo_mpa_flush(encoder_, output_.data(), output_.size(), &size_);
    }
    const unsigned char* data() const { return output_.data(); }
    std::size_t size() const { return size_; }

private:
    zuvo_mpa_encoder* encoder_ = nullptr;
    std::vector<unsigned char> output_;
    std::size_t size_ = 0;
};

Result encode_stream(Source& source, const std::string& input_name, int mode, int kbps, bool verbose,
                     const Tags& tags, Output& output, Progress& progress) {
    Result result;
    Encoder encoder;
    if (const int error = encoder.start(mode, kbps, source.rate(), verbose, kSamplesPerRead)) {
        std::fprintf(stderr, "%s: the encoder could not be set up for '%s': %s\n", kProgram, input_name.c_str(),
                     zuvo_mpa_strerror(error));
        result.code = kEncoderError;
        return result;
    }
    const int in_channels = source.channels();
    const int out_channels = encoder.channels();
    // When the file has the stream's channels the samples are read straight
    // into the encoder's buffer; otherwise into `input` and converted.
    const bool convert = in_channels != out_channels;
    std::vector<std::int16_t> input(convert ? static_cast<std::size_t>(kSamplesPerRead * in_channels) : 0);
    std::vector<std::int16_t> pcm(static_cast<std::size_t>(kSamplesPerRead * out_channels));
    const std::vector<unsigned char> tag = tags.empty() ? std::vector<unsigned char>() : id3v2_tag(tags);
    bool tag_written = tag.empty();

    auto write = [&](const unsigned char* data, std::size_t size) -> int {
        if (output.write(data, size)) return kOk;
        std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, output.name().c_str(), output.error().c_str());
        return kOutputError;
    };
    // Encodes `count` samples per channel from `pcm` (none: the end of the
    // stream) and writes the frames, after the tag.
    auto send = [&](long count) -> int {
        if (const int error = encoder.encode(count > 0 ? pcm.data() : nullptr, static_cast<std::size_t>(count))) {
            std::fprintf(stderr, "%s: encoding '%s' failed: %s\n", kProgram, input_name.c_str(),
                         zuvo_mpa_strerror(error));
            return kEncoderError;
        }
        const long frames = count_frames(encoder.data(), encoder.size(), source.rate(), kbps);
        if (frames < 0) {
            std::fprintf(stderr, "%s: encoding '%s' failed: the encoder returned bytes that are not whole frames\n",
                         kProgram, input_name.c_str());
            return kEncoderError;
        }
        result.frames += frames;
        if (encoder.size() == 0) return kOk;
        if (!tag_written) {
            if (const int code = write(tag.data(), tag.size())) return code;
            tag_written = true;
            result.bytes += tag.size();
        }
        if (const int code = write(encoder.data(), encoder.size())) return code;
        result.bytes += encoder.size();
        return kOk;
    };

    for (;;) {
        const long got = source.read(convert ? input.data() : pcm.data(), kSamplesPerRead);
        if (got == 0) break;
        result.input_frames += got;
        // To the stream's channels: mono mixes (L+R)/2, one channel in a
        // two-channel mode is copied to both.
        if (convert) {
            for (long i = 0; i < got; ++i) {
                const std::int16_t* s = &input[static_cast<std::size_t>(i * in_channels)];
                std::int16_t* to = &pcm[static_cast<std::size_t>(i * out_channels)];
                if (out_channels == 1) {
                    to[0] = in_channels == 1 ? s[0] : static_cast<std::int16_t>((int{s[0]} + int{s[1]}) / 2);
                } else {
                    to[0] = s[0];
                    to[1] = in_channels == 1 ? s[0] : s[1];
                }
            }
        }
        if (const int code = send(got)) {
            result.code = code;
            return result;
        }
        progress.update(result.input_frames);
    }
    if (result.input_frames == 0) {
        progress.clear();
        const std::string why = source.error();
        std::fprintf(stderr, "%s: '%s' holds no samples%s%s\n", kProgram, input_name.c_str(),
                     why.empty() ? "" : ": ", why.c_str());
        result.code = kInputError;
        return result;
    }
    // The last frame and the delay, coded with silence after the input.
    result.code = send(0);
    return result;
}

std::string with_commas(unsigned long long value) {
    std::string digits = std::to_string(value);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<std::size_t>(i), ",");
    return digits;
}

std::string seconds(long long frames, int rate) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(frames) / rate);
    return text;
}

int run(const Options& options) {
    const bool demo = options.files.empty();
    std::unique_ptr<Source> source;
    std::string input_name;
    std::string output_path = demo ? "" : options.files[1];
    FileId input_id;

    // OUTPUT is judged before the input is opened (a refused OUTPUT costs no
    // copy of a pipe); nothing is created until the first bytes are ready.
    if (demo) {
        const std::string dir = options.out_dir_given ? options.out_dir : ".";
        output_path = dir + (dir.back() == '/' ? "" : "/") + "demo.mp2";
    } else {
        input_id = options.files[0] == "-" ? id_of_fd(STDIN_FILENO) : id_of_path(options.files[0]);
    }
    Output output;
    {
        std::string message;
        if (const int code = output.prepare(output_path, options.force || demo, input_id, message)) {
            std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, output.name().c_str(), message.c_str());
            return code;
        }
    }

    if (demo) {
        source = std::make_unique<DemoSource>();
        input_name = "demo clip";
    } else {
        input_name = options.files[0];
        std::string message;
        std::unique_ptr<SndfileSource> file;
        if (input_name == "-") {
            input_name = "standard input";
#if !defined(_WIN32) // where a redirected file can look like a console
            if (isatty(STDIN_FILENO)) {
                message = "it is a terminal, not audio";
            } else
#endif
            {
                file = open_stdin(message);
            }
        } else {
            SF_INFO info{};
            SNDFILE* handle = sf_open(input_name.c_str(), SFM_READ, &info);
            if (handle) {
                file = std::make_unique<SndfileSource>(handle, info);
            } else {
                message = sf_strerror(nullptr);
            }
        }
        if (!file) {
            std::fprintf(stderr, "%s: cannot read '%s': %s\n", kProgram, input_name.c_str(), message.c_str());
            return kInputError;
        }
        if (file->channels() != 1 && file->channels() != 2) {
            std::fprintf(stderr, "%s: '%s' has %d channels; only 1 or 2 channels can be encoded\n", kProgram,
                         input_name.c_str(), file->channels());
            return kInputError;
        }
        if (!rate_is_coded(file->rate())) {
            std::fprintf(stderr, "%s: '%s' is sampled at %d Hz; only %s Hz can be encoded (resample it first)\n",
                         kProgram, input_name.c_str(), file->rate(), rate_list().c_str());
            return kInputError;
        }
        source = std::move(file);
    }

    const int mode = options.mode >= 0 ? options.mode : (source->channels() == 1 ? 3 : 1);
    const int kbps = options.bitrate_kbps > 0 ? options.bitrate_kbps : zuvo_mpa_default_bitrate(source->rate(), mode);
    check_bitrate(source->rate(), mode, kbps);

    Tags tags = options.copy_tags ? source->tags() : Tags{};
    for (auto field : {&Tags::title, &Tags::artist, &Tags::album, &Tags::year, &Tags::track, &Tags::genre,
                       &Tags::comment}) {
        if (!(options.tags.*field).empty()) tags.*field = options.tags.*field;
    }

    Progress progress(!options.quiet && isatty(STDERR_FILENO), source->declared_frames(), source->rate());
    const auto started = std::chrono::steady_clock::now();
    const Result result = encode_stream(*source, input_name, mode, kbps, options.verbose, tags, output, progress);
    progress.clear();
    if (result.code != kOk) {
        output.discard();
        return result.code;
    }
    if (!output.commit()) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, output.name().c_str(), output.error().c_str());
        output.discard();
        return kOutputError;
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double duration = static_cast<double>(result.input_frames) / source->rate();

    // Input that ended before its declared length or failed to decode.
    const long long declared = source->declared_frames();
    const std::string read_error = source->error();
    const bool damaged = !read_error.empty() || (declared > 0 && result.input_frames < declared);
    if (damaged) {
        std::string what = "'" + input_name + "' is damaged";
        if (!read_error.empty()) what += " (" + read_error + ")";
        if (declared > 0) {
            what += ": it declares " + seconds(declared, source->rate()) + " but only " +
                    seconds(result.input_frames, source->rate()) + " could be read";
        } else {
            what += ": reading stopped after " + seconds(result.input_frames, source->rate());
        }
        std::fprintf(stderr, "%s: warning: %s; %s holds the stream of what was read\n", kProgram, what.c_str(),
                     output.name().c_str());
    }

    if (demo) {
        char* full = realpath(output_path.c_str(), nullptr);
        std::fprintf(stderr, "%s: wrote the demo clip to %s\n", kProgram, full ? full : output_path.c_str());
        std::free(full);
    }
    if (!options.quiet) {
        std::fprintf(stderr, "%s: %ld frame%s, %.2f s, %s bytes, %d kbit/s %s at %d Hz, %.1fx real time\n",
                     kProgram, result.frames, result.frames == 1 ? "" : "s", duration,
                     with_commas(result.bytes).c_str(), kbps, mode_name(mode), source->rate(),
                     elapsed > 0 ? duration / elapsed : 0.0);
    }
    return damaged ? kDamagedInput : kOk;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parse_args(argc, argv);
        signal(SIGPIPE, SIG_IGN); // a closed pipe shows up as a write error
        signal(SIGINT, on_fatal_signal);
        signal(SIGTERM, on_fatal_signal);
        signal(SIGHUP, on_fatal_signal);
        return run(options);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory\n", kProgram);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: internal error: %s\n", kProgram, e.what());
    }
    if (g_temp_path[0] != '\0') unlink(g_temp_path);
    if (g_spool_path[0] != '\0') unlink(g_spool_path);
    return kEncoderError;
}
