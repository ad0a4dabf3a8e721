// The encoding itself: the library's C interface wrapped for one stream, the
// loop that reads the source, converts its channels, writes the tag and the
// frames to OUTPUT and ends the stream, the progress bar, and the closing
// report (damaged input, summary line).
#pragma once

#include "audio_source.h"
#include "id3_tags.h"
#include "output_file.h"

#include "zuvo_mpa.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zuvo_tool {

// Sample frames per read and per call of the encoder.
constexpr long kSamplesPerRead = 1152 * 8;

// What the stream is coded with beyond its rate: the channel mode, the
// bitrate, the header's flags and the check word.
struct StreamSettings {
    int mode = 1;
    int kbps = 192;
    bool copyright = false;
    bool original = false;
    int emphasis = 0;  // 0 none, 1 50/15 us, 3 CCITT J.17
    bool crc = true;
    int tuning = 1;  // zuvo_mpa_tuning
    bool verbose = false;  // the library's diagnostics on stderr
    bool wav = false;      // MP2 in a Broadcast Wave file instead of a tag and frames
};

// One stream of the C interface (zuvo_mpa.h).
class Encoder {
public:
    Encoder() = default;
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;
    ~Encoder();

    // Returns a zuvo_mpa_error. The output area is sized once, for the
    // largest call (a flush needs no more).
    int start(const StreamSettings& settings, int rate, std::size_t samples_per_call);
    int channels() const;
    // Encodes `count` samples per channel, or ends the stream when `pcm` is
    // null; the frames are in data()[0, size()).
    int encode(const std::int16_t* pcm, std::size_t count);
    const unsigned char* data() const { return output_.data(); }
    std::size_t size() const { return size_; }

private:
    zuvo_mpa_encoder* encoder_ = nullptr;
    std::vector<unsigned char> output_;
    std::size_t size_ = 0;
};

// Frames in `data` of a stream at `rate` and `kbps`, walking their headers'
// padding bits; -1 when the bytes are not a run of whole frames.
long count_frames(const unsigned char* data, std::size_t size, int rate, int kbps);

// A progress bar on stderr, at most ten times a second.
class Progress {
public:
    Progress(bool enabled, long long total_frames, int rate);
    void update(long long done_frames);
    void clear();

private:
    bool enabled_;
    long long total_;
    int rate_;
    std::chrono::steady_clock::time_point last_;
    bool shown_ = false;
};

struct Result {
    int code = 0; // an ExitCode
    long frames = 0;
    unsigned long long bytes = 0;
    long long input_frames = 0;
};

// Encodes all of `source` to `output`: the tag (if any) before the first
// frame, or, for a WAV file, a header completed once the stream is; errors
// are reported on stderr and in the code.
Result encode_stream(Source& source, const std::string& input_name, const StreamSettings& settings,
                     const Tags& tags, Output& output, Progress& progress);

// After a completed stream: warns when the input ended before its declared
// length or failed to decode. Returns whether it did.
bool report_damage(const Result& result, const Source& source, const std::string& input_name, const Output& output);

// The summary line: frames, duration, bytes, format and speed, and what was
// done to the input (`conversion`, when not empty).
void print_summary(const Result& result, const Source& source, const StreamSettings& settings,
                   double elapsed_seconds, const std::string& conversion = "", const std::string& input_name = "");

// 1234567 as "1,234,567".
std::string with_commas(unsigned long long value);

} // namespace zuvo_tool
