// Sampling-rate conversion of the encoder's input with libsoxr (very high
// quality), streamed: samples go in a block at a time and come out as the
// converter has them, with no whole-file buffer.
//
// libsoxr hands out its output already aligned with its input (its filter's
// delay is taken off inside), so output sample k stands at input time
// k / output rate, and after `finish` a signal of n input samples has
// become round(n x output rate / input rate) output samples: the encoder's
// delay arithmetic (ceil((n' + 481) / 1152) frames) holds for the converted
// n' as for any other input.
//
// choose_stream_rate picks the rate a stream is coded at when the user names
// none: the input's own when the format codes it; above 48 kHz, 44.1 kHz
// for multiples of 11025 Hz and 48 kHz otherwise; below, the lowest coded
// rate above the input's that is a multiple of it (8 -> 16 kHz,
// 11.025 -> 22.05 kHz, 12 -> 24 kHz), else the lowest coded rate above it
// (37.8 -> 44.1 kHz).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct soxr;

namespace zuvo_tool {

// The rate to code an input of `input_rate` Hz at, from the library's list
// of coded rates (ascending).
int choose_stream_rate(int input_rate, const std::vector<int>& coded_rates);

class Resampler {
public:
    Resampler() = default;
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    // False, with libsoxr's message, when the converter cannot be made.
    bool open(int input_rate, int output_rate, int channels, std::string& error);
    // Converts `frames` interleaved frames; appends what comes out to `out`.
    bool process(const float* in, std::size_t frames, std::vector<float>& out, std::string& error);
    // Ends the input; appends the converter's last samples to `out`.
    bool finish(std::vector<float>& out, std::string& error);

    int channels() const { return channels_; }
    double ratio() const { return ratio_; }

private:
    bool run(const float* in, std::size_t frames, std::vector<float>& out, std::string& error);

    soxr* converter_ = nullptr;
    int channels_ = 0;
    double ratio_ = 1.0;
};

}  // namespace zuvo_tool
