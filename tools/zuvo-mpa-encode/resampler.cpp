#include "resampler.h"

#include <soxr.h>

#include <cmath>

namespace zuvo_tool {

int choose_stream_rate(int input_rate, const std::vector<int>& coded_rates) {
    if (coded_rates.empty()) return 0;
    for (int rate : coded_rates) {
        if (rate == input_rate) return rate;
    }
    const int highest = coded_rates.back();
    if (input_rate > highest) {
        const bool cd_family = input_rate % 11025 == 0;
        for (int rate : coded_rates) {
            if (rate == (cd_family ? 44100 : 48000)) return rate;
        }
        return highest;
    }
    for (int rate : coded_rates) {
        if (rate > input_rate && input_rate > 0 && rate % input_rate == 0) return rate;
    }
    for (int rate : coded_rates) {
        if (rate > input_rate) return rate;
    }
    return highest;
}

Resampler::~Resampler() {
    if (converter_ != nullptr) soxr_delete(converter_);
}

bool Resampler::open(int input_rate, int output_rate, int channels, std::string& error) {
    if (converter_ != nullptr) soxr_delete(converter_);
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    soxr_error_t failure = nullptr;
    converter_ = soxr_create(input_rate, output_rate, static_cast<unsigned>(channels), &failure, &io, &quality, nullptr);
    if (failure != nullptr || converter_ == nullptr) {
        error = soxr_strerror(failure);
        converter_ = nullptr;
        return false;
    }
    channels_ = channels;
    ratio_ = static_cast<double>(output_rate) / input_rate;
    return true;
}

bool Resampler::run(const float* in, std::size_t frames, std::vector<float>& out, std::string& error) {
    std::size_t consumed_total = 0;
    // Enough room for what this block can give, plus what the filter holds.
    const std::size_t room = static_cast<std::size_t>(std::ceil(static_cast<double>(frames) * ratio_)) + 1024;
    for (;;) {
        const std::size_t at = out.size();
        out.resize(at + room * static_cast<std::size_t>(channels_));
        std::size_t consumed = 0, produced = 0;
        const float* from = in != nullptr ? in + consumed_total * static_cast<std::size_t>(channels_) : nullptr;
        const soxr_error_t failure =
            soxr_process(converter_, from, in != nullptr ? frames - consumed_total : 0, &consumed, out.data() + at,
                         room, &produced);
        out.resize(at + produced * static_cast<std::size_t>(channels_));
        if (failure != nullptr) {
            error = soxr_strerror(failure);
            return false;
        }
        consumed_total += consumed;
        // Done when the input is taken and the output did not fill the room.
        if ((in == nullptr || consumed_total == frames) && produced < room) return true;
    }
}

bool Resampler::process(const float* in, std::size_t frames, std::vector<float>& out, std::string& error) {
    if (frames == 0) return true;
    return run(in, frames, out, error);
}

bool Resampler::finish(std::vector<float>& out, std::string& error) {
    return run(nullptr, 0, out, error);
}

}  // namespace zuvo_tool
