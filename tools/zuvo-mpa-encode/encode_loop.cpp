// The encoding loop (see encode_loop.h).
#include "encode_loop.h"

#include "common.h"
#include "mp2_wav.h"
#include "options.h"

#include "zuvo_mpa.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#ifndef ZUVO_VERSION
#define ZUVO_VERSION "unknown"
#endif

namespace zuvo_tool {

namespace {

// The library's diagnostics, shown with --verbose.
extern "C" void show_library_message(void*, const char* message) {
    std::fprintf(stderr, "%s: library: %s\n", kProgram, message);
}

std::string seconds(long long frames, int rate) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(frames) / rate);
    return text;
}

} // namespace

Encoder::~Encoder() { zuvo_mpa_destroy(encoder_); }

int Encoder::start(const StreamSettings& settings, int rate, std::size_t samples_per_call) {
    zuvo_mpa_config* config = zuvo_mpa_config_new();
    if (config == nullptr) return ZUVO_MPA_ERROR_OUT_OF_MEMORY;
    int error = zuvo_mpa_config_set_mode(config, settings.mode);
    if (error == ZUVO_MPA_OK) error = zuvo_mpa_config_set_bitrate(config, settings.kbps);
    if (error == ZUVO_MPA_OK) error = zuvo_mpa_config_set_sample_rate(config, rate);
    if (error == ZUVO_MPA_OK) error = zuvo_mpa_config_set_emphasis(config, settings.emphasis);
    zuvo_mpa_config_set_copyright(config, settings.copyright);
    zuvo_mpa_config_set_original(config, settings.original);
    zuvo_mpa_config_set_error_protection(config, settings.crc);
    if (error == ZUVO_MPA_OK) error = zuvo_mpa_config_set_tuning(config, settings.tuning);
    zuvo_mpa_config_set_log(config, settings.verbose ? show_library_message : nullptr, nullptr);
    if (error == ZUVO_MPA_OK) encoder_ = zuvo_mpa_create_with_config(config, &error);
    zuvo_mpa_config_free(config);
    if (encoder_) output_.resize(zuvo_mpa_max_output(encoder_, samples_per_call));
    return error;
}

int Encoder::channels() const { return zuvo_mpa_channels(encoder_); }

int Encoder::encode(const std::int16_t* pcm, std::size_t count) {
    size_ = 0;
    return pcm ? zuvo_mpa_encode(encoder_, pcm, count, output_.data(), output_.size(), &size_)
               : zuvo_mpa_flush(encoder_, output_.data(), output_.size(), &size_);
}

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

Progress::Progress(bool enabled, long long total_frames, int rate)
    : enabled_(enabled), total_(total_frames), rate_(rate), last_(std::chrono::steady_clock::now()) {}

void Progress::update(long long done_frames) {
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

void Progress::clear() {
    if (shown_) std::fprintf(stderr, "\r\033[K");
    shown_ = false;
}

Result encode_stream(Source& source, const std::string& input_name, const StreamSettings& settings,
                     const Tags& tags, Output& output, Progress& progress) {
    Result result;
    Encoder encoder;
    const int kbps = settings.kbps;
    if (const int error = encoder.start(settings, source.rate(), kSamplesPerRead)) {
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
    // A WAV file's header goes where a tag would, provisionally; the tag's
    // fields become its description and originator.
    Mp2WavFacts wav;
    if (settings.wav) {
        wav.sample_rate = source.rate();
        wav.mode = settings.mode;
        wav.bitrate_kbps = kbps;
        wav.mpeg_version = zuvo_mpa_mpeg_version(source.rate());
        wav.copyright = settings.copyright;
        wav.original = settings.original;
        wav.emphasis = settings.emphasis;
        wav.protection = settings.crc;
        wav.frame_bytes = static_cast<std::uint32_t>(zuvo_mpa_frame_bytes(source.rate(), kbps, 0));
        wav.padded = zuvo_mpa_frame_bytes(source.rate(), kbps, 1) != wav.frame_bytes;
        wav.description = !tags.title.empty() ? tags.title : input_name;
        wav.originator = !tags.artist.empty() ? tags.artist : kProgram;
        const std::time_t now = std::time(nullptr);
        char date[16] = "", time_of_day[16] = "";
        if (const std::tm* local = std::localtime(&now)) {
            std::strftime(date, sizeof date, "%Y-%m-%d", local);
            std::strftime(time_of_day, sizeof time_of_day, "%H:%M:%S", local);
        }
        wav.origination_date = date;
        wav.origination_time = time_of_day;
        wav.coding_history = coding_history_line(wav, std::string(kProgram) + " " + ZUVO_VERSION);
    }
    const std::vector<unsigned char> tag = settings.wav  ? mp2_wav_header(wav, 0, 0)
                                           : tags.empty() ? std::vector<unsigned char>()
                                                          : id3v2_tag(tags);
    bool tag_written = tag.empty();
    std::uint64_t stream_bytes = 0;

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
        stream_bytes += encoder.size();
        if (settings.wav && stream_bytes > mp2_wav_max_data(wav)) {
            std::fprintf(stderr, "%s: cannot write %s: the stream would pass the 4 GiB a WAV file can hold\n",
                         kProgram, output.name().c_str());
            return kOutputError;
        }
        if (const int code = write(encoder.data(), encoder.size())) return code;
        result.bytes += encoder.size();
        return kOk;
    };

    for (;;) {
        const long got = source.read(convert ? input.data() : pcm.data(), kSamplesPerRead);
        if (got == 0) break;
        result.input_frames += got;
        // To the stream's channels.
        if (convert) convert_channels(input.data(), in_channels, pcm.data(), out_channels, got);
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
    if (result.code == kOk && settings.wav) {
        // RIFF chunks are of even length; then the header gets its sizes.
        const unsigned char pad = 0;
        if ((stream_bytes & 1) != 0) {
            result.code = write(&pad, 1);
            result.bytes += 1;
        }
        const std::vector<unsigned char> header = mp2_wav_header(wav, stream_bytes, static_cast<std::uint64_t>(result.frames));
        if (result.code == kOk && !output.rewrite_start(header.data(), header.size())) {
            std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, output.name().c_str(), output.error().c_str());
            result.code = kOutputError;
        }
    }
    return result;
}

bool report_damage(const Result& result, const Source& source, const std::string& input_name, const Output& output) {
    const long long declared = source.declared_frames();
    const std::string read_error = source.error();
    const bool damaged = !read_error.empty() || (declared > 0 && result.input_frames < declared);
    if (damaged) {
        std::string what = "'" + input_name + "' is damaged";
        if (!read_error.empty()) what += " (" + read_error + ")";
        if (declared > 0) {
            what += ": it declares " + seconds(declared, source.rate()) + " but only " +
                    seconds(result.input_frames, source.rate()) + " could be read";
        } else {
            what += ": reading stopped after " + seconds(result.input_frames, source.rate());
        }
        std::fprintf(stderr, "%s: warning: %s; %s holds the stream of what was read\n", kProgram, what.c_str(),
                     output.name().c_str());
    }
    return damaged;
}

void print_summary(const Result& result, const Source& source, const StreamSettings& settings,
                   double elapsed_seconds, const std::string& conversion, const std::string& input_name) {
    const double duration = static_cast<double>(result.input_frames) / source.rate();
    const std::string who = input_name.empty() ? "" : "'" + input_name + "': ";
    const std::string what = conversion.empty() ? "" : ", " + conversion;
    std::fprintf(stderr, "%s: %s%ld frame%s, %.2f s, %s bytes, %d kbit/s %s at %d Hz%s%s, %.1fx real time\n",
                 kProgram, who.c_str(), result.frames, result.frames == 1 ? "" : "s", duration,
                 with_commas(result.bytes).c_str(), settings.kbps, mode_name(settings.mode), source.rate(),
                 settings.wav ? " in a WAV file" : "", what.c_str(),
                 elapsed_seconds > 0 ? duration / elapsed_seconds : 0.0);
}

std::string with_commas(unsigned long long value) {
    std::string digits = std::to_string(value);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<std::size_t>(i), ",");
    return digits;
}

} // namespace zuvo_tool
