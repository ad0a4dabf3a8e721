#include "channel_mix.h"

#include <cmath>

namespace zuvo_tool {

namespace {

constexpr float kMinus3dB = 0.70710678f;

const char* layout_name(const std::vector<Speaker>& layout) {
    const int n = static_cast<int>(layout.size());
    bool lfe = false;
    for (Speaker s : layout) lfe = lfe || s == Speaker::kLowFrequency;
    switch (n) {
        case 3: return lfe ? "2.1" : "3.0";
        case 4: return lfe ? "3.1" : "4.0";
        case 5: return lfe ? "4.1" : "5.0";
        case 6: return lfe ? "5.1" : "6.0";
        case 7: return lfe ? "6.1" : "7.0";
        case 8: return lfe ? "7.1" : "8.0";
        default: return "multichannel";
    }
}

// Side of a speaker: -1 left, +1 right, 0 both (centre).
struct Place {
    int side;
    float stereo;  // gain into its side (or both sides for a centre)
    float mono;
};

bool place_of(Speaker s, Place& p) {
    switch (s) {
        case Speaker::kFrontLeft: p = {-1, 1.0f, kMinus3dB}; return true;
        case Speaker::kFrontRight: p = {+1, 1.0f, kMinus3dB}; return true;
        case Speaker::kFrontLeftOfCenter: p = {-1, 1.0f, kMinus3dB}; return true;
        case Speaker::kFrontRightOfCenter: p = {+1, 1.0f, kMinus3dB}; return true;
        case Speaker::kFrontCenter: p = {0, kMinus3dB, 1.0f}; return true;
        case Speaker::kBackLeft:
        case Speaker::kSideLeft: p = {-1, kMinus3dB, 0.5f}; return true;
        case Speaker::kBackRight:
        case Speaker::kSideRight: p = {+1, kMinus3dB, 0.5f}; return true;
        case Speaker::kBackCenter: p = {0, kMinus3dB, 0.5f}; return true;
        case Speaker::kLowFrequency: p = {0, 0.0f, 0.0f}; return true;
        case Speaker::kUnknown: return false;
    }
    return false;
}

// Scales each output so that the magnitudes of its gains sum to at most 1.
void normalize(ChannelMix& mix) {
    for (int o = 0; o < mix.out_channels; ++o) {
        float sum = 0.0f;
        for (int i = 0; i < mix.in_channels; ++i) sum += std::fabs(mix.gain[o][i]);
        if (sum > 1.0f) {
            for (int i = 0; i < mix.in_channels; ++i) mix.gain[o][i] /= sum;
        }
    }
}

}  // namespace

std::vector<Speaker> smpte_layout(int channels) {
    static const Speaker order[kMaxChannels] = {Speaker::kFrontLeft,  Speaker::kFrontRight,   Speaker::kFrontCenter,
                                                Speaker::kLowFrequency, Speaker::kBackLeft, Speaker::kBackRight,
                                                Speaker::kSideLeft,   Speaker::kSideRight};
    if (channels == 1) return {Speaker::kFrontCenter};
    if (channels < 1 || channels > kMaxChannels) return {};
    return std::vector<Speaker>(order, order + channels);
}

std::vector<Speaker> flac_layout(int channels) {
    using S = Speaker;
    switch (channels) {
        case 1: return {S::kFrontCenter};
        case 2: return {S::kFrontLeft, S::kFrontRight};
        case 3: return {S::kFrontLeft, S::kFrontRight, S::kFrontCenter};
        case 4: return {S::kFrontLeft, S::kFrontRight, S::kBackLeft, S::kBackRight};
        case 5: return {S::kFrontLeft, S::kFrontRight, S::kFrontCenter, S::kBackLeft, S::kBackRight};
        case 6: return {S::kFrontLeft, S::kFrontRight, S::kFrontCenter, S::kLowFrequency, S::kBackLeft, S::kBackRight};
        case 7:
            return {S::kFrontLeft,  S::kFrontRight, S::kFrontCenter, S::kLowFrequency,
                    S::kBackCenter, S::kSideLeft,   S::kSideRight};
        case 8:
            return {S::kFrontLeft, S::kFrontRight, S::kFrontCenter, S::kLowFrequency,
                    S::kBackLeft,  S::kBackRight,  S::kSideLeft,    S::kSideRight};
        default: return {};
    }
}

ChannelMix mean_mix(int in_channels, int out_channels) {
    ChannelMix mix;
    mix.in_channels = in_channels;
    mix.out_channels = out_channels;
    for (int o = 0; o < out_channels; ++o) {
        for (int i = 0; i < in_channels; ++i) mix.gain[o][i] = 1.0f / static_cast<float>(in_channels);
    }
    mix.description = std::to_string(in_channels) + " channels mixed with equal weights to " +
                      (out_channels == 1 ? "mono" : "both sides");
    return mix;
}

bool make_channel_mix(const std::vector<Speaker>& layout, int out_channels, ChannelMix& mix, std::string& error) {
    const int n = static_cast<int>(layout.size());
    mix = ChannelMix{};
    mix.in_channels = n;
    mix.out_channels = out_channels;
    if (n < 1 || n > kMaxChannels || out_channels < 1 || out_channels > 2) {
        error = "cannot mix " + std::to_string(n) + " channels to " + std::to_string(out_channels);
        return false;
    }
    if (n == 1) {
        for (int o = 0; o < out_channels; ++o) mix.gain[o][0] = 1.0f;
        mix.description = out_channels == 1 ? "" : "mono copied to both channels";
        return true;
    }
    if (n == 2) {
        if (out_channels == 2) {
            mix.gain[0][0] = mix.gain[1][1] = 1.0f;
        } else {
            mix.gain[0][0] = mix.gain[0][1] = 0.5f;
            mix.description = "stereo mixed to mono as (L + R) / 2";
        }
        return true;
    }
    for (int i = 0; i < n; ++i) {
        Place p{};
        if (!place_of(layout[i], p)) {
            error = "channel " + std::to_string(i + 1) + " of " + std::to_string(n) +
                    " has no known place; name a rule with --downmix smpte or --downmix mean";
            return false;
        }
        if (out_channels == 1) {
            mix.gain[0][i] = p.mono;
        } else {
            if (p.side <= 0) mix.gain[0][i] = p.stereo;
            if (p.side >= 0) mix.gain[1][i] = p.stereo;
        }
    }
    normalize(mix);
    bool lfe = false;
    for (Speaker s : layout) lfe = lfe || s == Speaker::kLowFrequency;
    mix.description = std::string(layout_name(layout)) + " downmixed to " + (out_channels == 1 ? "mono" : "stereo") +
                      " (ITU-R BS.775" + (lfe ? ", LFE dropped" : "") + ", scaled not to clip)";
    return true;
}

void apply_mix(const ChannelMix& mix, const float* in, std::size_t frames, float* out) {
    const int n = mix.in_channels;
    const int m = mix.out_channels;
    for (std::size_t f = 0; f < frames; ++f) {
        const float* x = in + f * static_cast<std::size_t>(n);
        for (int o = 0; o < m; ++o) {
            float sum = 0.0f;
            for (int i = 0; i < n; ++i) sum += mix.gain[o][i] * x[i];
            out[f * static_cast<std::size_t>(m) + static_cast<std::size_t>(o)] = sum;
        }
    }
}

}  // namespace zuvo_tool
