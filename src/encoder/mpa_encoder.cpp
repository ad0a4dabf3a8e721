// MpaEncoder: configuration, stream set-up and teardown, frame geometry,
// input staging and the per-frame sequence of stages.
#include "encoder/mpa_encoder.h"

#include <cstring>

#include "layer2/alloc_tables.h"
#include "layer2/frame_header.h"
#include "layer2/perceptual_allocation.h"
#include "platform/platform.h"

namespace zuvo {

const std::int32_t mono_bitrate_map[15] = {1, 1, 1, 1, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

namespace {

// The rates a host buffer may announce for a running stream: MPEG-1's three.
bool supported_rate(std::uint64_t rate) {
    return rate <= 48000 && is_mpeg1_rate(static_cast<std::int64_t>(rate));
}

// Bits of the cheapest coding of subband 0 in one channel: the selection
// information, three scale factors and twelve codewords of allocation index 1.
int cheapest_lowest_subband_bits(const AllocTable& alloc) {
    const AllocEntry& first = alloc[0][1];
    const int granule_bits = first.codewords == 1 ? first.code_bits : 3 * first.code_bits;
    return 2 + 3 * 6 + 12 * granule_bits;
}

// Bytes of interleaved 16-bit PCM in one frame.
std::int32_t frame_input_bytes(std::int32_t nch) {
    return nch == 1 ? 2 * kFrameSamples : 4 * kFrameSamples;
}

}  // namespace

std::uint32_t max_ancillary_bytes(std::int64_t hz, int mode, int kbps, bool protection) {
    const StreamRate* rate = find_stream_rate(hz);
    if (rate == nullptr || !mode_allows(rate->version, mode, kbps)) return 0;
    MpaHeader header{};
    header.version = rate->version;
    header.sampling_frequency = rate->frequency_index;
    header.bitrate_index = bitrate_index(rate->version, kbps);
    const int nch = mode == kModeSingleChannel ? 1 : 2;
    AllocTable alloc{};
    const int sblimit = load_alloc_table(alloc_table_number(header, nch), alloc);
    int fields = 0;
    for (int sb = 0; sb < sblimit; ++sb) fields += field_bits(alloc, sb);
    const std::int64_t frame_bits = 8 * static_cast<std::int64_t>(frame_bytes(hz, kbps, false));
    const std::int64_t needed = 32 + (protection ? 16 : 0) + nch * (fields + cheapest_lowest_subband_bits(alloc));
    return frame_bits > needed ? static_cast<std::uint32_t>((frame_bits - needed) / 8) : 0;
}

void deinterleave_frame(const std::uint8_t* frame, int nch, std::int16_t (*pcm)[kFrameSamples]) {
    const std::uint8_t* p = frame;
    if (nch == 2) {
        for (int i = 0; i < kFrameSamples; ++i, p += 4) {
            pcm[0][i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
            pcm[1][i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[2] | (p[3] << 8)));
        }
    } else {
        for (int i = 0; i < kFrameSamples; ++i, p += 2) {
            pcm[0][i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
            pcm[1][i] = 0;
        }
    }
}

// ---------------------------------------------------------------- staging

void InputStaging::begin(const std::uint8_t* data, std::uint64_t length) {
    data_ = data;
    length_ = length;
    offset_ = 0;
    more_ = true;
}

void InputStaging::skip(std::uint64_t bytes) {
    const std::uint64_t unread = length_ - offset_;
    offset_ += bytes < unread ? bytes : unread;
}

const std::uint8_t* InputStaging::take(std::int32_t count) {
    const std::uint64_t unread = length_ - offset_;
    if (carry_length_ > 0) {
        const std::uint64_t needed = static_cast<std::uint64_t>(count - carry_length_);
        if (unread >= needed) {
            std::memcpy(carry_buffer_ + carry_length_, data_ + offset_, needed);
            offset_ += needed;
            carry_length_ = 0;
            more_ = true;
            return carry_buffer_;
        }
        // An empty buffer may come without an address (a C host's NULL, 0).
        if (unread > 0) std::memcpy(carry_buffer_ + carry_length_, data_ + offset_, unread);
        carry_length_ += static_cast<std::int32_t>(unread);
    } else {
        if (unread >= static_cast<std::uint64_t>(count)) {
            const std::uint8_t* frame = data_ + offset_;
            offset_ += static_cast<std::uint64_t>(count);
            more_ = true;
            return frame;
        }
        if (unread > 0) {
            std::memcpy(carry_buffer_, data_ + offset_, unread);
        }
        carry_length_ = static_cast<std::int32_t>(unread);
    }
    length_ = 0;
    offset_ = 0;
    more_ = false;
    return nullptr;
}

void InputStaging::end() {
    data_ = nullptr;
    length_ = 0;
    offset_ = 0;
}

void InputStaging::clear() {
    end();
    carry_length_ = 0;
    more_ = false;
}

// ---------------------------------------------------------------- encoder

MpaEncoder::MpaEncoder() {
    store_.create();  // without its blocks the store drops what it is given
    writer_.set_store(&store_);
    coding_.header = &header_;
}

MpaEncoder::~MpaEncoder() {
    if (running_) {
        release_stream();
        running_ = false;
    }
    store_.release();
}

void MpaEncoder::set_diagnostics(const DiagnosticSink& sink) {
    diagnostics_ = sink;
    model_.set_diagnostics(sink);
}

bool MpaEncoder::configure(std::int32_t mode, std::int32_t bitrate_index, std::int32_t sampling_rate) {
    staging_.clear();

    ancillary_ = AncillarySource{};

    settings_.mode = mode;
    settings_.layer = 2;
    settings_.version = kVersionMpeg1;
    settings_.bitrate_index = bitrate_index;
    settings_.emphasis = 0;
    settings_.private_bit = 0;
    settings_.protection = 1;
    settings_.copyright = 0;
    settings_.original = 0;
    settings_.sampling_rate = sampling_rate;
    settings_.ancillary_bytes = 0;
    settings_.tuning = kTuningReference;

    // Free format (0) and out-of-range indices become 224 kbit/s; a single
    // channel is limited to index 10, whose header index is 96 kbit/s.
    if (settings_.bitrate_index <= 0 || settings_.bitrate_index >= 15) {
        settings_.bitrate_index = 11;
    }
    if (settings_.mode == 3 && settings_.bitrate_index > 10) {
        settings_.bitrate_index = 10;
    }
    // A single channel's configured index names the header's through its own map.
    if (settings_.mode == 3) {
        settings_.bitrate_index = mono_bitrate_map[settings_.bitrate_index];
    }

    bool accepted = true;
    if (settings_.sampling_rate < 0 || !supported_rate(static_cast<std::uint64_t>(settings_.sampling_rate))) {
        report(Diagnostic::kSettingRejected, "Audio sample rate must be 32, 44.1 or 48 kHz.");
        accepted = false;
    }
    if (settings_.mode < 0 || settings_.mode > 3) {
        report(Diagnostic::kSettingRejected,
               "Channel mode must be 0 (stereo), 1 (joint stereo), 2 (dual channel) or 3 (single channel).");
        accepted = false;
    }
    configured_ = accepted;
    return accepted;
}

bool MpaEncoder::configure(const StreamSetup& setup) {
    staging_.clear();
    const StreamRate* rate = find_stream_rate(setup.sampling_rate);
    bool accepted = true;
    if (rate == nullptr) {
        report(Diagnostic::kSettingRejected, "Audio sample rate must be 16, 22.05, 24, 32, 44.1 or 48 kHz.");
        accepted = false;
    }
    if (setup.mode < kModeStereo || setup.mode > kModeSingleChannel) {
        report(Diagnostic::kSettingRejected,
               "Channel mode must be 0 (stereo), 1 (joint stereo), 2 (dual channel) or 3 (single channel).");
        accepted = false;
    } else if (rate != nullptr && !mode_allows(rate->version, setup.mode, setup.bitrate_kbps)) {
        report(Diagnostic::kSettingRejected, "Bitrate not available at this sampling rate in this channel mode.");
        accepted = false;
    }
    if (setup.emphasis != 0 && setup.emphasis != 1 && setup.emphasis != 3) {
        report(Diagnostic::kSettingRejected, "Emphasis must be 0 (none), 1 (50/15 us) or 3 (CCITT J.17).");
        accepted = false;
    }
    if (accepted && (setup.ancillary_bytes < 0 ||
                     static_cast<std::uint32_t>(setup.ancillary_bytes) >
                         max_ancillary_bytes(setup.sampling_rate, setup.mode, setup.bitrate_kbps,
                                             setup.protection != 0))) {
        report(Diagnostic::kSettingRejected, "Ancillary data leaves no room for audio at this bitrate.");
        accepted = false;
    }
    if (accepted) {
        settings_.mode = setup.mode;
        settings_.layer = 2;
        settings_.version = rate->version;
        settings_.bitrate_index = bitrate_index(rate->version, setup.bitrate_kbps);
        settings_.emphasis = setup.emphasis;
        settings_.private_bit = setup.private_bit != 0 ? 1 : 0;
        settings_.protection = setup.protection != 0 ? 1 : 0;
        settings_.copyright = setup.copyright != 0 ? 1 : 0;
        settings_.original = setup.original != 0 ? 1 : 0;
        settings_.sampling_rate = setup.sampling_rate;
        settings_.ancillary_bytes = setup.ancillary_bytes;
        settings_.tuning = setup.tuning == kTuningBest ? kTuningBest : kTuningReference;
        ancillary_ = setup.ancillary;
    }
    configured_ = accepted;
    return accepted;
}

void MpaEncoder::release_stream() {
    model_.model_release();
    filterbank_.release_filterbank();
    release_coding_params(coding_);
}

bool MpaEncoder::start() {
    // A running stream is ended first: its buffers are released, and bytes of
    // an incomplete frame still carried are dropped with it.
    if (running_) {
        writer_.finish();
        release_stream();
        running_ = false;
    }
    if (!configured_) {
        return false;
    }

    allocator_.reset_frame_overhead();
    model_.model_reset();
    filterbank_.reset_filterbank();

    header_.padding = 0;
    staging_.clear();
    frames_coded_ = 0;

    if (!writer_.init()) {
        return false;
    }

    std::memset(pcm_frame_, 0, sizeof pcm_frame_);
    std::memset(allocation_, 0, sizeof allocation_);
    std::memset(scfsi_, 0, sizeof scfsi_);
    std::memset(scale_index_, 0, sizeof scale_index_);
    std::memset(joint_scale_index_, 0, sizeof joint_scale_index_);
    std::memset(smr_, 0, sizeof smr_);
    std::memset(pcm_history_, 0, sizeof pcm_history_);
    std::memset(subband_samples_, 0, sizeof subband_samples_);
    std::memset(&joint_samples_, 0, sizeof joint_samples_);
    std::memset(sample_codes_, 0, sizeof sample_codes_);

    header_.version = settings_.version;
    header_.layer = settings_.layer;
    header_.protection = settings_.protection;
    header_.bitrate_index = settings_.bitrate_index;
    header_.private_bit = settings_.private_bit;
    header_.mode = settings_.mode;
    header_.mode_extension = 0;
    header_.copyright = settings_.copyright;
    header_.original = settings_.original;
    header_.emphasis = settings_.emphasis;

    release_coding_params(coding_);
    coding_.header = &header_;
    coding_.alloc = nullptr;
    coding_.table_number = -1;

    update_frame_geometry(settings_.sampling_rate);

    if (coding_.alloc == nullptr) {
        writer_.finish();
        release_stream();
        return false;
    }
    running_ = true;
    return true;
}

void MpaEncoder::update_frame_geometry(std::int32_t rate) {
    const StreamRate* facts = find_stream_rate(rate);
    if (facts != nullptr && facts->version == header_.version) {
        header_.sampling_frequency = facts->frequency_index;
    } else {
        report(Diagnostic::kSettingRejected, "error sampling rate");
    }
    derive_coding_params(coding_);
    allocator_.set_rate(static_cast<float>(rate));

    bits_per_slot_ = 8;
    samples_per_frame_ = kFrameSamples;
    const double bitrate = bitrate_kbps(header_.version, header_.bitrate_index);
    const double khz = rate_khz(header_.version, header_.sampling_frequency);
    model_.set_quiet_lowering_db(settings_.tuning == kTuningBest
                                     ? quiet_lowering_db(static_cast<float>(bitrate) / static_cast<float>(coding_.nch))
                                     : 0.0f);
    const double average = (bitrate / bits_per_slot_) * (samples_per_frame_ / khz);
    slots_per_frame_ = static_cast<std::int32_t>(average);
    slot_fraction_ = average - slots_per_frame_;
    slot_lag_ = -slot_fraction_;
    if (slot_fraction_ == 0.0) {
        header_.padding = 0;
    }
}

bool MpaEncoder::finish_stream() {
    if (!running_) {
        return false;
    }
    writer_.finish();
    release_stream();
    running_ = false;
    return true;
}

std::uint64_t MpaEncoder::max_output_bytes(std::uint64_t input_bytes, std::uint64_t announced_rate) const {
    if (!running_) {
        return 0;
    }
    std::int32_t frequency = header_.sampling_frequency;
    if (announced_rate > 22050 && header_.version == kVersionMpeg1 && supported_rate(announced_rate)) {
        frequency = find_stream_rate(static_cast<std::int64_t>(announced_rate))->frequency_index;
    }
    // The longest frame: with its padding byte where the rate pads.
    const std::uint64_t longest = frame_bytes(rate_hz(header_.version, frequency),
                                              bitrate_kbps(header_.version, header_.bitrate_index), true);
    const std::uint64_t frames =
        (static_cast<std::uint64_t>(staging_.carried()) + input_bytes) / frame_input_bytes(coding_.nch);
    return frames * longest;
}

std::int64_t MpaEncoder::compress(const std::uint8_t* pcm, std::uint64_t bytes, std::uint64_t announced_rate,
                                  std::uint8_t* output) {
    if (!running_) {
        return -1;
    }

    // A sampling rate announced with the buffer; values of 22050 or less
    // mean "no change", and rates the format cannot code are ignored. A
    // joint-stereo stream stays joint stereo across the change. Only MPEG-1
    // streams change rate, within MPEG-1's rates.
    if (announced_rate > 22050 && announced_rate != static_cast<std::uint64_t>(settings_.sampling_rate) &&
        settings_.version == kVersionMpeg1 && supported_rate(announced_rate)) {
        settings_.sampling_rate = static_cast<std::int32_t>(announced_rate);
        header_.mode = settings_.mode;
        header_.mode_extension = 0;
        update_frame_geometry(settings_.sampling_rate);
    }

    if (bytes > kLargeBufferBytes) {
        report(Diagnostic::kLargeBuffer, "Returned buffer size is greater than temporary audio buffer size.");
    }
    begin_input(pcm, bytes);
    std::int64_t total = 0;
    while (encode_frame()) {
        total += drain(output + total);
    }
    end_input();
    return total;
}

int MpaEncoder::drain(std::uint8_t* output) {
    int count = 0;
    writer_.drain(output, count);
    return count;
}

bool MpaEncoder::encode_frame() {
    const std::uint8_t* frame = staging_.take(frame_input_bytes(coding_.nch));
    if (frame == nullptr) {
        return false;
    }
    deinterleave_frame(frame, coding_.nch, pcm_frame_);
    const int nch = coding_.nch;

    // Padding: the accumulator adds the fractional slot each frame and pads
    // whenever a whole slot has built up, so the average frame length matches
    // the bitrate exactly.
    if (slot_fraction_ != 0.0) {
        if (slot_fraction_ - 1.0 < slot_lag_) {
            header_.padding = 0;
            slot_lag_ -= slot_fraction_;
        } else {
            header_.padding = 1;
            slot_lag_ += 1.0 - slot_fraction_;
        }
    }
    // The ancillary bytes close the frame; the allocation never sees their bits.
    const std::int32_t ancillary_bits = 8 * settings_.ancillary_bytes;
    std::int32_t available_bits = (slots_per_frame_ + header_.padding) * bits_per_slot_ - ancillary_bits;

    // Analysis filterbank: each channel's whole frame at once.
    for (int ch = 0; ch < nch; ++ch) filterbank_.analyze_frame(ch, pcm_frame_[ch], subband_samples_[ch]);

    compute_scale_indices(subband_samples_, scale_index_, nch, coding_.sblimit);
    if (coding_.configured_mode == 1) {
        combine_joint(subband_samples_, joint_samples_, coding_.sblimit);
        compute_scale_indices(&joint_samples_, &joint_scale_index_, 1, coding_.sblimit);
    }

    const float rate = rate_khz(header_.version, header_.sampling_frequency) * 1000.0f;
    for (int ch = 0; ch < nch; ++ch) {
        model_.analyze_channel(pcm_frame_[ch], pcm_history_[ch], ch, smr_[ch], rate);
    }

    // The guard looks at the scale factors before the selection rewrites them.
    const bool tuned = settings_.tuning == kTuningBest;
    const bool tuned_joint = tuned && coding_.configured_mode == kModeJointStereo;
    int joint_guard = tuned_joint ? lowest_joint_bound(scale_index_, joint_scale_index_, coding_.sblimit) : 0;
    if (tuned_joint) std::memcpy(unshared_index_, scale_index_, sizeof unshared_index_);
    select_scfsi(scale_index_, scfsi_, coding_);
    FrameSignal signal;
    signal.samples = subband_samples_;
    signal.scale_index = scale_index_;
    signal.joint_samples = &joint_samples_;
    signal.joint_scale_index = &joint_scale_index_;
    if (tuned_joint) {
        // Decoders rebuild jointly coded subbands with the scale factors
        // the channels send, shared or not; and no bound may lose the image.
        follow_shared_scale_factors(unshared_index_, scale_index_, joint_scale_index_, coding_.sblimit);
        const int image_guard = image_keeping_bound(signal, smr_, coding_.sblimit, kImageErrorLimit);
        joint_guard = image_guard > joint_guard ? image_guard : joint_guard;
    }
    const StereoDecision decision = allocator_.allocate_frame(
        smr_, scfsi_, allocation_, available_bits, coding_, frames_coded_ < 2, joint_guard, tuned ? &signal : nullptr);
    header_.mode = decision.mode;
    header_.mode_extension = decision.mode_extension;
    coding_.bound = decision.bound;
    const std::uint64_t frame_number = frames_coded_++;

    std::uint32_t crc = 0;
    if (header_.protection != 0) {
        compute_crc(coding_, allocation_, scfsi_, crc);
    }
    write_header(coding_, writer_);
    if (header_.protection != 0) {
        write_crc(crc, writer_);
    }
    write_allocation(allocation_, coding_, writer_);
    write_scale_factors(allocation_, scfsi_, scale_index_, coding_, writer_);
    quantize(scale_index_, subband_samples_, joint_scale_index_, joint_samples_, allocation_, sample_codes_, coding_);
    write_samples(sample_codes_, allocation_, coding_, writer_);

    // The bits no field uses are zeros.
    while (available_bits >= 32) {
        writer_.put_bits(0, 32);
        available_bits -= 32;
    }
    if (available_bits > 0) {
        writer_.put_bits(0, available_bits);
    }
    if (ancillary_bits > 0) {
        const std::size_t count = static_cast<std::size_t>(settings_.ancillary_bytes);
        std::memset(ancillary_bytes_, 0, count);
        if (ancillary_.fill != nullptr) ancillary_.fill(ancillary_.context, frame_number, ancillary_bytes_, count);
        for (std::size_t i = 0; i < count; ++i) writer_.put_bits(ancillary_bytes_[i], 8);
    }
    return true;
}

}  // namespace zuvo
