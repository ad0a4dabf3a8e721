// Where the samples come from: the Source interface and its makers (a file
// or standard input through libsndfile, or the WAV-only reader where there is
// no libsndfile; the synthesized demo clip), and the conversion of the
// input's channels to the stream's.
//
// Standard input: a file (or anything seekable) is read in place; from a
// pipe, WAV, AIFF and AU stream as they arrive, and every other format,
// which needs to seek, is first copied to a temporary file in TMPDIR that is
// unlinked as soon as it is open.
#pragma once

#include "channel_mix.h"
#include "id3_tags.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zuvo_tool {

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
    // The title, artist, album, date and comment the input's header holds.
    virtual Tags tags() const { return {}; }
    // As read(), in floating point (1.0 = full scale): 16-bit samples come
    // as value / 32768, wider ones with their low bits, floats as they are.
    virtual long read_float(float* samples, long frames);
    // The speaker of each channel, in order; empty when the input does not say.
    virtual std::vector<Speaker> layout() const { return {}; }
};

// What convert_source did, for the summary line ("" when nothing).
struct Conversion {
    std::string description;
};

// `inner` as `out_channels` channels at `out_rate` Hz: downmixed by the
// input's layout (or by `rule`, "smpte" or "mean", when it has none),
// resampled with libsoxr, and rounded to 16 bits. Returns null with `error`
// set when the layout is unknown and no rule is named, or the resampler
// cannot be made.
std::unique_ptr<Source> convert_source(std::unique_ptr<Source> inner, int out_channels, int out_rate,
                                       const std::string& rule, Conversion& done, std::string& error);

// Opens the audio file `path`, or standard input for "-". Returns null with
// `message` set (libsndfile's words, or why standard input cannot be read).
std::unique_ptr<Source> open_input(const std::string& path, std::string& message);

// Five seconds of stereo at 44.1 kHz: a slow arpeggio on the left, its fifth
// on the right, over a quiet low drone in both.
std::unique_ptr<Source> make_demo_source();

// Removes the temporary copy of standard input while it is being made, if
// any. Async-signal-safe.
void remove_stdin_spool();

// `frames` sample frames from `in_channels` to `out_channels` (1 or 2 each):
// mono mixes (L+R)/2, one channel in a two-channel stream goes to both.
void convert_channels(const std::int16_t* in, int in_channels, std::int16_t* out, int out_channels, long frames);

} // namespace zuvo_tool
