// Internal header: included by the boundary, the tests and the benchmarks.
//
// MpaEncoder — one audio context's encoder. It holds the stream settings, the
// frame geometry, the input staging and the per-frame arrays, and composes the
// stages (filterbank, psychoacoustic model, Layer II coding, bit writer) that
// turn each 1152-sample frame into one CRC-protected Layer II frame.
//
// Life: construct; configure + start (a stream); compress any number of
// buffers; finish_stream; optionally configure + start again; destroy.
#pragma once

#include <cstdint>

#include "ZuvoMPAEncoder.h"
#include "filterbank/filterbank.h"
#include "layer2/bit_allocation.h"
#include "layer2/coding_params.h"
#include "layer2/sample_coding.h"
#include "layer2/scale_factors.h"
#include "output/bit_writer.h"
#include "output/overflow_store.h"
#include "psycho/psycho_model.h"

namespace zuvo {

// The encoder's copy of the stream settings.
struct EncoderSettings {
    std::int32_t mode;
    std::int32_t layer;
    std::int32_t bitrate_index;
    std::int32_t emphasis;
    std::int32_t private_bit;
    std::int32_t protection;
    std::int32_t copyright;
    std::int32_t original;
    std::int32_t sampling_rate;
};

// Header bitrate index of a single-channel stream, by configured index.
extern const std::int32_t mono_bitrate_map[15];

constexpr int kFrameSamples = 1152;
constexpr int kCarryBufferBytes = 38400;
constexpr std::uint32_t kLargeBufferBytes = 38400;  // above this only a diagnostic

class MpaEncoder {
public:
    MpaEncoder();
    virtual ~MpaEncoder();
    MpaEncoder(const MpaEncoder&) = delete;
    MpaEncoder& operator=(const MpaEncoder&) = delete;

    // Takes the caller's parameters, repairs the bitrate index and checks the
    // sampling rate and the mode. Returns false when the stream cannot be
    // started (rate or mode rejected; `configured` is then cleared).
    bool configure(const ZuvoMPAEncoderParams& params);
    // Sets a stream up; ends a running stream first. Returns false (and the
    // encoder stays stopped, holding no buffers) when the configuration was
    // rejected or memory could not be obtained.
    bool start();
    // Ends the stream; true if it was running.
    bool finish_stream();
    // Encodes one caller buffer; see the public header for the results.
    int compress(const wavehdr_tag* wave_header, std::uint8_t* output, int* output_length);
    // Most bytes the next compress of `input_bytes` bytes can write, taking a
    // rate announced in the buffer header (`announced`, as in dwUser) into
    // account; 0 when not running.
    std::uint64_t max_output_bytes(std::uint64_t input_bytes, std::uint64_t announced = 0) const;

    // Encodes one frame if the staging has one; always true.
    bool encode_frame();
    // Derives the sampling-frequency index, coding parameters and frame size.
    void update_frame_geometry(std::int32_t rate);
    // Frame fetch: de-interleaves one frame into pcm_frame; its byte count or 0.
    std::int32_t read_frame();
    std::int32_t take_bytes(std::int32_t count);

    // The diagnostic hook: discards every message.
    static void report(const char* text) { (void)text; }

    bool configured = false;
    bool running = false;

    EncoderSettings settings{};
    MpaHeader header{};
    CodingParams coding{};

    // Frame geometry.
    std::int32_t bits_per_slot = 8;
    std::int32_t samples_per_frame = kFrameSamples;
    std::int32_t slots_per_frame = 0;
    double slot_fraction = 0.0;
    double slot_lag = 0.0;

    // Input staging. Lengths are unsigned 64-bit so that buffers of any size
    // the header can describe are staged exactly.
    std::uint8_t carry_buffer[kCarryBufferBytes] = {};
    const std::uint8_t* input_data = nullptr;
    std::uint64_t input_length = 0;
    std::int32_t carry_length = 0;
    std::uint64_t input_offset = 0;
    bool more_input = false;
    const std::uint8_t* frame_data = nullptr;
    std::uint64_t frames_coded = 0;  // frames of the running stream so far
    std::int16_t pcm_frame[2][kFrameSamples] = {};

    // Per-frame arrays.
    std::int32_t scale_index[2][3][32] = {};
    std::int32_t j_scale_index[3][32] = {};
    std::int32_t scfsi[2][32] = {};
    float smr[2][32] = {};
    float model_row[32] = {};
    std::int32_t allocation[2][32] = {};
    std::int16_t pcm_history[2][kHistorySamples] = {};

    // Work buffers, from start to finish_stream.
    ChannelSamples* sb_sample = nullptr;   // [2]
    ChannelSamples* j_sample = nullptr;    // [1]
    float (*Win_que)[512] = nullptr;       // [2]
    ChannelCodes* subband = nullptr;       // [2]
    const std::int16_t** win_buf = nullptr;  // [2]

    // Stages.
    BitWriter writer;
    OverflowStore* store = nullptr;
    Filterbank filterbank;
    PsychoModel model;
    BitAllocator allocator;

private:
    void release_stream();
};

}  // namespace zuvo
