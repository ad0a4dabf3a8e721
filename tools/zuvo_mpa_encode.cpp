// zuvo-mpa-encode: the command-line encoder.
//
// Reads audio with libsndfile and feeds it to the library exactly as a host
// application would: through the six exported functions, with wavehdr_tag
// buffers of interleaved 16-bit little-endian PCM. Output goes to a temporary
// file beside OUTPUT that is renamed into place only after the last frame, so
// a failed or interrupted run never leaves a truncated stream under OUTPUT.
#include "ZuvoMPAEncoder.h"

#include <sndfile.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include <vector>

#ifndef ZUVO_VERSION
#define ZUVO_VERSION "unknown"
#endif

namespace {

enum ExitCode { kOk = 0, kUsage = 1, kInputError = 2, kOutputError = 3, kEncoderError = 4 };

const char* const kProgram = "zuvo-mpa-encode";

constexpr int kTwoChannelRates[14] = {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
// Single-channel streams: stream bitrate -> the configured index that the
// library maps onto that header bitrate.
struct MonoRate {
    int kbps;
    int index;
};
constexpr MonoRate kMonoRates[6] = {{32, 1}, {48, 6}, {56, 7}, {64, 8}, {80, 9}, {96, 10}};

constexpr int kSamplesPerFrame = 1152;
constexpr int kFramesPerBuffer = 8;      // 36864-byte buffers for two channels
constexpr std::size_t kMaxFrameBytes = 1729; // 384 kbit/s at 32 kHz, padded
constexpr double kTwoPi = 6.283185307179586;

void print_usage(FILE* to) {
    std::fprintf(to,
                 "Usage: %s [options] INPUT OUTPUT\n"
                 "       %s [--out DIR] [options]     (no files: encode a demo clip)\n"
                 "\n"
                 "Encodes audio to an MPEG-1 Audio Layer II stream (.mp2) with CRC-protected\n"
                 "frames. INPUT is any file libsndfile reads (WAV, AIFF, FLAC, Ogg, ...), with\n"
                 "1 or 2 channels at 32000, 44100 or 48000 Hz; it is read as 16-bit PCM.\n"
                 "Use '-' for INPUT to read standard input, '-' for OUTPUT to write standard\n"
                 "output. Otherwise OUTPUT appears only once encoding has succeeded.\n"
                 "The last frame is completed with silence, so every input sample is coded.\n"
                 "\n"
                 "Options:\n"
                 "  -b, --bitrate KBPS  stream bitrate in kbit/s (default 192, or 96 for mono)\n"
                 "                        stereo, joint, dual: 32 48 56 64 80 96 112 128 160\n"
                 "                                             192 224 256 320 384\n"
                 "                        mono:                32 48 56 64 80 96\n"
                 "  -m, --mode MODE     stereo, joint, dual or mono (also s, j, d, m);\n"
                 "                      default joint for 2-channel input, mono for 1-channel.\n"
                 "                      mono from 2 channels mixes (L+R)/2; a 1-channel input\n"
                 "                      in a 2-channel mode is copied to both channels.\n"
                 "  -q, --quiet         no progress bar and no summary\n"
                 "  -v, --verbose       also show the encoder library's own diagnostics\n"
                 "      --out DIR       where the demo clip goes (default: current directory)\n"
                 "  -h, --help          show this help\n"
                 "  -V, --version       show the version\n"
                 "\n"
                 "Without INPUT and OUTPUT a 5-second stereo demo clip (44.1 kHz, a few tones)\n"
                 "is synthesized and encoded to demo.mp2.\n"
                 "\n"
                 "Exit status: 0 success, 1 usage error, 2 input error (unreadable or\n"
                 "unsupported audio), 3 output error, 4 encoder error.\n",
                 kProgram, kProgram);
}

[[noreturn]] void usage_error(const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram, message.c_str(), kProgram);
    std::exit(kUsage);
}

// ---- Command line -----------------------------------------------------------

struct Options {
    int bitrate_kbps = 0; // 0: default for the mode
    int mode = -1;        // -1: from the input's channel count
    bool quiet = false;
    bool verbose = false;
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
    return std::atoi(digits.c_str());
}

Options parse_args(int argc, char** argv) {
    Options o;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (options_done || arg == "-" || arg.empty() || arg[0] != '-') {
            o.files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        // Split "--name=value" and "-xVALUE".
        std::string name = arg;
        std::string value;
        bool has_value = false;
        if (arg.rfind("--", 0) == 0) {
            const std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
                has_value = true;
            }
        } else if (arg.size() > 2) {
            name = arg.substr(0, 2);
            value = arg.substr(2);
            has_value = true;
        }
        auto take_value = [&]() -> std::string {
            if (has_value) return value;
            if (i + 1 >= argc) usage_error("option '" + name + "' needs a value");
            return argv[++i];
        };
        auto no_value = [&]() {
            if (has_value) usage_error("option '" + name + "' takes no value");
        };
        if (name == "-h" || name == "--help") {
            no_value();
            print_usage(stdout);
            std::exit(kOk);
        } else if (name == "-V" || name == "--version") {
            no_value();
            std::printf("%s %s\n", kProgram, ZUVO_VERSION);
            std::exit(kOk);
        } else if (name == "-q" || name == "--quiet") {
            no_value();
            o.quiet = true;
        } else if (name == "-v" || name == "--verbose") {
            no_value();
            o.verbose = true;
        } else if (name == "-b" || name == "--bitrate") {
            o.bitrate_kbps = parse_bitrate(take_value());
        } else if (name == "-m" || name == "--mode") {
            o.mode = parse_mode(take_value());
        } else if (name == "--out") {
            o.out_dir = take_value();
            o.out_dir_given = true;
            if (o.out_dir.empty()) usage_error("--out needs a directory");
        } else {
            usage_error("unknown option '" + arg + "'");
        }
    }
    if (o.files.empty()) return o; // demo clip
    if (o.out_dir_given) usage_error("--out is only for the demo clip; give OUTPUT instead");
    if (o.files.size() != 2) usage_error("expected INPUT and OUTPUT");
    return o;
}

const char* mode_name(int mode) {
    static const char* const names[4] = {"stereo", "joint stereo", "dual channel", "mono"};
    return names[mode];
}

std::string two_channel_rate_list() {
    std::string text;
    for (int kbps : kTwoChannelRates) text += (text.empty() ? "" : " ") + std::to_string(kbps);
    return text;
}

// Library bitrate index for a stream bitrate, or 0 when the mode cannot carry it.
int bitrate_index(int mode, int kbps) {
    if (mode == 3) {
        for (const MonoRate& r : kMonoRates)
            if (r.kbps == kbps) return r.index;
        return 0;
    }
    for (int i = 0; i < 14; ++i)
        if (kTwoChannelRates[i] == kbps) return i + 1;
    return 0;
}

// ---- Audio sources ------------------------------------------------------------

class Source {
public:
    virtual ~Source() = default;
    // Reads up to `frames` sample frames of `channels()` interleaved samples.
    // Returns the number read; 0 at the end; -1 on a read error.
    virtual long read(std::int16_t* samples, long frames) = 0;
    virtual int channels() const = 0;
    virtual int rate() const = 0;
    virtual long long total_frames() const = 0; // -1 when unknown
    virtual std::string error() const { return {}; }
};

class SndfileSource : public Source {
public:
    SndfileSource(SNDFILE* file, const SF_INFO& info, bool seekable) : file_(file), info_(info), seekable_(seekable) {
        sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    }
    ~SndfileSource() override { sf_close(file_); }
    long read(std::int16_t* samples, long frames) override {
        const sf_count_t got = sf_readf_short(file_, samples, frames);
        if (got <= 0 && sf_error(file_) != SF_ERR_NO_ERROR) return -1;
        return static_cast<long>(got);
    }
    int channels() const override { return info_.channels; }
    int rate() const override { return info_.samplerate; }
    long long total_frames() const override {
        return seekable_ && info_.frames > 0 && info_.frames < SF_COUNT_MAX ? info_.frames : -1;
    }
    std::string error() const override { return sf_strerror(file_); }

private:
    SNDFILE* file_;
    SF_INFO info_;
    bool seekable_;
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
    long long total_frames() const override { return kLength; }

private:
    static constexpr int kRate = 44100;
    static constexpr long kLength = 5L * kRate;
    long position_ = 0;
};

// ---- Output -------------------------------------------------------------------

// The temporary file of the running encode, removed if a signal ends us.
char g_temp_path[4096] = "";

extern "C" void on_fatal_signal(int sig) {
    if (g_temp_path[0] != '\0') unlink(g_temp_path);
    signal(sig, SIG_DFL);
    raise(sig);
}

class Output {
public:
    // Opens OUTPUT ("-" = standard output). Returns false with a message.
    bool open(const std::string& path, std::string& message) {
        path_ = path;
        if (path == "-") {
            if (isatty(STDOUT_FILENO)) {
                message = "refusing to write binary audio to a terminal";
                return false;
            }
            fd_ = STDOUT_FILENO;
            return true;
        }
#if defined(_WIN32)
        const std::size_t slash = path.find_last_of("/\\");
#else
        const std::size_t slash = path.rfind('/');
#endif
        const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
        const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        if (base.empty()) {
            message = "'" + path + "' names a directory, not a file";
            return false;
        }
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            message = "'" + path + "' is a directory";
            return false;
        }
        temp_ = dir + "/." + base + ".XXXXXX.part";
        if (temp_.size() >= sizeof g_temp_path) {
            message = "output path too long";
            return false;
        }
        std::vector<char> name(temp_.begin(), temp_.end());
        name.push_back('\0');
        fd_ = mkstemps(name.data(), 5);
        if (fd_ < 0) {
            message = "cannot create a file in '" + dir + "': " + std::strerror(errno);
            return false;
        }
        temp_ = name.data();
        std::memcpy(g_temp_path, temp_.c_str(), temp_.size() + 1);
        // mkstemp makes the file private; give it the usual permissions.
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd_, 0666 & ~mask);
        return true;
    }

    bool write(const unsigned char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t done = ::write(fd_, data, size);
            if (done < 0) {
                if (errno == EINTR) continue;
                error_ = std::strerror(errno);
                return false;
            }
            data += done;
            size -= static_cast<std::size_t>(done);
        }
        return true;
    }

    // Closes the temporary file and moves it to OUTPUT.
    bool commit() {
        if (temp_.empty()) return true;
        const int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0) {
            error_ = std::strerror(errno);
            return false;
        }
        if (rename(temp_.c_str(), path_.c_str()) != 0) {
            error_ = std::string("cannot rename the finished file into place: ") + std::strerror(errno);
            return false;
        }
        temp_.clear();
        g_temp_path[0] = '\0';
        return true;
    }

    // Removes the temporary file (if any); OUTPUT is left as it was.
    void discard() {
        if (temp_.empty()) return;
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        unlink(temp_.c_str());
        temp_.clear();
        g_temp_path[0] = '\0';
    }

    ~Output() { discard(); }
    const std::string& error() const { return error_; }

private:
    std::string path_;
    std::string temp_;
    std::string error_;
    int fd_ = -1;
};

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

// Frames in `data`, walking their headers; -1 when the bytes are not a run
// of whole Layer II frames (which would be an encoder fault).
long count_frames(const unsigned char* data, std::size_t size) {
    static const int kRates[3] = {44100, 48000, 32000};
    long frames = 0;
    std::size_t offset = 0;
    while (offset < size) {
        if (size - offset < 4 || data[offset] != 0xFF || (data[offset + 1] & 0xF0) != 0xF0) return -1;
        const int index = data[offset + 2] >> 4;
        const int rate_index = (data[offset + 2] >> 2) & 3;
        const int padding = (data[offset + 2] >> 1) & 1;
        if (index < 1 || index > 14 || rate_index > 2) return -1;
        offset += static_cast<std::size_t>(144000 * kTwoChannelRates[index - 1] / kRates[rate_index] + padding);
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

// The library writes a diagnostic line of its own to standard error when a
// stream's model is set up. The tool's users see the tool's messages only
// (unless --verbose): standard error points at /dev/null during library calls.
class LibraryStderr {
public:
    explicit LibraryStderr(bool show) {
        if (show) return;
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
#if defined(_WIN32)
        const int null_fd = ::open("NUL", O_WRONLY);
#else
        const int null_fd = ::open("/dev/null", O_WRONLY);
#endif
        if (saved_ < 0 || null_fd < 0 || dup2(null_fd, STDERR_FILENO) < 0) restore();
        if (null_fd >= 0) close(null_fd);
    }
    ~LibraryStderr() { restore(); }
    LibraryStderr(const LibraryStderr&) = delete;
    LibraryStderr& operator=(const LibraryStderr&) = delete;

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }
    int saved_ = -1;
};

bool g_show_library_diagnostics = false;

class Encoder {
public:
    ~Encoder() {
        if (context_) {
            LibraryStderr quiet(g_show_library_diagnostics);
            ZuvoFinishAudio(context_);
            ZuvoDeleteAudioContext(context_);
        }
    }

    bool start(int mode, int index, int rate) {
        LibraryStderr quiet(g_show_library_diagnostics);
        context_ = ZuvoCreateAudioContext();
        if (!context_) return false;
        ZuvoMPAEncoderParams params{};
        params.mode = mode;
        params.bitrate_index = index;
        params.sampling_rate = rate;
        return ZuvoInitAudioEncoder(context_, &params) == 1;
    }

    // Encodes `bytes` of PCM; appends whole frames to `out`. False on failure.
    bool encode(std::vector<unsigned char>& pcm, std::size_t frame_input_bytes, std::vector<unsigned char>& out,
                int& produced) {
        const std::size_t capacity = (pcm.size() / frame_input_bytes + 1) * kMaxFrameBytes;
        out.resize(capacity);
        wavehdr_tag header{};
        header.lpData = reinterpret_cast<char*>(pcm.data());
        header.dwBufferLength = static_cast<std::uint32_t>(pcm.size());
        header.dwUser = 0; // no change of sampling rate
        produced = 0;
        LibraryStderr quiet(g_show_library_diagnostics);
        if (ZuvoCompressAudioFrame(context_, &header, out.data(), &produced) != 1) return false;
        return produced >= 0 && static_cast<std::size_t>(produced) <= capacity;
    }

    bool finish() {
        LibraryStderr quiet(g_show_library_diagnostics);
        const bool ok = ZuvoFinishAudio(context_) == 1;
        ZuvoDeleteAudioContext(context_);
        context_ = nullptr;
        return ok;
    }

private:
    void* context_ = nullptr;
};

Result encode_stream(Source& source, int mode, int index, Output& output, Progress& progress) {
    Result result;
    const int in_channels = source.channels();
    const int out_channels = mode == 3 ? 1 : 2;
    const std::size_t frame_input_bytes = static_cast<std::size_t>(kSamplesPerFrame) * 2 * out_channels;
    const std::size_t buffer_bytes = frame_input_bytes * kFramesPerBuffer * (out_channels == 1 ? 2 : 1);

    Encoder encoder;
    if (!encoder.start(mode, index, source.rate())) {
        std::fprintf(stderr, "%s: the encoder could not be set up\n", kProgram);
        result.code = kEncoderError;
        return result;
    }

    std::vector<std::int16_t> input(static_cast<std::size_t>(kSamplesPerFrame) * kFramesPerBuffer * 2 * in_channels);
    std::vector<unsigned char> pending; // little-endian PCM not yet handed over
    std::vector<unsigned char> chunk;
    std::vector<unsigned char> frames;
    const long read_frames = static_cast<long>(input.size()) / in_channels;

    auto send = [&](std::size_t bytes) -> int {
        chunk.assign(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(bytes));
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(bytes));
        int produced = 0;
        if (!encoder.encode(chunk, frame_input_bytes, frames, produced)) {
            std::fprintf(stderr, "%s: the encoder refused a buffer\n", kProgram);
            return kEncoderError;
        }
        const long count = count_frames(frames.data(), static_cast<std::size_t>(produced));
        if (count < 0) {
            std::fprintf(stderr, "%s: the encoder returned bytes that are not whole frames\n", kProgram);
            return kEncoderError;
        }
        result.frames += count;
        if (!output.write(frames.data(), static_cast<std::size_t>(produced))) {
            std::fprintf(stderr, "%s: cannot write the output: %s\n", kProgram, output.error().c_str());
            return kOutputError;
        }
        result.bytes += static_cast<unsigned long long>(produced);
        return kOk;
    };

    for (;;) {
        const long got = source.read(input.data(), read_frames);
        if (got < 0) {
            std::fprintf(stderr, "%s: error reading the input: %s\n", kProgram, source.error().c_str());
            result.code = kInputError;
            return result;
        }
        if (got == 0) break;
        result.input_frames += got;
        const std::size_t start = pending.size();
        pending.resize(start + static_cast<std::size_t>(got) * static_cast<std::size_t>(out_channels) * 2);
        unsigned char* to = pending.data() + start;
        for (long i = 0; i < got; ++i) {
            const std::int16_t* s = &input[static_cast<std::size_t>(i * in_channels)];
            std::int16_t out[2];
            if (out_channels == 1) {
                out[0] = in_channels == 1 ? s[0] : static_cast<std::int16_t>((int{s[0]} + int{s[1]}) / 2);
            } else {
                out[0] = s[0];
                out[1] = in_channels == 1 ? s[0] : s[1];
            }
            for (int c = 0; c < out_channels; ++c) {
                const auto u = static_cast<std::uint16_t>(out[c]);
                *to++ = static_cast<unsigned char>(u & 0xFF);
                *to++ = static_cast<unsigned char>(u >> 8);
            }
        }
        // Hand over whole buffers; the library carries any remainder itself.
        while (pending.size() >= buffer_bytes) {
            if (const int code = send(buffer_bytes)) {
                result.code = code;
                return result;
            }
        }
        progress.update(result.input_frames);
    }

    // Pad the last partial frame with silence so that no input is dropped.
    if (!pending.empty()) {
        const std::size_t padded = (pending.size() + frame_input_bytes - 1) / frame_input_bytes * frame_input_bytes;
        pending.resize(padded, 0);
        if (const int code = send(pending.size())) {
            result.code = code;
            return result;
        }
    }
    if (!encoder.finish()) {
        std::fprintf(stderr, "%s: the encoder did not finish the stream\n", kProgram);
        result.code = kEncoderError;
    }
    return result;
}

std::string with_commas(unsigned long long value) {
    std::string digits = std::to_string(value);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<std::size_t>(i), ",");
    return digits;
}

int run(const Options& options) {
    const bool demo = options.files.empty();
    std::unique_ptr<Source> source;
    std::string input_name;
    std::string output_path;

    if (demo) {
        source = std::make_unique<DemoSource>();
        input_name = "demo clip";
        const std::string dir = options.out_dir_given ? options.out_dir : ".";
        output_path = dir + (dir.back() == '/' ? "" : "/") + "demo.mp2";
    } else {
        input_name = options.files[0];
        output_path = options.files[1];
        SF_INFO info{};
        SNDFILE* file = nullptr;
        bool seekable = true;
        if (input_name == "-") {
            file = sf_open_fd(STDIN_FILENO, SFM_READ, &info, SF_FALSE);
            seekable = lseek(STDIN_FILENO, 0, SEEK_CUR) >= 0;
            input_name = "standard input";
        } else {
            file = sf_open(input_name.c_str(), SFM_READ, &info);
        }
        if (!file) {
            std::fprintf(stderr, "%s: cannot read '%s': %s\n", kProgram, input_name.c_str(), sf_strerror(nullptr));
            return kInputError;
        }
        source = std::make_unique<SndfileSource>(file, info, seekable);
        if (info.channels != 1 && info.channels != 2) {
            std::fprintf(stderr, "%s: '%s' has %d channels; only 1 or 2 channels can be encoded\n", kProgram,
                         input_name.c_str(), info.channels);
            return kInputError;
        }
        if (info.samplerate != 32000 && info.samplerate != 44100 && info.samplerate != 48000) {
            std::fprintf(stderr,
                         "%s: '%s' is sampled at %d Hz; only 32000, 44100 and 48000 Hz can be encoded "
                         "(resample it first)\n",
                         kProgram, input_name.c_str(), info.samplerate);
            return kInputError;
        }
    }

    const int mode = options.mode >= 0 ? options.mode : (source->channels() == 1 ? 3 : 1);
    const int kbps = options.bitrate_kbps > 0 ? options.bitrate_kbps : (mode == 3 ? 96 : 192);
    const int index = bitrate_index(mode, kbps);
    if (index == 0) {
        if (mode == 3) {
            usage_error(std::to_string(kbps) + " kbit/s is not available for mono; use 32 48 56 64 80 or 96");
        }
        usage_error(std::to_string(kbps) + " kbit/s is not available for " + mode_name(mode) + "; use " +
                    two_channel_rate_list());
    }
    if (mode != 3 && kbps <= 80 && kbps != 64 && !options.quiet) {
        std::fprintf(stderr, "%s: note: %d kbit/s with two channels is outside the combinations MPEG-1 Layer II "
                             "permits; some decoders may refuse the stream\n", kProgram, kbps);
    }

    Output output;
    std::string message;
    if (!output.open(output_path, message)) {
        std::fprintf(stderr, "%s: cannot write '%s': %s\n", kProgram, output_path.c_str(), message.c_str());
        return kOutputError;
    }

    Progress progress(!options.quiet && isatty(STDERR_FILENO), source->total_frames(), source->rate());
    const auto started = std::chrono::steady_clock::now();
    const Result result = encode_stream(*source, mode, index, output, progress);
    progress.clear();
    if (result.code != kOk) {
        output.discard();
        return result.code;
    }
    if (!output.commit()) {
        std::fprintf(stderr, "%s: cannot write '%s': %s\n", kProgram, output_path.c_str(), output.error().c_str());
        output.discard();
        return kOutputError;
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double duration = static_cast<double>(result.input_frames) / source->rate();

    if (demo) {
        char* full = realpath(output_path.c_str(), nullptr);
        std::fprintf(stderr, "%s: wrote the demo clip to %s\n", kProgram, full ? full : output_path.c_str());
        std::free(full);
    }
    if (!options.quiet) {
        std::fprintf(stderr, "%s: %ld frame%s, %.2f s, %s bytes, %d kbit/s %s at %d Hz, %.1fx real time\n",
                     kProgram, result.frames, result.frames == 1 ? "" : "s", duration, with_commas(result.bytes).c_str(), kbps, mode_name(mode),
                     source->rate(), elapsed > 0 ? duration / elapsed : 0.0);
    }
    return kOk;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parse_args(argc, argv);
        g_show_library_diagnostics = options.verbose;
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
    return kEncoderError;
}
