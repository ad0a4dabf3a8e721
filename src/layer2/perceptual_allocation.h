// Internal header: included by the bit allocation, the encoder and its tests.
//
// The tuned distribution of a frame's bits. Where the design's greedy loop
// raises whichever subband has the worst mask-to-noise ratio, this one spends
// each raise where it removes the most audible noise per bit: the noise
// against the mask in a subband, as a power ratio, weighted by the width of
// the subband in critical bands (noise spread over several critical bands is
// heard in each of them), and priced with the bits the raise costs. The noise
// of a step is the noise the quantizer really makes on the frame's samples
// with their scale factors (analysis by synthesis), not the class's nominal
// signal-to-noise ratio: a subband whose samples peak far above their mean
// gains less from a step than a sine would.
#pragma once

#include <cstdint>

#include "layer2/coding_params.h"
#include "layer2/scale_factors.h"

namespace zuvo {

struct AllocationPrices;

// The frame's samples as the quantizer will see them: each channel's subband
// samples and scale-factor indices (after the scfsi choice), and, for joint
// stereo, the sum signal and its indices.
struct FrameSignal {
    const ChannelSamples* samples = nullptr;
    const ChannelScaleIndices* scale_index = nullptr;
    const ChannelSamples* joint_samples = nullptr;
    const ChannelScaleIndices* joint_scale_index = nullptr;
};

// How far the tuned coding lowers the model's threshold in quiet for a
// stream of `kbps_per_channel` kbit/s per channel. Where the bitrate leaves
// bits beyond every mask, where they go is decided by the subbands the
// threshold in quiet holds down, mostly the highs: the table assumes a quiet
// playback level, and a listener who turns the stream up hears noise the
// table calls inaudible. From 128 kbit/s per channel on the model assumes
// 6 dB more level; up to 96 kbit/s the masks already ask for more than the
// bits, and the table stands; in between the lowering grows linearly.
float quiet_lowering_db(float kbps_per_channel);

// The width of each subband in barks at a sampling rate (Zwicker's scale).
void subband_bark_widths(float rate_hz, float (&width)[kSubbands]);

// The energy of the quantization noise of one subband's 36 samples coded
// with `steps` steps, each part normalised by its scale factor; 0 steps
// leave the whole signal as noise.
float quantization_noise(const ChannelSamples& samples, const std::int32_t (&scale_index)[3][32], int subband,
                         int steps);
// The same noise from samples already normalised: three parts of 12 samples,
// each followed by 4 zeros, and each part's scale factor squared. The
// allocation's fast form of the above.
float unit_noise(const float* normalised, const float* part_power, int steps);
// The energy of those samples.
float subband_energy(const ChannelSamples& samples, int subband);

// The lowest bound at which joint coding keeps the stereo image audibly
// intact: one above the highest subband where rebuilding a channel from the
// sum (the sum's normalised samples times the channel's own scale factors)
// leaves an error more than `limit` times the channel's mask (the subband's
// energy lowered by its signal-to-mask ratio); 0 when there is none. The
// error is the image the subband gives away; no bit spent on the sum's
// samples wins it back.
int image_keeping_bound(const FrameSignal& signal, const float (*smr)[32], int sblimit, float limit);
// The limit the encoder uses: an error at the mask is audible.
constexpr float kImageErrorLimit = 1.0f;

// Distributes the frame's bits as described above. The arguments are those of
// the design's loop plus the subbands' weights and the frame's signal;
// `budget` is the bits left for samples, scfsi and scale factors. Returns the
// bits spent.
std::int32_t distribute_perceptually(const AllocationPrices& prices, const AllocTable& alloc,
                                     const float (*smr)[32], const std::int32_t (*scfsi)[32],
                                     std::int32_t (*allocation)[32], std::int32_t budget, const CodingLimits& limits,
                                     const float (&weight)[kSubbands], const FrameSignal& signal);

}  // namespace zuvo
