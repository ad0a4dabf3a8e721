// Internal header: included by the boundary, the tests and the benchmarks.
//
// MpaEncoder — the encoder core that both interfaces (the six functions and
// the C interface) drive. It holds the stream settings, the frame geometry, the
// input staging and the per-frame arrays, and composes the stages (filterbank,
// psychoacoustic model, Layer II coding, bit writer) that turn each
// 1152-sample frame into one CRC-protected Layer II frame. It sees no host
// types: settings, samples and the announced rate come as plain numbers and
// pointers, and messages leave through one diagnostic sink.
//
// Life: construct; configure + start (a stream); compress any number of
// buffers; finish_stream; optionally configure + start again; destroy.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filterbank/filterbank.h"
#include "layer2/bit_allocation.h"
#include "layer2/coding_params.h"
#include "layer2/sample_coding.h"
#include "layer2/scale_factors.h"
#include "layer2/stream_format.h"
#include "output/bit_writer.h"
#include "output/overflow_store.h"
#include "platform/platform.h"
#include "psycho/psycho_model.h"

namespace zuvo {

// The encoder's copy of the stream settings.
struct EncoderSettings {
    std::int32_t mode;
    std::int32_t layer;
    std::int32_t version;        // the header's ID bit, from the rate
    std::int32_t bitrate_index;  // the header's
    std::int32_t emphasis;
    std::int32_t private_bit;
    std::int32_t protection;
    std::int32_t copyright;
    std::int32_t original;
    std::int32_t sampling_rate;
    std::int32_t ancillary_bytes;
    std::int32_t tuning;
};

// How the bits of a frame are distributed: as the original design does
// (reference), or with the refinements that sound better (best): joint
// stereo never codes subbands whose channels cancel in their sum.
constexpr std::int32_t kTuningReference = 0;
constexpr std::int32_t kTuningBest = 1;

// Fills the ancillary bytes of frame `frame` of the stream (count zeros on
// entry). Called once per frame, in order, while the frame is written.
struct AncillarySource {
    void (*fill)(void* context, std::uint64_t frame, std::uint8_t* bytes, std::size_t count) = nullptr;
    void* context = nullptr;
};

// Everything a stream can be configured with. The bitrate is in kbit/s; the
// rate decides MPEG-1 or MPEG-2 lower sampling frequencies.
struct StreamSetup {
    std::int32_t mode = kModeJointStereo;
    std::int32_t bitrate_kbps = 192;
    std::int32_t sampling_rate = 44100;
    std::int32_t protection = 1;  // 1 = a CRC-16 check word in every frame
    std::int32_t copyright = 0;
    std::int32_t original = 0;
    std::int32_t private_bit = 0;
    std::int32_t emphasis = 0;  // 0 none, 1 50/15 us, 3 CCITT J.17 (2 is reserved)
    std::int32_t ancillary_bytes = 0;
    AncillarySource ancillary;
    std::int32_t tuning = kTuningReference;
};

// The most ancillary bytes a frame of this format can carry and still code
// audio: what is left of the shortest frame after the header, the check word,
// every allocation field and the cheapest coding of the lowest subband in
// each channel (its scale-factor selection, three scale factors and twelve
// codewords of three levels). 0 for a format that cannot be coded.
std::uint32_t max_ancillary_bytes(std::int64_t hz, int mode, int kbps, bool protection);

// Header bitrate index of a single-channel stream, by configured index.
extern const std::int32_t mono_bitrate_map[15];

constexpr int kCarryBufferBytes = 38400;
constexpr std::uint32_t kLargeBufferBytes = 38400;  // above this only a diagnostic

// De-interleaves one frame of 16-bit little-endian PCM (`nch` channels, any
// byte alignment) into pcm[0] and pcm[1]; a single channel leaves pcm[1] zero.
void deinterleave_frame(const std::uint8_t* frame, int nch, std::int16_t (*pcm)[kFrameSamples]);

// InputStaging — a caller's buffer and the bytes carried from earlier buffers.
// Frames are read where they lie in the caller's buffer; only a frame that
// straddles two buffers is assembled in the carry buffer. Lengths and offsets
// are unsigned 64-bit, so buffers of any size a host can describe are staged
// exactly.
class InputStaging {
public:
    // A new caller buffer of `length` bytes; the bytes carried stay in front.
    void begin(const std::uint8_t* data, std::uint64_t length);
    // Passes over `bytes` of the current buffer without reading them.
    void skip(std::uint64_t bytes);
    // The next `count` bytes (count at most kCarryBufferBytes): in place when
    // the buffer holds them, else assembled with the carried bytes. Null when
    // the buffer ends first; its remaining bytes are then carried and the
    // buffer is forgotten.
    const std::uint8_t* take(std::int32_t count);
    // Forgets the caller's buffer; carried bytes stay.
    void end();
    // Drops the carried bytes and the buffer (a new stream).
    void clear();

    std::int32_t carried() const { return carry_length_; }
    const std::uint8_t* carried_data() const { return carry_buffer_; }
    std::uint64_t position() const { return offset_; }
    std::uint64_t length() const { return length_; }
    // False once take() found the buffer exhausted.
    bool more() const { return more_; }

private:
    std::uint8_t carry_buffer_[kCarryBufferBytes] = {};
    const std::uint8_t* data_ = nullptr;
    std::uint64_t length_ = 0;
    std::uint64_t offset_ = 0;
    std::int32_t carry_length_ = 0;
    bool more_ = false;
};

class MpaEncoder {
public:
    MpaEncoder();
    ~MpaEncoder();
    MpaEncoder(const MpaEncoder&) = delete;
    MpaEncoder& operator=(const MpaEncoder&) = delete;

    // Where the encoder's messages go (nowhere until set). Kinds:
    // kStreamSetup from the psychoacoustic model at the first frame of a
    // stream, kSettingRejected from configure, kLargeBuffer from compress.
    void set_diagnostics(const DiagnosticSink& sink);

    // Takes a stream's settings (mode 0..3, bitrate index, sampling rate in
    // Hz), repairs the bitrate index and checks the sampling rate and the mode.
    // Returns whether the stream can be started; a rejected configuration
    // cannot (start() then fails until the next accepted one).
    bool configure(std::int32_t mode, std::int32_t bitrate_index, std::int32_t sampling_rate);
    // Takes a stream's settings as the C interface gives them: every rate of
    // the format, the bitrate in kbit/s, the header flags, error protection
    // and ancillary bytes. Nothing is repaired: a format that cannot be coded,
    // a reserved emphasis or an ancillary reservation larger than
    // max_ancillary_bytes is rejected.
    bool configure(const StreamSetup& setup);
    // Sets a stream up; ends a running stream first. Returns false (and the
    // encoder stays stopped, holding no buffers) when the configuration was
    // rejected or memory could not be obtained.
    bool start();
    // Ends the stream; true if it was running.
    bool finish_stream();

    // Encodes `bytes` bytes of interleaved 16-bit little-endian PCM at `pcm`
    // (any alignment), together with the bytes carried from earlier calls,
    // and writes the whole frames they complete to `output`. `announced_rate`
    // is a new sampling rate in Hz; 22050 or less means none, and rates the
    // format cannot code are ignored. Returns the bytes written, or -1 when no
    // stream is running (nothing is consumed then). `output` must hold
    // max_output_bytes(bytes, announced_rate).
    std::int64_t compress(const std::uint8_t* pcm, std::uint64_t bytes, std::uint64_t announced_rate,
                          std::uint8_t* output);
    // Most bytes the next compress of `input_bytes` bytes can write, taking
    // `announced_rate` into account; 0 when not running.
    std::uint64_t max_output_bytes(std::uint64_t input_bytes, std::uint64_t announced_rate = 0) const;

    // The steps of compress, for callers that stage input themselves (tests
    // of buffers too large to encode whole): begin_input, skip_input, then
    // encode_frame + drain while frames come, then end_input.
    void begin_input(const std::uint8_t* pcm, std::uint64_t bytes) { staging_.begin(pcm, bytes); }
    void skip_input(std::uint64_t bytes) { staging_.skip(bytes); }
    // Codes the next frame if the staged input holds one; returns whether it did.
    bool encode_frame();
    // Moves the bytes of the frames coded since the last drain to `output`;
    // returns their number.
    int drain(std::uint8_t* output);
    void end_input() { staging_.end(); }

    // What the encoder holds, for the adapters and the tests.
    bool configured() const { return configured_; }
    bool running() const { return running_; }
    int channels() const { return coding_.nch; }
    std::int32_t sampling_rate() const { return settings_.sampling_rate; }
    const MpaHeader& header() const { return header_; }
    const CodingParams& coding() const { return coding_; }
    std::int32_t slots_per_frame() const { return slots_per_frame_; }
    double slot_fraction() const { return slot_fraction_; }
    const InputStaging& staging() const { return staging_; }
    bool holds_stream_buffers() const { return writer_.ready() || coding_.alloc != nullptr; }

private:
    void release_stream();
    void update_frame_geometry(std::int32_t rate);
    void report(Diagnostic kind, const char* text) const { diagnostics_(kind, text); }

    bool configured_ = false;
    bool running_ = false;
    DiagnosticSink diagnostics_;

    EncoderSettings settings_{};
    MpaHeader header_{};
    CodingParams coding_{};

    // Frame geometry.
    std::int32_t bits_per_slot_ = 8;
    std::int32_t samples_per_frame_ = kFrameSamples;
    std::int32_t slots_per_frame_ = 0;
    double slot_fraction_ = 0.0;
    double slot_lag_ = 0.0;

    InputStaging staging_;
    std::uint64_t frames_coded_ = 0;  // frames of the running stream so far
    AncillarySource ancillary_;
    std::uint8_t ancillary_bytes_[kMaxFrameBytes] = {};

    // Per-frame arrays, all rewritten by every frame.
    std::int16_t pcm_frame_[2][kFrameSamples] = {};
    std::int32_t scale_index_[2][3][32] = {};
    std::int32_t joint_scale_index_[3][32] = {};
    std::int32_t scfsi_[2][32] = {};
    float smr_[2][32] = {};
    std::int32_t allocation_[2][32] = {};
    ChannelSamples subband_samples_[2] = {};
    ChannelSamples joint_samples_ = {};
    ChannelCodes sample_codes_[2] = {};
    // The model's input history, carried from frame to frame.
    std::int16_t pcm_history_[2][kHistorySamples] = {};

    // Stages.
    OverflowStore store_;  // before the writer, which refers to it
    BitWriter writer_;
    Filterbank filterbank_;
    PsychoModel model_;
    ChannelScaleIndices unshared_index_[2] = {};  // scale factors before the scfsi choice (tuned joint stereo)
    BitAllocator allocator_;
};

}  // namespace zuvo
