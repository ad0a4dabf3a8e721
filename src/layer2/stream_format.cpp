// The stream format's facts: rates, bitrate tables, the mode and bitrate
// pairs each version allows, and frame lengths.
#include "layer2/stream_format.h"

namespace zuvo {

const StreamRate* find_stream_rate(std::int64_t hz) {
    for (const StreamRate& rate : kStreamRates) {
        if (rate.hz == hz) return &rate;
    }
    return nullptr;
}

bool is_mpeg1_rate(std::int64_t hz) {
    const StreamRate* rate = find_stream_rate(hz);
    return rate != nullptr && rate->version == kVersionMpeg1;
}

int rate_hz(int version, int frequency_index) {
    for (const StreamRate& rate : kStreamRates) {
        if (rate.version == version && rate.frequency_index == frequency_index) return rate.hz;
    }
    return 0;
}

float rate_khz(int version, int frequency_index) {
    if (version < 0 || version > 1 || frequency_index < 0 || frequency_index > 2) return 0.0f;
    return kSamplingKhz[version][frequency_index];
}

int bitrate_kbps(int version, int bitrate_index) {
    if (version < 0 || version > 1 || bitrate_index < 0 || bitrate_index > 14) return 0;
    return kBitrateKbps[version][bitrate_index];
}

int bitrate_index(int version, int kbps) {
    if (version < 0 || version > 1 || kbps <= 0) return 0;
    for (int index = 1; index < 15; ++index) {
        if (kBitrateKbps[version][index] == kbps) return index;
    }
    return 0;
}

bool mode_allows(int version, int mode, int kbps) {
    if (mode < kModeStereo || mode > kModeSingleChannel || bitrate_index(version, kbps) == 0) return false;
    if (version == kVersionLsf) return true;
    // MPEG-1: a single channel up to 192 kbit/s; two channels from 64 kbit/s,
    // with 80 (too little for two channels at the table's steps) left out.
    if (mode == kModeSingleChannel) return kbps <= 192;
    return kbps != 32 && kbps != 48 && kbps != 56 && kbps != 80;
}

bool format_codes(std::int64_t hz, int mode, int kbps) {
    const StreamRate* rate = find_stream_rate(hz);
    return rate != nullptr && mode_allows(rate->version, mode, kbps);
}

int list_bitrates(std::int64_t hz, int mode, int* kbps) {
    const StreamRate* rate = find_stream_rate(hz);
    if (rate == nullptr) return 0;
    int count = 0;
    for (int index = 1; index < 15; ++index) {
        const int value = kBitrateKbps[rate->version][index];
        if (mode_allows(rate->version, mode, value)) kbps[count++] = value;
    }
    return count;
}

std::uint32_t frame_bytes(std::int64_t hz, int kbps, bool padded) {
    const StreamRate* rate = find_stream_rate(hz);
    if (rate == nullptr || bitrate_index(rate->version, kbps) == 0) return 0;
    const std::uint64_t numerator = std::uint64_t{144000} * static_cast<std::uint64_t>(kbps);
    const std::uint64_t whole = numerator / static_cast<std::uint64_t>(rate->hz);
    const bool fractional = numerator % static_cast<std::uint64_t>(rate->hz) != 0;
    return static_cast<std::uint32_t>(whole + (padded && fractional ? 1 : 0));
}

}  // namespace zuvo
