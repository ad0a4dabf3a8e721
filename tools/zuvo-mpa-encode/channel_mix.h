// Channel mixing for the encoder's input: any layout of 1 to 8 channels to
// the one or two channels a stream codes.
//
// Stereo from mono copies the channel to both sides; mono from stereo takes
// (L + R) / 2. Three to eight channels are downmixed with the ITU-R BS.775
// coefficients for the layout: each front channel goes to its side, the
// centre to both sides at -3 dB (0.7071), each surround (side or back) to
// its side at -3 dB, a single back-centre surround to both sides at -3 dB;
// the low-frequency effects channel is dropped. Mono from such a layout is
// the BS.775 mono mix: left and right fronts at -3 dB, the centre at 0 dB,
// the surrounds at -6 dB (0.5). Every output is then scaled by the sum of
// its coefficients' magnitudes, so that no input at full scale can make it
// clip; the description says what was done.
//
// A layout the rules do not know (an unnamed channel, a speaker above the
// listener) is refused unless the user names a rule: `smpte` reads the
// channels in the order of WAVE files without a channel mask (L R C LFE BL
// BR SL SR), `mean` gives every channel the same weight.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zuvo_tool {

enum class Speaker {
    kFrontLeft,
    kFrontRight,
    kFrontCenter,
    kLowFrequency,
    kBackLeft,
    kBackRight,
    kBackCenter,
    kSideLeft,
    kSideRight,
    kFrontLeftOfCenter,
    kFrontRightOfCenter,
    kUnknown,  // unnamed, or a speaker the rules have no place for
};

constexpr int kMaxChannels = 8;

struct ChannelMix {
    int in_channels = 0;
    int out_channels = 0;
    float gain[2][kMaxChannels] = {};  // out[o] = sum of gain[o][i] * in[i]
    std::string description;           // e.g. "5.1 downmixed to stereo (ITU-R BS.775, LFE dropped)"
};

// The order WAVE files without a channel mask use (also the default mask's).
std::vector<Speaker> smpte_layout(int channels);
// The order the FLAC format fixes for 1 to 8 channels.
std::vector<Speaker> flac_layout(int channels);

// The mix from `layout` to `out_channels` (1 or 2). False, with a message,
// for a layout the rules do not cover.
bool make_channel_mix(const std::vector<Speaker>& layout, int out_channels, ChannelMix& mix, std::string& error);
// Every input channel with the same weight 1 / in_channels.
ChannelMix mean_mix(int in_channels, int out_channels);

// Mixes `frames` interleaved frames of mix.in_channels into mix.out_channels.
void apply_mix(const ChannelMix& mix, const float* in, std::size_t frames, float* out);

}  // namespace zuvo_tool
